// The scans of the OpenVPN and IPsec captures on arbitrary tool output. The
// input stands in a file as a query leaves its answer: written, the offset
// at its end, and read back through the descriptor from the start.
#include "modes/vpn.h"
#include "spawn/capture.h"

#include "input_file.h"

#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int answer = open(input_file(data, size), O_RDONLY | O_CLOEXEC);
    input_file(data, size);
    if (answer < 0 || lseek(answer, 0, SEEK_END) < 0)
        __builtin_trap();
    unsigned value = 0;
    for (const char* format : {OPENVPN_SCAN, IPSEC_SCAN}) {
        const int r = scan_answer(answer, format, &value);
        if (r != 0 && r != -1)
            __builtin_trap();
    }
    return 0;
}
