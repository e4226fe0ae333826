#!/usr/bin/python3
"""An FTP-aware TCP relay on loopback that gives FTP a real network's latency.

  latency_relay.py --target HOST:PORT --delay MS [--listen PORT] [--host ADDRESS]
                   [--rate MBIT] [--window KIB] [--counts FILE] [--tls-passthrough]

Clients connect to ADDRESS:PORT (default 127.0.0.1; port 0 picks a free one);
the relay prints "port N" once it listens, then relays every connection to the
FTP server at HOST:PORT.

Latency. Every byte reaches the other side MS milliseconds after the relay
read it, in each direction: each direction of each connection is a timed
queue, so the delay adds latency without limiting throughput. A new
connection costs one round trip before it is usable, as a TCP handshake does:
what the connecting side sends is held until one round trip after it
connected and then takes MS like any byte, and the relay opens its side to the
accepting peer at that moment (SYN, SYN-ACK, ACK: three one-way times).

Bandwidth. --rate caps each direction at MBIT megabits per second, shared by
all connections (one link, as an access line is); without it there is no cap.
--window bounds the bytes in flight per connection and direction (default
8192 KiB), as a TCP window would. With a cap, a sender is also held back while
the link has more than 50 ms of bytes waiting, as a router's queue would, so
a reply is not stuck behind seconds of another connection's data.

FTP. The control connection is read line by line. A 227 (PASV) or 229 (EPSV)
reply is rewritten to name a data listener of the relay, which connects on to
the server's real data port; a PORT or EPRT command is rewritten to name a
relay listener, which connects back to the client's port. Data connections
get the same delays. AUTH is refused with "534 relay: no TLS" and not
forwarded, since encrypted replies cannot be rewritten; with --tls-passthrough
AUTH is forwarded and everything after it passes untouched: PASV and EPSV
replies are then no longer rewritten, so data connections go straight to the
server without delay, and commands are no longer counted.

Counts. On SIGTERM or SIGINT the relay writes its counts to FILE (standard
output without --counts) and ends:
  control N          control connections opened
  data N             data connections opened (passive and active)
  bytes_to_server N
  bytes_to_client N
  command VERB N     commands by verb, one line each
"""
import argparse
import asyncio
import collections
import os
import re
import signal
import socket
import sys

LINK_BUFFER = 0.05  # seconds of bytes waiting for the capped link
PASV_NUMBERS = re.compile(rb"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)")
EPSV_PORT = re.compile(rb"\((.)\1\1(\d+)\1\)")


class Link:
    """One direction of the shared link: when its next byte can leave."""

    def __init__(self, rate):
        self.rate = rate  # bytes per second, or None
        self.free_at = 0.0

    def backlog(self, now):
        """Seconds of bytes still waiting to leave."""
        return self.free_at - now if self.rate else 0.0

    def leave(self, now, size):
        if not self.rate:
            return now
        self.free_at = max(now, self.free_at) + size / self.rate
        return self.free_at


class Pipe:
    """One direction of one connection: a timed queue of byte chunks."""

    def __init__(self, relay, link):
        self.relay = relay
        self.link = link
        self.queue = collections.deque()  # (release time, bytes or None for EOF)
        self.queued = 0
        self.last = 0.0
        self.not_before = 0.0  # the handshake's hold on the connecting side
        self.timer = None
        self.src = None  # transports
        self.dst = None
        self.dst_lost = False
        self.paused = False
        self.retry = None
        self.closed = False  # EOF delivered

    def push(self, data):
        now = self.relay.loop.time()
        start = max(now, self.not_before)
        self.at(self.link.leave(start, len(data)) + self.relay.delay, data)

    def at(self, when, data):
        if self.dst_lost:
            return
        self.last = max(self.last, when)
        self.queue.append((self.last, data))
        if data:
            self.queued += len(data)
        self.throttle()
        self.schedule()

    def schedule(self):
        if self.timer is None and self.queue and self.dst is not None:
            self.timer = self.relay.loop.call_at(self.queue[0][0], self.flush)

    def flush(self):
        self.timer = None
        now = self.relay.loop.time()
        while self.queue and self.queue[0][0] <= now:
            _, data = self.queue.popleft()
            if data is None:
                self.closed = True
                if self.dst.can_write_eof():
                    self.dst.write_eof()
                else:
                    self.dst.close()
                self.relay.loop.call_soon(self.conn.check_done)
                break
            self.queued -= len(data)
            self.dst.write(data)
        self.throttle()
        self.schedule()

    def throttle(self):
        if self.src is None or self.src.is_closing():
            return
        backlog = self.queued + (self.dst.get_write_buffer_size() if self.dst and not self.dst_lost else 0)
        busy = self.link.backlog(self.relay.loop.time()) - LINK_BUFFER
        if busy > 0 and self.retry is None:
            self.retry = self.relay.loop.call_later(busy, self.recheck)
        if not self.paused and (backlog > self.relay.window or busy > 0):
            self.paused = True
            self.src.pause_reading()
        elif self.paused and backlog <= self.relay.window // 2 and busy <= 0:
            self.paused = False
            self.src.resume_reading()

    def recheck(self):
        self.retry = None
        self.throttle()


