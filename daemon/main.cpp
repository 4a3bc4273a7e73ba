// tavrind: keeps the router's user LED showing the one status chosen by
// MOD_TAVRIN_MODE, until SIGINT, SIGTERM or SIGQUIT.
#include "daemon/modes.h"
#include "daemon/service.h"
#include "settings/settings.h"

#include <cstdint>
#include <syslog.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    setsid();
    install_stop_signals();
    openlog(log_identity(argc > 0 ? argv[0] : nullptr), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(LOG_NOTICE, "started");

    uint32_t led_mode = 0;
    load_mode(&led_mode);
    const mode_def def = find_mode(led_mode);
    if (def.body != nullptr)
        run_mode_loop(def);

    syslog(LOG_NOTICE, "stopped");
    return 0;
}
