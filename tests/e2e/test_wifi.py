"""The wireless modes against the real hostapd, wpa_supplicant and their
control tools (peers.WiredWifi): both daemons run their `wired` driver over
the veth pair wlan0/wlan1 in the daemon's network namespace, so the station
query, the association query and the interface counters are all real.

The wired driver shows the tools' real output and exit codes, not a radio:
`wpa_cli status` prints `ssid=` as soon as the supplicant runs, before it has
authenticated, and hostapd keeps a station that logged off in its list. What
only a radio (or a fault) produces is shown with scripted control tools,
each marked where it is used: a station leaving, an empty list printed as a
lone newline, a link reported while its interface is missing."""
import signal
import unittest

import harness
from peers import WiredWifi, wait_until
from sandbox import LOG_DAEMON, LOG_NOTICE, Sandbox

MISSING = WiredWifi.missing()


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


def assert_off_at_the_next_iteration(test, writes, since):
    """On until `since`, off within one iteration after it."""
    off = next(t for t, v in writes if v == 0)
    test.assertGreater(off, since)
    test.assertLess(off - since, 1.3)
    test.assertTrue(all(v == 1 for t, v in writes if t < since))


def linked(box, ap=True, client=True):
    """The real access point and client as asked, authenticated when both."""
    wifi = WiredWifi(box)
    if ap and client:
        wifi.link()
    elif ap:
        wifi.start_ap()
    elif client:
        wifi.start_client()
    return wifi


@unittest.skipIf(MISSING, f"missing {MISSING}")
class AccessPoint(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        print(WiredWifi.versions())

    def start(self, box):
        box.settings("MOD_TAVRIN_MODE=11\n")
        box.record_calls("hostapd_cli")
        box.start()

    def test_no_hostapd_and_a_fresh_hostapd_without_stations_are_off(self):
        with Sandbox() as box:
            wifi = linked(box, ap=False, client=False)
            self.start(box)
            box.sleep_until(1.5)
            without_daemon = box.read("/tmp/tavrin_wifi_ap.txt")
            wifi.start_ap()
            box.sleep_until(2.5)
            without_stations = box.read("/tmp/tavrin_wifi_ap.txt")
            self.assertEqual(box.stop_at(3.5), 0)
            writes = box.led_writes()
        self.assertEqual(without_daemon, "", "the tool's complaint goes to its error output, not the capture")
        self.assertEqual(without_stations, "", "an empty list prints nothing")
        self.assertEqual([v for _, v in writes], [0, 0, 0, 0])
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_authenticated_station_is_steady_on_with_one_query_a_second(self):
        with Sandbox() as box:
            linked(box)
            self.start(box)
            self.assertEqual(box.stop_at(3.5), 0)
            calls = box.calls("hostapd_cli")
            writes = box.led_writes()
            capture = box.read("/tmp/tavrin_wifi_ap.txt")
        self.assertEqual([v for _, v in writes], [1, 1, 1, 1])
        self.assertEqual(calls, ["-i wlan0 all_sta"] * 4)
        self.assertRegex(capture, r"^([0-9a-f]{2}:){5}[0-9a-f]{2}\nflags=\[AUTHORIZED\]\n")
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_traffic_blinks_eight_writes_at_125ms_with_one_query_between_blinks(self):
        with Sandbox() as box:
            linked(box)
            self.start(box)
            box.sleep_until(0.5)
            box.traffic("wlan1", 4.5, 0.02)  # the station sends: wlan0 receives
            box.sleep_until(4.6)
            queries_during_blinks = len(box.calls("hostapd_cli"))
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
            linked(box)
            self.start(box)
            box.traffic("wlan1", 5, 0.02)
            box.sleep_until(2.4)  # inside the second blink
            sent = box.now()
            queries = len(box.calls("hostapd_cli"))
            self.assertEqual(box.stop_at(2.4), 0)
            writes = box.led_writes()
            stopped = next(t for t, m in box.log_times() if m.text == "stopped")
            self.assertEqual(len(box.calls("hostapd_cli")), queries, "no query after the signal")
        last_blink = [w for w in writes if w[0] > sent - 0.9]
        last_blink = last_blink[-8:]
        self.assertEqual([v for _, v in last_blink], [0, 1] * 4, "all eight steps, ending on")
        self.assertLess(last_blink[0][0], sent)
        self.assertGreater(last_blink[-1][0], sent)
        self.assertGreaterEqual(stopped - last_blink[0][0], 0.87, "at most one 125 ms sleep cut short")
        self.assertLess(stopped - last_blink[-1][0], 0.2, "the loop leaves at its next top")

    def test_hostapd_stopping_turns_the_led_off_at_the_next_iteration(self):
        with Sandbox() as box:
            wifi = linked(box)
            self.start(box)
            box.sleep_until(1.5)
            wifi.stop_ap()
            stopped = box.now()
            self.assertEqual(box.stop_at(3.2), 0)
            writes = box.led_writes()
        assert_off_at_the_next_iteration(self, writes, stopped)


class AccessPointScripted(unittest.TestCase):
    """Answers the real hostapd_cli does not give over the wired driver."""
    STATION = "02:00:00:00:00:aa\nflags=[AUTH][ASSOC][AUTHORIZED]\n"
    # Scripted: a radio's station can leave; the wired driver keeps it listed.
    HOSTAPD_CLI = 'echo "$*" >> /tmp/hostapd_cli.calls\ncat /tmp/stations 2>/dev/null'

    def start(self, box, stations, veth=True):
        box.settings("MOD_TAVRIN_MODE=11\n")
        if veth:
            box.veth("wlan0")
        box.tool("hostapd_cli", self.HOSTAPD_CLI)
        box.write("/tmp/stations", stations)
        box.start()

    def test_one_byte_answer_means_no_station(self):
        with Sandbox() as box:
            self.start(box, "\n")
            self.assertEqual(box.stop_at(1.5), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])

    def test_station_leaving_turns_the_led_off_at_the_next_iteration(self):
        with Sandbox() as box:
            self.start(box, self.STATION)
            box.sleep_until(1.5)
            box.remove("/tmp/stations")
            left = box.now()
            self.assertEqual(box.stop_at(3.2), 0)
            writes = box.led_writes()
        assert_off_at_the_next_iteration(self, writes, left)

    def test_missing_interface_logs_once_a_second_with_the_led_off(self):
        with Sandbox() as box:
            self.start(box, self.STATION, veth=False)
            self.assertEqual(box.stop_at(2.5), 0)
            writes = box.led_writes()
            log = box.log()
        self.assertEqual([v for _, v in writes], [0, 0, 0])
        texts = [m.text for m in log]
        self.assertEqual(texts, ["started"] + ["unable to get interface stats for wlan0"] * 3 + ["stopped"])
        self.assertTrue(all(m.priority == LOG_DAEMON | LOG_NOTICE for m in log))


