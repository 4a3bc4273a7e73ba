// Starts a program as an older kernel and an odd parent would: a seccomp
// filter answers ENOSYS to every system call that kernel did not have yet,
// for the program and everything it starts, as the routers' 3.x and 4.x
// vendor kernels answer.
//
//   kernel_as [--ignore-sigchld] KERNEL PROGRAM ARG0 [ARGS...]
//
// KERNEL is one of:
//   now   no filter;
//   4.4   no copy_file_range (4.5) and nothing after it: no statx,
//         pidfd_open, clone3, close_range, nor the 32-bit targets' time64
//         calls (5.1);
//   3.14  no renameat2 (3.15) and nothing after it: no getrandom or
//         memfd_create (3.17) either;
//   3.10  no sched_setattr (3.14) and nothing after it, and open() with
//         O_TMPFILE (3.11) refused with EISDIR, as a kernel that knows only
//         the O_DIRECTORY in it answers;
//   2.6.32 no recvmmsg (2.6.33) and nothing after it (no prlimit64,
//         accept4 on ARM, setns, process_vm_readv...), O_TMPFILE refused as
//         for 3.10.
// sim/syscall_probe.cpp, started through it, shows what the filter refuses.
// --ignore-sigchld starts the program with SIGCHLD ignored (a start script's
// `trap '' CHLD`). The program runs as ARG0 with ARGS, in this process.
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
#if defined(__x86_64__)
constexpr unsigned ARCH = AUDIT_ARCH_X86_64;
constexpr unsigned PRIVATE_CALLS = 0x40000000U;  // the x32 ABI's numbers
#elif defined(__arm__)
constexpr unsigned ARCH = AUDIT_ARCH_ARM;
constexpr unsigned PRIVATE_CALLS = __ARM_NR_BASE;  // cacheflush, set_tls...
#else
#error "kernel_as knows x86-64 and 32-bit ARM"
#endif
// The kernel's own value; the C library may define O_TMPFILE with
// O_DIRECTORY in it.
constexpr unsigned KERNEL_O_TMPFILE = 020000000U;

struct kernel {
    const char* name;
    unsigned first_missing;  // the first system call it lacks
    bool has_tmpfile;
};

constexpr kernel KERNELS[] = {
    {"4.4", __NR_copy_file_range, true},
    {"3.14", __NR_renameat2, true},
    {"3.10", __NR_sched_setattr, false},
    {"2.6.32", __NR_recvmmsg, false},
};

constexpr unsigned short LOAD = BPF_LD | BPF_W | BPF_ABS;
constexpr unsigned short JEQ = BPF_JMP | BPF_JEQ | BPF_K;
constexpr unsigned short JGE = BPF_JMP | BPF_JGE | BPF_K;
constexpr unsigned short JSET = BPF_JMP | BPF_JSET | BPF_K;
constexpr unsigned short RET = BPF_RET | BPF_K;
constexpr unsigned ALLOW = SECCOMP_RET_ALLOW;

constexpr unsigned errno_of(int e)
{
    return SECCOMP_RET_ERRNO | static_cast<unsigned>(e);
}

constexpr unsigned arg_low_word(int i)
{
    // Little-endian: an argument's low 32 bits come first.
    return static_cast<unsigned>(offsetof(seccomp_data, args) + static_cast<size_t>(i) * 8);
}

bool install(const kernel& k)
{
    const unsigned nr = offsetof(seccomp_data, nr);
    // Jump offsets count the statements skipped after the jump.
    sock_filter program[] = {
        BPF_STMT(LOAD, offsetof(seccomp_data, arch)),
        BPF_JUMP(JEQ, ARCH, 1, 0),
        BPF_STMT(RET, ALLOW),
        BPF_STMT(LOAD, nr),
        BPF_JUMP(JGE, PRIVATE_CALLS, 0, 1),
        BPF_STMT(RET, ALLOW),
        BPF_JUMP(JGE, k.first_missing, 0, 1),
        BPF_STMT(RET, errno_of(ENOSYS)),
        // open(path, flags) and openat(dir, path, flags) with O_TMPFILE
        // (a mask of 0 never matches).
        BPF_JUMP(JEQ, __NR_open, 0, 2),
        BPF_STMT(LOAD, arg_low_word(1)),
        BPF_JUMP(JSET, k.has_tmpfile ? 0U : KERNEL_O_TMPFILE, 3, 4),
        BPF_JUMP(JEQ, __NR_openat, 0, 3),
        BPF_STMT(LOAD, arg_low_word(2)),
        BPF_JUMP(JSET, k.has_tmpfile ? 0U : KERNEL_O_TMPFILE, 0, 1),
        BPF_STMT(RET, errno_of(EISDIR)),
        BPF_STMT(RET, ALLOW),
    };
    const sock_fprog filter = {static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

int usage()
{
    std::fprintf(stderr, "usage: kernel_as [--ignore-sigchld] now|4.4|3.14|3.10|2.6.32 PROGRAM ARG0 [ARGS...]\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv)
{
    int at = 1;
    const bool ignore_sigchld = at < argc && std::strcmp(argv[at], "--ignore-sigchld") == 0;
    if (ignore_sigchld)
        ++at;
    if (argc - at < 3)
        return usage();
    const char* name = argv[at];
    const char* program = argv[at + 1];
    if (std::strcmp(name, "now") != 0) {
        const kernel* chosen = nullptr;
        for (const kernel& k : KERNELS) {
            if (std::strcmp(name, k.name) == 0)
                chosen = &k;
        }
        if (chosen == nullptr)
            return usage();
        if (!install(*chosen)) {
            std::perror("kernel_as: seccomp");
            return 1;
        }
    }
    if (ignore_sigchld)
        signal(SIGCHLD, SIG_IGN);
    execv(program, argv + at + 2);
    std::perror("kernel_as: exec");
    return 127;
}
