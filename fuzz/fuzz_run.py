#!/usr/bin/env python3
"""Runs the libFuzzer targets and reads what they did.

    fuzz_run.py check --min-edges N BINARY SECONDS WORK SEEDS
        One target for SECONDS from the seeds (new inputs go to WORK).
        Fails on a crash, and when fewer than N edges were covered: a target
        whose code under test lost its coverage instrumentation sees only its
        own few edges and has gone blind.

    fuzz_run.py campaign SECONDS BUILD_DIR [TARGET...]
        Every target (default: all in BUILD_DIR/fuzz) for SECONDS each, as
        many at once as there are cores, with a corpus kept across campaigns
        in BUILD_DIR/fuzz/campaign/<target>; prints executions, edges
        covered, corpus size and crashes per target.
"""
import argparse
import concurrent.futures
import glob
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STATUS_RE = re.compile(r"^#(\d+)\s+(\w+)\s+cov: (\d+) ft: \d+ corp: (\d+)/")
EXECUTED_RE = re.compile(r"^stat::number_of_executed_units: (\d+)", re.M)


def fuzz(binary, seconds, work, seeds):
    """Runs one target; returns its figures and its output."""
    os.makedirs(work, exist_ok=True)
    artifacts = os.path.join(work, "..", os.path.basename(work) + "-crashes")
    os.makedirs(artifacts, exist_ok=True)
    cmd = [binary, f"-max_total_time={seconds}", "-print_final_stats=1", "-timeout=10",
           f"-artifact_prefix={artifacts}/", work] + ([seeds] if seeds else [])
    run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    edges = corpus = 0
    for line in run.stdout.splitlines():
        m = STATUS_RE.match(line)
        if m:
            edges, corpus = int(m.group(3)), int(m.group(4))
    executed = EXECUTED_RE.search(run.stdout)
    crashes = len(glob.glob(os.path.join(artifacts, "*")))
    return {
        "target": os.path.basename(binary),
        "executions": int(executed.group(1)) if executed else 0,
        "edges": edges,
        "corpus": corpus,
        "crashes": crashes,
        "status": run.returncode,
    }, run.stdout


def check(args):
    min_edges = args.min_edges
    figures, output = fuzz(args.binary, args.seconds, args.work, args.seeds)
    print(f"{figures['target']}: {figures['executions']} executions, {figures['edges']} edges covered "
          f"(at least {min_edges} expected), corpus {figures['corpus']}, crashes {figures['crashes']}")
    problems = []
    if figures["status"] != 0 or figures["crashes"]:
        problems.append("the target crashed or failed")
    if figures["edges"] < min_edges:
        problems.append(f"only {figures['edges']} edges covered: is the code under test instrumented?")
    if problems:
        print(output[-6000:])
        print("FAIL:", "; ".join(problems))
        return 1
    return 0


def campaign(args):
    seconds, build = args.seconds, args.build
    names = args.targets or sorted(os.path.basename(p) for p in glob.glob(os.path.join(build, "fuzz", "fuzz_*"))
                               if os.access(p, os.X_OK) and os.path.isfile(p))
    jobs = os.cpu_count() or 1
    print(f"campaign: {len(names)} targets, {seconds} s each, {jobs} at a time", flush=True)

    def one(name):
        target = name[len("fuzz_"):]
        work = os.path.join(build, "fuzz", "campaign", target)
        return fuzz(os.path.join(build, "fuzz", name), seconds, work, os.path.join(HERE, "corpus", target))[0]

    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        results = list(pool.map(one, names))
    print(f"{'target':<16}{'executions':>14}{'exec/s':>10}{'edges':>8}{'corpus':>8}{'crashes':>9}")
    for r in results:
        print(f"{r['target']:<16}{r['executions']:>14}{r['executions'] / float(seconds):>10.0f}"
              f"{r['edges']:>8}{r['corpus']:>8}{r['crashes']:>9}")
    total = sum(r["executions"] for r in results)
    crashes = sum(r["crashes"] for r in results)
    print(f"{'all':<16}{total:>14}{'':>10}{'':>8}{'':>8}{crashes:>9}")
    return 1 if crashes or any(r["status"] != 0 for r in results) else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("check")
    c.add_argument("--min-edges", type=int, required=True)
    for name in ("binary", "seconds", "work", "seeds"):
        c.add_argument(name)
    c.set_defaults(run=check)
    c = sub.add_parser("campaign")
    c.add_argument("seconds")
    c.add_argument("build")
    c.add_argument("targets", nargs="*")
    c.set_defaults(run=campaign)
    args = parser.parse_args()
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
