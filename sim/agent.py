#!/usr/bin/env python3
"""The simulated router's process 1.

Started by sandbox.py through `unshare --mount --net --pid --fork --mount-proc`,
it gives the namespaces the router's file system layout, then obeys one JSON
command per line on standard input and answers each with one JSON line on
standard output. It reaps every process of the namespace; when its input
closes, it exits and the kernel ends everything left in the namespace.
"""
import json
import os
import resource
import select
import signal
import stat
import subprocess
import sys
import time

WORK = sys.argv[1]
OPTS = json.loads(sys.argv[2])
CGROUP_NAME = "tavrin-" + os.path.basename(WORK)
exited = {}  # pid -> raw wait status, for every process that ended


def sh(cmd):
    subprocess.run(cmd, shell=True, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def pids_group(maximum):
    """The sandbox's pids cgroup, limited to `maximum` tasks ("max": no
    limit): a process in it cannot fork once the group holds that many."""
    root = os.path.join(WORK, "ns", "pids")
    if not os.path.ismount(root):
        os.makedirs(root, exist_ok=True)
        try:
            sh(f"mount -t cgroup -o pids pids {root}")
        except subprocess.CalledProcessError:
            sh(f"mount -t cgroup2 cgroup2 {root}")
            with open(os.path.join(root, "cgroup.subtree_control"), "w") as f:
                f.write("+pids")
    group = os.path.join(root, CGROUP_NAME)
    os.makedirs(group, exist_ok=True)
    with open(os.path.join(group, "pids.max"), "w") as f:
        f.write(str(maximum))
    return group


def join_group(group, pid):
    with open(os.path.join(group, "cgroup.procs"), "w") as f:
        f.write(str(pid))


def setup():
    ns = os.path.join(WORK, "ns")
    os.makedirs(ns, exist_ok=True)
    sh(f"mount -t tmpfs sandbox {ns}")
    # Private /tmp and the module's settings folder.
    sh("mount -t tmpfs tmp /tmp && chmod 1777 /tmp")
    sh("mount -t tmpfs opt /opt && mkdir -p /opt/tavrin/etc")
    # Private /run: the control sockets and pid files of the daemons that
    # run in the sandbox (charon, openvpn, hostapd, wpa_supplicant).
    sh("mount -t tmpfs run /run")
    # Tools at their absolute paths: writable layers over the host's folders.
    for folder in ("/usr/bin", "/usr/sbin", "/usr/libexec"):
        name = folder.strip("/").replace("/", "_")
        upper, wk = f"{ns}/{name}.up", f"{ns}/{name}.wk"
        os.makedirs(upper)
        os.makedirs(wk)
        sh(f"mount -t overlay overlay -o lowerdir={folder},upperdir={upper},workdir={wk} {folder}")
    # A tool installed by bare name goes first on PATH, ahead of any real
    # program of that name the machine has in /usr/sbin or /usr/bin.
    sh("mount -t tmpfs tools /usr/local/sbin")
    setup_dev()
    # sysfs shows the interfaces of the namespace that mounts it.
    sh("mount -t sysfs sysfs /sys")
    sh("mount -t tmpfs serial /proc/tty/driver")
    sh("ip link set lo up")
    # No IPv6 autoconfiguration chatter: interface counters move only with
    # the traffic a test sends.
    sh("sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1")
    if not OPTS.get("dev_null", True):
        os.unlink("/dev/null")  # last: the set-up above needs it


def setup_dev():
    """A /dev of our own: the system log socket is the harness's, and a fault
    case can leave out /dev/null."""
    sh("mount -t tmpfs dev /dev")
    nodes = {"null": (1, 3), "zero": (1, 5), "full": (1, 7), "random": (1, 8), "urandom": (1, 9), "tty": (5, 0)}
    for name, (major, minor) in nodes.items():
        os.mknod(f"/dev/{name}", 0o666 | stat.S_IFCHR, os.makedev(major, minor))
        os.chmod(f"/dev/{name}", 0o666)
    os.makedirs("/dev/net")
    os.mknod("/dev/net/tun", 0o666 | stat.S_IFCHR, os.makedev(10, 200))
    os.makedirs("/dev/shm")
    os.symlink("/proc/self/fd", "/dev/fd")
    for i, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink(f"/proc/self/fd/{i}", f"/dev/{name}")
    os.symlink(os.path.join(WORK, "devlog"), "/dev/log")


def reap():
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        exited[pid] = status


def wait_for(pid, timeout):
    deadline = time.monotonic() + timeout
    while pid not in exited:
        reap()
        if pid in exited or time.monotonic() > deadline:
            break
        time.sleep(0.005)
    return exited.get(pid)


def spawn_in_group(argv, args, env, out, group):
    """Starts a process that enters `group` before it execs, so a fork limit
    holds from its first instruction."""
    pid = os.fork()
    if pid == 0:
        try:
            null = "/dev/null" if os.path.exists("/dev/null") else "/proc/self/cmdline"
            os.dup2(os.open(null, os.O_RDONLY), 0)
            os.dup2(os.open(out, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644), 1)
            os.dup2(1, 2)
            join_group(group, os.getpid())
            os.execvpe(argv[0], args, env)
        finally:
            os._exit(127)
    return pid


def spawn(argv, argv0=None, env=None, out=None, nofile=None, pids_max=None, closed=(), umask=None):
    """Starts a process; `closed`: standard descriptors it starts without;
    `umask`: its file-creation mask, where not this agent's."""
    if umask is not None:
        saved = os.umask(umask)
        try:
            return spawn(argv, argv0, env, out, nofile, pids_max, closed)
        finally:
            os.umask(saved)
    out = out or os.path.join(WORK, "spawn.out")
    if pids_max is not None:
        args = [argv0 or argv[0]] + list(argv[1:])
        return spawn_in_group(argv, args, env if env is not None else os.environ, out, pids_group(pids_max))
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, "/dev/null" if os.path.exists("/dev/null") else "/proc/self/cmdline", os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, out, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644),
        (os.POSIX_SPAWN_DUP2, 1, 2),
    ] + [(os.POSIX_SPAWN_CLOSE, fd) for fd in closed]
    args = [argv0 or argv[0]] + list(argv[1:])
    if nofile is None:
        return os.posix_spawnp(argv[0], args, env if env is not None else os.environ, file_actions=actions)
    # The child inherits the limit in force when it is created.
    saved = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, saved[1]))
    try:
        return os.posix_spawnp(argv[0], args, env if env is not None else os.environ, file_actions=actions)
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, saved)


