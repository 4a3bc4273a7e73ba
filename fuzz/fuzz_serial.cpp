// The serial statistics reader and change detector on arbitrary driver
// statistics file contents.
#include "monitors/serial.h"

#include "input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* files[] = {input_file(data, size)};
    for (int port = 0; port < 2; ++port) {
        const int read = serial_read_from(files, 1, port);
        if (read != 0 && read != 1)
            __builtin_trap();
        const int r = serial_activity_from(files, 1, port, SERIAL_TX | SERIAL_RX);
        if (r < -1 || r > 1)
            __builtin_trap();
    }
    return 0;
}
