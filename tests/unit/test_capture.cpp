// A query's answer against real children: read from a pipe while the query
// runs, its copy published at the capture's name only when whole.
#include "spawn/capture.h"

#include "daemon/service.h"
#include "spawn/spawn.h"

#include "fresh_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <pthread.h>
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

bool record_is_clear()
{
    const child_redirect r = redirect_current();
    return r.in_fd == -1 && r.out_fd == -1 && r.err_fd == -1;
}

mode_t current_umask()
{
    const mode_t m = umask(0);
    umask(m);
    return m;
}

// Runs a query into an answer for `path` and publishes it; returns the
// count it scanned ("%u") from the answer, or -1.
long query_count(const std::string& path, const std::string& command)
{
    query_answer answer(path.c_str());
    const int status = answer.run(command.c_str());
    answer.publish();
    unsigned value = 0;
    return status == 0 && answer.scan_count("%u", &value) == 0 ? static_cast<long>(value) : -1;
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
    for (int i = 0; i < 5; ++i) {
        query_answer answer(name.c_str());
        EXPECT_EQ(answer.run("echo 'Security Associations (3 up'"), 0);
        unsigned up = 0;
        EXPECT_EQ(answer.scan_count("Security Associations (%u up", &up), 0);
        EXPECT_EQ(up, 3u);
        EXPECT_FALSE(answer.publish());
    }
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
    EXPECT_EQ(st.st_mode & 07777, 0644u & ~current_umask()) << path;
    EXPECT_EQ(slurp(path), answer) << path;
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tavrin-capture-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/capture.txt";
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string dir;
    std::string path;
};
}  // namespace

TEST_F(Capture, AnswerIsTheQuerysStandardOutputPublishedOnlyWhenAsked)
{
    {
        query_answer answer(path.c_str());
        EXPECT_TRUE(record_is_clear()) << "nothing is handed to the runner before the run";
        EXPECT_EQ(answer.run("echo station-1; echo oops >&2"), 0);
        EXPECT_TRUE(record_is_clear());
        EXPECT_EQ(answer.size(), 10u) << "only standard output reaches the answer";
        EXPECT_EQ(access(path.c_str(), F_OK), -1) << "not published before publish()";
        EXPECT_TRUE(answer.publish());
        expect_published(path, "station-1\n");
    }
    EXPECT_EQ(entries(dir), std::set<std::string>{"capture.txt"}) << "nothing left beside it";
}

TEST_F(Capture, LongAnswerIsReadWhileTheQueryRunsAndPublishedWhole)
{
    // Far beyond what a pipe holds: the query would block for good if the
    // runner read the pipe only after its end.
    constexpr size_t bytes = 3000000;
    query_answer answer(path.c_str());
    const std::string query = "echo 'RX bytes:77'; head -c " + std::to_string(bytes) + " /dev/zero | tr '\\0' x";
    EXPECT_EQ(answer.run(query.c_str()), 0);
    EXPECT_EQ(answer.size(), bytes + 12);
    unsigned value = 0;
    EXPECT_EQ(answer.scan_count("RX bytes:%u", &value), 0);
    EXPECT_EQ(value, 77u);
    EXPECT_TRUE(answer.publish());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), bytes + 12);
}

TEST_F(Capture, EveryQueryStartsAFreshAnswer)
{
    EXPECT_EQ(query_count(path, "echo 4 and a long first answer"), 4);
    {
        query_answer answer(path.c_str());
        EXPECT_EQ(answer.run("true"), 0);
        EXPECT_EQ(answer.size(), 0u);
        unsigned value = 7;
        EXPECT_EQ(answer.scan_count("%u", &value), -1);
        EXPECT_TRUE(answer.publish());
    }
    expect_published(path, "");
}

TEST_F(Capture, AnswerHoldsWithoutAFolderToPublishIn)
{
    // The capture's folder gone (a missing /tmp; read-only or full read
    // the same way: the copy cannot be made or written). The answer comes
    // through the pipe all the same.
    counted_without_publishing(dir + "/gone/capture.txt");
}

