#!/usr/bin/env python3
"""Footprint of the daemon's four builds side by side: the x86_64 build,
the router's dynamic armhf builds (against glibc, and against the router's
musl) and its static armhf build (musl, static-PIE). For each: the stripped
size beside its anchor (a plain C build of the same daemon), the libraries
it needs, text/data/bss. Then, for the three armhf builds running mode 15
on the emulated router, the resident memory
(counted from its page tables, and its peak VmHWM, from /proc) and the daemon's own CPU time per
iteration (as bench/run --router measures it); and for the host build the
resident memory in the simulated router next to `sleep`'s.

    footprint.py HOST_BUILD ARM_BUILD MUSL_BUILD MUSL_DYNAMIC_BUILD [SECONDS] [ITERATIONS]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
sys.path.insert(0, os.path.join(HERE, "..", "sim", "router"))
import machine  # noqa: E402
import router_cost  # noqa: E402
from sandbox import Sandbox, need_root  # noqa: E402

# Stripped bytes of a plain C build of the same daemon: x86_64 with the
# compiler's default flags (PIE, RELRO); armhf at -Os, dynamic with glibc
# and with the same Debian musl, static and dynamic.
ANCHORS = {"x86_64": 19080, "armhf glibc": 9944, "armhf musl static": 62580, "armhf musl": 9736}


def binary_facts(binary, prefix):
    tmp = tempfile.mkdtemp()
    stripped = os.path.join(tmp, "tavrind")
    subprocess.run([f"{prefix}strip", "-o", stripped, binary], check=True)
    size = os.path.getsize(stripped)
    shutil.rmtree(tmp)
    dyn = subprocess.run(["readelf", "-d", "-W", binary], capture_output=True, text=True, check=True).stdout
    needed = [line.split("[")[1].rstrip("]") for line in dyn.splitlines() if "(NEEDED)" in line]
    text, data, bss = subprocess.run([f"{prefix}size", binary], capture_output=True, text=True,
                                     check=True).stdout.splitlines()[1].split()[:3]
    return {"stripped bytes": size, "anchor (C)": None, "needs": " ".join(needed) or "nothing",
            "text": text, "data": data, "bss": bss}


def router_figures(arm_dir, daemons, iterations):
    """{build: (iterations, daemon ms/iteration, resident KiB, peak KiB)} of mode 15
    on the emulated router, for each armhf build in `daemons` ({name: path},
    "" for the router build's own)."""
    os.environ["TAVRIN_BUILD"] = arm_dir
    why = need_root() or machine.unavailable(arm_dir)
    if why:
        print(f"\nemulated router: skipped ({why})")
        return {}
    figures = {}
    for name, daemon in daemons.items():
        os.environ["TAVRIN_ROUTER_DAEMON"] = daemon
        n, own, _, rss, hwm = router_cost.measure(15, arm_dir, iterations)
        figures[name] = (n, own, rss, hwm)
    os.environ.pop("TAVRIN_ROUTER_DAEMON", None)
    return figures


def host_resident(host_dir, seconds):
    os.environ["TAVRIND"] = os.path.join(host_dir, "tavrind")
    os.environ["TAVRIN_FAKEGPIO"] = os.path.join(host_dir, "sim", "libfakegpio.so")
    with Sandbox(host_dir) as box:
        box.settings("MOD_TAVRIN_MODE=15\n")
        box.start(env={"LD_PRELOAD": ""})  # the daemon alone, no stand-in mapped in
        floor = box.spawn(["/bin/sleep", "100000"])
        time.sleep(seconds)
        rss = {pid: router_cost.memory_kib(box, pid)[0] for pid in (box.pid, floor)}
        box.kill(floor)
        box.signal(signal.SIGTERM)
        box.wait()
    return rss[box.pid], rss[floor]


def main():
    host_dir, arm_dir, musl_dir, musl_dynamic_dir = (os.path.abspath(d) for d in sys.argv[1:5])
    seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 60
    iterations = int(sys.argv[6]) if len(sys.argv) > 6 else 20
    builds = {"x86_64": (os.path.join(host_dir, "tavrind"), ""),
              "armhf glibc": (os.path.join(arm_dir, "tavrind"), "arm-linux-gnueabihf-"),
              "armhf musl": (os.path.join(musl_dynamic_dir, "tavrind"), "arm-linux-gnueabihf-"),
              "armhf musl static": (os.path.join(musl_dir, "tavrind"), "arm-linux-gnueabihf-")}
    columns = {}
    for name, (binary, prefix) in builds.items():
        if os.path.exists(binary) and shutil.which(f"{prefix}strip"):
            columns[name] = binary_facts(binary, prefix)
            columns[name]["anchor (C)"] = ANCHORS[name]
    on_router = {"armhf glibc": "", "armhf musl": builds["armhf musl"][0],
                 "armhf musl static": builds["armhf musl static"][0]}
    figures = router_figures(arm_dir, {n: d for n, d in on_router.items() if n in columns}, iterations) \
        if "armhf glibc" in columns else {}
    for name, (n, own, rss, hwm) in figures.items():
        columns[name].update({"mode 15 ms/iteration": f"{own:.2f}", "resident KiB": rss, "peak (VmHWM) KiB": hwm})

    names = list(columns)
    width = 22
    print(f"{'':<22}" + "".join(f"{n:>{width}}" for n in names))
    for key in ["stripped bytes", "anchor (C)", "needs", "text", "data", "bss", "mode 15 ms/iteration",
                "resident KiB", "peak (VmHWM) KiB"]:
        if any(key in columns[n] for n in names):
            print(f"{key:<22}" + "".join(f"{str(columns[n].get(key, '-')):>{width}}" for n in names))
    print()
    for name in names:
        size, anchor = columns[name]["stripped bytes"], ANCHORS[name]
        print(f"{name}: {size} B stripped against a C build's {anchor} B: "
              f"{'within' if size <= anchor else 'OVER'} ({size - anchor:+d} B)")
    if figures:
        print(f"(mode 15 on the emulated router, {iterations} iterations each: the daemon's own CPU time "
              f"per iteration, from /proc/<pid>/stat; resident memory at the end, and its peak)")

    why = need_root()
    if why:
        print(f"resident memory on the host: skipped ({why})")
        return 0
    daemon, sleep = host_resident(host_dir, seconds)
    print(f"\nresident memory after {seconds:.0f} s in mode 15 (x86_64):")
    print(f"  tavrind {daemon} KiB, sleep {sleep} KiB, ratio {daemon / sleep:.2f}"
          f" (goal within 10%: {'yes' if daemon <= sleep * 1.10 else 'NO'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
