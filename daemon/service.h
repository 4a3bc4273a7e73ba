// Process-wide stop flag and the handler that sets it.
#pragma once

#include <atomic>

// 0 until SIGINT, SIGTERM or SIGQUIT arrives, then that signal's number.
extern std::atomic<int> got_signal;

void handle_stop_signal(int signum);

// Installs handle_stop_signal for the three stop signals (with restart
// semantics, so waits for children and file reads are not cut short).
void install_stop_signals();

// The system-log identity: the text after the last '/' of `argv0`.
const char* log_identity(const char* argv0);
