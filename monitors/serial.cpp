#include "monitors/serial.h"

#include "monitors/activity.h"

#include <cstring>
#include <syslog.h>

namespace {
// The driver statistics files, tried in this order; the first that opens is
// the one read.
constexpr const char* serial_stat_files[] = {
    "/proc/tty/driver/serial",
    "/proc/tty/driver/OMAP-SERIAL",
    "/proc/tty/driver/ttyS",
    "/proc/tty/driver/atmel_serial",
};
constexpr size_t SERIAL_STAT_FILE_COUNT = sizeof serial_stat_files / sizeof serial_stat_files[0];

serial_counters counters = {0, 0, false};

// Leaves in `line` the first line that starts with `digit`; otherwise the
// buffer does not start with it. Ends at end of file and on a read error.
void find_port_line(text_file& file, char digit, char (&line)[TEXT_LINE_SIZE])
{
    line[0] = '\0';
    while (file.read_line(line, sizeof line)) {
        if (line[0] == digit)
            return;
    }
    line[0] = '\0';
}

step_result serial_step(int port, int dirs)
{
    const int r = serial_activity(port, dirs);
    if (r == ACTIVITY_UNREADABLE)
        return end_mode_logging("failure getting serial stats");
    return show_level(r);
}
}  // namespace

int serial_scan(text_file& stats, int port, serial_counters* into)
{
    const char digit = static_cast<char>('0' + port);
    char line[TEXT_LINE_SIZE];
    find_port_line(stats, digit, line);
    if (line[0] != digit) {
        syslog(LOG_NOTICE, "serial stat file does not contain relevant line");
        return 1;
    }
    const char* data = std::strstr(line, " tx:");
    if (data == nullptr) {
        syslog(LOG_NOTICE, "serial stat file line does not contain relevant data");
        return 1;
    }
    if (scan_counts(data, " tx:%lu rx:%lu", &into->tx, &into->rx) != 2) {
        syslog(LOG_NOTICE, "unexpected serial stat file formatting");
        return 1;
    }
    return 0;
}

int serial_read_from(const char* const* files, size_t count, int port, serial_counters* into)
{
    // The first candidate that opens is the one read.
    for (size_t i = 0; i < count; ++i) {
        text_file file(files[i]);
        if (file.is_open())
            return serial_scan(file, port, into);
    }
    syslog(LOG_NOTICE, "serial stat file not found");
    return 1;
}

int serial_read(int port)
{
    return serial_read_from(serial_stat_files, SERIAL_STAT_FILE_COUNT, port, &counters);
}

int serial_activity_from(const char* const* files, size_t count, int port, int dirs)
{
    if (!counters.primed) {
        if (serial_read_from(files, count, port, &counters) != 0)
            return ACTIVITY_UNREADABLE;
        counters.primed = true;
        return ACTIVITY_NONE;
    }
    const unsigned long tx = counters.tx;
    const unsigned long rx = counters.rx;
    if (serial_read_from(files, count, port, &counters) != 0)
        return ACTIVITY_UNREADABLE;
    int r = ACTIVITY_NONE;
    if ((dirs & SERIAL_TX) != 0 && counters.tx != tx)
        r = ACTIVITY_SEEN;
    if ((dirs & SERIAL_RX) != 0 && counters.rx != rx)
        r = ACTIVITY_SEEN;
    return r;
}

int serial_activity(int port, int dirs)
{
    return serial_activity_from(serial_stat_files, SERIAL_STAT_FILE_COUNT, port, dirs);
}

step_result mode_serial0_rx() { return serial_step(0, SERIAL_RX); }
step_result mode_serial0_tx() { return serial_step(0, SERIAL_TX); }
step_result mode_serial0_any() { return serial_step(0, SERIAL_TX | SERIAL_RX); }
step_result mode_serial1_rx() { return serial_step(1, SERIAL_RX); }
step_result mode_serial1_tx() { return serial_step(1, SERIAL_TX); }
step_result mode_serial1_any() { return serial_step(1, SERIAL_TX | SERIAL_RX); }
