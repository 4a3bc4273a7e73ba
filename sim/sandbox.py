"""The simulated router: runs the unmodified daemon in private mount, network
and process namespaces, with the GPIO stand-in preloaded, a private /tmp, the
settings file at its real path, tools at their real paths, and a /dev/log
datagram socket whose raw messages are kept here.

    with Sandbox(build_dir) as box:
        box.settings("MOD_TAVRIN_MODE=3\n")
        box.tool("/usr/bin/io", "echo 1; exit 1")
        box.start()
        ...
        box.signal(signal.SIGTERM)
        assert box.wait() == 0
"""
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import iterations

HERE = os.path.dirname(os.path.abspath(__file__))
DAEMON_PATH = "/opt/tavrin/bin/tavrind"  # the name it runs under in the sandbox
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
SYSLOG_RE = re.compile(r"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^\[:]*)\[(\d+)\]: (.*)$", re.S)

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
SCM_TIMESTAMPNS = SO_TIMESTAMPNS
TIMESPEC = struct.Struct("ll")
LOG_DAEMON = 3 << 3
LOG_ERR, LOG_NOTICE = 3, 5


def need_root():
    """Why the sandbox cannot run here, or None."""
    if os.geteuid() != 0:
        return "the sandbox needs root (namespaces and mounts)"
    if shutil.which("unshare") is None:
        return "unshare (util-linux) is missing"
    return None


def received_ns(ancillary):
    """The kernel's receive time of a datagram on the CLOCK_MONOTONIC scale,
    from its SCM_TIMESTAMPNS stamp (wall clock); now when it has none."""
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SCM_TIMESTAMPNS and len(data) >= TIMESPEC.size:
            sec, nsec = TIMESPEC.unpack(data[:TIMESPEC.size])
            return sec * 1000000000 + nsec - (time.time_ns() - time.monotonic_ns())
    return time.monotonic_ns()


def level_at(writes, t):
    """The level of the last of `writes` [(t, level)] made by `t`, or None."""
    level = None
    for when, value in writes:
        if when > t:
            break
        level = value
    return level


def parse_gpio_log(text, t0):
    """[(seconds since `t0` ns, kind, args...)] from the stand-in's event log."""
    events = []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 2:
            events.append(((int(parts[0]) - t0) / 1e9, parts[1], *parts[2:]))
    return events


class LogMessage:
    def __init__(self, raw):
        self.raw = raw
        m = SYSLOG_RE.match(raw)
        if not m:
            self.priority, self.ident, self.pid, self.text = None, None, None, raw
            return
        self.priority = int(m.group(1))
        self.ident = m.group(3)
        self.pid = int(m.group(4))
        self.text = m.group(5)

    @property
    def facility(self):
        return self.priority & ~7 if self.priority is not None else None

    @property
    def severity(self):
        return self.priority & 7 if self.priority is not None else None

    def __repr__(self):
        return repr(self.raw)


# Where the capturing modes publish their answers.
CAPTURES = {11: "/tmp/tavrin_wifi_ap.txt", 13: "/tmp/tavrin_open_vpn.txt", 14: "/tmp/tavrin_ipsec.txt",
            16: "/tmp/tavrin_kv_vpn.txt"}


