"""The daemon's iterations, told apart from its LED writes alone, so that a
test judges what each iteration showed around a change, however long the
iterations took on a loaded or emulated machine.

Every iteration ends in one LED write followed by a sleep of one period, or
(modes 11 and 12, on traffic) in a blink: exactly eight writes 0,1,0,1,0,1,
0,1 at the blink's 125 ms steps, and no sleep. A sleep never ends early
(only a stop signal cuts it short, and then nothing more is written), so:
  - a steady write followed by another write less than a period later is
    no iteration of the daemon's: it is judged BROKEN, whatever it showed;
  - a blink is recognised only where an iteration begins, and only with
    every step between 120 ms and 250 ms (a late wake-up on a loaded or
    emulated machine, never an early one); anything else is steady writes,
    and so BROKEN where they come too fast. The one exception: the stop
    signal ends the blink's sleep under way (the blink goes on), so the
    last blink of a daemon that has ended may have one step cut short;
  - an iteration's evaluation began no earlier than the end of the one
    before it plus its sleep: `earliest`.
An iteration whose `earliest` is at or after the moment a change was
complete saw the change; one whose first write came before the change
began did not; those in between ran while the change was being made.
"""
from dataclasses import dataclass
import statistics

BLINK = [0, 1] * 4
# A blink's steps: its 125 ms sleep, never less; at most twice that.
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
            found.append(Iteration(earliest, rest[0][0], rest[-1][0], BLINK_LEVEL))
            earliest = rest[-1][0]  # the next evaluation follows at once
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


def mismatch_after_change(its, began, done, until, expected, old=None):
    """mismatch() for the iterations after a change made from `began` to
    `done`, until `until`, where `old` is the level shown before it (None:
    not known, as after a step that named none; then it is whatever the
    first of them shows, unless that one is BROKEN). The iterations that ran while it was being made
    may show the old level and then go on as `expected`, once: never back
    and forth. So where the change shows once only (a counter that moved:
    [1, 0]), one of them may be the one that shows it."""
    window = during(its, began, done, until)
    judged = window + after(its, done, until)
    # A broken iteration cannot stand for the old level: it showed nothing.
    if old is None and window and window[0].level != BROKEN:
        old = window[0].level
    for k in range(len(window) + 1):
        if not all(it.shows(old) for it in window[:k]):
            break
        if mismatch(judged[k:], expected) is None:
            return None
    wrong = mismatch(after(its, done, until), expected)
    return wrong or (f"while the change was made: {levels(window)}, "
                     f"before it {old}, after it {levels(after(its, done, until))} for {expected}")


def spacing_mismatch(its, mode):
    """On a machine whose timing holds: whether the steady iterations come
    a period apart plus an evaluation, loosely (the median of the gaps from
    one steady write to the next iteration's first write is under one and
    a half periods, or two for the pin modes), or None."""
    period = period_of(mode)
    gaps = [b.first - a.first for a, b in zip(its, its[1:]) if a.level in (0, 1)]
    if len(gaps) < 3:
        return None
    bound = period + (0.1 if period < 1 else 0.5)
    median = statistics.median(gaps)
    if median > bound:
        return f"iterations {median:.3f} s apart (median of {len(gaps)}), a period is {period} s"
    return None


def broken(its):
    """The iterations that are no iteration of the daemon's (BROKEN), which
    no stretch of a run may hold, judged by a step or not."""
    return [it for it in its if it.level == BROKEN]


def levels(its):
    return [it.level for it in its]
