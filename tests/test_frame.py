"""The module frame: what the modules bind, how operations are called and
checked, the coroutine objects they return, the session and transaction
frame, the access check and calls between operations."""

import asyncio
import gc
import inspect
import os
import sys
import warnings

import pytest
from pymongo.errors import OperationFailure

import kestrel.functions as kf
import kestrel.users as ku
from fake_driver import FakeClient

FUNCTIONS = [
    "connect", "active_index", "deactive_index", "delete_index", "insert_index",
    "insert_unique", "delete_unique", "insert_archive_unique", "delete_archive_unique",
    "create_collection", "drop_collection", "insert_temp", "Delete_doc_main", "temp_to_main",
    "refresh_archive", "compact", "find", "_check_newest_unique",
]
USERS = ["create_user", "drop_user", "get_users", "get_roles"]


def public_names(module):
    return [k for k in vars(module) if not (k.startswith("__") and k.endswith("__"))]


def test_modules_bind_their_names_in_order():
    assert public_names(kf) == ["AsyncIOMotorClient", "MongoClient", "IndexModel", "Dict",
                                "Optional", "asyncio", *FUNCTIONS]
    assert public_names(ku) == ["AsyncIOMotorClient", "Dict", "Optional", "asyncio", *USERS]
    import motor.motor_asyncio
    import pymongo
    import typing
    assert kf.AsyncIOMotorClient is motor.motor_asyncio.AsyncIOMotorClient
    assert (kf.MongoClient, kf.IndexModel) == (pymongo.MongoClient, pymongo.IndexModel)
    assert (ku.Dict, ku.Optional, ku.asyncio) == (typing.Dict, typing.Optional, asyncio)


@pytest.mark.parametrize("module,name", [(kf, n) for n in FUNCTIONS] + [(ku, n) for n in USERS])
def test_operation_attributes(module, name):
    op = getattr(module, name)
    assert op.__name__ == op.__qualname__ == name
    assert op.__module__ == module.__name__
    sig = inspect.signature(op)
    assert list(sig.parameters) == [p for p in sig.parameters]  # signature works
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        ann = op.__annotations__.get(p.name, inspect.Parameter.empty)
        assert p.annotation == ann
    is_coro = name != "connect"
    if sys.version_info >= (3, 12):
        assert inspect.iscoroutinefunction(op) is is_coro
    if sys.version_info < (3, 14):  # deprecated from 3.14 on
        assert asyncio.iscoroutinefunction(op) is is_coro
    assert op.__defaults__ == (("localhost:27017", "admin") if name == "connect" else None)
    assert all(isinstance(v, str) for v in op.__annotations__.values())


@pytest.mark.parametrize("op,text", [
    (kf.insert_temp, "\n    Insert docs to temp_collection for saving time (for indexes)\n    "),
    (kf.temp_to_main, "\n    fast insertion of temp to main_collection and replace with respect to uniques. \n    "),
    (kf.refresh_archive, "\n    Quickly archive documents that have newer __index__  with respect to archive_uniques.\n    "),
    (kf.delete_index, '\n    Delete one Index of collection\n    index_name = "age_index"\n    '),
    (ku.get_users, "\n    Create user with roles.\n    "),
    (ku.get_roles, "\n    Show all roles.\n    "),
])
def test_documentation_texts(op, text):
    assert op.__doc__ == text


def test_multi_line_documentation_of_create_collection():
    index = ["    index = {",
             "        'age_index': \"[('age', 1), ('location', '2dsphere')]\",  "
             "# code for collection.create_index([('age', 1), ('location', '2dsphere')])",
             "        'name_index': \"[('name', 'text'), ('family', 'text')], "
             "weights={'name':10, 'family':2}\"",
             "    }"]
    unique = ["    unique = {", "        'unique1': ['name', 'family'],",
              "        'unique2': ['national_ID', 'location'],", "    }"]
    lines = (["", "    Create collection with indexes and uniques and archive_uniques.", *index, "",
              "    Insert uniques of collection, the last one with unique features replaces old ones.",
              *unique, "",
              "    Insert archive_uniques of collection, the last __index__ remains in main and "
              "others move to archive with respect to archive_uniques.", *unique, "    "])
    assert kf.create_collection.__doc__ == "\n".join(lines)
    assert kf.insert_index.__doc__ == "\n".join(["", "    Insert Indexes of collection", *index, "    "])


