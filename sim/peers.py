"""Real programs for the status modes to ask, in the simulated router: the
strongSwan IPsec daemon, an OpenVPN tunnel, and the access point and client
daemons of a wireless link. Each runs as the router would run it (in the
sandbox, whose network namespace the daemon shares, with a private /run),
and its counterpart runs on a second machine: its own network and mount
namespaces, joined to the sandbox by a veth pair.

    with Sandbox() as box:
        ipsec = IpsecPeers(box)
        ipsec.up("ipsec1")
        ...

All addresses live in the sandbox's own namespaces.
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import time

IPSEC_DIR = "/usr/lib/ipsec"  # where Debian installs charon and stroke
# How long a peer may take to reach the state waited for: seconds on the
# host, more under emulation on a loaded machine (a TLS handshake there
# takes seconds of CPU). Only an upper bound: each wait ends at the state.
PEER_TIMEOUT = 90


def wait_until(check, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.05)
    raise RuntimeError(f"timed out waiting for {what}")


def version_of(cmd):
    """The first line a program prints about itself that holds a version
    number (some print it on standard error, after other chatter)."""
    try:
        run = subprocess.run(cmd, capture_output=True, text=True, timeout=10)
    except OSError:
        return "not installed"
    for line in (run.stdout + "\n" + run.stderr).splitlines():
        if re.search(r"\d+\.\d+", line) and "plugin" not in line:
            return line.strip()
    return "unknown"


class Host:
    """A second machine: a process holding its own network and mount
    namespaces (with a private /run), and a veth pair whose end `link`
    stays in the sandbox with `addr` while `link`p moves to the host with
    `peer_addr`."""

    def __init__(self, box, link, addr, peer_addr, prefix=24):
        self.box = box
        self.addr, self.peer_addr = addr, peer_addr
        self.pid = box.spawn(["unshare", "--net", "--mount", "--propagation", "private", "sh", "-c",
                              "mount -t tmpfs run /run && ip link set lo up && "
                              "sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 && "
                              "exec sleep infinity"])
        # The holder execs `sleep` once its namespaces are set up.
        wait_until(lambda: (box.read(f"/proc/{self.pid}/comm") or "").strip() == "sleep", PEER_TIMEOUT, "the peer host")
        box.veth_pair(link, f"{link}p")
        box.sh(f"ip link set {link}p netns {self.pid} && ip addr add {addr}/{prefix} dev {link} && "
               f"ip link set {link} up")
        self.sh(f"ip addr add {peer_addr}/{prefix} dev {link}p && ip link set {link}p up")

    def enter(self, argv):
        return ["nsenter", "-t", str(self.pid), "-n", "-m", "--"] + list(argv)

    def sh(self, cmd, check=True, timeout=30):
        return self.box.sh(shlex.join(self.enter(["sh", "-c", cmd])), check=check, timeout=timeout)

    def status(self, cmd):
        return self.box.call("sh", cmd=shlex.join(self.enter(["sh", "-c", cmd])))["status"]

    def spawn(self, argv):
        return self.box.spawn(self.enter(argv))


# ---- IPsec: strongSwan's charon, on the router and on a remote gateway ----

STRONGSWAN_CONF = """charon {{
  load_modular = no
  load = random nonce aes sha1 sha2 hmac gmp kdf pem pkcs1 pubkey x509 kernel-libipsec kernel-netlink socket-default stroke vici updown
  # A lost peer is noticed within seconds: a request is given up after
  # four tries a second apart. (With fewer, a loaded emulated router misses
  # a dead-peer check now and then and drops a live association, which
  # comes back at once: a flap of the peers', not of what the daemon shows.)
  retransmit_timeout = 1.0
  retransmit_base = 1.0
  retransmit_tries = 3
  filelog {{
    charon {{
      path = {log}
      default = 1
    }}
  }}
}}
"""

# One connection per name; each side names itself and its peer.
SWANCTL_CONNECTION = """  {name} {{
    version = 2
    local_addrs = {local_addr}
    remote_addrs = {remote_addr}
    proposals = aes128-sha256-modp2048
    dpd_delay = 1s
    keyingtries = 0
    local {{
      auth = psk
      id = {local_id}
    }}
    remote {{
      auth = psk
      id = {remote_id}
    }}
    children {{
      {name} {{
        local_ts = {local_ts}
        remote_ts = {remote_ts}
        esp_proposals = aes128-sha256
        dpd_action = restart
      }}
    }}
  }}
