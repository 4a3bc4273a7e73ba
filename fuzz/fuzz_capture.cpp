// The scans of the OpenVPN and IPsec captures on arbitrary tool output. The
// input goes through a real file, read back by name as the daemon reads a
// capture it could not make itself: with the checks on the file (a plain
// file of the daemon's own user) before the same scan.
#include "modes/capture.h"
#include "modes/vpn.h"
#include "spawn/spawn.h"

#include "input_file.h"

#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* path = input_file(data, size);
    unsigned value = 0;
    for (const char* format : {OPENVPN_SCAN, IPSEC_SCAN}) {
        const int r = capture_scan_count(open_capture_read(path), format, &value);
        if (r != 0 && r != -1)
            __builtin_trap();
    }
    return 0;
}
