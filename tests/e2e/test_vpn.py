"""The VPN tunnel modes: OpenVPN tunnels as real tun devices read by BusyBox's
ifconfig, and scripted strongSwan tools at their absolute paths."""
import unittest

import harness
from sandbox import Sandbox

IFCONFIG = 'echo "$*" >> /tmp/ifconfig.calls\nexec busybox ifconfig "$@"'
STROKE = "/usr/libexec/ipsec/stroke"
SWANCTL = "/usr/libexec/ipsec/swanctl"


def stroke_script(up):
    return ('echo "$*" >> /tmp/stroke.calls\n'
            'echo "Status of IKE charon daemon (strongSwan 5.9.8, Linux 6.1.0, armv7l):"\n'
            f'echo "Security Associations ({up} up, 0 connecting):"\n'
            'echo "     ipsec1[1]: ESTABLISHED 5 minutes ago"')


SWANCTL_ESTABLISHED = ('echo "$*" >> /tmp/swanctl.calls\n'
                       'echo "ipsec1: #1, ESTABLISHED, IKEv2, 1234abcd_i* 5678ef01_r"\n'
                       'echo "  local  \'moon\' @ 10.0.0.1[4500]"')
SWANCTL_NONE = 'echo "$*" >> /tmp/swanctl.calls'


def run(box, mode, until, actions=()):
    box.settings(f"MOD_TAVRIN_MODE={mode}\n")
    box.start()
    for at, action in actions:
        box.sleep_until(at)
        action()
    return box.stop_at(until)


def lines(box, path):
    return (box.read(path) or "").splitlines()


class OpenVpn(unittest.TestCase):
    def test_tunnel_with_received_bytes_lights_the_led_and_ends_the_search(self):
        with Sandbox() as box:
            box.tool("/usr/sbin/ifconfig", IFCONFIG)
            box.tun("tun1")
            box.tun("tun2")
            box.sh(f"{box.traffic_cmd('tun1', 0)}")
            self.assertEqual(run(box, 13, 1.5), 0)
            calls = lines(box, "/tmp/ifconfig.calls")
            capture = box.read("/tmp/tavrin_open_vpn.txt")
        self.assertEqual([v for _, v in box.led_writes()], [1, 1])
        self.assertEqual(calls, ["tun0", "tun1"] * 2, "tun2 and tun3 are not asked once tun1 counts")
        self.assertRegex(capture, r"^RX bytes:[1-9][0-9]*\n$")
        self.assertEqual(box.log_texts(), ["started", "stopped"])

    def test_tunnel_without_received_bytes_leaves_the_led_off_after_four_queries(self):
        with Sandbox() as box:
            box.tool("/usr/sbin/ifconfig", IFCONFIG)
            box.tun("tun0")
            self.assertEqual(run(box, 13, 1.5), 0)
            calls = lines(box, "/tmp/ifconfig.calls")
        self.assertEqual([v for _, v in box.led_writes()], [0, 0])
        self.assertEqual(calls, ["tun0", "tun1", "tun2", "tun3"] * 2)

    def test_the_last_tunnel_tun3_is_asked_too(self):
        with Sandbox() as box:
            box.tool("/usr/sbin/ifconfig", IFCONFIG)
            box.tun("tun3")
            box.sh(f"{box.traffic_cmd('tun3', 0)}")
            self.assertEqual(run(box, 13, 1.5), 0)
            calls = lines(box, "/tmp/ifconfig.calls")
        self.assertEqual([v for _, v in box.led_writes()], [1, 1])
        self.assertEqual(calls, ["tun0", "tun1", "tun2", "tun3"] * 2)

    def test_count_that_cannot_be_scanned_stops_the_daemon(self):
        with Sandbox() as box:
            box.tool("/usr/sbin/ifconfig", 'echo "          RX bytes:n/a  TX bytes:n/a"')
            box.settings("MOD_TAVRIN_MODE=13\n")
            box.start()
            self.assertEqual(box.wait(timeout=5), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting OpenVPN status", "stopped"])
            self.assertEqual(box.led_writes(), [])


class Ipsec(unittest.TestCase):
    def test_stroke_association_count(self):
        for up, level in ((0, 0), (2, 1)):
            with self.subTest(up=up), Sandbox() as box:
                box.tool(STROKE, stroke_script(up))
                self.assertEqual(run(box, 14, 1.5), 0)
                self.assertEqual([v for _, v in box.led_writes()], [level, level])
                self.assertEqual(lines(box, "/tmp/stroke.calls"), ["statusall"] * 2)
                self.assertEqual(box.read("/tmp/tavrin_ipsec.txt"), f"Security Associations ({up} up\n")

    def test_only_stroke_is_asked_when_both_tools_are_installed(self):
        with Sandbox() as box:
            box.tool(STROKE, 'echo "$*" >> /tmp/stroke.calls\nexit 1')
            box.tool(SWANCTL, SWANCTL_ESTABLISHED)
            self.assertEqual(run(box, 14, 1.5), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0], "a failed stroke query is LED off")
            self.assertEqual(len(lines(box, "/tmp/stroke.calls")), 2)
            self.assertIsNone(box.read("/tmp/swanctl.calls"))

    def test_swanctl_alone_with_an_established_association(self):
        with Sandbox() as box:
            box.tool(SWANCTL, SWANCTL_ESTABLISHED)
            self.assertEqual(run(box, 14, 1.5), 0)
            self.assertEqual([v for _, v in box.led_writes()], [1, 1])
            self.assertEqual(lines(box, "/tmp/swanctl.calls"), ["--list-sas"] * 2)

    def test_swanctl_alone_without_an_association(self):
        with Sandbox() as box:
            box.tool(SWANCTL, SWANCTL_NONE)
            self.assertEqual(run(box, 14, 1.5), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0])

    def test_neither_tool_stops_the_daemon(self):
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=14\n")
            box.start()
            self.assertEqual(box.wait(timeout=5), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])

    def test_stroke_output_without_a_count_stops_the_daemon(self):
        with Sandbox() as box:
            # grep matches (status 0), but there is no number to scan.
            box.tool(STROKE, 'echo "Security Associations ( up, 0 connecting):"')
            box.settings("MOD_TAVRIN_MODE=14\n")
            box.start()
            self.assertEqual(box.wait(timeout=5), 0)
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])

    def test_tools_installed_and_removed_while_running_take_effect_at_the_next_iteration(self):
        with Sandbox() as box:
            box.tool(SWANCTL, SWANCTL_NONE)
            actions = [
                (1.5, lambda: box.tool(STROKE, stroke_script(1))),
                (2.5, lambda: box.remove(STROKE)),
                (3.5, lambda: box.remove(SWANCTL)),
            ]
            self.assertEqual(run(box, 14, 4.8, actions), 0)
            self.assertEqual([v for _, v in box.led_writes()], [0, 0, 1, 0])
            self.assertEqual(box.log_texts(), ["started", "failure getting IPsec status", "stopped"])


if __name__ == "__main__":
    harness.main()