class Sandbox:
    # How late after its sleep an iteration may write, and how soon after
    # a blink (see iterations.Timing), measured here (2 cores) over every
    # iteration the tests judged in a run of the host's tests (two at a
    # time): at most 3.1 ms where the daemon reads a pin or a kernel file
    # (modes 1 to 10), 24.6 ms where it runs the tools (modes 11 to 16); at
    # least 4.5 ms after a blink. So a pin period of 150 ms, a status period of 2 s, and a blink
    # that another follows within 2 ms all fail.
    TIMING = iterations.Timing("host", (0.015,) * 10 + (0.4,) * 6, after_blink_min=0.002)

    def __init__(self, build_dir=None, dev_null=True, files=None):
        """`files`: {path in the machine: host file} to put in place (test
        programs and the like)."""
        self.files = files or {}
        self.build_dir = build_dir or os.environ.get("TAVRIN_BUILD", os.path.join(HERE, "..", "build"))
        self.daemon_binary = os.path.abspath(os.environ.get("TAVRIND", os.path.join(self.build_dir, "tavrind")))
        self.fake_gpio = os.path.abspath(
            os.environ.get("TAVRIN_FAKEGPIO", os.path.join(self.build_dir, "sim", "libfakegpio.so")))
        # A daemon built for another architecture runs under this emulator
        # command (qemu-user), e.g. "qemu-arm -L /usr/arm-linux-gnueabihf".
        self.emulator = os.environ.get("TAVRIN_EMULATOR", "").split()
        self.opts = {"dev_null": dev_null}
        self.work = None
        self.agent = None
        self.pid = None
        self.t0 = None
        self.exit_status = None  # the daemon's, once wait() has seen it end
        self.messages = []
        self._log_sock = None
        self._log_thread = None
        self._log_done = threading.Event()
        self._log_paused = threading.Event()
        self._lock = threading.Lock()
        self._final_events = None

    # ---- lifecycle -------------------------------------------------------
    def __enter__(self):
        try:
            return self._open()
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def _open(self):
        # Not under /tmp: the sandbox mounts its own /tmp over the host's.
        base = os.environ.get("TAVRIN_SIM_BASE", "/var/tmp")
        self.work = tempfile.mkdtemp(prefix="tavrin-sim-", dir=base)
        os.chmod(self.work, 0o755)
        self.sim_dir = os.path.join(self.work, "sim")
        os.makedirs(os.path.join(self.sim_dir, "pins"))
        # Copies, so that a build tree under the host's /tmp (hidden in the
        # sandbox) does not matter.
        bin_dir = os.path.join(self.work, "bin")
        os.makedirs(bin_dir)
        self.daemon_binary = shutil.copy2(self.daemon_binary, bin_dir)
        self.fake_gpio = shutil.copy2(self.fake_gpio, bin_dir)
        self.traffic_bin = shutil.copy2(os.path.join(self.build_dir, "sim", "traffic"), bin_dir)
        self.holder_bin = shutil.copy2(os.path.join(self.build_dir, "sim", "holder"), bin_dir)
        self.kernel_as_bin = shutil.copy2(os.path.join(self.build_dir, "sim", "kernel_as"), bin_dir)
        self.gpio_present(True)
        self._open_log()
        self.agent = subprocess.Popen(
            ["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc", "--propagation", "private",
             sys.executable, os.path.join(HERE, "agent.py"), self.work, json.dumps(self.opts)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready = self.agent.stdout.readline()
        if not ready:
            raise RuntimeError("the sandbox failed to start")
        for n, (guest, host) in enumerate(self.files.items()):
            local = shutil.copy2(host, os.path.join(bin_dir, f"file{n}"))
            self.sh(f"mkdir -p {os.path.dirname(guest)} && cp {local} {guest}")
        return self

    def __exit__(self, *exc):
        if self.agent is not None:
            try:
                self.agent.stdin.close()
            except OSError:
                pass
            try:
                self.agent.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.agent.kill()
                self.agent.wait()
            self.agent.stdout.close()
        self._close_log()
        self._final_events = self.gpio_events()
        self._remove_cgroup()
        if self.work and not os.environ.get("TAVRIN_SIM_KEEP"):
            subprocess.run(["umount", "-R", os.path.join(self.work, "ns")], stderr=subprocess.DEVNULL)
            shutil.rmtree(self.work, ignore_errors=True)
        return False

    def _remove_cgroup(self):
        """The pids cgroup of limit_pids lives in the host's hierarchy: remove
        it once the sandbox's processes are gone."""
        name = "tavrin-" + os.path.basename(self.work or "")
        for base in ("/sys/fs/cgroup/pids", "/sys/fs/cgroup/unified", "/sys/fs/cgroup"):
            path = os.path.join(base, name)
            deadline = time.monotonic() + 3
            while os.path.isdir(path):
                try:
                    os.rmdir(path)
                except OSError:
                    if time.monotonic() > deadline:
                        break
                    time.sleep(0.05)

    # ---- the system log ----------------------------------------------------
    # The daemon's syslog() sends each message as one datagram to /dev/log,
    # the socket bound here; it blocks while the socket's queue is full, so
    # nothing it logs is lost however slowly this side reads. A collector
    # thread takes datagrams as they come (for the live demo), and every
    # query first takes whatever is still queued: a check made right after
    # the daemon's exit sees all of its messages, however far the thread
    # lags on a loaded machine. Times are the kernel's receive stamps, not
    # the moment this side got round to reading.
    def _open_log(self):
        path = os.path.join(self.work, "devlog")
        self._log_sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._log_sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self._log_sock.bind(path)
        self._log_sock.setblocking(False)
        os.chmod(path, 0o666)
        self._log_thread = threading.Thread(target=self._collect_log, daemon=True)
        self._log_thread.start()

    def _close_log(self):
        if self._log_sock is None:
            return
        self._log_done.set()
        self._log_paused.clear()
        if self._log_thread is not None:
            self._log_thread.join()
        self._drain_log()  # the sandbox's processes are gone: this is the rest
        with self._lock:
            self._log_sock.close()

    def _collect_log(self):
        while not self._log_done.is_set():
            select.select([self._log_sock], [], [], 0.05)
            self._drain_log()

    def _drain_log(self):
        """Takes every datagram queued on the log socket."""
        with self._lock:
            while self._log_sock.fileno() >= 0 and not self._log_paused.is_set():
                try:
                    data, ancillary, _, _ = self._log_sock.recvmsg(65536, socket.CMSG_SPACE(TIMESPEC.size))
                except (BlockingIOError, InterruptedError):
                    return
                self.messages.append((received_ns(ancillary), LogMessage(data.decode(errors="replace"))))

    def pause_log(self):
        """Stops taking datagrams until resume_log(): the daemon's syslog()
        then blocks once the socket's queue is full."""
        self._log_paused.set()

    def resume_log(self):
        self._log_paused.clear()

    def call(self, op, **kw):
        kw["op"] = op
        self.agent.stdin.write(json.dumps(kw) + "\n")
        self.agent.stdin.flush()
        reply = json.loads(self.agent.stdout.readline())
        if "error" in reply and op != "read":
            raise RuntimeError(f"sandbox {op}: {reply['error']}")
        return reply

    # ---- the device's state ----------------------------------------------
    def settings(self, text):
        """Writes the settings file; None removes it."""
        if text is None:
            self.remove("/opt/tavrin/etc/settings")
        else:
            self.write("/opt/tavrin/etc/settings", text)

    def write(self, path, data, mode="644"):
        self.call("write", path=path, data=data, mode=mode)

    def tool(self, path, script):
        """Installs a shell script as a tool. A name without '/' goes to
        /usr/local/sbin, first on PATH: it is found before a real program of
        that name."""
        if "/" not in path:
            path = "/usr/local/sbin/" + path
        self.write(path, "#!/bin/sh\n" + script + "\n", mode="755")

    def record_calls(self, name):
        """Puts a recorder in front of the real program `name`: each call's
        arguments are appended to /tmp/<name>.calls, then the program found
        next on PATH runs with them."""
        self.tool(name, f'echo "$*" >> /tmp/{name}.calls\nexec {self.next_on_path(name)} "$@"')

    def slow_down(self, name, seconds):
        """Puts a wrapper in front of the real program `name` that sleeps
        `seconds` first: a query that lasts, to look at the daemon while
        it runs."""
        self.tool(name, f'sleep {seconds}\nexec {self.next_on_path(name)} "$@"')

    def next_on_path(self, name):
        """The program `name` as found on PATH after the tools' folder."""
        return self.sh(f"PATH={PATH.split(':', 1)[1]} command -v {name}").strip()

    def calls(self, name):
        """The argument lists recorded for `name`, one string a call."""
        return (self.read(f"/tmp/{name}.calls") or "").splitlines()

    def remove(self, path):
        self.call("remove", path=path)

    def read(self, path):
        reply = self.call("read", path=path)
        return reply.get("data")

    def sh(self, cmd, check=True, timeout=30):
        reply = self.call("sh", cmd=cmd, timeout=timeout)
        if check and reply["status"] != 0:
            raise RuntimeError(f"sandbox sh {cmd!r}: status {reply['status']}: {reply['out']}")
        return reply["out"]

    def spawn(self, argv, argv0=None):
        """Starts a background process in the sandbox; returns its pid there."""
        return self.call("spawn", argv=argv, argv0=argv0)["pid"]

    def kill(self, pid, sig=signal.SIGTERM):
        self.call("signal", pid=pid, sig=int(sig))
        self.call("wait", pid=pid, timeout=5)

    def veth_pair(self, name, peer):
        """Creates the veth pair `name`/`peer` (both down)."""
        self.sh(f"ip link add {name} type veth peer name {peer}")

    def veth(self, name):
        """Creates interface `name` with its peer `name`p, both up."""
        self.veth_pair(name, name + "p")
        self.sh(f"ip link set {name} up && ip link set {name}p up")

    def traffic(self, iface, seconds, interval=0.05):
        """Starts sending frames out of `iface` for `seconds`; returns the pid."""
        return self.spawn([self.traffic_bin, iface, str(seconds), str(interval)])

    def traffic_cmd(self, iface, seconds, interval=0.05):
        """The shell command that sends traffic (see traffic.cpp); `seconds` 0
        sends one packet."""
        return f"{self.traffic_bin} {iface} {seconds} {interval}"

    def tun(self, name):
        """Creates tun device `name`, up."""
        self.sh(f"ip tuntap add {name} mode tun && ip link set {name} up")

    def hold(self, program, role, port):
        """Starts a process named `program` holding a TCP socket (see
        holder.cpp); returns its pid. Waits until the socket is in place."""
        pid = self.spawn([self.holder_bin, role, str(port)], argv0=program)
        state = "0A" if role != "connect" else "01"  # LISTEN / ESTABLISHED
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            table = self.read("/proc/net/tcp") or ""
            if any(f":{port:04X} " in line and f" {state} " in line for line in table.splitlines()):
                break
            time.sleep(0.02)
        return pid

    def gpio_present(self, present):
        path = os.path.join(self.sim_dir, "gpio")
        if present:
            open(path, "a").close()
        elif os.path.exists(path):
            os.unlink(path)

    def set_pin(self, name, level):
        with open(os.path.join(self.sim_dir, "pins", name + ".new"), "w") as f:
            f.write(str(level))
        os.rename(os.path.join(self.sim_dir, "pins", name + ".new"), os.path.join(self.sim_dir, "pins", name))

    # ---- the daemon ------------------------------------------------------
    def device_env(self):
        """The environment that gives a daemon started here its GPIO device:
        the preloaded stand-in."""
        return {"LD_PRELOAD": self.fake_gpio, "TAVRIN_SIM_DIR": self.sim_dir}

    def launched(self, program, argv0, kernel=None, ignore_sigchld=False):
        """(argv, argv0) that start `program` as `argv0`: through kernel_as
        (sim/kernel_as.cpp) when it is to see an older `kernel` ("4.4",
        "3.14", "3.10") or to start with SIGCHLD ignored."""
        if kernel is None and not ignore_sigchld:
            return [program], argv0
        flags = ["--ignore-sigchld"] if ignore_sigchld else []
        return [self.kernel_as_bin] + flags + [kernel or "now", program, argv0 or program], None

    def start(self, argv0=DAEMON_PATH, env=None, nofile=None, pids_max=None, closed=(), kernel=None,
              ignore_sigchld=False):
        """Starts the daemon, under umask 000 (the mode of what it makes is
        its own); `nofile` sets its descriptor limit, `pids_max` starts it
        in a pids cgroup (1: none of its forks succeed), `closed` lists
        standard descriptors it starts without; `kernel` and
        `ignore_sigchld`: see launched()."""
        environment = {"PATH": PATH, "LD_PRELOAD": self.fake_gpio, "TAVRIN_SIM_DIR": self.sim_dir}
        environment.update(env or {})
        argv, argv0 = self.launched(self.daemon_binary, argv0, kernel, ignore_sigchld)
        if self.emulator:
            if len(argv) > 1:
                raise RuntimeError("kernel_as runs on the host's sandbox and the emulated router, not under qemu-user")
            # The emulator is a host program: the preload is for the guest.
            guest_env = [arg for name in ("LD_PRELOAD", "TAVRIN_SIM_DIR", "TAVRIN_SIM_PASSTHROUGH")
                         if name in environment for arg in ("-E", f"{name}={environment.pop(name)}")]
            argv = self.emulator + ["-0", argv0] + guest_env + argv
            argv0 = None
        reply = self.call("spawn", argv=argv, argv0=argv0, env=environment,
                          out=os.path.join(self.work, "daemon.out"), nofile=nofile, pids_max=pids_max,
                          closed=list(closed), umask=0)
        self.pid, self.t0 = reply["pid"], reply["t0"]
        self.exit_status = None
        self.wait_filtered(kernel)
        return self.pid

    def wait_filtered(self, kernel):
        """Where the daemon is to see an older `kernel`, waits until it runs
        behind kernel_as's filter (its status shows "Seccomp: 2"): a
        daemon started unfiltered would prove nothing of that kernel."""
        deadline = time.monotonic() + 10
        while kernel not in (None, "now") and "Seccomp:\t2\n" not in (self.read(f"/proc/{self.pid}/status") or ""):
            if time.monotonic() > deadline:
                raise AssertionError(f"the daemon does not run filtered as {kernel}")
            time.sleep(0.02)

    def signal(self, sig):
        """Sends `sig` to the daemon. Returns when it was sent, in seconds
        since the start on the clock of the LED writes (read a moment
        before the kill), or None when the daemon had ended already."""
        sent = self.call("signal", pid=self.pid, sig=int(sig)).get("t")
        return None if sent is None else self.since_start(sent)

    def since_start(self, ns):
        """Seconds since the daemon's start of a CLOCK_MONOTONIC stamp
        taken in the machine."""
        return (ns - self.t0) / 1e9

    def stop_at(self, t, timeout=5):
        """Sends SIGTERM `t` seconds after the start; returns the exit code."""
        self.sleep_until(t)
        self.signal(signal.SIGTERM)
        return self.wait(timeout=timeout)

    def pids_cgroup(self):
        """Whether forks can be made to fail here (a pids cgroup)."""
        try:
            self.call("limit_pids", pid=1, max="max")
            return True
        except RuntimeError:
            return False

    def limit_forks(self, maximum):
        """Limits the daemon to `maximum` tasks ("max" lifts the limit): with 1
        every fork of the daemon fails."""
        self.call("limit_pids", pid=self.pid, max=maximum)

    def wait(self, timeout=10):
        """The daemon's exit code, or None if it is still running after `timeout`."""
        status = self.call("wait", pid=self.pid, timeout=timeout)["status"]
        if status is None:
            return None
        self.exit_status = os.waitstatus_to_exitcode(status)
        return self.exit_status

    def now(self):
        """Seconds since the daemon was started."""
        return (time.monotonic_ns() - self.t0) / 1e9

    def mark(self):
        """Now, in seconds since the start, on the clock of the LED writes."""
        return self.now()

    def iterations(self, mode):
        """The daemon's iterations so far (see iterations.py)."""
        ended = self._final_events is not None or self.exit_status is not None
        now = None if ended else self.mark()
        return iterations.iterations(self.led_writes(), mode, now)

    def wait_iterations(self, count, mode, since=0.0, timeout=120):
        """Waits until `count` iterations have begun after `since` (seconds
        since the start, from mark()) and written the LED; returns them."""
        deadline = time.monotonic() + timeout
        while True:
            its = iterations.after(self.iterations(mode), since)
            if len(its) >= count:
                return its
            if time.monotonic() > deadline:
                raise RuntimeError(f"{len(its)} of {count} iterations after {since:.2f}s in {timeout}s")
            time.sleep(0.05)

    def stop_after(self, count, mode, since=0.0, timeout=10):
        """Sends SIGTERM once `count` iterations have run after `since`;
        returns the exit code."""
        self.wait_iterations(count, mode, since)
        self.signal(signal.SIGTERM)
        return self.wait(timeout=timeout)

    def sleep_until(self, t):
        delay = t - self.now()
        if delay > 0:
            time.sleep(delay)

    # ---- what the device saw ---------------------------------------------
    def gpio_events(self):
        """[(seconds since start, kind, args...)] from the GPIO stand-in."""
        if self._final_events is not None:
            return self._final_events
        return parse_gpio_log(self._gpio_log(), self.t0 or 0)

    def _gpio_log(self):
        try:
            with open(os.path.join(self.sim_dir, "gpio.log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def led_writes(self):
        """[(seconds since start, level)] of every LED write of the daemon
        started last."""
        return [(e[0], int(e[2])) for e in self.gpio_events() if e[1] == "led" and e[0] >= 0]

    def led_at(self, t):
        """The LED level at `t` seconds: the last write before it, or None."""
        return level_at(self.led_writes(), t)

    def log(self):
        self._drain_log()
        with self._lock:
            return [m for _, m in self.messages]

    def log_texts(self):
        return [m.text for m in self.log()]

    def log_times(self):
        self._drain_log()
        with self._lock:
            return [((t - self.t0) / 1e9, m) for t, m in self.messages]

    def stopped_time(self):
        """Seconds since the start at which the daemon started last logged
        "stopped", or None if it did not."""
        return next((t for t, m in self.log_times() if m.text == "stopped" and m.pid == self.pid), None)

    def wait_for_log(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log_texts():
                return True
            time.sleep(0.02)
        return False
