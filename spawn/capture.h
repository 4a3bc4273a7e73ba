// A query's answer: what a tool writes to its standard output, read from a
// pipe while the tool runs, and its copy at the capture's name in /tmp for
// the device's other software.
#pragma once

#include "spawn/spawn.h"

#include <climits>
#include <cstddef>
#include <cstdint>

// How much of an answer is kept to be scanned: the counts the modes read
// stand at its start.
inline constexpr size_t ANSWER_HEAD = 255;

// The start of an answer, and how long the whole answer is.
struct answer_head {
    char text[ANSWER_HEAD + 1];  // the first bytes read, then a zero
    size_t kept;                 // bytes in `text`
    size_t size;                 // bytes read in all
};

void answer_head_clear(answer_head* head);
// Adds bytes read after those before.
void answer_head_add(answer_head* head, const char* bytes, size_t count);
// Scans `format` (one unsigned conversion, see scan_counts) from the
// answer's start: 0 with `*value` set, or -1 when the scan does not convert
// exactly one number. A NUL byte ends the text scanned.
int answer_head_scan(const answer_head& head, const char* format, unsigned* value);

// Creates a private file for an answer's copy beside `path`, for writing:
// its name, a dot and six characters drawn from `seed` (each attempt's
// from the one before), opened with O_EXCL and O_NOFOLLOW, so that nothing
// anyone put at such a name is opened or followed; names taken are passed
// over, up to 100. Its descriptor, its name left in `name`; -1 when none
// can be made.
int create_copy(const char* path, char (&name)[PATH_MAX], uint32_t seed);

// One query's answer.
struct tool_answer {
    query_result query;
    // The query exited by itself and every byte it wrote before it ended
    // was read: `head` is its answer. Otherwise (ended by a signal, by the
    // stop grace, not started, a failed wait or read, no pipe to be had)
    // there is no whole answer, and `head` holds what was read of it.
    bool whole;
    answer_head head;
};

// Runs the shell command `command` ("/bin/sh -c") and reads its standard
// output from a pipe while it runs; the answer goes to `*answer`. The
// status comes from what the daemon read alone: nothing anyone puts at the
// capture's name in the world-writable /tmp (a link, a FIFO, a folder), no
// race around that name, and no full, read-only or missing /tmp changes
// it. Where no pipe can be had (no descriptor left), there is no whole
// answer: the query's standard output goes to "/dev/null", or is closed
// where no descriptor can be had for that either.
//
// A whole answer is published at `capture` for the device's other
// software: it is copied, as it is read, to a private file made beside the
// name (O_EXCL, not following links, mode 0644 narrowed by the umask) once
// its first bytes arrive, and that copy is renamed over the name, so the
// name only ever holds a whole answer, and nothing planted there is
// followed or written through. An empty folder at the name is removed
// first. Where the answer cannot be published (a folder with files in it,
// another user's file in a sticky /tmp for a daemon not running as root;
// /tmp full, read-only or missing, a file-size limit: then the copy is
// removed at its first failed write), the name keeps what it held.
void ask_tool(const char* capture, const char* command, tool_answer* answer);
