// A query's capture file, from its making before the query to the reading
// of the answer after it.
#pragma once

#include <cstdio>

// The capture is made at its name in /tmp right before the query (see
// open_capture) and handed to the query as its standard output. The daemon
// keeps a descriptor of the file it made and reads the answer back through
// it, never through the name again: the name sits in the world-writable
// /tmp, and whatever anyone puts there while the query runs (a link, a
// FIFO, a file of their own) must change neither the answer nor the
// daemon's fate. Where no file could be made, the child's output went to
// "/dev/null" and the answer is read from whatever the name holds, with
// the checks of open_capture_read.
class capture_file {
public:
    explicit capture_file(const char* path);
    ~capture_file();
    capture_file(const capture_file&) = delete;
    capture_file& operator=(const capture_file&) = delete;

    // Bytes of the answer.
    int size() const;
    // Scans `format` (one unsigned conversion) from the answer's start:
    // 0 with `*value` set, or -1 when it cannot be read or the scan does
    // not convert exactly one number.
    int scan_count(const char* format, unsigned* value) const;

private:
    const char* path_;
    int fd_;
};

// Scans `format` from the start of `file` and closes it; -1 for nullptr.
int capture_scan_count(FILE* file, const char* format, unsigned* value);
