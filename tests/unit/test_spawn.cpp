// The child process runner against real children.
#include "spawn/spawn.h"

#include "fresh_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
struct child_view {
    std::map<int, std::string> stdio;  // 0..2 -> target or "closed"
    std::vector<int> others;           // open descriptors above 2
    int argc = 0;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

child_view parse_report(const std::string& path)
{
    child_view view;
    std::istringstream in(slurp(path));
    std::string key, value;
    while (in >> key >> value) {
        if (key == "open")
            view.others.push_back(std::stoi(value));
        else if (key == "argc")
            view.argc = std::stoi(value);
        else
            view.stdio[std::stoi(key)] = value;
    }
    return view;
}

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

bool record_is_clear()
{
    const child_redirect r = redirect_current();
    return r.in_fd == -1 && r.out_fd == -1 && r.err_fd == -1;
}

// Under user-mode emulation a child can exec a host program, but not another
// program of the emulated architecture unless binfmt_misc hands it to qemu.
bool can_exec_test_child()
{
    return std::getenv("TAVRIN_EMULATED") == nullptr || access("/proc/sys/fs/binfmt_misc/qemu-arm", F_OK) == 0;
}

#define NEEDS_TEST_CHILD()                                                                               \
    if (!can_exec_test_child())                                                                         \
    GTEST_SKIP() << "runs the emulated-architecture child fdreport, which qemu-user cannot exec without " \
                    "a binfmt_misc handler"

class Runner : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tavrin-spawn-XXXXXX";
        dir = mkdtemp(tmpl);
        report = dir + "/report";
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string dir;
    std::string report;
};
}  // namespace

TEST_F(Runner, WithoutRedirectionStdioIsDevNullAndNothingElseIsInherited)
{
    NEEDS_TEST_CHILD();
    // Descriptors the daemon holds (without close-on-exec) must not leak.
    const int held[] = {open("/dev/zero", O_RDONLY), open("/dev/zero", O_RDONLY), dup(1)};
    const int status = run_program(FDREPORT_PATH, report.c_str(), nullptr);
    EXPECT_EQ(status, 0);
    const child_view v = parse_report(report);
    EXPECT_EQ(v.stdio.at(0), "/dev/null");
    EXPECT_EQ(v.stdio.at(1), "/dev/null");
    EXPECT_EQ(v.stdio.at(2), "/dev/null");
    EXPECT_TRUE(v.others.empty()) << "first leaked descriptor: " << (v.others.empty() ? -1 : v.others[0]);
    for (int fd : held)
        close(fd);
}

TEST_F(Runner, ChildGetsTheNullDeviceEvenWhenTheDaemonHasNoStandardInput)
{
    NEEDS_TEST_CHILD();
    // A daemon started with 0 closed: the child's "/dev/null" must not land
    // on 0, where tying the standard descriptors would close it again.
    in_fresh_process([this] {
        close(0);
        EXPECT_EQ(run_program(FDREPORT_PATH, report.c_str(), nullptr), 0);
        const child_view v = parse_report(report);
        EXPECT_EQ(v.stdio.at(0), "/dev/null");
        EXPECT_EQ(v.stdio.at(1), "/dev/null");
        EXPECT_EQ(v.stdio.at(2), "/dev/null");
    });
}

