#!/usr/bin/env python3
"""Memory a service spends on each idle connection, plain HTTP or TLS.

    idle_memory.py PID PORT COUNT [CA_FILE]

Opens COUNT connections to 127.0.0.1:PORT from 127.0.0.10 on (200 per address, under the
service's limit per address): with CA_FILE, TLS connections that complete their handshake with
the host name "localhost"; without, plain ones that send one request and read its answer. Then
prints the growth of the process PID's resident memory, in all and per connection.
"""
import socket
import ssl
import sys
import time

pid, port, count = (int(a) for a in sys.argv[1:4])
ca_file = sys.argv[4] if len(sys.argv) > 4 else None
context = ssl.create_default_context(cafile=ca_file) if ca_file else None


def resident_kib():
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))


before = resident_kib()
held = []
for n in range(count):
    sock = socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.%d" % (10 + n // 200), 0))
    if context:
        sock = context.wrap_socket(sock, server_hostname="localhost")
    else:
        sock.sendall(b"GET / HTTP/1.1\r\nHost: bench\r\n\r\n")
        sock.recv(65536)
    held.append(sock)
time.sleep(1)
after = resident_kib()
print("%s: %d idle connections, resident %d -> %d KiB, %.1f KiB each"
      % ("TLS" if context else "plain", count, before, after, (after - before) / count))
