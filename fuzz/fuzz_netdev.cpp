// The interface counter reader on arbitrary /proc/net/dev contents.
#include "monitors/netdev.h"

#include "memory_input.h"

#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* table = memory_input(data, size);
    if (table == nullptr)
        return 0;
    for (const char* name : {"wlan0", "wlan1"}) {
        std::rewind(table);
        const int r = netdev_scan(table, name);
        if (r != 0 && r != -1)
            __builtin_trap();
    }
    std::fclose(table);
    return 0;
}
