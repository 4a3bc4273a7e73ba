// Traffic on a network interface, from the kernel's counters in /proc/net/dev.
#pragma once

#include "common/text.h"

#include <cstdint>

inline constexpr const char* NETDEV_STATS = "/proc/net/dev";

// Counters read. One record serves the process: a run watches one
// interface.
struct netdev_counters {
    unsigned long long rx_bytes;
    unsigned long long tx_bytes;
    bool primed;
};

// Reads `name`'s byte counters into the process's record: 0, or -1 when the
// file or the interface's line cannot be read. The first line whose name
// column contains `name` is the interface's line.
int netdev_read(const char* name);
// The same from `stats_path`, into `*into`.
int netdev_read_from(const char* stats_path, const char* name, netdev_counters* into);
// The same on an open copy of the table, read from its current position.
int netdev_scan(text_file& table, const char* name, netdev_counters* into);

// -1: unreadable; 0: no change since the previous call (the first call only
// takes the baseline); 1: rx or tx bytes changed.
int netdev_activity(const char* name);
int netdev_activity_from(const char* stats_path, const char* name);
