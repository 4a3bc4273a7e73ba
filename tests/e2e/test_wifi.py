"""The wireless modes against real interface counters: wlan0 and wlan1 are
veth interfaces of the sandbox, frames are sent into them from their peers,
and scripted hostapd_cli and wpa_cli answer the link queries."""
import signal
import unittest

import harness
from sandbox import LOG_DAEMON, LOG_NOTICE, Sandbox

STATION = "02:00:00:00:00:aa\nflags=[AUTH][ASSOC][AUTHORIZED]\n"
HOSTAPD_CLI = 'echo "$*" >> /tmp/hostapd.calls\ncat /tmp/stations 2>/dev/null'
WPA_CLI = ('echo "$*" >> /tmp/wpa.calls\n'
           'if [ -e /tmp/ssid ]; then echo bssid=02:00:00:00:00:01; echo "ssid=$(cat /tmp/ssid)"; '
           'echo wpa_state=COMPLETED; else echo wpa_state=DISCONNECTED; fi')


def blink_groups(writes):
    """Splits LED writes into runs of back-to-back blinks: [[(t, level)...]]."""
    groups, current = [], []
    for w in writes:
        if current and w[0] - current[-1][0] > 0.3:
            groups.append(current)
            current = []
        current.append(w)
    if current:
        groups.append(current)
    return groups


class AccessPoint(unittest.TestCase):
    def start(self, box, stations=None, veth=True):
        box.settings("MOD_TAVRIN_MODE=11\n")
        if veth:
            box.veth("wlan0")
        box.tool("hostapd_cli", HOSTAPD_CLI)
        if stations is not None:
            box.write("/tmp/stations", stations)
        box.start()

    def calls(self, box):
        return (box.read("/tmp/hostapd.calls") or "").splitlines()

    def test_station_without_traffic_is_steady_on_with_one_query_a_second(self):
        with Sandbox() as box:
            self.start(box, STATION)
            self.assertEqual(box.stop_at(3.5), 0)
            calls = self.calls(box)
            writes = box.led_writes()
            capture = box.read("/tmp/tavrin_wifi_ap.txt")
        self.assertEqual([v for _, v in writes], [1, 1, 1, 1])
        self.assertEqual(calls, ["-i wlan0 all_sta"] * 4)
        self.assertEqual(capture, STATION, "the capture holds the last answer")
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_traffic_blinks_eight_writes_at_125ms_with_one_query_between_blinks(self):
        with Sandbox() as box:
            self.start(box, STATION)
            box.sleep_until(0.5)
            box.traffic("wlan0p", 4.5, 0.02)
            box.sleep_until(4.6)
            queries_during_blinks = len(self.calls(box))
            self.assertEqual(box.stop_at(4.7), 0)
            writes = box.led_writes()
        # The stop signal cuts one sleep of the blink under way short: look
        # at the blinks that ended before it.
        writes = [w for w in writes if w[0] < 4.7 - 0.3]
        # Second 0: the baseline, steady on. Then blink seconds back to back.
        self.assertEqual(writes[0][1], 1)
        blinking = [w for w in writes if w[0] > 0.9]
        self.assertGreaterEqual(len(blinking), 24)
        self.assertEqual(len(blink_groups(blinking)), 1, "no period sleep between blinks")
        full = len(blinking) - len(blinking) % 8
        for start in range(0, full, 8):
            blink = blinking[start:start + 8]
            self.assertEqual([v for _, v in blink], [0, 1] * 4)
            steps = [b[0] - a[0] for a, b in zip(blink, blink[1:])]
            self.assertTrue(all(0.12 <= s < 0.3 for s in steps), steps)
        # The next blink starts right after one station query.
        starts = [blinking[i][0] for i in range(0, full, 8)]
        gaps = [b - a for a, b in zip(starts, starts[1:])]
        self.assertTrue(all(0.99 <= g < 1.4 for g in gaps), gaps)
        self.assertLessEqual(abs(queries_during_blinks - (1 + len(starts))), 1)

    def test_stop_signal_during_a_blink_lets_the_blink_finish(self):
        with Sandbox() as box:
            self.start(box, STATION)
            box.traffic("wlan0p", 5, 0.02)
            box.sleep_until(2.4)  # inside the second blink
            sent = box.now()
            queries = len(self.calls(box))
            self.assertEqual(box.stop_at(2.4), 0)
            writes = box.led_writes()
            stopped = next(t for t, m in box.log_times() if m.text == "stopped")
            self.assertEqual(len(self.calls(box)), queries, "no query after the signal")
        last_blink = [w for w in writes if w[0] > sent - 0.9]
        last_blink = last_blink[-8:]
        self.assertEqual([v for _, v in last_blink], [0, 1] * 4, "all eight steps, ending on")
        self.assertLess(last_blink[0][0], sent)
        self.assertGreater(last_blink[-1][0], sent)
        self.assertGreaterEqual(stopped - last_blink[0][0], 0.87, "at most one 125 ms sleep cut short")
        self.assertLess(stopped - last_blink[-1][0], 0.2, "the loop leaves at its next top")

    def test_one_byte_answer_means_no_station(self):
        with Sandbox() as box:
            self.start(box, "\n")
            self.assertEqual(box.stop_at(1.5), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])

    def test_station_leaving_turns_the_led_off_at_the_next_iteration(self):
        with Sandbox() as box:
            self.start(box, STATION)
            box.sleep_until(1.5)
            box.remove("/tmp/stations")
            left = box.now()
            self.assertEqual(box.stop_at(3.2), 0)
            writes = box.led_writes()
        off = next(t for t, v in writes if v == 0)
        self.assertGreater(off, left)
        self.assertLess(off - left, 1.3)
        self.assertTrue(all(v == 1 for t, v in writes if t < left))

    def test_missing_interface_logs_once_a_second_with_the_led_off(self):
        with Sandbox() as box:
            self.start(box, STATION, veth=False)
            self.assertEqual(box.stop_at(2.5), 0)
            writes = box.led_writes()
            log = box.log()
        self.assertEqual([v for _, v in writes], [0, 0, 0])
        texts = [m.text for m in log]
        self.assertEqual(texts, ["started"] + ["unable to get interface stats for wlan0"] * 3 + ["stopped"])
        self.assertTrue(all(m.priority == LOG_DAEMON | LOG_NOTICE for m in log))


