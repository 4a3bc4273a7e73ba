#include "common/text.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

text_file::text_file(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}

text_file::text_file(const char* data, size_t size) : memory_(data), data_(data), end_(size) {}

text_file::~text_file()
{
    if (fd_ >= 0)
        close(fd_);
}

bool text_file::rewind()
{
    at_ = 0;
    if (memory_ != nullptr)
        return true;
    end_ = 0;
    return fd_ >= 0 && lseek(fd_, 0, SEEK_SET) == 0;
}

int text_file::fill()
{
    if (memory_ != nullptr || fd_ < 0)
        return 0;
    for (;;) {
        const ssize_t got = read(fd_, buffer_, sizeof buffer_);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        data_ = buffer_;
        at_ = 0;
        end_ = static_cast<size_t>(got);
        return static_cast<int>(got);
    }
}

bool text_file::read_line(char* line, size_t size)
{
    size_t n = 0;
    while (n + 1 < size) {
        if (at_ == end_) {
            const int got = fill();
            if (got < 0 && n == 0)
                return false;
            if (got <= 0)
                break;
        }
        const char c = data_[at_++];
        line[n++] = c;
        if (c == '\n')
            break;
    }
    line[n] = '\0';
    return n > 0;
}

namespace {
constexpr bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

const char* skip_blanks(const char* text)
{
    while (is_blank(*text))
        ++text;
    return text;
}

// Reads an unsigned number of at most `max` from `*text`: an optional
// sign, then digits. False (nothing read) without a digit.
bool read_number(const char** text, unsigned long long max, unsigned long long* value)
{
    const char* p = *text;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    // Overflow found without a division (a library call on the router).
    unsigned long long n = 0;
    bool beyond = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        beyond = beyond || __builtin_mul_overflow(n, 10U, &n)
                 || __builtin_add_overflow(n, static_cast<unsigned>(*p - '0'), &n) || n > max;
    }
    *text = p;
    *value = beyond ? max : (negative ? (0 - n) & max : n);
    return true;
}
}  // namespace

int scan_counts(const char* text, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int stored = 0;
    for (const char* f = format; *f != '\0'; ++f) {
        if (is_blank(*f)) {
            text = skip_blanks(text);
            continue;
        }
        if (*f != '%') {
            if (*text != *f)
                break;
            ++text;
            continue;
        }
        const bool skip = f[1] == '*';
        f += skip ? 2 : 1;
        int longs = 0;
        for (; *f == 'l'; ++f)
            ++longs;
        const unsigned long long max = longs == 0 ? UINT_MAX : (longs == 1 ? ULONG_MAX : ULLONG_MAX);
        unsigned long long value = 0;
        text = skip_blanks(text);
        if (*f != 'u' || !read_number(&text, max, &value))
            break;
        if (!skip) {
            if (longs == 0)
                *va_arg(ap, unsigned*) = static_cast<unsigned>(value);
            else if (longs == 1)
                *va_arg(ap, unsigned long*) = static_cast<unsigned long>(value);
            else
                *va_arg(ap, unsigned long long*) = value;
            ++stored;
        }
    }
    va_end(ap);
    return stored;
}
