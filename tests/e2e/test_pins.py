"""The pin modes against the GPIO stand-in, with timing."""
import signal
import unittest

import harness
from harness import Machine, levels_between, timed
from sandbox import LOG_DAEMON, LOG_ERR


def start_pin_mode(box, mode, io_script="echo 1\nexit 1", **kw):
    box.settings(f"MOD_TAVRIN_MODE={mode}\n")
    box.tool("/usr/bin/io", io_script)
    box.start(**kw)


class PinModes(unittest.TestCase):
    def test_period_is_100ms_after_each_evaluation(self):
        with Machine() as box:
            box.set_pin("out0", 1)
            start_pin_mode(box, 3)
            self.assertEqual(box.stop_after(25, 3), 0)
            times = [t for t, _ in box.led_writes()]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertGreaterEqual(min(gaps), 0.099, "an iteration shorter than the period")
        # No later than a period and the longest pin read measured here.
        self.assertIsNone(harness.timing_mismatch(box, 3))

    def test_level_changes_show_within_a_period(self):
        with Machine() as box:
            start_pin_mode(box, 3)
            box.wait_iterations(2, 3)
            changes = []
            level = 0
            for _ in range(8):
                level ^= 1
                changes.append((timed(box, lambda: box.set_pin("out0", level)), level))
                box.wait_iterations(2, 3, since=changes[-1][0][1])
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            writes = box.led_writes()
            gets = [e for e in box.gpio_events() if e[1] == "get"]
        for n, ((began, done), level) in enumerate(changes):
            until = changes[n + 1][0][0] if n + 1 < len(changes) else None
            self.assertEqual(set(levels_between(box, 3, done, until)), {level},
                             f"level {level} set at {done:.2f}s: shown by the next iteration on")
        # Every period after the probe reads the pin from the device.
        self.assertEqual(len(gets), len(writes) - 1)
        self.assertTrue(all(e[2] == "out0" for e in gets))

    def test_probe_of_a_daemon_started_without_standard_descriptors(self):
        # The log socket takes 0, and the probe's pipe 1 and 2: its ends are
        # moved above 2, or the tool's answer would go to the null device
        # and the read wait for ever on a write end that nothing closes.
        with Machine() as box:
            box.set_pin("out0", 0)
            start_pin_mode(box, 3, closed=(0, 1, 2))
            self.assertEqual(box.stop_after(4, 3), 0)
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
        with Machine() as box:
            box.set_pin("bin0", 1)
            # The preloaded stand-in holds a descriptor of its own: one
            # fewer where the device is a driver.
            start_pin_mode(box, 1, nofile=6 if box.device_env() else 5)
            self.assertEqual(box.stop_after(4, 1), 0)
            log = box.log()
            writes = box.led_writes()
        errors = [m for m in log if m.text.startswith("gpio:")]
        self.assertGreaterEqual(len(errors), 4)
        for m in errors:
            self.assertEqual(m.text, "gpio: cannot create pipe when checking support for bin0")
            self.assertEqual(m.priority, LOG_DAEMON | LOG_ERR)
        self.assertEqual(len(errors), len(writes), "one failed probe per period")
        self.assertEqual([log[0].text, log[-1].text], ["started", "stopped"])


if __name__ == "__main__":
    harness.main()
