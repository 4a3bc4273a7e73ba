"""The wireless modes against the real hostapd, wpa_supplicant and their
control tools (peers.WiredWifi): both daemons run their `wired` driver over
the veth pair wlan0/wlan1 in the daemon's network namespace, so the station
query, the association query and the interface counters are all real.

The wired driver shows the tools' real output and exit codes, not a radio:
`wpa_cli status` prints `ssid=` as soon as the supplicant runs, before it has
authenticated, and hostapd keeps a station that logged off in its list. What
only a radio (or a fault) produces is shown with scripted control tools,
each marked where it is used: a station leaving, an empty list printed as a
lone newline, a link reported while its interface is missing, and an access
point and a client on interfaces of their own that carry different
traffic."""
import signal
import time
import unittest

import harness
from harness import Machine, levels_between, timed
import iterations
from peers import WiredWifi, wait_until
from sandbox import LOG_DAEMON, LOG_NOTICE

MISSING = WiredWifi.missing()


def assert_off_from_the_next_iteration(test, box, mode, change):
    """On before the change (began, done), off in every iteration that
    began after it."""
    test.assertEqual(set(levels_between(box, mode, 0, change[0])) - {"blink"}, {1})
    test.assertEqual(set(levels_between(box, mode, change[1])), {0})


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
        with Machine() as box:
            wifi = linked(box, ap=False, client=False)
            self.start(box)
            box.wait_iterations(1, 11)
            without_daemon = box.read("/tmp/tavrin_wifi_ap.txt")
            started = timed(box, wifi.start_ap)
            box.wait_iterations(1, 11, since=started[1])
            without_stations = box.read("/tmp/tavrin_wifi_ap.txt")
            self.assertEqual(box.stop_after(2, 11, since=started[1]), 0)
        self.assertEqual(without_daemon, "", "the tool's complaint goes to its error output, not the capture")
        self.assertEqual(without_stations, "", "an empty list prints nothing")
        self.assertEqual({v for _, v in box.led_writes()}, {0})
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_authenticated_station_is_steady_on_with_one_query_a_second(self):
        with Machine() as box:
            linked(box)
            self.start(box)
            self.assertEqual(box.stop_after(4, 11), 0)
            calls = box.calls("hostapd_cli")
            capture = box.read("/tmp/tavrin_wifi_ap.txt")
        its = box.iterations(11)
        self.assertEqual({it.level for it in its}, {1})
        self.assertTrue(all(b.first - a.first >= 1.0 for a, b in zip(its, its[1:])), "a period between queries")
        self.assertEqual(calls, ["-i wlan0 all_sta"] * len(its))
        self.assertRegex(capture, r"^([0-9a-f]{2}:){5}[0-9a-f]{2}\nflags=\[AUTHORIZED\]\n")
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_traffic_blinks_eight_writes_at_125ms_with_one_query_between_blinks(self):
        with Machine() as box:
            linked(box)
            self.start(box)
            box.wait_iterations(1, 11)
            sent = timed(box, lambda: box.traffic("wlan1", 60, 0.02))  # the station sends: wlan0 receives
            box.wait_iterations(5, 11, since=sent[1])
            box.signal(signal.SIGTERM)
            self.assertEqual(box.wait(timeout=5), 0)
            queries = len(box.calls("hostapd_cli"))
            writes = box.led_writes()
        its = box.iterations(11)
        self.assertEqual(its[0].level, 1, "the first iteration takes the baseline: steady on")
        blinks = iterations.after(its, sent[1])[1:]
        self.assertGreaterEqual(len(blinks), 4)
        self.assertEqual({it.level for it in blinks}, {"blink"})
        for it in blinks:
            blink = [w for w in writes if it.first <= w[0] <= it.last]
            self.assertEqual([v for _, v in blink], [0, 1] * 4)
            steps = [b[0] - a[0] for a, b in zip(blink, blink[1:])]
            # The blink's 125 ms sleeps: never shorter; a late wake-up at most
            # (the last blink's, cut short by the stop signal, is not judged).
            if it is not its[-1]:
                self.assertTrue(all(0.125 - iterations.STAMP_SLACK <= step <= iterations.BLINK_STEP_MAX
                                    for step in steps), steps)
        # One station query, and no period sleep, between one blink and the
        # next: each gap is the blink's last step and a query, no more and
        # no less than this machine's queries take.
        self.assertIsNone(harness.timing_mismatch(box, 11))
        self.assertEqual(queries, len(its), "one station query an iteration")

    def test_stop_signal_during_a_blink_lets_the_blink_finish(self):
        with Machine() as box:
            linked(box)
            self.start(box)
            box.wait_iterations(1, 11)
            box.traffic("wlan1", 60, 0.02)
            # Inside a blink: its first write is there, its last is not.
            box.wait_iterations(1, 11, since=box.mark())
            while True:
                writes = box.led_writes()
                if writes[-1][1] == 0:
                    break
                time.sleep(0.01)
            sent = box.signal(signal.SIGTERM)
            queries = len(box.calls("hostapd_cli"))
            self.assertEqual(box.wait(timeout=5), 0)
            writes = box.led_writes()
            stopped = box.stopped_time()
            self.assertEqual(len(box.calls("hostapd_cli")), queries, "no query after the signal")
        last = box.iterations(11)[-1]
        self.assertEqual(last.level, "blink", "all eight steps, ending on")
        self.assertLess(last.first, sent)
        self.assertGreater(last.last, sent)
        self.assertEqual(iterations.after(box.iterations(11), sent), [], "the loop leaves at its next top")
        self.assertLess(stopped - last.last, 0.5)

    def test_hostapd_stopping_turns_the_led_off_at_the_next_iteration(self):
        with Machine() as box:
            wifi = linked(box)
            self.start(box)
            box.wait_iterations(2, 11)
            stopped = timed(box, wifi.stop_ap)
            self.assertEqual(box.stop_after(2, 11, since=stopped[1]), 0)
            self.assertEqual(box.read("/tmp/tavrin_wifi_ap.txt"), "", "no access point: an empty answer")
        assert_off_from_the_next_iteration(self, box, 11, stopped)


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
        with Machine() as box:
            self.start(box, "\n")
            self.assertEqual(box.stop_after(2, 11), 0)
            self.assertEqual({v for _, v in box.led_writes()}, {0})

    def test_station_leaving_turns_the_led_off_at_the_next_iteration(self):
        with Machine() as box:
            self.start(box, self.STATION)
            box.wait_iterations(2, 11)
            left = timed(box, lambda: box.remove("/tmp/stations"))
            self.assertEqual(box.stop_after(2, 11, since=left[1]), 0)
        assert_off_from_the_next_iteration(self, box, 11, left)

    def test_missing_interface_logs_once_a_second_with_the_led_off(self):
        with Machine() as box:
            self.start(box, self.STATION, veth=False)
            self.assertEqual(box.stop_after(3, 11), 0)
            writes = box.led_writes()
            log = box.log()
        self.assertEqual({v for _, v in writes}, {0})
        texts = [m.text for m in log]
        self.assertEqual(texts, ["started"] + ["unable to get interface stats for wlan0"] * len(writes) + ["stopped"])
        self.assertTrue(all(m.priority == LOG_DAEMON | LOG_NOTICE for m in log))


