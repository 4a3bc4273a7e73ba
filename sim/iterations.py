"""The daemon's iterations, told apart from its LED writes alone, so that a
test judges what each iteration showed around a change, however long the
iterations took on a loaded or emulated machine.

Every iteration ends in one LED write followed by a sleep of one period, or
(modes 11 and 12, on traffic) in a blink: exactly eight writes 0,1,0,1,0,1,
0,1, each followed by the blink's 125 ms sleep, and no other sleep. A sleep
never ends early (only a stop signal cuts it short, and then nothing more
is written), so:
  - a steady write followed by another write less than a period later, or
    a blink followed by one less than its last step later, is no
    iteration of the daemon's: it is judged BROKEN, whatever it showed;
  - a blink is recognised only where an iteration begins, and only with
    every step between 120 ms and 250 ms (a late wake-up on a loaded or
    emulated machine, never an early one); anything else is steady writes,
    and so BROKEN where they come too fast. The one exception: the stop
    signal ends the blink's sleep under way (the blink goes on), so the
    last blink of a daemon that has ended may have one step cut short;
  - an iteration's evaluation began no earlier than the end of the one
    before it plus its sleep: `earliest`.
How much later it may begin, and how long an evaluation takes at the least
after a blink, is the machine's: `Timing`, and timing_mismatch().
An iteration whose `earliest` is at or after the moment a change was
complete saw the change; one whose first write came before the change
began did not; those in between ran while the change was being made.
"""
import os
import sys
from dataclasses import dataclass

BLINK = [0, 1] * 4
# A blink's steps: its 125 ms sleep, never less; at most twice that (a
# step woke at most 5 ms late on either machine with a whole test run
# beside; the rest is room for an emulator the host has descheduled).
BLINK_STEP = 0.125
BLINK_STEP_MIN, BLINK_STEP_MAX = 0.120, 0.250
# Clock stamps of two writes a sleep apart may differ by a little less.
STAMP_SLACK = 0.002
# The levels a test may expect of an iteration: 0, 1, BLINK_LEVEL (a
# blink), or ON (a link shown: steady on or a blink).
BLINK_LEVEL = "blink"
ON = "on"
BROKEN = "broken"


@dataclass
class Iteration:
    earliest: float  # no earlier than this did its evaluation begin
    first: float     # its first LED write
    last: float      # its last LED write
    level: object    # the level it wrote, BLINK_LEVEL, or BROKEN

    def shows(self, expected):
        if expected == ON:
            return self.level in (1, BLINK_LEVEL)
        return self.level == expected


def period_of(mode):
    return 0.1 if 1 <= mode <= 4 else 1.0


def _blink_steps(writes, last=False):
    """Whether the writes [(t, level)] are (the start of) a blink: its
    levels in order, at its steps; `last`: the daemon's last writes, where
    the stop signal may have cut one step short."""
    steps = [b[0] - a[0] for a, b in zip(writes, writes[1:])]
    short = sum(1 for step in steps if step < BLINK_STEP_MIN)
    return ([level for _, level in writes] == BLINK[:len(writes)] and all(step <= BLINK_STEP_MAX for step in steps)
            and short <= (1 if last else 0))


def iterations(writes, mode, now=None):
    """The iterations of a daemon in `mode` from its LED writes
    [(seconds, level)], in order. `now`: the writes are those of a daemon
    still running at that time, which may be in the middle of a blink (not
    yet an iteration); None: of a daemon that has ended."""
    period = period_of(mode)
    blinks = mode in (11, 12)
    found = []
    earliest = 0.0
    i = 0
    while i < len(writes):
        rest = writes[i:i + 8]
        if blinks and len(rest) < 8 and now is not None and _blink_steps(rest) \
                and now - rest[-1][0] <= BLINK_STEP_MAX:
            break  # a blink being written
        if blinks and len(rest) == 8 and _blink_steps(rest, last=now is None and i + 8 == len(writes)):
            level = BLINK_LEVEL
            if i + 8 < len(writes) and writes[i + 8][0] - rest[-1][0] < BLINK_STEP - STAMP_SLACK:
                level = BROKEN  # no last step after it
            found.append(Iteration(earliest, rest[0][0], rest[-1][0], level))
            earliest = rest[-1][0] + BLINK_STEP  # then the next evaluation
            i += 8
            continue
        t, level = writes[i]
        if i + 1 < len(writes) and writes[i + 1][0] - t < period - STAMP_SLACK:
            level = BROKEN  # no sleep of a whole period after it
        found.append(Iteration(earliest, t, t, level))
        earliest = t + period
        i += 1
    return found


def after(its, done, until=None):
    """The iterations that began once `done` was past and wrote before
    `until` (None: to the end)."""
    return [it for it in its if it.earliest >= done and (until is None or it.first < until)]


def before(its, began):
    """The iterations that had written before `began`."""
    return [it for it in its if it.first < began]


def during(its, began, done, until=None):
    """The iterations that ran while a change was made from `began` to
    `done`: they wrote after it began, but may have begun before it was
    done."""
    return [it for it in its if it.first >= began and it.earliest < done and (until is None or it.first < until)]


