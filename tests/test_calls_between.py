"""Calls between operations and what every call shares underneath.

A caller that finds the module's own operation under the callee's global name
runs its body in place (no coroutine object, no Python call); anything else
found there is called as it is. Both must look the same from outside: the
same driver calls with the same arguments, the same results, the same
errors. Also: `async for` endings, `async with` lookups, concurrent calls,
and memory over many nested calls.
"""

from __future__ import annotations

import abc
import asyncio
import copy
import gc
import os
import sys
import warnings

import pytest
from pymongo import DeleteMany, IndexModel

import kestrel.functions as kf
import kestrel.users as ku
import fake_driver
from fake_driver import FakeClient
from test_merge import prepare

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import plain_ops  # noqa: E402

CALLEES = ["insert_index", "insert_unique", "insert_archive_unique", "delete_index",
           "deactive_index", "active_index", "Delete_doc_main", "insert_temp", "_check_newest_unique"]
TEMP = [{"_id": 1, "k": 1, "n": "old"}, {"_id": 2, "k": 1, "n": "new"}, {"_id": 3, "k": 2}]
MAIN = [{"_id": 10, "k": 1, "__index__": 1}, {"_id": 11, "k": 3, "__index__": 2}]

# operation, arguments after the client
CALLERS = {
    "temp_to_main": ("d", "c"),
    "refresh_archive": ("d", "c"),
    "compact": ("d", "c"),
    "find": ("d", "c", {"k": 1}),
    "create_collection": ("d", "new", {"ix": "[('a', 1)]"}, {"u": ["a"]}, {"a": ["b"]}),
    "insert_unique": ("d", "c", {"u9": ["n"]}),
    "delete_unique": ("d", "c", "u0"),
}


def managed(flavor):
    fake = FakeClient(flavor, suspend=False)
    prepare(fake, main=MAIN, temp=TEMP, unique=[["k"]], archive_unique=[["k"]],
            indexes=[("ix", "[('k', 1)], name='ix'")])
    fake.seed("d", "_manage_archive_c", [])
    fake.seed("d", "_temp_archive_c", [])
    fake._coll("d", "c").indexes.append({"v": 2, "key": {"k": 1}, "name": "_unique_u0"})
    fake.clear()
    return fake


def outcome(op, fake, args):
    try:
        return "result", asyncio.run(op(fake, *copy.deepcopy(args)))
    except RuntimeError as e:
        return "error", str(e), [type(x).__name__ + ": " + str(x) for x in chain(e)]


def chain(e):
    out = []
    while e is not None:
        out.append(e)
        e = e.__cause__
    return out


def comparable(value):
    """Index models compared by their documents (they have no equality)."""
    if isinstance(value, IndexModel):
        return ("IndexModel", value.document)
    if isinstance(value, (list, tuple)):
        return type(value)(comparable(v) for v in value)
    if isinstance(value, dict):
        return {k: comparable(v) for k, v in value.items()}
    return value


def recorded(fake):
    return [(c.name, comparable(c.args), comparable(c.kwargs)) for c in fake.calls]


def pass_through(original):
    async def wrapper(**kwargs):
        return await original(**kwargs)
    return wrapper


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("name", CALLERS)
def test_entered_and_called_callees_make_the_same_calls(name, flavor, monkeypatch):
    op, args = getattr(kf, name), CALLERS[name]
    entered = managed(flavor)
    first = outcome(op, entered, args)
    for callee in CALLEES:  # the same operations, reached through a Python call
        monkeypatch.setattr(kf, callee, pass_through(getattr(kf, callee)))
    called = managed(flavor)
    second = outcome(op, called, args)
    assert recorded(entered) == recorded(called)
    assert first == second
    assert first[0] == "result", first


def reference_error(callee, kwargs):
    """What calling `callee` with these keyword arguments raises."""
    with pytest.raises(TypeError) as e:
        callee(**kwargs)
    return str(e.value)


@pytest.mark.parametrize("name, bound, keywords", [
    # an operation with other parameters: the call's own TypeError
    ("Delete_doc_main", "active_index", ["client", "db_name", "collection_name", "ids"]),
    ("deactive_index", "Delete_doc_main", ["client", "db_name", "collection_name"]),
    ("active_index", "insert_index", ["client", "db_name", "collection_name"]),
])
def test_a_global_bound_to_another_operation_is_checked_as_a_call(name, bound, keywords, monkeypatch):
    fake = managed("pymongo")
    kwargs = {k: (fake if k == "client" else [] if k == "ids" else "d" if k == "db_name" else "c")
              for k in keywords}
    expected = reference_error(getattr(kf, bound), kwargs)
    monkeypatch.setattr(kf, name, getattr(kf, bound))
    kind, message, links = outcome(kf.temp_to_main, fake, ("d", "c"))
    assert (kind, message) == ("error", "Can not insert temp to main for 'c'!")
    assert links[1] == "TypeError: " + expected


