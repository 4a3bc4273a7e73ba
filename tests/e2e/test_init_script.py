"""The installed start script: it puts the daemon in the background, keeps
its pid, and stops it with SIGTERM. Run by the host's /bin/sh in the
sandbox, and by BusyBox's ash on the emulated router (TAVRIN_MACHINE=router)."""
import os
import time
import unittest

import harness

SCRIPT = os.path.join(os.environ.get("TAVRIN_BUILD", os.path.join(harness.ROOT, "build")), "tavrind.init")


class InitScript(unittest.TestCase):
    def setUp(self):
        with open(SCRIPT) as f:
            self.script = f.read()

    def prepare(self, box, mode=16):
        box.settings(f"MOD_TAVRIN_MODE={mode}\n")
        box.write("/tmp/tavrind.init", self.script, mode="755")
        device = " ".join(f"{name}={value}" for name, value in box.device_env().items())
        env = f"{device} DAEMON={box.daemon_binary} PIDFILE=/tmp/tavrind.pid"
        return lambda action: box.call("sh", cmd=f"{env} /tmp/tavrind.init {action}")

    def daemons(self, box):
        """The pids of the daemons running now: processes of the daemon's
        program, less a daemon's child caught between its fork and its exec."""
        out = box.sh(f"for p in /proc/[0-9]*; do [ \"$(readlink $p/exe)\" = {box.daemon_binary} ] && "
                     "echo ${p#/proc/} $(sed -n 's/^PPid:[[:space:]]*//p' $p/status); done; true")
        found = dict(tuple(int(x) for x in line.split()) for line in out.splitlines() if len(line.split()) == 2)
        return sorted(pid for pid, parent in found.items() if parent not in found)

    def test_start_status_stop_restart(self):
        with harness.Machine() as box:
            init = self.prepare(box)
            started = time.monotonic()
            self.assertEqual(init("start")["status"], 0)
            self.assertLess(time.monotonic() - started, 3, "start returns at once")
            pid = int(box.read("/tmp/tavrind.pid"))
            self.assertEqual(self.daemons(box), [pid])
            self.assertEqual(init("status")["out"], "running\n")
            self.assertIn("already running", init("start")["out"])
            self.assertEqual(self.daemons(box), [pid], "no second daemon")
            time.sleep(1.5)
            self.assertEqual(init("restart")["status"], 0)
            restarted = int(box.read("/tmp/tavrind.pid"))
            self.assertNotEqual(restarted, pid)
            self.assertEqual(self.daemons(box), [restarted])
            self.assertEqual(init("stop")["status"], 0)
            self.assertIsNone(box.read("/tmp/tavrind.pid"), "pid file removed")
            self.assertEqual(self.daemons(box), [])
            self.assertEqual(init("status")["status"] >> 8, 3)
            self.assertEqual(init("stop")["status"], 0, "stopping a stopped daemon is no failure")
            log = box.log()
            writes = box.led_writes()
        self.assertEqual([m.text for m in log], ["started", "stopped"] * 2)
        self.assertEqual([m.pid for m in log], [pid, pid, restarted, restarted])
        self.assertTrue(all(m.ident == "tavrind" for m in log))
        self.assertGreaterEqual(len(writes), 2, "the daemon ran its mode in the background")

    def test_stale_pid_file_does_not_keep_start_from_running_the_daemon(self):
        with harness.Machine() as box:
            init = self.prepare(box)
            other = box.spawn(["/bin/sleep", "1000"])
            gone = box.spawn(["/bin/true"])
            box.call("wait", pid=gone, timeout=10)
            for stale, what in ((gone, "a process that is gone"), (other, "another program's process")):
                with self.subTest(pid_file=what):
                    box.write("/tmp/tavrind.pid", f"{stale}\n")
                    self.assertEqual(init("status")["status"] >> 8, 3)
                    reply = init("start")
                    self.assertNotIn("already running", reply["out"])
                    pid = int(box.read("/tmp/tavrind.pid"))
                    self.assertEqual(self.daemons(box), [pid])
                    self.assertEqual(init("stop")["status"], 0)
                    self.assertEqual(self.daemons(box), [])
            self.assertEqual(box.read(f"/proc/{other}/comm"), "sleep\n", "the other program was left alone")


    def test_stop_and_restart_while_the_daemon_waits_on_a_tool_that_never_ends(self):
        with harness.Machine() as box:
            # Scripted: an I/O tool stuck on its driver.
            box.tool("/usr/bin/io", "sleep 1000 | cat")
            init = self.prepare(box, mode=3)
            self.assertEqual(init("start")["status"], 0)
            time.sleep(1)
            self.assertEqual(init("restart")["status"], 0, "the hung daemon stopped within the script's 5 s")
            time.sleep(1)
            self.assertEqual(init("stop")["status"], 0)
            self.assertEqual(self.daemons(box), [])
            self.assertEqual(box.sh("grep -lx sleep /proc/[0-9]*/comm; true"), "", "the tool's processes were ended")
            self.assertEqual([m.text for m in box.log()], ["started", "stopped"] * 2)


if __name__ == "__main__":
    harness.main()
