#include "spawn/capture.h"

#include "spawn/spawn.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// The mode of a published capture (narrowed by the daemon's umask), for
// the device's other software to read.
constexpr mode_t CAPTURE_MODE = 0644;
// Longest capture path taken; the names are short and fixed.
constexpr size_t PATH_SIZE = 256;

// The folder of `path` into `folder`; false when it does not fit.
bool folder_of(const char* path, char (&folder)[PATH_SIZE])
{
    const char* slash = std::strrchr(path, '/');
    const size_t length = slash == nullptr ? 1 : (slash == path ? 1 : static_cast<size_t>(slash - path));
    if (length >= sizeof folder)
        return false;
    std::memcpy(folder, slash == nullptr ? "." : path, length);
    folder[length] = '\0';
    return true;
}

// A private file in `folder` that no other process can reach by a name:
// a memory file, an unnamed file, or a file made under an unpredictable
// name and removed at once. -1 when none can be had.
int anonymous_file(const char* path)
{
#ifdef SYS_memfd_create
    // By its system call number: C libraries before glibc 2.27 and musl
    // 1.1.20 have no wrapper. 1 is MFD_CLOEXEC.
    const int memory = static_cast<int>(syscall(SYS_memfd_create, "tavrin-answer", 1U));
    if (memory >= 0)
        return memory;
#endif
    char folder[PATH_SIZE];
    if (!folder_of(path, folder))
        return -1;
#ifdef O_TMPFILE
    // A kernel without it sees O_DIRECTORY on a write open and refuses.
    const int unnamed = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0)
        return unnamed;
#endif
    char name[PATH_SIZE];
    if (static_cast<size_t>(std::snprintf(name, sizeof name, "%s/.tavrin-answer-XXXXXX", folder)) >= sizeof name)
        return -1;
    const int named = mkostemp(name, O_CLOEXEC);  // mode 0600, made with O_EXCL
    if (named >= 0)
        unlink(name);
    return named;
}

mode_t process_umask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Copies the whole file at `from` into `to`; false on any short write.
bool copy_answer(int from, int to)
{
    char block[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t got = pread(from, block, sizeof block, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(to, block + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return false;
            done += put;
        }
        at += got;
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
    char temp[PATH_SIZE];
    if (static_cast<size_t>(std::snprintf(temp, sizeof temp, "%s.XXXXXX", path)) >= sizeof temp)
        return;
    const int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0)
        return;
    const bool written = copy_answer(answer, fd) && fchmod(fd, CAPTURE_MODE & ~process_umask()) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || !replace_name(temp, path))
        unlink(temp);
}
}  // namespace

capture_file::capture_file(const char* path) : path_(path), fd_(fd_above_stdio(anonymous_file(path)))
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
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0)
        return 0;
    return st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
}

int capture_file::scan_count(const char* format, unsigned* value) const
{
    return scan_answer(fd_, format, value);
}

int scan_answer(int fd, const char* format, unsigned* value)
{
    if (fd < 0)
        return -1;
    // A stream of its own, from the start: the query's writes moved the
    // shared offset to the end.
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return -1;
    FILE* file = fdopen(copy, "r");
    if (file == nullptr) {
        close(copy);
        return -1;
    }
    const int got = std::fseek(file, 0, SEEK_SET) == 0 ? std::fscanf(file, format, value) : EOF;
    std::fclose(file);
    return got == 1 ? 0 : -1;
}
