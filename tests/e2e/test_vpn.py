"""The VPN tunnel modes against the real programs: OpenVPN tunnels to a
remote server (peers.OpenVpnPeers) and plain tun devices, read by BusyBox's
ifconfig as on the router; strongSwan's charon on the router and on a remote
gateway (peers.IpsecPeers), asked through the real stroke and swanctl.
Scripted tools remain only where a test injects an answer the real programs
do not give (a count that does not parse); each is marked."""
import unittest

import harness
from harness import Machine, levels_between, timed
from peers import IpsecPeers, OpenVpnPeers


OPENVPN_MISSING = harness.peers_missing(OpenVpnPeers)
IPSEC_MISSING = harness.peers_missing(IpsecPeers)


def start(box, mode):
    box.settings(f"MOD_TAVRIN_MODE={mode}\n")
    box.start()


def levels(box):
    return [v for _, v in box.led_writes()]


@unittest.skipIf(OPENVPN_MISSING, f"missing {OPENVPN_MISSING}")
class OpenVpn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        print(OpenVpnPeers.versions())

    def test_started_before_the_tunnel_off_while_idle_on_once_pinged_off_when_torn_down(self):
        with Machine() as box:
            vpn = OpenVpnPeers(box, "tun0")
            box.record_calls("ifconfig")
            start(box, 13)
            box.wait_iterations(1, 13)
            up = timed(box, vpn.up)
            box.wait_iterations(2, 13, since=up[1])
            idle_calls = box.calls("ifconfig")
            # ping returns once the replies came back through the tunnel.
            pinged = timed(box, vpn.ping)
            box.wait_iterations(2, 13, since=pinged[1])
            capture = box.read("/tmp/tavrin_open_vpn.txt")
            down = timed(box, vpn.down)
            self.assertEqual(box.stop_after(2, 13, since=down[1]), 0)
            self.assertEqual(box.read("/tmp/tavrin_open_vpn.txt"), "", "tun3's answer: no such tunnel")
        self.assertIsNone(harness.timing_mismatch(box, 13))
        self.assertEqual(set(levels_between(box, 13, 0, pinged[0])), {0}, "no tunnel, then an idle one")
        self.assertIn(["tun0", "tun1", "tun2", "tun3"], [idle_calls[i:i + 4] for i in range(len(idle_calls))],
                      "an idle tunnel: all four asked")
        self.assertEqual(set(levels_between(box, 13, pinged[1], down[0])), {1})
        self.assertRegex(capture, r"^RX bytes:[1-9][0-9]*\n$")
        self.assertEqual(set(levels_between(box, 13, down[1])), {0})
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_tunnel_on_tun2_alone(self):
        with Machine() as box:
            vpn = OpenVpnPeers(box, "tun2")
            vpn.up()
            vpn.ping()
            box.record_calls("ifconfig")
            start(box, 13)
            self.assertEqual(box.stop_after(2, 13), 0)
            calls = box.calls("ifconfig")
        self.assertEqual(set(levels(box)), {1})
        self.assertEqual(calls, ["tun0", "tun1", "tun2"] * len(levels(box)), "tun3 is not asked once tun2 counts")


