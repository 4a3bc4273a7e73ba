#!/usr/bin/env python3
"""Long run of the daemon, each mode in its own simulated router, with its
status changing. Modes 11 to 14 ask the real programs (peers.py), which go
down and come back again and again, as on a router whose configuration
changes: hostapd restarted, the client's wpa_supplicant restarted, the
OpenVPN tunnel dropped and built again, charon restarted. The other modes
see their pins, serial counters and services change about every second.
The modes that publish their answers (11, 13, 14, 16) also meet a folder
planted at the capture's name and a full /tmp, in turns, in every cycle.

Once the daemon has ended, every iteration it ran is judged
(iterations.py): those before the first change show the state the machine
was set up in; those that ran while a change was made may show the old
state and then the new one, once; every one that began after it, up to the
next change, shows the new state (for a serial counter that moved: the
next one shows it, the ones after are off again; for a link that came up
in modes 11 and 12, a blink of the exchange's last frames at most twice
and then steady on, as no frames move). None may be broken.
For every mode it reports the cycles run, the iterations judged, the
changes and how many iterations each took to show (the next one, or one
that ran while it was made: 0), and at each sample the daemon's open
descriptors, child processes, zombies and anonymous resident memory,
which must stay flat. With
--cycles, a sample follows every change, so even a short run compares at
least three samples after the first.

    soak.py [--minutes 30 | --cycles N] [--modes 1-16] [--sample-seconds 60]
            [--build build] [--router]

--router: on the emulated ARM router (the router build in --build), one
machine per mode. Exit 1 when a change was shown wrong, the daemon was not
running at a sample, fewer than four samples were taken, a figure grew, or
a daemon did not end with 0.
"""
import argparse
import contextlib
import os
import signal
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "router"))
import iterations  # noqa: E402
from peers import IpsecPeers, OpenVpnPeers, WiredWifi  # noqa: E402
from sandbox import CAPTURES, Sandbox, need_root  # noqa: E402

SERIAL = ("serinfo:1.0 driver revision:\n0: uart:16550A port:000003F8 irq:4 tx:{} rx:{}\n"
          "1: uart:16550A port:000002F8 irq:3 tx:{} rx:{}\n")
# The serial counters in SERIAL's order.
COUNTERS = ((0, "tx"), (0, "rx"), (1, "tx"), (1, "rx"))
# Samples at least: the first, and three to compare with it.
MIN_SAMPLES = 4
NOT_RUNNING = "not running"


