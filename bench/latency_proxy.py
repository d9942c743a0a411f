"""A TCP proxy that delays every byte by a fixed time in each direction: a
network link of a given round-trip time, in front of a local server.

    python bench/latency_proxy.py TARGET_HOST:PORT RTT_MS

listens on a free port of 127.0.0.1, prints that port as one line on stdout
and serves until stdin closes or SIGTERM. Each connection gets its own
connection to the target; whatever arrives on one side is written to the
other RTT/2 later, in order (a queue per direction, so nothing overtakes).
Run it in a process of its own, so that it does not compete with the
client's event loop (``Proxy`` below does that).

A line "stats" on stdin makes it print "CONNECTIONS MOST": the connections
opened and the most requests in flight at once (connections whose client
has sent since the server last answered) since the previous "stats".
"""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys

CHUNK = 1 << 16


class Stats:
    def __init__(self):
        self.opened, self.busy, self.most = 0, set(), 0

    def sent(self, conn):
        self.busy.add(conn)
        self.most = max(self.most, len(self.busy))

    def answered(self, conn):
        self.busy.discard(conn)

    def report(self) -> str:
        line = f"{self.opened} {self.most}"
        self.opened, self.most = 0, len(self.busy)
        return line


STATS = Stats()


async def pump(reader, writer, delay: float, seen) -> None:
    queue: asyncio.Queue = asyncio.Queue()
    loop = asyncio.get_running_loop()

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(deliver())
    try:
        while data := await reader.read(CHUNK):
            seen()
            queue.put_nowait((loop.time() + delay, data))
    except (ConnectionError, OSError):
        pass
    finally:
        queue.put_nowait((loop.time() + delay, None))
        try:
            await sender
        except (ConnectionError, OSError):
            pass


async def serve(target: str, rtt_ms: float) -> None:
    host, port = target.rsplit(":", 1)
    delay = rtt_ms / 2000.0

    async def connection(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(host, int(port))
        except OSError:
            client_writer.close()
            return
        STATS.opened += 1
        conn = object()
        try:
            await asyncio.gather(pump(client_reader, server_writer, delay, lambda: STATS.sent(conn)),
                                 pump(server_reader, client_writer, delay, lambda: STATS.answered(conn)))
        finally:
            STATS.answered(conn)

    server = await asyncio.start_server(connection, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, lambda: stop.done() or stop.set_result(None))

    def command():
        line = sys.stdin.readline()
        if not line:
            stop.done() or stop.set_result(None)
        elif line.strip() == "stats":
            print(STATS.report(), flush=True)
    loop.add_reader(sys.stdin.fileno(), command)
    async with server:
        await stop


class Proxy:
    """A running proxy process: ``.host`` is its address."""

    def __init__(self, target: str, rtt_ms: float):
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), target, str(rtt_ms)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.proc.kill()
            raise RuntimeError(f"the proxy did not start: {line!r}")
        self.host = f"127.0.0.1:{int(line)}"

    def cpu_seconds(self) -> float:
        return process_cpu(self.proc.pid)

    def stats(self) -> tuple[int, int]:
        """(connections opened, most requests in flight) since the last call."""
        self.proc.stdin.write("stats\n")
        self.proc.stdin.flush()
        opened, most = self.proc.stdout.readline().split()
        return int(opened), int(most)

    def stop(self) -> None:
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def process_cpu(pid: int) -> float:
    """User plus system CPU seconds of a process (and its finished children)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: latency_proxy.py TARGET_HOST:PORT RTT_MS")
    asyncio.run(serve(sys.argv[1], float(sys.argv[2])))
