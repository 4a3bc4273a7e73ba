"""Faults around the capturing modes' answers (modes 11, 13, 14 and 16), each
mode on one machine with its real status source up, under each kernel in
TAVRIN_KERNEL (the daemon started through sim/kernel_as.cpp; "now", the
default, is this machine's own): names planted in /tmp, /tmp full,
read-only and missing, standard descriptors closed, a stop while a tool
hangs after part of its answer, and a tool that never ends. What the LED
shows is what the tool answered, whatever the state of /tmp; the capture's
name only ever holds the whole answer of a query that ended by itself; a
name that cannot be published costs no descriptor."""
import os
import re
import signal
import time
import unittest

import harness
from harness import Machine, timed

KERNELS = os.environ.get("TAVRIN_KERNEL", "now").split()
# The tool each mode asks first, and what it prints before it hangs (on a
# dead peer, a stuck bus): scripted, as no real tool can be made to hang
# halfway on purpose. Mode 11's station list comes straight from
# hostapd_cli: part of a station's address. The others' answers are what
# grep lets through, which it writes in blocks: lines enough for several
# blocks to reach the daemon, the last one cut.
HANG = 17310  # the hung tool's sleep, in seconds: told from any other sleep by it
HUNG_TOOL = {11: "hostapd_cli", 13: "ifconfig", 14: "/usr/libexec/ipsec/stroke", 16: "netstat"}
PART = {11: "printf 02:00:00:",
        13: "yes 'tun0 RX bytes:5' | head -n 3000",
        14: "yes 'Security Associations (9 up, 0 connecting):' | head -n 3000",
        16: "yes 'tcp 0 0 0.0.0.0:4 0.0.0.0:* LISTEN 7/zelbarin' | head -n 3000"}


