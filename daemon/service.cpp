#include "daemon/service.h"

#include "daemon/loop.h"
#include "gpio/gpio.h"

#include <csignal>
#include <cstring>
#include <syslog.h>

std::atomic<int> got_signal{0};

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be safe to set from a signal handler");

void handle_stop_signal(int signum)
{
    got_signal.store(signum, std::memory_order_relaxed);
}

namespace {
// SIGXFSZ: the write that met the file-size limit then fails with EFBIG.
void on_file_size_limit(int) {}
}  // namespace

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
    // Inherited as ignored, SIGXFSZ stays so: a write past the limit fails
    // all the same.
    struct sigaction file_size;
    if (sigaction(SIGXFSZ, nullptr, &file_size) == 0 && file_size.sa_handler == SIG_DFL)
        signal(SIGXFSZ, on_file_size_limit);
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

step_result end_mode_logging(const char* message)
{
    syslog(LOG_NOTICE, "%s", message);
    return end_mode();
}
