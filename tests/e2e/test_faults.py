"""Platform faults and hostile input, each with the daemon's exact outcome."""
import signal
import time
import unittest

import harness
from harness import Machine, levels_between, timed
from peers import WiredWifi


STATION = "02:00:00:00:00:aa\n"


def opens(box):
    return [e[2] for e in box.gpio_events() if e[1] == "open"]


class GpioDevice(unittest.TestCase):
    def test_absent_device_is_retried_at_every_write_and_used_once_it_appears(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=16\n")
            box.hold("zelbarin", "listen", 443)
            box.gpio_present(False)
            box.start()
            deadline = time.monotonic() + 30
            while len(opens(box)) < 3 and time.monotonic() < deadline:
                time.sleep(0.05)
            present = timed(box, lambda: box.gpio_present(True))
            self.assertEqual(box.stop_after(2, 16, since=present[1]), 0)
            writes = box.led_writes()
        tried = opens(box)
        self.assertGreaterEqual(len(tried), 4)
        self.assertEqual(tried, ["0"] * (len(tried) - 1) + ["1"], "one open per LED write until it succeeds, then none")
        self.assertEqual({v for _, v in writes}, {1})
        self.assertTrue(all(t > present[0] for t, _ in writes))
        self.assertEqual(box.log_texts(), ["started", "stopped"])


class NoDevNull(unittest.TestCase):
    def test_captured_queries_still_work(self):
        with Machine(dev_null=False) as box:
            box.settings("MOD_TAVRIN_MODE=16\n")
            box.hold("zelbarin", "listen", 443)
            box.start()
            self.assertEqual(box.stop_after(2, 16), 0)
            self.assertEqual({v for _, v in box.led_writes()}, {1})
            self.assertIn("zelbarin", box.read("/tmp/tavrin_kv_vpn.txt"))

    def test_pin_probe_still_reads_the_tools_answer(self):
        with Machine(dev_null=False) as box:
            box.settings("MOD_TAVRIN_MODE=3\n")
            box.tool("/usr/bin/io", 'echo 1\nexit 1')
            box.set_pin("out0", 0)
            box.start()
            self.assertEqual(box.stop_after(4, 3), 0)
            levels = [v for _, v in box.led_writes()]
            self.assertEqual(levels[0], 1)
            self.assertEqual(set(levels[1:]), {0}, "later reads come from the device")

    @unittest.skipIf(harness.peers_missing(WiredWifi), f"missing {harness.peers_missing(WiredWifi)}")
    def test_uncaptured_pipeline_without_standard_descriptors(self):
        # The child starts with 0, 1 and 2 closed, so grep's match cannot be
        # written: GNU grep fails on that and the association is not seen;
        # BusyBox's grep (the router's) does not check the write and exits
        # 0 on the match, so there the association shows.
        with Machine(dev_null=False) as box:
            WiredWifi(box).link()
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.start()
            self.assertEqual(box.stop_after(2, 12), 0)
            self.assertEqual({v for _, v in box.led_writes()}, {1} if harness.emulated() else {0})
            self.assertEqual(box.log_texts(), ["started", "stopped"])


class ForkFails(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with Machine() as box:
            if not box.pids_cgroup():
                raise unittest.SkipTest("no pids cgroup to make forks fail")

    def test_status_modes_show_off_and_recover_when_forks_succeed_again(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=16\n")
            box.hold("zelbarin", "listen", 443)
            box.start()
            box.wait_iterations(1, 16)
            limited = timed(box, lambda: box.limit_forks(1))
            box.wait_iterations(2, 16, since=limited[1])
            lifted = timed(box, lambda: box.limit_forks("max"))
            self.assertEqual(box.stop_after(1, 16, since=lifted[1]), 0)
        self.assertEqual(set(levels_between(box, 16, 0, limited[0])), {1})
        during = levels_between(box, 16, limited[1], lifted[0])
        self.assertGreaterEqual(len(during), 2)
        self.assertEqual(set(during), {0}, "no query ran: the truncated capture means off")
        self.assertEqual(set(levels_between(box, 16, lifted[1])), {1})
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_pin_probe_that_cannot_fork_marks_the_pin_absent_for_the_run(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=3\n")
            box.tool("/usr/bin/io", 'echo "$*" >> /tmp/io.calls\necho 1\nexit 1')
            box.set_pin("out0", 1)
            box.start(pids_max=1)
            box.wait_iterations(10, 3)
            box.limit_forks("max")
            self.assertEqual(box.stop_after(5, 3, since=box.mark()), 0)
            levels = [v for _, v in box.led_writes()]
            gets = [e for e in box.gpio_events() if e[1] == "get"]
            self.assertIsNone(box.read("/tmp/io.calls"), "the tool never ran")
        self.assertGreaterEqual(len(levels), 15)
        self.assertEqual(set(levels), {0}, "absent pin: level 0 for the rest of the run")
        self.assertEqual(gets, [])
        self.assertEqual(box.log_texts(), ["started", "stopped"])


def resident_kib(box):
    for line in (box.read(f"/proc/{box.pid}/status") or "").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return None


class HugeToolOutput(unittest.TestCase):
    """A tool that prints megabytes: each query rewrites its capture, the
    daemon reads at most the start of it and keeps its memory. Scripted: no
    real tool prints that much."""
    MEGABYTES = 20

    def test_station_list(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=11\n")
            box.veth("wlan0")
            box.tool("hostapd_cli", f"echo {STATION.strip()}\nhead -c {self.MEGABYTES}000000 /dev/zero | tr '\\0' x")
            box.start()
            box.wait_iterations(3, 11)
            rss = resident_kib(box)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            # Read once the daemon has ended: no query is rewriting it.
            size = len(box.read("/tmp/tavrin_wifi_ap.txt"))
        self.assertEqual(size, len(STATION) + self.MEGABYTES * 1000000, "one answer, not an accumulation")
        # Each iteration takes its query's time plus the period.
        levels = [v for _, v in box.led_writes()]
        self.assertGreaterEqual(len(levels), 3)
        self.assertEqual(set(levels), {1})
        self.assertLess(rss, 8 * 1024)


class HostileSettings(unittest.TestCase):
    """One machine for all the cases: a daemon after the other."""

    @classmethod
    def setUpClass(cls):
        cls.box = Machine().__enter__()
        cls.box.tool("/usr/bin/io", "echo 1\nexit 0")

    @classmethod
    def tearDownClass(cls):
        cls.box.__exit__(None, None, None)

    def run_with(self, text, expected):
        """The log and the LED write times of a daemon started with the
        settings `text`: it ends by itself when `expected` is "none", else
        it is stopped after three LED writes."""
        box = self.box
        box.write("/opt/tavrin/etc/settings", text)
        box.start()
        if expected != "none":
            deadline = time.monotonic() + 30
            while len(box.led_writes()) < 3 and time.monotonic() < deadline:
                time.sleep(0.05)
            box.signal(signal.SIGTERM)
        self.assertEqual(box.wait(timeout=10), 0)
        times = [t for t, _ in box.led_writes()]
        return [m.text for m in box.log() if m.pid == box.pid], times

    def assert_period(self, times, expected):
        """The writes come a pin period (100 ms and a read) or a status
        period (a second and a query) apart."""
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertTrue(gaps, "the mode ran")
        if expected == "pin":
            self.assertTrue(all(0.09 < g < 0.6 for g in gaps), gaps)
        else:
            self.assertTrue(all(g >= 0.99 for g in gaps), gaps)

    def test_long_line_nul_bytes_and_no_final_newline(self):
        cases = [
            ("a 100,000-character line, then the key without a newline",
             "NOTE=" + "x" * 100000 + "\nMOD_TAVRIN_MODE=16", "status"),
            ("a NUL byte ends the value", "MOD_TAVRIN_MODE=1\x006\n", "pin"),
            ("a NUL byte in the key hides the line", "MOD_TAVRIN\x00_MODE=3\nMOD_TAVRIN_MODE=15\n", "status"),
            ("a 100,000-digit value is beyond 32 bits", "MOD_TAVRIN_MODE=" + "1" * 100000 + "\n", "none"),
            ("a key hidden past the line buffer", "X" * 16383 + "MOD_TAVRIN_MODE=2\n", "pin"),
            ("only NUL bytes", "\x00" * 5000, "none"),
        ]
        for name, text, expected in cases:
            with self.subTest(name):
                log, times = self.run_with(text, expected)
                if expected == "none":
                    self.assertEqual((log, times), (["started", "stopped"], []))
                    continue
                self.assertEqual(log, ["started", "stopped"])
                self.assert_period(times, expected)


    def test_spellings_a_configuration_tool_writes(self):
        cases = [
            ("quoted, CR LF line ends", 'A="1"\r\nMOD_TAVRIN_MODE="16"\r\nB=2\r\n', "status"),
            ("lower-case key, quoted, a comment after the closing quote",
             '# LED\nmod_tavrin_mode="2" # input pin\n', "pin"),
            ("a blank before the key hides it", ' MOD_TAVRIN_MODE=2\n', "none"),
        ]
        for name, text, expected in cases:
            with self.subTest(name):
                log, times = self.run_with(text, expected)
                self.assertEqual(log, ["started", "stopped"])
                if expected == "none":
                    self.assertEqual(times, [])
                    continue
                self.assert_period(times, expected)


class SerialStatistics(unittest.TestCase):
    def test_empty_driver_folder_stops_the_daemon_with_its_reasons(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=5\n")
            box.start()
            self.assertEqual(box.wait(), 0)
            self.assertEqual(box.log_texts(),
                             ["started", "serial stat file not found", "failure getting serial stats", "stopped"])
            self.assertEqual(box.led_writes(), [])


if __name__ == "__main__":
    harness.main()