def mismatch(its, expected):
    """How `its` fail the levels `expected` (the first iteration shows
    expected[0], the second expected[1], ..., the last of them holds for
    every later one), or None. Too few iterations fail too."""
    if len(its) < len(expected):
        return f"{len(its)} iterations, expected at least {len(expected)}: {levels(its)}"
    for n, it in enumerate(its):
        want = expected[min(n, len(expected) - 1)]
        if not it.shows(want):
            return f"iteration {n + 1} shows {it.level}, expected {want}: {levels(its)} for {expected}"
    return None


def mismatch_after_change(its, began, done, until, expected, old=None, settling=None):
    """mismatch() for the iterations after a change made from `began` to
    `done`, until `until`, where `old` is the level shown before it (None:
    not known, as after a step that named none; then it is whatever the
    first of them shows, unless that one is BROKEN). The iterations that ran
    while it was being made may show the old level and then go on as
    `expected`, once: never back and forth. So where the change shows once
    only (a counter that moved: [1, 0]), one of them may be the one that
    shows it. `settling`: where a change shows bit by bit as it is made (a
    link coming up: ON), those may show the old level and then `settling`,
    once, and `expected` counts from the first iteration after it."""
    window = during(its, began, done, until)
    later = after(its, done, until)
    # A broken iteration cannot stand for the old level: it showed nothing.
    if old is None and window and window[0].level != BROKEN:
        old = window[0].level
    for k in range(len(window) + 1):
        if not all(it.shows(old) for it in window[:k]):
            break
        if settling is None:
            if mismatch(window[k:] + later, expected) is None:
                return None
        elif all(it.shows(settling) for it in window[k:]) and mismatch(later, expected) is None:
            return None
    wrong = mismatch(later, expected)
    return wrong or (f"while the change was made: {levels(window)}, "
                     f"before it {old}, after it {levels(later)} for {expected}"
                     + (f", {settling} while it was made" if settling is not None else ""))


@dataclass(frozen=True)
class Timing:
    """How long the daemon's evaluations may take on a machine, set from
    what was measured there (summary()): at most, per mode (seconds, modes
    1 to 16 in order), and at the least after a blink (modes 11 and 12: one
    query of the tool)."""
    machine: str
    most_by_mode: tuple
    after_blink_min: float

    def most(self, mode):
        return self.most_by_mode[mode - 1]


def _note_figures(its, mode, timing):
    """With TAVRIN_FIGURES set, appends to that file what the bounds rest
    on, one line each: the machine, "gap" or "after-blink", the mode, and
    the seconds from the end of a sleep to the next iteration's write.
    `summary` reads them."""
    path = os.environ.get("TAVRIN_FIGURES")
    if not path:
        return
    lines = [f"{timing.machine} {'after-blink' if a.level == BLINK_LEVEL else 'gap'} {mode} {b.first - b.earliest:.4f}\n"
             for a, b in zip(its, its[1:]) if a.level != BROKEN]
    with open(path, "a") as f:
        f.write("".join(lines))


def summary(path):
    """The figures noted in `path`, per machine and mode: the longest gap
    after a sleep, the shortest after a blink."""
    most, least = {}, {}
    with open(path) as f:
        for machine, kind, mode, value in (line.split() for line in f):
            table = most if kind == "gap" else least
            pick = max if kind == "gap" else min
            key = (machine, int(mode))
            table[key] = pick(table.get(key, float(value)), float(value))
    for key in sorted(most):
        after = f", after a blink at least {least[key] * 1000:.1f} ms" if key in least else ""
        print(f"{key[0]} mode {key[1]}: at most {most[key] * 1000:.1f} ms after its sleep{after}")


def timing_mismatch(its, mode, timing):
    """Whether any iteration came later after the one before it than that
    one's sleep (its period, or a blink's last step) plus the machine's
    longest evaluation, or sooner after a blink than its last step plus
    the shortest: one blink after another then is no blink at all, but
    writes regrouped from shorter ones. None, or the first such gap."""
    _note_figures(its, mode, timing)
    for a, b in zip(its, its[1:]):
        if a.level == BROKEN:
            continue  # judged as broken already
        gap = b.first - b.earliest  # from the end of the sleep before it
        low = timing.after_blink_min if a.level == BLINK_LEVEL else None
        if gap > timing.most(mode):
            return (f"the iteration at {b.first:.3f}s began {gap:.3f} s after the sleep before it ended, "
                    f"more than an evaluation takes here ({timing.most(mode)} s)")
        if low is not None and gap < low:
            return (f"the iteration at {b.first:.3f}s began {gap * 1000:.1f} ms after the blink before it "
                    f"ended, less than a query takes here ({low * 1000:.1f} ms)")
    return None


def broken(its):
    """The iterations that are no iteration of the daemon's (BROKEN), which
    no stretch of a run may hold, judged by a step or not."""
    return [it for it in its if it.level == BROKEN]


def levels(its):
    return [it.level for it in its]


if __name__ == "__main__":
    summary(sys.argv[1])
