// SPDX-License-Identifier: GPL-2.0
/*
 * The emulated router's GPIO device: what the daemon's "/dev/gpio" answers
 * on the router, as a kernel driver, so that its commands cross a system
 * call into a driver as they do on the device.
 *
 * A misc character device named "gpio" (/dev/gpio through devtmpfs) whose
 * ioctl answers the platform's five commands:
 *   0x40004203 set the user LED: the level is the argument, stored as
 *              passed (any int); returns 0;
 *   0x80004206, 0x80004207, 0x8000421B, 0x8000422B read out0, bin0, bin1,
 *              out1: the pin's level is the call's result, or EIO for a
 *              pin set to fail;
 *   anything else: ENOTTY.
 * The LED is also an LED class device, /sys/class/leds/tavrin:green:user,
 * whose brightness is 1 while the last level written was nonzero.
 *
 * The guest's shell sets the device up through the module's parameters in
 * /sys/module/tavrin_gpio/parameters: present (0: an open fails with ENODEV,
 * as when the device is missing), out0, bin0, bin1, out1 (pin levels) and
 * failing (pins whose reads fail, a mask: 1 out0, 2 bin0, 4 bin1, 8 out1),
 * and stuck: while it is set, a pin read sleeps uninterruptibly (state D,
 * deaf even to SIGKILL) until it is cleared, as a driver waiting on a stuck
 * bus does.
 * Every open, LED write, pin read and last close is logged in
 * /sys/kernel/debug/tavrin_gpio/events, one line each stamped with
 * CLOCK_MONOTONIC nanoseconds:
 *   <ns> open 1|0
 *   <ns> led <level> <command, in hex>
 *   <ns> get <pin> <level, or -1 for a failed read> <command, in hex>
 *   <ns> stuck <pin> (a read that sleeps until stuck is cleared)
 *   <ns> unknown <command, in hex> (answered ENOTTY)
 *   <ns> close <pid of the process whose close released the device>
 * A process that holds the device to its end releases it as it exits, so
 * its close line stamps that exit to the clock's precision.
 * Writing anything to that file empties it.
 * /sys/kernel/debug/tavrin_gpio/now reads that clock as it was when the
 * file was opened ("<ns>\n"), so that a test places a moment of its own
 * among the events to the nanosecond, however the reader splits its reads.
 */
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/leds.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/timekeeping.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>
#include <linux/wait.h>

#define GPIO_LED_SET 0x40004203u
#define EVENTS_SIZE (1 << 20)

static bool present = true;
module_param(present, bool, 0644);
static int out0, bin0, bin1, out1;
module_param(out0, int, 0644);
module_param(bin0, int, 0644);
module_param(bin1, int, 0644);
module_param(out1, int, 0644);
static int failing;
module_param(failing, int, 0644);

static bool stuck;
static DECLARE_WAIT_QUEUE_HEAD(unstuck);

static int stuck_set(const char *value, const struct kernel_param *kp)
{
	int err = param_set_bool(value, kp);

	if (!err && !READ_ONCE(stuck))
		wake_up_all(&unstuck);
	return err;
}

static const struct kernel_param_ops stuck_ops = {
	.set = stuck_set,
	.get = param_get_bool,
};
module_param_cb(stuck, &stuck_ops, &stuck, 0644);

struct pin_command {
	unsigned int cmd;
	const char *name;
	int *level;
	int fail_bit;
};

static const struct pin_command pins[] = {
	{ 0x80004206u, "out0", &out0, 1 },
	{ 0x80004207u, "bin0", &bin0, 2 },
	{ 0x8000421Bu, "bin1", &bin1, 4 },
	{ 0x8000422Bu, "out1", &out1, 8 },
};

static int led_level;
static char *events;
static size_t events_len;
static DEFINE_MUTEX(events_lock);
static struct dentry *debug_dir;

static __printf(1, 2) void record(const char *fmt, ...)
{
	va_list ap;
	int n;

	mutex_lock(&events_lock);
	n = scnprintf(events + events_len, EVENTS_SIZE - events_len, "%llu ", ktime_get_ns());
	va_start(ap, fmt);
	n += vscnprintf(events + events_len + n, EVENTS_SIZE - events_len - n, fmt, ap);
	va_end(ap);
	/* A line that does not fit whole is dropped. */
	if (events_len + n + 1 < EVENTS_SIZE) {
		events[events_len + n] = '\n';
		events_len += n + 1;
	}
	mutex_unlock(&events_lock);
}

static enum led_brightness led_get(struct led_classdev *led)
{
	return READ_ONCE(led_level) != 0;
}