class TunDevices(unittest.TestCase):
    """Plain tun devices (no OpenVPN) that receive packets written into them,
    read by the real BusyBox ifconfig."""

    def start(self, box, *tuns):
        box.sh(f"ln -sf $(command -v busybox) /usr/sbin/ifconfig")
        box.record_calls("ifconfig")
        for name in tuns:
            box.tun(name)

    def test_tunnel_with_received_bytes_lights_the_led_and_ends_the_search(self):
        with Machine() as box:
            self.start(box, "tun1", "tun2")
            box.sh(f"{box.traffic_cmd('tun1', 0)}")
            start(box, 13)
            self.assertEqual(box.stop_after(2, 13), 0)
            calls = box.calls("ifconfig")
            capture = box.read("/tmp/tavrin_open_vpn.txt")
        self.assertEqual(set(levels(box)), {1})
        self.assertEqual(calls, ["tun0", "tun1"] * len(levels(box)), "tun2 and tun3 are not asked once tun1 counts")
        self.assertRegex(capture, r"^RX bytes:[1-9][0-9]*\n$")
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_the_last_tunnel_tun3_is_asked_too(self):
        with Machine() as box:
            self.start(box, "tun3")
            box.sh(f"{box.traffic_cmd('tun3', 0)}")
            start(box, 13)
            self.assertEqual(box.stop_after(2, 13), 0)
            calls = box.calls("ifconfig")
        self.assertEqual(set(levels(box)), {1})
        self.assertEqual(calls, ["tun0", "tun1", "tun2", "tun3"] * len(levels(box)))

    def test_count_that_cannot_be_scanned_stops_the_daemon(self):
        with Machine() as box:
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
        with Machine() as box:
            ipsec = IpsecPeers(box, tools=["stroke"])
            start(box, 14)
            marks = {}
            for name, action in (("up", lambda: ipsec.up("ipsec1")),
                                 ("terminated", lambda: ipsec.terminate("ipsec1")),
                                 ("up again", lambda: ipsec.up("ipsec1")),
                                 ("peer gone", ipsec.peer_gone),
                                 ("charon stopped", ipsec.stop_router)):
                box.wait_iterations(2, 14, since=marks[list(marks)[-1]][1] if marks else 0)
                if name == "charon stopped":
                    captured_while_retrying = box.read("/tmp/tavrin_ipsec.txt")
                marks[name] = timed(box, action)
            self.assertEqual(box.stop_after(2, 14, since=marks["charon stopped"][1]), 0)
            captured_after = box.read("/tmp/tavrin_ipsec.txt")

        def shown(after, until):
            """The levels of the iterations that began once `after` was
            done and wrote before `until` began."""
            return set(levels_between(box, 14, marks[after][1], marks[until][0] if until else None))

        self.assertEqual(set(levels_between(box, 14, 0, marks["up"][0])), {0})
        self.assertEqual(shown("up", "terminated"), {1})
        self.assertEqual(shown("terminated", "up again"), {0})
        self.assertEqual(shown("up again", "peer gone"), {1})
        self.assertEqual(shown("peer gone", "charon stopped"), {0}, "connecting is not up")
        self.assertEqual(captured_while_retrying, "Security Associations (0 up\n")
        self.assertEqual(shown("charon stopped", None), {0}, "stroke cannot reach charon: LED off")
        self.assertEqual(captured_after, "")
        self.assertIsNone(harness.timing_mismatch(box, 14))
        self.assertEqual(box.log_texts(), ["started", "stopped"], "none of it is fatal")

    def test_through_swanctl_only_connections_named_ipsec_count(self):
        with Machine() as box:
            ipsec = IpsecPeers(box, tools=["swanctl"])
            ipsec.up("office")
            start(box, 14)
            box.wait_iterations(2, 14)
            up = timed(box, lambda: ipsec.up("ipsec2"))
            box.wait_iterations(2, 14, since=up[1])
            down = timed(box, lambda: ipsec.terminate("ipsec2"))
            self.assertEqual(box.stop_after(2, 14, since=down[1]), 0)
        self.assertEqual(set(levels_between(box, 14, 0, up[0])), {0}, "office is not named ipsec")
        self.assertEqual(set(levels_between(box, 14, up[1], down[0])), {1})
        self.assertEqual(set(levels_between(box, 14, down[1])), {0})
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_stroke_is_asked_when_both_tools_are_installed(self):
        # "office" is up: stroke counts it, the swanctl query would not.
        with Machine() as box:
            ipsec = IpsecPeers(box)
            ipsec.up("office")
            start(box, 14)
            self.assertEqual(box.stop_after(2, 14), 0)
            self.assertEqual(set(levels(box)), {1})
            self.assertEqual(box.read("/tmp/tavrin_ipsec.txt"), "Security Associations (1 up\n")

    def test_tools_installed_and_removed_while_running_take_effect_at_the_next_iteration(self):
        with Machine() as box:
            ipsec = IpsecPeers(box, tools=["swanctl"])
            ipsec.up("office")
            start(box, 14)
            box.wait_iterations(1, 14)
            installed = timed(box, lambda: ipsec.install("stroke"))
            box.wait_iterations(1, 14, since=installed[1])
            removed = timed(box, lambda: ipsec.uninstall("stroke"))
            box.wait_iterations(1, 14, since=removed[1])
            timed(box, lambda: ipsec.uninstall("swanctl"))
            self.assertEqual(box.wait(timeout=10), 0)
            self.assertEqual(set(levels_between(box, 14, 0, installed[0])), {0})
            self.assertEqual(set(levels_between(box, 14, installed[1], removed[0])), {1}, "stroke counts office")
            self.assertEqual(set(levels_between(box, 14, removed[1])), {0}, "swanctl again, then neither")
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])


class IpsecWithoutPeers(unittest.TestCase):
    def test_neither_tool_stops_the_daemon(self):
        with Machine() as box:
            box.settings("MOD_TAVRIN_MODE=14\n")
            box.start()
            self.assertEqual(box.wait(timeout=5), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])

    def test_stroke_output_without_a_count_stops_the_daemon(self):
        with Machine() as box:
            # Scripted: grep matches (status 0), but there is no number to
            # scan, which the real stroke never prints.
            box.tool("/usr/libexec/ipsec/stroke", 'echo "Security Associations ( up, 0 connecting):"')
            box.settings("MOD_TAVRIN_MODE=14\n")
            box.start()
            self.assertEqual(box.wait(timeout=5), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])


if __name__ == "__main__":
    harness.main()
