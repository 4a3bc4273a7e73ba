#!/usr/bin/env python3
"""Runs the daemon in the simulated router with a mode's demo scenario and
draws the LED live, one line per second: 16 cells of 62.5 ms each, '█' on,
'·' off, blank before the first write; what happened in that second and the
daemon's log lines stand beside it."""
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "router"))
import sandbox  # noqa: E402
import scenario  # noqa: E402

CELLS = 16
DEFAULT_MODE = 11


def cell(level):
    if level is None:
        return " "
    return {0: "·", 1: "█"}.get(level, "▒")


class Drawer:
    """Draws a row a second, each once its second has passed and every step
    due before its end (by the timeline) has run: a step runs later than
    its scheduled second when the one before it waited for the daemon's
    iterations, and its note goes on the row of the second it was done."""

    def __init__(self, box, timeline):
        self.box = box
        self.due = sorted(step["at"] for step in timeline)
        self.notes = {}
        self.ran = 0
        self.row = 0
        self.done = threading.Event()
        self.lock = threading.Lock()     # the notes and the steps run
        self.drawing = threading.Lock()  # one row at a time, in order

    def note(self, box, step):
        with self.lock:
            if "note" in step:
                done = box.steps[-1][1]  # a step that waits is noted when what it waits for happened
                self.notes.setdefault(int(max(done, 0)), []).append(step["note"])
            self.ran += 1

    def ready(self, sec):
        with self.lock:
            return self.box.now() >= sec + 1 and all(n < self.ran for n, at in enumerate(self.due) if at < sec + 1)

    def draw_row(self, sec):
        writes = self.box.led_writes()
        cells = [cell(sandbox.level_at(writes, sec + (i + 0.5) / CELLS)) for i in range(CELLS)]
        logs = [f"log: {m.text}" for t, m in self.box.log_times() if sec <= t < sec + 1]
        with self.lock:
            side = "  ".join(self.notes.get(sec, []) + logs)
        print(f"{sec:4d}s │{''.join(cells)}│ {side}", flush=True)

    def loop(self):
        while True:
            with self.drawing:
                if self.done.is_set():
                    return
                try:
                    if self.box.t0 is not None and self.ready(self.row):
                        self.draw_row(self.row)
                        self.row += 1
                        continue
                except (OSError, RuntimeError):
                    pass  # the machine is closing: finish() draws the rest
            time.sleep(0.05)

    def finish(self, until):
        with self.drawing:
            self.done.set()
            while self.row < until:
                self.draw_row(self.row)
                self.row += 1


def pick(mode):
    """The mode's demo scenario, else its first scenario."""
    candidates = [s for s in scenario.all_scenarios() if s.get("mode") == mode]
    candidates.sort(key=lambda s: not s.get("demo"))
    return candidates[0] if candidates else None


def main():
    args = sys.argv[1:]
    emulated = "--router" in args
    args = [a for a in args if a != "--router"]
    mode = int(args[0]) if args else DEFAULT_MODE
    why = sandbox.need_root()
    if why:
        print(f"demo: {why}; run it as root")
        return 1
    s = pick(mode)
    if s is None:
        modes = sorted({x["mode"] for x in scenario.all_scenarios()})
        print(f"demo: mode {mode} has no scenario; modes with one: {modes}")
        return 1
    stage = scenario.Stage(s, emulated)
    if emulated:
        print("on the emulated ARM router (qemu-system-arm): the router build of the daemon, BusyBox userland")
    print(f"mode {mode}: {s['title']}")
    why = stage.missing()
    if why:
        print(f"demo: {why}")
        return 1
    for program, version in stage.versions().items():
        print(f"real {program}: {version}")
    print(f"one line per second, {1000 / CELLS:.1f} ms per cell: █ on, · off\n")
    drawer = None

    def on_start(box):
        nonlocal drawer
        drawer = Drawer(box, s.get("timeline", []))
        threading.Thread(target=drawer.loop, daemon=True).start()

    def on_step(box, step):
        drawer.note(box, step)

    box, status = stage.run(on_step=on_step, on_start=on_start)
    end = box.led_writes()[-1][0] if box.led_writes() else 0
    last_log = max((t for t, _ in box.log_times()), default=0)
    last_note = max(drawer.notes, default=0)
    drawer.finish(int(max(end, last_log, last_note)) + 1)
    print()
    print("system log:")
    for msg in box.log():
        print("  " + msg.raw)
    print(f"exit status: {status}")
    problems = stage.check(box, status)
    print("as expected" if not problems else "NOT as expected:\n  " + "\n  ".join(problems))
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
