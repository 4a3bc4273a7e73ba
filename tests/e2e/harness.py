"""Shared set-up for the end-to-end tests: the sandbox module on the path,
and a runner that exits 77 (skipped) where the sandbox cannot run."""
import os
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "sim"))
sys.path.insert(0, os.path.join(ROOT, "sim", "router"))

import iterations  # noqa: E402
import sandbox  # noqa: E402,F401


def emulated():
    return os.environ.get("TAVRIN_MACHINE") == "router"


def Machine(*args, **kw):
    """The simulated router these tests run on: the host's sandbox, or the
    emulated ARM router (with the real peer programs) when
    TAVRIN_MACHINE=router."""
    if emulated():
        import machine
        return machine.for_scenario({"setup": {"peers": {"all": {}}}})(*args, **kw)
    return sandbox.Sandbox(*args, **kw)


def host_only(why):
    """Skips a test on the emulated router, saying why."""
    return unittest.skipIf(emulated(), f"on the emulated router: {why}")


def timed(box, action):
    """Runs `action`; returns (began, done) on the clock of the LED writes."""
    began = box.mark(late=False)
    action()
    return began, box.mark()


def levels_between(box, mode, done, until=None):
    """The levels of the iterations that began once `done` was past and
    wrote before `until` (see iterations.py)."""
    return iterations.levels(iterations.after(box.iterations(mode), done, until))


def main():
    why = sandbox.need_root()
    if not why and os.environ.get("TAVRIN_MACHINE") == "router":
        import machine
        why = machine.unavailable()
    if why:
        print(f"skipped: {why}")
        sys.exit(77)
    unittest.main(verbosity=2)


def main_router():
    os.environ["TAVRIN_MACHINE"] = "router"
    main()
