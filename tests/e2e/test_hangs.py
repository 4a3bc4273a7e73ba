"""A tool that never ends must not make the daemon unstoppable: after a stop
signal a running query gets its grace (2 s), then it is ended with every
process it started, and the daemon logs "stopped" and exits 0. The hangs are
real where a real program produces one: charon stopped (SIGSTOP) leaves the
real stroke and swanctl waiting on its sockets for good."""
import signal
import time
import unittest

import harness
from peers import IpsecPeers, WiredWifi

GRACE = 2.0
# What the exit may take beyond the grace: the LED write and the whole
# period sleep that follow the ended query, and a loaded machine's delays.
AFTER_GRACE = 1.0 + 1.5


def processes(box, name):
    """The pids of the processes named `name` in the machine."""
    out = box.sh(f"for p in /proc/[0-9]*; do [ \"$(cat $p/comm 2>/dev/null)\" = {name} ] && "
                 "echo ${p#/proc/}; done; true")
    return [int(p) for p in out.split()]


def wait_for_process(box, name, timeout=30):
    deadline = time.monotonic() + timeout
    while not processes(box, name):
        if time.monotonic() > deadline:
            raise AssertionError(f"no {name} process in {timeout} s")
        time.sleep(0.1)


class Hangs(unittest.TestCase):
    def stop_while_hung(self, box, names):
        """SIGTERM to the daemon while its query hangs: it must end within
        the grace and a period, leaving none of `names` behind."""
        sent = time.monotonic()
        box.signal(signal.SIGTERM)
        code = box.wait(timeout=GRACE + AFTER_GRACE + 5)
        took = time.monotonic() - sent
        self.assertEqual(code, 0, "the daemon did not end: its query still hangs")
        self.assertGreater(took, GRACE - 0.3, "the query had its grace")
        self.assertLess(took, GRACE + AFTER_GRACE)
        self.assertEqual(box.log_texts()[-1], "stopped")
        for name in names:
            self.assertEqual(processes(box, name), [], f"a {name} of the query was left running")

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
                self.stop_while_hung(box, [tool, "grep"])
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
            self.stop_while_hung(box, ["hostapd_cli"])
            self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_io_tool_that_never_answers_the_pin_probe(self):
        # Scripted: a pin driver stuck in the platform's own tool, which no
        # program here reproduces.
        with harness.Machine() as box:
            box.tool("/usr/bin/io", "sleep 1000 | cat")
            box.settings("MOD_TAVRIN_MODE=3\n")
            box.start()
            wait_for_process(box, "sleep")
            self.stop_while_hung(box, ["sleep", "cat"])
            self.assertEqual(box.log_texts(), ["started", "stopped"])


if __name__ == "__main__":
    harness.main()
