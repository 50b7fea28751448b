#!/usr/bin/env python3
"""Holds idle and slow connections open to a service until killed, for bench/run_service.

    hold_connections.py PORT IDLE SLOW ADDRESSES

IDLE connections send nothing; SLOW ones send a request head one byte a second that never ends.
They are spread over ADDRESSES loopback addresses from 127.0.0.2 on; whatever the service closes
(idle time-out, head deadline, limit per address) is opened again at once, so the number held
stays at IDLE + SLOW. Prints "held N" once all are open.
"""
import selectors
import socket
import sys
import time

port, idle, slow, addresses = (int(a) for a in sys.argv[1:5])
HEAD = b"GET / HTTP/1.1\r\nHost: bench\r\nX-Slow: " + b"a" * 100000
selector = selectors.DefaultSelector()
slow_sockets = {}


def open_one(n, is_slow):
    sock = socket.socket()
    sock.bind(("127.0.0.%d" % (2 + n % addresses), 0))
    sock.connect(("127.0.0.1", port))
    sock.setblocking(False)
    selector.register(sock, selectors.EVENT_READ, (n, is_slow))
    if is_slow:
        slow_sockets[sock] = 0


for n in range(idle):
    open_one(n, False)
for n in range(slow):
    open_one(idle + n, True)
print("held", idle + slow, flush=True)

next_drip = time.monotonic()
while True:
    for key, _ in selector.select(timeout=0.2):
        sock = key.fileobj
        try:
            data = sock.recv(65536)
        except OSError:
            data = b""
        if not data:  # closed by the service: open another in its place
            selector.unregister(sock)
            slow_sockets.pop(sock, None)
            sock.close()
            open_one(*key.data)
    if time.monotonic() >= next_drip:
        next_drip += 1.0
        for sock, at in list(slow_sockets.items()):
            try:
                sock.send(HEAD[at:at + 1])
                slow_sockets[sock] = at + 1
            except OSError:
                pass
