#!/usr/bin/env python3
"""A player's link on loopback, for scripts/bench (these machines have no netem).

A TCP proxy on 127.0.0.1 that holds every chunk it carries for half the round
trip in each direction, lets a new connection carry nothing until a whole
round trip after it was accepted (the handshake a real link costs), can limit
the link's bandwidth (one link per direction, shared by all connections, as a
player's line is) and can reset connections once they have carried N bytes.

    linkproxy.py --listen 7191 --target 127.0.0.1:7190 --rtt-ms 40 \
        [--rate-mbit 100] [--reset-after-bytes 1000000 [--reset-once]]

Prints "linkproxy: listening on 127.0.0.1:PORT" once it accepts connections
(--listen 0 picks a free port), and its counters on stderr when it ends
(SIGTERM or SIGINT).
"""
import argparse
import asyncio
import collections
import selectors
import signal
import socket
import struct
import sys

# Pieces a limited link sends one after another: small enough that a large
# read does not leave as one burst.
RATE_PIECE = 16 * 1024
# What a socket's user-space buffer may hold before its source pauses.
WRITE_BUFFER = 1024 * 1024
# A chunk goes out when the loop wakes up this close to its due time.
EARLY = 0.0001
EOF = object()
RESET = object()


class Counters:
    def __init__(self):
        self.connections = 0
        self.resets = 0
        self.resets_passed_on = 0
        self.carried = {"up": 0, "down": 0}
        self.reset_fired = False


