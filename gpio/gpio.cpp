#include "gpio/gpio.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>

namespace {
// Descriptor of the open device, -1 until an open succeeds; never closed.
std::atomic<int> gpio_fd{-1};
// Spin lock around the lazy open: 0 = free, 1 = held.
std::atomic<uint32_t> gpio_lock{0};

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

int gpio_device()
{
    while (gpio_lock.exchange(1, std::memory_order_acquire) != 0) {
    }
    if (gpio_fd.load(std::memory_order_relaxed) < 0)
        gpio_fd.store(open(GPIO_DEVICE, O_RDWR), std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    int fd = gpio_fd.load(std::memory_order_relaxed);
    gpio_lock.store(0, std::memory_order_relaxed);
    return fd;
}
}  // namespace

int gpio_ioctl(unsigned long cmd, int arg)
{
    int fd = gpio_device();
    if (fd < 0)
        return -1;
    // The device reads the argument as a register-wide value.
    return ioctl(fd, cmd, static_cast<long>(arg));
}

int led_set(int level)
{
    return gpio_ioctl(GPIO_LED_SET, level);
}

void blink_activity()
{
    constexpr timespec step = {0, 125000000};
    for (int i = 0; i < 4; ++i) {
        led_set(0);
        nanosleep(&step, nullptr);
        led_set(1);
        nanosleep(&step, nullptr);
    }
}
