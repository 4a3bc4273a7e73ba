#include "spawn/spawn.h"

#include "daemon/service.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int MAX_ARGS = 62;  // slot 0 is the path, the last slot stays null
// How much of a drained pipe is read at a time, and at most at one wake-up
// (then the child and the stop grace are looked at again, however fast
// the child writes).
constexpr size_t DRAIN_CHUNK = 4096;
constexpr size_t DRAIN_PER_WAKE = 16 * DRAIN_CHUNK;

thread_local child_redirect redirect_record = {-1, -1, -1};

// Opens "/dev/null" at a descriptor above 2, so that replacing the standard
// descriptors below cannot close it. -1 when it cannot be had.
int open_null_above_stdio()
{
    return move_above_stdio(open("/dev/null", O_RDWR));
}

// One more than the highest descriptor the process may hold. glibc asks
// the kernel only through prlimit64 (Linux 2.6.36) and, without it, takes
// 256; the old call itself (32-bit ARM: ugetrlimit) does not.
#if defined(SYS_ugetrlimit)
constexpr long GETRLIMIT = SYS_ugetrlimit;
#elif defined(SYS_getrlimit)
constexpr long GETRLIMIT = SYS_getrlimit;
#endif
int descriptor_limit()
{
    struct {
        unsigned long cur, max;
    } limit;
    if (syscall(GETRLIMIT, RLIMIT_NOFILE, &limit) == 0)
        return limit.cur < INT_MAX ? static_cast<int>(limit.cur) : INT_MAX;
    return getdtablesize();
}

// Closes every descriptor from 3 up: close_range (Linux 5.9) by its system
// call number, as C libraries before glibc 2.34 have no wrapper for it;
// without it, one call per possible descriptor.
void close_from_3()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
#endif
    for (int fd = descriptor_limit() - 1; fd >= 3; --fd)
        close(fd);
}

// `argv` holds the arguments from slot 1 on; slot 0 gets the program path
// itself (execvp neither writes nor keeps the vector, and a copy on the
// heap would bring an allocator into the static build for nothing). `mask`
// is the daemon's own signal mask, which the runner narrowed for its wait.
[[noreturn]] void child_exec(const char* path, char** argv, const sigset_t& mask)
{
    // Its own process group: a query that outlives a stop request is ended
    // with everything it started (a shell's pipeline included).
    setpgid(0, 0);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
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

    argv[0] = const_cast<char*>(path);
    execvp(path, argv);
    _exit(1);
}
}  // namespace