def test_a_global_bound_to_another_operation_runs_that_operation(monkeypatch):
    fake = managed("pymongo")
    monkeypatch.setattr(kf, "deactive_index", kf.active_index)
    assert outcome(kf.temp_to_main, fake, ("d", "c")) == ("result", None)
    names = fake.names()
    assert "d.c.drop_indexes" not in names
    assert names.count("d.c.create_indexes") == 2  # active_index in both places


def test_an_operation_of_the_other_module_is_called_as_it_is(monkeypatch):
    fake = managed("pymongo")
    monkeypatch.setattr(kf, "deactive_index", ku.get_users)
    kind, message, links = outcome(kf.temp_to_main, fake, ("d", "c"))
    assert message == "Can not insert temp to main for 'c'!"
    assert links[1] == "TypeError: get_users() got an unexpected keyword argument 'collection_name'"


def test_the_global_is_looked_up_at_call_time():
    fake = managed("pymongo")
    saved = dict(vars(kf))  # the module's names keep their order afterwards
    try:
        del kf.deactive_index
        kind, message, links = outcome(kf.temp_to_main, fake, ("d", "c"))
    finally:
        vars(kf).clear()
        vars(kf).update(saved)
    assert links[1] == "NameError: name 'deactive_index' is not defined"


# ---- a client of our own making, for shapes the fake does not produce ----------------

class Cursor:
    def __init__(self, docs):
        self.docs = list(docs)

    def sort(self, key):
        return self

    def __aiter__(self):
        return self

    async def __anext__(self):
        if not self.docs:
            raise StopAsyncIteration
        return self.docs.pop(0)


class SyncEnd(Cursor):
    def __anext__(self):  # a plain method that ends the iteration at once
        raise StopAsyncIteration


class Client:
    """One database "d" holding "c"; every collection answers `find` with
    `found[name]`, or nothing."""

    def __init__(self, found=None, cursor=Cursor):
        self.found, self.cursor, self.name = found or {}, cursor, None

    def __getitem__(self, name):
        handle = type(self)(self.found, self.cursor)
        handle.name = name
        return handle

    async def list_database_names(self):
        return ["d"]

    async def list_collection_names(self):
        return ["c"]

    def find(self, filter):
        return self.cursor(self.found.get(self.name, []))


class StopsOnK(dict):
    def __getitem__(self, key):
        if key == "k":
            raise StopIteration
        return super().__getitem__(key)


@pytest.mark.parametrize("through_python", [False, True])
def test_stop_iteration_leaving_a_callee_is_seen_as_python_shows_it(through_python, monkeypatch):
    if through_python:
        monkeypatch.setattr(kf, "_check_newest_unique", pass_through(kf._check_newest_unique))
    client = Client({"_manage_c": [{"keys": ["k"]}], "_temp_c": [StopsOnK(_id=1, k=1)]})
    with pytest.raises(RuntimeError) as e:
        asyncio.run(kf.find(client, "d", "c", {}))
    assert [type(x).__name__ + ": " + str(x) for x in chain(e.value)] == [
        "RuntimeError: Can not find query!", "RuntimeError: coroutine raised StopIteration",
        "StopIteration: "]


def test_an_anext_that_ends_at_once_ends_the_loop():
    client = Client({"_manage_c": [{"keys": ["k"]}], "_temp_c": [{"_id": 1, "k": 1}]}, SyncEnd)

    async def python_loop():
        return [x async for x in SyncEnd([1])]
    assert asyncio.run(python_loop()) == []  # what `async for` makes of it
    assert asyncio.run(kf.find(client, "d", "c", {})) == []


# ---- async with: the special methods come from the type -------------------------------

class Session:
    def __init__(self, log):
        self.log = log
        self.__aenter__ = self.__aexit__ = None  # never used: `async with` looks at the type

    async def __aenter__(self):
        self.log.append("enter")
        return self

    async def __aexit__(self, *exc):
        self.log.append("exit")

    async def start_transaction(self):
        return Transaction(self.log)


class Transaction(Session):
    pass


class AbstractSession(Session, metaclass=abc.ABCMeta):
    pass


@pytest.mark.parametrize("session_type", [Session, AbstractSession])
def test_sessions_are_entered_through_their_type(session_type):
    log = []

    class FramedClient(Client):
        def start_session(self):
            return session_type(log)

        async def bulk_write(self, requests):
            log.append(("bulk_write", requests))

    asyncio.run(kf.Delete_doc_main(FramedClient(), "d", "c", [7]))
    assert log == ["enter", "enter", ("bulk_write", [DeleteMany({"_id": {"$in": [7]}})]), "exit", "exit"]