class CapturingModes(unittest.TestCase):
    KINDS = ("link", "fifo", "foreign", "own hard link", "hard link", "empty folder", "folder")
    VICTIM = "do not touch\n"

    def test_mode_11(self):
        self.each_kernel(11)

    def test_mode_13(self):
        self.each_kernel(13)

    def test_mode_14(self):
        self.each_kernel(14)

    def test_mode_16(self):
        self.each_kernel(16)

    def each_kernel(self, mode):
        path = harness.CAPTURES[mode]
        with Machine() as box:
            harness.skip_without_peers(self, mode)
            box.settings(f"MOD_TAVRIN_MODE={mode}\n")
            harness.status_up(box, mode)
            for kernel in KERNELS:
                self.kernel = None if kernel == "now" else kernel
                for fault in (self.planted_names, self.unusable_tmp, self.stop_during_an_answer,
                              self.without_standard_descriptors):
                    with self.subTest(kernel=kernel, fault=fault.__name__):
                        fault(box, mode, path)
                    if box.pid is not None and box.wait(timeout=0) is None:
                        box.signal(signal.SIGKILL)  # a fault that failed midway
                        box.wait()
                    self.clean(box, mode, path)

    def clean(self, box, mode, path):
        """The machine as it was, after a fault that failed midway: /tmp
        writable with nothing of the test's left (the removed folder mounted
        over it taken away), the mode's tool itself again."""
        box.sh("touch /tmp/.probe 2>/dev/null || umount -l /tmp; "
               f"rm -rf /tmp/.probe {path} /tmp/filler /tmp/victim /tmp/second-name /run/hang /run/silent")
        self.unwrap(box, HUNG_TOOL[mode])

    # ---- checks ---------------------------------------------------------------
    def own_log(self, box):
        """What the daemon started last logged."""
        return [m.text for m in box.log() if m.pid == box.pid]

    def shows_status_since(self, box, mode, t):
        self.assertIsNone(harness.mismatch_between(box, mode, t, None, harness.on_level(mode)))

    def published(self, box, mode, path):
        """The name holds a whole answer: a plain file of the daemon's with
        one name, mode 0644, and what the status source answers."""
        self.assertEqual(box.sh(f"stat -c '%F %h %u %a' {path}"), "regular file 1 0 644\n")
        self.assertRegex(box.read(path) or "", re.compile(harness.CAPTURED[mode], re.M))

    def nothing_left_beside(self, box, path):
        self.assertEqual(box.sh("ls -A /tmp | grep tavrin; true"), os.path.basename(path) + "\n",
                         "a copy of the daemon's left beside the name")

    def answered_level(self, box, mode):
        """The level the mode's tool answers for now. hostapd_cli (mode 11)
        makes its control socket in /tmp: without a /tmp to make it in, it
        reaches no access point and lists no station, and the LED is to show
        that. The other modes' tools do not use /tmp."""
        if mode != 11:
            return harness.on_level(mode)
        listing = box.sh("hostapd_cli -i wlan0 all_sta 2>/dev/null; true")
        return harness.on_level(mode) if len(listing) > 1 else 0

    def descriptors(self, box):
        """The daemon's open descriptors (the shell's glob only reads the folder)."""
        return int(box.sh(f"set -- /proc/{box.pid}/fd/*; echo $#"))

    def descriptors_after_iterations(self, box, mode, count):
        """The daemon's descriptors after each of the next `count` iterations,
        counted just after its LED write, while it sleeps its period with
        no query under way."""
        counts = []
        for _ in range(count):
            box.wait_iterations(1, mode, since=box.mark())
            counts.append(self.descriptors(box))
        return counts

    # ---- names planted in /tmp ---------------------------------------------------
    def plant(self, box, path, kind):
        """Puts `kind` at `path` in one step, whatever the daemon is doing:
        made at another name and renamed over the capture, or (an empty
        folder) made in place, again if the daemon's next answer came
        first."""
        box.write("/tmp/victim", self.VICTIM)
        if kind == "own hard link":
            box.sh(f"ln {path} /tmp/second-name")
            return
        if kind == "empty folder":
            box.sh(f"for i in $(seq 20); do rm -f {path}; mkdir {path} 2>/dev/null && break; done")
            return
        if kind == "folder":
            # Filled elsewhere and moved in whole: an empty folder standing
            # at the name for a moment would be removed by the daemon.
            box.sh(f"mkdir /tmp/planted && echo kept > /tmp/planted/inside && "
                   f"for i in $(seq 20); do rm -f {path}; mv /tmp/planted {path} 2>/dev/null && break; done")
            return
        make = {"link": "ln -s /tmp/victim /tmp/planted", "hard link": "ln /tmp/victim /tmp/planted",
                "fifo": "mkfifo /tmp/planted",
                "foreign": "echo 'planted by another user' > /tmp/planted && chown 65534:65534 /tmp/planted"}[kind]
        box.sh(f"{make} && mv -f /tmp/planted {path}")

    def planted_names(self, box, mode, path):
        """Another local user puts something at a capture's name in /tmp,
        before the daemon starts (any user can, at every boot) or while it
        runs: the status shows all the same, and the answer is published by
        renaming a fresh file over the name, so nothing planted is written
        through. A folder with files in it stays (the answer is not
        published there, and that costs no descriptor); an empty one is
        removed. Each kind is planted in turn, the folder again last."""
        self.plant(box, path, "folder")
        box.start(kernel=self.kernel)
        counts = self.descriptors_after_iterations(box, mode, 5)
        self.assertEqual(counts, counts[:1] * 5, "descriptors after each iteration with a folder at the name")
        self.shows_status_since(box, mode, 0)
        self.assertEqual(box.read(f"{path}/inside"), "kept\n")
        box.sh(f"rm -r {path}")
        for kind in self.KINDS:
            with self.subTest(planted=kind):
                planted = timed(box, lambda: self.plant(box, path, kind))
                box.wait_iterations(1, mode, since=planted[1])
                self.shows_status_since(box, mode, planted[1])
                self.assertEqual(box.read("/tmp/victim"), self.VICTIM, "written through the planted name")
                if kind == "folder":
                    self.assertEqual(box.read(f"{path}/inside"), "kept\n")
                else:
                    self.published(box, mode, path)
                if kind == "own hard link":
                    self.assertIsNotNone(box.read("/tmp/second-name"), "the old capture keeps its other name")
        self.assertEqual(box.stop_after(0, mode), 0)
        self.assertEqual(self.own_log(box), ["started", "stopped"])
        if not harness.emulated():  # there the harness's probes share the router's one CPU with it
            self.assertIsNone(harness.timing_mismatch(box, mode))

    # ---- /tmp full, read-only, missing ---------------------------------------------
    def unusable_tmp(self, box, mode, path):
        """/tmp full, then read-only, then gone (a removed folder mounted
        over it: nothing can be made there, as without /tmp): the status
        shows all the same, whatever the device's grep does with a write it
        cannot make, and the daemon's descriptors stay as they were over
        the iterations that could not publish. Once /tmp is back, the name
        is current again with the next query."""
        box.start(kernel=self.kernel)
        box.wait_iterations(1, mode)
        box.remove(path)
        used = int(box.sh("df -k /tmp | awk 'NR == 2 { print $3 }'"))
        states = [
            ("full", f"mount -o remount,size={used + 256}k /tmp && "
                     "{ dd if=/dev/zero of=/tmp/filler bs=4k 2>/dev/null; true; }",
             "rm /tmp/filler && mount -o remount,size=50% /tmp"),
            # A read-only mount of it on top: remounting /tmp itself would
            # wait for the daemon's copy, open for writing, to close.
            ("read-only", "mount -o bind /tmp /tmp && mount -o remount,bind,ro /tmp", "umount /tmp"),
            ("missing", "mkdir /run/gone && mount -o bind /run/gone /tmp && rmdir /run/gone", "umount -l /tmp"),
        ]
        counts = []
        for state, make, undo in states:
            with self.subTest(tmp=state):
                made = timed(box, lambda: box.sh(make))
                try:
                    counts += self.descriptors_after_iterations(box, mode, 2)
                    level = self.answered_level(box, mode)
                    self.assertIsNone(harness.mismatch_between(box, mode, made[1], None, level))
                    self.assertIsNone(box.read(path), f"published with /tmp {state}")
                finally:
                    box.sh(undo)
        self.assertEqual(counts, counts[:1] * len(counts), "descriptors after each iteration that could not publish")
        restored = box.mark()
        box.wait_iterations(1, mode, since=restored)
        self.published(box, mode, path)
        self.assertEqual(box.stop_after(1, mode, since=box.mark()), 0)
        self.shows_status_since(box, mode, restored)
        self.assertEqual(self.own_log(box), ["started", "stopped"])
        self.nothing_left_beside(box, path)

    # ---- a stop while a tool hangs ---------------------------------------------------
    def stop_during_an_answer(self, box, mode, path):
        """A tool that hangs after part of its answer, then a stop: the
        query is ended after the grace, and the name keeps the last whole
        answer, not the part. A tool that never ends, from the start: the
        name keeps what it held, and nothing is shown."""
        tool = HUNG_TOOL[mode]
        real = self.wrap(box, tool)
        box.tool(tool, f'[ -e /run/hang ] || exec {real} "$@"\n'
                       f'[ -e /run/silent ] || {PART[mode]}\nexec sleep {HANG}')
        box.start(kernel=self.kernel)
        box.wait_iterations(1, mode)
        box.sh("touch /run/hang")
        self.wait_for_hang(box)
        before = box.read(path)
        self.assertRegex(before or "", re.compile(harness.CAPTURED[mode], re.M))
        harness.stop_while_hung(self, box, [])
        self.assert_hung_tool_ended(box)
        self.assertEqual(box.read(path), before, "the part of an answer was published")
        self.nothing_left_beside(box, path)

        box.sh("touch /run/silent")
        box.start(kernel=self.kernel)
        self.wait_for_hang(box)
        harness.stop_while_hung(self, box, [])
        self.assert_hung_tool_ended(box)
        self.assertEqual(self.own_log(box), ["started", "stopped"])
        self.assertEqual(box.led_writes(), [], "an LED write from the ended query")
        self.assertEqual(box.read(path), before)
        self.nothing_left_beside(box, path)
        box.sh("rm /run/hang /run/silent")
        self.unwrap(box, tool)

    def hung(self, box):
        """The pids of the hung tools (their sleep, told from any other by
        its argument)."""
        return box.sh("for p in /proc/[0-9]*; do "
                      f"[ \"$(tr '\\0' ' ' < $p/cmdline 2>/dev/null)\" = 'sleep {HANG} ' ] && echo ${{p#/proc/}}; "
                      "done; true").split()

    def assert_hung_tool_ended(self, box):
        """The daemon killed the hung tool with its query: SIGKILL sent, it
        is gone a moment later (on a loaded machine it may not have run to
        its end by the time the daemon has); one left running stays."""
        deadline = time.monotonic() + 2
        while self.hung(box) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.hung(box), [], "the hung tool was left running")

    def wait_for_hang(self, box):
        deadline = time.monotonic() + 30
        while not self.hung(box):
            self.assertLess(time.monotonic(), deadline, "no query hung in 30 s")
            time.sleep(0.1)

    def wrap(self, box, tool):
        """Makes room for a wrapper in front of `tool`; the real one's path.
        A tool the daemon names by path is moved aside; one it finds on
        PATH is shadowed from the tools' folder."""
        if "/" not in tool:
            return box.next_on_path(tool)
        box.sh(f"mv {tool} {tool}.real")
        return f"{tool}.real"

    def unwrap(self, box, tool):
        """The tool itself again, whether it was wrapped or not."""
        if "/" in tool:
            box.sh(f"if [ -e {tool}.real ]; then mv {tool}.real {tool}; fi")
        else:
            box.sh(f"rm -f /usr/local/sbin/{tool}")

    # ---- standard descriptors closed ---------------------------------------------------
    def without_standard_descriptors(self, box, mode, path):
        """Started with standard descriptors closed, the daemon still reads
        its answers and publishes them: the pipe and the copy never become
        its own 0, 1 or 2. The log socket takes the lowest free descriptor
        at start, so the first pipe would land on 2 with (1, 2) or (0, 2)
        closed, on 1 with all three closed. Looked at while a query runs,
        once its copy is made: the tool that writes the answer into the
        pipe (grep, where the mode's tool's output goes through it) made to
        end a second after it has written."""
        slowed = "hostapd_cli" if mode == 11 else "grep"
        real = self.wrap(box, slowed)
        box.tool(slowed, f'{real} "$@"\nstatus=$?\nsleep 1\nexit $status')
        for closed in ((1, 2), (0, 2), (0, 1, 2)):
            with self.subTest(closed=closed):
                box.remove(path)
                box.start(closed=closed, kernel=self.kernel)
                held = self.query_descriptors(box, path)
                self.assertTrue(all(fd > 2 for fd in held), f"the answer's pipe or copy at {held}")
                self.assertEqual(box.stop_after(1, mode), 0)
                self.assertEqual(self.own_log(box), ["started", "stopped"])
                self.shows_status_since(box, mode, 0)
                self.published(box, mode, path)
        self.unwrap(box, slowed)

    def query_descriptors(self, box, path):
        """The daemon's descriptors of a query's pipe and copy, once a query
        runs: pipes beside the log socket and the GPIO device, and the copy
        beside the capture's name."""
        copy = re.compile(rf"^(\d+) (pipe:|{re.escape(path)}\.)")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            listing = box.sh(f"for fd in /proc/{box.pid}/fd/*; do echo ${{fd##*/}} $(readlink $fd); done; true")
            held = [int(m.group(1)) for m in map(copy.match, listing.splitlines()) if m]
            if len(held) >= 2:
                return held
            time.sleep(0.1)
        self.fail("no query with its pipe and copy open in 30 s")


if __name__ == "__main__":
    harness.main()
