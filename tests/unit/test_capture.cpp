// A query's answer against real children: read from a pipe while the query
// runs, its copy published at the capture's name only when whole.
#include "spawn/capture.h"

#include "daemon/service.h"
#include "spawn/spawn.h"

#include "fresh_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {
std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::set<std::string> entries(const std::string& dir)
{
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.insert(e->d_name);
    }
    if (d != nullptr)
        closedir(d);
    return names;
}

tool_answer ask(const std::string& path, const std::string& command)
{
    tool_answer answer;
    ask_tool(path.c_str(), command.c_str(), &answer);
    return answer;
}

// The count ("%u") a whole answer for `path` starts with, or -1.
long query_count(const std::string& path, const std::string& command)
{
    const tool_answer answer = ask(path, command);
    unsigned value = 0;
    return answer.whole && answer_head_scan(answer.head, "%u", &value) == 0 ? static_cast<long>(value) : -1;
}

// Lowers a limit by the old system call: the C library's setrlimit calls
// prlimit64 (Linux 2.6.36), which the oldest kernel the tests run as lacks.
int lower_limit(int resource, unsigned long value)
{
    const struct {
        unsigned long cur, max;
    } limit = {value, value};
    return static_cast<int>(syscall(SYS_setrlimit, resource, &limit));
}

int open_descriptors()
{
    return static_cast<int>(entries("/proc/self/fd").size()) - 1;  // less the listing's own
}

// Five queries for a name that cannot be published: each answer is read
// whole all the same, and none leaves a descriptor behind.
void counted_without_publishing(const std::string& name)
{
    const int before = open_descriptors();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(query_count(name, "echo '3 up'"), 3);
    EXPECT_EQ(open_descriptors(), before) << "a descriptor left behind by a query that could not publish";
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

// What a capture's name holds after a query: a fresh plain file of this
// user with one name, holding the answer.
void expect_published(const std::string& path, const std::string& answer)
{
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid()) << path;
    EXPECT_EQ(st.st_mode & 07777, 0644u) << path << ", made under umask 000";
    EXPECT_EQ(slurp(path), answer) << path;
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A daemon started with no umask: the mode of a capture is its own.
        saved_umask = umask(0);
        char tmpl[] = "/tmp/tavrin-capture-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/capture.txt";
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        umask(saved_umask);
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    mode_t saved_umask;
    std::string dir;
    std::string path;
};
}  // namespace

TEST_F(Capture, AnswerIsTheQuerysStandardOutputPublishedWhole)
{
    const tool_answer answer = ask(path, "echo station-1; echo oops >&2");
    EXPECT_EQ(answer.query.end, query_end::exited);
    EXPECT_TRUE(answer.whole);
    EXPECT_EQ(answer.head.size, 10u) << "only standard output reaches the answer";
    expect_published(path, "station-1\n");
    EXPECT_EQ(entries(dir), std::set<std::string>{"capture.txt"}) << "nothing left beside it";
}

TEST_F(Capture, LongAnswerIsReadWhileTheQueryRunsAndPublishedWhole)
{
    // Far beyond what a pipe holds: the query would block for good if the
    // runner read the pipe only after its end.
    constexpr size_t bytes = 3000000;
    const std::string query = "echo 'RX bytes:77'; head -c " + std::to_string(bytes) + " /dev/zero | tr '\\0' x";
    const tool_answer answer = ask(path, query);
    EXPECT_TRUE(answer.whole);
    EXPECT_EQ(answer.head.size, bytes + 12);
    unsigned value = 0;
    EXPECT_EQ(answer_head_scan(answer.head, "RX bytes:%u", &value), 0);
    EXPECT_EQ(value, 77u);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), bytes + 12);
}

TEST_F(Capture, EveryQueryStartsAFreshAnswer)
{
    EXPECT_EQ(query_count(path, "echo 4 and a long first answer"), 4);
    EXPECT_EQ(query_count(path, "true"), -1);
    expect_published(path, "");
}

