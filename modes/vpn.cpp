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
    // A query ended by the stop grace ends the iteration: nothing more is
    // started, and nothing of it is shown.
    for (*digit = '0'; *digit <= '3' && !stop_grace_over(); ++*digit) {
        query_answer answer(OPENVPN_CAPTURE);
        const int status = answer.run(query);
        answer.publish();
        // Nonzero: no such tunnel, or no count in its output.
        if (status != 0)
            continue;
        unsigned received = 0;
        if (answer.scan_count(OPENVPN_SCAN, &received) != 0)
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
        query_answer answer(IPSEC_CAPTURE);
        const int status = answer.run(IPSEC_STROKE_QUERY);
        answer.publish();
        if (status != 0)
            return show_level(0);
        unsigned up = 0;
        if (answer.scan_count(IPSEC_SCAN, &up) != 0)
            return ipsec_failure();
        return show_level(up != 0 ? 1 : 0);
    }
    if (file_exists(IPSEC_SWANCTL))
        return show_level(run_program("/bin/sh", "-c", IPSEC_SWANCTL_QUERY, nullptr) == 0 ? 1 : 0);
    return ipsec_failure();
}
