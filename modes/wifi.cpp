#include "modes/wifi.h"

#include "monitors/activity.h"
#include "monitors/netdev.h"
#include "spawn/capture.h"
#include "spawn/spawn.h"

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
}  // namespace

step_result mode_wifi_ap()
{
    query_answer answer(WIFI_AP_CAPTURE);
    answer.run(WIFI_AP_QUERY);  // its status is not used
    answer.publish();
    // An empty station list prints at most a newline.
    if (answer.size() <= 1)
        return show_level(0);
    return link_traffic("wlan0", "unable to get interface stats for wlan0");
}

step_result mode_wifi_client()
{
    if (run_program("/bin/sh", "-c", WIFI_CLIENT_QUERY, nullptr) != 0)
        return show_level(0);
    return link_traffic("wlan1", "unable to get interface stats for wlan1");
}