"""

SWANCTL_SECRET = """  ike-{name} {{
    id-1 = {local_id}
    id-2 = {remote_id}
    secret = "test-only-{name}"
  }}
"""


class IpsecPeers:
    """The router's charon in the sandbox and a remote gateway's charon on a
    second machine, with IKEv2 connections (pre-shared keys) that the router
    initiates. Charon answers both of the router's tools: `stroke` through
    its stroke plugin, `swanctl` through vici. This kernel has no ESP, so the
    child SAs go through charon's own user-space IPsec (kernel-libipsec, a
    TUN device), which wants tunnel inner addresses apart from the peers'.

    Connections: "ipsec1" and "ipsec2" (names the router's swanctl query
    looks for) and "office" (a name it does not)."""
    KIND = "ipsec"  # as scenarios and the router image name it

    CONNECTIONS = ("ipsec1", "ipsec2", "office")
    ROUTER, GATEWAY = "10.200.0.1", "10.200.0.2"

    def __init__(self, box, tools=("stroke", "swanctl"), start=True):
        self.box = box
        self.remote = Host(box, "wan0", self.ROUTER, self.GATEWAY)
        # A LAN address on each side inside its own traffic selectors.
        box.sh("ip addr add 10.201.1.1/32 dev lo")
        self.remote.sh("ip addr add 10.201.2.1/32 dev lo")
        self._configure("router", self.ROUTER, self.GATEWAY, "10.201.1.0/24", "10.201.2.0/24", "moon", "sun")
        self._configure("remote", self.GATEWAY, self.ROUTER, "10.201.2.0/24", "10.201.1.0/24", "sun", "moon")
        for tool in tools:
            self.install(tool)
        self.router_pid = None
        self.remote_pid = None
        if start:
            self.start()

    @staticmethod
    def versions():
        return {"strongSwan": version_of(["swanctl", "--version"])}

    @staticmethod
    def missing():
        """What of strongSwan this machine lacks, or None."""
        for path in (f"{IPSEC_DIR}/charon", f"{IPSEC_DIR}/stroke", "/usr/sbin/swanctl",
                     f"{IPSEC_DIR}/plugins/libstrongswan-kernel-libipsec.so"):
            if not os.path.exists(path):
                return f"{path} (packages strongswan-charon, strongswan-swanctl, strongswan-starter, " \
                       "libcharon-extra-plugins)"
        return None

    def _configure(self, side, local_addr, remote_addr, local_ts, remote_ts, me, peer):
        folder = f"/tmp/ipsec/{side}"
        self.box.write(f"{folder}/strongswan.conf", STRONGSWAN_CONF.format(log=f"{folder}/charon.log"))
        connections, secrets = [], []
        for name in self.CONNECTIONS:
            fields = dict(name=name, local_addr=local_addr, remote_addr=remote_addr, local_ts=local_ts,
                          remote_ts=remote_ts, local_id=f"{me}-{name}", remote_id=f"{peer}-{name}")
            connections.append(SWANCTL_CONNECTION.format(**fields))
            secrets.append(SWANCTL_SECRET.format(**fields))
        self.box.write(f"{folder}/swanctl.conf",
                       "connections {\n" + "".join(connections) + "}\nsecrets {\n" + "".join(secrets) + "}\n")

    def install(self, tool):
        """Puts `stroke` or `swanctl` where the router keeps them."""
        source = f"{IPSEC_DIR}/stroke" if tool == "stroke" else "/usr/sbin/swanctl"
        self.box.sh(f"mkdir -p /usr/libexec/ipsec && ln -sf {source} /usr/libexec/ipsec/{tool}")

    def uninstall(self, tool):
        self.box.remove(f"/usr/libexec/ipsec/{tool}")

    def _charon(self, side, enter):
        conf = f"/tmp/ipsec/{side}/strongswan.conf"
        pid = self.box.spawn(enter(["env", f"STRONGSWAN_CONF={conf}", f"{IPSEC_DIR}/charon"]))
        run = lambda cmd: self.box.call("sh", cmd=shlex.join(enter(["sh", "-c", cmd])))["status"]  # noqa: E731
        wait_until(lambda: run("swanctl --stats >/dev/null 2>&1") == 0, PEER_TIMEOUT, f"the {side} charon")
        if run(f"swanctl --load-all --file /tmp/ipsec/{side}/swanctl.conf >/dev/null 2>&1") != 0:
            raise RuntimeError(f"the {side} charon refused its connections")
        return pid

    def start(self):
        """Starts the gateway's charon, then the router's."""
        self.remote_pid = self._charon("remote", self.remote.enter)
        self.start_router()

    def start_router(self):
        self.router_pid = self._charon("router", lambda argv: list(argv))

    def router(self, cmd):
        return self.box.call("sh", cmd=cmd, timeout=PEER_TIMEOUT)

    def up(self, name):
        """The router initiates `name`; returns once its IKE and child SAs
        are established."""
        reply = self.router(f"swanctl --initiate --child {name} --timeout 60 >/dev/null 2>&1")
        if reply["status"] != 0:
            raise RuntimeError(f"{name} did not come up: {self.box.read('/tmp/ipsec/router/charon.log')}")

    def terminate(self, name):
        """The router ends `name` (its IKE SA and children)."""
        self.router(f"swanctl --terminate --ike {name} --timeout 60 >/dev/null 2>&1")

    def peer_gone(self):
        """The gateway's charon dies without a word; returns once the router
        has noticed and is trying again (its association "connecting")."""
        self.box.kill(self.remote_pid, signal.SIGKILL)
        wait_until(lambda: re.search(r"\(0 up, [1-9]\d* connecting\)", self.statusall()), PEER_TIMEOUT,
                   "the router to notice the lost peer")

    def stop_router(self):
        """The router's charon ends (as when its IPsec service stops)."""
        self.box.kill(self.router_pid)
        self.router_pid = None

    def statusall(self):
        return self.box.sh(f"{IPSEC_DIR}/stroke statusall", check=False)


