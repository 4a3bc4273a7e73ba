"""The six serial modes against one sequence of traffic: each lights only for
its own port and direction. One scenario per mode, run side by side."""
import concurrent.futures
import unittest

import harness
import scenario

# One second each: port 0 receives, port 0 sends, port 1 receives, port 1 sends.
EVENTS = [(0, "rx"), (0, "tx"), (1, "rx"), (1, "tx")]
# Which of those seconds each mode shows.
SHOWN = {
    5: [1, 0, 0, 0],
    6: [0, 1, 0, 0],
    7: [1, 1, 0, 0],
    8: [0, 0, 1, 0],
    9: [0, 0, 0, 1],
    10: [0, 0, 1, 1],
}


def statistics(counts):
    return "serinfo:1.0 driver revision:\n" + "".join(
        f"{port}: uart:16550A port:000003F8 irq:4 tx:{tx} rx:{rx} RTS|DTR\n" for port, (tx, rx) in enumerate(counts))


def matrix_scenario(mode):
    counts = [[10, 20], [30, 40]]
    timeline = []
    for i, (port, direction) in enumerate(EVENTS):
        counts[port][0 if direction == "tx" else 1] += 3
        # The second after the change shows it, the one after that not.
        timeline.append({"at": i + 0.5, "write": {"/proc/tty/driver/serial": statistics(counts)},
                         "then": [SHOWN[mode][i], 0]})
    timeline.append({"at": len(EVENTS) + 0.7, "signal": "TERM"})
    return {
        "name": f"serial-matrix-mode{mode}",
        "mode": mode,
        "setup": {"settings": f"MOD_TAVRIN_MODE={mode}\n",
                  "files": {"/proc/tty/driver/serial": statistics([[10, 20], [30, 40]])}},
        "timeline": timeline,
        "expect": {"exit": 0, "log": ["started", "stopped"], "first": [0]},
    }


class SerialModes(unittest.TestCase):
    def test_each_mode_shows_only_its_port_and_direction(self):
        scenarios = {mode: matrix_scenario(mode) for mode in SHOWN}
        with concurrent.futures.ThreadPoolExecutor(len(scenarios)) as pool:
            stages = {mode: scenario.Stage(s, harness.emulated()) for mode, s in scenarios.items()}
            runs = dict(zip(scenarios, pool.map(lambda stage: stage.run(), stages.values())))
        for mode, (box, status) in runs.items():
            with self.subTest(mode=mode):
                self.assertEqual(scenario.check(scenarios[mode], box, status), [], box.led_writes())


if __name__ == "__main__":
    harness.main()
