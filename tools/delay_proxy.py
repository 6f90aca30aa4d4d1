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
import collections
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

    def reserve(self, size, now):
        """When a chunk of size bytes offered now has passed."""
        self.free_at = max(now - self.SLACK, self.free_at) + size / self.rate
        return self.free_at


class Flow:
    """The bytes of one direction of one connection: each chunk is written
    to the target delay seconds after it was read from the source (not
    before not_before), then, under a rate, after its turn on the link.
    Over buffer bytes held, the source stops being read; while the target's
    buffer is full, nothing is written."""

    def __init__(self, proxy, direction, not_before=0.0):
        self.proxy, self.direction, self.not_before = proxy, direction, not_before
        self.link = proxy.links[direction]
        self.loop = asyncio.get_running_loop()
        self.source = self.target = None
        self.queue = collections.deque()
        self.held = 0
        self.timer = None
        self.reserved = False
        self.blocked = False
        self.source_paused = False
        self.ended = False

    def feed(self, data):
        """Takes the next chunk read from the source; None: it ended."""
        self.queue.append((max(self.loop.time(), self.not_before) + self.proxy.delay, data))
        if data is None:
            self.ended = True
        else:
            self.held += len(data)
            if self.held > self.proxy.buffer and not self.source_paused:
                self.source_paused = True
                self.source.pause_reading()
        self.pump()

    def drop(self):
        """The target is gone: nothing more to carry."""
        self.queue.clear()
        self.target = None
        if self.timer:
            self.timer.cancel()
            self.timer = None

    def fire(self):
        self.timer = None
        self.pump()

    def pump(self):
        while self.queue and not self.timer and not self.blocked and self.target:
            due, data = self.queue[0]
            now = self.loop.time()
            if due > now:
                self.timer = self.loop.call_at(due, self.fire)
                return
            if data is not None and self.link.rate and not self.reserved:
                self.reserved = True
                done = self.link.reserve(len(data), now)
                if done > now:
                    self.timer = self.loop.call_at(done, self.fire)
                    return
            if self.target.is_closing():  # the other end went away meanwhile
                self.drop()
                return
            self.queue.popleft()
            self.reserved = False
            if data is None:
                self.target.close()
                self.target = None
                return
            self.target.write(data)
            self.held -= len(data)
            self.proxy.carried(self.direction, len(data))
            if self.source_paused and self.held <= self.proxy.buffer:
                self.source_paused = False
                if not self.source.is_closing():
                    self.source.resume_reading()


class Side(asyncio.Protocol):
    """One end of a proxied connection: what it reads feeds outgoing, what
    it is sent comes from incoming."""

    def __init__(self, outgoing, incoming):
        self.outgoing, self.incoming = outgoing, incoming

    def connection_made(self, transport):
        self.outgoing.source = transport
        self.incoming.target = transport
        self.incoming.pump()

    def data_received(self, data):
        self.outgoing.feed(data)

    def eof_received(self):
        self.outgoing.feed(None)
        return False

    def connection_lost(self, exc):
        if not self.outgoing.ended:
            self.outgoing.feed(None)
        self.incoming.drop()

    def pause_writing(self):
        self.incoming.blocked = True

    def resume_writing(self):
        self.incoming.blocked = False
        self.incoming.pump()


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

    def carried(self, direction, size):
        if direction == "down":
            self.down += size
        else:
            self.up += size

    def accept(self):
        self.connections += 1
        loop = asyncio.get_running_loop()
        # On a real path the client's first bytes leave after the handshake's
        # round trip; here its connect returned at once.
        up = Flow(self, "up", loop.time() + 2 * self.delay)
        down = Flow(self, "down")
        client = Side(up, down)

        async def connect():
            try:
                await loop.create_connection(lambda: Side(down, up), "127.0.0.1", self.upstream)
            except OSError:
                if down.target:
                    down.target.close()

        loop.create_task(connect())
        return client

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
        loop = asyncio.get_running_loop()
        server = await loop.create_server(self.accept, "127.0.0.1", self.port)
        self.port = server.sockets[0].getsockname()[1]
        if self.stats:
            loop.create_task(self.report())
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
