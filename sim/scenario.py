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
  timeline   [{at: seconds, <action>, then: [levels], settling: level,
              note: text}]: each step runs no earlier than `at` and only
             once the iterations the step before it expects have run; a
             step that ends late delays the later ones by as much.
             `settling`: for a change that shows bit by bit as it is
             made, the level the iterations that ran meanwhile may show
             (after the old one); `then` then counts from the first
             iteration after it. Actions:
               pin {pin: level} | gpio true/false | tool {path: script} |
               write {path: text} | remove path | sh command |
               spawn {name, argv, argv0} | kill name | signal INT/TERM/QUIT |
               traffic {iface, seconds[, interval]}: frames out of iface
               (send out of namep for the daemon's name to receive them;
               a tun device receives the packets itself) |
               await "traffic": waits until the traffic has ended |
               hold {name, program, role, port}: a process named `program`
               holding a TCP socket (see holder.cpp); `kill name` ends it |
               <peer> [action, args...]: calls that method of the peer,
               e.g. "ipsec": ["up", "ipsec1"], "openvpn": ["ping"]
  expect     exit        exit status (the daemon must have ended)
             log         [text] or [[severity, text]]: the whole log in order
             first       [levels] the iterations show before the first step
             (and each step's `then`: the levels of the iterations that
             began once it was done, until the next step began; see
             iterations.py: the last level holds for every later one; a
             level is 0, 1, "blink", or "on" for steady on or a blink)
             gpio_opened false: the daemon never opened the GPIO device
             lines       {path: [min, max]}: lines in a file of the sandbox
             gets        how many pin reads reached the GPIO device
"""
import glob
import json
import os
import signal

import iterations
from peers import IpsecPeers, OpenVpnPeers, WiredWifi
from sandbox import LOG_DAEMON, LOG_ERR, LOG_NOTICE, DAEMON_PATH, Sandbox

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
        spawned["traffic"] = box.traffic(t["iface"], t["seconds"], t.get("interval", 0.05))
    if "await" in step:
        box.call("wait", pid=spawned.pop(step["await"]), timeout=60)
    if "hold" in step:
        h = step["hold"]
        spawned[h["name"]] = box.hold(h["program"], h["role"], h["port"])
    for name, peer in peers.items():
        if name in step:
            action, *args = step[name]
            getattr(peer, action)(*args)
    if "signal" in step:
        box.signal(getattr(signal, "SIG" + step["signal"]))


def run(scenario, on_step=None, build_dir=None, machine=Sandbox, on_start=None):
    """Runs the scenario in a fresh `machine` (the host's sandbox, or the
    emulated router); returns (box, exit status or None). The box is
    closed: its recorded LED writes and log stay readable. `on_start(box)`
    is called once the daemon has started, `on_step(box, step)` after each
    step of the timeline.

    The timeline follows the daemon: before each step it waits for the
    iterations the previous step (or `expect.first`) names, and a step
    that ends late (a peer that takes seconds to come up, a machine under
    load) delays every later step by as much, so the gaps between steps
    stay as written. box.steps records when each step began and was done,
    on the clock of the LED writes, for check()."""
    spawned = {}
    mode = scenario.get("mode", 0)
    with machine(build_dir, **scenario.get("sandbox", {})) as box:
        setup = scenario.get("setup", {})
        peers = prepare(box, setup)
        box.start(argv0=setup.get("argv0", DAEMON_PATH))
        if on_start:
            on_start(box)
        timeline = sorted(scenario.get("timeline", []), key=lambda s: s["at"])
        slip = 0.0
        box.steps = []
        waiting = (0.0, len(scenario.get("expect", {}).get("first", [])))
        for step in timeline:
            box.wait_iterations(waiting[1], mode, since=waiting[0])
            box.sleep_until(step["at"] + slip)
            slip = max(slip, box.now() - step["at"])
            began = box.mark()
            apply(box, step, spawned, peers)
            done = box.mark()
            slip = max(slip, box.now() - step["at"])
            box.steps.append((began, done))
            waiting = (done, len(step.get("then", [])))
            if on_step:
                on_step(box, step)
        box.wait_iterations(waiting[1], mode, since=waiting[0])
        status = box.wait(timeout=scenario.get("wait", 10))
        box.line_counts = {path: count_lines(box.read(path)) for path in scenario.get("expect", {}).get("lines", {})}
        if status is None:
            box.signal(signal.SIGKILL)
            box.wait(timeout=5)
        box.still_running = status is None
    return box, status


class Stage:
    """Where a scenario runs: the host's sandbox, or (`emulated`) the
    emulated ARM router."""

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
        return run(self.scenario, machine=self.router.for_scenario(self.scenario), **kw)

    def check(self, box, status):
        return check(self.scenario, box, status)


def count_lines(text):
    return 0 if not text else text.count("\n")


def check(scenario, box, status):
    """The expectations the run missed, as readable lines (empty: it
    passed)."""
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
    mode = scenario.get("mode", 0)
    its = iterations.iterations(box.led_writes(), mode)
    # Every stretch of the run, after a step that names its levels or not.
    for it in iterations.broken(its):
        problems.append(f"LED written again {it.first:.3f}s, less than its sleep after the write before")
    timeline = sorted(scenario.get("timeline", []), key=lambda s: s["at"])
    steps = getattr(box, "steps", [])
    # The level shown before each step, where the step before it (or
    # `first`) names it.
    shown = expect["first"][-1] if expect.get("first") else None
    if "first" in expect:
        until = steps[0][0] if steps else None
        wrong = iterations.mismatch(iterations.after(its, 0.0, until), expect["first"])
        if wrong:
            problems.append(f"LED before the first step: {wrong}")
    for n, step in enumerate(timeline):
        if "then" not in step or n >= len(steps):
            shown = None
            continue
        began, done = steps[n]
        until = steps[n + 1][0] if n + 1 < len(steps) else None
        wrong = iterations.mismatch_after_change(its, began, done, until, step["then"], shown,
                                                 step.get("settling"))
        if wrong:
            problems.append(f"LED after the step at {step['at']}s ({step.get('note', '')}): {wrong}")
        shown = step["then"][-1]
    wrong = iterations.timing_mismatch(its, mode, box.TIMING)
    if wrong:
        problems.append(f"LED: {wrong}")
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
