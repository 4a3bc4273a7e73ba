"""The daemon as the routers' older kernels run it (sim/kernel_as.cpp: 4.4,
3.14, 3.10, 2.6.32), for it and every tool it runs: the stop grace with a
hung tool, and the descriptors a child starts with (the capturing modes'
faults on each: test_capture_faults)."""
import os
import unittest

import harness
from harness import Machine

KERNELS = ("4.4", "3.14", "3.10", "2.6.32")
FDREPORT = "/opt/tests/fdreport"


class OlderKernels(unittest.TestCase):
    def test_stop_grace_with_a_hung_tool(self):
        # Scripted: an I/O tool stuck on its driver (see test_hangs).
        with Machine() as box:
            box.tool("/usr/bin/io", "sleep 1000 | cat")
            box.settings("MOD_TAVRIN_MODE=3\n")
            for kernel in KERNELS:
                with self.subTest(kernel=kernel):
                    box.start(kernel=kernel)
                    harness.wait_for_process(box, "cat")
                    harness.stop_while_hung(self, box, ["sleep", "cat"])
                    self.assertEqual(box.log_texts()[-2:], ["started", "stopped"])
                    self.assertEqual(box.led_writes(), [], "an LED write from the ended probe")

    def test_a_child_starts_with_its_three_descriptors_and_no_other(self):
        # The I/O tool hands over to the descriptor reporter; it prints
        # nothing, so the pin reads as absent and the tool runs once. (No
        # GPIO stand-in in the reporter: it would open its own event log.)
        with Machine(files={FDREPORT: os.environ["TAVRIN_FDREPORT"]}) as box:
            box.settings("MOD_TAVRIN_MODE=3\n")
            for kernel in KERNELS:
                with self.subTest(kernel=kernel):
                    report = f"/run/report-{kernel}"
                    box.tool("/usr/bin/io", f'LD_PRELOAD= exec {FDREPORT} {report} "$@"')
                    box.start(kernel=kernel)
                    self.assertEqual(box.stop_after(3, 3), 0)
                    lines = (box.read(report) or "").splitlines()
                    self.assertEqual(lines[0], "0 /dev/null")
                    self.assertRegex(lines[1], r"^1 pipe:\[\d+\]$")
                    self.assertEqual(lines[2], "2 /dev/null")
                    self.assertEqual(lines[3:], ["argc 4"], "descriptors beyond 2 reached the child")


if __name__ == "__main__":
    harness.main()
