// The interface counter reader and change detector against prepared copies
// of /proc/net/dev.
#include "monitors/netdev.h"

#include "fresh_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {
const char* HEADER =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n";

std::string line(const char* name, unsigned long long rx, unsigned long long tx)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, "%6s: %llu 11 0 0 0 0 0 0 %llu 22 0 0 0 0 0 0\n", name, rx, tx);
    return buf;
}

class NetdevFile {
public:
    NetdevFile()
    {
        char tmpl[] = "/tmp/tavrin-netdev-XXXXXX";
        const int fd = mkstemp(tmpl);
        close(fd);
        path_ = tmpl;
    }
    ~NetdevFile() { unlink(path_.c_str()); }
    void set(const std::string& body) const
    {
        FILE* f = std::fopen(path_.c_str(), "w");
        std::fputs(body.c_str(), f);
        std::fclose(f);
    }
    const char* path() const { return path_.c_str(); }
    // Reads `name`'s counters into `read`.
    int read(const char* name) { return netdev_read_from(path(), name, &read_); }
    static int read_missing(const char* name)
    {
        netdev_counters none = {};
        return netdev_read_from("/nonexistent/net/dev", name, &none);
    }
    const netdev_counters& last() const { return read_; }

private:
    std::string path_;
    netdev_counters read_ = {};
};
}  // namespace

TEST(NetdevRead, TakesReceivedAndTransmittedBytes)
{
    NetdevFile f;
    f.set(std::string(HEADER) + line("lo", 5, 5) + line("wlan0", 1234, 5678) + line("wlan1", 1, 2));
    ASSERT_EQ(f.read("wlan0"), 0);
    EXPECT_EQ(f.last().rx_bytes, 1234u);
    EXPECT_EQ(f.last().tx_bytes, 5678u);
}

TEST(NetdevRead, FirstLineWhoseNameContainsTheWantedNameIsUsed)
{
    NetdevFile f;
    f.set(std::string(HEADER) + line("mon.wlan0", 7, 8) + line("wlan0", 1, 2));
    ASSERT_EQ(f.read("wlan0"), 0);
    EXPECT_EQ(f.last().rx_bytes, 7u);
}

TEST(NetdevRead, MissingInterfaceOrFileFails)
{
    NetdevFile f;
    f.set(std::string(HEADER) + line("eth0", 1, 2));
    EXPECT_EQ(f.read("wlan0"), -1);
    f.set("");
    EXPECT_EQ(f.read("wlan0"), -1);
    f.set(HEADER);
    EXPECT_EQ(f.read("wlan0"), -1);
    EXPECT_EQ(NetdevFile::read_missing("wlan0"), -1);
}

TEST(NetdevRead, UnparsableColumnsFailWithoutTryingLaterLines)
{
    NetdevFile f;
    f.set(std::string(HEADER) + "wlan0: 100 1 0 0 0 0 0 0 x 2 0 0 0 0 0 0\n" + line("wlan0", 1, 2));
    EXPECT_EQ(f.read("wlan0"), -1);
    EXPECT_EQ(f.last().rx_bytes, 100u) << "the received bytes were already taken";
    f.set(std::string(HEADER) + "wlan0:\n");
    EXPECT_EQ(f.read("wlan0"), -1);
}

TEST(NetdevActivity, FirstCallTakesTheBaselineThenChangesAreReported)
{
    in_fresh_process([] {
        NetdevFile f;
        f.set(std::string(HEADER) + line("wlan0", 1000, 2000));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 0) << "baseline";
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 0);
        f.set(std::string(HEADER) + line("wlan0", 1060, 2000));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 1) << "received";
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 0);
        f.set(std::string(HEADER) + line("wlan0", 1060, 2001));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 1) << "sent";
    });
}

TEST(NetdevActivity, AbsentInterfaceNeverPrimes)
{
    in_fresh_process([] {
        NetdevFile f;
        f.set(std::string(HEADER) + line("eth0", 1, 2));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), -1);
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), -1);
        f.set(std::string(HEADER) + line("wlan0", 1, 2));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 0) << "the first good read is the baseline";
    });
}

TEST(NetdevActivity, FailedReadDoesNotMoveTheBaseline)
{
    in_fresh_process([] {
        NetdevFile f;
        f.set(std::string(HEADER) + line("wlan0", 100, 200));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 0);
        f.set(HEADER);
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), -1);
        f.set(std::string(HEADER) + line("wlan0", 100, 200));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 0) << "compared with the last good read";
        f.set(HEADER);
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), -1);
        f.set(std::string(HEADER) + line("wlan0", 150, 200));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 1);
    });
}

TEST(NetdevActivity, ChangeInTheHigh32BitsAlone)
{
    in_fresh_process([] {
        NetdevFile f;
        f.set(std::string(HEADER) + line("wlan0", 0x100000005ULL, 7));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 0);
        f.set(std::string(HEADER) + line("wlan0", 0x200000005ULL, 7));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 1) << "same low 32 bits, different count";
        f.set(std::string(HEADER) + line("wlan0", 0x200000005ULL, 0x100000007ULL));
        EXPECT_EQ(netdev_activity_from(f.path(), "wlan0"), 1);
    });
}
