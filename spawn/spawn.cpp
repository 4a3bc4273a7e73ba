#include "spawn/spawn.h"

#include "daemon/service.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdarg>
#include <ctime>
#include <initializer_list>
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
// The stop grace: one deadline, set when the runner first sees a stop
// request, and whether it has run out.
bool grace_started = false;
timespec grace_deadline;
bool grace_over = false;

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

// The grace's deadline once a stop is requested; nullptr while none is.
const timespec* stop_deadline()
{
    if (got_signal.load(std::memory_order_relaxed) == 0)
        return nullptr;
    if (!grace_started) {
        grace_deadline = after_ms(monotonic_now(), STOP_GRACE_MS);
        grace_started = true;
    }
    return &grace_deadline;
}

// What the runner's wait wakes up for: a child's end and the stop signals.
// They are blocked while it waits, so one that comes between a look at the
// child or the stop flag and the sleep stays pending and ends the sleep.
sigset_t wait_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    for (int sig : STOP_SIGNALS)
        sigaddset(&set, sig);
    return set;
}

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

// With `signals` blocked: waits until child `pid` ends (1), the wait fails
// (-1), or a deadline passes (0): `deadline`, or else that of the stop
// grace once a stop is requested. A stop signal taken by the wait is
// recorded as its handler would record it. Without a deadline the child is
// looked at again every second all the same: with SIGCHLD ignored (reset
// at start, but not for every caller) its end sends no signal.
int wait_until(pid_t pid, int* status, const sigset_t& signals, const timespec* deadline)
{
    constexpr timespec RECHECK = {1, 0};
    for (;;) {
        const int state = reap(pid, status);
        if (state != 0)
            return state;
        const timespec* until = deadline != nullptr ? deadline : stop_deadline();
        if (until != nullptr && passed(*until))
            return 0;
        const timespec left = until != nullptr ? time_left(*until) : RECHECK;
        siginfo_t info;
        const int sig = sigtimedwait(&signals, &info, &left);
        if (sig > 0 && sig != SIGCHLD)
            handle_stop_signal(sig);
    }
}

// Waits for the query `pid`; ends it with its process group when the stop
// grace runs out. Its wait status, or -1.
int wait_for_query(pid_t pid, const sigset_t& signals)
{
    int status = -1;
    const int state = wait_until(pid, &status, signals, nullptr);
    if (state != 0)
        return state == 1 ? status : -1;
    grace_over = true;
    if (kill(-pid, SIGKILL) != 0)
        kill(pid, SIGKILL);  // no group of its own after all
    // A process stuck in a driver cannot die until the driver lets go:
    // give up on it after a short while, and leave it to init.
    const timespec limit = after_ms(monotonic_now(), KILL_WAIT_MS);
    return wait_until(pid, &status, signals, &limit) == 1 ? status : -1;
}
}  // namespace

bool stop_grace_over()
{
    return grace_over;
}

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
    const timespec* deadline = stop_deadline();
    if (deadline != nullptr && passed(*deadline))
        grace_over = true;
    if (grace_over) {
        redirect_reset();
        return -1;
    }
    const sigset_t signals = wait_signals();
    sigset_t daemon_mask;
    sigprocmask(SIG_BLOCK, &signals, &daemon_mask);
    const pid_t pid = fork();
    if (pid == 0)
        child_exec(path, argv, daemon_mask);
    redirect_reset();
    int status = -1;
    if (pid > 0) {
        setpgid(pid, pid);  // whichever of the two runs first
        status = wait_for_query(pid, signals);
    }
    sigprocmask(SIG_SETMASK, &daemon_mask, nullptr);
    return status;
}

int file_exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}

int file_size(const char* path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
}