void redirect_stdout(int fd)
{
    if (fd == 0 || fd == 2)
        return;
    // A descriptor stored before and not yet handed to a child is the
    // runner's: it would leak once overwritten.
    if (redirect_record.out_fd > 2 && redirect_record.out_fd != fd)
        close(redirect_record.out_fd);
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

int move_above_stdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

bool open_child_pipe(int fds[2])
{
    if (pipe(fds) != 0)
        return false;
    fds[0] = move_above_stdio(fds[0]);
    fds[1] = move_above_stdio(fds[1]);
    if (fds[0] >= 0 && fds[1] >= 0 && fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 &&
        fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0 && fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0)
        return true;
    if (fds[0] >= 0)
        close(fds[0]);
    if (fds[1] >= 0)
        close(fds[1]);
    return false;
}

namespace {
// The stop grace's deadline, once the runner has seen a stop request.
bool grace_started = false;
timespec grace_deadline;

timespec monotonic_now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec after_ms(timespec t, int ms)
{
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
    return t;
}

// How long until `deadline`; zero once it has passed.
timespec time_left(const timespec& deadline)
{
    const timespec now = monotonic_now();
    timespec left = {deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        --left.tv_sec;
    }
    if (left.tv_sec < 0)
        return {0, 0};
    return left;
}

bool passed(const timespec& deadline)
{
    const timespec left = time_left(deadline);
    return left.tv_sec == 0 && left.tv_nsec == 0;
}

// Looks at the stop flag; the first stop request seen starts the grace
// (later ones leave it as it is). The grace's deadline, or nullptr while
// no stop is requested.
const timespec* grace_deadline_if_stopping()
{
    if (got_signal.load(std::memory_order_relaxed) == 0)
        return nullptr;
    if (!grace_started) {
        grace_deadline = after_ms(monotonic_now(), STOP_GRACE_MS);
        grace_started = true;
    }
    return &grace_deadline;
}

// The signals the runner's wait wakes up for: a child's end and the stop
// signals. They are blocked while it looks at the child and the stop
// flag, and let in only inside ppoll, so none slips in between.
sigset_t wake_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    for (int sig : STOP_SIGNALS)
        sigaddset(&set, sig);
    return set;
}

// SIGCHLD's handler during a run: it only ends ppoll. (Left at its default
// the signal would be discarded without waking it.)
void wake_on_child(int) {}

// 1 when child `pid` has ended (`*status` set), 0 while it runs, -1 when
// it cannot be waited for.
int reap(pid_t pid, int* status)
{
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// A drain as the wait reads it.
struct pipe_reading {
    const output_drain* drain;  // nullptr: nothing to read
    bool open;                  // not at its end yet: still to be waited on
    bool failed;                // a read failed: what was read is not all
};

// Reads what the pipe holds into the drain's taker, at most `limit` bytes,
// and notes its end or a failed read.
void read_pipe(pipe_reading& pipe, size_t limit)
{
    char chunk[DRAIN_CHUNK];
    while (limit > 0) {
        const ssize_t got = read(pipe.drain->fd, chunk, limit < sizeof chunk ? limit : sizeof chunk);
        if (got > 0) {
            pipe.drain->take(pipe.drain->into, chunk, static_cast<size_t>(got));
            limit -= static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return;
        pipe.open = false;
        pipe.failed = got < 0;
        return;
    }
}

// Takes what the child wrote before it ended: the bytes in the pipe now,
// and no more (a process it left behind may hold the pipe and go on
// writing). False when they could not all be read.
bool read_rest(pipe_reading& pipe)
{
    if (pipe.failed)
        return false;
    if (!pipe.open)
        return true;
    int queued = 0;
    if (ioctl(pipe.drain->fd, FIONREAD, &queued) != 0)
        return false;
    read_pipe(pipe, static_cast<size_t>(queued));
    return !pipe.failed;
}

enum class waited {
    child_ended,  // reaped: the status is set
    deadline,     // the deadline passed first
    reap_failed,  // waitpid failed: the child is not (or no longer) ours
    wait_failed,  // ppoll failed: the wait cannot go on
};

// Waits until child `pid` ends or `deadline` passes (nullptr: the stop
// grace's, once a stop is requested), reading `pipe` while it waits.
// `wake` is the mask ppoll waits with: the caller's, with SIGCHLD and the
// stop signals let in.
waited wait_until(pid_t pid, int* status, pipe_reading& pipe, const sigset_t& wake, const timespec* deadline)
{
    for (;;) {
        const int state = reap(pid, status);
        if (state != 0)
            return state > 0 ? waited::child_ended : waited::reap_failed;
        const timespec* until = deadline != nullptr ? deadline : grace_deadline_if_stopping();
        if (until != nullptr && passed(*until))
            return waited::deadline;
        const timespec left = until != nullptr ? time_left(*until) : timespec{0, 0};
        pollfd pipe_end = {pipe.open ? pipe.drain->fd : -1, POLLIN, 0};
        const int ready = ppoll(&pipe_end, pipe.open ? 1 : 0, until != nullptr ? &left : nullptr, &wake);
        if (ready < 0 && errno != EINTR)
            return waited::wait_failed;
        if (ready > 0 && pipe_end.revents != 0)
            read_pipe(pipe, DRAIN_PER_WAKE);
    }
}

// Waits for the query `pid`, reading `drain` (may be nullptr) meanwhile;
// ends it with its process group when the stop grace runs out or the wait
// cannot go on.
query_result wait_for_query(pid_t pid, const output_drain* drain, const sigset_t& wake)
{
    const bool reading = drain != nullptr && drain->fd >= 0;
    pipe_reading pipe = {reading ? drain : nullptr, reading, false};
    int status = -1;
    query_end end = query_end::abandoned;
    switch (wait_until(pid, &status, pipe, wake, nullptr)) {
    case waited::child_ended: {
        const bool read_all = pipe.drain != nullptr && read_rest(pipe);
        return {WIFSIGNALED(status) ? query_end::signalled : query_end::exited, status, read_all};
    }
    case waited::reap_failed:
        return {query_end::wait_failed, -1, false};
    case waited::wait_failed:
        end = query_end::wait_failed;
        break;
    case waited::deadline:
        break;
    }
    if (kill(-pid, SIGKILL) != 0)
        kill(pid, SIGKILL);  // no group of its own after all
    // A process stuck in a driver cannot die until the driver lets go:
    // give up on it after a short while, and leave it to init. The pipe is
    // not looked at any more.
    const timespec limit = after_ms(monotonic_now(), KILL_WAIT_MS);
    pipe_reading none = {nullptr, false, false};
    if (wait_until(pid, &status, none, wake, &limit) != waited::child_ended)
        status = -1;
    return {end, status, false};
}

query_result run(const output_drain* drain, const char* path, va_list ap)
{
    // The child's argument vector: the path (slot 0, set in the child), at
    // most MAX_ARGS arguments, a null slot.
    char* argv[MAX_ARGS + 2];
    int n = 1;
    while (n <= MAX_ARGS && (argv[n] = va_arg(ap, char*)) != nullptr)
        ++n;
    argv[n] = nullptr;

    // Once a stop request's grace is over, nothing more is started.
    const timespec* deadline = grace_deadline_if_stopping();
    if (deadline != nullptr && passed(*deadline)) {
        redirect_reset();
        return {query_end::abandoned, -1, false};
    }
    const sigset_t signals = wake_signals();
    sigset_t daemon_mask;
    sigprocmask(SIG_BLOCK, &signals, &daemon_mask);
    sigset_t wake = daemon_mask;
    sigdelset(&wake, SIGCHLD);
    for (int sig : STOP_SIGNALS)
        sigdelset(&wake, sig);
    struct sigaction on_child = {};
    on_child.sa_handler = wake_on_child;
    struct sigaction caller_on_child;
    sigaction(SIGCHLD, &on_child, &caller_on_child);

    const pid_t pid = fork();
    if (pid == 0)
        child_exec(path, argv, daemon_mask);
    redirect_reset();
    query_result result = {query_end::not_started, -1, false};
    if (pid > 0) {
        setpgid(pid, pid);  // whichever of the two runs first
        result = wait_for_query(pid, drain, wake);
    }
    sigaction(SIGCHLD, &caller_on_child, nullptr);
    sigprocmask(SIG_SETMASK, &daemon_mask, nullptr);
    return result;
}
}  // namespace

query_result run_query(const output_drain* drain, const char* path, ...)
{
    va_list ap;
    va_start(ap, path);
    const query_result result = run(drain, path, ap);
    va_end(ap);
    return result;
}

query_result run_shell(const char* command, const output_drain* drain)
{
    return run_query(drain, "/bin/sh", "-c", command, nullptr);
}

int run_program(const char* path, ...)
{
    va_list ap;
    va_start(ap, path);
    const query_result result = run(nullptr, path, ap);
    va_end(ap);
    return result.status;
}

int file_exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}