class Suppressing(Session):
    async def __aexit__(self, *exc):
        self.log.append(("exit", exc[0].__name__ if exc[0] else None))
        return True  # swallows whatever left the block


@pytest.mark.parametrize("which", ["session", "transaction"])
def test_an_exit_that_suppresses_the_error_ends_the_operation_with_none(which):
    log = []

    class SuppressingClient(Client):
        def start_session(self):
            return (Suppressing if which == "session" else SuppressingSession)(log)

        async def bulk_write(self, requests):
            raise ValueError("refused")

    class SuppressingSession(Session):
        async def start_transaction(self):
            return Suppressing(self.log)

    assert asyncio.run(kf.Delete_doc_main(SuppressingClient(), "d", "c", [7])) is None
    kestrel_log, log[:] = list(log), []
    assert asyncio.run(plain_ops.Delete_doc_main(SuppressingClient(), "d", "c", [7])) is None
    assert kestrel_log == log  # as the same frame written in Python
    inner, outer = log[-2], log[-1]
    if which == "session":  # the transaction's exit saw the ValueError, the session's its replacement
        assert (inner, outer) == ("exit", ("exit", "RuntimeError"))
    else:
        assert (inner, outer) == (("exit", "ValueError"), "exit")


# ---- many calls at once, many calls in a row ----------------------------------------

def test_operations_interleaved_on_one_loop_each_keep_their_own_frames():
    fake = FakeClient("motor")  # every awaited call suspends, so the operations interleave
    prepare(fake, main=MAIN, unique=[["k"]])

    async def main():
        ops = []
        for i in range(12):
            ops.append(kf.insert_temp(fake, "d", "c", [{"k": i, "i": i}]))
            ops.append(kf.Delete_doc_main(fake, "d", "c", [100 + i]))
            ops.append(kf.find(fake, "d", "c", {"k": 3}))
        return await asyncio.gather(*ops)
    results = asyncio.run(main())
    assert results[0::3] == [None] * 12 and results[1::3] == [None] * 12
    assert all(r == [{"_id": r[0]["_id"], "k": 3, "i": 3}] for r in results[2::3] if r)
    names = fake.names()
    assert names.count("session.start") == names.count("session.end") == 24
    assert sorted(d["i"] for d in fake.docs("d", "_temp_c")) == list(range(12))


def test_nested_calls_leave_memory_flat():
    from bench_bridge import Client as NullClient

    async def main(n):
        client = NullClient()
        for _ in range(n):
            await kf.temp_to_main(client, "d", "c")

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    asyncio.run(main(2000))
    gc.collect()
    before = rss()
    asyncio.run(main(30_000))
    gc.collect()
    if not os.environ.get("KESTREL_SANITIZED"):  # the sanitizer holds freed memory back
        assert rss() - before < 4_000_000
    assert [o for o in gc.get_objects() if type(o).__name__ == "coroutine"
            and type(o).__module__ == "kestrel"] == []


def test_operations_on_loops_in_several_threads():
    """Each thread runs its own event loop; the interpreter switches threads
    inside the operations' steps (a short switch interval), so what a step
    holds must join its own call, never the call another thread is running."""
    import threading
    from bench_bridge import Client as NullClient

    errors = []

    def worker():
        async def main():
            client = NullClient()
            for _ in range(3000):
                await kf.temp_to_main(client, "d", "c")
                await kf.Delete_doc_main(client, "d", "c", [1])
        try:
            asyncio.run(main())
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []


# ---- what the interpreter would look up, looked up as it would ------------------------

class Kinds:
    """__aenter__ in each of the forms a class may give it."""

    class Function(Session):
        pass

    class Static(Session):
        @staticmethod
        async def __aenter__():
            return None

    class ClassMethod(Session):
        @classmethod
        async def __aenter__(cls):
            return cls

    class CallableObject(Session):
        class Enter:
            async def __call__(self, *args):
                return len(args)  # Python's `async with` passes nothing
        __aenter__ = Enter()


@pytest.mark.parametrize("kind", [Kinds.Function, Kinds.Static, Kinds.ClassMethod, Kinds.CallableObject])
def test_special_methods_are_bound_as_python_binds_them(kind):
    """The same frame in Python and in kestrel meets the same `__aenter__`
    and calls it the same way, whatever kind of attribute it is."""
    seen = []

    class FramedClient(Client):
        def start_session(self):
            return kind(seen)

        async def delete_many(self, filter):
            seen.append("delete_many")

    asyncio.run(kf.Delete_doc_main(FramedClient(), "d", "c", []))
    kestrel_seen, seen[:] = list(seen), []
    asyncio.run(plain_ops.Delete_doc_main(FramedClient(), "d", "c", []))
    assert kestrel_seen == seen and "delete_many" in seen


