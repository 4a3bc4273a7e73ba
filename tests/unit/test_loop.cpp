// The loop every mode runs, driven with test bodies against the device
// stand-in, and the stop signals delivered for real.
#include "daemon/loop.h"
#include "daemon/service.h"
#include "spawn/spawn.h"

#include "fresh_process.h"
#include "sim_device.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {
int evaluations = 0;
step_result next_step = show_level(1);
int stop_at_evaluation = 0;  // 0: never

step_result test_body()
{
    ++evaluations;
    if (evaluations == stop_at_evaluation)
        got_signal = SIGTERM;
    return next_step;
}

// Sends `sig` to this process after `delay_ms`, from a child process (the
// test's only thread is the one that receives it).
pid_t signal_later(int sig, int delay_ms)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        usleep(static_cast<useconds_t>(delay_ms) * 1000);
        kill(parent, sig);
        _exit(0);
    }
    return pid;
}

class Loop : public ::testing::Test {
protected:
    void SetUp() override
    {
        got_signal = 0;
        evaluations = 0;
        stop_at_evaluation = 0;
        next_step = show_level(1);
        install_stop_signals();
    }
    sim_device dev;
};
}  // namespace

TEST_F(Loop, StopFlagIsReadAtTheTopOfEachIteration)
{
    stop_at_evaluation = 3;
    run_mode_loop({{0, 10000000}, test_body});
    EXPECT_EQ(evaluations, 3) << "no evaluation after the flag is set";
    EXPECT_EQ(dev.led_levels().size(), 3u) << "the iteration that saw the flag set runs to its end";
}

TEST_F(Loop, LoopDoesNotStartWhenTheFlagIsAlreadySet)
{
    got_signal = SIGINT;
    run_mode_loop({{0, 10000000}, test_body});
    EXPECT_EQ(evaluations, 0);
    EXPECT_TRUE(dev.led_levels().empty());
}

TEST_F(Loop, EachStopSignalEndsThePeriodSleepWithoutAFurtherWrite)
{
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        got_signal = 0;
        evaluations = 0;
        const size_t writes_before = dev.led_levels().size();
        const pid_t sender = signal_later(sig, 200);
        const double start = monotonic_seconds();
        run_mode_loop({{5, 0}, test_body});
        const double took = monotonic_seconds() - start;
        waitpid(sender, nullptr, 0);

        EXPECT_EQ(got_signal.load(), sig);
        EXPECT_EQ(evaluations, 1) << "signal " << sig;
        EXPECT_EQ(dev.led_levels().size(), writes_before + 1) << "signal " << sig;
        EXPECT_LT(took, 3.0) << "the 5 s sleep was cut short by signal " << sig;
    }
}

TEST_F(Loop, BlinkReplacesWriteAndSleepAndIsNotCutShort)
{
    next_step = show_blink();
    const pid_t sender = signal_later(SIGTERM, 300);
    const double start = monotonic_seconds();
    run_mode_loop({{5, 0}, test_body});
    const double took = monotonic_seconds() - start;
    waitpid(sender, nullptr, 0);

    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(dev.led_levels(), (std::vector<int>{0, 1, 0, 1, 0, 1, 0, 1}));
    EXPECT_GE(took, 0.87) << "at most the one sleep under way is cut short";
    EXPECT_LT(took, 3.0) << "no period sleep after a blink";
}

TEST_F(Loop, BodyCanEndTheModeWithoutTouchingTheLed)
{
    next_step = end_mode();
    run_mode_loop({{0, 10000000}, test_body});
    EXPECT_EQ(evaluations, 1);
    EXPECT_TRUE(dev.led_levels().empty());
    EXPECT_EQ(got_signal.load(), 0);
}

namespace {
// A body whose query hangs until the stop grace ends it, and that would
// then show what its partial answer suggests.
step_result hanging_query_body()
{
    ++evaluations;
    run_program("/bin/sh", "-c", "sleep 60", nullptr);
    return next_step;
}
}  // namespace

TEST_F(Loop, QueryEndedByTheStopGraceEndsTheLoopWithNothingShown)
{
    for (const step_result step : {show_level(1), show_blink()}) {
        in_fresh_process([this, step] {
            next_step = step;
            const pid_t sender = signal_later(SIGTERM, 300);
            const double start = monotonic_seconds();
            run_mode_loop({{5, 0}, hanging_query_body});
            const double took = monotonic_seconds() - start;
            waitpid(sender, nullptr, 0);
            EXPECT_EQ(evaluations, 1);
            EXPECT_TRUE(dev.led_levels().empty()) << "an LED write from the ended query's answer";
            EXPECT_LT(took, 0.3 + (STOP_GRACE_MS + KILL_WAIT_MS) / 1000.0 + 0.7) << "a sleep or blink followed";
        });
    }
}

TEST(LogIdentity, IsTheTextAfterTheLastSlash)
{
    EXPECT_STREQ(log_identity("/opt/tavrin/bin/tavrind"), "tavrind");
    EXPECT_STREQ(log_identity("tavrind"), "tavrind");
    EXPECT_STREQ(log_identity("./x/led-daemon"), "led-daemon");
    EXPECT_STREQ(log_identity("/usr/sbin/"), "") << "trailing slashes are kept";
    EXPECT_EQ(log_identity(nullptr), nullptr) << "no argv[0]: syslog's own default";
}
