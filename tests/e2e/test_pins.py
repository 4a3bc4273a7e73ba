"""The pin modes against the GPIO stand-in, with timing."""
import signal
import statistics
import unittest

import harness
from sandbox import LOG_DAEMON, LOG_ERR, Sandbox


def start_pin_mode(box, mode, io_script="echo 1\nexit 1", **kw):
    box.settings(f"MOD_TAVRIN_MODE={mode}\n")
    box.tool("/usr/bin/io", io_script)
    box.start(**kw)


class PinModes(unittest.TestCase):
    def test_period_is_100ms_after_each_evaluation(self):
        with Sandbox() as box:
            box.set_pin("out0", 1)
            start_pin_mode(box, 3)
            box.sleep_until(3.0)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            times = [t for t, _ in box.led_writes()]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertGreater(len(gaps), 15)
        self.assertGreaterEqual(min(gaps), 0.099, "an iteration shorter than the period")
        # Loose upper bounds: a loaded 2-core machine delays wake-ups.
        self.assertLess(statistics.median(gaps), 0.16)
        self.assertGreater(len(gaps), 3.0 / 0.2)

    def test_level_changes_show_within_a_period(self):
        with Sandbox() as box:
            start_pin_mode(box, 3)
            changes = []
            level = 0
            for i in range(8):
                box.sleep_until(0.5 + i * 0.23)
                level ^= 1
                box.set_pin("out0", level)
                changes.append((box.now(), level))
            box.sleep_until(2.5)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            writes = box.led_writes()
            gets = [e for e in box.gpio_events() if e[1] == "get"]
        for when, level in changes:
            shown = next((t for t, v in writes if t > when and v == level), None)
            self.assertIsNotNone(shown, f"level {level} set at {when:.2f}s never shown")
            self.assertLess(shown - when, 0.1 + 0.15, f"level {level} set at {when:.2f}s shown at {shown:.2f}s")
        # Every period after the probe reads the pin from the device.
        self.assertEqual(len(gets), len(writes) - 1)
        self.assertTrue(all(e[2] == "out0" for e in gets))

    def test_probe_of_a_daemon_started_without_standard_descriptors(self):
        # The log socket takes 0, and the probe's pipe 1 and 2: its ends are
        # moved above 2, or the tool's answer would go to the null device
        # and the read wait for ever on a write end that nothing closes.
        with Sandbox() as box:
            box.set_pin("out0", 0)
            start_pin_mode(box, 3, closed=(0, 1, 2))
            box.sleep_until(0.55)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            levels = [v for _, v in box.led_writes()]
        self.assertEqual(levels[0], 1, "the probe's exit code")
        self.assertGreaterEqual(len(levels), 4)
        self.assertEqual(set(levels[1:]), {0}, "later reads come from the device")
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_probe_without_room_for_its_pipe_logs_and_retries_every_period(self):
        # Descriptors 0-2, the GPIO stand-in's event log, the log socket and
        # one free descriptor fill a limit of 6 (the settings file was read
        # and closed before): the first probe's pipe cannot be made, the LED
        # write then takes the last descriptor for the device.
        with Sandbox() as box:
            box.set_pin("bin0", 1)
            start_pin_mode(box, 1, nofile=6)
            box.sleep_until(0.55)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            log = box.log()
        errors = [m for m in log if m.text.startswith("gpio:")]
        self.assertGreaterEqual(len(errors), 4)
        for m in errors:
            self.assertEqual(m.text, "gpio: cannot create pipe when checking support for bin0")
            self.assertEqual(m.priority, LOG_DAEMON | LOG_ERR)
        self.assertLessEqual(len(errors), 7, "one failed probe per period")
        self.assertEqual([log[0].text, log[-1].text], ["started", "stopped"])


if __name__ == "__main__":
    harness.main()