TEST_F(Capture, AnswerEndsWithTheToolNotWithThePipe)
{
    // A helper the tool left behind holding its output: the answer is what
    // the pipe held when the tool ended, and the query ends with the tool.
    const auto start = std::chrono::steady_clock::now();
    const tool_answer answer = ask(path, "(sleep 3; echo late) & echo now");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "waited for the helper";
    EXPECT_TRUE(answer.whole);
    expect_published(path, "now\n");

    // A tool killed by a signal it did not get from the daemon left no
    // whole answer: nothing of it is published.
    const tool_answer killed = ask(path, "echo 7; kill -9 $$");
    EXPECT_EQ(killed.query.end, query_end::signalled);
    EXPECT_FALSE(killed.whole);
    expect_published(path, "now\n");
}

TEST_F(Capture, AnswerHoldsWithoutAFolderToPublishIn)
{
    // The capture's folder gone (a missing /tmp; read-only or full read
    // the same way: the copy cannot be made or written). The answer comes
    // through the pipe all the same.
    counted_without_publishing(dir + "/gone/capture.txt");
}

TEST_F(Capture, FileSizeLimitFailsTheCopyNotTheDaemonAndRemovesItAtOnce)
{
    // A supervisor's file-size limit under a long answer: the copy's first
    // failed write removes it while the tool still runs (here it looks for
    // its copy, made at its first line, and then for its removal), the
    // answer is read whole, the name keeps the last whole answer, and a
    // child still starts with SIGXFSZ as the daemon was started with.
    std::ofstream(path) << "an old answer\n";
    const std::string copies = "ls " + dir + " | grep -q capture.txt.";
    const std::string query = "grep SigIgn /proc/self/status; i=0; until " + copies +
                              "; do i=$((i+1)); [ $i -lt 100 ] || exit 1; sleep 0.05; done; "
                              "head -c 100 /dev/zero; i=0; while " + copies +
                              "; do i=$((i+1)); [ $i -lt 100 ] || exit 2; sleep 0.05; done";
    in_fresh_process([&] {
        const std::string started_with = slurp("/proc/self/status");
        install_stop_signals();
        ASSERT_EQ(lower_limit(RLIMIT_FSIZE, 64), 0);
        const int before = open_descriptors();
        const tool_answer answer = ask(path, query);
        EXPECT_EQ(answer.query.status, 0) << "1: no copy made; 2: the copy kept after its failed write";
        EXPECT_TRUE(answer.whole);
        EXPECT_EQ(answer.head.size, 25u + 100u);
        const std::string ignored(answer.head.text, 25);
        EXPECT_NE(started_with.find(ignored), std::string::npos) << "a child's ignored signals: " << ignored;
        EXPECT_EQ(open_descriptors(), before) << "a descriptor left behind by a failed publish";
    });
    EXPECT_EQ(slurp(path), "an old answer\n");
    EXPECT_EQ(entries(dir), std::set<std::string>{"capture.txt"}) << "the cut copy is left";
}

TEST_F(Capture, WaitThatCannotGoOnEndsTheQueryInsteadOfSpinning)
{
    // The descriptor limit lowered under the daemon: ppoll then refuses its
    // one descriptor (EINVAL). The query is ended with its group, as at the
    // end of the grace, not waited for at full speed until it ends.
    std::ofstream(path) << "an old answer\n";
    in_fresh_process([this] {
        install_stop_signals();
        std::thread lower([] {
            usleep(200000);
            lower_limit(RLIMIT_NOFILE, 0);
        });
        const auto start = std::chrono::steady_clock::now();
        const tool_answer answer = ask(path, "sleep 0.5; echo woken; exec sleep 3");
        lower.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        EXPECT_EQ(answer.query.end, query_end::wait_failed);
        EXPECT_TRUE(WIFSIGNALED(answer.query.status) && WTERMSIG(answer.query.status) == SIGKILL);
        EXPECT_FALSE(answer.whole);
    });
    EXPECT_EQ(slurp(path), "an old answer\n");
}

