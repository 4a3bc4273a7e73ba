// A query's captured answer against real children: read from the daemon's
// own anonymous file, then published at the capture's name.
#include "spawn/capture.h"

#include "spawn/spawn.h"

#include "fresh_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Runs a query into a capture at `path`; returns the count it scanned
// ("%u") from the answer, or -1.
long query_count(const std::string& path, const std::string& command)
{
    const capture_file capture(path.c_str());
    if (run_program("/bin/sh", "-c", command.c_str(), nullptr) != 0)
        return -1;
    unsigned value = 0;
    return capture.scan_count("%u", &value) == 0 ? static_cast<long>(value) : -1;
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

TEST_F(Capture, AnswerIsTheQuerysStandardOutputAndIsPublishedOnceRead)
{
    {
        const capture_file capture(path.c_str());
        const int given = redirect_current().out_fd;
        ASSERT_GT(given, 2);
        EXPECT_NE(given, capture.descriptor()) << "the runner gets a duplicate to close";
        EXPECT_EQ(run_program("/bin/sh", "-c", "echo station-1; echo oops >&2", nullptr), 0);
        EXPECT_TRUE(record_is_clear());
        EXPECT_EQ(fcntl(given, F_GETFD), -1) << "the runner closed its duplicate";
        EXPECT_EQ(capture.size(), 10) << "only standard output reaches the answer";
        EXPECT_EQ(access(path.c_str(), F_OK), -1) << "published only once read";
    }
    expect_published(path, "station-1\n");
    EXPECT_EQ(entries(dir), std::set<std::string>{"capture.txt"}) << "nothing left beside it";
}

TEST_F(Capture, EveryQueryStartsAFreshAnswer)
{
    EXPECT_EQ(query_count(path, "echo 4 and a long first answer"), 4);
    {
        const capture_file capture(path.c_str());
        EXPECT_EQ(run_program("/bin/sh", "-c", "true", nullptr), 0);
        EXPECT_EQ(capture.size(), 0);
        unsigned value = 7;
        EXPECT_EQ(capture.scan_count("%u", &value), -1);
    }
    expect_published(path, "");
}

TEST_F(Capture, AnswerFileHasNoNameAnyoneCouldReach)
{
    // The kind depends on the kernel (TAVRIN_KERNEL: the one the test runs
    // as, see sim/kernel_as.cpp): a memory file, else an unnamed file in
    // /tmp, else a private file there removed at once.
    const capture_file capture(path.c_str());
    redirect_reset();
    char link[64], target[512] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", capture.descriptor());
    ASSERT_GT(readlink(link, target, sizeof target - 1), 0);
    const std::string shown = target;
    const char* kernel = std::getenv("TAVRIN_KERNEL");
    const std::string as = kernel != nullptr ? kernel : "";
    if (as == "3.14") {
        EXPECT_EQ(shown.rfind("/tmp/#", 0), 0u) << shown;
    } else if (as == "3.10") {
        EXPECT_EQ(shown.rfind("/tmp/.tavrin-answer-", 0), 0u) << shown;
    } else {
        EXPECT_EQ(shown.rfind("/memfd:tavrin-answer", 0), 0u) << shown;
    }
    EXPECT_NE(shown.find("(deleted)"), std::string::npos) << shown;
    if (shown.rfind("/memfd:", 0) != 0) {
        struct stat st;
        ASSERT_EQ(fstat(capture.descriptor(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << "private to the daemon's user while it has a name";
    }
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
    {
        const capture_file capture(path.c_str());
        ASSERT_EQ(run_program("/bin/sh", "-c", "echo 'Security Associations (2 up'", nullptr), 0);
        unsigned up = 0;
        EXPECT_EQ(capture.scan_count("Security Associations (%u up", &up), 0);
        EXPECT_EQ(up, 2u);
    }
    EXPECT_EQ(slurp(path + "/inside"), "kept\n");
    EXPECT_EQ(entries(dir), std::set<std::string>{"capture.txt"}) << "the unpublished copy is removed";
}

TEST_F(Capture, NameReplacedWhileTheQueryRunsChangesNothing)
{
    // Someone replaces the name while the query runs (here the query
    // itself, to be sure of the moment).
    const std::string query = "echo 'Security Associations (2 up'; rm -f " + path + "; mkfifo " + path;
    {
        const capture_file capture(path.c_str());
        ASSERT_EQ(run_program("/bin/sh", "-c", query.c_str(), nullptr), 0);
        unsigned up = 0;
        EXPECT_EQ(capture.scan_count("Security Associations (%u up", &up), 0);
        EXPECT_EQ(up, 2U);
        EXPECT_EQ(capture.size(), 28);
        EXPECT_EQ(capture.scan_count("Security Associations (%u up", &up), 0) << "read again from the start";
    }
    expect_published(path, "Security Associations (2 up\n");
}

TEST_F(Capture, AnswerIsKeptAboveTheStandardDescriptors)
{
    // A daemon started with 1 and 2 closed: an answer file at 1 would take
    // the daemon's own output, one at 2 would be ignored by the runner.
    in_fresh_process([this] {
        close(1);
        close(2);
        {
            const capture_file capture(path.c_str());
            EXPECT_GT(capture.descriptor(), 2);
            EXPECT_GT(redirect_current().out_fd, 2);
            EXPECT_EQ(fcntl(1, F_GETFD), -1);
            EXPECT_EQ(fcntl(2, F_GETFD), -1);
            EXPECT_EQ(run_program("/bin/sh", "-c", "echo station", nullptr), 0);
            EXPECT_EQ(capture.size(), 8);
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
        rlimit saved, limit;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        limit = saved;
        limit.rlim_cur = static_cast<rlim_t>(lowest_free);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        {
            const capture_file capture(path.c_str());
            EXPECT_EQ(capture.descriptor(), -1);
            EXPECT_EQ(redirect_current().out_fd, -1) << "the child's output goes to /dev/null";
            run_program("/bin/sh", "-c", "echo 5", nullptr);
            EXPECT_EQ(capture.size(), 0);
            unsigned value = 0;
            EXPECT_EQ(capture.scan_count("%u", &value), -1);
        }
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(slurp(path), "an old answer\n");
    });
}
