#!/usr/bin/env python3
"""Runs one scenario in the simulated router and checks its expectations.
Exit 0: passed; 1: failed; 77: skipped (no root)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox  # noqa: E402
import scenario  # noqa: E402


def main():
    why = sandbox.need_root()
    if why:
        print(f"skipped: {why}")
        return 77
    s = scenario.load(sys.argv[1])
    why = scenario.missing(s)
    if why:
        print(f"skipped: {why}")
        return 77
    for program, version in scenario.versions(s).items():
        print(f"{program}: {version}")
    box, status = scenario.run(s)
    problems = scenario.check(s, box, status)
    for p in problems:
        print("FAIL:", p)
    if problems:
        print("log:", *[m.raw for m in box.log()], sep="\n  ")
        print("LED writes:", box.led_writes()[:80])
        return 1
    print(f"{s['name']}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
