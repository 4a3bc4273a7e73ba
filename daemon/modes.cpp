#include "daemon/modes.h"

#include "gpio/pins.h"
#include "modes/mgmt.h"
#include "modes/vpn.h"
#include "modes/wifi.h"
#include "monitors/serial.h"

namespace {
// The mode find_mode chose last.
uint32_t selected_mode = 0;

// One evaluation of the selected mode: a switch that calls each mode's body
// directly, so that no function address needs a relocation when the daemon
// is loaded (a table of pointers would need one each).
step_result evaluate_selected()
{
    switch (selected_mode) {
    case MODE_BIN0_LOW: return mode_bin0_low();
    case MODE_BIN1_LOW: return mode_bin1_low();
    case MODE_OUT0: return mode_out0();
    case MODE_OUT1: return mode_out1();
    case MODE_SERIAL0_RX: return mode_serial0_rx();
    case MODE_SERIAL0_TX: return mode_serial0_tx();
    case MODE_SERIAL0_ANY: return mode_serial0_any();
    case MODE_SERIAL1_RX: return mode_serial1_rx();
    case MODE_SERIAL1_TX: return mode_serial1_tx();
    case MODE_SERIAL1_ANY: return mode_serial1_any();
    case MODE_WIFI_AP: return mode_wifi_ap();
    case MODE_WIFI_CLIENT: return mode_wifi_client();
    case MODE_OPENVPN: return mode_openvpn();
    case MODE_IPSEC: return mode_ipsec();
    case MODE_MGMT_CLIENT: return mode_mgmt_client();
    case MODE_VPN_PORTAL:
    default: return mode_vpn_portal();  // find_mode admits 1 to 16 only
    }
}
}  // namespace

mode_def find_mode(uint32_t mode)
{
    if (mode < MODE_BIN0_LOW || mode > MODE_VPN_PORTAL)
        return {PERIOD_STATUS, nullptr};
    selected_mode = mode;
    // The pin modes poll every 100 ms, all others every second.
    return {mode <= MODE_OUT1 ? PERIOD_PIN : PERIOD_STATUS, evaluate_selected};
}
