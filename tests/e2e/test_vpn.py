"""The VPN tunnel modes against the real programs: OpenVPN tunnels to a
remote server (peers.OpenVpnPeers) and plain tun devices, read by BusyBox's
ifconfig as on the router; strongSwan's charon on the router and on a remote
gateway (peers.IpsecPeers), asked through the real stroke and swanctl.
Scripted tools remain only where a test injects an answer the real programs
do not give (a count that does not parse); each is marked."""
import unittest

import harness
from peers import IpsecPeers, OpenVpnPeers
from sandbox import Sandbox

OPENVPN_MISSING = OpenVpnPeers.missing()
IPSEC_MISSING = IpsecPeers.missing()


def run(box, mode, until, actions=()):
    box.settings(f"MOD_TAVRIN_MODE={mode}\n")
    box.start()
    for at, action in actions:
        box.sleep_until(at)
        action()
    return box.stop_at(until)


def levels(box):
    return [v for _, v in box.led_writes()]


@unittest.skipIf(OPENVPN_MISSING, f"missing {OPENVPN_MISSING}")
class OpenVpn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        print(OpenVpnPeers.versions())

    def test_started_before_the_tunnel_off_while_idle_on_once_pinged_off_when_torn_down(self):
        with Sandbox() as box:
            vpn = OpenVpnPeers(box, "tun0")
            box.record_calls("ifconfig")
            box.settings("MOD_TAVRIN_MODE=13\n")
            box.start()
            box.sleep_until(0.5)
            vpn.up()
            up = box.now()
            box.sleep_until(up + 2.2)
            idle_calls = box.calls("ifconfig")
            pinged = box.now()
            vpn.ping()
            box.sleep_until(pinged + 3.0)
            capture = box.read("/tmp/tavrin_open_vpn.txt")
            vpn.down()
            down = box.now()
            self.assertEqual(box.stop_at(down + 2.2), 0)
            writes = box.led_writes()
        self.assertEqual({v for t, v in writes if t < pinged}, {0}, "no tunnel, then an idle one")
        self.assertIn(["tun0", "tun1", "tun2", "tun3"], [idle_calls[i:i + 4] for i in range(len(idle_calls))],
                      "an idle tunnel: all four asked")
        self.assertEqual({v for t, v in writes if pinged + 1.5 < t < down}, {1})
        self.assertRegex(capture, r"^RX bytes:[1-9][0-9]*\n$")
        self.assertEqual({v for t, v in writes if t > down + 1.1}, {0})
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_tunnel_on_tun2_alone(self):
        with Sandbox() as box:
            vpn = OpenVpnPeers(box, "tun2")
            vpn.up()
            vpn.ping()
            box.record_calls("ifconfig")
            self.assertEqual(run(box, 13, 1.5), 0)
            calls = box.calls("ifconfig")
        self.assertEqual(levels(box), [1, 1])
        self.assertEqual(calls, ["tun0", "tun1", "tun2"] * 2, "tun3 is not asked once tun2 counts")


