"""A tool that never ends must not make the daemon unstoppable: after a stop
signal a running query gets its grace (2 s), then it is ended with every
process it started, and the daemon logs "stopped" and exits 0. The hangs are
real where a real program produces one: charon stopped (SIGSTOP) leaves the
real stroke and swanctl waiting on its sockets for good."""
import signal
import unittest

import harness
from peers import IpsecPeers, WiredWifi

from harness import stop_while_hung, wait_for_process


class Hangs(unittest.TestCase):
    @unittest.skipIf(harness.peers_missing(IpsecPeers), f"missing {harness.peers_missing(IpsecPeers)}")
    def test_stroke_and_swanctl_waiting_on_a_stopped_charon(self):
        for tool in ("stroke", "swanctl"):
            with self.subTest(tool=tool), harness.Machine() as box:
                ipsec = IpsecPeers(box, tools=[tool])
                ipsec.up("ipsec1")
                box.settings("MOD_TAVRIN_MODE=14\n")
                box.start()
                box.wait_iterations(1, 14)
                box.call("signal", pid=ipsec.router_pid, sig=int(signal.SIGSTOP))
                wait_for_process(box, tool)
                stop_while_hung(self, box, [tool, "grep"])
                self.assertEqual(box.log_texts(), ["started", "stopped"])

    @unittest.skipIf(harness.peers_missing(WiredWifi), f"missing {harness.peers_missing(WiredWifi)}")
    def test_station_query_to_a_stopped_hostapd_ends_by_its_own_timeout(self):
        # hostapd_cli gives up on a request after its own 10 s and prints
        # that the command timed out: more than one byte, which the station
        # rule counts as a station. Each iteration takes that long, and a
        # stop is honoured within the grace.
        with harness.Machine() as box:
            wifi = WiredWifi(box)
            wifi.link()
            box.settings("MOD_TAVRIN_MODE=11\n")
            box.start()
            box.wait_iterations(1, 11)
            box.call("signal", pid=wifi.ap_pid, sig=int(signal.SIGSTOP))
            its = box.wait_iterations(2, 11, since=box.mark(), timeout=60)
            capture = box.read("/tmp/tavrin_wifi_ap.txt")
            gap = its[1].first - its[0].first
            print(f"an iteration with hostapd stopped takes {gap:.1f} s; the capture: {capture!r}")
            self.assertGreater(gap, 10.0)
            self.assertIn("timed out", capture)
            self.assertEqual({it.level for it in its}, {1})
            # Early in a query: a second after an iteration's write it starts.
            box.wait_iterations(1, 11, since=box.mark(), timeout=60)
            wait_for_process(box, "hostapd_cli")
            stop_while_hung(self, box, ["hostapd_cli"])
            self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_io_tool_that_never_answers_the_pin_probe(self):
        # Scripted: a pin driver stuck in the platform's own tool, which no
        # program here reproduces.
        with harness.Machine() as box:
            box.tool("/usr/bin/io", "sleep 1000 | cat")
            box.settings("MOD_TAVRIN_MODE=3\n")
            box.start()
            wait_for_process(box, "sleep")
            stop_while_hung(self, box, ["sleep", "cat"])
            self.assertEqual(box.log_texts(), ["started", "stopped"])


if __name__ == "__main__":
    harness.main()