def test_annotations_and_signature_texts():
    assert kf.connect.__annotations__ == {"username": "str", "password": "str", "host": "str",
                                          "authSource": "str", "return": "MongoClient"}
    assert kf.refresh_archive.__annotations__ == {}
    assert kf.find.__annotations__["return"] == "Optional[list]"
    assert kf.insert_temp.__annotations__["docs"] == "list[Dict]"
    assert str(inspect.signature(kf.delete_unique)) == (
        "(client: 'AsyncIOMotorClient', db_name: 'str', collection_name: 'str', "
        "unique_name: 'str') -> 'None'")


class Str(str):
    pass


@pytest.mark.parametrize("call,message", [
    (lambda: kf.drop_collection(None, "d"), "drop_collection() takes exactly 3 positional arguments (2 given)"),
    (lambda: kf.drop_collection(None, "d", "c", 1), "drop_collection() takes exactly 3 positional arguments (4 given)"),
    (lambda: ku.get_users(None), "get_users() takes exactly 2 positional arguments (1 given)"),
    (lambda: kf.connect("u"), "connect() takes at least 2 positional arguments (1 given)"),
    (lambda: kf.connect("u", "p", "h", "a", "x"), "connect() takes at most 4 positional arguments (5 given)"),
    (lambda: kf.insert_temp(None, "d", docs=[]), "insert_temp() takes exactly 4 positional arguments (2 given)"),
    (lambda: kf.insert_temp(None, "d", "c", [], extra=1), "insert_temp() got an unexpected keyword argument 'extra'"),
    (lambda: kf.insert_temp(None, "d", "c", [], db_name="d"), "insert_temp() got multiple values for keyword argument 'db_name'"),
    # as the interpreter orders them: keywords first, then counts
    (lambda: kf.find(**{"bogus": 1}), "find() got an unexpected keyword argument 'bogus'"),
    (lambda: kf.find(None, bogus=1), "find() got an unexpected keyword argument 'bogus'"),
    (lambda: kf.find(None, "d", "c", {}, 5, bogus=1), "find() got an unexpected keyword argument 'bogus'"),
    (lambda: kf.find(None, "d", "c", {}, 5, client=1), "find() got multiple values for keyword argument 'client'"),
    (lambda: kf.connect("u", bogus=1), "connect() got an unexpected keyword argument 'bogus'"),
    (lambda: kf.find(None, "d", "c", {}, 5), "find() takes exactly 4 positional arguments (5 given)"),
    (lambda: kf.drop_collection(None, "d", Str("c")), "Argument 'collection_name' has incorrect type (expected str, got Str)"),
    (lambda: kf.drop_collection(None, "d", None), "Argument 'collection_name' has incorrect type (expected str, got NoneType)"),
    (lambda: kf.create_collection(None, "d", "c", {}, [], {}), "Argument 'unique' has incorrect type (expected dict, got list)"),
    (lambda: kf.create_collection(None, "d", "c", {}, {}, []), "Argument 'archive_unique' has incorrect type (expected dict, got list)"),
    (lambda: kf.insert_temp(None, "d", "c", ()), "Argument 'docs' has incorrect type (expected list, got tuple)"),
    (lambda: kf.Delete_doc_main(None, "d", "c", {1}), "Argument 'ids' has incorrect type (expected list, got set)"),
    (lambda: kf.connect("u", "p", 27017), "Argument 'host' has incorrect type (expected str, got int)"),
    (lambda: kf.find(None, 1, 2, []), "Argument 'db_name' has incorrect type (expected str, got int)"),
    (lambda: ku.create_user(None, "d", "u", "p", ("r",)), "Argument 'roles' has incorrect type (expected list, got tuple)"),
])
def test_bad_calls_raise_type_error_before_any_coroutine(call, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no coroutine may be created (and left unawaited)
        with pytest.raises(TypeError) as e:
            call()
    assert str(e.value) == message


def test_untyped_operations_take_anything():
    for coro in (kf.refresh_archive(1, 2, 3), kf._check_newest_unique(1, 2, 3, 4, 5, 6),
                 kf.insert_temp(object(), "d", "c", [])):  # client is never checked
        assert asyncio.iscoroutine(coro)
        coro.close()


def test_connect_builds_client_from_globals(monkeypatch):
    seen = []
    monkeypatch.setattr(kf, "AsyncIOMotorClient", lambda *a, **k: seen.append((a, list(k.items()))) or "client")
    assert kf.connect("u", "p") == "client"
    assert kf.connect(password="q", username="v", authSource="db", host="h:1") == "client"
    assert seen == [((), [("host", "localhost:27017"), ("username", "u"), ("password", "p"), ("authSource", "admin")]),
                    ((), [("host", "h:1"), ("username", "v"), ("password", "q"), ("authSource", "db")])]


def test_connect_returns_a_motor_client_and_sends_nothing():
    client = kf.connect("u", "p")
    assert type(client).__name__ == "AsyncIOMotorClient"
    servers = client.topology_description.server_descriptions()
    assert [s.server_type_name for s in servers.values()] == ["Unknown"]  # never contacted
    assert list(servers) == [("localhost", 27017)]


# ---- the coroutine objects -----------------------------------------------------

def test_coroutine_protocol(fake, run):
    fake.seed("d", "c", [{"a": 1}])
    coro = kf.insert_temp(fake, "d", "c", [{"x": 1}])
    assert asyncio.iscoroutine(coro) and coro.__qualname__ == "insert_temp"
    assert fake.calls == []  # nothing runs before it is awaited
    assert run(lambda: coro) is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


@pytest.mark.parametrize("runner", ["task", "gather", "wait_for", "taskgroup", "await"])
def test_asyncio_accepts_operations(fake, run, runner):
    fake.seed("d", "c", [{"a": 1}])

    async def main():
        coro = kf.insert_temp(fake, "d", "c", [{"x": 1}])
        if runner == "task":
            return await asyncio.create_task(coro)
        if runner == "gather":
            return (await asyncio.gather(coro))[0]
        if runner == "wait_for":
            return await asyncio.wait_for(coro, 5)
        if runner == "taskgroup":
            async with asyncio.TaskGroup() as tg:
                t = tg.create_task(coro)
            return t.result()
        return await coro
    if runner == "taskgroup" and sys.version_info < (3, 11):
        pytest.skip("TaskGroup needs 3.11")
    assert run(main) is None
    assert [d["x"] for d in fake.docs("d", "_temp_c")] == [1]


def test_asyncio_run_accepts_operation_directly(fake_pymongo):
    fake_pymongo.seed("d", "c", [{"a": 1}])
    assert asyncio.run(kf.insert_temp(fake_pymongo, "d", "c", [{"x": 1}])) is None


def test_never_awaited_warns_like_a_python_coroutine():
    coro = kf.drop_collection(None, "d", "c")
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    assert [str(x.message) for x in w] == ["coroutine 'drop_collection' was never awaited"]
    assert w[0].category is RuntimeWarning


@pytest.mark.parametrize("blocked", ["txn.start", "client.list_database_names", "d._temp_c.insert_many"])
def test_cancel_while_awaiting_the_driver(fake, run, blocked):
    fake.seed("d", "c", [{"a": 1}])
    fake.block(blocked)

    async def main():
        task = asyncio.create_task(kf.insert_temp(fake, "d", "c", [{"x": 1}]))
        await fake.blocked.wait()
        n = len(fake.calls)
        task.cancel()
        with pytest.raises(asyncio.CancelledError) as e:
            await task
        return n, e.value
    n, err = run(main)
    assert type(err) is asyncio.CancelledError and err.__cause__ is None
    after = fake.names()[n:]
    # the exits ran with the error: the transaction aborted, the session ended
    assert after == ["txn.abort", "session.end"]


def test_close_runs_the_exits(fake_pymongo, run):
    fake = fake_pymongo
    fake.seed("d", "c", [{"a": 1}])
    fake.block("d._temp_c.insert_many")

    async def main():
        coro = kf.insert_temp(fake, "d", "c", [{"x": 1}])
        task = asyncio.ensure_future(coro)
        await fake.blocked.wait()
        coro.close()
        assert coro.cr_running is False
        task.cancel()
    run(main)
    assert fake.names()[-2:] == ["txn.abort", "session.end"]


sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
from bench_bridge import Client as FakeNoRecord  # noqa: E402  an in-memory client that keeps nothing
from plain_ops import delete_ids  # noqa: E402


def live_coroutines():
    return [o for o in gc.get_objects() if type(o).__name__ == "coroutine" and type(o).__module__ == "kestrel"]


def test_100000_calls_leave_memory_flat():
    import tracemalloc
    fake = FakeNoRecord()

    async def main(n, failing):
        for i in range(n):
            try:  # every tenth call fails, so the error paths are measured too
                await kf.Delete_doc_main(fake, "d", "nodb" if failing and i % 10 == 0 else "c", [])
            except RuntimeError:
                pass

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    asyncio.run(main(2000, True))
    gc.collect()
    rss_before = rss()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    asyncio.run(main(100_000, True))
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 100_000, grown  # bytes, after 100,000 calls
    # C++ coroutine frames are not seen by tracemalloc: a leaked frame per call
    # would show here as tens of megabytes (AddressSanitizer holds freed memory
    # back on purpose, and checks leaks itself)
    if not os.environ.get("KESTREL_SANITIZED"):
        assert rss() - rss_before < 8_000_000
    assert live_coroutines() == []


def test_reference_cycle_through_a_task_is_collected(fake_pymongo):
    fake = fake_pymongo
    fake.seed("d", "c", [{"a": 1}])
    fake.block("d._temp_c.insert_many")

    async def main():
        coro = kf.insert_temp(fake, "d", "c", [{"x": 1}])
        task = asyncio.ensure_future(coro)
        await fake.blocked.wait()
        return coro, task
    loop = asyncio.new_event_loop()
    coro, task = loop.run_until_complete(main())
    import weakref
    ref = weakref.ref(coro)
    task.cancel()
    loop.run_until_complete(asyncio.sleep(0))
    del coro, task
    loop.close()
    gc.collect()
    assert ref() is None


# ---- frame and access check ------------------------------------------------------

def test_frame_calls_in_order(fake, run):
    fake.seed("d", "c", [{"a": 1}])
    run(kf.insert_temp, fake, "d", "c", [{"x": 1}])
    assert fake.names() == ["session.start", "txn.start", "client.list_database_names",
                            "db:d.list_collection_names", "d._temp_c.insert_many",
                            "txn.commit", "session.end"]
    assert fake.calls_to("d._temp_c.insert_many")[0].args == ([{"x": 1}],)


@pytest.mark.parametrize("db,coll,inner", [
    ("nodb", "c", "can not access 'nodb'!"),
    ("d", "other", "can not access 'other'!"),
])
def test_access_check_failures(fake, run, db, coll, inner):
    fake.seed("d", "c", [{"a": 1}])
    with pytest.raises(RuntimeError) as e:
        run(kf.Delete_doc_main, fake, db, coll, [1])
    assert str(e.value) == f"Can not delete from '{coll}'!"
    cause = e.value.__cause__
    assert type(cause) is RuntimeError and str(cause) == inner
    assert cause.__cause__ is None and cause.__context__ is None and cause.__suppress_context__
    assert not any(method in " ".join(fake.names()) for method in ("delete_many", "bulk_write"))
    assert fake.names()[-2:] == ["txn.abort", "session.end"]


def test_listing_refused_falls_back_to_unchecked_handles(fake, run):
    fake.deny_listing()
    run(kf.insert_temp, fake, "d", "c", [{"x": 1}])
    assert [d["x"] for d in fake.docs("d", "_temp_c")] == [1]


@pytest.mark.parametrize("error", [asyncio.CancelledError, KeyboardInterrupt, SystemExit])
def test_listing_interrupted_is_never_absorbed(fake, run, error):
    """Only ordinary errors take the unchecked fallback: a cancelled or
    interrupted listing stops the operation before it writes."""
    fake.seed("d", "c", [{"a": 1}])
    fake.fail("client.list_database_names", error())
    with pytest.raises(error):
        run(kf.insert_temp, fake, "d", "c", [{"x": 1}])
    assert fake.calls_to("d._temp_c.insert_many") == []


def test_errors_starting_the_session_are_not_replaced(fake, run):
    fake.fail("session.start", OperationFailure("no sessions"))
    with pytest.raises(OperationFailure, match="no sessions"):
        run(kf.insert_temp, fake, "d", "c", [{"x": 1}])


def test_errors_in_the_transaction_start_are_replaced(fake, run):
    fake.seed("d", "c", [{"a": 1}])
    fake.fail("txn.start", OperationFailure("no txn"))
    with pytest.raises(RuntimeError, match=r"^Can not insert '_temp_c'!$") as e:
        run(kf.insert_temp, fake, "d", "c", [{"x": 1}])
    assert isinstance(e.value.__cause__, OperationFailure)


def test_calls_between_operations_use_module_globals(monkeypatch, run):
    seen = []

    async def fake_insert_index(**kwargs):
        seen.append(kwargs)

    monkeypatch.setattr(kf, "insert_index", fake_insert_index)
    from fake_driver import FakeClient
    fake = FakeClient("pymongo")
    fake.seed("d", "c", [{"a": 1}])
    run(kf.insert_unique, fake, "d", "c", {"r": ["a"]})
    assert seen == [{"client": fake, "db_name": "d", "collection_name": "c",
                     "index": {"_unique_r": "[('a', 1), ]"}}]


# ---- exits that swallow the error ---------------------------------------------------

class Swallowing:
    """The fake behind a session (level "session") or transaction (level
    "txn") whose exit answers True, as a context manager that suppresses
    errors does; "txn-untrue": the transaction's answer cannot be told true
    or false. Start calls keep the fake's flavour."""

    def __init__(self, fake, level):
        self.fake, self.level = fake, level

    def __getitem__(self, name):
        return self.fake[name]

    def list_database_names(self):
        return self.fake.list_database_names()

    def start_session(self):
        return wrap(self.fake.start_session(), lambda s: SwallowingContext(s, self.level, "session"))


class SwallowingContext:
    def __init__(self, inner, level, kind):
        self.inner, self.level, self.kind = inner, level, kind

    async def __aenter__(self):
        await self.inner.__aenter__()
        return self

    async def __aexit__(self, *exc):
        await self.inner.__aexit__(*exc)
        if self.level == "txn-untrue" and self.kind == "txn":
            return Untrue()
        return self.level == self.kind

    def start_transaction(self):
        return wrap(self.inner.start_transaction(), lambda t: SwallowingContext(t, self.level, "txn"))


class Untrue:
    def __bool__(self):
        raise ValueError("no truth")


def wrap(made, make):
    """make(made), or a coroutine giving it when `made` must be awaited."""
    if not inspect.isawaitable(made):
        return make(made)

    async def later():
        return make(await made)
    return later()


async def python_delete_doc_main(client, db_name, collection_name, ids):
    """Delete_doc_main written in Python (the access check's common path)."""
    session = client.start_session()
    session = await session if inspect.isawaitable(session) else session
    async with session:
        try:
            txn = session.start_transaction()
            txn = await txn if inspect.isawaitable(txn) else txn
            async with txn:
                if db_name not in await client.list_database_names():
                    raise RuntimeError("")
                db = client[db_name]
                if collection_name not in await db.list_collection_names():
                    raise RuntimeError("")
                await delete_ids(db[collection_name], ids)
        except Exception as e:
            raise RuntimeError(f"Can not delete from '{collection_name}'!") from e


@pytest.mark.parametrize("level", ["txn", "session"])
@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("fault", [OperationFailure("boom"), KeyboardInterrupt()], ids=repr)
def test_swallowed_error_completes_as_in_python(flavor, level, fault):
    outcomes = []
    for op in (kf.Delete_doc_main, python_delete_doc_main):
        from fake_driver import FakeClient
        fake = FakeClient(flavor)
        fake.seed("d", "c", [{"_id": 1}])
        fake.fail("d.c.bulk_write", fault)
        outcomes.append((asyncio.run(op(Swallowing(fake, level), "d", "c", [1])), fake.names()))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0] == (None, ["session.start", "txn.start", "client.list_database_names",
                                  "db:d.list_collection_names", "d.c.bulk_write", "txn.abort",
                                  "session.end"])


