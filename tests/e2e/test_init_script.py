"""The installed start script: it puts the daemon in the background, keeps
its pid, and stops it with SIGTERM."""
import os
import time
import unittest

import harness
from sandbox import Sandbox

SCRIPT = os.path.join(os.environ.get("TAVRIN_BUILD", os.path.join(harness.ROOT, "build")), "tavrind.init")


class InitScript(unittest.TestCase):
    def test_start_status_stop(self):
        with open(SCRIPT) as f:
            script = f.read()
        with Sandbox() as box:
            box.settings("MOD_TAVRIN_MODE=16\n")
            box.write("/tmp/tavrind.init", script, mode="755")
            env = (f"LD_PRELOAD={box.fake_gpio} TAVRIN_SIM_DIR={box.sim_dir} "
                   f"DAEMON={box.daemon_binary} PIDFILE=/tmp/tavrind.pid")
            started = time.monotonic()
            box.sh(f"{env} /tmp/tavrind.init start")
            self.assertLess(time.monotonic() - started, 2, "start returns at once")
            pid = int(box.read("/tmp/tavrind.pid"))
            self.assertEqual(box.sh(f"{env} /tmp/tavrind.init status"), "running\n")
            self.assertIn("already running", box.sh(f"{env} /tmp/tavrind.init start"))
            self.assertEqual(int(box.read("/tmp/tavrind.pid")), pid, "no second daemon")
            time.sleep(1.5)
            box.sh(f"{env} /tmp/tavrind.init stop")
            self.assertIsNone(box.read("/tmp/tavrind.pid"), "pid file removed")
            self.assertEqual(box.call("sh", cmd=f"{env} /tmp/tavrind.init status")["status"] >> 8, 3)
            log = box.log()
            writes = box.led_writes()
        self.assertEqual([m.text for m in log], ["started", "stopped"])
        self.assertTrue(all(m.pid == pid and m.ident == "tavrind" for m in log))
        self.assertGreaterEqual(len(writes), 2, "the daemon ran its mode in the background")


if __name__ == "__main__":
    harness.main()
