"""The emulated router: the router (armhf) build of the daemon on an emulated
32-bit ARM machine (qemu-system-arm, `virt` board) with the image of
image.py, driven through the same interface as the host's sandbox, so the
same scenarios and tests run against it.

    with EmulatedRouter(build_arm_dir) as box:
        box.settings("MOD_TAVRIN_MODE=3\\n")
        box.start()
        ...

Each instance boots its own machine, so every run starts from a fresh
router. The harness stays on the host and talks to the guest's process 1
(BusyBox ash, see init) over a virtio serial port: one shell command a
line. What differs from the sandbox:
  - "/dev/gpio" is a kernel driver (driver/tavrin_gpio.c), as on the
    device, and nothing is preloaded into the daemon: the pins, the
    device's presence and failing reads are the driver's parameters, and
    every open, LED write and pin read comes from its event log in debugfs,
    stamped by the guest's clock;
  - the system log is BusyBox's syslogd (as on the router), which writes
    /var/log/messages; a query first logs a mark and waits for it in the
    file, so every message the daemon sent before is in the answer;
  - a process started under another name (argv0) is started through a
    symbolic link of that name: BusyBox's ash has no `exec -a`.
"""
import os
import re
import shlex
import shutil
import socket
import subprocess
import tempfile
import threading
import time

import image
import iterations
from sandbox import DAEMON_PATH, PATH, LogMessage, Sandbox, parse_gpio_log

GUEST_TOOLS = "/opt/sim"
DRIVER = "/sys/module/tavrin_gpio/parameters"
# The daemon's pids cgroup, for tests that make its forks fail.
PIDS_GROUP = "/sys/fs/cgroup/daemon"
DRIVER_EVENTS = "/sys/kernel/debug/tavrin_gpio/events"
# The driver's mask bit of each pin whose reads are to fail.
PIN_BITS = {"out0": 1, "bin0": 2, "bin1": 4, "out1": 8}
SYSLOG_RE = re.compile(r"^(\w{3} [ \d]\d \d\d:\d\d:\d\d) \S+ (\w+)\.(\w+) (.*)$")
FACILITIES = {"kern": 0, "user": 1, "daemon": 3, "auth": 4, "syslog": 5, "local0": 16}
LEVELS = {"emerg": 0, "alert": 1, "crit": 2, "err": 3, "warn": 4, "notice": 5, "info": 6, "debug": 7}


def join_pids_group(maximum, pid):
    """The guest command that limits the pids group to `maximum` tasks and
    moves `pid` into it ("0": the shell that writes it)."""
    return (f"mkdir -p {PIDS_GROUP} && echo {maximum} > {PIDS_GROUP}/pids.max && "
            f"echo {pid} > {PIDS_GROUP}/cgroup.procs")


def unavailable(build_dir=None):
    """Why the router cannot be emulated here, or None. Where the stage must
    run (TAVRIN_REQUIRE_EMULATION=1), the reason is raised instead."""
    build_dir = build_dir or os.environ.get("TAVRIN_BUILD", "")
    why = None
    if shutil.which("qemu-system-arm") is None:
        why = "qemu-system-arm is not installed"
    elif not os.path.exists(os.path.join(build_dir, "router", "base.cpio")):
        why = f"no router image in {build_dir}/router (see the router.image test)"
    if why and os.environ.get("TAVRIN_REQUIRE_EMULATION") == "1":
        raise RuntimeError(f"the emulated router must run here, but {why}")
    return why


def lacks(scenario, build_dir=None):
    """What a scenario needs that the emulated router does not carry (the
    peer programs of each kind it runs), or None."""
    build_dir = build_dir or os.environ.get("TAVRIN_BUILD", "")
    kinds = scenario.get("setup", {}).get("peers", {})
    if not kinds:
        return None
    if not os.path.exists(os.path.join(build_dir, "router", "peers.cpio")):
        return "the emulated router image carries no peer programs"
    carried = peer_versions(scenario, build_dir)
    missing = [kind for kind in kinds
               if not all(any(package.startswith(prefix) for package in carried) for prefix in PEER_PACKAGES[kind])]
    return f"the emulated router image carries no {', '.join(missing)} programs" if missing else None


# The packages of each kind of peer (see peers.py).
PEER_PACKAGES = {"ipsec": ("strongswan", "libstrongswan", "libcharon"), "openvpn": ("openvpn", "openssl"),
                 "wifi": ("hostapd", "wpasupplicant")}


