// Reading the text the daemon's sources give, with nothing of the C
// library's stdio (which wants the heap) or scanf (which brings float
// parsing): a file's lines through a fixed buffer, and unsigned counts read
// the way scanf reads the daemon's formats.
#pragma once

#include <cstddef>

// The longest line the daemon's readers take (with its LF and the
// terminating zero), and the read buffer of a text_file: the kernel files
// they read have lines of some 100 to 200 bytes.
inline constexpr size_t TEXT_LINE_SIZE = 256;

// A file read line by line, from a descriptor it owns (closed when it goes)
// or from bytes in memory.
class text_file {
public:
    // Opens `path` for reading; see is_open().
    explicit text_file(const char* path);
    // Reads `size` bytes at `data` (kept by the caller).
    text_file(const char* data, size_t size);
    ~text_file();
    text_file(const text_file&) = delete;
    text_file& operator=(const text_file&) = delete;

    bool is_open() const { return fd_ >= 0 || memory_ != nullptr; }
    // Back to the first line; false when the file cannot be read again.
    bool rewind();
    // The next line into `line`, as fgets reads one: at most `size` - 1
    // bytes, up to and with its LF, then a terminating zero (a NUL byte in
    // the line is copied as any other). False at the end of the file, or on
    // a read error, with nothing read.
    bool read_line(char* line, size_t size);

private:
    int fill();  // bytes buffered after a read, 0 at the end, -1 on an error

    int fd_ = -1;
    const char* memory_ = nullptr;
    const char* data_ = nullptr;  // buffered bytes: [at_, end_)
    size_t at_ = 0;
    size_t end_ = 0;
    char buffer_[TEXT_LINE_SIZE];
};

// Scans `text` as sscanf(text, format, ...) scans the formats the daemon
// uses: blanks (any run of white space, none included), other characters
// matched as they stand, and unsigned conversions %u (unsigned*), %lu
// (unsigned long*), %llu (unsigned long long*) and %*u (read, not stored),
// each after white space, with an optional sign. A number beyond its
// type's range reads as the type's largest value, as the router's 32-bit C
// library reads %u and %lu; a minus sign wraps. Returns the number of
// values stored: the scan ends at the first character that does not fit.
int scan_counts(const char* text, const char* format, ...) __attribute__((format(scanf, 2, 3)));
