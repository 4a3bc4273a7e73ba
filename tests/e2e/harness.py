"""Shared set-up for the end-to-end tests: the sandbox module on the path,
and a runner that exits 77 (skipped) where the sandbox cannot run."""
import os
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "sim"))

import sandbox  # noqa: E402,F401


def main():
    why = sandbox.need_root()
    if why:
        print(f"skipped: {why}")
        sys.exit(77)
    unittest.main(verbosity=2)
