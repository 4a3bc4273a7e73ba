// The child process runner against real children.
#include "spawn/spawn.h"

#include "modes/capture.h"

#include "daemon/service.h"

#include "fresh_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <pthread.h>
#include <sys/prctl.h>
#include <time.h>
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

// What a capture query leaves at the name: a fresh plain file of this user,
// holding what the child printed.
void expect_fresh_capture(const std::string& path)
{
    const int fd = open_capture(path.c_str());
    ASSERT_GE(fd, 0) << path;
    redirect_stdout(fd);
    EXPECT_EQ(run_program("/bin/sh", "-c", "echo 12345678", nullptr), 0);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid()) << path;
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    FILE* f = open_capture_read(path.c_str());
    ASSERT_NE(f, nullptr) << path;
    unsigned n = 0;
    EXPECT_EQ(std::fscanf(f, "%u", &n), 1);
    EXPECT_EQ(n, 12345678u);
    std::fclose(f);
}

TEST_F(Runner, PlantedCaptureNameIsReplacedAndWhatItNamedIsLeftUntouched)
{
    const std::string target = dir + "/precious";
    {
        std::ofstream(target) << "keep me\n";
    }
    const std::string link = dir + "/link", folder = dir + "/folder", fifo = dir + "/fifo";
    const std::string hard = dir + "/hard";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(::link(target.c_str(), hard.c_str()), 0);
    for (const std::string& path : {link, folder, fifo, hard}) {
        // The read-back never goes through what was planted.
        EXPECT_EQ(open_capture_read(path.c_str()), nullptr) << path;
        EXPECT_EQ(file_size(path.c_str()), 0) << path << " is not judged by what it names";
        expect_fresh_capture(path);
    }
    EXPECT_EQ(slurp(target), "keep me\n");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u) << "only the planted name went";

    // A second name for the daemon's own capture: the name is made afresh,
    // the other name keeps the old file and its content.
    const std::string own = dir + "/own";
    expect_fresh_capture(own);
    const std::string second = dir + "/second";
    ASSERT_EQ(::link(own.c_str(), second.c_str()), 0);
    expect_fresh_capture(own);
    EXPECT_EQ(slurp(second), "12345678\n");
    ASSERT_EQ(stat(second.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);

    if (geteuid() != 0)
        GTEST_SKIP() << "giving the file to another user needs root";
    const std::string foreign = dir + "/foreign";
    {
        std::ofstream(foreign) << "planted\n";
    }
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(open_capture_read(foreign.c_str()), nullptr);
    expect_fresh_capture(foreign);
}

TEST_F(Runner, CaptureNameThatCannotBeRemovedIsRefusedUntouched)
{
    const std::string folder = dir + "/folder";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    {
        std::ofstream(folder + "/inside") << "kept\n";
    }
    EXPECT_EQ(open_capture(folder.c_str()), -1) << "a folder with a file in it";
    EXPECT_EQ(slurp(folder + "/inside"), "kept\n");
}

TEST_F(Runner, CaptureIsOpenedAboveTheStandardDescriptors)
{
    // A daemon started with 1 and 2 closed: a capture at 1 would stay the
    // daemon's own output, one at 2 would be ignored by the runner.
    in_fresh_process([this] {
        close(1);
        close(2);
        const std::string capture = dir + "/capture.txt";
        const int fd = open_capture(capture.c_str());
        EXPECT_GT(fd, 2);
        EXPECT_FALSE(is_open(1));
        EXPECT_FALSE(is_open(2));
        redirect_stdout(fd);
        EXPECT_EQ(run_program("/bin/sh", "-c", "echo station", nullptr), 0);
        EXPECT_FALSE(is_open(fd)) << "the runner closed it";
        EXPECT_EQ(slurp(capture), "station\n");
    });
}

TEST_F(Runner, CaptureDescriptorIsABlockingReaderAndWriter)
{
    const std::string capture = dir + "/capture.txt";
    const int fd = open_capture(capture.c_str());
    ASSERT_GE(fd, 0);
    const int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_NE(flags & O_SYNC, 0);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    close(fd);
}

