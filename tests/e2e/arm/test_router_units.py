"""The router build's unit tests on the emulated router: each GoogleTest
program runs on the emulated 32-bit ARM machine, where a child can be
executed (user-mode emulation cannot start the runner tests' ARM helper)
and the GPIO stand-in answers inside the guest."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from machine import EmulatedRouter  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "sim"))
import test_kernel_as  # noqa: E402

UNIT_TESTS = ["test_settings", "test_text", "test_gpio", "test_loop", "test_spawn", "test_capture", "test_netdev", "test_serial"]
FDREPORT = os.environ.get("TAVRIN_FDREPORT", "")
OLDER_KERNELS = ("4.4", "3.14", "3.10", "2.6.32")


class RouterUnits(unittest.TestCase):
    def test_every_unit_test_program_passes_with_nothing_skipped(self):
        build = os.environ["TAVRIN_BUILD"]
        files = {f"/opt/tests/{name}": os.path.join(build, "tests", name) for name in UNIT_TESTS}
        # The runner tests start this helper at the path it was built at;
        # that path may lie under /tmp, which the router mounts afresh at
        # boot, so the helper is linked there once the machine is up.
        files["/opt/tests/fdreport"] = FDREPORT
        files["/opt/tests/syscall_probe"] = os.path.join(build, "sim", "syscall_probe")
        with EmulatedRouter(files=files) as box:
            # First the older kernels' stand-in, with the ARM numbers.
            def probe(kernel, args):
                return box.run(f"{box.kernel_as_bin} {kernel} /opt/tests/syscall_probe probe {' '.join(args)}")[1] \
                    .splitlines()
            self.assertEqual(test_kernel_as.mismatches(probe, box.sh("uname -m").strip()), [])
            status, out = box.run(f"mkdir -p '{os.path.dirname(FDREPORT)}' && ln -sf /opt/tests/fdreport '{FDREPORT}'")
            self.assertEqual(status, 0, out)
            runs = [(name, "") for name in UNIT_TESTS]
            # The runner and the capture again as older kernels run them
            # (sim/kernel_as.cpp: the ARM system call numbers differ).
            runs += [(name, kernel) for kernel in OLDER_KERNELS for name in ("test_spawn", "test_capture")]
            for name, kernel in runs:
                with self.subTest(program=name, kernel=kernel or "6.1"):
                    launch = f"{box.kernel_as_bin} {kernel} /opt/tests/{name} " if kernel else ""
                    status, out = box.run(f"cd /tmp && {launch}/opt/tests/{name} --gtest_brief=1 2>&1", timeout=300)
                    print(f"--- {name} on the emulated router{' as ' + kernel if kernel else ''} (exit {status})\n{out}")
                    self.assertEqual(status, 0)
                    self.assertNotIn("SKIPPED", out)


if __name__ == "__main__":
    harness.main_router()
