// Runs one program to completion with prepared standard descriptors, and the
// file query the IPsec mode applies to its tools.
#pragma once

#include <cstddef>
#include <fcntl.h>

// Descriptors the next child gets as its standard input, output and error.
// Per field k: k = inherit the daemon's own; another value >= 0 = that
// descriptor; negative = "/dev/null".
struct child_redirect {
    int in_fd;
    int out_fd;
    int err_fd;
};

// The calling thread's record, -1/-1/-1 between runs.
child_redirect redirect_current();

// Next child's standard output. 0 and 2 are ignored; a descriptor above 2
// now belongs to the runner, which closes it after the next fork (or here,
// when another one takes its place before that).
void redirect_stdout(int fd);

// Closes the stored descriptors above 2 and sets all three back to -1.
void redirect_reset();

// How long queries may still run once a stop is requested: one deadline on
// the monotonic clock, from the first stop signal the runner sees, shared
// by every query after it however many more stop signals come. A query
// that ends within it counts as usual; one that does not is ended with
// every process it started, and no further query is started. With the
// period sleep that follows, within the init script's 5 s.
inline constexpr int STOP_GRACE_MS = 2000;
// How long the runner waits for a query it has ended: a process stuck in
// a driver (uninterruptible sleep) cannot die until the driver lets it go.
// After this the runner gives up on it and leaves it to init.
inline constexpr int KILL_WAIT_MS = 500;

// Where the runner puts what a child writes into a pipe, read while it
// waits for the child, so that a child never blocks on a full pipe.
struct output_drain {
    int fd;  // the pipe's read end, set not to block; the runner leaves it open
    // Called with each piece read, in order.
    void (*take)(void* into, const char* bytes, size_t count);
    void* into;
    // Set by the run: true when the child ended by itself and everything it
    // wrote before it ended was taken; false when it was ended by the stop
    // grace, was not started, or could not be waited for.
    bool whole;
};

// Forks and runs `path` (looked up along PATH when it has no slash) with the
// arguments that follow, up to a terminating nullptr; at most 62 arguments
// are passed. Waits for the child and returns the raw wait status, or -1
// when the fork fails, when the wait fails, when the stop grace is over
// (nothing is started then), or when a child ended after the grace could
// not be reaped within KILL_WAIT_MS. A child that cannot exec exits with
// code 1. The child runs in its own process group, with the daemon's
// signal mask and the dispositions it was started with (handlers reset by
// exec). While no stop is requested the wait has no time limit; see
// STOP_GRACE_MS for what a stop changes.
int run_program(const char* path, ...);

// run_program, reading `drain` while the child runs (its write end given
// to redirect_stdout before).
int run_program_drained(output_drain* drain, const char* path, ...);

// True once a query was ended by the stop grace, or was not started because
// the grace had run out: nothing of the iteration under way is to be shown,
// nothing more is to be started, made or published.
bool stop_grace_over();

// Moves `fd` to a descriptor above 2 (close-on-exec) when it is 0, 1 or 2,
// closing the original; `fd` itself otherwise. -1 when no descriptor above
// 2 can be had (the original is closed then too). The runner takes 0 and 2
// as the daemon's own, so a pipe or file meant for a child must not sit
// there.
int move_above_stdio(int fd);

// A pipe for a child's output: both ends above 2 (a write end left at 2
// would be ignored by the runner, and never closed) and close-on-exec, the
// read end not blocking. False when none can be had.
bool open_child_pipe(int fds[2]);

// 1 when `path` exists, else 0.
int file_exists(const char* path);