TEST_F(Capture, QueryEndedByTheStopGraceLeavesTheLastWholeAnswer)
{
    // Part of an answer, then a tool that never ends: what it wrote is not
    // published; after the grace nothing is started, and nothing is made
    // in /tmp for the query that is not.
    in_fresh_process([this] {
        EXPECT_EQ(query_count(path, "echo 5000"), 5000);
        std::thread stop = stop_after(200);
        const tool_answer hung = ask(path, "printf '02:00:00:'; exec sleep 60");
        stop.join();
        EXPECT_EQ(hung.query.end, query_end::abandoned);
        EXPECT_TRUE(WIFSIGNALED(hung.query.status) && WTERMSIG(hung.query.status) == SIGKILL) << hung.query.status;
        EXPECT_EQ(hung.head.size, 9u);
        const int watch = inotify_init1(IN_NONBLOCK);
        ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_CREATE), 0);
        const tool_answer later = ask(path, "echo 1");
        EXPECT_EQ(later.query.end, query_end::abandoned);
        char event[sizeof(inotify_event) + NAME_MAX + 1];
        EXPECT_EQ(read(watch, event, sizeof event), -1) << "made for a query not started: " << event + sizeof(inotify_event);
        close(watch);
        expect_published(path, "5000\n");
        EXPECT_EQ(entries(dir), std::set<std::string>{"capture.txt"});
    });
}

TEST_F(Capture, PlantedNamesAreReplacedAndWhatTheyNamedIsLeftUntouched)
{
    const std::string victim = dir + "/precious";
    {
        std::ofstream(victim) << "keep me\n";
    }
    const std::string link = dir + "/link", folder = dir + "/folder", fifo = dir + "/fifo";
    const std::string hard = dir + "/hard", foreign = dir + "/foreign";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(::link(victim.c_str(), hard.c_str()), 0);
    std::vector<std::string> planted = {link, folder, fifo, hard};
    if (geteuid() == 0) {
        {
            std::ofstream(foreign) << "planted by another user\n";
        }
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        planted.push_back(foreign);
    }
    for (const std::string& name : planted) {
        EXPECT_EQ(query_count(name, "echo 12345678"), 12345678) << name;
        expect_published(name, "12345678\n");
    }
    // A link planted at the name a copy would take first: passed over.
    char first[PATH_MAX], second[PATH_MAX];
    close(create_copy(path.c_str(), first, 42));
    ASSERT_EQ(unlink(first), 0);
    ASSERT_EQ(symlink(victim.c_str(), first), 0);
    const int copy = create_copy(path.c_str(), second, 42);
    EXPECT_GE(copy, 0) << "a taken name ends the search";
    close(copy);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(slurp(victim), "keep me\n");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u) << "only the planted name went";
}

TEST_F(Capture, DaemonNotRunningAsRootPublishesInAStickyTmpButNotOverAnotherUsersFile)
{
    if (geteuid() != 0)
        return;  // it takes root to become another user
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    std::ofstream(path) << "root's\n";
    const std::string own = dir + "/own.txt";
    in_fresh_process([&] {
        ASSERT_EQ(setuid(65534), 0);
        EXPECT_EQ(query_count(path, "echo 3"), 3) << "counted all the same";
        EXPECT_EQ(query_count(own, "echo 4"), 4);
    });
    EXPECT_EQ(slurp(path), "root's\n");
    struct stat st;
    ASSERT_EQ(stat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(slurp(own), "4\n");
    EXPECT_EQ(entries(dir), (std::set<std::string>{"capture.txt", "own.txt"})) << "a copy left behind";
}

TEST_F(Capture, FolderWithFilesAtTheNameChangesNothingButThePublishing)
{
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    {
        std::ofstream(path + "/inside") << "kept\n";
    }
    counted_without_publishing(path);
    EXPECT_EQ(slurp(path + "/inside"), "kept\n");
    EXPECT_EQ(entries(dir), std::set<std::string>{"capture.txt"}) << "the unpublished copy is removed";
}

TEST_F(Capture, WithoutADescriptorToSpareThereIsNoAnswerAndTheNameIsUntouched)
{
    std::ofstream(path) << "an old answer\n";
    in_fresh_process([this] {
        const int lowest_free = dup(0);
        ASSERT_GE(lowest_free, 0);
        close(lowest_free);
        ASSERT_EQ(lower_limit(RLIMIT_NOFILE, static_cast<unsigned long>(lowest_free)), 0);
        const tool_answer answer = ask(path, "echo 5");
        EXPECT_EQ(answer.query.end, query_end::exited);
        EXPECT_FALSE(answer.whole);
        EXPECT_EQ(answer.head.size, 0u);
    });
    EXPECT_EQ(slurp(path), "an old answer\n");
}
