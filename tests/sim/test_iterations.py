"""The judge of iterations (sim/iterations.py) on made-up LED writes: what
it takes for an iteration, a blink, and a change shown once."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "sim"))
import iterations  # noqa: E402
from sandbox import Sandbox  # noqa: E402
from iterations import BLINK_LEVEL, BROKEN, ON  # noqa: E402

STEP = 0.125
os.environ.pop("TAVRIN_FIGURES", None)  # made-up writes are no figures of a machine


def blink(t, phase=0, step=STEP):
    """A blink's eight writes from `t` (phase 1: starting on)."""
    return [(t + i * step, (i + phase) % 2) for i in range(8)]


def steady(t, *levels, gap=1.05):
    return [(t + i * gap, level) for i, level in enumerate(levels)]


def shown(writes, mode=11):
    return iterations.levels(iterations.iterations(writes, mode))


class Parsing(unittest.TestCase):
    def test_steady_writes_and_blinks_where_iterations_begin(self):
        writes = steady(0.0, 1) + blink(1.1) + blink(2.11) + steady(3.12, 1, 0)
        self.assertEqual(shown(writes), [1, BLINK_LEVEL, BLINK_LEVEL, 1, 0])
        # A loaded machine wakes late: steps up to twice the blink's sleep.
        self.assertEqual(shown(blink(0.0, step=0.2)), [BLINK_LEVEL])

    def test_a_blink_in_the_wrong_phase_is_no_blink(self):
        # Back-to-back blinks that start on: the first on would be a steady
        # write with no period after it.
        writes = steady(0.0, 1) + blink(1.1, phase=1) + blink(2.1, phase=1)
        self.assertNotIn(BLINK_LEVEL, shown(writes)[:2])
        self.assertIn(BROKEN, shown(writes))

    def test_an_off_followed_quickly_by_a_steady_on_is_not_hidden(self):
        # A blink, then an off and an on 0.2 s apart: no iteration of the
        # daemon's writes off and then anything within its period.
        writes = steady(0.0, 1) + blink(1.1) + [(2.1, 0), (2.3, 1)] + steady(3.4, 1)
        self.assertEqual(shown(writes), [1, BLINK_LEVEL, BROKEN, 1, 1])

    def test_a_blink_with_a_step_off_its_sleep_is_no_blink(self):
        for step in (0.1, 0.4):
            with self.subTest(step=step):
                self.assertNotIn(BLINK_LEVEL, shown(steady(0.0, 1) + blink(1.1, step=step)))

    def test_only_the_last_blink_of_an_ended_daemon_may_have_a_step_cut_short(self):
        # The stop signal ends the blink's sleep under way; the blink goes on.
        cut = blink(1.1)[:2] + [(t - 0.1, level) for t, level in blink(1.1)[2:]]
        self.assertEqual(shown(steady(0.0, 1) + cut), [1, BLINK_LEVEL])
        self.assertNotIn(BLINK_LEVEL, shown(steady(0.0, 1) + cut + steady(2.1, 1)), "not the last")
        self.assertNotIn(BLINK_LEVEL, iterations.levels(iterations.iterations(steady(0.0, 1) + cut, 11, now=2.5)),
                         "a daemon still running")
        twice = cut[:4] + [(t - 0.1, level) for t, level in cut[4:]]
        self.assertNotIn(BLINK_LEVEL, shown(steady(0.0, 1) + twice), "two steps cut")

    def test_writes_sooner_than_the_sleep_after_them_are_broken(self):
        self.assertEqual(shown(steady(0.0, 1, 0, 1, gap=0.6), mode=15), [BROKEN, BROKEN, 1])
        self.assertEqual(shown(steady(0.0, 1, 0, 1, gap=0.101), mode=3), [1, 0, 1])
        # A blink without its last 125 ms sleep: the next query 5 ms after.
        self.assertEqual(shown(steady(0.0, 1) + blink(1.1) + steady(1.98, 1)), [1, BROKEN, 1])


