"""The management service modes with net-tools' netstat against real sockets
on the sandbox's loopback, held by processes named like the services."""
import signal
import unittest

import harness
from sandbox import Sandbox



class ManagementClient(unittest.TestCase):
    def test_led_follows_the_clients_established_connection(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=15\n")
            box.hold("mgmt-server", "serve", 7443)
            box.start()
            box.sleep_until(1.5)
            client = box.hold("korvane_clientd", "connect", 7443)
            connected = box.now()
            box.sleep_until(3.5)
            box.kill(client)
            dropped = box.now()
            self.assertEqual(box.stop_at(5.5), 0)
            writes = box.led_writes()
        self.assertEqual(box.led_at(1.2), 0)
        on = next(t for t, v in writes if v == 1)
        self.assertTrue(connected < on < connected + 1.3, (connected, on))
        off = next(t for t, v in writes if t > dropped and v == 0)
        self.assertLess(off - dropped, 1.3)
        self.assertTrue(all(v == 1 for t, v in writes if on <= t < dropped))
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_a_listening_client_or_another_programs_connection_is_not_enough(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=15\n")
            box.hold("korvane_clientd", "listen", 7443)
            box.hold("other-client", "connect", 7443)
            box.start()
            self.assertEqual(box.stop_at(1.5), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])


class VpnPortal(unittest.TestCase):
    def test_led_follows_the_portals_listening_socket(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=16\n")
            box.start()
            box.sleep_until(1.5)
            portal = box.hold("zelbarin", "listen", 1194)
            box.sleep_until(3.5)
            capture_while_listening = box.read("/tmp/tavrin_kv_vpn.txt")
            box.kill(portal)
            self.assertEqual(box.stop_at(5.5), 0)
            capture_after = box.read("/tmp/tavrin_kv_vpn.txt")
        self.assertEqual([box.led_at(t) for t in (0.5, 1.2, 2.7, 3.3, 5.2)], [0, 0, 1, 1, 0])
        self.assertRegex(capture_while_listening, r"0\.0\.0\.0:1194 .* LISTEN +\d+/zelbarin")
        self.assertEqual(capture_after, "", "the capture is truncated on every query")

    def test_one_byte_capture_is_off(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=16\n")
            box.hold("zelbarin", "listen", 1194)
            # This sandbox's grep prints a lone newline whatever it is given.
            box.tool("/usr/bin/grep", "cat > /dev/null\necho")
            box.start()
            self.assertEqual(box.stop_at(1.5), 0)
            self.assertEqual(box.read("/tmp/tavrin_kv_vpn.txt"), "\n")
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])


if __name__ == "__main__":
    harness.main()