# ---- OpenVPN: a TLS point-to-point tunnel to a remote server --------------

MAKE_CERTIFICATES = """set -e
cd {folder}
key() {{ openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "$@" 2>/dev/null; }}
key -x509 -keyout ca.key -out ca.crt -days 2 -subj /CN=test-only-ca
for who in server client; do
  key -keyout $who.key -out $who.csr -subj /CN=$who
  [ $who = server ] && usage=serverAuth || usage=clientAuth
  printf 'extendedKeyUsage=%s\\nkeyUsage=digitalSignature,keyAgreement\\n' $usage > $who.ext
  openssl x509 -req -in $who.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile $who.ext \\
    -out $who.crt 2>/dev/null
done
"""


class OpenVpnPeers:
    """An OpenVPN tunnel: the router runs the client, whose tun device (`tun`)
    sits in the daemon's network namespace; the server runs on a remote
    machine. A throwaway CA, made at set-up, signs both certificates. The
    router's `ifconfig` is BusyBox's, as on the device."""
    KIND = "openvpn"  # as scenarios and the router image name it

    ROUTER, SERVER = "10.203.0.1", "10.203.0.2"
    TUNNEL_ROUTER, TUNNEL_SERVER = "10.204.0.1", "10.204.0.2"
    FOLDER = "/tmp/openvpn"

    def __init__(self, box, tun="tun0"):
        self.box = box
        self.tun = tun
        self.remote = Host(box, "vpn0", self.ROUTER, self.SERVER)
        box.sh(f"mkdir -p {self.FOLDER} && " + MAKE_CERTIFICATES.format(folder=self.FOLDER))
        box.sh("ln -sf $(command -v busybox) /usr/sbin/ifconfig")
        self.client_pid = None
        self.server_pid = None

    @staticmethod
    def versions():
        return {"OpenVPN": version_of(["openvpn", "--version"]), "BusyBox": version_of(["busybox"])}

    @staticmethod
    def missing():
        for program in ("openvpn", "openssl", "busybox"):
            if shutil.which(program) is None:
                return f"{program} (packages openvpn, openssl, busybox)"
        return None

    def _openvpn(self, role, enter):
        common = ["--mode", "p2p", "--dev", self.tun, "--dev-type", "tun", "--proto", "udp",
                  "--ca", f"{self.FOLDER}/ca.crt", "--dh", "none", "--verb", "3",
                  "--log", f"{self.FOLDER}/{role}.log"]
        if role == "server":
            own = ["--tls-server", "--lport", "1194", "--ifconfig", self.TUNNEL_SERVER, self.TUNNEL_ROUTER,
                   "--cert", f"{self.FOLDER}/server.crt", "--key", f"{self.FOLDER}/server.key",
                   "--remote-cert-tls", "client"]
        else:
            own = ["--tls-client", "--remote", self.SERVER, "1194", "--ifconfig", self.TUNNEL_ROUTER,
                   self.TUNNEL_SERVER, "--cert", f"{self.FOLDER}/client.crt", "--key", f"{self.FOLDER}/client.key",
                   "--remote-cert-tls", "server"]
        return self.box.spawn(enter(["openvpn"] + common + own))

    def up(self):
        """Starts the server, then the router's client; returns once the
        tunnel is up."""
        for role in ("server", "client"):
            self.box.remove(f"{self.FOLDER}/{role}.log")
        self.server_pid = self._openvpn("server", self.remote.enter)
        # A client that starts first waits seconds before it tries again.
        wait_until(lambda: "UDPv4 link local (bound)" in (self.box.read(f"{self.FOLDER}/server.log") or ""),
                   PEER_TIMEOUT, "the OpenVPN server")
        self.client_pid = self._openvpn("client", lambda argv: list(argv))
        wait_until(lambda: "Initialization Sequence Completed" in (self.box.read(f"{self.FOLDER}/client.log") or ""),
                   PEER_TIMEOUT, "the OpenVPN tunnel")

    def ping(self, count=3):
        """The server pings the router's end of the tunnel, again until a
        reply comes back: the router's tun device receives. On a loaded
        machine a tunnel just up may lose the first ones."""
        def replied():
            try:
                self.remote.sh(f"busybox ping -c {count} -i 0.2 -W 2 {self.TUNNEL_ROUTER} >/dev/null")
                return True
            except RuntimeError:
                return False
        wait_until(replied, PEER_TIMEOUT, "a reply through the OpenVPN tunnel")

    def down(self):
        """Both ends stop; the router's tun device goes with its client."""
        for pid in (self.client_pid, self.server_pid):
            if pid is not None:
                self.box.kill(pid)
        self.client_pid = self.server_pid = None
        wait_until(lambda: self.box.call("sh", cmd=f"test -e /sys/class/net/{self.tun}")["status"] != 0, PEER_TIMEOUT,
                   f"{self.tun} to go")