@pytest.mark.parametrize("level", ["txn", "session"])
@pytest.mark.parametrize("op, args, failing", [
    (kf.deactive_index, ("d", "c"), "d.c.drop_indexes"),
    (kf.active_index, ("d", "c"), "d._manage_c.find"),
    (kf.insert_index, ("d", "c", {"a": "[('a', 1)]"}), "d.c.create_indexes"),
    (kf.insert_temp, ("d", "c", [{"x": 1}]), "d._temp_c.insert_many"),
    (kf.insert_archive_unique, ("d", "c", {"r": ["a"]}), "d._manage_c.insert_one"),
    (kf.drop_collection, ("d", "c"), "d.c.drop"),
    (ku.create_user, ("d", "u", "pw", []), "db:d.command"),
], ids=lambda v: getattr(v, "__name__", None))
def test_swallowed_error_in_each_operation(fake, run, level, op, args, failing):
    fake.seed("d", "c", [{"_id": 1}])
    fake.fail(failing, OperationFailure("boom"))
    assert run(op, Swallowing(fake, level), *args) is None
    names = fake.names()
    assert names[names.index(failing):] == [failing, "txn.abort", "session.end"]


def test_swallowed_error_in_a_callee_lets_the_caller_go_on(fake, run):
    """deactive_index fails inside temp_to_main, its own frame swallows the
    error, and the merge goes on as the same code in Python would."""
    fake.seed("d", "c", [{"_id": 1, "k": 1}])
    fake.seed("d", "_temp_c", [{"_id": 2, "k": 1}])
    fake.seed("d", "_manage_c", [{"type": "unique", "name": "r", "keys": ["k"]}])
    fake.fail("d.c.drop_indexes", OperationFailure("boom"))
    assert run(kf.temp_to_main, Swallowing(fake, "txn"), "d", "c") is None
    assert [d["k"] for d in fake.docs("d", "c")] == [1] and fake.docs("d", "c")[0]["_id"] != 1
    assert fake.docs("d", "_temp_c") == []


