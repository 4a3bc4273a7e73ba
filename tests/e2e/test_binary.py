"""The shipped binary: what it needs at run time."""
import os
import subprocess
import unittest

import harness


class Binary(unittest.TestCase):
    def test_needs_libc_alone(self):
        binary = os.environ.get("TAVRIND", os.path.join(harness.ROOT, "build", "tavrind"))
        out = subprocess.run(["readelf", "-d", "-W", binary], check=True, capture_output=True, text=True).stdout
        needed = [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]
        self.assertEqual(needed, ["libc.so.6"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
