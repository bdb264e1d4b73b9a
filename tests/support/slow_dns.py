#!/usr/bin/env python3
"""A slow DNS stand-in for tests: answers A queries after a delay.

Usage: slow_dns.py ADDRESS DELAY_SECONDS STATS_FILE

Binds UDP port 53 on ADDRESS (a loopback address; needs root), prints "READY"
once bound, then answers every A query for a name under "fleet.test" with
127.0.0.1 after DELAY_SECONDS, each query on a thread of its own, so that
queries that arrive together are answered together. Other queries get
NXDOMAIN at once. STATS_FILE holds "<queries> <most in flight at once>",
rewritten at each query. Exits when its standard input closes.
"""

import os
import socket
import struct
import sys
import threading
import time

address, delay, stats_file = sys.argv[1], float(sys.argv[2]), sys.argv[3]
lock = threading.Lock()
state = {"queries": 0, "in_flight": 0, "most": 0}


def write_stats():
    tmp = stats_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d %d" % (state["queries"], state["most"]))
    os.replace(tmp, stats_file)


def question(data):
    """(name, qtype, end of the question) of a query."""
    labels, pos = [], 12
    while data[pos]:
        length = data[pos]
        labels.append(data[pos + 1:pos + 1 + length].decode("ascii", "replace").lower())
        pos += 1 + length
    qtype = struct.unpack("!H", data[pos + 1:pos + 3])[0]
    return ".".join(labels), qtype, pos + 5


def answer(sock, data, peer):
    try:
        name, qtype, end = question(data)
    except (IndexError, struct.error):
        return
    ident = data[:2]
    ours = name == "fleet.test" or name.endswith(".fleet.test")
    if not ours:  # NXDOMAIN
        sock.sendto(ident + b"\x81\x83" + b"\x00\x01\x00\x00\x00\x00\x00\x00" + data[12:end], peer)
        return
    with lock:
        state["queries"] += 1
        state["in_flight"] += 1
        state["most"] = max(state["most"], state["in_flight"])
        write_stats()
    time.sleep(delay)
    with lock:
        state["in_flight"] -= 1
    records = b""
    count = 0
    if qtype == 1:  # A
        records = b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 60, 4) + socket.inet_aton("127.0.0.1")
        count = 1
    header = ident + b"\x81\x80" + struct.pack("!HHHH", 1, count, 0, 0)
    sock.sendto(header + data[12:end] + records, peer)


def main():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 53))
    write_stats()
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    print("READY", flush=True)
    while True:
        data, peer = sock.recvfrom(4096)
        threading.Thread(target=answer, args=(sock, data, peer), daemon=True).start()


if __name__ == "__main__":
    main()