def peer_versions(scenario, build_dir=None):
    """{package: version} of the peer programs a scenario runs, as the
    router image carries them."""
    build_dir = build_dir or os.environ.get("TAVRIN_BUILD", "")
    prefixes = tuple(p for name in scenario.get("setup", {}).get("peers", {}) for p in PEER_PACKAGES[name])
    try:
        with open(os.path.join(build_dir, "router", "peers.versions")) as f:
            found = dict(line.split(None, 1) for line in f.read().splitlines() if " " in line)
    except OSError:
        return {}
    return {package: version for package, version in found.items() if package.startswith(prefixes)}


def for_scenario(scenario):
    """The machine class to run `scenario` on: with the peer programs when
    it needs them (they make a larger image, slower to boot)."""
    if not scenario.get("setup", {}).get("peers"):
        return EmulatedRouter

    class WithPeers(EmulatedRouter):
        PEERS = True
    return WithPeers


def printf_format(text):
    """A quoted printf format that prints `text` (bytes as latin-1) as is."""
    out = []
    for ch in text:
        if ch == "%":
            out.append("%%")
        elif ch == "\\":
            out.append("\\\\")
        elif ch == "'":
            out.append("\\047")
        elif " " <= ch <= "~":
            out.append(ch)
        else:
            out.append(f"\\{ord(ch):03o}")
    return "'" + "".join(out) + "'"