class Mode:
    """One daemon and the life around it."""

    def __init__(self, number, box):
        self.number, self.box = number, box
        self.cycles = 0
        self.changes = []     # (what, began, done, the levels after it, settling)
        self.first = None     # the levels shown before the first change
        self.judged = 0       # iterations judged
        self.recoveries = []  # iterations each change took to show
        self.wrong = []       # stretches shown wrong, with how
        self.samples = []     # (descriptors, children, zombies, anonymous KiB), or NOT_RUNNING
        self.error = None

    # ---- the status source ----------------------------------------------
    def setup(self):
        box, n = self.box, self.number
        box.settings(f"MOD_TAVRIN_MODE={n}\n")
        self.spawned = {}
        if n <= 4:
            box.tool("/usr/bin/io", "echo 1\nexit 0")
            box.set_pin(self.pin(), 0)
            self.first = [1 if n <= 2 else 0]  # modes 1 and 2: on while the input reads 0
        elif n <= 10:
            self.counts = [0, 0, 0, 0]
            box.write("/proc/tty/driver/serial", SERIAL.format(*self.counts))
            self.first = [0]
        elif n in (11, 12):
            self.wifi = WiredWifi(box)
            self.wifi.link()
            self.first = [1]  # authenticated before the start: no frame moves
        elif n == 13:
            self.vpn = OpenVpnPeers(box, "tun1")
            self.vpn.up()
            self.vpn.ping()
            self.first = [1]
        elif n == 14:
            self.ipsec = IpsecPeers(box, tools=["stroke"])
            self.ipsec.up("ipsec1")
            self.first = [1]
        else:
            if n == 15:
                box.hold("mgmt-server", "serve", 7443)
            self.first = [0]  # no client connected, no portal listening

    def pin(self):
        return ("bin0", "bin1", "out0", "out1")[self.number - 1]

    def cycle(self):
        """One cycle of changes: [(what, action, the levels of the
        iterations after it[, the level shown while it is made, after the
        old one: see iterations.mismatch_after_change])]."""
        n = self.number
        if n <= 4:
            pin = self.pin()
            return [(f"{pin} {level}", lambda level=level: self.box.set_pin(pin, level),
                     [1 - level if n <= 2 else level]) for level in (1, 0)]
        if n <= 10:
            port, direction = (n - 5) // 3, ("rx", "tx", "any")[(n - 5) % 3]
            return [(f"port {p} {d} moved", lambda k=k: self.move_counter(k),
                     [1, 0] if p == port and direction in (d, "any") else [0])
                    for k, (p, d) in enumerate(COUNTERS)]
        if n in (15, 16):
            name, program, role, port = (("client", "korvane_clientd", "connect", 7443) if n == 15
                                         else ("portal", "zelbarin", "listen", 443))

            def up():
                self.spawned[name] = self.box.hold(program, role, port)
            return ([(f"{program} up", up, [1])] + self.unpublishable(1) +
                    [(f"{program} gone", lambda: self.box.kill(self.spawned.pop(name)), [0])])
        steps = self.peer_cycle()
        return steps + self.unpublishable(steps[-1][2][-1])

    def unpublishable(self, level):
        """Modes 11, 13, 14 and 16, in turns: a folder with files planted at
        the capture's name, then /tmp full as well, then both undone. The
        status shows `level` all along (nothing of the answer goes through
        /tmp), and the samples after each count the descriptors of queries
        that could not publish their answer."""
        if self.number not in CAPTURES:
            return []
        box, path = self.box, CAPTURES[self.number]

        def plant():
            # Filled elsewhere and moved in whole, again if the daemon's
            # next answer took the name first.
            box.sh(f"mkdir /tmp/planted && echo kept > /tmp/planted/inside && "
                   f"for i in $(seq 20); do rm -f {path}; mv /tmp/planted {path} 2>/dev/null && break; done")

        def fill():
            used = int(box.sh("df -k /tmp | awk 'NR == 2 { print $3 }'"))
            box.sh(f"mount -o remount,size={used + 256}k /tmp && "
                   "{ dd if=/dev/zero of=/tmp/filler bs=4k 2>/dev/null; true; }")

        def undo():
            box.sh(f"rm -rf /tmp/filler {path} && mount -o remount,size=50% /tmp")
        return [("a folder planted at the capture", plant, [level]), ("/tmp full", fill, [level]),
                ("/tmp with room, the folder gone", undo, [level])]

    def move_counter(self, k):
        self.counts[k] += 17
        self.box.write("/proc/tty/driver/serial", SERIAL.format(*self.counts))

    def peer_cycle(self):
        """Modes 11 to 14: one down, restart and up again."""
        n = self.number
        # A link coming up shows while it is made (on: a station listed
        # mid-exchange, blinking as the exchange goes on); the exchange's
        # last frames may reach the first two iterations after it, then
        # nothing moves: steady on.
        linked = ([iterations.ON, iterations.ON, 1], iterations.ON)
        if n == 11:
            wifi = self.wifi

            def restart():
                wifi.start_ap()
                wifi.stop_client()  # the station joins the new access point
                wifi.start_client()
                wifi.wait_authenticated()
            return [("hostapd stopped", wifi.stop_ap, [0]), ("hostapd restarted", restart, *linked)]
        if n == 12:
            wifi = self.wifi

            def restart():
                wifi.start_client()
                wifi.wait_authenticated()
            return [("wpa_supplicant stopped", wifi.stop_client, [0]),
                    ("wpa_supplicant restarted", restart, *linked)]
        if n == 13:
            vpn = self.vpn

            def rebuild():
                vpn.up()
                vpn.ping()
            return [("tunnel dropped", vpn.down, [0]), ("tunnel rebuilt", rebuild, [1])]
        ipsec = self.ipsec

        def restart():
            ipsec.start_router()
            ipsec.up("ipsec1")
        return [("charon stopped", ipsec.stop_router, [0]), ("charon restarted", restart, [1])]

    # ---- the run ---------------------------------------------------------
    def change(self, what, action, expected, settling=None):
        """Makes a change, noting when it began and was done, and waits
        until the iterations after it have had time to show `expected`
        (and one more): judge() judges them once the daemon has ended."""
        box = self.box
        began = box.mark()
        action()
        done = box.mark()
        self.changes.append((what, began, done, expected, settling))
        box.wait_iterations(len(expected) + 1, self.number, since=done, timeout=60)

    def judge(self):
        """Judges every iteration of the ended daemon: before the first
        change, `first`; from each change to the next, that change's levels
        (see iterations.mismatch_after_change). Counts the iterations each
        change took to show (0: one that ran while it was made)."""
        its = self.box.iterations(self.number)
        self.wrong += [f"LED written again {it.first:.3f}s, less than its sleep after the write before"
                       for it in iterations.broken(its)]
        untils = [change[1] for change in self.changes[1:]] + [None]
        before = iterations.after(its, 0.0, self.changes[0][1] if self.changes else None)
        wrong = iterations.mismatch(before, self.first)
        if wrong:
            self.wrong.append(f"before the first change: {wrong}")
        self.judged = len(before)
        shown = self.first[-1]
        for (what, began, done, expected, settling), until in zip(self.changes, untils):
            wrong = iterations.mismatch_after_change(its, began, done, until, expected, shown, settling)
            if wrong:
                self.wrong.append(f"{what}: {wrong}")
            later = iterations.after(its, done, until)
            self.judged += len(iterations.during(its, began, done, until)) + len(later)
            if not wrong and len(expected) > 1 and not later[0].shows(expected[0]):
                self.recoveries.append(0)  # shown by an iteration that ran while it was made
            else:
                self.recoveries.append(next((k + 1 for k, it in enumerate(later) if it.shows(expected[0])), None))
            shown = expected[-1]
        if self.judged != len(its):
            self.wrong.append(f"{len(its) - self.judged} of {len(its)} iterations in no stretch judged")

    def run(self, until, cycles, sample_seconds):
        """Cycles until `until`, or `cycles` cycles; samples every
        `sample_seconds`, or after every change when counting cycles."""
        try:
            next_sample = time.monotonic() + sample_seconds
            self.box.wait_iterations(len(self.first) + 1, self.number, timeout=60)
            while (self.cycles < cycles) if cycles else (time.monotonic() < until):
                for what, action, expected, *settling in self.cycle():
                    self.change(what, action, expected, *settling)
                    if not 11 <= self.number <= 14:
                        time.sleep(1)
                    if cycles or time.monotonic() >= next_sample:
                        self.samples.append(self.sample())
                        next_sample = time.monotonic() + sample_seconds
                self.cycles += 1
        except Exception as e:  # reported with the mode's results
            self.error = f"{type(e).__name__}: {e}"

    def sample(self):
        """(descriptors, children, zombies, anonymous resident KiB) of the
        daemon, or NOT_RUNNING. Taken while the daemon sleeps (its period,
        or a blink's step): every evaluation has closed what it opened by
        then and reaped its query, so a figure that changes is a leak, not
        a query under way. The kernel tells where a process sleeps
        (/proc/<pid>/wchan); a loaded machine may take a few looks."""
        for _ in range(50):
            look = self.look()
            if look == NOT_RUNNING:
                return NOT_RUNNING
            asleep, *counts = look
            if asleep:
                return tuple(counts)
            time.sleep(0.1)
        raise RuntimeError("the daemon was never seen asleep in 50 looks")

    def look(self):
        """(asleep, descriptors, children, zombies, anonymous KiB), or
        NOT_RUNNING. `asleep`: in nanosleep both before and after the
        counts were taken."""
        box, pid = self.box, self.box.pid
        # Ended: gone (reaped), or a zombie its parent has not reaped yet.
        stat = box.read(f"/proc/{pid}/stat") or ""
        if stat.rsplit(")", 1)[-1].split()[:1] in ([], ["Z"], ["X"]):
            return NOT_RUNNING
        # With the shell's own means only (the emulated router forks
        # slowly): the glob reads the descriptor folder without looking at
        # each entry, `read` takes each process's state and parent (its
        # name is one word: the daemon's tools have no blank in theirs),
        # and a process gone meanwhile sends its complaint nowhere.
        out = box.sh(f"read -r w1 < /proc/{pid}/wchan; set -- /proc/{pid}/fd/*; n=$#; "
                     f"for s in /proc/[0-9]*/stat; do read -r p c state parent rest 2>&- < $s && "
                     f"[ \"$parent\" = {pid} ] && echo $state; done; read -r w2 < /proc/{pid}/wchan; "
                     "echo $n ${w1:-gone} ${w2:-gone}; true", check=False).split()
        fds, wchans, kids = int(out[-3]), out[-2:], out[:-3]
        asleep = all("nanosleep" in w for w in wchans)
        # The daemon's own memory: its anonymous pages. The pages of its
        # program file come and go as the kernel reclaims them under memory
        # pressure, which is no growth of the daemon's. Counted from its page
        # tables (smaps_rollup): the RssAnon of /proc/<pid>/status is a
        # counter some kernels bring up to date only every few dozen faults.
        memory = "-1"
        for name in ("smaps_rollup", "status"):
            fields = dict(line.split(":", 1) for line in (box.read(f"/proc/{pid}/{name}") or "").splitlines()
                          if ":" in line)
            if "Anonymous" in fields or "RssAnon" in fields:
                memory = fields.get("Anonymous", fields.get("RssAnon")).split()[0]
                break
        return asleep, fds, len(kids), kids.count("Z"), int(memory)


