// The serial statistics reader on arbitrary driver statistics file
// contents, read in place (an overrun shows to the address sanitizer).
#include "monitors/serial.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    text_file stats(reinterpret_cast<const char*>(data), size);
    serial_counters counters = {};
    for (int port = 0; port < 2; ++port) {
        stats.rewind();
        const int r = serial_scan(stats, port, &counters);
        if (r != 0 && r != 1)
            __builtin_trap();
    }
    return 0;
}
