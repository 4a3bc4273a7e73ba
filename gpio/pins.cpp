#include "gpio/pins.h"

#include "gpio/gpio.h"
#include "spawn/spawn.h"

#include <syslog.h>
#include <unistd.h>

namespace {
struct pin_entry {
    char name[5];  // as the I/O tool knows it
    pin_support support;
};

pin_entry pin_table[] = {
    {"bin0", PIN_SUPPORT_UNPROBED},
    {"bin1", PIN_SUPPORT_UNPROBED},
    {"bin2", PIN_SUPPORT_UNPROBED},
    {"bin3", PIN_SUPPORT_UNPROBED},
    {"out0", PIN_SUPPORT_UNPROBED},
    {"out1", PIN_SUPPORT_UNPROBED},
};

// The GPIO read command of the pins that have a reader; 0 for the others.
constexpr unsigned long read_command(pin_id pin)
{
    switch (pin) {
    case PIN_BIN0: return GPIO_GET_BIN0;
    case PIN_BIN1: return GPIO_GET_BIN1;
    case PIN_OUT0: return GPIO_GET_OUT0;
    case PIN_OUT1: return GPIO_GET_OUT1;
    default: return 0;
    }
}

}  // namespace

int pin_probe(pin_id pin)
{
    pin_entry& entry = pin_table[pin];
    // Read without blocking: the tool has ended when it is read, so its
    // answer is all there, and a write end still held (by a tool stuck in
    // its driver, given up on after a stop, or by a process the tool left
    // behind) must not hold the daemon.
    int fds[2];
    if (!open_child_pipe(fds)) {
        syslog(LOG_ERR, "gpio: cannot create pipe when checking support for %s", entry.name);
        return -1;
    }
    redirect_stdout(fds[1]);
    const query_result probe = run_query(nullptr, IO_TOOL, "get", entry.name, nullptr);
    if (probe.end == query_end::abandoned) {
        close(fds[0]);
        return PIN_PROBE_ABANDONED;
    }

    // The tool has ended, so its output is all in the pipe (or the fork
    // failed and the closed write end gives end of file at once). Nothing
    // there with the write end still held reads as an error.
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
    return (probe.status >> 8) & 0xFF;
}

int pin_read(pin_id pin)
{
    const pin_entry& entry = pin_table[pin];
    int level = 0;
    switch (entry.support) {
    case PIN_SUPPORT_IOCTL: {
        const unsigned long command = read_command(pin);
        level = command != 0 ? gpio_ioctl(command, 0) : 0;
        break;
    }
    case PIN_SUPPORT_NONE:
        return 0;
    case PIN_SUPPORT_UNPROBED:
        level = pin_probe(pin);
        if (level == PIN_PROBE_ABANDONED)
            return level;
        break;
    }
    return level >= 0 ? level : 0;
}

pin_support pin_support_of(pin_id pin)
{
    return pin_table[pin].support;
}

namespace {
// The LED for a pin: on while an input reads 0 (`low_is_on`), or an
// output's level itself.
step_result show_pin(pin_id pin, bool low_is_on)
{
    const int level = pin_read(pin);
    if (level == PIN_PROBE_ABANDONED)
        return end_mode();
    return show_level(low_is_on ? (level == 0 ? 1 : 0) : level);
}
}  // namespace

step_result mode_bin0_low() { return show_pin(PIN_BIN0, true); }
step_result mode_bin1_low() { return show_pin(PIN_BIN1, true); }
step_result mode_out0() { return show_pin(PIN_OUT0, false); }
step_result mode_out1() { return show_pin(PIN_OUT1, false); }