TEST_F(Runner, CaptureFileBecomesStdoutAndTheParentCopyIsClosed)
{
    const std::string capture = dir + "/capture.txt";
    const int fd = open_capture(capture.c_str());
    ASSERT_GT(fd, 2);
    redirect_stdout(fd);
    EXPECT_EQ(redirect_current().out_fd, fd);
    const int status = run_program("/bin/sh", "-c", "echo station-1; echo oops >&2", nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(slurp(capture), "station-1\n") << "only standard output reaches the capture";
    EXPECT_FALSE(is_open(fd));
    EXPECT_TRUE(record_is_clear());

    struct stat st;
    ASSERT_EQ(stat(capture.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~[] { mode_t m = umask(0); umask(m); return m; }());
}

TEST_F(Runner, CaptureIsTruncatedOnEveryOpen)
{
    const std::string capture = dir + "/capture.txt";
    redirect_stdout(open_capture(capture.c_str()));
    run_program("/bin/sh", "-c", "echo a long first answer", nullptr);
    redirect_stdout(open_capture(capture.c_str()));
    run_program("/bin/sh", "-c", "true", nullptr);
    EXPECT_EQ(file_size(capture.c_str()), 0);
}

TEST_F(Runner, StandardDescriptorValuesInTheRecord)
{
    NEEDS_TEST_CHILD();
    redirect_stdout(0);
    redirect_stdout(2);
    EXPECT_TRUE(record_is_clear()) << "0 and 2 are ignored";

    const std::string out = dir + "/own-stdout";
    const int saved = dup(1);
    const int target = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(target, 1);
    close(target);
    redirect_stdout(1);
    run_program(FDREPORT_PATH, report.c_str(), nullptr);
    dup2(saved, 1);
    close(saved);
    EXPECT_TRUE(is_open(1)) << "the runner never closes the daemon's own standard descriptors";
    const child_view v = parse_report(report);
    EXPECT_EQ(v.stdio.at(1), out) << "1 inherits the daemon's standard output";
    EXPECT_EQ(v.stdio.at(0), "/dev/null");
    EXPECT_EQ(v.stdio.at(2), "/dev/null");
}

TEST_F(Runner, RedirectResetClosesOnlyDescriptorsAboveTwo)
{
    const int fd = open("/dev/zero", O_RDONLY);
    redirect_stdout(fd);
    redirect_reset();
    EXPECT_FALSE(is_open(fd));
    EXPECT_TRUE(record_is_clear());
    redirect_stdout(1);
    redirect_reset();
    EXPECT_TRUE(is_open(1));
}

TEST_F(Runner, FailedExecExitsWithCodeOne)
{
    const std::string capture = dir + "/capture.txt";
    redirect_stdout(open_capture(capture.c_str()));
    const int status = run_program("/nonexistent/tool", "arg", nullptr);
    EXPECT_EQ(status, 256);
    EXPECT_EQ(file_size(capture.c_str()), 0) << "a failed exec writes nothing";
    EXPECT_EQ(run_program("no-such-tool-on-path", nullptr), 256);
}

TEST_F(Runner, PathLookupAndExitStatus)
{
    EXPECT_EQ(run_program("sh", "-c", "exit 3", nullptr), 3 << 8);
    EXPECT_EQ(run_program("true", nullptr), 0);
}

TEST_F(Runner, AtMost62ArgumentsReachTheChild)
{
    NEEDS_TEST_CHILD();
    std::vector<std::string> args(70, "x");
    args[0] = report;
    const char* a[71];
    for (size_t i = 0; i < args.size(); ++i)
        a[i] = args[i].c_str();
    a[70] = nullptr;
#define A10(i) a[i], a[i + 1], a[i + 2], a[i + 3], a[i + 4], a[i + 5], a[i + 6], a[i + 7], a[i + 8], a[i + 9]
    EXPECT_EQ(run_program(FDREPORT_PATH, A10(0), A10(10), A10(20), A10(30), A10(40), A10(50), A10(60), nullptr), 0);
    EXPECT_EQ(parse_report(report).argc, 63) << "the path and 62 arguments";
    EXPECT_EQ(run_program(FDREPORT_PATH, A10(0), A10(10), A10(20), A10(30), A10(40), a[50], nullptr), 0);
    EXPECT_EQ(parse_report(report).argc, 52);
#undef A10
}

TEST_F(Runner, SymlinkedCapturePathIsLeftUntouched)
{
    const std::string target = dir + "/precious";
    const std::string link = dir + "/capture.txt";
    {
        std::ofstream(target) << "keep me\n";
    }
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const int fd = open_capture(link.c_str());
    EXPECT_EQ(fd, -1);
    redirect_stdout(fd);
    EXPECT_EQ(run_program("/bin/sh", "-c", "echo overwritten", nullptr), 0);
    EXPECT_EQ(slurp(target), "keep me\n");
    char buf[256] = "";
    ASSERT_GT(readlink(link.c_str(), buf, sizeof buf - 1), 0);
    EXPECT_EQ(std::string(buf), target);
}

TEST_F(Runner, CapturePathThatIsNotARegularFileIsRefusedWithoutBlocking)
{
    const std::string folder = dir + "/folder";
    const std::string fifo = dir + "/fifo";
    const std::string link = dir + "/link";
    const std::string target = dir + "/target";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    {
        std::ofstream(target) << "12345678\n";
    }
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    for (const std::string& path : {folder, fifo, link}) {
        EXPECT_EQ(open_capture(path.c_str()), -1) << path;
        EXPECT_EQ(open_capture_read(path.c_str()), nullptr) << path;
        EXPECT_EQ(file_size(path.c_str()), 0) << path << " is not judged by what it points to";
    }
    EXPECT_EQ(slurp(target), "12345678\n");

    FILE* f = open_capture_read(target.c_str());
    ASSERT_NE(f, nullptr);
    unsigned n = 0;
    EXPECT_EQ(std::fscanf(f, "%u", &n), 1);
    EXPECT_EQ(n, 12345678u);
    std::fclose(f);
}

TEST_F(Runner, CaptureOfAnotherUserOrWithASecondNameIsRefusedUntouched)
{
    const std::string target = dir + "/target";
    const std::string hard = dir + "/capture.txt";
    {
        std::ofstream(target) << "keep\n";
    }
    ASSERT_EQ(link(target.c_str(), hard.c_str()), 0);
    EXPECT_EQ(open_capture(hard.c_str()), -1) << "a hard link to another file";
    EXPECT_EQ(open_capture_read(hard.c_str()), nullptr);
    EXPECT_EQ(slurp(target), "keep\n");
    ASSERT_EQ(unlink(target.c_str()), 0);

    const int fd = open_capture(hard.c_str());
    EXPECT_GE(fd, 0) << "the same file once it has no other name";
    EXPECT_EQ(file_size(hard.c_str()), 0) << "and it was truncated";
    close(fd);

    if (geteuid() != 0)
        GTEST_SKIP() << "giving the file to another user needs root";
    {
        std::ofstream(hard) << "planted\n";
    }
    ASSERT_EQ(chown(hard.c_str(), 65534, 65534), 0);
    EXPECT_EQ(open_capture(hard.c_str()), -1) << "another user's file";
    EXPECT_EQ(open_capture_read(hard.c_str()), nullptr);
    EXPECT_EQ(file_size(hard.c_str()), 0);
    EXPECT_EQ(slurp(hard), "planted\n");
}

TEST_F(Runner, CaptureDescriptorIsABlockingWriter)
{
    const std::string capture = dir + "/capture.txt";
    const int fd = open_capture(capture.c_str());
    ASSERT_GE(fd, 0);
    const int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_NE(flags & O_SYNC, 0);
    EXPECT_EQ(flags & O_ACCMODE, O_WRONLY);
    close(fd);
}

TEST_F(Runner, FailedWaitIsReportedAsFailure)
{
    // With SIGCHLD ignored the kernel reaps children itself and waitpid fails.
    signal(SIGCHLD, SIG_IGN);
    const int fd = open("/dev/zero", O_RDONLY);
    redirect_stdout(fd);
    EXPECT_EQ(run_program("true", nullptr), -1);
    signal(SIGCHLD, SIG_DFL);
    EXPECT_FALSE(is_open(fd));
    EXPECT_TRUE(record_is_clear());
}

TEST_F(Runner, FileQueries)
{
    const std::string path = dir + "/f";
    EXPECT_EQ(file_exists(path.c_str()), 0);
    EXPECT_EQ(file_size(path.c_str()), 0);
    {
        std::ofstream(path) << "12345";
    }
    EXPECT_EQ(file_exists(path.c_str()), 1);
    EXPECT_EQ(file_size(path.c_str()), 5);
    EXPECT_EQ(file_exists(dir.c_str()), 1);
}
