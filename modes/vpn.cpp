#include "modes/vpn.h"

#include "spawn/capture.h"
#include "spawn/spawn.h"

#include <cstring>
#include <syslog.h>

static_assert(sizeof OPENVPN_QUERY == 42, "the tunnel query is 41 characters");

namespace {
step_result openvpn_failure()
{
    syslog(LOG_NOTICE, "failure getting OpenVPN status");
    return end_mode();
}

step_result ipsec_failure()
{
    syslog(LOG_NOTICE, "failure getting IPsec status");
    return end_mode();
}
}  // namespace

step_result mode_openvpn()
{
    char query[sizeof OPENVPN_QUERY];
    std::memcpy(query, OPENVPN_QUERY, sizeof query);
    char* digit = std::strchr(query, '?');
    for (*digit = '0'; *digit <= '3'; ++*digit) {
        const capture_file capture(OPENVPN_CAPTURE);
        // Nonzero: no such tunnel, or no count in its output.
        if (run_program("/bin/sh", "-c", query, nullptr) != 0)
            continue;
        unsigned received = 0;
        if (capture.scan_count(OPENVPN_SCAN, &received) != 0)
            return openvpn_failure();
        if (received != 0)
            return show_level(1);
    }
    return show_level(0);
}

step_result mode_ipsec()
{
    // Checked on every iteration: a tool installed or removed while the
    // daemon runs takes effect at once.
    if (file_exists(IPSEC_STROKE)) {
        const capture_file capture(IPSEC_CAPTURE);
        if (run_program("/bin/sh", "-c", IPSEC_STROKE_QUERY, nullptr) != 0)
            return show_level(0);
        unsigned up = 0;
        if (capture.scan_count(IPSEC_SCAN, &up) != 0)
            return ipsec_failure();
        return show_level(up != 0 ? 1 : 0);
    }
    if (file_exists(IPSEC_SWANCTL))
        return show_level(run_program("/bin/sh", "-c", IPSEC_SWANCTL_QUERY, nullptr) == 0 ? 1 : 0);
    return ipsec_failure();
}
