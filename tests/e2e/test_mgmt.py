"""The management service modes with net-tools' netstat against real sockets
on the sandbox's loopback, held by processes named like the services."""
import signal
import unittest

import harness
from harness import Machine, levels_between, timed


class ManagementClient(unittest.TestCase):
    def test_led_follows_the_clients_established_connection(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=15\n")
            box.hold("mgmt-server", "serve", 7443)
            box.start()
            box.wait_iterations(2, 15)
            client = []
            connected = timed(box, lambda: client.append(box.hold("korvane_clientd", "connect", 7443)))
            box.wait_iterations(2, 15, since=connected[1])
            dropped = timed(box, lambda: box.kill(client[0]))
            self.assertEqual(box.stop_after(2, 15, since=dropped[1]), 0)
        self.assertEqual(set(levels_between(box, 15, 0, connected[0])), {0})
        self.assertEqual(set(levels_between(box, 15, connected[1], dropped[0])), {1})
        self.assertEqual(set(levels_between(box, 15, dropped[1])), {0})
        self.assertIsNone(harness.timing_mismatch(box, 15))
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_a_listening_client_or_another_programs_connection_is_not_enough(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=15\n")
            box.hold("korvane_clientd", "listen", 7443)
            box.hold("other-client", "connect", 7443)
            box.start()
            self.assertEqual(box.stop_after(2, 15), 0)
            self.assertEqual({v for _, v in box.led_writes()}, {0})


class VpnPortal(unittest.TestCase):
    def test_led_follows_the_portals_listening_socket(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=16\n")
            box.start()
            box.wait_iterations(2, 16)
            portal = []
            listening = timed(box, lambda: portal.append(box.hold("zelbarin", "listen", 1194)))
            box.wait_iterations(2, 16, since=listening[1])
            capture_while_listening = box.read("/tmp/tavrin_kv_vpn.txt")
            stopped = timed(box, lambda: box.kill(portal[0]))
            self.assertEqual(box.stop_after(2, 16, since=stopped[1]), 0)
            capture_after = box.read("/tmp/tavrin_kv_vpn.txt")
        self.assertEqual(set(levels_between(box, 16, 0, listening[0])), {0})
        self.assertEqual(set(levels_between(box, 16, listening[1], stopped[0])), {1})
        self.assertEqual(set(levels_between(box, 16, stopped[1])), {0})
        self.assertRegex(capture_while_listening, r"0\.0\.0\.0:1194 .* LISTEN +\d+/zelbarin")
        self.assertEqual(capture_after, "", "the capture is truncated on every query")
        self.assertIsNone(harness.timing_mismatch(box, 16))

    def test_one_byte_capture_is_off(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=16\n")
            box.hold("zelbarin", "listen", 1194)
            # This sandbox's grep prints a lone newline whatever it is given.
            box.tool("/usr/bin/grep", "cat > /dev/null\necho")
            box.start()
            self.assertEqual(box.stop_after(2, 16), 0)
            self.assertEqual(box.read("/tmp/tavrin_kv_vpn.txt"), "\n")
            self.assertEqual({v for _, v in box.led_writes()}, {0})


if __name__ == "__main__":
    harness.main()
