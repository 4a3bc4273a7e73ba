// Cost of spawning and reaping one child through run_program, at two
// descriptor limits, with the child's descriptors above 2 closed by
// close_range (as shipped) and by the literal loop over every possible
// descriptor (close_range made to fail here, which is what an old kernel does).
#include "spawn/spawn.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
bool force_loop = false;

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double micros_per_spawn(int runs)
{
    const double start = now();
    for (int i = 0; i < runs; ++i) {
        if (run_program("/bin/true", nullptr) != 0) {
            std::fprintf(stderr, "child failed\n");
            std::exit(1);
        }
    }
    return (now() - start) / runs * 1e6;
}
}  // namespace

// Shadows libc's close_range for this program and its children.
extern "C" int close_range(unsigned first, unsigned last, int flags)
{
    if (force_loop) {
        errno = ENOSYS;
        return -1;
    }
    return static_cast<int>(syscall(SYS_close_range, first, last, flags));
}

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 300;
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t highest = lim.rlim_max > 1048576 ? 1048576 : lim.rlim_max;
    std::printf("%-18s %16s %16s %8s\n", "descriptor limit", "close_range us", "close loop us", "ratio");
    for (rlim_t limit : {static_cast<rlim_t>(1024), highest}) {
        rlimit set = {limit, lim.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &set) != 0) {
            std::perror("setrlimit");
            return 1;
        }
        force_loop = false;
        micros_per_spawn(20);  // warm up
        const double fast = micros_per_spawn(runs);
        force_loop = true;
        const double slow = micros_per_spawn(runs);
        std::printf("%-18lu %16.1f %16.1f %7.1fx\n", static_cast<unsigned long>(limit), fast, slow, slow / fast);
    }
    return 0;
}
