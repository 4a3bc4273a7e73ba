#!/usr/bin/env python3
"""Mutation check: does the suite catch plausible faults in the daemon?

    python3 bench/mutate.py [--full] [--jobs N] [--work DIR] [NAME-SUBSTRING...]

The tracked (and new, unignored) files are copied to DIR/src (default
build-mutants/), built there once and the whole host suite (unit, scenarios,
end-to-end) run once on the unchanged copy. Then each fault below, one at a
time: its edits are applied to the copy's sources, the copy is rebuilt, the
tests of the fault's own area run, and the whole suite runs when they all
pass, before the fault is called a survivor; then the sources are restored.
--full runs the whole suite for every fault, to see every test that catches
it. The working tree itself is never touched.

Prints one row per fault: the tests that caught it (CTest names, with the
failing cases of a multi-case test in brackets), or SURVIVED, or a note that
the fault no longer applies to the sources or does not build. Exits 1 unless
every fault was caught. It takes long (about a minute a fault): a tool to
run by hand, not a test.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Areas of the suite, as CTest name patterns.
PINS = r"unit\.test_gpio|unit\.test_loop|e2e\.test_pins|e2e\.test_lifecycle|scenario\.mode0[1-4]|e2e\.test_faults"
SERIAL = r"unit\.test_serial|scenario\.mode0[5-9]|scenario\.mode10|e2e\.test_serial|e2e\.test_faults"
WIFI = r"unit\.test_netdev|e2e\.test_wifi|scenario\.mode1[12]|e2e\.test_faults"
VPN = r"e2e\.test_vpn|scenario\.mode1[34]|e2e\.test_faults"
MGMT = r"e2e\.test_mgmt|scenario\.mode1[56]|e2e\.test_faults"
RUNNER = r"unit\.test_spawn|e2e\.test_faults|e2e\.test_pins|scenario\.mode1[1-6]"
CAPTURE = r"unit\.test_capture|e2e\.test_capture_faults$"
KERNELS = r"sim\.test_kernel_as|e2e\.test_kernels|unit\.test_spawn\.linux"
SETTINGS = r"unit\.test_settings|e2e\.test_faults|scenario\.lifecycle"
LIFECYCLE = r"unit\.test_loop|e2e\.test_lifecycle|scenario\.lifecycle|e2e\.test_wifi|scenario"


class Fault:
    def __init__(self, name, area, path, old, new, *more):
        """`more`: further (path, old, new) edits that belong to the same fault."""
        self.name = name
        self.area = area
        self.edits = [(path, old, new)] + [tuple(more[i:i + 3]) for i in range(0, len(more), 3)]


FAULTS = [
    # The LED, the blink and the loop.
    Fault("blink: three off/on steps instead of four", WIFI + "|unit.test_gpio", "gpio/gpio.cpp",
          "for (int i = 0; i < 4; ++i) {", "for (int i = 0; i < 3; ++i) {"),
    Fault("blink: 100 ms steps instead of 125 ms", WIFI + "|unit.test_gpio", "gpio/gpio.cpp",
          "constexpr timespec step = {0, 125000000};", "constexpr timespec step = {0, 100000000};"),
    Fault("blink: 150 ms steps instead of 125 ms", WIFI + "|unit.test_gpio", "gpio/gpio.cpp",
          "constexpr timespec step = {0, 125000000};", "constexpr timespec step = {0, 150000000};"),
    Fault("blink: no sleep after its last step", WIFI, "gpio/gpio.cpp",
          "        led_set(1);\n        nanosleep(&step, nullptr);\n    }",
          "        led_set(1);\n        if (i < 3)\n            nanosleep(&step, nullptr);\n    }"),
    Fault("pin period 10 ms instead of 100 ms", PINS, "daemon/loop.h",
          "PERIOD_PIN = {0, 100000000};", "PERIOD_PIN = {0, 10000000};"),
    Fault("pin period 150 ms instead of 100 ms", PINS, "daemon/loop.h",
          "PERIOD_PIN = {0, 100000000};", "PERIOD_PIN = {0, 150000000};"),
    Fault("status period 500 ms instead of 1 s", LIFECYCLE, "daemon/loop.h",
          "PERIOD_STATUS = {1, 0};", "PERIOD_STATUS = {0, 500000000};"),
    Fault("status period 2 s instead of 1 s", LIFECYCLE, "daemon/loop.h",
          "PERIOD_STATUS = {1, 0};", "PERIOD_STATUS = {2, 0};"),
    Fault("GPIO device opened again for every call", PINS, "gpio/gpio.cpp",
          "    if (gpio_fd.load(std::memory_order_relaxed) < 0)\n        gpio_fd.store(",
          "    gpio_fd.store("),
    Fault("back-to-back blinks without the stop check between them", WIFI + "|" + LIFECYCLE,
          "daemon/service.cpp",
          "        const step_result step = def.body();\n",
          "        step_result step = def.body();\n"
          "        while (step.kind == step_kind::blink) {\n"
          "            blink_activity();\n"
          "            step = def.body();\n"
          "        }\n"),
    Fault("a period sleep after the traffic blink", WIFI, "daemon/service.cpp",
          "            blink_activity();\n            break;",
          "            blink_activity();\n            nanosleep(&def.period, nullptr);\n            break;"),
    Fault("\"stopped\" logged only when a signal ended the loop", LIFECYCLE + "|" + SERIAL + "|" + VPN,
          "daemon/main.cpp",
          "        run_mode_loop(def);\n",
          "    {\n        run_mode_loop(def);\n        if (got_signal.load() == 0)\n            return 0;\n    }\n"),
    Fault("SIGQUIT not a stop signal", LIFECYCLE, "daemon/service.h",
          "STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT};", "STOP_SIGNALS[] = {SIGINT, SIGTERM};"),
    Fault("log identity is the whole argv[0]", LIFECYCLE, "daemon/service.cpp",
          "return slash != nullptr ? slash + 1 : argv0;", "return argv0;"),
    Fault("log lines without the process id", LIFECYCLE, "daemon/main.cpp",
          "LOG_PID | LOG_NDELAY", "LOG_NDELAY"),
    Fault("mode 16 not selectable (range check off by one)", LIFECYCLE + "|" + MGMT, "daemon/modes.cpp",
          "mode > MODE_VPN_PORTAL)", "mode >= MODE_VPN_PORTAL)"),
    Fault("modes 4 and 5 swap periods (pin period bound off by one)", PINS + "|" + SERIAL, "daemon/modes.cpp",
          "mode <= MODE_OUT1 ? PERIOD_PIN", "mode < MODE_OUT1 ? PERIOD_PIN"),

    # Settings.
    Fault("settings key compared with letter case", SETTINGS, "settings/settings.cpp",
          "strcasecmp(settings_line, key)", "strcmp(settings_line, key)"),
    Fault("settings value: opening quote kept", SETTINGS, "settings/settings.cpp",
          "        if (*value == '\"')\n            ++value;\n", ""),
    Fault("settings value: closing quote and what follows kept", SETTINGS, "settings/settings.cpp",
          "        if (char* quote = std::strrchr(settings_line, '\"'))\n            *quote = '\\0';\n", ""),
    Fault("settings: CR of a CR LF line end kept", SETTINGS, "settings/settings.cpp",
          "        cut_at_first(settings_line, '\\r');\n", ""),
    Fault("settings: lookup from the current position, not the first line", SETTINGS, "settings/settings.cpp",
          "    if (file == nullptr || !file->rewind())", "    if (file == nullptr)"),

    # Pins.
    Fault("mode 1 follows bin0 instead of inverting it", PINS, "gpio/pins.cpp",
          "mode_bin0_low() { return show_pin(PIN_BIN0, true); }", "mode_bin0_low() { return show_pin(PIN_BIN0, false); }"),
    Fault("mode 2 reads bin0", PINS, "gpio/pins.cpp",
          "mode_bin1_low() { return show_pin(PIN_BIN1, true); }", "mode_bin1_low() { return show_pin(PIN_BIN0, true); }"),
    Fault("out1 read with out0's command", PINS, "gpio/pins.cpp",
          "case PIN_OUT1: return GPIO_GET_OUT1;", "case PIN_OUT1: return GPIO_GET_OUT0;"),
    Fault("probe: the printed digit as the first level, not the exit code", PINS, "gpio/pins.cpp",
          "    return (probe.status >> 8) & 0xFF;", "    return first - '0';"),
    Fault("probe: any first byte means the pin exists", PINS, "gpio/pins.cpp",
          "if (got == 0 || (first != '0' && first != '1')) {", "if (got == 0) {"),
    Fault("probe: an absent pin is probed again every period", PINS, "gpio/pins.cpp",
          "        entry.support = PIN_SUPPORT_NONE;\n", ""),
    Fault("pin read error passed on as a negative level", PINS, "gpio/pins.cpp",
          "    return level >= 0 ? level : 0;", "    return level;"),
    Fault("pipe failure logged at notice, not err", PINS, "gpio/pins.cpp",
          'syslog(LOG_ERR, "gpio: cannot create pipe', 'syslog(LOG_NOTICE, "gpio: cannot create pipe'),

    # The runner and the capture files.
    Fault("child keeps the daemon's descriptors above 2", RUNNER, "spawn/spawn.cpp",
          "    close_from_3();\n\n", "\n"),
    Fault("child's error output goes into the capture", RUNNER, "spawn/spawn.cpp",
          "redirect_record.out_fd, redirect_record.err_fd};", "redirect_record.out_fd, redirect_record.out_fd};"),
    Fault("standard descriptor 2 accepted as a child's output", RUNNER, "spawn/spawn.cpp",
          "    if (fd == 0 || fd == 2)\n", "    if (fd == 0)\n"),
    Fault("stored descriptors not closed after the fork", RUNNER, "spawn/spawn.cpp",
          "        if (*fd > 2)\n            close(*fd);\n", ""),
    Fault("61 arguments at most instead of 62", RUNNER, "spawn/spawn.cpp",
          "constexpr int MAX_ARGS = 62;", "constexpr int MAX_ARGS = 61;"),
    Fault("/dev/null may land on a standard descriptor in the child", RUNNER, "spawn/spawn.cpp",
          "    return move_above_stdio(open(\"/dev/null\", O_RDWR));", "    return open(\"/dev/null\", O_RDWR);"),
    Fault("a child's pipe ends may sit at 0 to 2", PINS + "|" + CAPTURE, "spawn/spawn.cpp",
          "    fds[0] = move_above_stdio(fds[0]);\n    fds[1] = move_above_stdio(fds[1]);\n", ""),
    Fault("runner: the answer's pipe read only once the query has ended", CAPTURE, "spawn/spawn.cpp",
          "pollfd pipe_end = {pipe.open ? pipe.drain->fd : -1, POLLIN, 0};", "pollfd pipe_end = {-1, POLLIN, 0};"),
    Fault("runner: what the query wrote just before it ended is lost", CAPTURE, "spawn/spawn.cpp",
          "pipe.drain != nullptr && read_rest(pipe);", "pipe.drain != nullptr;"),
    Fault("runner: waits for the pipe's end instead of the tool's", CAPTURE, "spawn/spawn.cpp",
          "        const int state = reap(pid, status);", "        const int state = pipe.open ? 0 : reap(pid, status);"),
    Fault("runner: a failed ppoll is ignored (the wait spins)", CAPTURE, "spawn/spawn.cpp",
          "        if (ready < 0 && errno != EINTR)\n            return waited::wait_failed;\n", ""),
    Fault("runner: without close_range, descriptors closed only up to getdtablesize()", KERNELS, "spawn/spawn.cpp",
          "    for (int fd = descriptor_limit() - 1; fd >= 3; --fd)",
          "    for (int fd = getdtablesize() + 0 * descriptor_limit() - 1; fd >= 3; --fd)"),
    Fault("runner: a redirection replaced before any run is left open", RUNNER, "spawn/spawn.cpp",
          "    if (redirect_record.out_fd > 2 && redirect_record.out_fd != fd)\n        close(redirect_record.out_fd);\n",
          ""),
    Fault("runner: no SIGCHLD handler while it waits (a child's end does not wake it)", RUNNER, "spawn/spawn.cpp",
          "    sigaction(SIGCHLD, &on_child, &caller_on_child);", "    sigaction(SIGCHLD, nullptr, &caller_on_child);"),
    Fault("capture: an empty folder at the name is not replaced", CAPTURE, "spawn/capture.cpp",
          "    return errno == EISDIR && rmdir(path) == 0 && rename(copy, path) == 0;", "    return false;"),
    Fault("capture: the unpublished copy is left behind", CAPTURE, "spawn/capture.cpp",
          "        if (!closed || !replace_name(name_, capture_))\n            unlink(name_);",
          "        if (!closed || !replace_name(name_, capture_))\n            (void)name_;"),
    Fault("capture: an answer that is not whole (abandoned, killed) published", CAPTURE, "spawn/capture.cpp",
          "    if (answer->whole)\n        copy.publish();", "    copy.publish();"),
    Fault("capture: a tool killed by a signal publishes what it wrote", CAPTURE, "spawn/capture.cpp",
          "answer->query.end == query_end::exited && answer->query.output_read",
          "answer->query.end != query_end::abandoned && answer->query.output_read"),
    Fault("capture: published only when the query succeeded", CAPTURE + "|" + VPN + "|" + MGMT + "|" + WIFI,
          "spawn/capture.cpp", "    if (answer->whole)\n        copy.publish();",
          "    if (answer->whole && answer->query.status == 0)\n        copy.publish();"),
    Fault("capture: a copy cut short (no room) published", CAPTURE, "spawn/capture.cpp",
          "        if (make() && !write_all(fd_, bytes, count))\n            discard();",
          "        if (make())\n            write_all(fd_, bytes, count);"),
    Fault("capture: a copy that cannot be written kept until the query ends", CAPTURE, "spawn/capture.cpp",
          "        if (make() && !write_all(fd_, bytes, count))\n            discard();",
          "        if (!failed_ && make() && !write_all(fd_, bytes, count))\n            failed_ = true;",
          "spawn/capture.cpp", "        if (!make())\n            return;\n        const bool closed",
          "        if (failed_ || !make())\n            return;\n        const bool closed"),
    Fault("capture: the copy made before the runner agrees to start", CAPTURE, "spawn/capture.cpp",
          "    output_drain drain = {-1, take, &reading};", "    output_drain drain = {-1, take, &reading};\n    copy.add(\"\", 0);"),
    Fault("capture: a taken name ends the search for the copy's", CAPTURE, "spawn/capture.cpp",
          "        if (fd >= 0 || errno != EEXIST)\n            return fd;", "        return fd;"),
    Fault("capture: published world-writable", CAPTURE, "spawn/capture.cpp",
          "constexpr mode_t CAPTURE_MODE = 0644;", "constexpr mode_t CAPTURE_MODE = 0666;"),
    Fault("capture: a publish leaks the copy's descriptor", CAPTURE, "spawn/capture.cpp",
          "        const bool closed = close(fd_) == 0;", "        const bool closed = true;"),
    Fault("kernel_as: the filter denies nothing", KERNELS, "sim/kernel_as.cpp",
          "        BPF_STMT(RET, errno_of(ENOSYS)),", "        BPF_STMT(RET, ALLOW),"),
    Fault("runner: a query outliving the stop grace is not ended", RUNNER + "|e2e.test_hangs", "spawn/spawn.cpp",
          "    if (kill(-pid, SIGKILL) != 0)\n        kill(pid, SIGKILL);  // no group of its own after all\n", ""),
    Fault("runner: only the query's shell ended after the grace, not its pipeline", RUNNER + "|e2e.test_hangs",
          "spawn/spawn.cpp", "    if (kill(-pid, SIGKILL) != 0)\n        kill(pid, SIGKILL);", "    kill(pid, SIGKILL);"),
    Fault("runner: each look at the stop grace starts it again", RUNNER, "spawn/spawn.cpp",
          "    if (!grace_started) {\n        grace_deadline", "    {\n        grace_deadline"),
    Fault("runner: the child keeps the wait's blocked signals", RUNNER, "spawn/spawn.cpp",
          "    sigprocmask(SIG_SETMASK, &mask, nullptr);\n    const int nul", "    (void)mask;\n    const int nul"),
    Fault("status modes: a query the stop grace ended is still shown", LIFECYCLE, "modes/status.cpp",
          "    if (query.end == query_end::abandoned)\n        return end_mode();\n", ""),
    Fault("mode 11 reads the interface counters after its query was abandoned", LIFECYCLE, "modes/status.cpp",
          "    if (answer.query.end == query_end::abandoned)\n        return end_mode();\n", ""),
    Fault("pin modes: a probe the stop grace ended is still shown", PINS + "|e2e.test_kernels|e2e.test_hangs",
          "gpio/pins.cpp", "    if (level == PIN_PROBE_ABANDONED)\n        return end_mode();\n", ""),
    Fault("a file-size limit ends the daemon (SIGXFSZ left at its default)", CAPTURE, "daemon/service.cpp",
          "        signal(SIGXFSZ, on_file_size_limit);", "        (void)on_file_size_limit;"),
    Fault("SIGXFSZ ignored, and so ignored in every tool too", CAPTURE, "daemon/service.cpp",
          "        signal(SIGXFSZ, on_file_size_limit);", "        (void)on_file_size_limit, signal(SIGXFSZ, SIG_IGN);"),
    Fault("a 3 s stop grace", RUNNER + "|e2e.test_hangs|e2e.test_kernels", "spawn/spawn.h",
          "STOP_GRACE_MS = 2000;", "STOP_GRACE_MS = 3000;"),

    # Serial modes.
    Fault("mode 5 watches transmit", SERIAL, "monitors/serial.cpp",
          "mode_serial0_rx() { return serial_step(0, SERIAL_RX); }", "mode_serial0_rx() { return serial_step(0, SERIAL_TX); }"),
    Fault("mode 6 watches receive", SERIAL, "monitors/serial.cpp",
          "mode_serial0_tx() { return serial_step(0, SERIAL_TX); }", "mode_serial0_tx() { return serial_step(0, SERIAL_RX); }"),
    Fault("mode 7 watches receive only", SERIAL, "monitors/serial.cpp",
          "mode_serial0_any() { return serial_step(0, SERIAL_TX | SERIAL_RX); }",
          "mode_serial0_any() { return serial_step(0, SERIAL_RX); }"),
    Fault("mode 8 watches transmit", SERIAL, "monitors/serial.cpp",
          "mode_serial1_rx() { return serial_step(1, SERIAL_RX); }", "mode_serial1_rx() { return serial_step(1, SERIAL_TX); }"),
    Fault("mode 9 watches receive", SERIAL, "monitors/serial.cpp",
          "mode_serial1_tx() { return serial_step(1, SERIAL_TX); }", "mode_serial1_tx() { return serial_step(1, SERIAL_RX); }"),
    Fault("mode 10 watches transmit only", SERIAL, "monitors/serial.cpp",
          "mode_serial1_any() { return serial_step(1, SERIAL_TX | SERIAL_RX); }",
          "mode_serial1_any() { return serial_step(1, SERIAL_TX); }"),
    Fault("mode 8 reads port 0", SERIAL, "monitors/serial.cpp",
          "mode_serial1_rx() { return serial_step(1, SERIAL_RX); }", "mode_serial1_rx() { return serial_step(0, SERIAL_RX); }"),
    Fault("unreadable serial statistics do not end the mode", SERIAL, "monitors/serial.cpp",
          '        return end_mode_logging("failure getting serial stats");', "        return show_level(0);"),
    Fault("serial: the first read reports traffic", SERIAL, "monitors/serial.cpp",
          "        counters.primed = true;\n        return ACTIVITY_NONE;",
          "        counters.primed = true;\n        return ACTIVITY_SEEN;"),
    Fault("serial: ttyS tried before serial", SERIAL, "monitors/serial.cpp",
          '    "/proc/tty/driver/serial",\n    "/proc/tty/driver/OMAP-SERIAL",\n    "/proc/tty/driver/ttyS",\n',
          '    "/proc/tty/driver/ttyS",\n    "/proc/tty/driver/OMAP-SERIAL",\n    "/proc/tty/driver/serial",\n'),

    # Wireless modes and the interface counters.
    Fault("one-byte station list counts as a station", WIFI + "|" + MGMT, "modes/status.cpp",
          "answer.whole && answer.head.size > 1", "answer.whole && answer.head.size > 0"),
    Fault("mode 12 watches the access point's counters (wlan0), not the client's", WIFI, "modes/wifi.cpp",
          'link_traffic("wlan1", ', 'link_traffic("wlan0", '),
    Fault("mode 12 ignores the association query's status", WIFI, "modes/wifi.cpp",
          "if (query.end == query_end::abandoned || query.status != 0)", "if (query.end == query_end::abandoned)"),
    Fault("unreadable interface counters not logged", WIFI, "modes/wifi.cpp",
          '        syslog(LOG_NOTICE, "%s", unreadable_message);\n', "        (void)unreadable_message;\n"),
    Fault("unreadable interface counters shown as on", WIFI, "modes/wifi.cpp",
          '        syslog(LOG_NOTICE, "%s", unreadable_message);\n        return show_level(0);',
          '        syslog(LOG_NOTICE, "%s", unreadable_message);\n        return show_level(1);'),
    Fault("a link without traffic blinks", WIFI + r"|soak\.short", "modes/wifi.cpp",
          "    case ACTIVITY_NONE:\n        return show_level(1);", "    case ACTIVITY_NONE:\n        return show_blink();"),
    Fault("interface traffic compared on received bytes only", WIFI, "monitors/netdev.cpp",
          "counters.rx_bytes != rx || counters.tx_bytes != tx", "counters.rx_bytes != rx"),
    Fault("interface: the first read reports traffic", WIFI, "monitors/netdev.cpp",
          "        counters.primed = true;\n        return ACTIVITY_NONE;",
          "        counters.primed = true;\n        return ACTIVITY_SEEN;"),

    # VPN modes.
    Fault("tunnels tun0 to tun2 only", VPN, "modes/vpn.cpp", "*digit <= '3'", "*digit <= '2'"),
    Fault("a tunnel with 0 bytes received counts", VPN, "modes/vpn.cpp",
          "        if (received != 0)\n            return show_level(1);", "        return show_level(1);"),
    Fault("a failed tunnel query is fatal", VPN, "modes/vpn.cpp",
          "        if (answer.query.status != 0)\n            continue;",
          "        if (answer.query.status != 0)\n            return end_mode_logging(\"failure getting OpenVPN status\");"),
    Fault("an unscannable tunnel count is skipped, not fatal", VPN, "modes/vpn.cpp",
          '            return end_mode_logging("failure getting OpenVPN status");', "            continue;"),
    Fault("IPsec: swanctl preferred over stroke", VPN, "modes/vpn.cpp",
          "    if (file_exists(IPSEC_STROKE)) {", "    if (!file_exists(IPSEC_SWANCTL) && file_exists(IPSEC_STROKE)) {"),
    Fault("IPsec: association count ignored", VPN, "modes/vpn.cpp",
          "return show_level(up != 0 ? 1 : 0);", "return show_level(1);"),
    Fault("an exit status read inverted (mode 14 with swanctl, mode 15)", VPN + "|" + MGMT, "modes/status.cpp",
          "    return show_level(query.status == 0 ? 1 : 0);", "    return show_level(query.status != 0 ? 1 : 0);"),
    Fault("IPsec: no tool is not fatal", VPN, "modes/vpn.cpp",
          "    return end_mode_logging(IPSEC_FAILURE);\n}\n", "    return show_level(0);\n}\n"),
    Fault("IPsec: a failed stroke query is fatal", VPN, "modes/vpn.cpp",
          "        if (answer.query.status != 0)\n            return show_level(0);",
          "        if (answer.query.status != 0)\n            return end_mode_logging(IPSEC_FAILURE);"),

    # Management services.
    Fault("mode 16 judged by the query's exit status, nothing captured", MGMT, "modes/mgmt.cpp",
          "    return show_listing(VPN_PORTAL_CAPTURE, VPN_PORTAL_QUERY, [] { return show_level(1); });",
          "    return show_exit_status(run_shell(VPN_PORTAL_QUERY));"),
]

FAILED_TEST_RE = re.compile(r"^\s*\d+ - (\S+) \(", re.M)
FAILED_CASE_RE = re.compile(r"^(?:(?:FAIL|ERROR): (test\w+) \(|\[  FAILED  \] (\w+\.\w+)(?: \(|$))", re.M)


def copy_tree(dest):
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                           check=True, capture_output=True).stdout.decode().split("\0")
    if os.path.exists(dest):
        shutil.rmtree(dest)
    for rel in filter(None, files):
        src = os.path.join(ROOT, rel)
        if not os.path.isfile(src):
            continue  # deleted in the working tree
        os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
        shutil.copy2(src, os.path.join(dest, rel))


def build(src, out):
    run = subprocess.run(["cmake", "--build", out, f"-j{os.cpu_count()}"], capture_output=True, text=True)
    return run.returncode == 0, run.stdout + run.stderr


def ctest(out, pattern, jobs):
    cmd = ["ctest", "--test-dir", out, "--output-on-failure", f"-j{jobs}", "--timeout", "240"]
    if pattern:
        cmd += ["-R", pattern]
    run = subprocess.run(cmd, capture_output=True, text=True, errors="replace")
    text = run.stdout + run.stderr
    tail = text[text.find("The following tests FAILED:"):] if "The following tests FAILED:" in text else ""
    failed = FAILED_TEST_RE.findall(tail)
    cases = [a or b for a, b in FAILED_CASE_RE.findall(text)]
    return failed, sorted(set(cases)), text


def apply(src, fault):
    """Applies the fault's edits; returns the original contents by path, or
    None when an edit no longer matches the sources exactly once."""
    saved = {}
    for path, old, new in fault.edits:
        full = os.path.join(src, path)
        with open(full) as f:
            current = f.read()
        if current.count(old) != 1:
            restore(src, saved)
            return None
        saved.setdefault(path, current)
        with open(full, "w") as f:
            f.write(current.replace(old, new))
    return saved


def restore(src, saved):
    for path, text in saved.items():
        with open(os.path.join(src, path), "w") as f:
            f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--full", action="store_true", help="run the whole suite for every fault")
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("only", nargs="*", help="run only faults whose name contains one of these")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("mutate: the end-to-end tests need root")
        return 1
    faults = [f for f in FAULTS if not args.only or any(o in f.name for o in args.only)]
    src, out = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    copy_tree(src)
    subprocess.run(["cmake", "-S", src, "-B", out, "-DTAVRIN_WERROR=OFF"], check=True, capture_output=True)
    ok, log = build(src, out)
    if not ok:
        print(log)
        return 1
    started = time.monotonic()
    failed, _, text = ctest(out, None, args.jobs)
    if failed:
        print(f"the unchanged sources fail {failed}: no fault can be judged\n{text[-4000:]}")
        return 1
    print(f"unchanged sources: the whole suite passes ({time.monotonic() - started:.0f} s)\n", flush=True)

    rows = []
    for i, fault in enumerate(faults, 1):
        t0 = time.monotonic()
        saved = apply(src, fault)
        if saved is None:
            verdict = "NOT APPLIED (the sources changed: update the fault)"
        else:
            try:
                ok, log = build(src, out)
                if not ok:
                    verdict = "DOES NOT BUILD (update the fault)"
                else:
                    failed, cases, _ = ctest(out, None if args.full else fault.area, args.jobs)
                    if not failed and not args.full:
                        failed, cases, _ = ctest(out, None, args.jobs)
                    verdict = (", ".join(failed) + (f" [{', '.join(cases)}]" if cases else "")) if failed \
                        else "SURVIVED"
            finally:
                restore(src, saved)
        rows.append((fault.name, verdict))
        print(f"{i:2d}/{len(faults)} {fault.name}: {verdict} ({time.monotonic() - t0:.0f} s)", flush=True)
    build(src, out)

    width = max(len(name) for name, _ in rows)
    print(f"\n{'fault':<{width}}  caught by")
    for name, verdict in rows:
        print(f"{name:<{width}}  {verdict}")
    survivors = [name for name, verdict in rows if not verdict.startswith(("unit.", "e2e.", "scenario.", "sim.", "soak."))]
    print(f"\n{len(rows) - len(survivors)} of {len(rows)} faults caught")
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