def handle(cmd):
    op = cmd["op"]
    if op == "spawn":
        t0 = time.monotonic_ns()
        pid = spawn(cmd["argv"], cmd.get("argv0"), cmd.get("env"), cmd.get("out"), cmd.get("nofile"),
                    cmd.get("pids_max"), cmd.get("closed", ()), cmd.get("umask"))
        return {"pid": pid, "t0": t0}
    if op == "signal":
        t = time.monotonic_ns()
        try:
            os.kill(cmd["pid"], cmd["sig"])
        except ProcessLookupError:
            return {"gone": True}  # it has ended (and been reaped) already
        return {"t": t}
    if op == "wait":
        return {"status": wait_for(cmd["pid"], cmd.get("timeout", 10))}
    if op == "sh":
        out = os.path.join(WORK, "sh.out")
        pid = spawn(["/bin/sh", "-c", cmd["cmd"]], out=out)
        status = wait_for(pid, cmd.get("timeout", 30))
        with open(out, "rb") as f:
            text = f.read().decode(errors="replace")
        os.unlink(out)
        return {"status": status, "out": text}
    if op == "write":
        path = cmd["path"]
        os.makedirs(os.path.dirname(path), exist_ok=True)
        tmp = path + ".new"
        with open(tmp, "wb") as f:
            f.write(cmd["data"].encode("latin-1"))
        os.chmod(tmp, int(cmd.get("mode", "644"), 8))
        os.rename(tmp, path)
        return {}
    if op == "remove":
        try:
            os.unlink(cmd["path"])
        except FileNotFoundError:
            pass
        return {}
    if op == "read":
        try:
            with open(cmd["path"], "rb") as f:
                return {"data": f.read().decode("latin-1")}
        except OSError as e:
            return {"error": e.strerror}
    if op == "limit_pids":
        join_group(pids_group(cmd["max"]), cmd["pid"])
        return {}
    if op == "now":
        return {"t": time.monotonic_ns()}
    raise ValueError(f"unknown op {op}")


def main():
    setup()
    signal.signal(signal.SIGCHLD, signal.SIG_DFL)
    print(json.dumps({"ready": True}), flush=True)
    stdin = sys.stdin.buffer
    while True:
        ready, _, _ = select.select([stdin], [], [], 0.05)
        reap()
        if not ready:
            continue
        line = stdin.readline()
        if not line:
            return
        cmd = json.loads(line)
        try:
            reply = handle(cmd)
        except Exception as e:  # report, keep serving
            reply = {"error": f"{type(e).__name__}: {e}"}
        print(json.dumps(reply), flush=True)


if __name__ == "__main__":
    main()
