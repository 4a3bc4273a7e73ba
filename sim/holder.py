#!/usr/bin/env python3
"""Holds a TCP socket in the sandbox until killed, under whatever program
name it was started as (netstat -p shows that name).

    holder.py listen PORT           a listening socket on 0.0.0.0:PORT
    holder.py serve PORT            listens on 127.0.0.1:PORT, accepts and holds
    holder.py connect PORT          an established connection to 127.0.0.1:PORT
"""
import socket
import sys
import time


def main():
    role, port = sys.argv[1], int(sys.argv[2])
    held = []
    if role in ("listen", "serve"):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("0.0.0.0" if role == "listen" else "127.0.0.1", port))
        s.listen()
        held.append(s)
        if role == "serve":
            while True:
                conn, _ = s.accept()
                held.append(conn)
    else:
        held.append(socket.create_connection(("127.0.0.1", port)))
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
