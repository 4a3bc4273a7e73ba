// Management service modes, judged from netstat's socket table.
#pragma once

#include "daemon/loop.h"

inline constexpr const char* MGMT_CLIENT_QUERY = "netstat -pnat | grep \"ESTABLISHED.*korvane_clientd\"";
inline constexpr const char* VPN_PORTAL_QUERY = "netstat -tlpn | grep zelbarin";
inline constexpr const char* VPN_PORTAL_CAPTURE = "/tmp/tavrin_kv_vpn.txt";

// LED on while the device-management client holds an established connection.
step_result mode_mgmt_client();
// LED on while the VPN portal has a listening TCP socket.
step_result mode_vpn_portal();
