#!/usr/bin/env python3
"""Runs one scenario in the simulated router and checks its expectations.

    run_scenario.py [--router] FILE

--router: on the emulated ARM router (router/machine.py) with the router
build, instead of the host's sandbox.
Exit 0: passed; 1: failed; 77: skipped (no root, or what it needs is not
here)."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "router"))
import sandbox  # noqa: E402
import scenario  # noqa: E402


def main():
    args = sys.argv[1:]
    emulated = "--router" in args
    path = [a for a in args if a != "--router"][0]
    s = scenario.load(path)
    stage = scenario.Stage(s, emulated)
    why = sandbox.need_root() or stage.missing()
    if why and os.environ.get("TAVRIN_REQUIRE_EMULATION") == "1" and not sandbox.need_root():
        print(f"every scenario must run here (TAVRIN_REQUIRE_EMULATION=1), but: {why}")
        return 1
    if why:
        print(f"skipped: {why}")
        return 77
    for program, version in stage.versions().items():
        print(f"{program}: {version}")
    box, status = stage.run()
    problems = stage.check(box, status)
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
