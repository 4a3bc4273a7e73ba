// The interface counter reader and change detector on arbitrary
// /proc/net/dev contents.
#include "monitors/netdev.h"

#include "input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* path = input_file(data, size);
    netdev_read_from(path, "wlan0");
    const int r = netdev_activity_from(path, "wlan1");
    if (r < -1 || r > 1)
        __builtin_trap();
    return 0;
}
