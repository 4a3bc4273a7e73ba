#!/usr/bin/env python3
"""Long run of every mode at once, each in its own simulated router with its
status changing and traffic flowing. Every sample interval it records each
daemon's open descriptors, child processes and resident memory, then prints
the table and whether the figures stayed flat after the warm-up.

    soak.py [--minutes 30] [--sample-seconds 60] [--build build]
"""
import argparse
import contextlib
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
from sandbox import Sandbox, need_root  # noqa: E402

STATION = "02:00:00:00:00:aa\nflags=[AUTH][ASSOC]\n"
SERIAL = "serinfo:1.0 driver revision:\n0: uart:16550A port:000003F8 irq:4 tx:{} rx:{}\n1: uart:16550A port:000002F8 irq:3 tx:{} rx:{}\n"


class Mode:
    """One daemon and the life around it: setup() before the start, tick(k)
    once a second."""

    def __init__(self, number, box):
        self.number, self.box, self.spawned = number, box, {}

    def setup(self):
        box, n = self.box, self.number
        box.settings(f"MOD_TAVRIN_MODE={n}\n")
        if n <= 4:
            box.tool("/usr/bin/io", "echo 1\nexit 0")
        elif n <= 10:
            self.counts = [0, 0, 0, 0]
            box.write("/proc/tty/driver/serial", SERIAL.format(*self.counts))
        elif n == 11:
            box.veth("wlan0")
            box.tool("hostapd_cli", "cat /tmp/stations 2>/dev/null")
        elif n == 12:
            box.veth("wlan1")
            box.tool("wpa_cli", 'if [ -e /tmp/ssid ]; then echo ssid=net; fi; echo wpa_state=X')
        elif n == 13:
            box.tool("/usr/sbin/ifconfig", 'exec busybox ifconfig "$@"')
            box.tun("tun1")
        elif n == 14:
            box.write("/tmp/sas", "0")
            box.tool("/usr/libexec/ipsec/stroke", 'echo "Security Associations ($(cat /tmp/sas) up, 0 connecting):"')
        elif n == 15:
            box.hold("mgmt-server", "serve", 7443)

    def tick(self, k):
        box, n = self.box, self.number
        if n <= 4:
            box.set_pin(("bin0", "bin1", "out0", "out1")[n - 1], k % 2)
        elif n <= 10:
            self.counts[k % 4] += 17
            box.write("/proc/tty/driver/serial", SERIAL.format(*self.counts))
        elif n in (11, 12):
            linked = (k // 10) % 2 == 0
            if n == 11:
                box.write("/tmp/stations", STATION) if linked else box.remove("/tmp/stations")
            else:
                box.write("/tmp/ssid", "net") if linked else box.remove("/tmp/ssid")
            if k % 7 == 0:
                box.traffic("wlan0p" if n == 11 else "wlan1p", 3, 0.05)
        elif n == 13:
            if k % 20 == 10:
                box.sh("ip link delete tun1")
            elif k % 20 == 0 and k:
                box.tun("tun1")
            elif k % 20 == 3:
                box.traffic("tun1", 0)
        elif n == 14 and k % 5 == 0:
            box.write("/tmp/sas", str((k // 5) % 2 * 2))
        elif n in (15, 16) and k % 10 == 0:
            name = "client" if n == 15 else "portal"
            if name in self.spawned:
                box.kill(self.spawned.pop(name))
            elif n == 15:
                self.spawned[name] = box.hold("korvane_clientd", "connect", 7443)
            else:
                self.spawned[name] = box.hold("zelbarin", "listen", 443)

    def sample(self):
        box, pid = self.box, self.box.pid
        fds = int(box.sh(f"ls /proc/{pid}/fd | wc -l"))
        children = int(box.sh(f"grep -l '^PPid:[[:space:]]*{pid}$' /proc/[0-9]*/status 2>/dev/null | wc -l",
                              check=False))
        rss = next((int(line.split()[1]) for line in (box.read(f"/proc/{pid}/status") or "").splitlines()
                    if line.startswith("VmRSS:")), -1)
        return fds, children, rss


def verdict(samples):
    """Flat: after the warm-up (the first two samples) the descriptor count
    never changes, memory never exceeds its first steady value, and at most
    one child (the query under way) exists."""
    steady = samples[2:] if len(samples) > 3 else samples[1:]
    if not steady:
        return "too short"
    fds = {s[0] for s in steady}
    grew = len(fds) > 1 or max(s[2] for s in steady) > steady[0][2] or max(s[1] for s in samples) > 1
    return "GROWTH" if grew else "flat"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--sample-seconds", type=float, default=60)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    args = parser.parse_args()
    why = need_root()
    if why:
        print(f"soak: {why}")
        return 1
    build = os.path.abspath(args.build)
    os.environ.setdefault("TAVRIND", os.path.join(build, "tavrind"))
    os.environ.setdefault("TAVRIN_FAKEGPIO", os.path.join(build, "sim", "libfakegpio.so"))

    with contextlib.ExitStack() as stack:
        modes = []
        for n in range(1, 17):
            box = stack.enter_context(Sandbox(build))
            mode = Mode(n, box)
            mode.setup()
            box.start()
            modes.append(mode)
        start = time.monotonic()
        samples = {m.number: [] for m in modes}
        next_sample, k = start + args.sample_seconds, 0
        end = start + args.minutes * 60
        while time.monotonic() < end:
            for m in modes:
                m.tick(k)
            if time.monotonic() >= next_sample:
                for m in modes:
                    samples[m.number].append(m.sample())
                next_sample += args.sample_seconds
                done = len(samples[1])
                print(f"sample {done} at {time.monotonic() - start:.0f} s", file=sys.stderr, flush=True)
            k += 1
            time.sleep(max(0.0, start + k - time.monotonic()))
        ended = {}
        for m in modes:
            m.box.signal(signal.SIGTERM)
            ended[m.number] = m.box.wait(timeout=10)

    count = len(samples[1])
    print(f"{count} samples, one every {args.sample_seconds:.0f} s: open descriptors / child processes / resident KiB")
    print("mode  " + " ".join(f"{'#' + str(i + 1):>13}" for i in range(count)) + "  verdict  exit")
    for n in range(1, 17):
        cells = " ".join(f"{f'{s[0]}/{s[1]}/{s[2]}':>13}" for s in samples[n])
        print(f"{n:>4}  {cells}  {verdict(samples[n]):>7}  {ended[n]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
