#!/usr/bin/env python3
"""What each mode costs on the emulated router: the CPU time per iteration
of the daemon itself and of the programs it runs (its children, and theirs),
and the daemon's resident memory, measured from /proc in the guest while
the mode's status source is up (the real peers for modes 11 to 14, as in
the soak).

    router_cost.py [--build build-arm] [--iterations 20] [--modes 1-16]
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "router"))
import machine  # noqa: E402
from sandbox import need_root  # noqa: E402
from soak import Mode, parse_modes  # noqa: E402


class WithPeers(machine.EmulatedRouter):
    PEERS = True


def cpu_ticks(box, pid):
    """(own, children's) CPU time in clock ticks, from /proc/<pid>/stat."""
    fields = box.read(f"/proc/{pid}/stat").rsplit(")", 1)[1].split()
    utime, stime, cutime, cstime = (int(fields[i]) for i in (11, 12, 13, 14))
    return utime + stime, cutime + cstime


def memory_kib(box, pid):
    """(resident, peak resident) KiB of `pid`. Resident: counted from its
    page tables (Rss in /proc/<pid>/smaps_rollup) where the kernel has
    them; VmRSS in /proc/<pid>/status is a counter that kernels before 6.2
    bring up to date only every 64 page faults of the process, so a small
    daemon's reads far too low there. Peak: the kernel's VmHWM, taken from
    that same counter, and never less than the resident figure."""
    def fields(name):
        text = box.read(f"/proc/{pid}/{name}") or ""
        return dict(line.split(":", 1) for line in text.splitlines() if ":" in line)
    status, rollup = fields("status"), fields("smaps_rollup")
    resident = int(rollup.get("Rss", status["VmRSS"]).split()[0])
    return resident, max(resident, int(status["VmHWM"].split()[0]))


def measure(number, build, count):
    with (WithPeers if 11 <= number <= 14 else machine.EmulatedRouter)(build) as box:
        mode = Mode(number, box)
        mode.setup()
        box.start()
        first = box.wait_iterations(2, number)[-1]
        start = cpu_ticks(box, box.pid)
        its = box.wait_iterations(count, number, since=first.last + 1e-6, timeout=600)
        end = cpu_ticks(box, box.pid)
        rss, hwm = memory_kib(box, box.pid)
        hz = int(box.sh("getconf CLK_TCK 2>/dev/null || echo 100").strip() or 100)
        box.signal(15)
        box.wait(timeout=10)
    n = len(its)
    own, children = ((end[k] - start[k]) / hz / n * 1000 for k in (0, 1))
    return n, own, children, rss, hwm


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build-arm"))
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--modes", default="1-16")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    os.environ["TAVRIN_BUILD"] = build
    why = need_root() or machine.unavailable(build)
    if why:
        print(f"router cost: skipped: {why}")
        return 0
    print("mode  iterations  daemon ms/iteration  children ms/iteration  children/daemon  daemon KiB")
    for number in parse_modes(args.modes):
        n, own, children, rss, _ = measure(number, build, args.iterations if number > 4 else 5 * args.iterations)
        ratio = "-" if children == 0 else f"{children / own:.0f}x" if own > 0 else "all"
        print(f"{number:>4}  {n:>10}  {own:>19.2f}  {children:>21.2f}  {ratio:>15}  {rss:>10}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
