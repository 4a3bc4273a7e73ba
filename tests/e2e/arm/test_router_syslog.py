"""The router's system log restarted under the running daemon: BusyBox's
syslogd is stopped and started again, as a configuration change does on
the router; what the daemon logs afterwards (mode 13 ending, then
"stopped") must arrive."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from machine import EmulatedRouter  # noqa: E402


class SyslogRestart(unittest.TestCase):
    def test_messages_logged_after_syslogd_restarts_arrive(self):
        with EmulatedRouter() as box:
            box.tun("tun0")
            box.sh(box.traffic_cmd("tun0", 0))
            box.settings("MOD_TAVRIN_MODE=13\n")
            box.start()
            self.assertEqual({it.level for it in box.wait_iterations(1, 13)}, {1})
            before = box.sh("pidof syslogd")
            box.sh("killall syslogd; while pidof syslogd >/dev/null; do sleep 0.1; done; "
                   "syslogd -O /var/log/messages; sleep 0.5")
            self.assertNotEqual(box.sh("pidof syslogd"), before, "a new syslogd")
            # Scripted (an answer no real ifconfig gives): a count missing
            # after "RX bytes:", so the query succeeds, its answer cannot be
            # read, and mode 13 ends.
            box.tool("ifconfig", "echo 'RX bytes:'")
            self.assertEqual(box.wait(timeout=30), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting OpenVPN status", "stopped"])


if __name__ == "__main__":
    harness.main_router()
