"""The GPIO device as a kernel driver on the emulated router: the daemon's
commands cross a system call into a driver as on the device. Each command
goes through the daemon's own gpio_ioctl (the gpio_call helper) with its
edge values; the running daemon has nothing preloaded and holds the misc
device itself; the LED class device agrees with the LED; an absent device
behaves as documented."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from machine import DRIVER, DRIVER_EVENTS, EmulatedRouter  # noqa: E402

GPIO_CALL = os.environ.get("TAVRIN_GPIO_CALL", "")
LED_SET, GET = "40004203", {"out0": "80004206", "bin0": "80004207", "bin1": "8000421B", "out1": "8000422B"}
EIO, ENOTTY, ENODEV, ENOENT = 5, 25, 19, 2
BRIGHTNESS = "/sys/class/leds/tavrin:green:user/brightness"


class Driver(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = EmulatedRouter(files={"/opt/tests/gpio_call": GPIO_CALL}).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.box.__exit__(None, None, None)

    def call(self, cmd, arg=0):
        """(result, errno) of one command through gpio_ioctl."""
        result, errno = self.box.sh(f"/opt/tests/gpio_call {cmd} {arg}").split()
        return int(result), int(errno)

    def last_event(self, stamped=False):
        """The last call's last command: the line before the close with
        which gpio_call, exiting, released the device; `stamped`: with its
        clock stamp (ns) first."""
        events = [line.split() for line in (self.box.read(DRIVER_EVENTS) or "").splitlines()]
        if events[-1][1] == "close":
            events.pop()
        return events[-1] if stamped else events[-1][1:]

    def test_led_level_is_passed_as_the_argument_exactly(self):
        for level in (1, 0, -1, 2, 2147483647, -2147483648, 0):
            with self.subTest(level=level):
                # The clock the harness reads (mark(), a scenario's steps)
                # is the stamps' own: read at once after a write, it is
                # already past it.
                result, errno, now = self.box.sh(f"/opt/tests/gpio_call {LED_SET} {level}; ag_now").split()
                self.assertEqual((int(result), int(errno)), (0, 0))
                stamp, *event = self.last_event(stamped=True)
                self.assertEqual(event, ["led", str(level), LED_SET])
                self.assertGreater(int(now), int(stamp))
                self.assertEqual(self.box.read(BRIGHTNESS), "1\n" if level else "0\n")

    def test_each_read_command_returns_its_own_pin_as_the_result(self):
        levels = {"out0": 7, "bin0": 0, "bin1": 1, "out1": 2147483647}
        for pin, level in levels.items():
            self.box.set_pin(pin, level)
        for pin, level in levels.items():
            with self.subTest(pin=pin):
                self.assertEqual(self.call(GET[pin]), (level, 0))
                self.assertEqual(self.last_event(), ["get", pin, str(level), GET[pin]])

    def test_failing_read_and_unknown_commands(self):
        self.box.set_pin("bin1", "err")
        self.assertEqual(self.call(GET["bin1"]), (-1, EIO))
        self.assertEqual(self.last_event(), ["get", "bin1", "-1", GET["bin1"]])
        self.box.set_pin("bin1", 1)
        self.assertEqual(self.call(GET["bin1"]), (1, 0), "reads again once it no longer fails")
        # Another number, another direction or size, another type byte.
        for cmd in ("40004204", "80004203", "40044203", "40004303", "00004203"):
            with self.subTest(cmd=cmd):
                self.assertEqual(self.call(cmd, 1), (-1, ENOTTY))
                self.assertEqual(self.last_event(), ["unknown", cmd])

    def test_absent_device(self):
        box = self.box
        box.gpio_present(False)
        try:
            self.assertEqual(self.call(LED_SET, 1), (-1, ENODEV))
            self.assertEqual(self.last_event(), ["open", "0"])
        finally:
            box.gpio_present(True)
        self.assertEqual(box.sh("rmmod tavrin_gpio && test ! -e /dev/gpio && echo gone"), "gone\n")
        try:
            self.assertEqual(self.call(LED_SET, 1), (-1, ENOENT), "no device node at all")
        finally:
            box.sh("insmod /lib/modules/tavrin_gpio.ko && while [ ! -e /dev/gpio ]; do sleep 0.05; done")
        self.assertEqual(self.call(LED_SET, 1), (0, 0))

    def test_the_daemons_own_calls_carry_the_commands_numbers(self):
        # gpio_call above sends numbers of its own; here the numbers are the
        # ones the daemon's pin modes put in their calls, as the driver got
        # them (a wrong number would be answered ENOTTY and logged unknown).
        box = self.box
        box.tool("/usr/bin/io", "echo 1\nexit 1")
        for mode, pin in ((1, "bin0"), (2, "bin1"), (3, "out0"), (4, "out1")):
            with self.subTest(mode=mode):
                box.set_pin(pin, 0)
                box.settings(f"MOD_TAVRIN_MODE={mode}\n")
                box.start()
                self.assertEqual(box.stop_after(4, mode), 0)
                calls = [e[1:] for e in box.gpio_events() if e[0] >= 0 and e[1] in ("led", "get", "unknown")]
                # The first iteration probes the pin through the I/O tool;
                # every later one reads it through the driver.
                reads = [call for call in calls if call[0] == "get"]
                self.assertGreaterEqual(len(reads), 3, f"mode {mode} read {pin} through the driver: {calls}")
                for call in calls:
                    if call[0] == "led":
                        self.assertEqual(call[2], LED_SET, call)
                    else:
                        self.assertEqual(call[:2] + call[3:], ("get", pin, GET[pin]), call)

    def test_the_running_daemon_holds_the_driver_with_nothing_preloaded(self):
        box = self.box
        box.tool("/usr/bin/io", "echo 1\nexit 1")
        box.set_pin("out0", 1)
        box.settings("MOD_TAVRIN_MODE=3\n")
        box.start()
        try:
            box.wait_iterations(3, 3)
            pid = box.pid
            environ = box.sh(f"tr '\\0' '\\n' < /proc/{pid}/environ")
            self.assertNotIn("LD_PRELOAD", environ)
            self.assertNotIn("TAVRIN_SIM", environ)
            maps = box.read(f"/proc/{pid}/maps")
            self.assertNotIn("fakegpio", maps)
            # The build under test (TAVRIN_ROUTER_LIBC): the static one maps
            # no library at all, the musl one musl's C library (its own
            # loader) alone, the glibc one glibc's.
            libraries = {line.split()[-1] for line in maps.splitlines() if ".so" in line}
            libc = os.environ.get("TAVRIN_ROUTER_LIBC", "glibc")
            if libc == "glibc":
                self.assertIn("/lib/arm-linux-gnueabihf/libc.so.6", libraries)
            else:
                self.assertEqual(libraries, {"static": set(), "musl": {"/lib/arm-linux-musleabihf/libc.so"}}[libc])
            held = box.sh(f"for fd in /proc/{pid}/fd/*; do [ \"$(readlink $fd)\" = /dev/gpio ] && echo $fd; done; true")
            self.assertEqual(len(held.split()), 1, "one descriptor of the device")
            # The misc devices' major number is 10.
            self.assertEqual(box.sh("stat -L -c '%F %t' /dev/gpio"), "character special file a\n")
            self.assertEqual(box.read(BRIGHTNESS), "1\n")
            box.set_pin("out0", 0)
            box.wait_iterations(2, 3, since=box.mark())
            self.assertEqual(box.read(BRIGHTNESS), "0\n")
        finally:
            box.signal(15)
            self.assertEqual(box.wait(timeout=10), 0)
        events = [e for e in box.gpio_events() if e[0] >= 0]  # since the daemon's start
        gets = [e for e in events if e[1] == "get"]
        self.assertTrue(gets and all(e[2] == "out0" for e in gets), "the daemon read out0 through the driver")
        # Held to the end, the device is released by the daemon's exit:
        # the harness times the daemon's end by that line.
        self.assertEqual(events[-1][1:], ("close", str(pid)))


class StuckDriver(unittest.TestCase):
    """A tool stuck in the driver: with the driver's `stuck` switch set, the
    router's I/O tool sleeps uninterruptibly in its pin read (state D), and
    not even SIGKILL ends it until the switch is cleared, as with a driver
    waiting on a stuck bus. The daemon ends its query after the stop grace,
    gives up on it a moment later and exits, leaving the tool to init."""
    INIT_SCRIPT = os.path.join(os.environ.get("TAVRIN_BUILD", ""), "tavrind.init")

    def stuck_tools(self, box):
        """The pids of I/O tools asleep in the driver."""
        out = box.sh("for p in /proc/[0-9]*; do read -r pid comm state rest < $p/stat 2>&- && "
                     "[ \"$comm $state\" = '(io) D' ] && echo $pid; done; true")
        return [int(p) for p in out.split()]

    def wait_stuck(self, box, count):
        deadline = time.monotonic() + 60
        while len(self.stuck_tools(box)) < count:
            self.assertLess(time.monotonic(), deadline, f"fewer than {count} I/O tools stuck in the driver")
            time.sleep(0.1)

    def test_the_daemon_ends_and_restarts_while_its_tool_cannot_die(self):
        with EmulatedRouter() as box:
            box.settings("MOD_TAVRIN_MODE=1\n")
            box.run(f"echo Y > {DRIVER}/stuck")
            box.start()
            self.wait_stuck(box, 1)
            # Timed in the guest: the signal, then until the daemon has
            # ended (a zombie, or reaped by its parent, the guest's shell),
            # for 10 s at most.
            status, out = box.run(
                f"t0=$(ag_now); kill -TERM {box.pid}; i=0; "
                f"while [ \"$(cut -d' ' -f3 /proc/{box.pid}/stat 2>&-)\" = S ] && [ $i -lt 500 ]; do "
                "sleep 0.02; i=$((i + 1)); done; echo $(( $(ag_now) - t0 ))", timeout=30)
            took = int(out.split()[-1]) / 1e9
            print(f"ended {took:.2f} s after SIGTERM, its tool stuck in the driver")
            self.assertEqual(box.wait(timeout=10), 0)
            self.assertEqual(box.log_texts(), ["started", "stopped"])
            # The grace (2 s) and the wait for the ended tool (0.5 s): 2.53
            # to 2.62 s measured, polled every 20 ms.
            self.assertGreater(took, 2.5, "the query had its grace, the tool its moment to end")
            self.assertLess(took, 2.7, "the daemon waited on a tool that cannot die")
            self.assertEqual(len(self.stuck_tools(box)), 1, "the tool is still stuck, left to init")

            # The start script: start, then restart while the new daemon's
            # probe is stuck too.
            with open(self.INIT_SCRIPT) as f:
                box.write("/tmp/tavrind.init", f.read(), mode="755")
            init = f"DAEMON={box.daemon_path} PIDFILE=/tmp/tavrind.pid /tmp/tavrind.init"
            self.assertEqual(box.run(f"{init} start")[0], 0)
            first = int(box.read("/tmp/tavrind.pid"))
            self.wait_stuck(box, 2)
            status, out = box.run(f"{init} restart", timeout=60)
            self.assertEqual(status, 0, out)
            second = int(box.read("/tmp/tavrind.pid"))
            self.assertNotEqual(second, first)
            self.assertEqual(box.run(f"{init} status")[1], "running\n")

            box.run(f"echo N > {DRIVER}/stuck")
            deadline = time.monotonic() + 30
            while box.sh("pidof io; true").strip():
                self.assertLess(time.monotonic(), deadline, "clearing the switch did not end the stuck tools")
                time.sleep(0.1)
            self.assertEqual(box.run(f"{init} stop")[0], 0)
            self.assertEqual(box.log_texts(), ["started", "stopped"] * 3)


if __name__ == "__main__":
    harness.main_router()
