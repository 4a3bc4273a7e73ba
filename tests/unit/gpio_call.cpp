// Issues one GPIO device command through the daemon's own gpio_ioctl and
// prints "<result> <errno>" (errno 0 when the call succeeded), for the
// driver test on the emulated router:  gpio_call CMD ARG  (CMD in hex).
#include "gpio/gpio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const unsigned long cmd = std::strtoul(argv[1], nullptr, 16);
    const int arg = static_cast<int>(std::strtol(argv[2], nullptr, 10));
    errno = 0;
    const int result = gpio_ioctl(cmd, arg);
    std::printf("%d %d\n", result, result < 0 ? errno : 0);
    return 0;
}
