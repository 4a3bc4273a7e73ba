#include "modes/mgmt.h"

#include "modes/status.h"

step_result mode_mgmt_client()
{
    return show_exit_status(run_shell(MGMT_CLIENT_QUERY));
}

step_result mode_vpn_portal()
{
    return show_listing(VPN_PORTAL_CAPTURE, VPN_PORTAL_QUERY, [] { return show_level(1); });
}