class Link:
    """One direction of the player's line: serialises what crosses it."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.free_at = 0.0

    def departure(self, now, size):
        if not self.rate:
            return now
        start = max(now, self.free_at)
        self.free_at = start + size / self.rate
        return self.free_at


class Pipe:
    """One direction of one connection: a delay line with a bounded queue."""

    def __init__(self, conn, link, direction):
        self.conn = conn
        self.link = link
        self.direction = direction
        self.src = None
        self.dst = None
        self.queue = collections.deque()  # (due, bytes | EOF | RESET)
        self.queued = 0
        self.timer = None
        self.ready_at = 0.0
        self.last_due = 0.0
        self.dst_full = False
        self.eof_sent = False

    @property
    def loop(self):
        return self.conn.loop

    def _due(self, size):
        now = max(self.loop.time(), self.ready_at)
        due = self.link.departure(now, size) + self.conn.opts.half_rtt
        self.last_due = max(self.last_due, due)
        return self.last_due

    def push(self, data):
        if self.link.rate:
            for i in range(0, len(data), RATE_PIECE):
                piece = data[i:i + RATE_PIECE]
                self.queue.append((self._due(len(piece)), piece))
        else:
            due = self._due(len(data))
            # No delay at all (--rtt-ms 0): straight through, no timer.
            if not self.queue and self.dst is not None and due <= self.loop.time():
                self._write(data)
                return
            self.queue.append((due, data))
        self.queued += len(data)
        if self.queued >= self.conn.opts.buffer and self.src is not None:
            self.src.pause_reading()
        self._schedule()

    def push_marker(self, marker):
        self.queue.append((self._due(0), marker))
        self._schedule()

    def _schedule(self):
        if self.timer is None and self.queue and self.dst is not None:
            self.timer = self.loop.call_at(self.queue[0][0] - EARLY, self._release)

    def _write(self, data):
        if not self.dst.is_closing():
            self.dst.write(data)
            self.conn.proxy.counters.carried[self.direction] += len(data)

    def _release(self):
        self.timer = None
        now = self.loop.time() + EARLY
        while self.queue and self.queue[0][0] <= now:
            _, item = self.queue.popleft()
            if item is RESET:
                self.conn.reset()
                return
            if item is EOF:
                self.eof_sent = True
                if not self.dst.is_closing() and self.dst.can_write_eof():
                    self.dst.write_eof()
                self.conn.eof_delivered()
                continue
            self.queued -= len(item)
            self._write(item)
        self._maybe_resume()
        self._schedule()

    def _maybe_resume(self):
        if (self.src is not None and not self.dst_full and not self.conn.doomed
                and self.queued < self.conn.opts.buffer // 2):
            self.src.resume_reading()

    def attach(self, dst):
        self.dst = dst
        self._schedule()

    def dst_paused(self, paused):
        self.dst_full = paused
        if paused and self.src is not None:
            self.src.pause_reading()
        elif not paused:
            self._maybe_resume()

    def cancel(self):
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.queue.clear()


class Connection:
    def __init__(self, proxy, client):
        self.proxy = proxy
        self.opts = proxy.opts
        self.loop = proxy.loop
        self.client = client
        self.upstream = None
        self.carried = 0
        self.doomed = False
        self.injected = False
        self.closed = False
        self.up = Pipe(self, proxy.up_link, "up")
        self.down = Pipe(self, proxy.down_link, "down")
        self.up.src = client
        # Nothing goes out before the handshake a real link would need.
        self.up.ready_at = self.loop.time() + self.opts.rtt

    def received(self, pipe, data):
        if self.doomed:
            return
        limit = self.opts.reset_after
        if limit and not (self.opts.reset_once and self.proxy.counters.reset_fired) \
                and self.carried + len(data) >= limit:
            pipe.push(data[:limit - self.carried])
            self.carried = limit
            self.proxy.counters.reset_fired = True
            self.doom()
            pipe.push_marker(RESET)
            self.injected = True
            return
        self.carried += len(data)
        pipe.push(data)

    def doom(self):
        self.doomed = True
        for transport in (self.client, self.upstream):
            if transport is not None and not transport.is_closing():
                transport.pause_reading()

    def lost(self, side, exc):
        if self.closed or self.doomed:
            return
        if exc is None:
            self.close()
            return
        # A reset travels on to the other end after the link's delay.
        self.doom()
        (self.up if side is self.client else self.down).push_marker(RESET)

    def eof_delivered(self):
        if self.up.eof_sent and self.down.eof_sent:
            self.close()

    def reset(self):
        if self.closed:
            return
        self.closed = True
        if self.injected:
            self.proxy.counters.resets += 1
        else:
            self.proxy.counters.resets_passed_on += 1
        for transport in (self.client, self.upstream):
            if transport is None or transport.is_closing():
                continue
            sock = transport.get_extra_info("socket")
            if sock is not None:
                # Linger 0: close() sends RST instead of FIN.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            transport.abort()
        self.up.cancel()
        self.down.cancel()

    def close(self):
        if self.closed:
            return
        self.closed = True
        self.up.cancel()
        self.down.cancel()
        for transport in (self.client, self.upstream):
            if transport is not None:
                transport.close()


class Side(asyncio.Protocol):
    """The client's or the server's socket of a connection."""

    def __init__(self, conn=None):
        self.conn = conn
        self.transport = None

    def pipes(self):
        """(pipe this side feeds, pipe that writes to this side)"""
        conn = self.conn
        return (conn.up, conn.down) if self.transport is conn.client else (conn.down, conn.up)

    def data_received(self, data):
        self.conn.received(self.pipes()[0], data)

    def eof_received(self):
        if not self.conn.doomed:
            self.pipes()[0].push_marker(EOF)
        return True  # half-closed: the other direction goes on

    def pause_writing(self):
        self.pipes()[1].dst_paused(True)

    def resume_writing(self):
        self.pipes()[1].dst_paused(False)

    def connection_lost(self, exc):
        if self.conn is not None:
            self.conn.lost(self.transport, exc)


class ClientSide(Side):
    def __init__(self, proxy):
        super().__init__()
        self.proxy = proxy

    def connection_made(self, transport):
        self.transport = transport
        self.proxy.counters.connections += 1
        transport.set_write_buffer_limits(high=WRITE_BUFFER)
        self.conn = Connection(self.proxy, transport)
        self.conn.down.attach(transport)
        self.proxy.loop.create_task(self.connect_upstream())

    async def connect_upstream(self):
        conn = self.conn
        host, port = self.proxy.opts.target
        try:
            transport, _ = await self.proxy.loop.create_connection(
                lambda: UpstreamSide(conn), host, port)
        except OSError:
            conn.reset()
            return
        if conn.closed:
            transport.abort()
            return
        if conn.doomed:
            transport.pause_reading()


class UpstreamSide(Side):
    def connection_made(self, transport):
        self.transport = transport
        transport.set_write_buffer_limits(high=WRITE_BUFFER)
        self.conn.upstream = transport
        self.conn.down.src = transport
        self.conn.up.attach(transport)


class Proxy:
    def __init__(self, opts, loop):
        self.opts = opts
        self.loop = loop
        self.counters = Counters()
        rate = opts.rate_mbit * 1e6 / 8
        self.up_link = Link(rate)
        self.down_link = Link(rate)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--listen", type=int, required=True, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--target", required=True, help="HOST:PORT to pass connections on to")
    parser.add_argument("--rtt-ms", type=float, default=0.0, help="round-trip time added (default 0)")
    parser.add_argument("--rate-mbit", type=float, default=0.0,
                        help="bandwidth of each direction, all connections together (default: no limit)")
    parser.add_argument("--reset-after-bytes", type=int, default=0,
                        help="reset a connection once it has carried N bytes, both directions counted")
    parser.add_argument("--reset-once", action="store_true",
                        help="reset only the first connection that reaches --reset-after-bytes")
    parser.add_argument("--buffer-kib", type=int, default=4096,
                        help="bytes held per direction of a connection before reading pauses, as a "
                             "receive window would (default 4096)")
    opts = parser.parse_args(argv)
    host, _, port = opts.target.rpartition(":")
    opts.target = (host or "127.0.0.1", int(port))
    opts.rtt = opts.rtt_ms / 1000.0
    opts.half_rtt = opts.rtt / 2
    opts.reset_after = opts.reset_after_bytes
    opts.buffer = opts.buffer_kib * 1024
    return opts


async def serve(opts):
    loop = asyncio.get_running_loop()
    proxy = Proxy(opts, loop)
    server = await loop.create_server(lambda: ClientSide(proxy), "127.0.0.1", opts.listen)
    port = server.sockets[0].getsockname()[1]
    print(f"linkproxy: listening on 127.0.0.1:{port}", flush=True)
    stop = loop.create_future()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, lambda: stop.done() or stop.set_result(None))
    await stop
    server.close()
    c = proxy.counters
    print(f"linkproxy: {c.connections} connections, {c.resets} reset, "
          f"{c.resets_passed_on} resets passed on, "
          f"{c.carried['up']} bytes up, {c.carried['down']} bytes down", file=sys.stderr, flush=True)


def main(argv):
    opts = parse_args(argv)
    # select() waits to the microsecond; epoll rounds up to whole
    # milliseconds, which would add about one to every round trip. The proxy
    # has a handful of sockets, well below select()'s limit.
    loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
    try:
        loop.run_until_complete(serve(opts))
    finally:
        loop.close()


if __name__ == "__main__":
    main(sys.argv[1:])
