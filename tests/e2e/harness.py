"""Shared set-up for the end-to-end tests: the sandbox module on the path,
and a runner that exits 77 (skipped) where the sandbox cannot run."""
import os
import re
import signal
import sys
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "sim"))
sys.path.insert(0, os.path.join(ROOT, "sim", "router"))

import iterations  # noqa: E402
import sandbox  # noqa: E402


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


# The capturing modes' capture names, and (a pattern of) what the capture
# holds while status_up() holds.
CAPTURES = sandbox.CAPTURES
CAPTURED = {11: r"^([0-9a-f]{2}:){5}[0-9a-f]{2}$", 13: r"^RX bytes:[1-9]\d*$",
            14: r"^Security Associations \(1 up$", 16: r"LISTEN +\d+/zelbarin"}


def peers_missing(cls):
    """What the machine the tests run on lacks of the real programs that the
    peer class `cls` runs, or None: the router image's, on the emulated
    router; this machine's packages, on the host."""
    if emulated():
        import machine
        return machine.lacks({"setup": {"peers": {cls.KIND: {}}}})
    return cls.missing()


def skip_without_peers(test, mode):
    """Skips (the subtest of) a capturing mode whose real peers the machine
    lacks."""
    from peers import IpsecPeers, WiredWifi
    cls = {11: WiredWifi, 14: IpsecPeers}.get(mode)
    missing = cls and peers_missing(cls)
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


def processes(box, name):
    """The pids of the processes named `name` in the machine."""
    out = box.sh(f"for p in /proc/[0-9]*; do [ \"$(cat $p/comm 2>/dev/null)\" = {name} ] && "
                 "echo ${p#/proc/}; done; true")
    return [int(p) for p in out.split()]


def wait_for_process(box, name, timeout=30):
    deadline = time.monotonic() + timeout
    while not processes(box, name):
        if time.monotonic() > deadline:
            raise AssertionError(f"no {name} process in {timeout} s")
        time.sleep(0.1)


def stop_while_hung(test, box, names):
    """SIGTERM to the daemon while its query hangs: the query has its grace
    of 2 s, then the daemon logs "stopped" (last) at once, leaving none of
    `names` behind. Measured in a whole test run: "stopped" 2.001 to 2.003 s
    after the signal on the host, 2.007 to 2.190 s on the emulated router."""
    began = time.monotonic()
    sent = box.signal(signal.SIGTERM)
    test.assertEqual(box.wait(timeout=10), 0, "the daemon did not end: its query still hangs")
    took, most = box.stopped_time() - sent, 2.4 if emulated() else 2.1
    if emulated() and not box.led_writes():
        # Stamped by syslogd in whole seconds there, where the daemon did
        # not hold the GPIO device (whose close stamps its end): timed here
        # (2.149 to 2.253 s measured).
        took, most = time.monotonic() - began, 2.8
    print(f"stopped {took:.3f} s after the signal, a query hung")
    test.assertGreater(took, 1.99, "the query had its grace")
    test.assertLess(took, most)
    test.assertEqual(box.log_texts()[-1], "stopped")
    for name in names:
        test.assertEqual(processes(box, name), [], f"a {name} of the query was left running")


def host_only(why):
    """Skips a test on the emulated router, saying why."""
    return unittest.skipIf(emulated(), f"on the emulated router: {why}")


def timed(box, action):
    """Runs `action`; returns (began, done) on the clock of the LED writes."""
    began = box.mark()
    action()
    return began, box.mark()


def on_level(mode):
    """What a status shown as on looks like: steady on, or in the wireless
    modes a blink as well (traffic)."""
    return iterations.ON if mode in (11, 12) else 1


def mismatch_between(box, mode, done, until, level):
    """None when at least one iteration began once `done` was past (and
    wrote before `until`) and every one of them shows `level`; else how
    they do not."""
    return iterations.mismatch(iterations.after(box.iterations(mode), done, until), [level])


def timing_mismatch(box, mode):
    """How a gap between the daemon's iterations passes the machine's
    bounds (iterations.timing_mismatch), or None."""
    return iterations.timing_mismatch(box.iterations(mode), mode, box.TIMING)


def levels_between(box, mode, done, until=None):
    """The levels of the iterations that began once `done` was past and
    wrote before `until` (see iterations.py)."""
    return iterations.levels(iterations.after(box.iterations(mode), done, until))


def required():
    """Whether every test must run here (TAVRIN_REQUIRE_EMULATION=1, as the
    test command sets as root)."""
    return os.environ.get("TAVRIN_REQUIRE_EMULATION") == "1"


def allowed_skips():
    """The test names the README's "Skipped tests" list allows to skip on
    the machine the tests run on: a name is allowed on the emulated router
    where its entry names a `router.e2e.` test, on the host where it names
    an `e2e.` test of the host."""
    with open(os.path.join(ROOT, "README.md")) as f:
        readme = f.read()
    section = readme.split("\n## Skipped tests\n", 1)[-1].split("\n## ", 1)[0]
    machine = "`router.e2e." if emulated() else "`e2e."
    allowed = set()
    for entry in section.split("\n- ")[1:]:
        if machine in entry:
            allowed.update(re.findall(r"`(test_\w+|[A-Z]\w+)`", entry))
    return allowed


def unnamed_skips(result):
    """The skips of `result` [(test, reason)] whose test (or class, for a
    class skipped as a whole) the README's list does not allow on this
    machine: a skip that hides nothing is one the README explains."""
    allowed = allowed_skips()
    unnamed = []
    for test, reason in result.skipped:
        name = re.search(r"(test_\w+)", test.id()) or re.search(r"\.(\w+)\)?$", test.id())
        if not name or name.group(1) not in allowed:
            unnamed.append((test.id(), reason))
    return unnamed


def main(machine=True):
    """Runs the test file's tests; `machine`: they need the sandbox or the
    emulated router (exit 77, skipped, where it cannot run). A skip the
    README does not name fails the file where every test must run."""
    why = sandbox.need_root() if machine else None
    if not why and machine and os.environ.get("TAVRIN_MACHINE") == "router":
        import machine as router
        why = router.unavailable()
    if why:
        print(f"skipped: {why}")
        sys.exit(77)
    result = unittest.main(verbosity=2, exit=False).result
    unnamed = unnamed_skips(result)
    if unnamed and required():
        print("skipped here, though every test must run (TAVRIN_REQUIRE_EMULATION=1) and the README names none of them:")
        for test, reason in unnamed:
            print(f"  {test}: {reason}")
        sys.exit(1)
    if not result.wasSuccessful():
        sys.exit(1)
    # Nothing ran: CTest is to show the file as skipped, not passed.
    whole = [test for test, _ in result.skipped if not isinstance(test, unittest.case._SubTest)]
    sys.exit(77 if result.skipped and len(whole) >= result.testsRun else 0)


def main_router():
    os.environ["TAVRIN_MACHINE"] = "router"
    main()
