// The loop every mode runs, driven with test bodies against the device
// stand-in, and the stop signals delivered for real.
#include "daemon/loop.h"
#include "daemon/service.h"
#include "modes/mgmt.h"
#include "modes/vpn.h"
#include "modes/wifi.h"

#include "fresh_process.h"
#include "log_capture.h"
#include "sim_device.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
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

TEST_F(Loop, QueryEndedByTheStopGraceEndsTheModeWithNothingMoreDone)
{
    // Tools that hang after part of an answer that would show as on: a
    // station, a tunnel's count, an established connection. Once the grace
    // ends the query, the mode asks nothing more (no other tunnel, not the
    // interface's counters), logs nothing and shows nothing.
    const std::string tools = "/tmp/tavrin-loop-tools";
    ASSERT_EQ(std::system(("rm -rf " + tools + " && mkdir " + tools).c_str()), 0);
    const struct {
        const char* tool;
        const char* answer;
        mode_body body;
    } modes[] = {{"hostapd_cli", "02:00:00:00:00:01", mode_wifi_ap},
                 {"ifconfig", "RX bytes:5", mode_openvpn},
                 {"netstat", "ESTABLISHED 7/korvane_clientd", mode_mgmt_client}};
    for (const auto& mode : modes) {
        const std::string script = tools + "/" + mode.tool;
        std::ofstream(script) << "#!/bin/sh\necho \"$*\" >> " << tools << "/asked\necho '" << mode.answer
                              << "'\nexec sleep 60\n";
        ASSERT_EQ(chmod(script.c_str(), 0755), 0);
        in_fresh_process([&] {
            setenv("PATH", (tools + ":" + getenv("PATH")).c_str(), 1);
            log_capture log;
            const pid_t sender = signal_later(SIGTERM, 300);
            const double start = monotonic_seconds();
            run_mode_loop({{5, 0}, mode.body});
            const double took = monotonic_seconds() - start;
            waitpid(sender, nullptr, 0);
            EXPECT_TRUE(dev.led_levels().empty()) << mode.tool << ": an LED write from the ended query";
            EXPECT_TRUE(log.messages().empty()) << mode.tool << ": " << log.messages()[0];
            EXPECT_LT(took, 3.0) << mode.tool << ": a sleep or blink followed";
        });
        std::ifstream asked(tools + "/asked");
        std::string line, last;
        int count = 0;
        while (std::getline(asked, line) && ++count)
            last = line;
        EXPECT_EQ(count, 1) << mode.tool << " asked again after the grace; last: " << last;
        std::remove((tools + "/asked").c_str());
        std::remove(script.c_str());
    }
    std::remove(tools.c_str());
}