# ---- Wi-Fi: hostapd and wpa_supplicant with their wired driver ------------

HOSTAPD_CONF = """interface=wlan0
driver=wired
ctrl_interface=/run/hostapd
ieee8021x=1
eapol_version=2
eap_server=1
eap_user_file={folder}/eap_users
# Its own log stays out of the router's system log, which the tests read.
logger_syslog=0
"""

WPA_SUPPLICANT_CONF = """ctrl_interface=/run/wpa_supplicant
ap_scan=0
eapol_version=2
network={
  key_mgmt=IEEE8021X
  eap=MD5
  identity="station"
  password="test-only"
  eapol_flags=0
}
"""


def sbin(program):
    """A real program's own path, whatever a test has put first on PATH."""
    return shutil.which(program, path="/usr/sbin:/usr/bin:/sbin:/bin") or program


class WiredWifi:
    """The router's access point and its wireless client, played by the real
    hostapd (on wlan0) and wpa_supplicant (on wlan1), both in the daemon's
    network namespace over one veth pair wlan0/wlan1: the station that
    authenticates to the access point is the router's own client. This
    kernel has no radio simulator, so both run their `wired` driver
    (IEEE 802.1X, EAP-MD5 from hostapd's own server). That shows the real
    control tools' output and exit codes through the daemon's command lines,
    but not a radio's behaviour: `wpa_cli status` prints `ssid=` (empty) as
    soon as the supplicant runs, before it has authenticated, and hostapd
    keeps a station that logged off in its list."""
    KIND = "wifi"  # as scenarios and the router image name it

    FOLDER = "/tmp/wifi"

    def __init__(self, box):
        self.box = box
        box.veth_pair("wlan0", "wlan1")
        box.sh("ip link set wlan0 up && ip link set wlan1 up")
        box.write(f"{self.FOLDER}/hostapd.conf", HOSTAPD_CONF.format(folder=self.FOLDER))
        box.write(f"{self.FOLDER}/eap_users", '"station" MD5 "test-only"\n')
        box.write(f"{self.FOLDER}/wpa_supplicant.conf", WPA_SUPPLICANT_CONF)
        self.ap_pid = None
        self.client_pid = None

    @staticmethod
    def versions():
        return {"hostapd": version_of(["hostapd", "-v"]), "wpa_supplicant": version_of(["wpa_supplicant", "-v"])}

    @staticmethod
    def missing():
        for program in ("hostapd", "hostapd_cli", "wpa_supplicant", "wpa_cli"):
            if sbin(program) == program:
                return f"{program} (packages hostapd, wpasupplicant)"
        return None

    def _ok(self, cmd):
        return self.box.call("sh", cmd=cmd)["status"] == 0

    def start_ap(self):
        """hostapd on wlan0; returns once its control interface answers."""
        self.ap_pid = self.box.spawn(["hostapd", f"{self.FOLDER}/hostapd.conf"])
        wait_until(lambda: self._ok(f"{sbin('hostapd_cli')} -i wlan0 ping | grep -q PONG"), PEER_TIMEOUT, "hostapd")

    def start_client(self):
        """wpa_supplicant on wlan1; returns once its control interface answers."""
        self.client_pid = self.box.spawn(["wpa_supplicant", "-D", "wired", "-i", "wlan1",
                                          "-c", f"{self.FOLDER}/wpa_supplicant.conf"])
        wait_until(lambda: self._ok(f"{sbin('wpa_cli')} -i wlan1 ping | grep -q PONG"), PEER_TIMEOUT,
                   "wpa_supplicant")

    def wait_authenticated(self):
        """Returns once the client has authenticated to the access point."""
        wait_until(lambda: "wpa_state=COMPLETED" in self.client_status() and
                   self._ok(f"{sbin('hostapd_cli')} -i wlan0 all_sta | grep -q AUTHORIZED"), PEER_TIMEOUT,
                   "802.1X authentication")

    def client_status(self):
        return self.box.sh(f"{sbin('wpa_cli')} -i wlan1 status", check=False)

    def link(self):
        """Access point and client up, the client authenticated."""
        self.start_ap()
        self.start_client()
        self.wait_authenticated()

    def disconnect(self):
        self.box.sh(f"{sbin('wpa_cli')} -i wlan1 disconnect >/dev/null")

    def stop_ap(self):
        self.box.kill(self.ap_pid)
        self.ap_pid = None

    def stop_client(self):
        self.box.kill(self.client_pid)
        self.client_pid = None
