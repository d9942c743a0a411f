"""Shared fixtures.

No asyncio plugin is used.  A test body is a coroutine run by ``run``, one
fresh event loop per call:

    def test_x(fake, run):
        async def main():
            await fake["d"]["c"].insert_one({"a": 1})
        run(main)

Real clients are bound to the loop they are first used on, so they are made
inside that loop: ``real_client.run(main)`` creates a client in a new loop,
passes it to ``main(client)`` and closes it (and every other client made by
``real_client.make()`` or ``real_client.as_user()`` during the run) when
``main`` returns.

Fixtures:
  fake / fake_motor / fake_pymongo  FakeClient (``fake`` runs both flavours)
  run                               run(async_fn, *args): one loop, 10 s limit
  server                            the test server (session-scoped), with
                                    .host .user .pwd .uri and .is_secantus
                                    (asked of the server itself); starts
                                    SecantusDB via tests/server.py unless
                                    KESTREL_TEST_URI is set; skips if it
                                    cannot, or fails when CI is set
  real_client                       client factory, "motor" and "pymongo"
  any_client                        the fakes and the real clients behind one
                                    interface (.run, .flavor, .fake)
  unique_name                       unique_name("c") -> fresh name per call

Tests that use ``server`` (directly or through ``real_client``) are marked
``integration`` automatically: ``pytest -m "not integration"`` runs the rest.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import itertools
import os
import secrets
import sys
from dataclasses import dataclass

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from fake_driver import FakeClient  # noqa: E402

RUN_TIMEOUT = 10.0
NAME_PREFIX = "kt_"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "integration: runs against a real server (SecantusDB or KESTREL_TEST_URI)")


def pytest_collection_modifyitems(items):
    for item in items:
        if "server" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.integration)


def run_async(fn, *args, timeout: float = RUN_TIMEOUT):
    """Run ``fn(*args)`` (a coroutine function, or a coroutine) in a new loop,
    failing the test instead of hanging when it does not finish in time."""
    coro = fn if inspect.iscoroutine(fn) else fn(*args)

    async def main():
        async with asyncio.timeout(timeout):  # no task of its own, unlike wait_for on 3.11
            return await coro
    return asyncio.run(main())


@pytest.fixture
def run():
    return run_async


# ---- fakes -------------------------------------------------------------------

@pytest.fixture(params=["motor", "pymongo"])
def fake(request):
    return FakeClient(request.param)


@pytest.fixture
def fake_motor():
    return FakeClient("motor")


@pytest.fixture
def fake_pymongo():
    return FakeClient("pymongo")


# ---- names -------------------------------------------------------------------

_counter = itertools.count()


@pytest.fixture
def unique_name():
    """``unique_name("db")`` -> e.g. "kt_db_12_3fa9c1": fresh on every call,
    so tests sharing one server never see each other's databases."""
    tag = secrets.token_hex(3)
    return lambda prefix="x": f"{NAME_PREFIX}{prefix}_{next(_counter)}_{tag}"


# ---- the server ----------------------------------------------------------------

@dataclass
class ServerInfo:
    host: str
    user: str
    pwd: str
    auth_source: str = "admin"

    @property
    def uri(self) -> str:
        from urllib.parse import quote_plus
        return (f"mongodb://{quote_plus(self.user)}:{quote_plus(self.pwd)}@{self.host}/"
                f"?authSource={self.auth_source}")

    def sync_client(self):
        """A blocking PyMongo client logged in as the test user."""
        import pymongo
        return pymongo.MongoClient(host=self.host, username=self.user, password=self.pwd,
                                   authSource=self.auth_source, serverSelectionTimeoutMS=5000)

    @functools.cached_property
    def is_secantus(self) -> bool:
        """Is the server SecantusDB, whatever started it? Its build information
        says so (`secantusVersion`, which mongod's has not)."""
        with self.sync_client() as client:
            return "secantusVersion" in client.admin.command("buildInfo")


