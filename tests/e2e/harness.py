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


# The capturing modes, their capture's name, and (a pattern of) what the
# capture holds while status_up() holds.
CAPTURES = {11: "/tmp/tavrin_wifi_ap.txt", 13: "/tmp/tavrin_open_vpn.txt", 14: "/tmp/tavrin_ipsec.txt",
            16: "/tmp/tavrin_kv_vpn.txt"}
CAPTURED = {11: r"^([0-9a-f]{2}:){5}[0-9a-f]{2}$", 13: r"^RX bytes:[1-9]\d*$",
            14: r"^Security Associations \(1 up$", 16: r"LISTEN +\d+/zelbarin"}


def skip_without_peers(test, mode):
    """Skips (the subtest of) a capturing mode whose real peers this
    machine lacks."""
    from peers import IpsecPeers, WiredWifi
    missing = {11: WiredWifi.missing, 14: IpsecPeers.missing}.get(mode, lambda: None)()
    if missing:
        test.skipTest(f"mode {mode}: missing {missing}")


def status_up(box, mode):
    """The real thing a capturing mode asks about, in a state the mode shows
    as on."""
    from peers import IpsecPeers, WiredWifi
    if mode == 11:
        WiredWifi(box).link()
    elif mode == 13:
        box.sh("ln -sf $(command -v busybox) /usr/sbin/ifconfig")
        box.tun("tun0")
        box.sh(box.traffic_cmd("tun0", 0))
    elif mode == 14:
        IpsecPeers(box, tools=["stroke"]).up("ipsec1")
    else:
        box.hold("zelbarin", "listen", 443)


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
