// Process-wide stop flag and the handler that sets it.
#pragma once

#include <atomic>
#include <csignal>

// The signals that ask the daemon to stop.
inline constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT};

// 0 until SIGINT, SIGTERM or SIGQUIT arrives, then that signal's number.
extern std::atomic<int> got_signal;

void handle_stop_signal(int signum);

// Installs handle_stop_signal for the three stop signals (with restart
// semantics: a read under way is not cut short; the runner's wait lets
// them in only inside its ppoll, which ends on them) and unblocks them.
// SIGCHLD gets its default disposition: inherited as ignored, the kernel
// would reap the daemon's children itself and no query could be waited
// for. SIGXFSZ, at its default, gets a handler that does nothing: a
// file-size limit then fails the write of an answer's copy (EFBIG) instead
// of ending the daemon, and a child still starts with SIGXFSZ at its
// default (exec resets handlers). Every other signal keeps what the daemon
// was started with.
void install_stop_signals();

// The system-log identity: the text after the last '/' of `argv0`.
const char* log_identity(const char* argv0);
