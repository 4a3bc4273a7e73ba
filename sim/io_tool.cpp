// The router's I/O tool, standing in for the platform's own on the emulated
// router: "io get <pin>" reads the pin through the GPIO device, the same
// driver the daemon reads, prints 1 or 0 and exits with the level. A pin it
// does not know, a read that fails or a missing device: nothing printed,
// exit code 1 (the pin does not exist).
#include "gpio/gpio.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    struct {
        const char* name;
        unsigned long cmd;
    } constexpr pins[] = {{"out0", GPIO_GET_OUT0}, {"bin0", GPIO_GET_BIN0}, {"bin1", GPIO_GET_BIN1},
                          {"out1", GPIO_GET_OUT1}};
    if (argc != 3 || std::strcmp(argv[1], "get") != 0)
        return 1;
    for (const auto& pin : pins) {
        if (std::strcmp(argv[2], pin.name) != 0)
            continue;
        const int fd = open(GPIO_DEVICE, O_RDWR);
        const int level = fd < 0 ? -1 : ioctl(fd, pin.cmd, 0);
        if (level < 0)
            return 1;
        std::printf("%d\n", level != 0 ? 1 : 0);
        return level & 0xFF;
    }
    return 1;
}