@unittest.skipIf(MISSING, f"missing {MISSING}")
class Client(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        print(WiredWifi.versions())

    def test_no_supplicant_off_then_on_blinking_on_traffic_and_off_after_disconnect(self):
        with Machine() as box:
            wifi = linked(box, client=False)
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.record_calls("wpa_cli")
            box.start()
            box.wait_iterations(1, 12)

            def associate():
                wifi.start_client()
                wifi.wait_authenticated()
            joined = timed(box, associate)
            # The exchange's frames may still reach the iterations after it
            # (a loaded emulated router retransmits): idle once one is steady.
            wait_until(lambda: levels_between(box, 12, joined[1])[-1:] == [1], 60, "a steady on once associated")
            sender = []
            sent = timed(box, lambda: sender.append(box.traffic("wlan0", 60, 0.02)))  # wlan1 receives
            box.wait_iterations(2, 12, since=sent[1])
            box.kill(sender[0])
            quiet = box.mark()
            box.wait_iterations(2, 12, since=quiet)
            gone = timed(box, wifi.disconnect)
            self.assertEqual(box.stop_after(2, 12, since=gone[1]), 0)
            calls = box.calls("wpa_cli")
        self.assertEqual(set(levels_between(box, 12, 0, joined[0])), {0}, "no supplicant: wpa_cli fails")
        self.assertEqual(levels_between(box, 12, joined[1], sent[0])[-1], 1, "associated, idle")
        self.assertEqual(set(levels_between(box, 12, sent[1], quiet)[1:]), {"blink"}, "blinks on traffic")
        self.assertEqual(levels_between(box, 12, quiet, gone[0])[-1], 1, "steady again once it ends")
        self.assertEqual(set(levels_between(box, 12, gone[1])), {0})
        self.assertEqual(set(calls), {"-i wlan1 status"})
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    @harness.host_only("there the supplicant without an access point does not show ssid= in every status answer")
    def test_wired_driver_reports_a_network_before_authentication(self):
        # What a radio would not do: with no access point at all, the wired
        # driver's status already holds `ssid=`, so the LED shows a link.
        with Machine() as box:
            wifi = linked(box, ap=False)
            wait_until(lambda: "\nssid=\n" in wifi.client_status(), 5, "the supplicant to report a network")
            self.assertNotIn("wpa_state=COMPLETED", wifi.client_status())
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.start()
            self.assertEqual(box.stop_after(2, 12), 0)
            self.assertEqual({v for _, v in box.led_writes()}, {1})

    def test_missing_client_tool_is_no_link(self):
        with Machine() as box:
            linked(box)
            box.remove("/usr/sbin/wpa_cli")
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.start()
            self.assertEqual(box.stop_after(2, 12), 0)
            self.assertEqual({v for _, v in box.led_writes()}, {0})


class OwnInterfaces(unittest.TestCase):
    """The access point's wlan0 and the client's wlan1 carry different
    traffic on a router: traffic on one alone blinks its own mode only.
    Scripted control tools report a link on both: the real ones over the
    wired driver need the two interfaces joined as one veth pair, where
    every frame moves both interfaces' counters. Here each interface has a
    peer of its own, out of which frames are sent to it alone."""

    def test_each_mode_blinks_on_its_own_interface_only(self):
        for mode, own, other in ((11, "wlan0", "wlan1"), (12, "wlan1", "wlan0")):
            with self.subTest(mode=mode), Machine() as box:
                box.veth("wlan0")
                box.veth("wlan1")
                box.tool("hostapd_cli", "echo 02:00:00:00:00:aa")
                box.tool("wpa_cli", "echo ssid=home-net")
                box.settings(f"MOD_TAVRIN_MODE={mode}\n")
                box.start()
                box.wait_iterations(1, mode)
                senders = []
                elsewhere = timed(box, lambda: senders.append(box.traffic(other + "p", 60, 0.02)))
                box.wait_iterations(3, mode, since=elsewhere[1])
                box.kill(senders[-1])
                mine = timed(box, lambda: senders.append(box.traffic(own + "p", 60, 0.02)))
                self.assertEqual(box.stop_after(3, mode, since=mine[1]), 0)
                alone = levels_between(box, mode, elsewhere[1], mine[0])
                self.assertGreaterEqual(len(alone), 3)
                self.assertEqual(set(alone), {1}, f"traffic on {other} alone")
                self.assertEqual(set(levels_between(box, mode, mine[1])[1:]), {"blink"}, f"traffic on {own}")


class ClientScripted(unittest.TestCase):
    def test_missing_interface_logs_once_a_second_with_the_led_off(self):
        # Scripted: the client reports a network on an interface that is
        # missing, which the real supplicant cannot run without.
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=12\n")
            box.tool("wpa_cli", "echo ssid=home-net\necho wpa_state=COMPLETED")
            box.start()
            self.assertEqual(box.stop_after(2, 12), 0)
            writes = box.led_writes()
            self.assertEqual({v for _, v in writes}, {0})
            self.assertEqual(box.log_texts(),
                             ["started"] + ["unable to get interface stats for wlan1"] * len(writes) + ["stopped"])


if __name__ == "__main__":
    harness.main()