class TunDevices(unittest.TestCase):
    """Plain tun devices (no OpenVPN) that receive packets written into them,
    read by the real BusyBox ifconfig."""

    def start(self, box, *tuns):
        box.sh(f"ln -sf $(command -v busybox) /usr/sbin/ifconfig")
        box.record_calls("ifconfig")
        for name in tuns:
            box.tun(name)

    def test_tunnel_with_received_bytes_lights_the_led_and_ends_the_search(self):
        with Sandbox() as box:
            self.start(box, "tun1", "tun2")
            box.sh(f"{box.traffic_cmd('tun1', 0)}")
            self.assertEqual(run(box, 13, 1.5), 0)
            calls = box.calls("ifconfig")
            capture = box.read("/tmp/tavrin_open_vpn.txt")
        self.assertEqual(levels(box), [1, 1])
        self.assertEqual(calls, ["tun0", "tun1"] * 2, "tun2 and tun3 are not asked once tun1 counts")
        self.assertRegex(capture, r"^RX bytes:[1-9][0-9]*\n$")
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_the_last_tunnel_tun3_is_asked_too(self):
        with Sandbox() as box:
            self.start(box, "tun3")
            box.sh(f"{box.traffic_cmd('tun3', 0)}")
            self.assertEqual(run(box, 13, 1.5), 0)
            calls = box.calls("ifconfig")
        self.assertEqual(levels(box), [1, 1])
        self.assertEqual(calls, ["tun0", "tun1", "tun2", "tun3"] * 2)

    def test_count_that_cannot_be_scanned_stops_the_daemon(self):
        with Sandbox() as box:
            # Scripted: a count that does not parse (no real ifconfig prints it).
            box.tool("/usr/sbin/ifconfig", 'echo "          RX bytes:n/a  TX bytes:n/a"')
            box.settings("MOD_TAVRIN_MODE=13\n")
            box.start()
            self.assertEqual(box.wait(timeout=5), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting OpenVPN status", "stopped"])
            self.assertEqual(box.led_writes(), [])


@unittest.skipIf(IPSEC_MISSING, f"missing {IPSEC_MISSING}")
class Ipsec(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        print(IpsecPeers.versions())

    def test_through_stroke_up_terminated_peer_lost_and_charon_stopped(self):
        with Sandbox() as box:
            ipsec = IpsecPeers(box, tools=["stroke"])
            box.settings("MOD_TAVRIN_MODE=14\n")
            box.start()
            began, done = {}, {}
            for at, name, action in ((0.5, "up", lambda: ipsec.up("ipsec1")),
                                     (2.5, "terminated", lambda: ipsec.terminate("ipsec1")),
                                     (4.5, "up again", lambda: ipsec.up("ipsec1")),
                                     (6.5, "peer gone", ipsec.peer_gone)):
                box.sleep_until(at)
                began[name] = box.now()
                action()
                done[name] = box.now()
            box.sleep_until(done["peer gone"] + 1.2)
            captured_while_retrying = box.read("/tmp/tavrin_ipsec.txt")
            box.sleep_until(done["peer gone"] + 2.3)
            began["charon stopped"] = box.now()
            ipsec.stop_router()
            done["charon stopped"] = box.now()
            self.assertEqual(box.stop_at(done["charon stopped"] + 2.2), 0)
            writes = box.led_writes()

        def shown(after, until):
            """The levels from the first iteration after `after` was done
            until `until` began."""
            return {v for t, v in writes if done[after] + 1.1 < t < began.get(until, 99)}

        self.assertEqual(box.led_at(0.3), 0)
        self.assertEqual(shown("up", "terminated"), {1})
        self.assertEqual(shown("terminated", "up again"), {0})
        self.assertEqual(shown("up again", "peer gone"), {1})
        self.assertEqual(shown("peer gone", "charon stopped"), {0}, "connecting is not up")
        self.assertEqual(captured_while_retrying, "Security Associations (0 up\n")
        self.assertEqual(shown("charon stopped", None), {0}, "stroke cannot reach charon: LED off")
        self.assertEqual(box.log_texts(), ["started", "stopped"], "none of it is fatal")

    def test_through_swanctl_only_connections_named_ipsec_count(self):
        with Sandbox() as box:
            ipsec = IpsecPeers(box, tools=["swanctl"])
            ipsec.up("office")
            actions = [(1.5, lambda: ipsec.up("ipsec2")), (3.5, lambda: ipsec.terminate("ipsec2"))]
            self.assertEqual(run(box, 14, 5.5, actions), 0)
        self.assertEqual(levels(box), [0, 0, 1, 1, 0, 0])
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_stroke_is_asked_when_both_tools_are_installed(self):
        # "office" is up: stroke counts it, the swanctl query would not.
        with Sandbox() as box:
            ipsec = IpsecPeers(box)
            ipsec.up("office")
            self.assertEqual(run(box, 14, 1.5), 0)
            self.assertEqual(levels(box), [1, 1])
            self.assertEqual(box.read("/tmp/tavrin_ipsec.txt"), "Security Associations (1 up\n")

    def test_tools_installed_and_removed_while_running_take_effect_at_the_next_iteration(self):
        with Sandbox() as box:
            ipsec = IpsecPeers(box, tools=["swanctl"])
            ipsec.up("office")
            actions = [
                (1.5, lambda: ipsec.install("stroke")),
                (2.5, lambda: ipsec.uninstall("stroke")),
                (3.5, lambda: ipsec.uninstall("swanctl")),
            ]
            self.assertEqual(run(box, 14, 4.8, actions), 0)
            self.assertEqual(levels(box), [0, 0, 1, 0])
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])


class IpsecWithoutPeers(unittest.TestCase):
    def test_neither_tool_stops_the_daemon(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=14\n")
            box.start()
            self.assertEqual(box.wait(timeout=5), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])

    def test_stroke_output_without_a_count_stops_the_daemon(self):
        with Sandbox() as box:
            # Scripted: grep matches (status 0), but there is no number to
            # scan, which the real stroke never prints.
            box.tool("/usr/libexec/ipsec/stroke", 'echo "Security Associations ( up, 0 connecting):"')
            box.settings("MOD_TAVRIN_MODE=14\n")
            box.start()
            self.assertEqual(box.wait(timeout=5), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])


if __name__ == "__main__":
    harness.main()
