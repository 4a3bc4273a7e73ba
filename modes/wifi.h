// Wireless link modes: LED off without a link, on with one, blinking while
// the interface's byte counters move.
#pragma once

#include "daemon/loop.h"

inline constexpr const char* WIFI_AP_CAPTURE = "/tmp/tavrin_wifi_ap.txt";
inline constexpr const char* WIFI_AP_QUERY = "hostapd_cli -i wlan0 all_sta";
inline constexpr const char* WIFI_CLIENT_QUERY = "wpa_cli -i wlan1 status | grep ^ssid=";

// Access point wlan0: a link while the station list is longer than one byte.
step_result mode_wifi_ap();
// Client wlan1: a link while the supplicant reports an ssid.
step_result mode_wifi_client();