def test_exit_answer_without_truth_fails_the_operation(fake, run):
    fake.seed("d", "c", [{"_id": 1}])
    fake.fail("d.c.bulk_write", OperationFailure("boom"))
    with pytest.raises(RuntimeError, match=r"^Can not delete from 'c'!$") as e:
        run(kf.Delete_doc_main, Swallowing(fake, "txn-untrue"), "d", "c", [1])
    cause = e.value.__cause__
    assert (type(cause), str(cause)) == (ValueError, "no truth")
    assert isinstance(cause.__context__, OperationFailure)


# ---- driver calls are awaited as Python awaits them ----------------------------------

class PlainFake(FakeClient):
    """Answers every driver call with a plain value, as a synchronous client
    does (sessions and transactions as PyMongo's asynchronous client)."""

    def __init__(self):
        super().__init__("pymongo")

    def _op(self, target, method, args, kwargs, work, sid=None):
        self._raise_now(self._record(target, method, args, kwargs, sid))
        return work()


NOT_AWAITABLE = "object {} can't be used in 'await' expression"


def test_plain_answers_fail_the_operation(run):
    """The call runs (a synchronous client would block the loop for it), then
    awaiting its plain answer fails as Python's await does."""
    fake = PlainFake()
    fake.seed("d", "c", [{"a": 1}])
    with pytest.raises(RuntimeError, match=r"^Can not insert '_temp_c'!$") as e:
        run(kf.insert_temp, fake, "d", "c", [{"x": 1}])
    assert (type(e.value.__cause__), str(e.value.__cause__)) == (TypeError, NOT_AWAITABLE.format("InsertManyResult"))
    # the listings' TypeErrors are what a refused listing is: the check is skipped
    assert fake.names() == ["session.start", "txn.start", "client.list_database_names",
                            "d._temp_c.insert_many", "txn.abort", "session.end"]
    with pytest.raises(RuntimeError, match=r"^Can not access users!$") as e:
        run(ku.get_users, fake, "d")
    assert (type(e.value.__cause__), str(e.value.__cause__)) == (TypeError, NOT_AWAITABLE.format("dict"))


def test_server_synchronous_client_is_refused(server, unique_name):
    import pymongo
    db_name, c = unique_name("db"), unique_name("c")
    with pymongo.MongoClient(host=server.host, username=server.user, password=server.pwd,
                             authSource=server.auth_source, serverSelectionTimeoutMS=5000) as client:
        client[db_name].create_collection(c)
        with pytest.raises(RuntimeError, match=r"^Can not access users!$") as e:
            asyncio.run(ku.get_users(client, db_name))
        assert (type(e.value.__cause__), str(e.value.__cause__)) == (TypeError, NOT_AWAITABLE.format("dict"))
        # its session is no asynchronous context: refused as Python's async with refuses it
        with pytest.raises(TypeError, match="'ClientSession' object does not support the asynchronous "
                                            "context manager protocol"):
            asyncio.run(kf.insert_temp(client, db_name, c, [{"x": 1}]))
        assert client[db_name]["_temp_" + c].count_documents({}) == 0
