"""The harness of the server tests: the server is told apart by asking it, a
command can run against a fresh server (how an interpreter without SecantusDB
runs the server tests), and under CI a missing server fails the run."""

import os
import socket
import subprocess
import sys
import textwrap

import pytest

from conftest import server_unavailable

SERVER_SCRIPT = os.path.join(os.path.dirname(__file__), "server.py")


@pytest.mark.parametrize("ci,outcome", [
    (None, pytest.skip.Exception), ("", pytest.skip.Exception),
    ("1", pytest.fail.Exception), ("true", pytest.fail.Exception),
])
def test_a_missing_server_is_skipped_only_outside_ci(monkeypatch, ci, outcome):
    if ci is None:
        monkeypatch.delenv("CI", raising=False)
    else:
        monkeypatch.setenv("CI", ci)
    with pytest.raises(outcome, match="^no server here"):
        server_unavailable("no server here")


def test_a_started_server_is_known_as_secantus(server):
    if os.environ.get("KESTREL_TEST_URI"):
        pytest.skip("the server is whatever KESTREL_TEST_URI names")
    assert server.is_secantus


# A command run against the server: checks that it is logged in as root,
# prints the server's address, exits with the status given.
PROBE = textwrap.dedent("""
    import os, sys
    import pymongo
    with pymongo.MongoClient(os.environ["KESTREL_TEST_URI"], serverSelectionTimeoutMS=5000) as client:
        status = client.admin.command("connectionStatus")
        assert status["authInfo"]["authenticatedUsers"] == [{"user": "root", "db": "admin"}], status
        print("%s:%d" % client.address)
    sys.exit(int(sys.argv[1]))
""")


@pytest.mark.parametrize("status", [0, 3])
def test_run_gives_a_command_a_server_and_passes_its_status_on(tmp_path, status):
    pytest.importorskip("secantus", reason="the server runs in this interpreter")
    probe = tmp_path / "probe.py"
    probe.write_text(PROBE)
    done = subprocess.run([sys.executable, SERVER_SCRIPT, "--run", sys.executable, str(probe), str(status)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == status, done.stderr
    host, port = done.stdout.strip().rsplit(":", 1)
    with pytest.raises(ConnectionRefusedError):  # the server is gone with the command
        socket.create_connection((host, int(port)), timeout=5).close()
