// The serial statistics reader and change detector against prepared
// statistics files.
#include "monitors/serial.h"

#include "fresh_process.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {
const char* PORT0 = "0: uart:16550A port:000003F8 irq:4 tx:1520 rx:88 RTS|DTR\n";
const char* PORT1 = "1: uart:16550A port:000002F8 irq:3 tx:20 rx:30\n";

// A folder standing in for /proc/tty/driver, with the four candidate names.
class DriverDir {
public:
    DriverDir()
    {
        char tmpl[] = "/tmp/tavrin-serial-XXXXXX";
        dir_ = mkdtemp(tmpl);
        for (const char* name : {"serial", "OMAP-SERIAL", "ttyS", "atmel_serial"})
            paths_.push_back(dir_ + "/" + name);
        for (const std::string& p : paths_)
            candidates_.push_back(p.c_str());
    }
    ~DriverDir()
    {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    void write(int candidate, const std::string& body) const
    {
        FILE* f = std::fopen(paths_[candidate].c_str(), "w");
        std::fputs(body.c_str(), f);
        std::fclose(f);
    }
    // Reads the port's counts into last().
    int read(int port) { return serial_read_from(candidates_.data(), candidates_.size(), port, &read_); }
    const serial_counters& last() const { return read_; }
    int activity(int port, int dirs) const
    {
        return serial_activity_from(candidates_.data(), candidates_.size(), port, dirs);
    }
    const std::string& path(int candidate) const { return paths_[candidate]; }

private:
    std::string dir_;
    std::vector<std::string> paths_;
    std::vector<const char*> candidates_;
    serial_counters read_ = {};
};
}  // namespace

TEST(SerialRead, ReadsThePortLinesCounts)
{
    DriverDir d;
    d.write(0, std::string("serinfo:1.0 driver revision:\n") + PORT0 + PORT1);
    ASSERT_EQ(d.read(0), 0);
    EXPECT_EQ(d.last().tx, 1520u);
    EXPECT_EQ(d.last().rx, 88u);
    ASSERT_EQ(d.read(1), 0);
    EXPECT_EQ(d.last().tx, 20u);
    EXPECT_EQ(d.last().rx, 30u);
}

TEST(SerialRead, FirstCandidateThatOpensIsTheOnlyOneRead)
{
    DriverDir d;
    d.write(3, PORT1);
    ASSERT_EQ(d.read(1), 0) << "only atmel_serial present";
    EXPECT_EQ(d.last().tx, 20u);

    d.write(2, "1: uart:unknown port:000002F8 irq:3 tx:5 rx:6\n");
    ASSERT_EQ(d.read(1), 0);
    EXPECT_EQ(d.last().tx, 5u) << "ttyS comes before atmel_serial";

    d.write(0, PORT0);
    log_capture log;
    EXPECT_EQ(d.read(1), 1) << "serial opens and lacks port 1: no later candidate is read";
    EXPECT_EQ(log.messages(), std::vector<std::string>{"serial stat file does not contain relevant line"});
}

TEST(SerialRead, EachFailureLogsItsReason)
{
    DriverDir d;
    struct {
        const char* body;  // nullptr: no candidate file
        int port;
        const char* reason;
    } cases[] = {
        {nullptr, 0, "serial stat file not found"},
        {"", 0, "serial stat file does not contain relevant line"},
        {"serinfo:1.0 driver revision:\n", 0, "serial stat file does not contain relevant line"},
        {PORT0, 1, "serial stat file does not contain relevant line"},
        {"1: uart:unknown port:000002F8 irq:3\n", 1, "serial stat file line does not contain relevant data"},
        {"0: uart:16550A tx:12 rx:x\n", 0, "unexpected serial stat file formatting"},
        {"0: uart:16550A tx: rx:4\n", 0, "unexpected serial stat file formatting"},
        {"0: uart:16550A tx:1 oe:4 rx:4\n", 0, "unexpected serial stat file formatting"},
    };
    for (const auto& c : cases) {
        if (c.body != nullptr)
            d.write(0, c.body);
        log_capture log;
        EXPECT_EQ(d.read(c.port), 1) << c.reason;
        EXPECT_EQ(log.messages(), std::vector<std::string>{c.reason}) << (c.body ? c.body : "(no file)");
    }
}

TEST(SerialRead, Port1IsTheFirstLineStartingWith1)
{
    DriverDir d;
    d.write(0, std::string(PORT0) + PORT1 + "10: uart:16550A port:00000000 irq:0 tx:999 rx:999\n");
    ASSERT_EQ(d.read(1), 0);
    EXPECT_EQ(d.last().tx, 20u);
}

TEST(SerialRead, ReadErrorEndsTheLineSearch)
{
    // A folder opens for reading but every read of it fails.
    DriverDir d;
    ASSERT_EQ(mkdir(d.path(0).c_str(), 0755), 0);
    log_capture log;
    EXPECT_EQ(d.read(0), 1);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"serial stat file does not contain relevant line"});
}

TEST(SerialRead, NegativeCountsFromASignedDriverFormatWrap)
{
    DriverDir d;
    d.write(0, "0: uart:16550A tx:-5 rx:-1\n");
    ASSERT_EQ(d.read(0), 0);
    EXPECT_EQ(d.last().tx, ULONG_MAX - 4);
    EXPECT_EQ(d.last().rx, ULONG_MAX);
}

TEST(SerialActivity, BaselineThenOnlySelectedDirectionsCount)
{
    in_fresh_process([] {
        DriverDir d;
        d.write(0, "0: uart:16550A tx:10 rx:10\n");
        EXPECT_EQ(d.activity(0, SERIAL_RX), 0) << "baseline";
        d.write(0, "0: uart:16550A tx:15 rx:10\n");
        EXPECT_EQ(d.activity(0, SERIAL_RX), 0) << "transmit only, receive mode";
        d.write(0, "0: uart:16550A tx:15 rx:11\n");
        EXPECT_EQ(d.activity(0, SERIAL_TX), 0) << "receive only, transmit mode";
        d.write(0, "0: uart:16550A tx:16 rx:11\n");
        EXPECT_EQ(d.activity(0, SERIAL_TX), 1);
        d.write(0, "0: uart:16550A tx:16 rx:12\n");
        EXPECT_EQ(d.activity(0, SERIAL_TX | SERIAL_RX), 1);
        EXPECT_EQ(d.activity(0, SERIAL_TX | SERIAL_RX), 0) << "no change since the previous call";
        d.write(0, "0: uart:16550A tx:-4 rx:12\n");
        EXPECT_EQ(d.activity(0, SERIAL_TX), 1) << "wrapped counts still compare";
    });
}

TEST(SerialActivity, FailureOnTheFirstReadReportsUnreadable)
{
    in_fresh_process([] {
        DriverDir d;
        log_capture log;
        EXPECT_EQ(d.activity(0, SERIAL_RX), -1);
        EXPECT_EQ(log.messages(), std::vector<std::string>{"serial stat file not found"});
    });
}
