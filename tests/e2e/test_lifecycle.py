"""Start-up and stop of the real daemon in the simulated router."""
import signal
import time
import unittest

import harness
from harness import Machine, levels_between
from sandbox import LOG_DAEMON, LOG_NOTICE

IO_TOOL = "echo 1\nexit 1"


class StopSignals(unittest.TestCase):
    def run_and_stop(self, mode, sig, iterations):
        """Runs `mode` for `iterations` iterations, then sends `sig` (in the
        period sleep after the last of them, unless the machine is slow)."""
        with Machine() as box:
            box.settings(f"MOD_TAVRIN_MODE={mode}\n")
            box.tool("/usr/bin/io", IO_TOOL)
            box.set_pin("out0", 1)
            box.start()
            box.wait_iterations(iterations, mode)
            sent = box.signal(sig)
            code = box.wait(timeout=5)
            stopped_at = box.stopped_time()
            return box, code, sent, stopped_at

    def test_each_stop_signal_ends_the_pin_mode_without_a_further_write(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT):
            with self.subTest(signal=sig.name):
                box, code, sent, _ = self.run_and_stop(3, sig, 4)
                self.assertEqual(code, 0)
                self.assertEqual(box.log_texts(), ["started", "stopped"])
                for m in box.log():
                    self.assertEqual(m.priority, LOG_DAEMON | LOG_NOTICE, m.raw)
                    self.assertEqual((m.ident, m.pid), ("tavrind", box.pid), m.raw)
                self.assertGreaterEqual(len(box.led_writes()), 4)
                # The iteration under way when it arrived may still write;
                # none may begin after it.
                self.assertEqual(levels_between(box, 3, sent), [], "an iteration began after the stop signal")

    def test_signal_ends_the_one_second_sleep_early(self):
        # Mode 15 asks netstat once per second; nothing is connected: LED off.
        box, code, sent, stopped_at = self.run_and_stop(15, signal.SIGTERM, 1)
        self.assertEqual(code, 0)
        self.assertEqual(box.led_writes()[0][1], 0)
        self.assertIsNotNone(stopped_at)
        self.assertLess(stopped_at - sent, 0.4, "the period sleep was not cut short")

    def test_other_signals_keep_their_default_disposition(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=3\n")
            box.tool("/usr/bin/io", IO_TOOL)
            box.start()
            time.sleep(0.3)
            box.signal(signal.SIGUSR1)
            self.assertEqual(box.wait(timeout=5), -signal.SIGUSR1)
            self.assertEqual(box.log_texts(), ["started"])


    def test_started_with_sigchld_ignored_it_still_waits_for_its_queries(self):
        # A start script's `trap '' CHLD`: inherited as ignored, the kernel
        # reaps the daemon's children itself and no query's status could be
        # read. The daemon gives SIGCHLD its default back at start.
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=15\n")
            box.hold("mgmt-server", "serve", 7443)
            box.hold("korvane_clientd", "connect", 7443)
            box.start(ignore_sigchld=True)
            self.assertEqual(box.stop_after(3, 15), 0)
        self.assertEqual(set(levels_between(box, 15, 0)), {1})
        self.assertEqual(box.log_texts(), ["started", "stopped"])


class SystemLog(unittest.TestCase):
    def test_a_slow_log_reader_holds_the_daemon_back_and_loses_no_message(self):
        # With no room for the probe's pipe (see test_pins), mode 1 logs one
        # error and writes the LED once every 100 ms. While nothing reads
        # /dev/log (on the router: syslogd stopped) its queue fills, and the
        # daemon must wait in syslog() rather than drop lines.
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=1\n")
            box.start(nofile=6 if box.device_env() else 5)  # see test_pins
            box.wait_iterations(3, 1)
            box.pause_log()
            paused = box.mark()
            time.sleep(3)
            resumed = box.mark()
            box.resume_log()
            self.assertEqual(box.stop_after(3, 1, since=resumed), 0)
            texts = box.log_texts()
            writes = box.led_writes()
        errors = texts[1:-1]
        self.assertEqual([texts[0], texts[-1]], ["started", "stopped"])
        self.assertEqual(set(errors), {"gpio: cannot create pipe when checking support for bin0"})
        self.assertEqual(len(errors), len(writes), "one message for every iteration")
        # The queue takes about ten messages, and one may be on its way;
        # going on would be some thirty iterations in those 3 s.
        held = [t for t, _ in writes if paused < t < resumed]
        self.assertLessEqual(len(held), 13, "the daemon went on while its messages could not be sent")


if __name__ == "__main__":
    harness.main()
