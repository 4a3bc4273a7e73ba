// The interface counter reader on arbitrary /proc/net/dev contents, read
// in place (an overrun shows to the address sanitizer).
#include "monitors/netdev.h"

#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    text_file table(reinterpret_cast<const char*>(data), size);
    netdev_counters counters = {};
    for (const char* name : {"wlan0", "wlan1"}) {
        table.rewind();
        const int r = netdev_scan(table, name, &counters);
        if (r != 0 && r != -1)
            __builtin_trap();
    }
    return 0;
}