TEST_F(Runner, AnswerIsReadThroughTheDaemonsOwnDescriptorWhateverTheNameBecomes)
{
    // Someone replaces the name while the query runs (here the query
    // itself, to be sure of the moment): the answer is still the query's.
    const std::string path = dir + "/capture.txt";
    const std::string query = "echo 'Security Associations (2 up'; rm " + path + "; mkfifo " + path;
    const capture_file capture(path.c_str());
    ASSERT_EQ(run_program("/bin/sh", "-c", query.c_str(), nullptr), 0);
    unsigned up = 0;
    EXPECT_EQ(capture.scan_count("Security Associations (%u up", &up), 0);
    EXPECT_EQ(up, 2U);
    EXPECT_EQ(capture.size(), 28);
    EXPECT_EQ(capture.scan_count("Security Associations (%u up", &up), 0) << "read again from the start";
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

namespace {
double seconds_since(const timespec& start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Sends SIGTERM to the calling thread after `delay_ms`, as a stop request
// reaches the daemon's one thread.
std::thread stop_after(int delay_ms)
{
    install_stop_signals();
    const pthread_t target = pthread_self();
    return std::thread([target, delay_ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        pthread_kill(target, SIGTERM);
    });
}
}  // namespace

TEST_F(Runner, QueryStillRunningWhenTheStopGraceEndsIsEndedWithItsPipeline)
{
    in_fresh_process([this] {
        const std::string group = dir + "/group";
        // qemu-user does not take this: there the orphans go to the
        // machine's init, and the group is checked on the emulated router.
        const bool reaps_orphans = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
        std::thread stop = stop_after(300);
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        // A pipeline that never ends, as a tool blocked on a hung daemon.
        const std::string hang = "echo $$ > " + group + "; sleep 60 | sleep 60";
        const int status = run_program("/bin/sh", "-c", hang.c_str(), nullptr);
        const double took = seconds_since(start);
        stop.join();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        EXPECT_GT(took, 0.3 + STOP_GRACE_MS / 1000.0 - 0.05);
        EXPECT_LT(took, 0.3 + STOP_GRACE_MS / 1000.0 + 1.5);
        const pid_t pgid = std::stoi(slurp(group));
        // The pipeline's members, orphaned by the shell, come here to be
        // reaped: once they are, none of the group is left.
        for (int i = 0; reaps_orphans && i < 100 && kill(-pgid, 0) == 0; ++i) {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            usleep(10000);
        }
        if (reaps_orphans) {
            EXPECT_EQ(kill(-pgid, 0), -1) << "a process of the query's group survived";
        }

        const std::string later = dir + "/later";
        EXPECT_EQ(run_program("/bin/sh", "-c", ("touch " + later).c_str(), nullptr), -1);
        EXPECT_NE(access(later.c_str(), F_OK), 0) << "nothing more is started";
        EXPECT_TRUE(record_is_clear());
    });
}

TEST_F(Runner, QueryThatEndsWithinTheGraceCountsAsUsual)
{
    in_fresh_process([this] {
        std::thread stop = stop_after(200);
        const std::string capture = dir + "/capture.txt";
        redirect_stdout(open_capture(capture.c_str()));
        EXPECT_EQ(run_program("/bin/sh", "-c", "sleep 0.6; echo done", nullptr), 0);
        stop.join();
        EXPECT_EQ(slurp(capture), "done\n");
        EXPECT_EQ(run_program("/bin/sh", "-c", "exit 3", nullptr), 3 << 8) << "still within the grace";
    });
}

TEST_F(Runner, WithoutAStopAQueryHasNoTimeLimit)
{
    in_fresh_process([] {
        install_stop_signals();
        EXPECT_EQ(run_program("/bin/sh", "-c", "sleep 2.3", nullptr), 0);
    });
}
