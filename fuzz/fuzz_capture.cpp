// The scans of the OpenVPN and IPsec answers on arbitrary tool output, added
// to an answer's head in pieces as the runner reads them from the pipe.
#include "modes/vpn.h"
#include "spawn/capture.h"

#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    answer_head head;
    answer_head_clear(&head);
    // The first byte, where there is one, cuts the rest in two pieces.
    const size_t cut = size > 0 ? data[0] % size : 0;
    const char* text = reinterpret_cast<const char*>(data);
    answer_head_add(&head, text, cut);
    answer_head_add(&head, text + cut, size - cut);
    if (head.size != size || head.kept > ANSWER_HEAD || head.text[head.kept] != '\0')
        __builtin_trap();
    unsigned value = 0;
    for (const char* format : {OPENVPN_SCAN, IPSEC_SCAN}) {
        const int r = answer_head_scan(head, format, &value);
        if (r != 0 && r != -1)
            __builtin_trap();
    }
    return 0;
}
