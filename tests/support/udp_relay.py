#!/usr/bin/env python3
"""A UDP relay in front of an agent on loopback that can stall once.

Usage: udp_relay.py AGENT_PORT [--stall-after N] [--stall-count K]

Binds a free port of 127.0.0.1, prints "PORT <n>" and relays every datagram
from a client to 127.0.0.1:AGENT_PORT and every answer back, each client
through a socket of its own. After N datagrams from clients have been relayed
it drops the next K (K < 0: every one after them), then relays again: one
hiccup of the path. Exits when its standard input reaches end of file.
"""
import argparse
import select
import socket
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("agent_port", type=int)
    parser.add_argument("--stall-after", type=int, default=-1)
    parser.add_argument("--stall-count", type=int, default=1)
    options = parser.parse_args()
    agent = ("127.0.0.1", options.agent_port)
    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(("127.0.0.1", 0))
    print("PORT %d" % front.getsockname()[1], flush=True)
    backs = {}  # client address -> socket towards the agent
    clients = {}  # that socket -> client address
    relayed = dropped = 0
    while True:
        readable, _, _ = select.select([front, sys.stdin] + list(clients), [], [])
        for s in readable:
            if s is sys.stdin:
                if not sys.stdin.buffer.read1(4096):
                    return
            elif s is front:
                data, client = front.recvfrom(65536)
                stalled = options.stall_after >= 0 and relayed >= options.stall_after and (
                    options.stall_count < 0 or dropped < options.stall_count)
                if stalled:
                    dropped += 1
                    continue
                relayed += 1
                back = backs.get(client)
                if back is None:
                    back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    back.connect(agent)
                    backs[client] = back
                    clients[back] = client
                back.send(data)
            else:
                try:
                    front.sendto(s.recv(65536), clients[s])
                except OSError:
                    pass


if __name__ == "__main__":
    main()