@unittest.skipIf(MISSING, f"missing {MISSING}")
class Client(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        print(WiredWifi.versions())

    def test_no_supplicant_off_then_on_blinking_on_traffic_and_off_after_disconnect(self):
        with Sandbox() as box:
            wifi = linked(box, client=False)
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.record_calls("wpa_cli")
            box.start()
            box.sleep_until(0.5)
            wifi.start_client()
            wifi.wait_authenticated()
            box.sleep_until(4.5)
            box.traffic("wlan0", 1.0, 0.02)  # the access point sends: wlan1 receives
            box.sleep_until(7.5)
            wifi.disconnect()
            gone = box.now()
            self.assertEqual(box.stop_at(9.2), 0)
            writes = box.led_writes()
            calls = box.calls("wpa_cli")
        self.assertEqual(box.led_at(0.3), 0, "no supplicant: wpa_cli fails, grep finds nothing")
        self.assertEqual(box.led_at(4.3), 1, "associated, idle")
        levels = [v for t, v in writes if 4.5 < t < 7.5]
        self.assertIn([0, 1] * 4, [levels[i:i + 8] for i in range(len(levels))], "a blink on traffic")
        self.assertEqual(box.led_at(gone - 0.05), 1)
        off = next(t for t, v in writes if t > gone and v == 0)
        self.assertLess(off - gone, 1.3)
        self.assertEqual(set(calls), {"-i wlan1 status"})
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_wired_driver_reports_a_network_before_authentication(self):
        # What a radio would not do: with no access point at all, the wired
        # driver's status already holds `ssid=`, so the LED shows a link.
        with Sandbox() as box:
            wifi = linked(box, ap=False)
            wait_until(lambda: "\nssid=\n" in wifi.client_status(), 5, "the supplicant to report a network")
            self.assertNotIn("wpa_state=COMPLETED", wifi.client_status())
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.start()
            self.assertEqual(box.stop_at(1.5), 0)
            self.assertEqual([v for _, v in box.led_writes()], [1, 1])

    def test_missing_client_tool_is_no_link(self):
        with Sandbox() as box:
            linked(box)
            box.remove("/usr/sbin/wpa_cli")
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.start()
            self.assertEqual(box.stop_at(1.5), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])


class ClientScripted(unittest.TestCase):
    def test_missing_interface_logs_once_a_second_with_the_led_off(self):
        # Scripted: the client reports a network on an interface that is
        # missing, which the real supplicant cannot run without.
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.tool("wpa_cli", "echo ssid=home-net\necho wpa_state=COMPLETED")
            box.start()
            box.sleep_until(1.5)
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])
            self.assertEqual(box.log_texts(),
                             ["started"] + ["unable to get interface stats for wlan1"] * 2 + ["stopped"])


if __name__ == "__main__":
    harness.main()
