#include "modes/mgmt.h"

#include "spawn/capture.h"
#include "spawn/spawn.h"

step_result mode_mgmt_client()
{
    return show_level(run_program("/bin/sh", "-c", MGMT_CLIENT_QUERY, nullptr) == 0 ? 1 : 0);
}

step_result mode_vpn_portal()
{
    query_answer answer(VPN_PORTAL_CAPTURE);
    answer.run(VPN_PORTAL_QUERY);  // its status is not used
    answer.publish();
    return show_level(answer.size() > 1 ? 1 : 0);
}
