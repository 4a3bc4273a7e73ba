"""Scenarios: one description of a run of the daemon in the simulated router,
used both by the end-to-end tests and by the demo.

A scenario is a JSON file in sim/scenarios/:
  title      what it shows, in a line
  mode       the mode it exercises (the demo picks scenarios by it)
  demo       true for the mode's demo scenario
  sandbox    options for Sandbox (dev_null)
  setup      the device before the daemon starts:
               settings  text of the settings file (null: no file)
               gpio      false: no GPIO device
               pins      {pin: level}
               tools     {path or name: shell script body}
               files     {path: text}
               veth      [names]: veth pairs name/namep, both up
               tun       [names]: tun devices, up
               sh        [commands run in the sandbox]
               argv0     the name the daemon is started under
               peers     {name: {options}}: real programs for the mode to
                         ask (see peers.py): "ipsec" (strongSwan),
                         "openvpn", "wifi" (hostapd and wpa_supplicant)
  timeline   [{at: seconds, <action>, note: text}], actions:
               pin {pin: level} | gpio true/false | tool {path: script} |
               write {path: text} | remove path | sh command |
               spawn {name, argv, argv0} | kill name | signal INT/TERM/QUIT |
               traffic {iface, seconds[, interval]}: frames out of iface
               (send out of namep for the daemon's name to receive them;
               a tun device receives the packets itself) |
               hold {name, program, role, port}: a process named `program`
               holding a TCP socket (see holder.cpp); `kill name` ends it |
               <peer> [action, args...]: calls that method of the peer,
               e.g. "ipsec": ["up", "ipsec1"], "openvpn": ["ping"]
  expect     exit        exit status (the daemon must have ended)
             log         [text] or [[severity, text]]: the whole log in order
             led         [[t, level]]: the LED level at t seconds
             gpio_opened false: the daemon never opened the GPIO device
             lines       {path: [min, max]}: lines in a file of the sandbox
             gets        how many pin reads reached the GPIO device
"""
import glob
import json
import os
import signal

from peers import IpsecPeers, OpenVpnPeers, WiredWifi
from sandbox import LOG_DAEMON, LOG_ERR, LOG_NOTICE, DAEMON_PATH, Sandbox, level_at

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIO_DIR = os.path.join(HERE, "scenarios")
SEVERITIES = {"err": LOG_ERR, "notice": LOG_NOTICE}
PEERS = {"ipsec": IpsecPeers, "openvpn": OpenVpnPeers, "wifi": WiredWifi}


def load(path):
    with open(path) as f:
        scenario = json.load(f)
    scenario.setdefault("name", os.path.splitext(os.path.basename(path))[0])
    return scenario


def all_scenarios():
    return [load(p) for p in sorted(glob.glob(os.path.join(SCENARIO_DIR, "*.json")))]


def peer_classes(scenario):
    return [PEERS[name] for name in scenario.get("setup", {}).get("peers", {})]


def missing(scenario):
    """Why this machine cannot run the scenario's real peers, or None."""
    reasons = [why for why in (cls.missing() for cls in peer_classes(scenario)) if why]
    return "missing " + ", ".join(reasons) if reasons else None


def versions(scenario):
    """The versions of the real programs the scenario runs."""
    found = {}
    for cls in peer_classes(scenario):
        found.update(cls.versions())
    return found


def prepare(box, setup):
    box.settings(setup.get("settings"))
    box.gpio_present(setup.get("gpio", True))
    for pin, level in setup.get("pins", {}).items():
        box.set_pin(pin, level)
    for path, script in setup.get("tools", {}).items():
        box.tool(path, script)
    for path, text in setup.get("files", {}).items():
        box.write(path, text)
    for name in setup.get("veth", []):
        box.veth(name)
    for name in setup.get("tun", []):
        box.tun(name)
    for cmd in setup.get("sh", []):
        box.sh(cmd)
    return {name: PEERS[name](box, **options) for name, options in setup.get("peers", {}).items()}


def apply(box, step, spawned, peers):
    if "pin" in step:
        for pin, level in step["pin"].items():
            box.set_pin(pin, level)
    if "gpio" in step:
        box.gpio_present(step["gpio"])
    for path, script in step.get("tool", {}).items():
        box.tool(path, script)
    for path, text in step.get("write", {}).items():
        box.write(path, text)
    if "remove" in step:
        box.remove(step["remove"])
    if "sh" in step:
        box.sh(step["sh"])
    if "spawn" in step:
        s = step["spawn"]
        spawned[s["name"]] = box.spawn(s["argv"], s.get("argv0"))
    if "kill" in step:
        box.kill(spawned.pop(step["kill"]))
    if "traffic" in step:
        t = step["traffic"]
        box.traffic(t["iface"], t["seconds"], t.get("interval", 0.05))
    if "hold" in step:
        h = step["hold"]
        spawned[h["name"]] = box.hold(h["program"], h["role"], h["port"])
    for name, peer in peers.items():
        if name in step:
            action, *args = step[name]
            getattr(peer, action)(*args)
    if "signal" in step:
        box.signal(getattr(signal, "SIG" + step["signal"]))