TEST_F(Capture, CopyThatCannotBeWrittenWholeIsNotPublishedAndLeaksNothing)
{
    // A copy cut short (here by a file size limit, as by a full /tmp) is
    // removed and the name keeps the last whole answer; the answer itself,
    // read from the pipe, is whole.
    {
        std::ofstream(path) << "an old answer\n";
    }
    in_fresh_process([this] {
        signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(lower_limit(RLIMIT_FSIZE, 16), 0);
        const int before = open_descriptors();
        for (int i = 0; i < 5; ++i) {
            query_answer answer(path.c_str());
            constexpr char line[] = "RX bytes:1234567890 and far more than sixteen bytes";
            EXPECT_EQ(answer.run((std::string("echo '") + line + "'").c_str()), 0);
            EXPECT_EQ(answer.size(), sizeof line);
            EXPECT_FALSE(answer.publish());
        }
        EXPECT_EQ(open_descriptors(), before) << "a descriptor left behind by a failed publish";
        EXPECT_EQ(slurp(path), "an old answer\n");
        EXPECT_EQ(entries(dir), std::set<std::string>{"capture.txt"}) << "the cut copy is removed";
    });
}

TEST_F(Capture, QueryEndedByTheStopGraceLeavesTheLastWholeAnswer)
{
    // Part of an answer, then a tool that never ends: what it wrote is not
    // published, and nothing after the grace is started, made or published.
    in_fresh_process([this] {
        EXPECT_EQ(query_count(path, "echo 5000"), 5000);
        std::thread stop = stop_after(200);
        {
            query_answer answer(path.c_str());
            const int status = answer.run("printf '02:00:00:'; exec sleep 60");
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
            EXPECT_EQ(answer.size(), 9u);
            EXPECT_FALSE(answer.publish());
        }
        stop.join();
        ASSERT_TRUE(stop_grace_over());
        {
            query_answer later(path.c_str());
            EXPECT_EQ(later.run("echo 1"), -1);
            EXPECT_FALSE(later.publish());
        }
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
    EXPECT_EQ(slurp(victim), "keep me\n");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u) << "only the planted name went";
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

TEST_F(Capture, NameReplacedWhileTheQueryRunsChangesNothing)
{
    // Someone replaces the name while the query runs (here the query
    // itself, to be sure of the moment).
    const std::string query = "echo 'Security Associations (2 up'; rm -f " + path + "; mkfifo " + path;
    {
        query_answer answer(path.c_str());
        ASSERT_EQ(answer.run(query.c_str()), 0);
        unsigned up = 0;
        EXPECT_EQ(answer.scan_count("Security Associations (%u up", &up), 0);
        EXPECT_EQ(up, 2U);
        EXPECT_EQ(answer.size(), 28u);
        EXPECT_TRUE(answer.publish());
    }
    expect_published(path, "Security Associations (2 up\n");
}

TEST_F(Capture, AnswerIsReadWithTheStandardDescriptorsClosed)
{
    // A daemon started with 1 and 2 closed: the pipe would land there, and
    // a write end at 2 would be ignored by the runner.
    in_fresh_process([this] {
        close(1);
        close(2);
        {
            query_answer answer(path.c_str());
            EXPECT_EQ(fcntl(1, F_GETFD), -1);
            EXPECT_EQ(fcntl(2, F_GETFD), -1);
            EXPECT_EQ(answer.run("echo station"), 0);
            EXPECT_EQ(answer.size(), 8u);
            EXPECT_TRUE(answer.publish());
        }
        EXPECT_EQ(slurp(path), "station\n");
    });
}

TEST_F(Capture, WithoutADescriptorToSpareTheAnswerIsEmptyAndTheNameUntouched)
{
    {
        std::ofstream(path) << "an old answer\n";
    }
    in_fresh_process([this] {
        const int lowest_free = dup(0);
        ASSERT_GE(lowest_free, 0);
        close(lowest_free);
        ASSERT_EQ(lower_limit(RLIMIT_NOFILE, static_cast<unsigned long>(lowest_free)), 0);
        query_answer answer(path.c_str());
        answer.run("echo 5");
        EXPECT_EQ(answer.size(), 0u);
        unsigned value = 0;
        EXPECT_EQ(answer.scan_count("%u", &value), -1);
        EXPECT_FALSE(answer.publish());
    });
    EXPECT_EQ(slurp(path), "an old answer\n");
}
