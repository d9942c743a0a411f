"""A recording, in-memory fake of the asynchronous MongoDB driver.

``FakeClient("motor")`` acts as Motor's client, ``FakeClient("pymongo")`` as
PyMongo's ``AsyncMongoClient``; where they differ:

  start_session()      motor: Future of the session   pymongo: the session itself
  start_transaction()  motor: the context manager     pymongo: await it for that
  awaited operations   motor: asyncio Futures         pymongo: coroutines
  list_indexes()       motor: a cursor                pymongo: await it for that

``client.calls`` records every call that would reach a server, plus find,
sort and the session/transaction lifecycle, as ``Call``s; ``client.names()``
lists them as "client.list_database_names", "db:d.command", "d.c.find",
"d.c.sort", "session.start", "txn.start", "txn.commit", "txn.abort",
"session.end", ...  Taking handles records nothing.  Motor calls are recorded
when made, PyMongo coroutines when first awaited; arguments are snapshots.

Faults (``match``: a name from ``names()`` or a predicate on Call, each rule
counting its own matches; ``exc``: any BaseException, class or instance):
``fail(match, exc, nth=1, times=1)`` (times=None: every later match too),
``fail_at(k, exc)`` (k-th recorded call, 0-based), ``block(match, nth=1)``,
``block_at(k)``, ``deny_listing()`` (both listings fail, code 13).  A faulty
awaited call raises or blocks at its await and has no effect; find, sort and
Motor's list_indexes do so at the cursor's first fetch; PyMongo's
start_session and Motor's start_transaction raise at the call and block in
``__aenter__``.  A blocked call sets ``client.blocked`` (asyncio.Event) and
``client.blocked_call`` and waits until ``client.unblock()``.

``delete_many`` refuses a filter past the server's document limit with
DocumentTooLarge, as the driver does before sending; ``bulk_write`` takes
DeleteOne and DeleteMany statements, refuses an empty list with
InvalidOperation (recording nothing, as the driver sends nothing) and a
statement past the limit with DocumentTooLarge, and runs them in order.
``Partial(n, exc)`` as a fault of a ``bulk_write`` runs its first n
statements, then raises exc, as an ordered bulk write stopped part-way.
``deleted_ids(call)`` gives the ids a delete_many or bulk_write call selects
with ``{"_id": {"$in": ...}}`` filters, in order; ``statement_ids(call)`` the
same a statement.

Awaited operations suspend once, like a round trip (``suspend=False``: never).
``latency=t`` makes the fake a simulated link: every call that reaches a
server (not the session and transaction lifecycle) and every cursor batch
(101 documents, then up to 16 MiB) answers after t seconds of the loop's
clock instead.
``__aexit__`` of transaction and session suspends in the Motor flavour, never
in the PyMongo one; ``suspend_exit`` (a subset of {"txn", "session"})
overrides it, and ``{"txn"}`` is what real Motor does.
"""

from __future__ import annotations

import asyncio
import datetime
import gc
from collections import abc
from dataclasses import dataclass, field
from typing import Any, Callable

import bson
from bson import ObjectId
from pymongo import DeleteMany, DeleteOne, IndexModel
from pymongo.errors import (BulkWriteError, CollectionInvalid, DocumentTooLarge, DuplicateKeyError,
                            InvalidOperation, OperationFailure)
from pymongo.results import BulkWriteResult, DeleteResult, InsertManyResult, InsertOneResult

BLOCK = object()  # the fault that makes a call wait forever


@dataclass
class Partial:
    """The fault of a bulk write that runs its first ``done`` statements, then
    raises ``exc``."""
    done: int
    exc: Any
# The driver refuses a command larger than the server's document limit plus
# its allowance for the command's own fields, before sending it.
MAX_BSON_SIZE, COMMAND_OVERHEAD = 16 * 1024 * 1024, 16382
_DRIVER_KWARGS = ("check", "allowable_errors", "read_preference", "codec_options",
                  "session")


