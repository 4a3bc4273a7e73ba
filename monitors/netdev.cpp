#include "monitors/netdev.h"

#include "monitors/activity.h"

#include <cstring>

namespace {
netdev_counters counters = {0, 0, false};
}

int netdev_scan(text_file& table, const char* name, netdev_counters* into)
{
    char line[TEXT_LINE_SIZE];
    while (table.read_line(line, sizeof line)) {
        char* colon = std::strchr(line, ':');
        if (colon == nullptr)
            continue;  // header lines
        *colon = '\0';
        if (std::strstr(line, name) == nullptr)
            continue;
        // Received bytes, seven more receive columns, transmitted bytes.
        const int got = scan_counts(colon + 1, "%llu%*u%*u%*u%*u%*u%*u%*u%llu", &into->rx_bytes,
                                    &into->tx_bytes);
        return got == 2 ? 0 : -1;
    }
    return -1;
}

int netdev_read_from(const char* stats_path, const char* name, netdev_counters* into)
{
    text_file file(stats_path);
    return file.is_open() ? netdev_scan(file, name, into) : -1;
}

int netdev_read(const char* name)
{
    return netdev_read_from(NETDEV_STATS, name, &counters);
}

int netdev_activity_from(const char* stats_path, const char* name)
{
    if (!counters.primed) {
        if (netdev_read_from(stats_path, name, &counters) != 0)
            return ACTIVITY_UNREADABLE;
        counters.primed = true;
        return ACTIVITY_NONE;
    }
    const unsigned long long rx = counters.rx_bytes;
    const unsigned long long tx = counters.tx_bytes;
    if (netdev_read_from(stats_path, name, &counters) != 0)
        return ACTIVITY_UNREADABLE;
    return counters.rx_bytes != rx || counters.tx_bytes != tx ? ACTIVITY_SEEN : ACTIVITY_NONE;
}

int netdev_activity(const char* name)
{
    return netdev_activity_from(NETDEV_STATS, name);
}
