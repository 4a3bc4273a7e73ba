#!/usr/bin/env python3
"""Makes an interface of the sandbox count received traffic.

    traffic.py IFACE SECONDS [INTERVAL]     (default: one packet every 50 ms)

A veth end (wlan0p): Ethernet frames are sent out of it, so the other end of
the pair (wlan0) receives them. A tun device (tun1): the device is attached
and IPv4 packets are written into it, which the tun interface counts as
received.
"""
import fcntl
import os
import socket
import struct
import sys
import time

TUNSETIFF = 0x400454CA
IFF_TUN, IFF_NO_PI = 0x0001, 0x1000


def ipv4_packet(payload=b"tavrin-sim" * 4):
    src, dst = socket.inet_aton("10.9.0.2"), socket.inet_aton("10.9.0.1")
    udp = struct.pack("!HHHH", 40000, 40001, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, src, dst)
    words = struct.unpack("!10H", header)
    total = sum(words)
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    header = header[:10] + struct.pack("!H", ~total & 0xFFFF) + header[12:]
    return header + udp


def tun_sender(iface):
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", iface.encode(), IFF_TUN | IFF_NO_PI))
    packet = ipv4_packet()
    return lambda: os.write(fd, packet)


def veth_sender(iface):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((iface, 0))
    # Broadcast, a local-experimental ethertype, a little payload.
    frame = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x01" + b"\x88\xb5" + b"tavrin-sim" * 5
    return lambda: s.send(frame)


def main():
    iface = sys.argv[1]
    seconds = float(sys.argv[2])
    interval = float(sys.argv[3]) if len(sys.argv) > 3 else 0.05
    is_tun = os.path.exists(f"/sys/class/net/{iface}/tun_flags")
    send = tun_sender(iface) if is_tun else veth_sender(iface)
    end = time.monotonic() + seconds
    while True:
        send()
        if time.monotonic() + interval > end:
            break
        time.sleep(interval)


if __name__ == "__main__":
    main()
