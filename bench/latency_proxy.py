"""A TCP proxy that delays every byte by a fixed time in each direction: a
network link of a given round-trip time, in front of a local server.

    python bench/latency_proxy.py TARGET_HOST:PORT RTT_MS

listens on a free port of 127.0.0.1, prints that port as one line on stdout
and serves until stdin closes or SIGTERM. Each connection gets its own
connection to the target; whatever arrives on one side is written to the
other RTT/2 later, in order (a queue per direction, so nothing overtakes).
Run it in a process of its own, so that it does not compete with the
client's event loop (the bench does; see ``start_proxy``).
"""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys

CHUNK = 1 << 16


async def pump(reader, writer, delay: float) -> None:
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
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay))

    server = await asyncio.start_server(connection, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, lambda: stop.done() or stop.set_result(None))
    loop.add_reader(sys.stdin.fileno(),
                    lambda: sys.stdin.buffer.read1(4096) or stop.done() or stop.set_result(None))
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
