"""The installed type stubs describe the operations precisely enough for mypy
to accept a correct use and refuse a wrong one."""

import os
import subprocess
import sys

import pytest

HERE = os.path.join(os.path.dirname(__file__), "typing")


def mypy(path):
    pytest.importorskip("mypy")
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}",
                           os.path.join(HERE, path)], capture_output=True, text=True,
                          cwd=HERE, timeout=300)


def test_typed_usage_passes_mypy():
    r = mypy("usage.py")
    assert r.returncode == 0, r.stdout + r.stderr


def test_misuse_fails_mypy():
    r = mypy("misuse.py")
    assert r.returncode == 1 and 'Argument 4 to "insert_temp"' in r.stdout, r.stdout + r.stderr
