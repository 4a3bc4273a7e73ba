// The LED modes, selected by MOD_TAVRIN_MODE in the settings file.
#pragma once

#include "daemon/loop.h"

#include <cstdint>

enum : uint32_t {
    MODE_BIN0_LOW = 1,
    MODE_BIN1_LOW = 2,
    MODE_OUT0 = 3,
    MODE_OUT1 = 4,
    MODE_SERIAL0_RX = 5,
    MODE_SERIAL0_TX = 6,
    MODE_SERIAL0_ANY = 7,
    MODE_SERIAL1_RX = 8,
    MODE_SERIAL1_TX = 9,
    MODE_SERIAL1_ANY = 10,
    MODE_WIFI_AP = 11,
    MODE_WIFI_CLIENT = 12,
    MODE_OPENVPN = 13,
    MODE_IPSEC = 14,
    MODE_MGMT_CLIENT = 15,
    MODE_VPN_PORTAL = 16,
};

// The mode's loop definition; its body is nullptr for a number that selects
// no mode.
mode_def find_mode(uint32_t mode);
