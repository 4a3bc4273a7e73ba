// Runs a test body in a forked child, for code whose static state (a counter
// baseline taken once per process) must start fresh. The child's assertion
// failures print as usual; the parent fails the test when the child did.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

template <typename Body>
void in_fresh_process(Body body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's checks failed (see above)";
}
