#include "spawn/spawn.h"

#include "daemon/service.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
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

// Closes every descriptor from 3 up: close_range (Linux 5.9) by its system
// call number, as C libraries before glibc 2.34 have no wrapper for it;
// without it, one call per possible descriptor.
void close_from_3()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
#endif
    for (int fd = getdtablesize() - 1; fd >= 3; --fd)
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

child_redirect redirect_current()
{
    return redirect_record;
}

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
// The stop grace: its deadline once the runner has seen a stop request,
// and whether a query was ended (or refused) because it ran out.
bool grace_started = false;
timespec grace_deadline;
bool query_abandoned = false;

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

// Starts the grace at the first stop request seen (later ones leave it as
// it is). Its deadline, or nullptr while no stop is requested.
const timespec* start_grace_on_stop()
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

// Reads what the pipe of `drain` holds into its taker, at most `limit`
// bytes. False once the pipe is at its end (or cannot be read): it is not
// to be waited on any more.
bool read_pipe(output_drain* drain, size_t limit)
{
    char chunk[DRAIN_CHUNK];
    while (limit > 0) {
        const ssize_t got = read(drain->fd, chunk, limit < sizeof chunk ? limit : sizeof chunk);
        if (got > 0) {
            drain->take(drain->into, chunk, static_cast<size_t>(got));
            limit -= static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 && errno == EAGAIN;
    }
    return true;
}

// Takes what the child wrote before it ended: the bytes in the pipe now,
// and no more (a process it left behind may hold the pipe and go on
// writing).
void read_rest(output_drain* drain)
{
    int queued = 0;
    if (ioctl(drain->fd, FIONREAD, &queued) == 0 && queued > 0)
        read_pipe(drain, static_cast<size_t>(queued));
}

// Waits until child `pid` ends (1), the wait fails (-1), or a deadline
// passes (0): `deadline`, or else that of the stop grace once a stop is
// requested. Reads `drain` (may be nullptr) while it waits. `wake` is the
// mask ppoll waits with: the caller's, with SIGCHLD and the stop signals
// let in.
int wait_until(pid_t pid, int* status, output_drain* drain, const sigset_t& wake, const timespec* deadline)
{
    bool reading = drain != nullptr && drain->fd >= 0;
    for (;;) {
        const int state = reap(pid, status);
        if (state != 0)
            return state;
        const timespec* until = deadline != nullptr ? deadline : start_grace_on_stop();
        if (until != nullptr && passed(*until))
            return 0;
        const timespec left = until != nullptr ? time_left(*until) : timespec{0, 0};
        pollfd pipe_end = {reading ? drain->fd : -1, POLLIN, 0};
        const int ready = ppoll(&pipe_end, 1, until != nullptr ? &left : nullptr, &wake);
        if (ready > 0 && pipe_end.revents != 0)
            reading = read_pipe(drain, DRAIN_PER_WAKE);
    }
}

// Waits for the query `pid`; ends it with its process group when the stop
// grace runs out. Its wait status, or -1.
int wait_for_query(pid_t pid, output_drain* drain, const sigset_t& wake)
{
    int status = -1;
    const int state = wait_until(pid, &status, drain, wake, nullptr);
    if (state == 1) {
        if (drain != nullptr && drain->fd >= 0) {
            read_rest(drain);
            drain->whole = true;
        }
        return status;
    }
    if (state < 0)
        return -1;
    query_abandoned = true;
    if (kill(-pid, SIGKILL) != 0)
        kill(pid, SIGKILL);  // no group of its own after all
    // A process stuck in a driver cannot die until the driver lets go:
    // give up on it after a short while, and leave it to init.
    const timespec limit = after_ms(monotonic_now(), KILL_WAIT_MS);
    return wait_until(pid, &status, nullptr, wake, &limit) == 1 ? status : -1;
}

int run(output_drain* drain, const char* path, va_list ap)
{
    // The child's argument vector: the path (slot 0, set in the child), at
    // most MAX_ARGS arguments, a null slot.
    char* argv[MAX_ARGS + 2];
    int n = 1;
    while (n <= MAX_ARGS && (argv[n] = va_arg(ap, char*)) != nullptr)
        ++n;
    argv[n] = nullptr;
    if (drain != nullptr)
        drain->whole = false;

    // Once a stop request's grace is over, nothing more is started.
    const timespec* deadline = start_grace_on_stop();
    if (query_abandoned || (deadline != nullptr && passed(*deadline))) {
        query_abandoned = true;
        redirect_reset();
        return -1;
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
    int status = -1;
    if (pid > 0) {
        setpgid(pid, pid);  // whichever of the two runs first
        status = wait_for_query(pid, drain, wake);
    }
    sigaction(SIGCHLD, &caller_on_child, nullptr);
    sigprocmask(SIG_SETMASK, &daemon_mask, nullptr);
    return status;
}
}  // namespace

bool stop_grace_over()
{
    return query_abandoned;
}

int run_program(const char* path, ...)
{
    va_list ap;
    va_start(ap, path);
    const int status = run(nullptr, path, ap);
    va_end(ap);
    return status;
}

int run_program_drained(output_drain* drain, const char* path, ...)
{
    va_list ap;
    va_start(ap, path);
    const int status = run(drain, path, ap);
    va_end(ap);
    return status;
}

int file_exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}
