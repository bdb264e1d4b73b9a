#!/usr/bin/env python3
"""A UDP relay that adds latency: every datagram waits DELAY_MS each way.

Usage: udp_relay.py LISTEN_ADDRESS AGENT_ADDRESS AGENT_PORT DELAY_MS

Prints "PORT <n>" once bound on a free port of LISTEN_ADDRESS; each client
gets a socket of its own towards the agent, so answers find their way back.
Runs until killed.
"""
import asyncio
import sys


class Relay:
    def __init__(self, agent, delay):
        self.agent = agent
        self.delay = delay
        self.front = None
        self.backs = {}  # client address -> transport towards the agent

    async def back_for(self, client):
        if client not in self.backs:
            loop = asyncio.get_running_loop()
            relay = self

            class Back(asyncio.DatagramProtocol):
                def datagram_received(self, data, _):
                    loop.call_later(relay.delay, relay.front.sendto, data, client)

            transport, _ = await loop.create_datagram_endpoint(Back, remote_addr=self.agent)
            self.backs[client] = transport
        return self.backs[client]

    def from_client(self, data, client):
        async def forward():
            back = await self.back_for(client)
            asyncio.get_running_loop().call_later(self.delay, back.sendto, data)
        asyncio.ensure_future(forward())


async def main():
    listen, agent_host, agent_port, delay_ms = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    relay = Relay((agent_host, agent_port), delay_ms / 1000.0)
    loop = asyncio.get_running_loop()

    class Front(asyncio.DatagramProtocol):
        def datagram_received(self, data, client):
            relay.from_client(data, client)

    relay.front, _ = await loop.create_datagram_endpoint(Front, local_addr=(listen, 0))
    print("PORT %d" % relay.front.get_extra_info("sockname")[1], flush=True)
    await loop.create_future()  # until killed


if __name__ == "__main__":
    asyncio.run(main())
