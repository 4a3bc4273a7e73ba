// VPN tunnel modes: an OpenVPN tunnel that has received data, an IPsec
// security association that is up. Both end the daemon when their answer
// cannot be read.
#pragma once

#include "daemon/loop.h"

inline constexpr char OPENVPN_QUERY[] = "ifconfig tun? | grep -o 'RX bytes:[0-9]*'";
inline constexpr const char* OPENVPN_CAPTURE = "/tmp/tavrin_open_vpn.txt";
inline constexpr const char* OPENVPN_SCAN = "RX bytes:%u";

inline constexpr const char* IPSEC_STROKE = "/usr/libexec/ipsec/stroke";
inline constexpr const char* IPSEC_SWANCTL = "/usr/libexec/ipsec/swanctl";
inline constexpr const char* IPSEC_STROKE_QUERY =
    "/usr/libexec/ipsec/stroke statusall | grep -o \"^Security Associations ([0-9]* up\"";
inline constexpr const char* IPSEC_SWANCTL_QUERY =
    "/usr/libexec/ipsec/swanctl --list-sas | grep \"^ipsec\" | grep \"ESTABLISHED\"";
inline constexpr const char* IPSEC_CAPTURE = "/tmp/tavrin_ipsec.txt";
inline constexpr const char* IPSEC_SCAN = "Security Associations (%u up";

// LED on while one of tun0..tun3 shows a nonzero received-byte count.
step_result mode_openvpn();
// LED on while the IPsec daemon reports an established association.
step_result mode_ipsec();
