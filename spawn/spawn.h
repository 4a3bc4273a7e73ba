// Runs one program to completion with prepared standard descriptors, and the
// file query the IPsec mode applies to its tools.
#pragma once

#include <cstddef>
#include <fcntl.h>

// Descriptors the next child gets as its standard input, output and error.
// Per field k: k = inherit the daemon's own; another value >= 0 = that
// descriptor; negative = "/dev/null" (closed in the child when "/dev/null"
// cannot be opened there, as with no descriptor to spare).
struct child_redirect {
    int in_fd;
    int out_fd;
    int err_fd;
};

// Next child's standard output. 0 and 2 are ignored; a descriptor above 2
// now belongs to the runner, which closes it after the next fork (or here,
// when another one takes its place before that).
void redirect_stdout(int fd);

// Closes the stored descriptors above 2 and sets all three back to -1.
void redirect_reset();

// How long queries may still run once a stop is requested: one deadline on
// the monotonic clock, from the first stop signal the runner sees, shared
// by every query after it however many more stop signals come. A query
// that ends within it counts as usual; one that does not is abandoned:
// ended with its process group. A query due to start once the deadline
// has passed is not started. With the period sleep that follows, within
// the init script's 5 s.
inline constexpr int STOP_GRACE_MS = 2000;
// How long the runner waits for a query it has ended: a process stuck in
// a driver (uninterruptible sleep) cannot die until the driver lets it go.
// After this the runner gives up on it and leaves it to init.
inline constexpr int KILL_WAIT_MS = 500;

// How a query ended.
enum class query_end {
    exited,       // the program exited by itself: `status` holds its code
    signalled,    // a signal the runner did not send ended it: `status`
    abandoned,    // the stop grace ran out: ended with its process group,
                  // or not started at all. Nothing of it is to be shown.
    not_started,  // the fork failed
    wait_failed,  // it could not be waited for (waitpid or ppoll failed);
                  // ended with its process group where it still was ours
};

struct query_result {
    query_end end;
    int status;  // the raw wait status when the child was reaped, else -1
    // With an output_drain: every byte the child had written when it ended
    // was read (false when a read of the pipe failed; always false unless
    // the child exited or was signalled).
    bool output_read;
};

// Where the runner puts what a child writes into a pipe, read while it
// waits for the child, so that a child never blocks on a full pipe. Once
// the child has ended, what the pipe holds at that moment is read, and no
// more: a process it left behind that still holds the pipe does not keep
// the query going.
struct output_drain {
    int fd;  // the pipe's read end, set not to block; the runner leaves it open
    // Called with each piece read, in order.
    void (*take)(void* into, const char* bytes, size_t count);
    void* into;
};

// Forks and runs `path` (looked up along PATH when it has no slash) with the
// arguments that follow, up to a terminating nullptr; at most 62 arguments
// are passed. `drain` (may be nullptr) is read while the child runs (its
// write end given to redirect_stdout before). A child that cannot exec
// exits with code 1. The child runs in its own process group, with the
// daemon's signal mask and the dispositions it was started with (handlers
// reset by exec). While no stop is requested the wait has no time limit;
// see STOP_GRACE_MS for what a stop changes.
query_result run_query(const output_drain* drain, const char* path, ...);

// run_query of "/bin/sh -c `command`".
query_result run_shell(const char* command, const output_drain* drain = nullptr);

// run_query without a drain: the raw wait status, or -1 when no child was
// reaped (not started, abandoned and not reaped, wait failed).
int run_program(const char* path, ...);

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
