#include "daemon/modes.h"

#include "gpio/pins.h"
#include "modes/mgmt.h"
#include "modes/vpn.h"
#include "modes/wifi.h"
#include "monitors/serial.h"

namespace {
constexpr mode_def mode_table[] = {
    {MODE_BIN0_LOW, PERIOD_PIN, mode_bin0_low},
    {MODE_BIN1_LOW, PERIOD_PIN, mode_bin1_low},
    {MODE_OUT0, PERIOD_PIN, mode_out0},
    {MODE_OUT1, PERIOD_PIN, mode_out1},
    {MODE_SERIAL0_RX, PERIOD_STATUS, mode_serial0_rx},
    {MODE_SERIAL0_TX, PERIOD_STATUS, mode_serial0_tx},
    {MODE_SERIAL0_ANY, PERIOD_STATUS, mode_serial0_any},
    {MODE_SERIAL1_RX, PERIOD_STATUS, mode_serial1_rx},
    {MODE_SERIAL1_TX, PERIOD_STATUS, mode_serial1_tx},
    {MODE_SERIAL1_ANY, PERIOD_STATUS, mode_serial1_any},
    {MODE_WIFI_AP, PERIOD_STATUS, mode_wifi_ap},
    {MODE_WIFI_CLIENT, PERIOD_STATUS, mode_wifi_client},
    {MODE_OPENVPN, PERIOD_STATUS, mode_openvpn},
    {MODE_IPSEC, PERIOD_STATUS, mode_ipsec},
    {MODE_MGMT_CLIENT, PERIOD_STATUS, mode_mgmt_client},
    {MODE_VPN_PORTAL, PERIOD_STATUS, mode_vpn_portal},
};

constexpr bool table_in_mode_order()
{
    uint32_t expected = 1;
    for (const mode_def& def : mode_table)
        if (def.number != expected++)
            return false;
    return true;
}
static_assert(table_in_mode_order(), "mode_table[n - 1] must be mode n");
}  // namespace

const mode_def* find_mode(uint32_t mode)
{
    if (mode < 1 || mode > sizeof mode_table / sizeof mode_table[0])
        return nullptr;
    return &mode_table[mode - 1];
}