static void led_set(struct led_classdev *led, enum led_brightness value)
{
	WRITE_ONCE(led_level, value != 0);
}

static struct led_classdev user_led = {
	.name = "tavrin:green:user",
	.max_brightness = 1,
	.brightness_get = led_get,
	.brightness_set = led_set,
};

static int gpio_open(struct inode *inode, struct file *file)
{
	record("open %d", present ? 1 : 0);
	return present ? 0 : -ENODEV;
}

static int gpio_release(struct inode *inode, struct file *file)
{
	record("close %d", task_tgid_vnr(current));
	return 0;
}

static long gpio_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	size_t i;

	if (cmd == GPIO_LED_SET) {
		/* The level travels as the argument; store it as the int it was. */
		int level = (int)arg;

		WRITE_ONCE(led_level, level);
		user_led.brightness = level != 0;
		record("led %d %08X", level, cmd);
		return 0;
	}
	for (i = 0; i < ARRAY_SIZE(pins); i++) {
		if (cmd == pins[i].cmd) {
			if (READ_ONCE(stuck)) {
				record("stuck %s", pins[i].name);
				/* Uninterruptible: no signal ends this sleep. */
				wait_event(unstuck, !READ_ONCE(stuck));
			}
			if (READ_ONCE(failing) & pins[i].fail_bit) {
				record("get %s -1 %08X", pins[i].name, cmd);
				return -EIO;
			}
			record("get %s %d %08X", pins[i].name, READ_ONCE(*pins[i].level), cmd);
			return READ_ONCE(*pins[i].level);
		}
	}
	record("unknown %08X", cmd);
	return -ENOTTY;
}

static const struct file_operations gpio_fops = {
	.owner = THIS_MODULE,
	.open = gpio_open,
	.release = gpio_release,
	.unlocked_ioctl = gpio_ioctl,
	.llseek = noop_llseek,
};

static struct miscdevice gpio_device = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "gpio",
	.fops = &gpio_fops,
	.mode = 0666,
};

static ssize_t events_read(struct file *file, char __user *buf, size_t len, loff_t *pos)
{
	ssize_t n;

	mutex_lock(&events_lock);
	n = simple_read_from_buffer(buf, len, pos, events, events_len);
	mutex_unlock(&events_lock);
	return n;
}

static ssize_t events_write(struct file *file, const char __user *buf, size_t len, loff_t *pos)
{
	mutex_lock(&events_lock);
	events_len = 0;
	mutex_unlock(&events_lock);
	return len;
}

static const struct file_operations events_fops = {
	.owner = THIS_MODULE,
	.read = events_read,
	.write = events_write,
	.llseek = default_llseek,
};

/* The stamp is taken once, at open: a shell's read builtin reads a byte
 * at a time, and every byte must come from the same moment. */
static int now_open(struct inode *inode, struct file *file)
{
	char *text = kmalloc(24, GFP_KERNEL);

	if (!text)
		return -ENOMEM;
	scnprintf(text, 24, "%llu\n", ktime_get_ns());
	file->private_data = text;
	return 0;
}

static ssize_t now_read(struct file *file, char __user *buf, size_t len, loff_t *pos)
{
	const char *text = file->private_data;

	return simple_read_from_buffer(buf, len, pos, text, strlen(text));
}

static int now_release(struct inode *inode, struct file *file)
{
	kfree(file->private_data);
	return 0;
}

static const struct file_operations now_fops = {
	.owner = THIS_MODULE,
	.open = now_open,
	.read = now_read,
	.release = now_release,
	.llseek = default_llseek,
};

static int __init tavrin_gpio_init(void)
{
	int err;

	events = vmalloc(EVENTS_SIZE);
	if (!events)
		return -ENOMEM;
	err = misc_register(&gpio_device);
	if (err)
		goto free_events;
	err = led_classdev_register(gpio_device.this_device, &user_led);
	if (err)
		goto deregister;
	debug_dir = debugfs_create_dir("tavrin_gpio", NULL);
	debugfs_create_file("events", 0644, debug_dir, NULL, &events_fops);
	debugfs_create_file("now", 0444, debug_dir, NULL, &now_fops);
	return 0;

deregister:
	misc_deregister(&gpio_device);
free_events:
	vfree(events);
	return err;
}

static void __exit tavrin_gpio_exit(void)
{
	debugfs_remove_recursive(debug_dir);
	led_classdev_unregister(&user_led);
	misc_deregister(&gpio_device);
	vfree(events);
}

module_init(tavrin_gpio_init);
module_exit(tavrin_gpio_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("The emulated router's GPIO device: user LED and I/O pins");