class Timing(unittest.TestCase):
    """Every gap between iterations, on this machine's measured figures."""
    HERE = Sandbox.TIMING

    def late(self, writes, mode):
        return iterations.timing_mismatch(iterations.iterations(writes, mode), mode, self.HERE)

    def test_iterations_a_period_and_an_evaluation_apart_pass(self):
        self.assertIsNone(self.late(steady(0.0, 1, 0, 1, 1, gap=1.1), 15))
        self.assertIsNone(self.late(steady(0.0, 1, 0, 1, 1, gap=0.103), 3))
        self.assertIsNone(self.late(steady(0.0, 1) + blink(1.1) + blink(2.105) + steady(3.11, 1), 11))

    def test_any_gap_past_a_period_and_the_longest_evaluation_fails(self):
        stall = steady(0.0, 1, 1, 1) + steady(7.1, 1, 1, 1, gap=1.0)  # one 4 s stall
        self.assertIsNotNone(self.late(stall, 15))
        self.assertIsNotNone(self.late(steady(0.0, 1, 0, 1, 0, 1, gap=2.0), 15))  # a 2 s period
        self.assertIsNotNone(self.late(steady(0.0, 1, 0, 1, 0, 1, gap=0.15), 3))  # a 150 ms period
        self.assertIsNotNone(self.late(steady(0.0, 1) + blink(1.1) + steady(2.1 + 0.5, 1), 11))

    def test_blinks_regrouped_from_shorter_ones_fail(self):
        # Four blinks of three cycles, 4 ms of query between them, read as
        # three of four cycles: one of them begins right after the one
        # before it ended, with no query between.
        writes, t = steady(0.0, 1), 1.1
        for _ in range(4):
            writes += [(t + i * STEP, i % 2) for i in range(6)]
            t += 6 * STEP + 0.004
        writes += steady(t + 0.004, 1)
        self.assertEqual(shown(writes), [1, BLINK_LEVEL, BLINK_LEVEL, BLINK_LEVEL, 1])
        self.assertIsNotNone(self.late(writes, 11))


class Changes(unittest.TestCase):
    """A change made from 5.0 to 8.0 s, while iterations ran every 1.05 s:
    five before it, three while it was made (5.25, 6.3, 7.35), then the
    rest after it."""
    BEGAN, DONE = 5.0, 8.0

    def judge(self, window, later, expected, old, before=None, settling=None):
        levels = [old if before is None else before] * 5 + window + later
        its = iterations.iterations(steady(0.0, *levels), 15)
        self.assertEqual(len(iterations.during(its, self.BEGAN, self.DONE)), 3)
        return iterations.mismatch_after_change(its, self.BEGAN, self.DONE, None, expected, old, settling)

    def test_the_levels_during_a_change_go_from_old_to_new_once(self):
        self.assertIsNone(self.judge([1, 1, 0], [0, 0], [0], old=1))
        self.assertIsNone(self.judge([0, 0, 0], [0, 0], [0], old=1))
        self.assertIsNone(self.judge([1, 1, 1], [0, 0], [0], old=1))

    def test_a_flapping_change_window_fails(self):
        self.assertIsNotNone(self.judge([1, 0, 1], [0, 0], [0], old=1))
        # Not knowing the old level, the first of the window stands for it.
        self.assertIsNotNone(self.judge([1, 0, 1], [0, 0], [0], old=None, before=1))
        self.assertIsNone(self.judge([1, 1, 0], [0, 0], [0], old=None, before=1))

    def test_a_double_write_cannot_stand_for_an_unknown_old_level(self):
        # 0 then 1 twenty ms later, where the change began: broken whether
        # the old level is known or not.
        writes = steady(0.0, 0, 0, 0, 0, 0) + [(5.25, 0), (5.27, 1)] + steady(6.3, 1, 1, 1, 1, 1)
        its = iterations.iterations(writes, 15)
        self.assertEqual(iterations.levels(iterations.broken(its)), [BROKEN])
        for old in (0, None):
            with self.subTest(old=old):
                self.assertIsNotNone(iterations.mismatch_after_change(its, self.BEGAN, self.DONE, None, [1], old))

    def test_a_window_that_goes_back_to_the_old_level_fails(self):
        self.assertIsNone(self.judge([1, 1, 1], [1, 1], [ON, 1], old=0))
        self.assertIsNotNone(self.judge([1, 0, 1], [1, 1], [1], old=0))

    def test_a_change_that_settles_while_made_counts_its_levels_from_after_it(self):
        # A station listed mid-exchange: on while authenticating, then the
        # levels after it.
        self.assertIsNone(self.judge([0, 1, 1], [1, 1, 1], [ON, ON, 1], old=0, settling=ON))
        self.assertIsNotNone(self.judge([0, 1, 1], [1, 0, 1], [ON, ON, 1], old=0, settling=ON))
        self.assertIsNotNone(self.judge([1, 0, 1], [1, 1, 1], [ON, ON, 1], old=0, settling=ON))

    def test_a_change_shown_once_may_show_in_the_window(self):
        # A counter that moved: one iteration shows it, the rest are off.
        self.assertIsNone(self.judge([0, 1, 0], [0, 0], [1, 0], old=0))
        self.assertIsNone(self.judge([0, 0, 0], [1, 0, 0], [1, 0], old=0))
        self.assertIsNotNone(self.judge([1, 0, 1], [0, 0], [1, 0], old=0))
        self.assertIsNotNone(self.judge([0, 0, 0], [0, 1, 0], [1, 0], old=0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
