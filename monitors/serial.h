// Traffic on a serial port, from the UART driver's statistics file; and the
// LED modes that show it.
#pragma once

#include "daemon/loop.h"
#include "common/text.h"

#include <cstddef>

// Direction mask.
inline constexpr int SERIAL_TX = 1;
inline constexpr int SERIAL_RX = 2;

// Counts read. One record serves the process: a run watches one port.
struct serial_counters {
    unsigned long tx;
    unsigned long rx;
    bool primed;
};

// Reads port 0's or 1's counts into the process's record: 0, or 1 after
// logging why they cannot be read.
int serial_read(int port);
// The same from the first of `files` that opens, into `*into`.
int serial_read_from(const char* const* files, size_t count, int port, serial_counters* into);
// The same on an open statistics file, read from its current position.
int serial_scan(text_file& stats, int port, serial_counters* into);

// -1: unreadable; 0: no selected direction changed since the previous call
// (the first call only takes the baseline); 1: one did.
int serial_activity(int port, int dirs);
int serial_activity_from(const char* const* files, size_t count, int port, int dirs);

step_result mode_serial0_rx();
step_result mode_serial0_tx();
step_result mode_serial0_any();
step_result mode_serial1_rx();
step_result mode_serial1_tx();
step_result mode_serial1_any();