def run(scenario, on_step=None, build_dir=None, machine=Sandbox, on_start=None, elastic=False):
    """Runs the scenario in a fresh `machine` (the host's sandbox, or the
    emulated router); returns (box, exit status or None). The box is
    closed: its recorded LED writes and log stay readable. `on_start(box)`
    is called once the daemon has started, `on_step(box, step)` after each
    step of the timeline.

    `elastic`: a step that ends later than its time (a peer that takes
    seconds to come up on a slow machine) delays every later step by as
    much, so the gaps between steps stay as written; box.slips records the
    delay in force from each step's time on, for check()."""
    spawned = {}
    with machine(build_dir, **scenario.get("sandbox", {})) as box:
        setup = scenario.get("setup", {})
        peers = prepare(box, setup)
        box.start(argv0=setup.get("argv0", DAEMON_PATH))
        if on_start:
            on_start(box)
        timeline = sorted(scenario.get("timeline", []), key=lambda s: s["at"])
        slip = 0.0
        box.slips = []
        for step in timeline:
            box.sleep_until(step["at"] + slip)
            apply(box, step, spawned, peers)
            if elastic:
                slip = max(slip, box.now() - step["at"])
            box.slips.append((step["at"], slip))
            if on_step:
                on_step(box, step)
        status = box.wait(timeout=scenario.get("wait", 10))
        box.line_counts = {path: count_lines(box.read(path)) for path in scenario.get("expect", {}).get("lines", {})}
        if status is None:
            box.signal(signal.SIGKILL)
            box.wait(timeout=5)
        box.still_running = status is None
    return box, status


class Stage:
    """Where a scenario runs: the host's sandbox, or (`emulated`) the
    emulated ARM router, whose timeline is elastic and whose LED may show a
    level later by a lag taken from the run (router/machine.py)."""

    def __init__(self, scenario, emulated=False):
        self.scenario = scenario
        self.router = None
        if emulated:
            import machine  # the emulated router: sim/router on the path
            self.router = machine

    def missing(self):
        """Why the scenario cannot run here, or None."""
        if self.router is None:
            return missing(self.scenario)
        return self.router.unavailable() or self.router.lacks(self.scenario)

    def versions(self):
        """{program: version} of the real programs the scenario runs."""
        if self.router is None:
            return versions(self.scenario)
        return self.router.peer_versions(self.scenario)

    def run(self, **kw):
        """run() on this stage's machine; the same keywords."""
        if self.router is None:
            return run(self.scenario, **kw)
        return run(self.scenario, machine=self.router.for_scenario(self.scenario), elastic=True, **kw)

    def check(self, box, status):
        """check() with this stage's LED lag."""
        lag = 0.0 if self.router is None else self.router.led_lag(box, self.scenario)
        return check(self.scenario, box, status, lag=lag)


def count_lines(text):
    return 0 if not text else text.count("\n")


def levels_shown(writes, t, lag):
    """The LED levels shown at some moment from `t` to `t` + `lag` seconds."""
    return {level_at(writes, t)} | {level for when, level in writes if t < when <= t + lag}


def slip_at(box, t):
    """How late the timeline ran from its time `t` on (see run)."""
    return next((slip for at, slip in reversed(getattr(box, "slips", [])) if at <= t), 0.0)


def check(scenario, box, status, lag=0.0):
    """The expectations the run missed, as readable lines (empty: it passed).
    `lag`: how much later than at its time an LED level may show (a slower
    machine shows each state later; 0 on the host). An LED expectation moves
    with the timeline's delays (elastic runs)."""
    expect = scenario.get("expect", {})
    problems = []
    if "exit" in expect and status != expect["exit"]:
        problems.append(f"exit status {status}, expected {expect['exit']}"
                        + (" (still running, killed)" if box.still_running else ""))
    if "log" in expect:
        want = [(e if isinstance(e, list) else ["notice", e]) for e in expect["log"]]
        got = box.log()
        texts = [m.text for m in got]
        if texts != [text for _, text in want]:
            problems.append(f"log {texts}, expected {[text for _, text in want]}")
        else:
            for msg, (severity, _) in zip(got, want):
                if msg.priority != LOG_DAEMON | SEVERITIES[severity]:
                    problems.append(f"priority of {msg.raw!r} is not daemon.{severity}")
                if msg.ident != "tavrind" and "ident" not in expect:
                    problems.append(f"identity of {msg.raw!r}")
                if msg.pid != box.pid:
                    problems.append(f"pid of {msg.raw!r} is not the daemon's ({box.pid})")
        if "ident" in expect:
            problems += [f"identity of {m.raw!r}" for m in got if m.ident != expect["ident"]]
    writes = box.led_writes()
    for t, level in expect.get("led", []):
        slip = slip_at(box, t)
        seen = levels_shown(writes, t + slip, lag)
        if level not in seen:
            late = f" (timeline {slip:.2f}s late)" if slip else ""
            within = f" (or up to {lag:.2f}s later)" if lag else ""
            problems.append(f"LED at {t}s{late}{within} is {'/'.join(map(str, seen))}, expected {level}")
    if expect.get("gpio_opened") is False and any(e[1] == "open" for e in box.gpio_events()):
        problems.append("the GPIO device was opened")
    if "gets" in expect:
        gets = sum(1 for e in box.gpio_events() if e[1] == "get")
        if gets != expect["gets"]:
            problems.append(f"{gets} pin reads reached the GPIO device, expected {expect['gets']}")
    for path, (low, high) in expect.get("lines", {}).items():
        n = box.line_counts[path]
        if not low <= n <= high:
            problems.append(f"{path} has {n} lines, expected {low} to {high}")
    return problems