class Client(unittest.TestCase):
    def test_associated_idle_on_blinks_on_traffic_and_off_when_disassociated(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.veth("wlan1")
            box.tool("wpa_cli", WPA_CLI)
            box.start()
            box.sleep_until(0.5)
            box.write("/tmp/ssid", "home-net\n")
            box.sleep_until(2.5)
            box.traffic("wlan1p", 1.0, 0.02)
            box.sleep_until(5.5)
            box.remove("/tmp/ssid")
            gone = box.now()
            box.sleep_until(7.2)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            writes = box.led_writes()
            calls = (box.read("/tmp/wpa.calls") or "").splitlines()
        self.assertEqual(box.led_at(0.3), 0, "not associated")
        self.assertEqual(box.led_at(2.3), 1, "associated, idle")
        levels = [v for t, v in writes if 2.5 < t < 5.5]
        self.assertIn([0, 1] * 4, [levels[i:i + 8] for i in range(len(levels))], "a blink on traffic")
        self.assertEqual(box.led_at(gone - 0.05), 1)
        off = next(t for t, v in writes if t > gone and v == 0)
        self.assertLess(off - gone, 1.3)
        self.assertTrue(set(calls) == {"-i wlan1 status"})
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_missing_interface_logs_once_a_second_with_the_led_off(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.tool("wpa_cli", WPA_CLI)
            box.write("/tmp/ssid", "home-net\n")
            box.start()
            box.sleep_until(1.5)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])
            self.assertEqual(box.log_texts(),
                             ["started"] + ["unable to get interface stats for wlan1"] * 2 + ["stopped"])

    def test_missing_client_tool_is_no_link(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.veth("wlan1")
            box.start()
            box.sleep_until(1.5)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])


if __name__ == "__main__":
    harness.main()
