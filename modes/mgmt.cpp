#include "modes/mgmt.h"

#include "spawn/capture.h"
#include "spawn/spawn.h"

step_result mode_mgmt_client()
{
    return show_level(run_program("/bin/sh", "-c", MGMT_CLIENT_QUERY, nullptr) == 0 ? 1 : 0);
}

step_result mode_vpn_portal()
{
    const capture_file capture(VPN_PORTAL_CAPTURE);
    run_program("/bin/sh", "-c", VPN_PORTAL_QUERY, nullptr);
    return show_level(capture.size() > 1 ? 1 : 0);
}
