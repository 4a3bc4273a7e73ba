// A query's captured answer: from the file the query writes as its standard
// output to the copy published at the capture's name in /tmp.
#pragma once

// The query writes into an anonymous file of the daemon's own: a memory
// file (Linux 3.17), else an unnamed file in /tmp (3.11), else a private
// file there under an unpredictable name, removed at once.
// Nothing anyone puts at the capture's name in the world-writable /tmp (a
// link, a FIFO, a folder), no race around that name, and no full /tmp can
// change the answer the daemon reads. Once the answer has been read, it is
// published at the name for the device's other software: written to a
// fresh private file beside it, which is renamed over the name, so the
// name never shows a half-written answer and nothing planted there is
// followed or written through. An empty folder at the name is removed
// first. Where the answer cannot be published (a folder with files in it,
// no room in /tmp, another user's file in a sticky /tmp for a daemon not
// running as root), the name keeps what it held; the status does not
// depend on it.
class capture_file {
public:
    // Makes the anonymous file and hands it to the next run_program as the
    // child's standard output (see redirect_stdout). Where no file can be
    // had, the child's output goes to "/dev/null" and the answer is empty.
    explicit capture_file(const char* path);
    // Publishes the answer at the capture's name, then lets the file go.
    ~capture_file();
    capture_file(const capture_file&) = delete;
    capture_file& operator=(const capture_file&) = delete;

    // Bytes of the answer (at most INT_MAX).
    int size() const;
    // Scans `format` (one unsigned conversion, see scan_counts) from the
    // answer's start (its first 255 bytes): 0 with `*value` set, or -1 when
    // it cannot be read or the scan does not convert exactly one number.
    int scan_count(const char* format, unsigned* value) const;
    // The descriptor the daemon reads the answer through (-1: none).
    int descriptor() const { return fd_; }

private:
    const char* path_;
    int fd_;
};

// Scans `format` from the start of the file open at `fd` (left open), as
// capture_file::scan_count does.
int scan_answer(int fd, const char* format, unsigned* value);
