#include "spawn/capture.h"

#include "monitors/text.h"
#include "spawn/spawn.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// The capture files' folder, where an anonymous answer file falls back to.
constexpr const char* TMP = "/tmp";
// The mode of a published capture (narrowed by the daemon's umask), for
// the device's other software to read.
constexpr mode_t CAPTURE_MODE = 0644;
// Longest name made here: a capture's path and a suffix.
constexpr size_t NAME_SIZE = 64;
// How much of an answer a scan reads: the counts stand at its start.
constexpr size_t SCANNED = 255;

// Creates `prefix` followed by six characters from the clock and where
// this process's stack lies (both differ from run to run), with O_EXCL and
// O_NOFOLLOW: nothing anyone put at such a name is opened or followed, and
// another name is tried where one is taken. The name is left in `name`.
int create_private(const char* prefix, mode_t mode, char (&name)[NAME_SIZE])
{
    const size_t length = std::strlen(prefix);
    if (length + 7 > sizeof name)
        return -1;
    std::memcpy(name, prefix, length);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint32_t bits = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&now));
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = 0; i < 6; ++i) {
            bits = bits * 1103515245U + 12345U;
            name[length + i] = "abcdefghijklmnopqrstuvwxyz012345"[(bits >> 16) & 31];
        }
        name[length + 6] = '\0';
        const int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// A private file that no other process can reach by a name: a memory file,
// an unnamed file in /tmp, or a file made there under an unpredictable
// name and removed at once. -1 when none can be had.
int anonymous_file()
{
#ifdef SYS_memfd_create
    // By its system call number: C libraries before glibc 2.27 and musl
    // 1.1.20 have no wrapper. 1 is MFD_CLOEXEC.
    const int memory = static_cast<int>(syscall(SYS_memfd_create, "tavrin-answer", 1U));
    if (memory >= 0)
        return memory;
#endif
#ifdef O_TMPFILE
    // A kernel without it sees O_DIRECTORY on a write open and refuses.
    const int unnamed = open(TMP, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0)
        return unnamed;
#endif
    char name[NAME_SIZE];
    const int named = create_private("/tmp/.tavrin-answer-", 0600, name);
    if (named >= 0)
        unlink(name);
    return named;
}

// Copies the whole file at `from` into `to`; false on any short write.
bool copy_answer(int from, int to)
{
    off_t at = 0;
    for (;;) {
        const ssize_t sent = sendfile(to, from, &at, 1 << 20);
        if (sent == 0)
            return true;
        if (sent < 0 && errno != EINTR)
            return false;
    }
}

// Renames `temp` over `path`. rename() replaces a link, FIFO or file at
// the name without following it; an empty folder there is removed first
// (never recursively).
bool replace_name(const char* temp, const char* path)
{
    if (rename(temp, path) == 0)
        return true;
    return errno == EISDIR && rmdir(path) == 0 && rename(temp, path) == 0;
}

// Publishes the answer in `answer` at `path`; quietly gives up where it
// cannot (see capture.h).
void publish(int answer, const char* path)
{
    char prefix[NAME_SIZE];
    const size_t length = std::strlen(path);
    if (length + 2 > sizeof prefix)
        return;
    std::memcpy(prefix, path, length);
    std::memcpy(prefix + length, ".", 2);
    char temp[NAME_SIZE];
    const int fd = create_private(prefix, CAPTURE_MODE, temp);
    if (fd < 0)
        return;
    const bool written = copy_answer(answer, fd);
    if (close(fd) != 0 || !written || !replace_name(temp, path))
        unlink(temp);
}
}  // namespace

capture_file::capture_file(const char* path) : path_(path), fd_(fd_above_stdio(anonymous_file()))
{
    // The runner closes what it is given after the fork: it gets a
    // duplicate, above 2 like the file itself.
    redirect_stdout(fd_ < 0 ? -1 : fcntl(fd_, F_DUPFD_CLOEXEC, 3));
}

capture_file::~capture_file()
{
    if (fd_ < 0)
        return;
    publish(fd_, path_);
    close(fd_);
}

int capture_file::size() const
{
    // The end of the file (the offset is not used to read: see scan_answer).
    const off_t end = fd_ < 0 ? 0 : lseek(fd_, 0, SEEK_END);
    if (end < 0)
        return 0;
    return end > INT_MAX ? INT_MAX : static_cast<int>(end);
}

int capture_file::scan_count(const char* format, unsigned* value) const
{
    return scan_answer(fd_, format, value);
}

int scan_answer(int fd, const char* format, unsigned* value)
{
    if (fd < 0)
        return -1;
    // From the start: the query's writes moved the shared offset to the end.
    char text[SCANNED + 1];
    const ssize_t got = lseek(fd, 0, SEEK_SET) == 0 ? read(fd, text, SCANNED) : -1;
    if (got < 0)
        return -1;
    text[got] = '\0';
    return scan_counts(text, format, value) == 1 ? 0 : -1;
}
