#include "gpio/pins.h"

#include "gpio/gpio.h"
#include "spawn/spawn.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

namespace {
struct pin_entry {
    const char* name;      // as the I/O tool knows it
    unsigned long read_cmd;  // 0: no reader
    pin_support support;
};

pin_entry pin_table[] = {
    {"bin0", GPIO_GET_BIN0, PIN_SUPPORT_UNPROBED},
    {"bin1", GPIO_GET_BIN1, PIN_SUPPORT_UNPROBED},
    {"bin2", 0, PIN_SUPPORT_UNPROBED},
    {"bin3", 0, PIN_SUPPORT_UNPROBED},
    {"out0", GPIO_GET_OUT0, PIN_SUPPORT_UNPROBED},
    {"out1", GPIO_GET_OUT1, PIN_SUPPORT_UNPROBED},
};

// Moves a descriptor to 3 or above. The probe needs both pipe ends there:
// the runner ignores 0 and 2 as a child's output and never closes them, so a
// write end left at 2 would keep the pipe open and the read would block.
bool lift_above_stdio(int& fd)
{
    if (fd > 2)
        return true;
    const int lifted = fcntl(fd, F_DUPFD, 3);
    close(fd);
    fd = lifted;
    return lifted >= 0;
}

bool open_probe_pipe(int fds[2])
{
    if (pipe(fds) != 0)
        return false;
    const bool read_ok = lift_above_stdio(fds[0]);
    const bool write_ok = lift_above_stdio(fds[1]);
    if (read_ok && write_ok)
        return true;
    if (read_ok)
        close(fds[0]);
    if (write_ok)
        close(fds[1]);
    return false;
}
}  // namespace

int pin_probe(pin_id pin)
{
    pin_entry& entry = pin_table[pin];
    int fds[2];
    if (!open_probe_pipe(fds)) {
        syslog(LOG_ERR, "gpio: cannot create pipe when checking support for %s", entry.name);
        return -1;
    }
    redirect_stdout(fds[1]);
    const int status = run_program(IO_TOOL, "get", entry.name, nullptr);

    // The tool has ended, so its output is all in the pipe (or the fork
    // failed and the closed write end gives end of file at once).
    char first = 0;
    const ssize_t got = read(fds[0], &first, 1);
    close(fds[0]);
    if (got < 0) {
        syslog(LOG_ERR, "gpio: read error when checking support for %s", entry.name);
        return -1;
    }
    if (got == 0 || (first != '0' && first != '1')) {
        entry.support = PIN_SUPPORT_NONE;
        return -1;
    }
    entry.support = PIN_SUPPORT_IOCTL;
    return (status >> 8) & 0xFF;
}

int pin_read(pin_id pin)
{
    const pin_entry& entry = pin_table[pin];
    int level = 0;
    switch (entry.support) {
    case PIN_SUPPORT_IOCTL:
        level = entry.read_cmd != 0 ? gpio_ioctl(entry.read_cmd, 0) : 0;
        break;
    case PIN_SUPPORT_NONE:
        return 0;
    case PIN_SUPPORT_UNPROBED:
        level = pin_probe(pin);
        break;
    }
    return level >= 0 ? level : 0;
}

pin_support pin_support_of(pin_id pin)
{
    return pin_table[pin].support;
}

step_result mode_bin0_low() { return show_level(pin_read(PIN_BIN0) == 0 ? 1 : 0); }
step_result mode_bin1_low() { return show_level(pin_read(PIN_BIN1) == 0 ? 1 : 0); }
step_result mode_out0() { return show_level(pin_read(PIN_OUT0)); }
step_result mode_out1() { return show_level(pin_read(PIN_OUT1)); }
