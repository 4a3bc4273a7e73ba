"""The daemon's iterations, told apart from its LED writes alone, so that a
test judges what each iteration showed around a change, however long the
iterations took on a loaded or emulated machine.

Every iteration ends in one LED write followed by a sleep of one period, or
(modes 11 and 12, on traffic) in a blink: eight writes 0,1,0,1,0,1,0,1 at
125 ms steps and no sleep. A sleep never ends early (only a stop signal cuts
it short), so an iteration's evaluation began no earlier than the end of the
previous iteration plus its sleep: `earliest`. An iteration whose `earliest`
is at or after the moment a change was complete saw the change; one whose
first write came before the change began did not; one in between ran while
the change was being made and may show either.
"""
from dataclasses import dataclass

BLINK = [0, 1] * 4
# The levels a test may expect of an iteration: 0, 1, BLINK_LEVEL (a
# blink), or ON (a link shown: steady on or a blink).
BLINK_LEVEL = "blink"
ON = "on"


@dataclass
class Iteration:
    earliest: float  # no earlier than this did its evaluation begin
    first: float     # its first LED write
    last: float      # its last LED write
    level: object    # the level it wrote, or BLINK_LEVEL

    def shows(self, expected):
        if expected == ON:
            return self.level in (1, BLINK_LEVEL)
        return self.level == expected


def period_of(mode):
    return 0.1 if 1 <= mode <= 4 else 1.0


def _blink_at(writes, i, period):
    """Whether writes[i:i+8] are one blink: the pattern, and every step
    shorter than a period (a steady write is followed by a whole one)."""
    steps = writes[i:i + 8]
    return (len(steps) == 8 and [level for _, level in steps] == BLINK
            and all(b[0] - a[0] < period for a, b in zip(steps, steps[1:])))


def _blink_under_way(writes, i, period, now):
    """Whether writes[i:] may be the start of a blink still being written
    at `now`."""
    steps = writes[i:]
    return (len(steps) < 8 and [level for _, level in steps] == BLINK[:len(steps)]
            and all(b[0] - a[0] < period for a, b in zip(steps, steps[1:])) and now - steps[-1][0] < period)


def iterations(writes, mode, now=None):
    """The iterations of a daemon in `mode` from its LED writes
    [(seconds, level)], in order. `now`: the writes are those of a daemon
    still running at that time, which may be in the middle of a blink (not
    yet an iteration)."""
    period = period_of(mode)
    blinks = mode in (11, 12)
    found = []
    earliest = 0.0
    i = 0
    while i < len(writes):
        if blinks and now is not None and _blink_under_way(writes, i, period, now):
            break
        if blinks and _blink_at(writes, i, period):
            found.append(Iteration(earliest, writes[i][0], writes[i + 7][0], BLINK_LEVEL))
            earliest = writes[i + 7][0]  # the next evaluation follows at once
            i += 8
        else:
            t, level = writes[i]
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


def mismatch_after_change(its, began, done, until, expected):
    """mismatch() for the iterations after a change made from `began` to
    `done`, until `until`. An iteration that ran while it was being made
    may show the old state or the new; where the change shows once only
    (a counter that moved: [1, 0]), that iteration may be the one that
    showed it."""
    later = after(its, done, until)
    wrong = mismatch(later, expected)
    during = [it for it in its if it.first >= began and it.earliest < done]
    if wrong and during and len(expected) > 1 and mismatch(during[-1:] + later, expected) is None:
        return None
    return wrong


def levels(its):
    return [it.level for it in its]
