// Holds a TCP socket in the simulated router until killed, under whatever
// name it was started as (netstat -p shows that name).
//
//   holder listen PORT    a listening socket on 0.0.0.0:PORT
//   holder serve PORT     listens on 127.0.0.1:PORT, accepts and holds
//   holder connect PORT   an established connection to 127.0.0.1:PORT
//
// Built for the host and for the router, so the same helper serves both.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "holder: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

sockaddr_in address(const char* ip, int port)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = inet_addr(ip);
    return addr;
}

int listening(const char* ip, int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in addr = address(ip, port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0)
        fail("listen");
    return fd;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: holder listen|serve|connect PORT\n");
        return 2;
    }
    const char* role = argv[1];
    const int port = std::atoi(argv[2]);
    if (std::strcmp(role, "listen") == 0) {
        listening("0.0.0.0", port);
    } else if (std::strcmp(role, "serve") == 0) {
        const int server = listening("127.0.0.1", port);
        for (;;)  // each accepted connection stays open: it is never closed
            if (accept(server, nullptr, nullptr) < 0 && errno != EINTR)
                fail("accept");
    } else {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in addr = address("127.0.0.1", port);
        if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            fail("connect");
    }
    for (;;)
        pause();
}
