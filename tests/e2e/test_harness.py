"""The scenario checker must fail runs that miss their expectations: a
checker that passes everything would hide every fault of the daemon."""
import copy
import os
import unittest

import harness
import scenario


class Checker(unittest.TestCase):
    def test_every_kind_of_expectation_can_fail(self):
        s = scenario.load(os.path.join(scenario.SCENARIO_DIR, "mode03-out0.json"))
        box, status = scenario.Stage(s, harness.emulated()).run()
        self.assertEqual(scenario.check(s, box, status), [], "the scenario itself passes")
        wrong = {
            "exit": 1,
            "log": ["started"],
            "ident": "someone-else",
            "first": [1, 1],
            "gpio_opened": False,
            "gets": 0,
            "lines": {"/tmp/io.calls": [2, 3]},
        }
        for key, value in wrong.items():
            with self.subTest(expectation=key):
                bad = copy.deepcopy(s)
                bad["expect"][key] = value
                self.assertNotEqual(scenario.check(bad, box, status), [])
        bad = copy.deepcopy(s)
        bad["timeline"][1]["then"] = [1]
        self.assertNotEqual(scenario.check(bad, box, status), [], "each step's iterations are checked")
        bad = copy.deepcopy(s)
        bad["expect"]["log"] = [["err", "started"], "stopped"]
        self.assertNotEqual(scenario.check(bad, box, status), [], "the priority is checked")


if __name__ == "__main__":
    harness.main()
