"""The router build of the daemon, run under user-mode emulation in the
simulated router: the lifecycle, and one mode through the (router build of
the) GPIO stand-in, which answers the device's ioctl calls inside the
emulated process."""
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from sandbox import LOG_DAEMON, LOG_NOTICE, Sandbox  # noqa: E402


class Emulated(unittest.TestCase):
    def test_without_settings_it_logs_started_and_stopped_and_exits_0(self):
        with Sandbox() as box:
            self.assertTrue(box.emulator, "TAVRIN_EMULATOR is not set")
            box.start()
            self.assertEqual(box.wait(timeout=20), 0)
            log = box.log()
            self.assertEqual([m.text for m in log], ["started", "stopped"])
            for m in log:
                self.assertEqual((m.priority, m.ident, m.pid), (LOG_DAEMON | LOG_NOTICE, "tavrind", box.pid))
            self.assertEqual(box.gpio_events(), [])

    def test_pin_mode_drives_the_led(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=3\n")
            box.tool("/usr/bin/io", "echo 1\nexit 1")
            box.set_pin("out0", 0)
            box.start()
            box.sleep_until(1.5)
            box.set_pin("out0", 1)
            box.sleep_until(2.5)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(timeout=20), 0)
            levels = [v for _, v in box.led_writes()]
        self.assertEqual(levels[0], 1, "the probe's exit code")
        self.assertIn(0, levels)
        self.assertEqual(levels[-1], 1)
        self.assertEqual(box.log_texts(), ["started", "stopped"])


if __name__ == "__main__":
    harness.main()
