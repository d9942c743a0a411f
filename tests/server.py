"""A throwaway MongoDB-compatible server for integration tests and demos.

Run as a script, it starts SecantusDB on a free port of 127.0.0.1 with
in-memory storage, creates a root user in "admin", turns authentication on,
prints the port as one line on stdout and serves until stdin closes or the
process gets SIGTERM:

    KESTREL_SERVER_PWD=secret python tests/server.py USER

The server is a Python program, so it runs in its own process where it does
not compete with the tests for the interpreter.

Imported, ``start_server(user, pwd)`` spawns that script and returns a handle
with ``.uri``, ``.host``, ``.port`` and ``.stop()``; the handle is also a
context manager.

With ``--run``, it runs a command against a fresh server instead: the server
is started (as above, user "root", a random password), the command runs with
KESTREL_TEST_URI naming it, the server stops, and the command's exit status is
this script's. That is how an interpreter without SecantusDB (it has no wheel
for CPython 3.14) runs the server tests:

    .venv/bin/python tests/server.py --run .venv-3.14/bin/python -m pytest -q
"""

from __future__ import annotations

import contextlib
import os
import secrets
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from urllib.parse import quote_plus

STARTUP_TIMEOUT = 30.0


class ServerStartError(RuntimeError):
    pass


class ServerHandle:
    def __init__(self, proc: subprocess.Popen, port: int, user: str, pwd: str):
        self.proc = proc
        self.port = port
        self.user = user
        self.pwd = pwd
        self._drain: threading.Thread | None = None
        self.host = f"127.0.0.1:{port}"
        self.uri = (f"mongodb://{quote_plus(user)}:{quote_plus(pwd)}@{self.host}/"
                    "?authSource=admin")

    def stop(self) -> None:
        proc = self.proc
        if proc.poll() is not None:
            return
        try:
            proc.stdin.close()  # the server's signal to shut down
        except OSError:
            pass
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.terminate()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        finally:
            if self._drain is not None:
                self._drain.join(timeout=5)
            for pipe in (proc.stdout, proc.stderr):
                if pipe:
                    pipe.close()

    def __enter__(self) -> "ServerHandle":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


def start_server(user: str, pwd: str, timeout: float = STARTUP_TIMEOUT) -> ServerHandle:
    """Spawn this file as a server process and wait until it reports its port."""
    proc = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), user],
        env={**os.environ, "KESTREL_SERVER_PWD": pwd},  # kept out of `ps`
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + timeout
    line = ""
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.1)
        if ready:
            line = proc.stdout.readline()
            break
        if proc.poll() is not None:
            break
    if not line.strip().isdigit():
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        err = proc.stderr.read().strip() if proc.stderr else ""
        raise ServerStartError(
            f"server did not start (exit code {proc.returncode}): "
            f"{(line.strip() + ' ' + err).strip()[-2000:]}")
    # Nobody reads the server's stderr from here on; drain it so the child
    # never blocks on a full pipe.
    drain = threading.Thread(target=proc.stderr.read, daemon=True)
    drain.start()
    handle = ServerHandle(proc, int(line), user, pwd)
    handle._drain = drain
    return handle


def _serve(user: str, pwd: str) -> int:
    import pymongo
    import secantus

    srv = secantus.SecantusDBServer(
        host="127.0.0.1", port=0, storage_path=":memory:",
        require_auth=False, enable_test_commands=False)
    srv.start()
    try:
        # The first user has to be created before authentication is on;
        # the flag is read per message, so from here on every new
        # connection must authenticate.
        with pymongo.MongoClient(srv.uri, directConnection=True,
                                 serverSelectionTimeoutMS=5000) as boot:
            boot.admin.command("createUser", user, pwd=pwd, roles=["root"])
        srv.require_auth = True

        done = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: done.set())

        def watch_stdin() -> None:
            try:
                while sys.stdin.read(4096):
                    pass
            except (OSError, ValueError):
                pass
            done.set()

        threading.Thread(target=watch_stdin, daemon=True).start()
        print(srv.port, flush=True)
        while not done.wait(0.1):
            pass
    finally:
        # A thread blocked in accept() is not woken by close() on Linux, and
        # stop() would wait two seconds for it; shutdown() wakes it at once.
        with contextlib.suppress(AttributeError, OSError):
            srv._socket.shutdown(socket.SHUT_RDWR)
        srv.stop()
    return 0


def run_against_server(command: list[str]) -> int:
    """Run `command` with KESTREL_TEST_URI naming a fresh server; its exit
    status. A server that does not start raises ServerStartError."""
    with start_server("root", secrets.token_urlsafe(12)) as handle:
        env = {**os.environ, "KESTREL_TEST_URI": handle.uri}
        return subprocess.run(command, env=env).returncode


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--run":
        sys.exit(run_against_server(sys.argv[2:]))
    if len(sys.argv) != 2 or "KESTREL_SERVER_PWD" not in os.environ:
        sys.exit("usage: KESTREL_SERVER_PWD=... server.py USER\n"
                 "       server.py --run COMMAND [ARG...]")
    sys.exit(_serve(sys.argv[1], os.environ["KESTREL_SERVER_PWD"]))