class EmulatedRouter(Sandbox):
    # A boot takes a few seconds; more on a loaded machine.
    BOOT_TIMEOUT = 120
    # Whether the machine carries the peer programs (peers.cpio).
    PEERS = False
    # How late after its sleep an iteration may write, and how soon after
    # a blink (see iterations.Timing), measured on the emulated router (2
    # cores) over every iteration the tests judged in two whole test runs:
    # at most 10.8 ms where the daemon reads a pin (modes 1 to 4) and 75.9 ms
    # a serial statistics file (5 to 10); where it runs the tools (under
    # emulation a fork and exec costs 20 to 90 ms) 320 ms in mode 11, 386 in
    # 12, 1.70 s in 13 (four queries), 530 ms in 14, 293 in 15 and 343 in
    # 16; at least 54.5 ms after a blink. So a pin
    # period of 150 ms fails, and a status period of 2 s in every mode but
    # 13 (whose four queries may take longer than the second it adds).
    TIMING = iterations.Timing("router", (0.04,) * 4 + (0.2,) * 6 + (0.6, 0.8, 2.5, 1.2, 0.6, 0.6), after_blink_min=0.03)

    def __init__(self, build_dir=None, dev_null=True, files=None):
        """`files`: {guest path: host file} to add to the image (test
        programs and the like)."""
        super().__init__(build_dir, dev_null, files)
        self.image = os.path.join(self.build_dir, "router")
        self.qemu = None
        self.conn = None
        self.guest_t0 = None
        self.wall_t0 = None
        self._marks = 0
        self._final_log = None
        self._line = threading.Lock()

    # ---- the machine -----------------------------------------------------
    def _open(self):
        self.work = tempfile.mkdtemp(prefix="tavrin-router-", dir=os.environ.get("TAVRIN_SIM_BASE", "/var/tmp"))
        self.daemon_path = self.daemon_binary = DAEMON_PATH
        self.traffic_bin = f"{GUEST_TOOLS}/traffic"
        self.holder_bin = f"{GUEST_TOOLS}/holder"
        self.kernel_as_bin = f"{GUEST_TOOLS}/kernel_as"
        initrd = os.path.join(self.work, "initrd")
        self._write_initrd(initrd)
        sock = os.path.join(self.work, "agent.sock")
        with open(os.path.join(self.work, "qemu.err"), "w") as err:
            self.qemu = self._start_qemu(initrd, sock, err)
        self.conn = self._connect(sock, time.monotonic() + 10)
        self._buffer = b""
        if self._read_until(b"ready\n", self.BOOT_TIMEOUT) is None:
            raise RuntimeError(f"the router did not boot: {self._file('console.log')[-3000:]}")
        self.gpio_present(True)
        return self

    def _start_qemu(self, initrd, sock, err):
        return subprocess.Popen(
            ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15", "-m", "256", "-no-reboot", "-nic", "none",
             "-display", "none", "-monitor", "none", "-serial", f"file:{self.work}/console.log",
             "-kernel", os.path.join(self.image, "vmlinuz"), "-initrd", initrd,
             "-append", "console=ttyAMA0 quiet loglevel=0 cryptomgr.notests panic=-1",
             "-device", "virtio-serial-device",
             "-chardev", f"socket,id=agent,path={sock},server=on,wait=off",
             "-device", "virtserialport,chardev=agent,name=agent"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)

    def _connect(self, sock, deadline):
        """Connect to qemu's agent socket. The socket's path appears when
        qemu binds it, a moment before it listens: a connect in between is
        refused, so try again until the deadline."""
        while True:
            conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                conn.connect(sock)
                return conn
            except (FileNotFoundError, ConnectionRefusedError):
                conn.close()
            if time.monotonic() > deadline or self.qemu.poll() is not None:
                raise RuntimeError(f"qemu did not start: {self._file('qemu.err')}")
            time.sleep(0.02)

    def _write_initrd(self, initrd):
        """The base image, then an archive with this build's daemon and
        helpers (the kernel unpacks both)."""
        extra = os.path.join(self.work, "extra")
        files = {
            # The router build's daemon, or another build of it for the
            # router (TAVRIN_ROUTER_DAEMON: the static musl build).
            DAEMON_PATH: os.environ.get("TAVRIN_ROUTER_DAEMON") or os.path.join(self.build_dir, "tavrind"),
            f"{GUEST_TOOLS}/traffic": os.path.join(self.build_dir, "sim", "traffic"),
            f"{GUEST_TOOLS}/holder": os.path.join(self.build_dir, "sim", "holder"),
            f"{GUEST_TOOLS}/kernel_as": os.path.join(self.build_dir, "sim", "kernel_as"),
            f"{GUEST_TOOLS}/signal_at": os.path.join(self.build_dir, "sim", "signal_at"),
            "/usr/bin/io": os.path.join(self.build_dir, "sim", "io_tool"),
        }
        files.update(self.files)
        for guest, host in files.items():
            dest = os.path.join(extra, guest.lstrip("/"))
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            shutil.copy2(host, dest)
        image.write_cpio(extra, os.path.join(self.work, "extra.cpio"))
        with open(initrd, "wb") as out:
            parts = ["base.cpio"] + (["peers.cpio"] if self.PEERS else [])
            for part in [os.path.join(self.image, p) for p in parts] + [os.path.join(self.work, "extra.cpio")]:
                with open(part, "rb") as f:
                    shutil.copyfileobj(f, out)

    def _file(self, name):
        try:
            with open(os.path.join(self.work, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def __exit__(self, *exc):
        if self.conn is not None and self.qemu.poll() is None:
            try:
                self._final_events = self.gpio_events()
                self._final_log = self._read_log()
            except (OSError, RuntimeError):
                pass
        if self.conn is not None:
            self.conn.close()
        if self.qemu is not None:
            self.qemu.kill()
            self.qemu.wait()
        if self.work and not os.environ.get("TAVRIN_SIM_KEEP"):
            shutil.rmtree(self.work, ignore_errors=True)
        return False

    # ---- the serial line -------------------------------------------------
    def _read_until(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if isinstance(pattern, bytes):
                at = self._buffer.find(pattern)
                if at >= 0:
                    out, self._buffer = self._buffer[:at], self._buffer[at + len(pattern):]
                    return out
            else:
                m = pattern.search(self._buffer)
                if m:
                    out, self._buffer = self._buffer[:m.start()], self._buffer[m.end():]
                    return out, m
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.conn.settimeout(left)
            try:
                data = self.conn.recv(65536)
            except socket.timeout:
                return None
            if not data:
                raise RuntimeError("the router's serial line closed")
            self._buffer += data

    def run(self, command, timeout=60):
        """Runs one line of shell in the guest's process 1; returns (exit
        status, output). One request at a time (the demo draws from another
        thread)."""
        if "\n" in command:
            raise ValueError("one line at a time to the router's shell")
        with self._line:
            self.conn.sendall(command.encode() + b"\n")
            reply = self._read_until(re.compile(rb"\x1e(\d+)\n"), timeout)
        if reply is None:
            raise RuntimeError(f"the router did not answer {command[:200]!r}")
        out, m = reply
        return int(m.group(1)), out.decode("latin-1")

    def call(self, op, **kw):
        """The sandbox agent's operations, done by the guest's shell."""
        if op == "write":
            # The shell's own printf writes it: no program to start, which
            # costs tens of milliseconds here.
            path = shlex.quote(kw["path"])
            folder = shlex.quote(os.path.dirname(kw["path"]))
            mode = kw.get("mode", "644")
            chmod = f" && chmod {mode} {path}.new" if mode != "644" else ""
            self.run(f"{{ [ -d {folder} ] || mkdir -p {folder}; }} && "
                     f"printf {printf_format(kw['data'])} > {path}.new{chmod} && mv {path}.new {path}")
            return {}
        if op == "read":
            status, out = self.run(f"cat {shlex.quote(kw['path'])} 2>&-")
            return {"data": out} if status == 0 else {"error": "cannot read"}
        if op == "remove":
            self.run(f"rm -f {shlex.quote(kw['path'])}")
            return {}
        if op == "sh":
            # The line carries the command as a printf format: it may span
            # lines itself.
            status, out = self.run(f"ag_sh \"$(printf {printf_format(kw['cmd'])})\"",
                                   timeout=kw.get("timeout", 30) + 30)
            return {"status": status << 8, "out": out}
        if op == "spawn":
            return self._spawn(kw["argv"], kw.get("argv0"), kw.get("env"), kw.get("nofile"), kw.get("closed", ()))
        if op == "signal":
            status, out = self.run(f"{GUEST_TOOLS}/signal_at {int(kw['sig'])} {int(kw['pid'])}")
            return {"t": int(out.split()[-1])} if status == 0 else {"gone": True}
        if op == "wait":
            deadline = time.monotonic() + kw.get("timeout", 10)
            while True:
                # The shell may tell first how the job ended ("Killed").
                status = self.run(f"ag_wait {int(kw['pid'])}")[1].strip().splitlines()[-1]
                if status != "running":
                    return {"status": int(status)}
                if time.monotonic() > deadline:
                    return {"status": None}
                time.sleep(0.05)
        raise RuntimeError(f"the emulated router has no {op}")

    def _spawn(self, argv, argv0, env, nofile, closed=(), drop_null=False, pids_max=None, umask=None):
        """Starts a background job of the guest's shell. ash gives every
        such job /dev/null as its input first, and fails it without one: a
        machine without /dev/null keeps it until the daemon starts, and the
        daemon's job removes it just before the daemon runs."""
        if not self.opts["dev_null"] and self.pid is not None:
            raise RuntimeError("without /dev/null the guest's shell cannot start a process once the daemon runs")
        program = argv[0]
        prefix = ""
        if argv0 and argv0 != program:
            # The process is started through a link named as asked.
            link = argv0 if argv0.startswith("/") else f"/run/.argv0/{len(argv0)}{os.getpid()}/{argv0}"
            prefix = f"mkdir -p $(dirname {shlex.quote(link)}) && ln -sf {shlex.quote(program)} {shlex.quote(link)} && "
            program = link
        env_args = " ".join(shlex.quote(f"{k}={v}") for k, v in (env or {"PATH": PATH}).items())
        limit = f"ulimit -n {int(nofile)}; " if nofile else ""
        limit += f"umask {umask:03o}; " if umask is not None else ""
        null = "/dev/null" if self.opts["dev_null"] else "/proc/self/cmdline"
        before_exec = ["rm /dev/null"] if drop_null else []
        if pids_max is not None:
            before_exec.append(join_pids_group(pids_max, 0))  # the job's shell, and so the daemon
        steps = "".join(f"{step} && " for step in before_exec)
        close = "".join(f" {fd}>&-" for fd in closed)
        line = (f"{prefix}t0=$(ag_now); ({limit}{steps}exec env -i {env_args} {shlex.quote(program)} "
                f"{' '.join(shlex.quote(a) for a in argv[1:])}{close}) <{null} >>/run/.spawn.out 2>&1 & "
                f"echo $! $t0 $(date +%s)")
        sent = time.monotonic_ns()
        status, out = self.run(line)
        received = time.monotonic_ns()
        # Without /dev/null, ash says first that it cannot give the
        # background job its default input (the job gets `null` instead).
        pid, guest_t0, wall = out.splitlines()[-1].split()
        return {"pid": int(pid), "t0": (sent + received) // 2, "guest_t0": int(guest_t0), "wall": int(wall)}

    # ---- the device's state and what it saw ------------------------------
    def start(self, argv0=DAEMON_PATH, env=None, nofile=None, pids_max=None, closed=(), kernel=None,
              ignore_sigchld=False):
        environment = {"PATH": PATH}  # nothing preloaded: /dev/gpio is the driver
        environment.update(env or {})
        argv, argv0 = self.launched(self.daemon_path, argv0, kernel, ignore_sigchld)
        reply = self._spawn(argv, argv0, environment, nofile, closed,
                            drop_null=not self.opts["dev_null"], pids_max=pids_max, umask=0)
        self.pid, self.t0 = reply["pid"], reply["t0"]
        self.guest_t0, self.wall_t0 = reply["guest_t0"], reply["wall"]
        self.exit_status = None
        self.wait_filtered(kernel)
        return self.pid

    def since_start(self, ns):
        return (ns - self.guest_t0) / 1e9

    def mark(self):
        """Now on the guest's clock, which stamps the LED writes, in seconds
        since the daemon's start (see ag_now)."""
        return (int(self.run("ag_now")[1]) - self.guest_t0) / 1e9

    def device_env(self):
        return {}  # the driver is the device

    def gpio_present(self, present):
        self.run(f"echo {'Y' if present else 'N'} > {DRIVER}/present")

    def set_pin(self, name, level):
        """The pin's level, or "err": its reads fail."""
        fail = "|" if level == "err" else "& ~"
        value = "" if level == "err" else f"echo {int(level)} > {DRIVER}/{name} && "
        self.run(f"{value}echo $(( $(cat {DRIVER}/failing) {fail}{PIN_BITS[name]} )) > {DRIVER}/failing")

    def gpio_events(self):
        if self._final_events is not None:
            return self._final_events
        return parse_gpio_log(self.read(DRIVER_EVENTS) or "", self.guest_t0 or 0)

    def tun(self, name):
        self.sh(f"{self.traffic_bin} --make-tun {name} && ip link set {name} up")

    def veth_pair(self, name, peer):
        # BusyBox's ip takes no name for the peer: it is renamed after.
        self.sh(f"ip link add {name} type veth && "
                f"p=$(ip -o link | sed -n 's/^[0-9]*: \\([^:@]*\\)@{name}:.*/\\1/p') && "
                f"ip link set $p name {peer}")

    def pause_log(self):
        """Stops syslogd until resume_log(): the daemon's syslog() then
        blocks once /dev/log's queue is full."""
        self.run("kill -STOP $(cat /run/syslogd.pid)")

    def resume_log(self):
        self.run("kill -CONT $(cat /run/syslogd.pid)")

    def limit_forks(self, maximum):
        """Limits the daemon to `maximum` tasks ("max" lifts the limit): with 1
        every fork of the daemon fails."""
        self.run(join_pids_group(maximum, self.pid))

    def pids_cgroup(self):
        """Whether forks can be made to fail here (a pids cgroup)."""
        return self.run("grep -qw pids /sys/fs/cgroup/cgroup.subtree_control")[0] == 0

    def _remove_cgroup(self):
        pass

    def _read_log(self):
        """Every line syslogd wrote, once it has written all it was sent:
        a mark logged now comes after them on /dev/log."""
        self._marks += 1
        mark = f"tavrin-log-mark-{self._marks}"
        self.run(f"logger -t tavrin-harness {mark}")
        deadline = time.monotonic() + 10
        while True:
            text = self.read("/var/log/messages") or ""
            if mark in text or time.monotonic() > deadline:
                return text
            time.sleep(0.05)

    def _messages(self):
        """[(seconds since start, LogMessage)] of the log, without marks and
        kernel lines. syslogd stamps whole seconds of the wall clock."""
        text = self._final_log if self._final_log is not None else self._read_log()
        out = []
        for line in text.splitlines():
            m = SYSLOG_RE.match(line)
            if not m or m.group(4).startswith("tavrin-harness") or m.group(2) in ("kern", "syslog"):
                continue
            stamp, facility, level, rest = m.groups()
            priority = FACILITIES.get(facility, 1) * 8 + LEVELS.get(level, 6)
            clock = time.strptime(stamp[7:], "%H:%M:%S")
            since = (clock.tm_hour * 3600 + clock.tm_min * 60 + clock.tm_sec - (self.wall_t0 or 0) % 86400) % 86400
            out.append((float(since), LogMessage(f"<{priority}>{stamp} {rest}")))
        return out

    def log(self):
        return [m for _, m in self._messages()]

    def log_times(self):
        return self._messages()

    def stopped_time(self):
        """Seconds since the start at which the daemon logged "stopped", or
        None if it did not. syslogd's stamps are whole seconds; "stopped" is
        the daemon's last act, and it holds /dev/gpio to its end, so where
        it opened the device the driver's stamp of its close times it."""
        logged = super().stopped_time()
        if logged is None:
            return None
        closed = [e[0] for e in self.gpio_events() if e[1:] == ("close", str(self.pid))]
        return closed[-1] if closed else logged