def flat(samples):
    """Flat: the daemon ran at every sample; after the first sample the
    descriptor count never changes, memory never exceeds its first steady
    value, at most one child (the query under way) exists, and no zombie
    stays. At least MIN_SAMPLES, or growth could not show."""
    if NOT_RUNNING in samples:
        return f"NOT RUNNING at sample {samples.index(NOT_RUNNING) + 1}"
    if len(samples) < MIN_SAMPLES:
        return f"{len(samples)} samples, too few to judge growth"
    steady = samples[1:]
    grew = (len({s[0] for s in steady}) > 1 or max(s[3] for s in steady) > steady[0][3]
            or max(s[1] for s in samples) > 1 or max(s[2] for s in samples) > 0)
    return "GROWTH" if grew else "flat"


def parse_modes(text):
    low, _, high = text.partition("-")
    return list(range(int(low), int(high or low) + 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--cycles", type=int, default=0, help="stop after this many cycles per mode instead")
    parser.add_argument("--modes", default="1-16")
    parser.add_argument("--sample-seconds", type=float, default=60)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--router", action="store_true")
    args = parser.parse_args()
    why = need_root()
    machine = Sandbox
    if not why and args.router:
        import machine as emulated
        why = emulated.unavailable(os.path.abspath(args.build))
        machine = emulated.EmulatedRouter
        if not why and not emulated.lacks({"setup": {"peers": {kind: {} for kind in emulated.PEER_PACKAGES}}},
                                          os.path.abspath(args.build)):
            class WithPeers(emulated.EmulatedRouter):
                PEERS = True
            machine = WithPeers
    if why and os.environ.get("TAVRIN_REQUIRE_EMULATION") == "1" and not need_root():
        print(f"soak: it must run here (TAVRIN_REQUIRE_EMULATION=1), but: {why}")
        return 1
    if why:
        print(f"soak: skipped: {why}")
        return 77
    build = os.path.abspath(args.build)
    os.environ["TAVRIN_BUILD"] = build
    os.environ.setdefault("TAVRIND", os.path.join(build, "tavrind"))
    os.environ.setdefault("TAVRIN_FAKEGPIO", os.path.join(build, "sim", "libfakegpio.so"))
    numbers = parse_modes(args.modes)

    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        modes = []
        for n in numbers:
            box = stack.enter_context(machine(build))
            mode = Mode(n, box)
            mode.setup()
            box.start()
            modes.append(mode)
        until = time.monotonic() + args.minutes * 60
        threads = [threading.Thread(target=m.run, args=(until, args.cycles, args.sample_seconds)) for m in modes]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        ended = {}
        for m in modes:
            m.box.signal(signal.SIGTERM)
            ended[m.number] = m.box.wait(timeout=10)
            m.judge()

    print(f"{len(modes)} modes on the {'emulated router' if args.router else 'host'} for "
          f"{(time.monotonic() - started) / 60:.1f} min; samples: descriptors/children/zombies/anonymous resident KiB")
    failed = False
    for m in modes:
        counts = {k: m.recoveries.count(k) for k in dict.fromkeys(m.recoveries)}
        recovered = (f"{m.judged} iterations judged; {len(m.recoveries)} changes, shown after " +
                     ", ".join(f"{'never' if k is None else k}: {n}" for k, n in counts.items()) + " iterations"
                     if m.recoveries else "no change made")
        verdict = flat(m.samples)
        bad = m.error or m.wrong or verdict != "flat" or ended[m.number] != 0
        failed |= bool(bad)
        # Every sample where few, the distinct ones in order where many.
        shown = [s if s == NOT_RUNNING else f"{s[0]}/{s[1]}/{s[2]}/{s[3]}" for s in m.samples]
        cells = " ".join(shown if len(shown) <= 6 else dict.fromkeys(shown)) + (
            f" ({len(shown)} samples)" if len(shown) > 6 else "")
        print(f"mode {m.number:>2}: {m.cycles} cycles; {recovered}; samples {cells}: {verdict}; exit {ended[m.number]}"
              + (f"; {m.error}" if m.error else "") + ("  FAILED" if bad else ""))
        for wrong in m.wrong[:5]:
            print(f"         shown wrong: {wrong}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
