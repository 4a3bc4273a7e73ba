// Stand-in for the router's GPIO character device, loaded into the daemon
// with LD_PRELOAD (or linked into a test program).
//
// When TAVRIN_SIM_DIR is set, an open of "/dev/gpio" opens the file
// $TAVRIN_SIM_DIR/gpio instead: the device is present while that file exists.
// ioctl calls on a descriptor obtained that way are answered here:
//   LED set: recorded, returns 0;
//   pin reads: return the level in $TAVRIN_SIM_DIR/pins/<pin> (0 when the
//   file is missing; "err" makes the read fail with EIO).
// Every event is appended to $TAVRIN_SIM_DIR/gpio.log as one line:
//   <CLOCK_MONOTONIC ns> open 1|0        (device present / absent)
//   <ns> led <level>
//   <ns> get <pin> <result>
// Without TAVRIN_SIM_DIR every call passes straight through. With
// TAVRIN_SIM_PASSTHROUGH=1 only the open is redirected and the ioctl calls go
// to the kernel (which refuses them on a plain file), so that a trace of the
// daemon's system calls shows its own calls and nothing of the stand-in's.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr unsigned long LED_SET = 0x40004203UL;

struct pin_command {
    unsigned long cmd;
    const char* name;
};
constexpr pin_command pin_commands[] = {
    {0x80004206UL, "out0"},
    {0x80004207UL, "bin0"},
    {0x8000421BUL, "bin1"},
    {0x8000422BUL, "out1"},
};

int device_fd = -1;

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using ioctl_fn = int (*)(int, unsigned long, ...);

template <typename Fn>
Fn next_symbol(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int real_open(const char* path, int flags, mode_t mode)
{
    static open_fn next = next_symbol<open_fn>("open");
    return next(path, flags, mode);
}

const char* sim_dir()
{
    const char* dir = getenv("TAVRIN_SIM_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : nullptr;
}

long long now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int open_event_log()
{
    char path[4096];
    snprintf(path, sizeof path, "%s/gpio.log", sim_dir());
    return real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// Preloaded into a process started with TAVRIN_SIM_DIR set, the event log is
// opened before the program's own code runs and kept: a daemon that has used
// up its descriptors still has every event recorded. (A test program that
// sets the folder later opens the log for each event.) The preload reaches
// the daemon's children too: the descriptor is kept above 2, so that in a
// child started with closed standard descriptors it does not stand in for
// one of them.
int kept_log_fd = -1;

__attribute__((constructor)) void keep_event_log()
{
    if (sim_dir() == nullptr)
        return;
    const int saved = errno;
    int fd = open_event_log();
    if (fd >= 0 && fd <= 2) {
        const int lifted = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = lifted;
    }
    kept_log_fd = fd;
    errno = saved;
}

void record(const char* fmt, ...)
{
    char line[256];
    int n = snprintf(line, sizeof line, "%lld ", now_ns());
    va_list ap;
    va_start(ap, fmt);
    n += vsnprintf(line + n, sizeof line - static_cast<size_t>(n), fmt, ap);
    va_end(ap);
    if (n >= static_cast<int>(sizeof line) - 1)
        n = static_cast<int>(sizeof line) - 2;
    line[n++] = '\n';
    const int saved = errno;
    const int fd = kept_log_fd >= 0 ? kept_log_fd : open_event_log();
    if (fd >= 0) {
        ssize_t ignored = write(fd, line, static_cast<size_t>(n));
        (void)ignored;
        if (fd != kept_log_fd)
            close(fd);
    }
    errno = saved;
}

bool is_device(const char* path)
{
    return path != nullptr && sim_dir() != nullptr && strcmp(path, "/dev/gpio") == 0;
}

int open_device(int flags)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/gpio", sim_dir());
    const int fd = real_open(path, flags & ~(O_CREAT | O_TRUNC), 0);
    record("open %d", fd >= 0 ? 1 : 0);
    if (fd < 0) {
        errno = ENOENT;
        return -1;
    }
    device_fd = fd;
    return fd;
}

int read_pin(const char* name)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/pins/%s", sim_dir(), name);
    int level = 0;
    bool failed = false;
    if (FILE* f = fopen(path, "re")) {
        char text[32] = "";
        if (fgets(text, sizeof text, f) != nullptr) {
            if (strncmp(text, "err", 3) == 0)
                failed = true;
            else
                level = atoi(text);
        }
        fclose(f);
    }
    record("get %s %d", name, failed ? -1 : level);
    if (failed) {
        errno = EIO;
        return -1;
    }
    return level;
}

int device_ioctl(unsigned long cmd, long arg)
{
    if (cmd == LED_SET) {
        record("led %ld", arg);
        return 0;
    }
    for (const pin_command& pin : pin_commands)
        if (pin.cmd == cmd)
            return read_pin(pin.name);
    errno = ENOTTY;
    return -1;
}

mode_t mode_arg(int flags, va_list ap)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}
}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_device(path))
        return open_device(flags);
    return real_open(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_device(path))
        return open_device(flags);
    static open_fn next = next_symbol<open_fn>("open64");
    return next(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_device(path))
        return open_device(flags);
    static openat_fn next = next_symbol<openat_fn>("openat");
    return next(dirfd, path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd >= 0 && fd == device_fd && sim_dir() != nullptr && getenv("TAVRIN_SIM_PASSTHROUGH") == nullptr)
        return device_ioctl(request, reinterpret_cast<long>(arg));
    static ioctl_fn next = next_symbol<ioctl_fn>("ioctl");
    return next(fd, request, arg);
}

}  // extern "C"
