// The serial statistics reader on arbitrary driver statistics file contents.
#include "monitors/serial.h"

#include "memory_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* stats = memory_input(data, size);
    if (stats == nullptr)
        return 0;
    for (int port = 0; port < 2; ++port) {
        std::rewind(stats);
        const int r = serial_scan(stats, port);
        if (r != 0 && r != 1)
            __builtin_trap();
    }
    std::fclose(stats);
    return 0;
}
