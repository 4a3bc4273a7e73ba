#include "modes/wifi.h"

#include "modes/status.h"
#include "monitors/activity.h"
#include "monitors/netdev.h"

#include <syslog.h>

namespace {
// With a link up: blink on traffic, steady on without.
step_result link_traffic(const char* iface, const char* unreadable_message)
{
    switch (netdev_activity(iface)) {
    case ACTIVITY_SEEN:
        return show_blink();
    case ACTIVITY_NONE:
        return show_level(1);
    default:
        syslog(LOG_NOTICE, "%s", unreadable_message);
        return show_level(0);
    }
}

step_result access_point_traffic()
{
    return link_traffic("wlan0", "unable to get interface stats for wlan0");
}
}  // namespace

step_result mode_wifi_ap()
{
    return show_listing(WIFI_AP_CAPTURE, WIFI_AP_QUERY, access_point_traffic);
}

step_result mode_wifi_client()
{
    const query_result query = run_shell(WIFI_CLIENT_QUERY);
    // Not associated (off), or ended by the stop grace (nothing).
    if (query.end == query_end::abandoned || query.status != 0)
        return show_exit_status(query);
    return link_traffic("wlan1", "unable to get interface stats for wlan1");
}
