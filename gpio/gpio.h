// The device's GPIO character device: the user LED and the pin read commands.
#pragma once

#include <sys/ioctl.h>

inline constexpr const char* GPIO_DEVICE = "/dev/gpio";

// Device commands in the kernel's standard encoding, type 'B' and size 0
// (the level travels as the argument or the result, not through memory).
// The read commands return the pin level as the ioctl result; the LED
// command takes the level as its argument.
inline constexpr unsigned long GPIO_LED_SET = _IOC(_IOC_WRITE, 'B', 3, 0);
inline constexpr unsigned long GPIO_GET_OUT0 = _IOC(_IOC_READ, 'B', 6, 0);
inline constexpr unsigned long GPIO_GET_BIN0 = _IOC(_IOC_READ, 'B', 7, 0);
inline constexpr unsigned long GPIO_GET_BIN1 = _IOC(_IOC_READ, 'B', 27, 0);
inline constexpr unsigned long GPIO_GET_OUT1 = _IOC(_IOC_READ, 'B', 43, 0);
// The values the device's driver answers to.
static_assert(GPIO_LED_SET == 0x40004203UL && GPIO_GET_OUT0 == 0x80004206UL && GPIO_GET_BIN0 == 0x80004207UL &&
              GPIO_GET_BIN1 == 0x8000421BUL && GPIO_GET_OUT1 == 0x8000422BUL);

// Issues `cmd` on the device, opening it first if it is not open yet (a failed
// open is tried again on the next call). Returns the ioctl result, or -1 when
// the device cannot be opened.
int gpio_ioctl(unsigned long cmd, int arg);

// Sets the user LED: 0 = off, 1 = on; any other level goes to the device as is.
int led_set(int level);

// Traffic blink: four times off 125 ms, on 125 ms. Takes one second and leaves
// the LED on.
void blink_activity();