@dataclass
class Call:
    target: str
    method: str
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    sid: int | None = field(default=None, compare=False)  # session/txn calls
    index: int = field(default=-1, compare=False)  # position in client.calls
    fault: Any = field(default=None, compare=False, repr=False)

    name = property(lambda self: f"{self.target}.{self.method}")
    arg = property(lambda self: self.args[0] if self.args else None)  # first positional
    # for db.command calls: the command document the server receives
    command = property(lambda self: command_document(*self.args, **self.kwargs))

    def __iter__(self):  # target, method, args, kwargs = call
        return iter((self.target, self.method, self.args, self.kwargs))


def command_document(command, value=1, **kwargs) -> dict:
    """Build the command document as ``Database.command`` does."""
    doc = {command: value} if isinstance(command, str) else dict(command)
    doc.update((k, v) for k, v in kwargs.items() if k not in _DRIVER_KWARGS)
    return doc


def statement_ids(call: "Call") -> list[list]:
    """The id lists of a deletion by ids, one a statement: those of a
    bulk_write's ``DeleteMany({"_id": {"$in": ids}})`` statements, or the one
    of a delete_many of ``{"_id": {"$in": ids}}``. Any other form fails."""
    if call.method == "delete_many":
        filters = [call.arg]
    else:
        assert call.method == "bulk_write", call
        assert all(type(s) is DeleteMany and s._collation is None and s._hint is None
                   for s in call.arg), call.arg
        filters = [s._filter for s in call.arg]
    for f in filters:
        assert list(f) == ["_id"] and list(f["_id"]) == ["$in"] and isinstance(f["_id"]["$in"], list), f
    return [list(f["_id"]["$in"]) for f in filters]


def deleted_ids(call: "Call") -> list:
    """The ids a delete_many or bulk_write call deletes by ``{"_id": {"$in": ids}}``, in order."""
    return [i for ids in statement_ids(call) for i in ids]


def referents_while_blocked(fake: "FakeClient", make: Callable, blocked) -> list:
    """What the collector sees of the coroutine `make(fake)` while it waits
    on the call `blocked` (see ``FakeClient.block``); the call is let go
    after, and the coroutine runs to its end."""
    fake.block(blocked)

    async def main():
        coro = make(fake)
        task = asyncio.ensure_future(coro)
        await fake.blocked.wait()
        referents = gc.get_referents(coro)
        fake.unblock()
        await task
        return referents
    return asyncio.run(main())