def test_special_methods_follow_a_change_of_the_type():
    """A class whose `__aenter__` or `__aexit__` changes between calls (on
    itself or on a base) is entered through the new ones."""
    log = []

    class Base(Session):
        pass

    class Derived(Base):  # the session, and its transaction
        async def start_transaction(self):
            return Derived(self.log)

    class FramedClient(Client):
        def start_session(self):
            return Derived(log)

        async def delete_many(self, filter):
            log.append("delete_many")

    async def enter_again(self):
        log.append("enter again")
        return self

    async def exit_again(self, *exc):
        log.append("exit again")

    client = FramedClient()
    asyncio.run(kf.Delete_doc_main(client, "d", "c", []))
    assert log == ["enter", "enter", "delete_many", "exit", "exit"]
    for target, name, function in [(Derived, "__aenter__", enter_again), (Base, "__aexit__", exit_again)]:
        setattr(target, name, function)
        del log[:]
        asyncio.run(kf.Delete_doc_main(client, "d", "c", []))
    assert log == ["enter again", "enter again", "delete_many", "exit again", "exit again"]


class GetItem:
    """Every form of `client[name]`, each answering with a handle named after it."""

    class Function(Client):
        pass

    class Callable(Client):
        class Lookup:
            def __call__(self, name):  # not a function: the slot binds nothing
                return Client()
        __getitem__ = Lookup()

    class Dict(dict):  # a C __getitem__
        def __init__(self):
            super().__init__(d=Client())

        async def list_database_names(self):
            return ["d"]


@pytest.mark.parametrize("kind", [GetItem.Function, GetItem.Callable, GetItem.Dict])
def test_items_of_every_kind_of_client(kind):
    async def both():
        return await kf.find(kind(), "d", "c", {}), await plain_ops.find(kind(), "d", "c", {})
    assert asyncio.run(both()) == ([], [])


def test_items_follow_a_change_of_getitem():
    names = []

    class Recording(Client):
        def __getitem__(self, name):
            names.append(name)
            return super().__getitem__(name)

    asyncio.run(kf.find(Recording(), "d", "c", {}))
    first, names[:] = list(names), []

    def refuse(self, name):
        raise KeyError(name)
    Recording.__getitem__ = refuse
    with pytest.raises(RuntimeError) as e:
        asyncio.run(kf.find(Recording(), "d", "c", {}))
    assert first == ["d", "c", "_temp_c", "_manage_c"] and names == []
    assert type(e.value.__cause__) is KeyError


def test_a_method_set_on_the_instance_is_the_one_called():
    client = Client()
    calls = []

    async def listing():
        calls.append("instance")
        return ["d"]
    client.list_database_names = listing
    assert asyncio.run(kf.find(client, "d", "c", {})) == []
    assert calls == ["instance"]


# ---- what the collector sees of the frame and of calls between operations -------------

def referents_while_blocked(flavor, make, blocked):
    fake = managed(flavor)
    fake.suspend = True
    return fake, fake_driver.referents_while_blocked(fake, make, blocked)


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
def test_the_frame_shows_its_session_and_transaction(flavor):
    fake, referents = referents_while_blocked(
        flavor, lambda f: kf.Delete_doc_main(f, "d", "c", [10]), "d.c.bulk_write")
    sessions = [r for r in referents if type(r).__name__ == "FakeSession"]
    transactions = [r for r in referents if type(r).__name__ == "FakeTransaction"]
    assert len(sessions) == 1 and len(transactions) == 1
    assert transactions[0].session is sessions[0]


def test_a_callee_run_in_place_shows_its_arguments():
    """temp_to_main runs Delete_doc_main in place; while that waits on the
    driver, the list of ids it was given is seen through the caller."""
    fake, referents = referents_while_blocked(
        "pymongo", lambda f: kf.temp_to_main(f, "d", "c"), "d.c.bulk_write")
    # The replaced main document, then the kept temp documents' own `_id`s.
    id_lists = [r for r in referents if isinstance(r, list) and r == [10, 3, 2]]
    assert len(id_lists) == 1


# ---- finished coroutine objects are used again ------------------------------------------

def test_every_coroutine_never_awaited_warns_once_also_after_reuse():
    """Coroutine objects are kept for the next calls; one that was finalised
    (collected in a cycle, or never awaited) must not make a later one
    forget to warn."""
    from bench_bridge import Client as NullClient

    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        for _ in range(3):
            asyncio.run(kf.Delete_doc_main(NullClient(), "d", "c", []))  # finished: kept
            coro = kf.Delete_doc_main(None, "d", "c", [])
            holder = [coro]
            holder.append(holder)  # a cycle: finalised by the collector
            del coro, holder
            gc.collect()
            kf.Delete_doc_main(None, "d", "c", [])  # dropped at once
            gc.collect()
    assert [str(x.message) for x in w] == ["coroutine 'Delete_doc_main' was never awaited"] * 6
