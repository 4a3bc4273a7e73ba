// Makes an interface of the simulated router count received traffic.
//
//   traffic IFACE SECONDS [INTERVAL]   one packet every INTERVAL s (0.05),
//                                      for SECONDS (0: a single packet)
//   traffic --make-tun IFACE           creates the tun device IFACE, kept
//                                      after this program ends
//
// A veth end (wlan0p): Ethernet frames are sent out of it, so the other end
// of the pair receives them. A tun device (tun1): it is attached and IPv4
// packets are written into it, which the tun interface counts as received.
// Built for the host and for the router, so the same helper serves both.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <net/if.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/ethernet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr char PAYLOAD[] = "tavrin-sim tavrin-sim tavrin-sim tavrin-sim";

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "traffic: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

bool is_tun(const char* iface)
{
    char path[128];
    std::snprintf(path, sizeof path, "/sys/class/net/%s/tun_flags", iface);
    struct stat st;
    return stat(path, &st) == 0;
}

int attach_tun(const char* iface, bool persist)
{
    const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        fail("/dev/net/tun");
    ifreq req = {};
    std::strncpy(req.ifr_name, iface, IFNAMSIZ - 1);
    req.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (ioctl(fd, TUNSETIFF, &req) != 0)
        fail(iface);
    if (persist && ioctl(fd, TUNSETPERSIST, 1) != 0)
        fail("TUNSETPERSIST");
    return fd;
}

uint16_t checksum(const void* data, size_t len)
{
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return htons(static_cast<uint16_t>(~sum & 0xFFFF));
}

// An IPv4/UDP packet from 10.9.0.2 to 10.9.0.1.
size_t ipv4_packet(uint8_t* buf)
{
    auto* ip = reinterpret_cast<iphdr*>(buf);
    auto* udp = reinterpret_cast<udphdr*>(buf + sizeof(iphdr));
    const size_t payload = sizeof PAYLOAD - 1;
    const size_t total = sizeof(iphdr) + sizeof(udphdr) + payload;
    std::memset(buf, 0, total);
    ip->version = 4;
    ip->ihl = 5;
    ip->tot_len = htons(static_cast<uint16_t>(total));
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->saddr = inet_addr("10.9.0.2");
    ip->daddr = inet_addr("10.9.0.1");
    ip->check = checksum(ip, sizeof(iphdr));
    udp->source = htons(40000);
    udp->dest = htons(40001);
    udp->len = htons(static_cast<uint16_t>(sizeof(udphdr) + payload));
    std::memcpy(buf + sizeof(iphdr) + sizeof(udphdr), PAYLOAD, payload);
    return total;
}

// A broadcast frame of a local-experimental ethertype.
size_t ethernet_frame(uint8_t* buf)
{
    const uint8_t header[14] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0, 0, 0, 0x01, 0x88, 0xb5};
    std::memcpy(buf, header, sizeof header);
    std::memcpy(buf + sizeof header, PAYLOAD, sizeof PAYLOAD - 1);
    return sizeof header + sizeof PAYLOAD - 1;
}

int packet_socket(const char* iface)
{
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("packet socket");
    sockaddr_ll addr = {};
    addr.sll_family = AF_PACKET;
    addr.sll_ifindex = static_cast<int>(if_nametoindex(iface));
    if (addr.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fail(iface);
    return fd;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--make-tun") == 0) {
        close(attach_tun(argv[2], true));
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: traffic IFACE SECONDS [INTERVAL] | traffic --make-tun IFACE\n");
        return 2;
    }
    const char* iface = argv[1];
    const double seconds = std::atof(argv[2]);
    const double interval = argc > 3 ? std::atof(argv[3]) : 0.05;
    uint8_t buf[128];
    const bool tun = is_tun(iface);
    const int fd = tun ? attach_tun(iface, false) : packet_socket(iface);
    const size_t len = tun ? ipv4_packet(buf) : ethernet_frame(buf);
    const double end = now() + seconds;
    for (;;) {
        if (write(fd, buf, len) < 0)
            fail("send");
        if (now() + interval > end)
            break;
        timespec pause = {static_cast<time_t>(interval), static_cast<long>((interval - static_cast<long>(interval)) * 1e9)};
        nanosleep(&pause, nullptr);
    }
    return 0;
}