def server_unavailable(reason: str):
    """No server for the server tests: they are skipped, except under CI (the
    variable CI set), where every test must run and the session fails."""
    if os.environ.get("CI"):
        pytest.fail(f"{reason} (CI is set: the server tests must run)", pytrace=False)
    pytest.skip(reason)


@pytest.fixture(scope="session")
def server():
    uri = os.environ.get("KESTREL_TEST_URI")
    if uri:
        from pymongo import uri_parser
        parsed = uri_parser.parse_uri(uri)
        host = ",".join(f"{h}:{p}" for h, p in parsed["nodelist"])
        info = ServerInfo(host, parsed["username"], parsed["password"],
                          parsed["options"].get("authSource", "admin"))
        yield info
        _drop_test_databases(info)
        return
    try:
        import secantus  # noqa: F401
    except ImportError as e:
        server_unavailable(f"SecantusDB is not installed ({e}); set KESTREL_TEST_URI to use a server")
    from server import start_server
    pwd = secrets.token_urlsafe(12)
    try:
        handle = start_server("root", pwd)
    except Exception as e:
        server_unavailable(f"could not start SecantusDB: {e}")
    with handle:
        yield ServerInfo(handle.host, "root", pwd)


def _drop_test_databases(info: ServerInfo) -> None:
    """On a shared server, remove what the tests left behind."""
    import pymongo
    with info.sync_client() as client:
        for name in client.list_database_names():
            if name.startswith(NAME_PREFIX):
                for cmd in ("dropAllUsersFromDatabase", "dropAllRolesFromDatabase"):
                    try:
                        client[name].command(cmd)
                    except pymongo.errors.PyMongoError:
                        pass
                client.drop_database(name)


class RealClients:
    """Makes real clients of one flavour for the duration of one ``run``."""

    def __init__(self, flavor: str, server: ServerInfo):
        self.flavor = flavor
        self.server = server
        self.fake = None
        self._open: list = []

    def make(self, username=None, password=None, auth_source=None, **kwargs):
        """A new client (call it inside the running loop), root by default."""
        if self.flavor == "motor":
            from motor.motor_asyncio import AsyncIOMotorClient as cls
        else:
            from pymongo import AsyncMongoClient as cls
        client = cls(host=self.server.host,
                     username=username or self.server.user,
                     password=password or self.server.pwd,
                     authSource=auth_source or self.server.auth_source,
                     serverSelectionTimeoutMS=5000, **kwargs)
        self._open.append(client)
        return client

    async def as_user(self, admin, db: str, user: str, roles, pwd: str | None = None):
        """Create ``user`` in ``db`` with ``roles`` (using the client
        ``admin``) and return a client logged in as that user."""
        pwd = pwd or secrets.token_urlsafe(10)
        await admin[db].command("createUser", user, pwd=pwd, roles=list(roles))
        return self.make(username=user, password=pwd, auth_source=db)

    def run(self, fn, *args, timeout: float = RUN_TIMEOUT):
        """Run ``fn(client, *args)`` in a new loop with a fresh root client."""
        async def main():
            try:
                return await fn(self.make(), *args)
            finally:
                await self._close_all()
        return run_async(main, timeout=timeout)

    async def _close_all(self):
        while self._open:
            result = self._open.pop().close()
            if inspect.isawaitable(result):  # PyMongo's close is a coroutine
                await result


@pytest.fixture(params=["motor", "pymongo"])
def real_client(request, server):
    return RealClients(request.param, server)


class FakeClients:
    """The same interface as RealClients, over one FakeClient."""

    def __init__(self, fake: FakeClient):
        self.fake = fake
        self.flavor = fake.flavor

    def run(self, fn, *args, timeout: float = RUN_TIMEOUT):
        return run_async(fn, self.fake, *args, timeout=timeout)


@pytest.fixture(params=[
    "fake-motor", "fake-pymongo",
    pytest.param("real-motor", marks=pytest.mark.integration),
    pytest.param("real-pymongo", marks=pytest.mark.integration),
])
def any_client(request):
    kind, flavor = request.param.split("-")
    if kind == "fake":
        return FakeClients(FakeClient(flavor))
    return RealClients(flavor, request.getfixturevalue("server"))
