#!/usr/bin/env python3
"""A far server made of a near one: a TCP proxy on 127.0.0.1 that forwards
to a port on 127.0.0.1 and holds every chunk RTT/2 in each direction, order
kept, so round trips rather than loopback speed decide how long transfers
take. A new connection's first bytes wait one round trip more, as behind a
TCP handshake over such a path. TLS passes through untouched.

    delay_proxy.py --upstream PORT --rtt MS [--rate BYTES_PER_S] [--buffer BYTES]
                   [--port PORT | --port-file FILE] [--stats FILE]

--rate      one link shared by all connections: each direction carries at
            most this many bytes per second, first come first served (0: none)
--buffer    bytes a connection holds in flight per direction before it stops
            reading (the window of a real path; default 4 MiB)
--port-file the port it listens on is written here once it listens
--stats     every 100 ms while anything moves, one line is appended:
            "UNIX_TIME CONNECTIONS BYTES_DOWN BYTES_UP", totals since the start
            (down: towards the client)

As a module: DelayProxy(upstream, rtt_seconds, rate).start() runs it in a
thread; .port, .connections, .down and .up tell what it did.
"""
import argparse
import asyncio
import os
import signal
import threading
import time


class Link:
    """One direction of a link shared by every connection: a chunk passes
    once the chunks before it did, at rate bytes per second. A link idle a
    moment may catch up SLACK seconds, so that the time a sender takes to
    wake up is not lost to the rate."""

    SLACK = 0.02

    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0

    async def carry(self, size):
        if not self.rate:
            return
        now = time.monotonic()
        start = max(now - self.SLACK, self.free_at)
        self.free_at = start + size / self.rate
        await asyncio.sleep(max(0, self.free_at - now))


class DelayProxy:
    def __init__(self, upstream, rtt, rate=0, buffer=4 << 20, port=0, stats=None):
        self.upstream, self.delay, self.buffer, self.port = upstream, rtt / 2.0, buffer, port
        self.links = {"down": Link(rate), "up": Link(rate)}
        self.stats = stats
        self.connections = 0
        self.down = 0
        self.up = 0
        self.listening = threading.Event()

    def start(self):
        threading.Thread(target=lambda: asyncio.run(self.serve()), daemon=True).start()
        if not self.listening.wait(10):
            raise RuntimeError("the delay proxy did not start")
        return self

    async def pipe(self, reader, writer, direction, not_before=0.0):
        queue = asyncio.Queue()
        held = 0
        room = asyncio.Event()
        room.set()
        link = self.links[direction]

        async def send():
            nonlocal held
            try:
                while True:
                    due, data = await queue.get()
                    if data is None:
                        break
                    await asyncio.sleep(max(0, due - time.monotonic()))
                    await link.carry(len(data))
                    writer.write(data)
                    await writer.drain()
                    held -= len(data)
                    if held <= self.buffer:
                        room.set()
                    if direction == "down":
                        self.down += len(data)
                    else:
                        self.up += len(data)
            except OSError:
                pass
            finally:
                room.set()
                writer.close()

        sender = asyncio.create_task(send())
        try:
            while not sender.done():
                data = await reader.read(131072)
                if not data:
                    break
                queue.put_nowait((max(time.monotonic(), not_before) + self.delay, data))
                held += len(data)
                if held > self.buffer:
                    room.clear()
                    await room.wait()
        except OSError:
            pass
        queue.put_nowait((time.monotonic() + self.delay, None))
        await sender

    async def handle(self, client_reader, client_writer):
        self.connections += 1
        # On a real path the client's first bytes leave after the handshake's
        # round trip; here its connect returned at once.
        handshake_done = time.monotonic() + 2 * self.delay
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.upstream)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(self.pipe(client_reader, up_writer, "up", handshake_done),
                             self.pipe(up_reader, client_writer, "down"), return_exceptions=True)

    async def report(self):
        last = None
        while True:
            now = (self.connections, self.down, self.up)
            if now != last:
                with open(self.stats, "a") as f:
                    f.write(f"{time.time():.3f} {now[0]} {now[1]} {now[2]}\n")
                last = now
            await asyncio.sleep(0.1)

    async def serve(self):
        server = await asyncio.start_server(self.handle, "127.0.0.1", self.port)
        self.port = server.sockets[0].getsockname()[1]
        if self.stats:
            asyncio.create_task(self.report())
        self.listening.set()
        async with server:
            await server.serve_forever()


def main():
    parser = argparse.ArgumentParser(description="a loopback TCP proxy that delays and caps")
    parser.add_argument("--upstream", type=int, required=True, help="port on 127.0.0.1 to forward to")
    parser.add_argument("--rtt", type=float, required=True, help="round trip in ms")
    parser.add_argument("--rate", type=float, default=0, help="shared cap, bytes/s per direction (0: none)")
    parser.add_argument("--buffer", type=int, default=4 << 20, help="bytes in flight per connection and direction")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--stats")
    args = parser.parse_args()
    proxy = DelayProxy(args.upstream, args.rtt / 1000.0, args.rate, args.buffer, args.port, args.stats)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    proxy.start()
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(f"{proxy.port}\n")
        os.replace(args.port_file + ".tmp", args.port_file)
    while not stop.wait(0.5):
        pass


if __name__ == "__main__":
    main()