class Side(asyncio.Protocol):
    """One socket of a relayed connection: 'client' or 'server'."""

    def __init__(self, conn, role):
        self.conn = conn
        self.role = role

    def connection_made(self, transport):
        self.conn.attach(self.role, transport)

    def data_received(self, data):
        self.conn.received(self.role, data)

    def eof_received(self):
        self.conn.ended(self.role)
        return True  # keep the other half open

    def connection_lost(self, exc):
        self.conn.lost(self.role)

    def pause_writing(self):
        pass  # the pipe into this side looks at the buffer itself

    def resume_writing(self):
        self.conn.drained(self.role)


class Conn:
    """A relayed connection. 'client' is the FTP client's end, 'server' the
    server's; either may be the side that connected."""

    def __init__(self, relay):
        self.relay = relay
        self.pipes = {  # keyed by the side the bytes come from
            "client": Pipe(relay, relay.link_up),
            "server": Pipe(relay, relay.link_down),
        }
        for pipe in self.pipes.values():
            pipe.conn = self
        self.transports = {}
        self.ended_sides = set()

    @staticmethod
    def other(role):
        return "server" if role == "client" else "client"

    def accepted(self, role, sock, far_host, far_port):
        """sock was accepted from role's side; open the other side after the
        handshake's three one-way times."""
        loop = self.relay.loop
        t0 = loop.time()
        self.pipes[role].not_before = t0 + 2 * self.relay.delay
        self.relay.spawn(self.adopt(role, sock))
        far = self.other(role)
        loop.call_at(t0 + 3 * self.relay.delay, lambda: self.relay.spawn(self.dial(far, far_host, far_port)))

    async def adopt(self, role, sock):
        await self.relay.loop.connect_accepted_socket(lambda: Side(self, role), sock)

    async def dial(self, role, host, port):
        try:
            await self.relay.loop.create_connection(lambda: Side(self, role), host, port)
        except OSError as e:
            print(f"relay: cannot connect to {host}:{port}: {e}", file=sys.stderr, flush=True)
            for t in self.transports.values():
                t.abort()

    def attach(self, role, transport):
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.transports[role] = transport
        self.pipes[role].src = transport
        into = self.pipes[self.other(role)]
        into.dst = transport
        into.schedule()

    def received(self, role, data):
        key = "bytes_to_server" if role == "client" else "bytes_to_client"
        self.relay.counts[key] += len(data)
        self.pipes[role].push(data)

    def ended(self, role):
        if role not in self.ended_sides:
            self.ended_sides.add(role)
            pipe = self.pipes[role]
            pipe.at(max(self.relay.loop.time(), pipe.not_before) + self.relay.delay, None)

    def lost(self, role):
        self.ended(role)
        into = self.pipes[self.other(role)]
        into.dst_lost = True
        into.queue.clear()
        into.queued = 0
        into.closed = True
        if into.timer:
            into.timer.cancel()
            into.timer = None
        self.check_done()

    def drained(self, role):
        self.pipes[self.other(role)].throttle()

    def check_done(self):
        if all(p.closed for p in self.pipes.values()):
            for t in self.transports.values():
                t.close()


