// A query's answer: what a tool writes to its standard output, read from a
// pipe while the tool runs, and its copy at the capture's name in /tmp for
// the device's other software.
#pragma once

#include "spawn/spawn.h"

#include <climits>
#include <cstddef>

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

// One query's answer. The status comes from what the daemon read of the
// pipe alone: nothing anyone puts at the capture's name in the
// world-writable /tmp (a link, a FIFO, a folder), no race around that name,
// and no full, read-only or missing /tmp changes it. Where no pipe can be
// had (no descriptor left), the query's output goes to "/dev/null" and the
// answer is empty.
//
// The copy is written, as the answer is read, to a private file made beside
// the name (O_EXCL, not following links, mode 0644 narrowed by the umask),
// and publish() renames it over the name, so the name only ever holds the
// whole answer of a query that ended by itself, and nothing planted there
// is followed or written through. An empty folder at the name is removed
// first. Where the copy cannot be made or written (a folder with files in
// it, /tmp full, read-only or missing, another user's file in a sticky
// /tmp for a daemon not running as root), the name keeps what it held.
class query_answer {
public:
    // Makes the pipe and the private copy beside `capture`; nothing runs yet.
    explicit query_answer(const char* capture);
    // Closes the pipe and the copy, and removes a copy not published.
    ~query_answer();
    query_answer(const query_answer&) = delete;
    query_answer& operator=(const query_answer&) = delete;

    // Runs the shell command `command` ("/bin/sh -c"), its standard output
    // read into this answer. The wait status, as run_program gives it.
    int run(const char* command);
    // Renames the copy over the capture's name when the query ended by
    // itself and its whole answer is in the copy. True when published.
    bool publish();

    // Bytes of the answer.
    size_t size() const { return head_.size; }
    int scan_count(const char* format, unsigned* value) const { return answer_head_scan(head_, format, value); }

private:
    static void take(void* into, const char* bytes, size_t count);

    const char* capture_;
    output_drain drain_;
    int write_fd_ = -1;  // the pipe's write end, until run() hands it to the child
    answer_head head_;
    int copy_fd_ = -1;
    bool copy_whole_ = false;  // every byte read so far is in the copy
    char copy_name_[PATH_MAX];
};
