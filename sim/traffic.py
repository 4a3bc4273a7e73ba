#!/usr/bin/env python3
"""Sends Ethernet frames out of an interface of the sandbox, so that the
other end of its veth pair counts them as received.

    traffic.py IFACE SECONDS [INTERVAL]     (default: one frame every 50 ms)
"""
import socket
import sys
import time


def main():
    iface = sys.argv[1]
    seconds = float(sys.argv[2])
    interval = float(sys.argv[3]) if len(sys.argv) > 3 else 0.05
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((iface, 0))
    # Broadcast, a local-experimental ethertype, a little payload.
    frame = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x01" + b"\x88\xb5" + b"tavrin-sim" * 5
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        s.send(frame)
        time.sleep(interval)


if __name__ == "__main__":
    main()