def _snapshot(value):
    if isinstance(value, dict):
        return {k: _snapshot(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_snapshot(v) for v in value]
    if isinstance(value, tuple):
        return tuple(_snapshot(v) for v in value)
    return value


def _bson(doc) -> dict:
    """What the server would see: BSON round trip (tuples become lists,
    sets and non-string keys are refused, ``_id`` moves first)."""
    return bson.decode(bson.encode(doc))


def _failure(msg: str, code: int, name: str) -> OperationFailure:
    return OperationFailure(msg, code, {"ok": 0.0, "errmsg": msg, "code": code,
                                        "codeName": name})


# ---- value semantics (BSON equality and sort order) -----------------------

def _eq(a, b) -> bool:
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, dict) and isinstance(b, dict):  # field order matters
        return list(a) == list(b) and all(_eq(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(_eq, a, b))
    if isinstance(a, (dict, list)) or isinstance(b, (dict, list)):
        return False
    return a == b


def _matches(doc: dict, filt: dict) -> bool:
    if any(key.startswith("$") for key in filt):
        raise NotImplementedError(f"fake driver: top-level operators in {filt}")
    return all(_value_matches(doc.get(k), k in doc, want) for k, want in filt.items())


def _value_matches(have, present: bool, want) -> bool:
    if isinstance(want, dict) and want and all(k.startswith("$") for k in want):
        return all(_operator(have, present, op, arg) for op, arg in want.items())
    if want is None:
        return not present or have is None
    if not present:
        return False
    return _eq(have, want) or (isinstance(have, list) and any(_eq(x, want) for x in have))


def _operator(have, present, op, arg) -> bool:
    if op != "$in":
        raise NotImplementedError(f"fake driver: query operator {op}")
    if not isinstance(arg, list):
        raise _failure("$in needs an array", 2, "BadValue")
    return any(_value_matches(have, present, x) for x in arg)


_RANKS = [(type(None), 1), ((int, float, bson.Int64, bson.Decimal128), 2), (str, 3),
          (dict, 4), (list, 5), (bytes, 6), (ObjectId, 7), (datetime.datetime, 9)]


def _sort_key(value):
    if isinstance(value, bool):
        return (8, value)
    if isinstance(value, bson.Decimal128):
        value = value.to_decimal()
    for types, rank in _RANKS:
        if isinstance(value, types):
            return (rank, value if rank not in (1, 4, 5) else repr(value))
    return (99, repr(value))


# ---- the client ------------------------------------------------------------

@dataclass
class _Rule:
    match: str | Callable[[Call], bool]
    action: Any  # an exception or BLOCK
    nth: int = 1
    times: int | None = 1
    seen: int = 0

    def fires(self, call: Call) -> bool:
        if not (call.name == self.match if isinstance(self.match, str) else self.match(call)):
            return False
        self.seen += 1
        return self.nth <= self.seen and (self.times is None or self.seen < self.nth + self.times)


class _Coll:
    def __init__(self):
        self.docs: list[dict] = []
        self.indexes: list[dict] = [{"v": 2, "key": {"_id": 1}, "name": "_id_"}]


class FakeClient:
    def __init__(self, flavor: str = "motor", *, suspend: bool = True,
                 suspend_exit: set | None = None,
                 system_databases=("admin", "config", "local"), latency: float = 0.0):
        if flavor not in ("motor", "pymongo"):
            raise ValueError(f"unknown flavor {flavor!r}")
        self.flavor = flavor
        self.suspend = suspend
        self.latency = latency
        if suspend_exit is None:
            suspend_exit = {"txn", "session"} if flavor == "motor" else ()
        self.suspend_exit = set(suspend_exit)
        self.system_databases = tuple(system_databases)
        self.calls: list[Call] = []
        self.compact_reply: dict | BaseException = {"bytesFreed": 0, "ok": 1.0}
        self.blocked = asyncio.Event()
        self.blocked_call: Call | None = None
        self._rules: list[_Rule] = []
        self._parked: list[Callable[[], None]] = []
        self._dbs: dict[str, dict[str, _Coll]] = {}
        self._roles: dict[str, dict[str, dict]] = {}
        self._users: dict[str, dict[str, dict]] = {}
        self._sessions = 0

    # -- handles (not recorded)
    def __getitem__(self, name: str) -> "FakeDatabase":
        return FakeDatabase(self, name)

    def get_database(self, name: str, **_options) -> "FakeDatabase":
        return FakeDatabase(self, name)

    # -- recording and fault injection
    def names(self) -> list[str]:
        return [c.name for c in self.calls]

    def calls_to(self, name: str) -> list[Call]:
        return [c for c in self.calls if c.name == name]

    def clear(self) -> None:
        self.calls.clear()

    def fail(self, match, exc, nth: int = 1, times: int | None = 1) -> None:
        self._rules.append(_Rule(match, exc, nth, times))

    def fail_at(self, k: int, exc) -> None:
        self.fail(lambda c: c.index == k, exc)

    def block(self, match, nth: int = 1) -> None:
        self.blocked = asyncio.Event()
        self.fail(match, BLOCK, nth)

    def block_at(self, k: int) -> None:
        self.block(lambda c: c.index == k)

    def deny_listing(self, exc=None) -> None:
        """Listing databases and collections fails, as for a user without
        the privilege to list."""
        exc = exc or _failure("not authorized to list", 13, "Unauthorized")
        self.fail(lambda c: c.method in ("list_database_names", "list_collection_names"),
                  exc, times=None)

    def unblock(self) -> None:
        parked, self._parked = self._parked, []
        for resume in parked:
            resume()

    def _record(self, target, method, args=(), kwargs=None, sid=None) -> Call:
        call = Call(target, method, _snapshot(tuple(args)), _snapshot(dict(kwargs or {})), sid,
                    index=len(self.calls))
        self.calls.append(call)
        fired = [r for r in self._rules if r.fires(call)]  # every rule counts
        if fired:
            call.fault = fired[0].action
        return call

    @staticmethod
    def _exc(fault) -> BaseException:
        return fault() if isinstance(fault, type) else fault

    def _reached_block(self, call: Call, resume: Callable[[], None]) -> None:
        self.blocked_call = call
        self._parked.append(resume)
        self.blocked.set()

    async def _settle(self, call: Call) -> None:
        """Raise or block as the call's fault says (no suspension otherwise)."""
        if isinstance(call.fault, Partial):  # the work itself stops part-way
            return
        if call.fault is BLOCK:
            fut = asyncio.get_running_loop().create_future()
            self._reached_block(call, lambda: fut.done() or fut.set_result(None))
            await fut
        elif call.fault is not None:
            raise self._exc(call.fault)

    def _raise_now(self, call: Call) -> None:  # for plain calls: blocks wait elsewhere
        if call.fault not in (None, BLOCK) and not isinstance(call.fault, Partial):
            raise self._exc(call.fault)

    async def _tick(self, enabled: bool = True) -> None:
        """Suspend once: a Future resolved via call_soon (Motor) or sleep(0)."""
        if not enabled:
            return
        if self.flavor == "motor":
            fut = asyncio.get_running_loop().create_future()
            asyncio.get_running_loop().call_soon(lambda: fut.done() or fut.set_result(None))
            await fut
        else:
            await asyncio.sleep(0)

    def _op(self, target, method, args, kwargs, work: Callable[[], Any], sid=None):
        """An awaited driver operation in this client's flavour. A ``work``
        marked ``takes_call`` is given its Call."""
        if self.flavor == "pymongo":
            return self._coro_op(target, method, args, kwargs, work)
        call = self._record(target, method, args, kwargs, sid)
        if getattr(work, "takes_call", False):
            work = (lambda w: lambda: w(call))(work)
        loop = asyncio.get_running_loop()
        fut = loop.create_future()

        def finish():  # the work runs even if the awaiter was cancelled
            try:
                self._raise_now(call)
                result, error = work(), None
            except BaseException as e:
                error = e
            if not fut.done():
                fut.set_exception(error) if error else fut.set_result(result)

        if call.fault is BLOCK:
            self._reached_block(call, lambda: loop.call_soon(finish))
        elif self.latency and target not in ("session", "txn"):
            loop.call_later(self.latency, finish)
        elif self.suspend:
            loop.call_soon(finish)
        else:
            finish()
        return fut

    async def _coro_op(self, target, method, args, kwargs, work):
        call = self._record(target, method, args, kwargs)
        if getattr(work, "takes_call", False):
            work = (lambda w: lambda: w(call))(work)
        await self._settle(call)
        if self.latency:
            await asyncio.sleep(self.latency)
            return work()
        result = work()
        await self._tick(self.suspend)
        return result

    # -- client operations
    def list_database_names(self, **kwargs):
        def work():
            used = [d for d, colls in self._dbs.items() if colls]
            return sorted(set(used) | set(self.system_databases))
        return self._op("client", "list_database_names", (), kwargs, work)

    def start_session(self, **kwargs):
        self._sessions += 1
        session = FakeSession(self, self._sessions)
        if self.flavor == "pymongo":
            session._start = self._record("session", "start", (), kwargs, sid=session.sid)
            self._raise_now(session._start)
            return session
        return self._op("session", "start", (), kwargs, lambda: session, sid=session.sid)

    # -- test helpers (never recorded)
    def _coll(self, db: str, coll: str, create: bool = False) -> _Coll | None:
        if create:
            return self._dbs.setdefault(db, {}).setdefault(coll, _Coll())
        return self._dbs.get(db, {}).get(coll)

    def seed(self, db: str, coll: str, docs) -> list:
        """Store copies of ``docs`` (``_id`` added where missing); gives the ids."""
        added = [_bson(d if "_id" in d else {"_id": ObjectId(), **d}) for d in docs]
        self._coll(db, coll, create=True).docs.extend(added)
        return [d["_id"] for d in added]

    def docs(self, db: str, coll: str) -> list[dict]:
        c = self._coll(db, coll)
        return [_bson(d) for d in c.docs] if c else []

    def indexes(self, db: str, coll: str) -> list[dict]:
        c = self._coll(db, coll)
        return [_bson(i) for i in c.indexes] if c else []

    def index_names(self, db: str, coll: str) -> list[str]:
        return [i["name"] for i in self.indexes(db, coll)]

    def collection_names(self, db: str) -> list[str]:
        return list(self._dbs.get(db, {}))

    def roles(self, db: str) -> dict[str, dict]:
        return {n: _bson(r) for n, r in self._roles.get(db, {}).items()}

    def users(self, db: str) -> dict[str, dict]:
        return {n: _bson(u) for n, u in self._users.get(db, {}).items()}


class FakeSession:
    def __init__(self, client: FakeClient, sid: int):
        self.client, self.sid = client, sid
        self.in_transaction = self.has_ended = False
        self._start: Call | None = None  # PyMongo: the plain start_session call

    async def __aenter__(self):
        if self._start is not None:
            await self.client._settle(self._start)
            self._start = None
        return self

    async def __aexit__(self, *exc_info):
        c = self.client
        if self.has_ended:
            return
        if self.in_transaction:  # the driver aborts an open transaction
            self.in_transaction = False
            c._record("txn", "abort", sid=self.sid)
        self.has_ended = True
        await c._settle(c._record("session", "end", sid=self.sid))
        await c._tick("session" in c.suspend_exit)

    def _begin(self, kwargs) -> Call:
        if self.has_ended:
            raise InvalidOperation("Cannot use ended session")
        if self.in_transaction:
            raise InvalidOperation("Transaction already in progress")
        call = self.client._record("txn", "start", (), kwargs, sid=self.sid)
        self.in_transaction = call.fault is None or call.fault is BLOCK
        return call

    def start_transaction(self, **kwargs):
        if self.client.flavor == "motor":
            call = self._begin(kwargs)
            self.client._raise_now(call)
            return FakeTransaction(self, call)
        return self._start_transaction(kwargs)

    async def _start_transaction(self, kwargs):
        call = self._begin(kwargs)
        await self.client._settle(call)
        return FakeTransaction(self, None)


class FakeTransaction:
    def __init__(self, session: FakeSession, start: Call | None):
        self.session = session
        self._start = start  # Motor: a blocked start waits in __aenter__

    async def __aenter__(self):
        if self._start is not None and self._start.fault is BLOCK:
            await self.session.client._settle(self._start)
        return self

    async def __aexit__(self, exc_type, exc, tb):
        s, c = self.session, self.session.client
        if s.in_transaction:
            s.in_transaction = False
            call = c._record("txn", "commit" if exc is None else "abort", sid=s.sid)
            await c._settle(call)
            await c._tick("txn" in c.suspend_exit)


class FakeDatabase:
    def __init__(self, client: FakeClient, name: str):
        self.client, self.name, self._target = client, name, f"db:{name}"

    def __bool__(self):  # as PyMongo's
        raise NotImplementedError("Database objects do not implement truth value testing or bool()")

    def __getitem__(self, name: str) -> "FakeCollection":
        return FakeCollection(self, name)

    def get_collection(self, name: str, **_options) -> "FakeCollection":
        return FakeCollection(self, name)

    def list_collection_names(self, **kwargs):
        return self.client._op(self._target, "list_collection_names", (), kwargs,
                               lambda: list(self.client._dbs.get(self.name, {})))

    def create_collection(self, name: str, **kwargs):
        def work():
            if self.client._coll(self.name, name):
                raise CollectionInvalid(f"collection {name} already exists")
            self.client._coll(self.name, name, create=True)
            return FakeCollection(self, name)
        return self.client._op(self._target, "create_collection", (name,), kwargs, work)

    def command(self, *args, **kwargs):
        return self.client._op(self._target, "command", args, kwargs,
                               lambda: self._run_command(_bson(command_document(*args, **kwargs))))

    # -- server side of the commands
    def _run_command(self, cmd: dict) -> dict:
        name, value = next(iter(cmd.items()))
        db, roles, users = self.name, self.client._roles, self.client._users
        if name in ("createRole", "createUser"):
            kind, store = ("Role", roles) if name == "createRole" else ("User", users)
            for f in ("privileges", "roles") if kind == "Role" else ("roles",):
                if f not in cmd:
                    raise _failure(f"BSON field '{name}.{f}' is missing but a required field",
                                   40414, "Location40414")
            if value in store.get(db, {}):
                code = 51002 if kind == "Role" else 51003
                raise _failure(f'{kind} "{value}@{db}" already exists', code, f"Location{code}")
            granted = [{"role": r, "db": db} if isinstance(r, str) else r for r in cmd["roles"]]
            if kind == "Role":
                doc = {"role": value, "db": db, "privileges": cmd["privileges"], "roles": granted}
            else:
                doc = {"_id": f"{db}.{value}", "user": value, "db": db, "roles": granted,
                       "mechanisms": ["SCRAM-SHA-1", "SCRAM-SHA-256"]}
            store.setdefault(db, {})[value] = doc
            return {"ok": 1.0}
        if name in ("dropRole", "dropUser"):
            kind, store, code = ("Role", roles, 31) if name == "dropRole" else ("User", users, 11)
            if store.get(db, {}).pop(value, None) is None:
                raise _failure(f"{kind} {value}@{db} not found", code, f"{kind}NotFound")
            return {"ok": 1.0}
        if name in ("usersInfo", "rolesInfo"):
            field_, store = ("user", users) if name == "usersInfo" else ("role", roles)
            found = [_bson(d) for d in store.get(db, {}).values() if self._wanted(d, value, field_)]
            if name == "rolesInfo":
                for r in found:
                    r["isBuiltin"] = False
                    r["inheritedRoles"] = list(r["roles"])
                    if cmd.get("showPrivileges"):
                        r["inheritedPrivileges"] = list(r["privileges"])
                    else:
                        del r["privileges"]
            return {field_ + "s": found, "ok": 1.0}
        if name == "compact":
            if not self.client._coll(db, value):
                raise _failure(f"collection does not exist: {db}.{value}", 26, "NamespaceNotFound")
            reply = self.client.compact_reply
            if not isinstance(reply, dict):
                raise self.client._exc(reply)
            return dict(reply)
        raise _failure(f"no such command: '{name}'", 59, "CommandNotFound")

    def _wanted(self, doc: dict, value, field_: str) -> bool:
        if value == 1:
            return True
        wanted = value if isinstance(value, list) else [value]
        return any(doc[field_] == (w if isinstance(w, str) else w.get(field_))
                   and (isinstance(w, str) or w.get("db", self.name) == self.name)
                   for w in wanted)


class FakeCollection:
    def __init__(self, database: FakeDatabase, name: str):
        self.database, self.name, self._client = database, name, database.client
        self.full_name = f"{database.name}.{name}"

    def __bool__(self):  # as PyMongo's
        raise NotImplementedError("Collection objects do not implement truth value testing or bool()")

    def _store(self, create=False) -> _Coll | None:
        return self._client._coll(self.database.name, self.name, create)

    def _op(self, method, args, kwargs, work):
        return self._client._op(self.full_name, method, args, kwargs, work)

    def _query(self, filt, sort=None) -> list[dict]:
        filt = _bson(filt or {})
        store = self._store()
        found = [_bson(d) for d in (store.docs if store else []) if _matches(d, filt)]
        for key, direction in reversed(sort or []):
            found.sort(key=lambda d: _sort_key(d.get(key)), reverse=direction == -1)
        return found

    # -- reads
    def find(self, filter=None, *args, **kwargs):
        if args or kwargs:
            raise NotImplementedError("fake driver: find() takes only a filter")
        if filter is not None and not isinstance(filter, dict):
            raise TypeError("filter must be an instance of dict, bson.son.SON, or any other "
                            "type that inherits from collections.Mapping")
        call = self._client._record(self.full_name, "find", (filter,) if filter is not None else ())
        return FakeCursor(self, [call], lambda cursor: self._query(filter, cursor._sort))

    def find_one(self, filter=None, **kwargs):
        if filter is not None and not isinstance(filter, dict):
            filter = {"_id": filter}
        return self._op("find_one", (filter,) if filter is not None else (), kwargs,
                        lambda: next(iter(self._query(filter)), None))

    def count_documents(self, filter, **kwargs):
        return self._op("count_documents", (filter,), kwargs, lambda: len(self._query(filter)))

    def list_indexes(self, **kwargs):
        def source(_cursor=None):
            store = self._store()
            return [_bson(i) for i in store.indexes] if store else []
        if self._client.flavor == "motor":
            return FakeCursor(self, [self._client._record(self.full_name, "list_indexes",
                                                          (), kwargs)], source)
        return self._op("list_indexes", (), kwargs,
                        lambda: FakeCursor(self, [], lambda cursor: source()))

    # -- writes
    def insert_one(self, document, **kwargs):
        def work():
            if "_id" not in document:
                document["_id"] = ObjectId()
            self._insert(_bson(document))
            return InsertOneResult(document["_id"], True)
        return self._op("insert_one", (document,), kwargs, work)

    def insert_many(self, documents, ordered=True, **kwargs):
        def work():
            if (not isinstance(documents, abc.Iterable) or isinstance(documents, abc.Mapping)
                    or not documents):
                raise TypeError("documents must be a non-empty list")
            docs = list(documents)
            for d in docs:
                if "_id" not in d:
                    d["_id"] = ObjectId()
            for i, d in enumerate(self._as_stored(docs)):
                try:
                    self._insert(d)
                except DuplicateKeyError as e:
                    err = {"index": i, "code": 11000, "errmsg": str(e), "op": d, **e.details}
                    raise BulkWriteError({"writeErrors": [err], "writeConcernErrors": [],
                                          "nInserted": i, "nUpserted": 0, "nMatched": 0,
                                          "nModified": 0, "nRemoved": 0, "upserted": []})
            return InsertManyResult([d["_id"] for d in docs], True)
        return self._op("insert_many", (documents,), kwargs, work)

    def _as_stored(self, docs: list[dict]) -> list[dict]:
        """The batch as the server receives it, before any is stored."""
        return [_bson(d) for d in docs]

    def _insert(self, doc: dict) -> None:
        store = self._store(create=True)
        for ix in store.indexes:
            if ix["name"] == "_id_" or ix.get("unique"):
                key = [doc.get(f) for f in ix["key"]]
                if any(all(map(_eq, key, [d.get(f) for f in ix["key"]])) for d in store.docs):
                    value = dict(zip(ix["key"], key))
                    raise DuplicateKeyError(
                        f"E11000 duplicate key error collection: {self.full_name} index: "
                        f"{ix['name']} dup key: {value}", 11000,
                        {"keyPattern": dict(ix["key"]), "keyValue": value})
        store.docs.append(doc)

    def delete_many(self, filter, **kwargs):
        def work():
            if len(bson.encode(filter)) > MAX_BSON_SIZE + COMMAND_OVERHEAD:
                raise DocumentTooLarge("delete command document too large")
            return DeleteResult({"n": self._delete(filter, 0), "ok": 1.0}, True)
        return self._op("delete_many", (filter,), kwargs, work)

    def _delete(self, filter, limit: int) -> int:
        store = self._store()
        gone = self._query(filter)[:limit or None] if store else []
        ids = [d["_id"] for d in gone]
        if store:
            store.docs = [d for d in store.docs if not any(_eq(d["_id"], i) for i in ids)]
        return len(gone)

    def bulk_write(self, requests, **kwargs):  # ordered or not, run in order
        if not isinstance(requests, list):
            raise TypeError("requests must be a list")
        for r in requests:
            if not isinstance(r, (DeleteOne, DeleteMany)):
                raise NotImplementedError(f"fake driver: bulk statement {r!r}")
        if not requests:  # refused before anything is sent
            async def refused():
                raise InvalidOperation("No operations to execute")
            return refused() if self._client.flavor == "pymongo" else asyncio.ensure_future(refused())

        def work(call):
            for r in requests:
                if len(bson.encode(r._filter)) > MAX_BSON_SIZE:
                    raise DocumentTooLarge("delete statement too large")
            stop = call.fault.done if isinstance(call.fault, Partial) else len(requests)
            removed = sum(self._delete(r._filter, 1 if isinstance(r, DeleteOne) else 0)
                          for r in requests[:stop])
            if stop < len(requests):
                raise self._client._exc(call.fault.exc)
            return BulkWriteResult({"nInserted": 0, "nUpserted": 0, "nMatched": 0, "nModified": 0,
                                    "nRemoved": removed, "upserted": [], "writeErrors": [],
                                    "writeConcernErrors": []}, True)
        work.takes_call = True
        return self._op("bulk_write", (list(requests),), kwargs, work)

    def drop(self, **kwargs):
        def work():
            self._client._dbs.get(self.database.name, {}).pop(self.name, None)
        return self._op("drop", (), kwargs, work)

    # -- indexes
    def create_indexes(self, indexes, **kwargs):
        def work():
            for model in indexes:
                if not isinstance(model, IndexModel):
                    raise TypeError(f"{model!r} is not an instance of pymongo.operations.IndexModel")
            if not indexes:
                raise _failure("Must specify at least one index to create", 2, "BadValue")
            store = self._store(create=True)
            for model in indexes:
                spec = _bson(model.document)
                doc = {"v": 2, "key": spec.pop("key"), "name": spec.pop("name"), **spec}
                same_name = [i for i in store.indexes if i["name"] == doc["name"]]
                if not same_name:
                    store.indexes.append(doc)
                elif not _eq(same_name[0]["key"], doc["key"]):  # same name, same key: no-op
                    raise _failure(f"An existing index has the same name as the requested index: "
                                   f"{doc['name']}", 86, "IndexKeySpecsConflict")
            return [m.document["name"] for m in indexes]
        return self._op("create_indexes", (indexes,), kwargs, work)

    def drop_index(self, index_or_name, **kwargs):
        def work():
            store = self._store()
            if store is None:  # the driver ignores "ns not found"
                return None
            if index_or_name == "_id_":
                raise _failure("cannot drop _id index", 72, "InvalidOptions")
            kept = [i for i in store.indexes if i["name"] != index_or_name]
            if len(kept) == len(store.indexes):
                raise _failure(f"index not found with name [{index_or_name}]", 27, "IndexNotFound")
            store.indexes = kept
        return self._op("drop_index", (index_or_name,), kwargs, work)

    def drop_indexes(self, **kwargs):
        def work():
            store = self._store()
            if store:
                store.indexes = store.indexes[:1]
        return self._op("drop_indexes", (), kwargs, work)


class FakeCursor:
    """``find``/``list_indexes`` cursor: results are read at the first fetch."""

    def __init__(self, collection: FakeCollection, calls: list[Call], source):
        self.collection, self._client = collection, collection._client
        self._calls, self._source = calls, source  # source(cursor) -> documents
        self._sort: list | None = None
        self._docs = None

    def sort(self, key_or_list, direction=None):
        if self._docs is not None:
            raise InvalidOperation("cannot set options after executing query")
        args = (key_or_list,) if direction is None else (key_or_list, direction)
        self._calls.append(self._client._record(self.collection.full_name, "sort", args))
        keys = [(key_or_list, direction or 1)] if isinstance(key_or_list, str) else key_or_list
        if any(d not in (1, -1) for _, d in keys):
            raise ValueError(f"bad sort directions: {keys!r}")
        self._sort = [tuple(k) for k in keys]
        return self

    async def _fetch(self):
        if self._docs is None:
            for call in self._calls:
                await self._client._settle(call)
            if self._client.latency:
                await asyncio.sleep(self._client.latency)
                docs = self._source(self)
                self._docs, self._batches = iter(docs), self._batch_sizes(docs)
                self._left = next(self._batches, 0)
                return
            self._docs = iter(self._source(self))
            await self._client._tick(self._client.suspend)

    @staticmethod
    def _batch_sizes(docs):
        """The server's batches: 101 documents, then up to 16 MiB each."""
        yield min(101, len(docs))
        size, count = 0, 0
        for d in docs[101:]:
            size += len(bson.encode(d))
            if count and size > 16 * 1024 * 1024:
                yield count
                size, count = len(bson.encode(d)), 0
            count += 1
        if count:
            yield count

    def __aiter__(self):
        return self

    async def __anext__(self):
        await self._fetch()
        if self._client.latency and not self._left:
            self._left = next(self._batches, 0)
            if not self._left:
                raise StopAsyncIteration
            await asyncio.sleep(self._client.latency)  # getMore
        try:
            doc = next(self._docs)
        except StopIteration:
            raise StopAsyncIteration from None
        if self._client.latency:
            self._left -= 1
        return doc

    async def to_list(self, length=None):
        out = []
        async for doc in self:
            out.append(doc)
            if length and len(out) >= length:
                break
        return out
