"""kernel_as (sim/kernel_as.cpp) against the kernel's own answers: for each
kernel it stands for, a probe started through it (sim/syscall_probe.cpp)
gets ENOSYS for that kernel's first missing system call and the same
answer as without the filter for the last call before it that this kernel
answers, and O_TMPFILE is refused where that kernel had none. The numbers
are the architectures' own, written here, not kernel_as's: a filter that
denies nothing, or one built with another architecture's numbers, fails."""
import os
import platform
import subprocess
import sys
import unittest

FIRST_MISSING = {"x86_64": {"4.4": 326, "3.14": 316, "3.10": 314, "2.6.32": 299},
                 "armv7l": {"4.4": 391, "3.14": 382, "3.10": 380, "2.6.32": 365}}
TMPFILE = {"4.4": "made", "3.14": "made", "3.10": "Is a directory", "2.6.32": "Is a directory"}


def mismatches(probe, machine):
    """What the probe saw that the kernels' tables do not say, [] when
    nothing. `probe(kernel, args)`: the probe's output lines through
    kernel_as as `kernel`; `machine`: `uname -m` of where it runs."""
    wrong = []
    for kernel, first in FIRST_MISSING[machine].items():
        before = list(range(first - 1, first - 4, -1))
        native = probe("now", [str(n) for n in before])
        answered = next(n for n, line in zip(before, native) if line.endswith("answered"))
        seen = probe(kernel, [str(first), str(answered), "tmpfile"])
        if seen != [f"{first} ENOSYS", f"{answered} answered", f"tmpfile {TMPFILE[kernel]}"]:
            wrong.append(f"as {kernel}: {seen}")
    return wrong


class Filter(unittest.TestCase):
    def test_each_kernel_refuses_what_it_lacked_and_nothing_before(self):
        sim = os.path.join(os.environ["TAVRIN_BUILD"], "sim")

        def probe(kernel, args):
            run = [f"{sim}/kernel_as", kernel, f"{sim}/syscall_probe", "probe"] + args
            return subprocess.run(run, capture_output=True, text=True, check=True).stdout.splitlines()

        self.assertEqual(mismatches(probe, platform.machine()), [])


if __name__ == "__main__":
    sys.exit(unittest.main())
