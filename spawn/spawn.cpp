#include "spawn/spawn.h"

#include "daemon/service.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int MAX_ARGS = 62;  // slot 0 is the path, the last slot stays null

thread_local child_redirect redirect_record = {-1, -1, -1};

// Opens "/dev/null" at a descriptor above 2, so that replacing the standard
// descriptors below cannot close it. -1 when it cannot be had.
int open_null_above_stdio()
{
    return fd_above_stdio(open("/dev/null", O_RDWR));
}

void close_from_3()
{
    if (close_range(3, ~0U, 0) == 0)
        return;
    // Kernels before 5.9: one call per possible descriptor.
    for (int fd = getdtablesize() - 1; fd >= 3; --fd)
        close(fd);
}

// `argv` holds the arguments from slot 1 on; slot 0 gets the child's own
// copy of the program path.
[[noreturn]] void child_exec(const char* path, char** argv)
{
    // Its own process group: a query that outlives a stop request is ended
    // with everything it started (a shell's pipeline included).
    setpgid(0, 0);
    const int nul = open_null_above_stdio();
    const int wanted[3] = {redirect_record.in_fd, redirect_record.out_fd, redirect_record.err_fd};
    for (int k = 0; k < 3; ++k) {
        const int v = wanted[k];
        if (v == k)
            continue;
        close(k);
        if (v >= 0)
            dup2(v, k);
        else if (nul >= 0)
            dup2(nul, k);
    }
    close_from_3();

    argv[0] = strdup(path);
    if (argv[0] == nullptr)
        _exit(1);
    execvp(argv[0], argv);
    _exit(1);
}
}  // namespace

child_redirect redirect_current()
{
    return redirect_record;
}

void redirect_stdout(int fd)
{
    if (fd == 0 || fd == 2)
        return;
    redirect_record.out_fd = fd;
}

void redirect_reset()
{
    for (int* fd : {&redirect_record.in_fd, &redirect_record.out_fd, &redirect_record.err_fd}) {
        if (*fd > 2)
            close(*fd);
        *fd = -1;
    }
}

int fd_above_stdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int lifted = fcntl(fd, F_DUPFD, 3);
    close(fd);
    return lifted;
}

namespace {
// Rounds of GRACE_STEP_MS that running queries may still take once a stop
// is pending; counted down across queries, so the grace is shared by all
// the queries of the iteration that saw the stop.
constexpr int GRACE_STEP_MS = 250;
int grace_steps_left = STOP_GRACE_MS / GRACE_STEP_MS;

// Waits until child `pid` ends, or until the grace of a stop request is
// over; true when it ended. While no stop is pending it waits as long as it
// takes, looking at the stop flag once a second: the stop signals restart
// waitpid, so only a timed wait notices them. Without pidfd (kernels before
// 5.3) the wait has no end but the child's.
bool wait_within_grace(pid_t pid)
{
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        return true;
    pollfd child = {pidfd, POLLIN, 0};
    bool ended = false;
    while (!ended && grace_steps_left > 0) {
        const bool stopping = got_signal.load(std::memory_order_relaxed) != 0;
        ended = poll(&child, 1, stopping ? GRACE_STEP_MS : 1000) > 0;
        if (stopping && !ended)
            --grace_steps_left;
    }
    close(pidfd);
    return ended;
}
}  // namespace

int run_program(const char* path, ...)
{
    // The child's argument vector: the path (slot 0, set in the child), at
    // most MAX_ARGS arguments, a null slot.
    char* argv[MAX_ARGS + 2];
    va_list ap;
    va_start(ap, path);
    int n = 1;
    while (n <= MAX_ARGS && (argv[n] = va_arg(ap, char*)) != nullptr)
        ++n;
    va_end(ap);
    argv[n] = nullptr;

    // Once a stop request's grace is over, nothing more is started.
    const pid_t pid = grace_steps_left == 0 ? -1 : fork();
    if (pid == 0)
        child_exec(path, argv);
    redirect_reset();
    if (pid < 0)
        return -1;
    setpgid(pid, pid);  // whichever of the two runs first
    if (!wait_within_grace(pid))
        kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

namespace {
bool own_plain_file(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// Opens `path` only if it is a plain file of this process's own user with no
// other name. The capture names are fixed and sit in the world-writable /tmp:
// O_NOFOLLOW refuses a symbolic link planted there; O_NONBLOCK keeps a
// planted FIFO from blocking the open (it is then refused, and the flag is
// cleared again for a file that is kept); a file of another user, or a hard
// link to some other file, is refused before anything is truncated.
int open_own_file(const char* path, int flags, mode_t mode)
{
    const int fd = open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK, mode);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !own_plain_file(st) || ((flags & O_TRUNC) != 0 && ftruncate(fd, 0) != 0)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
}  // namespace

int open_capture(const char* path)
{
    // Anything else at the name (planted in /tmp by anyone, before the
    // daemon's first query or in place of its file) is removed unopened,
    // never recursively, and a fresh file is made. A name that cannot be
    // removed, or one that reappears before the file is made, is refused.
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (own_plain_file(st))
            return fd_above_stdio(open_own_file(path, CAPTURE_FLAGS, CAPTURE_MODE));
        if (remove(path) != 0)  // unlink, or rmdir for a folder
            return -1;
    }
    // Above 2: a daemon started without standard descriptors must neither
    // keep the capture as its own output nor have the runner ignore it.
    return fd_above_stdio(open(path, CAPTURE_FLAGS | O_EXCL, CAPTURE_MODE));
}

FILE* open_capture_read(const char* path)
{
    const int fd = open_own_file(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    FILE* file = fdopen(fd, "r");
    if (file == nullptr)
        close(fd);
    return file;
}

int file_exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}

int file_size(const char* path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || !own_plain_file(st))
        return 0;
    return st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
}
