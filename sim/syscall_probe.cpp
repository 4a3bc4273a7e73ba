// Asks the kernel for system calls by number and prints, one line each,
// the number and "ENOSYS" or "answered": started through kernel_as, it
// shows which calls the filter refuses. The arguments (-1 each) make every
// call it is used on fail harmlessly when it is answered. "tmpfile" asks
// for an unnamed file in /tmp (O_TMPFILE) and prints the error or "made".
//
//   syscall_probe NUMBER|tmpfile...
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "tmpfile") == 0) {
            const int fd = open("/tmp", O_TMPFILE | O_WRONLY, 0600);
            std::printf("tmpfile %s\n", fd >= 0 ? "made" : std::strerror(errno));
            continue;
        }
        const long number = std::strtol(argv[i], nullptr, 10);
        const long r = syscall(number, -1L, -1L, -1L, -1L, -1L, -1L);
        std::printf("%ld %s\n", number, r == -1 && errno == ENOSYS ? "ENOSYS" : "answered");
    }
    return 0;
}