class ControlConn(Conn):
    """The control connection: commands and replies pass line by line."""

    def __init__(self, relay):
        super().__init__(relay)
        self.partial = {"client": b"", "server": b""}
        self.raw = {"client": False, "server": False}  # TLS passes untouched
        self.auth_pending = False

    def received(self, role, data):
        if self.raw[role]:
            return super().received(role, data)
        buf = self.partial[role] + data
        out = []
        while True:
            end = buf.find(b"\n")
            if end < 0:
                break
            line, buf = buf[: end + 1], buf[end + 1 :]
            line = self.command(line) if role == "client" else self.reply(line)
            if line:
                out.append(line)
            if self.raw[role]:
                out.append(buf)
                buf = b""
                break
        self.partial[role] = buf
        if out:
            super().received(role, b"".join(out))

    def command(self, line):
        words = line.strip().split(None, 1)
        if not words:
            return line
        verb = words[0].upper().decode("latin-1")
        self.relay.counts["command " + verb] += 1
        arg = words[1] if len(words) > 1 else b""
        if verb == "AUTH":
            if not self.relay.tls_passthrough:
                # The answer takes the round trip the server's would have.
                now = self.relay.loop.time()
                self.pipes["server"].at(now + 2 * self.relay.delay, b"534 relay: no TLS\r\n")
                return None
            self.raw["client"] = True
            self.auth_pending = True
            return line
        if verb == "PORT":
            m = PASV_NUMBERS.search(arg)
            if m:
                n = [int(x) for x in m.groups()]
                host, port = ".".join(map(str, n[:4])), n[4] * 256 + n[5]
                mine, my_port = self.relay.data_listener(self.server_facing(), "server", host, port)
                nums = mine.split(".") + [str(my_port // 256), str(my_port % 256)]
                return b"PORT " + ",".join(nums).encode() + b"\r\n"
        if verb == "EPRT" and len(arg) > 1:
            parts = arg.split(arg[:1])
            if len(parts) >= 5 and parts[3].isdigit():
                host, port = parts[2].decode("latin-1"), int(parts[3])
                mine, my_port = self.relay.data_listener(self.server_facing(), "server", host, port)
                d = arg[:1].decode("latin-1")
                family = "2" if ":" in mine else "1"
                return f"EPRT {d}{family}{d}{mine}{d}{my_port}{d}\r\n".encode()
        return line

    def reply(self, line):
        code = line[:3]
        if self.auth_pending and line[3:4] == b" ":
            self.auth_pending = False
            if code == b"234":
                self.raw["server"] = True
            else:
                self.raw["client"] = False
            return line
        if code == b"227":
            m = PASV_NUMBERS.search(line)
            if m:
                n = [int(x) for x in m.groups()]
                host, port = ".".join(map(str, n[:4])), n[4] * 256 + n[5]
                mine, my_port = self.relay.data_listener(self.client_facing(), "client", host, port)
                if ":" in mine:
                    mine = "127.0.0.1"
                nums = ",".join(mine.split(".") + [str(my_port // 256), str(my_port % 256)])
                return line[: m.start()] + nums.encode() + line[m.end() :]
        if code == b"229":
            m = EPSV_PORT.search(line)
            if m:
                host = self.transports["server"].get_extra_info("peername")[0]
                _, my_port = self.relay.data_listener(self.client_facing(), "client", host, int(m.group(2)))
                return line[: m.start(2)] + str(my_port).encode() + line[m.end(2) :]
        return line

    def server_facing(self):
        return self.transports["server"].get_extra_info("sockname")[0]

    def client_facing(self):
        return self.transports["client"].get_extra_info("sockname")[0]


class Relay:
    def __init__(self, args):
        self.loop = asyncio.get_running_loop()
        self.delay = args.delay / 1000.0
        rate = args.rate * 1e6 / 8 if args.rate else None
        self.link_up = Link(rate)
        self.link_down = Link(rate)
        self.window = args.window * 1024
        self.tls_passthrough = args.tls_passthrough
        host, _, port = args.target.rpartition(":")
        self.target = (host.strip("[]"), int(port))
        self.counts = collections.Counter({"control": 0, "data": 0, "bytes_to_server": 0, "bytes_to_client": 0})
        self.tasks = set()

    def spawn(self, coro):
        # The loop keeps only weak references to tasks.
        task = self.loop.create_task(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    async def serve(self, host, port):
        listener = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((host, port))
        listener.listen(64)
        listener.setblocking(False)
        print("port", listener.getsockname()[1], flush=True)
        while True:
            sock, _ = await self.loop.sock_accept(listener)
            self.counts["control"] += 1
            ControlConn(self).accepted("client", sock, *self.target)

    def data_listener(self, host, connecting, far_host, far_port):
        """A listener for one data connection from the connecting side
        ('client' for PASV, 'server' for PORT), relayed to far_host:far_port.
        Returns its address."""
        listener = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        listener.bind((host, 0))
        listener.listen(1)
        listener.setblocking(False)
        self.spawn(self.accept_one(listener, connecting, far_host, far_port))
        return listener.getsockname()[:2]

    async def accept_one(self, listener, role, far_host, far_port):
        try:
            sock, _ = await asyncio.wait_for(self.loop.sock_accept(listener), 120)
        except asyncio.TimeoutError:
            return
        finally:
            listener.close()
        self.counts["data"] += 1
        Conn(self).accepted(role, sock, far_host, far_port)

    def write_counts(self, path):
        lines = [f"{k} {self.counts[k]}\n" for k in ("control", "data", "bytes_to_server", "bytes_to_client")]
        lines += [f"{k} {v}\n" for k, v in sorted(self.counts.items()) if k.startswith("command ")]
        if path:
            with open(path + ".tmp", "w") as f:
                f.writelines(lines)
            os.replace(path + ".tmp", path)
        else:
            sys.stdout.writelines(lines)
            sys.stdout.flush()


async def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--target", required=True, help="HOST:PORT of the FTP server")
    ap.add_argument("--delay", type=float, required=True, help="one-way delay in ms")
    ap.add_argument("--listen", type=int, default=0, help="port to listen on (0: any, printed)")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--rate", type=float, default=0, help="Mbit/s per direction, all connections together")
    ap.add_argument("--window", type=int, default=8192, help="KiB in flight per connection and direction")
    ap.add_argument("--counts", help="file for the counts (standard output without it)")
    ap.add_argument("--tls-passthrough", action="store_true")
    args = ap.parse_args()

    relay = Relay(args)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        relay.loop.add_signal_handler(sig, stop.set)
    server = asyncio.create_task(relay.serve(args.host, args.listen))
    done = asyncio.create_task(stop.wait())
    await asyncio.wait({server, done}, return_when=asyncio.FIRST_COMPLETED)
    if server.done() and server.exception():
        print("relay:", server.exception(), file=sys.stderr, flush=True)
        return 1
    relay.write_counts(args.counts)
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
