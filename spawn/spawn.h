// Runs one program to completion with prepared standard descriptors, and the
// small file queries the modes apply to capture files and tools.
#pragma once

#include <cstdio>
#include <fcntl.h>

// Flags for a file that receives a child's standard output. O_RDWR: the
// daemon reads the answer back through its own descriptor of the file.
// O_NOFOLLOW: the capture names are fixed and live in the world-writable
// /tmp, so a symbolic link planted there must not make the daemon overwrite
// its target.
inline constexpr int CAPTURE_FLAGS = O_RDWR | O_CREAT | O_TRUNC | O_SYNC | O_NOFOLLOW;
inline constexpr int CAPTURE_MODE = 0644;

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
// now belongs to the runner, which closes it after the next fork.
void redirect_stdout(int fd);

// Closes the stored descriptors above 2 and sets all three back to -1.
void redirect_reset();

// How long a query still running when a stop is requested may go on: one
// that ends within it counts as usual; one that does not is ended, with
// every process it started, and no further query is started. Within the
// init script's 5 s with the period sleep that follows.
inline constexpr int STOP_GRACE_MS = 2000;

// Forks and runs `path` (looked up along PATH when it has no slash) with the
// arguments that follow, up to a terminating nullptr; at most 62 arguments
// are passed. Waits for the child and returns the raw wait status, or -1 when
// the fork or the wait fails. A child that cannot exec exits with code 1.
// The child runs in its own process group. While no stop is requested the
// wait has no time limit; see STOP_GRACE_MS for what a stop changes.
int run_program(const char* path, ...);

// `fd` itself when it is above 2 (or negative); otherwise a duplicate of it
// at 3 or above, `fd` being closed, or -1 when none can be had. The runner
// takes 0 and 2 as the daemon's own, so a pipe or file meant for a child
// must not sit there.
int fd_above_stdio(int fd);

// Opens (creates, truncates) a capture file for a child's output, at a
// descriptor above 2; the result, -1 included, is meant for redirect_stdout.
// Anything at the path but a plain file of the daemon's own user with one
// name (a symbolic link, an empty folder, a FIFO, another user's file, a
// hard link) is removed without being opened, and a new file is created in
// its place; where that cannot be done (a folder with files in it, a name
// this user may not remove, a name planted again meanwhile) the result is -1
// and whatever stands there is left untouched.
int open_capture(const char* path);

// Opens a capture file to read it back; nullptr where open_capture refuses.
FILE* open_capture_read(const char* path);

// 1 when `path` exists, else 0.
int file_exists(const char* path);

// Size of the capture file `path` in bytes; 0 when it does not exist or is
// something open_capture refuses (a symbolic link is not followed).
int file_size(const char* path);
