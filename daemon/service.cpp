#include "daemon/service.h"

#include "daemon/loop.h"
#include "gpio/gpio.h"
#include "spawn/spawn.h"

#include <csignal>
#include <cstring>

std::atomic<int> got_signal{0};

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be safe to set from a signal handler");

void handle_stop_signal(int signum)
{
    got_signal.store(signum, std::memory_order_relaxed);
}

void install_stop_signals()
{
    // signal() installs BSD semantics: SA_RESTART, handler kept.
    sigset_t stop;
    sigemptyset(&stop);
    for (int sig : STOP_SIGNALS) {
        signal(sig, handle_stop_signal);
        sigaddset(&stop, sig);
    }
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    signal(SIGCHLD, SIG_DFL);
}

const char* log_identity(const char* argv0)
{
    if (argv0 == nullptr)
        return nullptr;  // syslog then falls back to the program name
    const char* slash = std::strrchr(argv0, '/');
    return slash != nullptr ? slash + 1 : argv0;
}

void run_mode_loop(const mode_def& def)
{
    while (got_signal.load(std::memory_order_relaxed) == 0) {
        const step_result step = def.body();
        // A query ended (or not started) because a stop request's grace
        // ran out: nothing of this iteration is shown.
        if (stop_grace_over())
            return;
        switch (step.kind) {
        case step_kind::show:
            led_set(step.level);
            nanosleep(&def.period, nullptr);
            break;
        case step_kind::blink:
            blink_activity();
            break;
        case step_kind::stop:
            return;
        }
    }
}
