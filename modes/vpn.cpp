#include "modes/vpn.h"

#include "modes/status.h"
#include "spawn/capture.h"

#include <cstring>

static_assert(sizeof OPENVPN_QUERY == 42, "the tunnel query is 41 characters");

namespace {
constexpr const char* IPSEC_FAILURE = "failure getting IPsec status";
}

step_result mode_openvpn()
{
    char query[sizeof OPENVPN_QUERY];
    std::memcpy(query, OPENVPN_QUERY, sizeof query);
    char* digit = std::strchr(query, '?');
    for (*digit = '0'; *digit <= '3'; ++*digit) {
        tool_answer answer;
        ask_tool(OPENVPN_CAPTURE, query, &answer);
        if (answer.query.end == query_end::abandoned)
            return end_mode();
        // Nonzero: no such tunnel, or no count in its output.
        if (answer.query.status != 0)
            continue;
        unsigned received = 0;
        if (!answer.whole || answer_head_scan(answer.head, OPENVPN_SCAN, &received) != 0)
            return end_mode_logging("failure getting OpenVPN status");
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
        tool_answer answer;
        ask_tool(IPSEC_CAPTURE, IPSEC_STROKE_QUERY, &answer);
        if (answer.query.end == query_end::abandoned)
            return end_mode();
        if (answer.query.status != 0)
            return show_level(0);
        unsigned up = 0;
        if (!answer.whole || answer_head_scan(answer.head, IPSEC_SCAN, &up) != 0)
            return end_mode_logging(IPSEC_FAILURE);
        return show_level(up != 0 ? 1 : 0);
    }
    if (file_exists(IPSEC_SWANCTL))
        return show_exit_status(run_shell(IPSEC_SWANCTL_QUERY));
    return end_mode_logging(IPSEC_FAILURE);
}
