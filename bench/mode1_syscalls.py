#!/usr/bin/env python3
"""System calls per iteration of mode 1 in steady state: the daemon runs in
the simulated router with the GPIO stand-in in pass-through (its ioctl calls
reach the kernel), strace counts the calls over a few seconds, and the count
of nanosleep calls gives the number of iterations."""
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
from sandbox import Sandbox, need_root  # noqa: E402

SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0


def main():
    why = need_root()
    if why:
        print(f"mode1_syscalls: {why}")
        return 1
    with Sandbox() as box:
        box.settings("MOD_TAVRIN_MODE=1\n")
        box.tool("/usr/bin/io", "echo 1\nexit 1")
        box.start(env={"TAVRIN_SIM_PASSTHROUGH": "1"})
        time.sleep(0.5)  # past the probe: steady state
        tracer = box.spawn(["/usr/bin/strace", "-c", "-o", "/tmp/strace.txt", "-p", str(box.pid)])
        time.sleep(SECONDS)
        box.kill(tracer, signal.SIGINT)
        report = box.read("/tmp/strace.txt") or ""
        box.signal(signal.SIGTERM)
        box.wait()
    calls = {}
    for line in report.splitlines():
        parts = line.split()
        # % time, seconds, usecs/call, calls, [errors,] syscall
        if len(parts) >= 5 and parts[3].isdigit() and parts[-1] != "total":
            calls[parts[-1]] = int(parts[3])
    iterations = calls.get("nanosleep", 0) or calls.get("clock_nanosleep", 0)
    if not iterations:
        print(report)
        print("no sleeps traced")
        return 1
    print(f"mode 1, {SECONDS:.0f} s traced, {iterations} iterations")
    print(f"{'system call':<18} {'calls':>7} {'per iteration':>14}")
    for name, n in sorted(calls.items(), key=lambda kv: -kv[1]):
        print(f"{name:<18} {n:>7} {n / iterations:>14.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
