"""The shipped binary: what it needs at run time, and what it costs in flash."""
import os
import shutil
import subprocess
import tempfile
import unittest

import harness

BINARY = os.environ.get("TAVRIND", os.path.join(harness.ROOT, "build", "tavrind"))
# Stripped bytes at most. x86-64: what a plain C build of the same design
# reaches with the same compiler and its default flags (PIE, RELRO). armhf:
# the plain C build's 9,944 was met until the runner learnt to end a query
# after a stop's grace and to replace a planted capture name; their 473
# bytes of code and tables push the end of the code past the page on which
# the read-only-after-relocation data must end, so the file now pads to the
# next page (3.6 KB of zeros). The budget holds it there.
BUDGET = {"ARM": 14100, "Advanced Micro Devices X86-64": 19080}


def readelf(*args):
    return subprocess.run(["readelf", *args, BINARY], check=True, capture_output=True, text=True).stdout


class Binary(unittest.TestCase):
    def test_needs_libc_alone(self):
        needed = [line.split("[")[1].rstrip("]") for line in readelf("-d", "-W").splitlines() if "(NEEDED)" in line]
        self.assertEqual(needed, ["libc.so.6"])

    def test_stripped_size_within_the_budget_with_pie_and_relro(self):
        machine = next(line.split(":", 1)[1].strip() for line in readelf("-h").splitlines()
                       if line.strip().startswith("Machine:"))
        strip = "arm-linux-gnueabihf-strip" if machine == "ARM" else "strip"
        if shutil.which(strip) is None:
            self.skipTest(f"{strip} is not installed")
        with tempfile.TemporaryDirectory() as tmp:
            stripped = os.path.join(tmp, "tavrind")
            subprocess.run([strip, "-o", stripped, BINARY], check=True)
            size = os.path.getsize(stripped)
        print(f"{machine}: {size} bytes stripped, budget {BUDGET[machine]}")
        self.assertLessEqual(size, BUDGET[machine])
        self.assertIn("DYN (Position-Independent Executable file)", readelf("-h"))
        self.assertIn("GNU_RELRO", readelf("-l", "-W"))


if __name__ == "__main__":
    harness.main(machine=False)
