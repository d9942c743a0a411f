"""The coroutine objects as Python's own: throw() with a bad traceback, what
a running operation holds as the garbage collector sees it, and the import
of a module whose driver is missing."""

import asyncio
import copy
import gc
import subprocess
import sys
import warnings
import weakref

import pytest
from bson import ObjectId

import fake_driver
import kestrel.functions as kf
from fake_driver import FakeClient


# ---- throw() ------------------------------------------------------------------------

async def by_hand(coro, step, until=lambda: False):
    """step() (a send or a throw), then drive `coro` by hand, as a task does,
    until it ends or until() holds. Its error, or None."""
    try:
        yielded = step()
        while not until():
            if yielded is not None:
                yielded._asyncio_future_blocking = False  # taken over, as a Task does
                await yielded
            else:
                await asyncio.sleep(0)
            yielded = coro.send(None)
    except StopIteration:
        pass
    except BaseException as e:
        return e
    return None


def throw_bad(coro, tb):
    def step():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the three-argument form
            return coro.throw(ValueError, ValueError("x"), tb)
    return step


@pytest.mark.parametrize("bad_tb", ["tb", 5, object()], ids=repr)
@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
def test_throw_with_something_that_is_not_a_traceback(flavor, bad_tb):
    """Into a suspended operation, the TypeError is raised where it waits,
    as in a Python coroutine written the same way; into one not started, it
    is raised by throw() and the operation can still run."""
    from test_frame import python_delete_doc_main

    async def main():
        outcomes = []
        for op in (kf.Delete_doc_main, python_delete_doc_main):
            fake = FakeClient(flavor)
            fake.seed("d", "c", [{"_id": 1}])
            fake.block("d.c.bulk_write")
            coro = op(fake, "d", "c", [1])
            await by_hand(coro, lambda: coro.send(None), until=lambda: fake.blocked_call is not None)
            err = await by_hand(coro, throw_bad(coro, bad_tb))
            outcomes.append((type(err), str(err), type(err.__cause__), fake.names()[-2:]))
            fresh = op(fake, "d", "c", [1])
            err = await by_hand(fresh, throw_bad(fresh, bad_tb))
            assert (type(err), str(err)) == (TypeError, "throw() third argument must be a traceback object")
            fake.unblock()
            fake._rules.clear()
            assert await fresh is None  # untouched by the refused throw
        return outcomes
    kestrel, python = asyncio.run(main())
    assert kestrel == python
    assert kestrel[:3] == (RuntimeError, "Can not delete from 'c'!", TypeError)
    assert kestrel[3] == ["txn.abort", "session.end"]


@pytest.mark.parametrize("with_tb", [True, False])
def test_throw_with_a_traceback_or_none(with_tb):
    try:
        raise KeyError("k")
    except KeyError as e:
        given = e.__traceback__ if with_tb else None

    async def main():
        fake = FakeClient("pymongo")
        fake.seed("d", "c", [{"_id": 1}])
        fake.block("d.c.bulk_write")
        coro = kf.Delete_doc_main(fake, "d", "c", [1])
        await by_hand(coro, lambda: coro.send(None), until=lambda: fake.blocked_call is not None)
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            err = await by_hand(coro, lambda: coro.throw(KeyError, KeyError("k"), given))
        return err, [x.category for x in w]
    err, warned = asyncio.run(main())
    assert (type(err), type(err.__cause__)) == (RuntimeError, KeyError)
    tb = err.__cause__.__traceback__
    frames = []
    while tb is not None:
        frames.append(tb.tb_frame)
        tb = tb.tb_next
    assert (given is not None and given.tb_frame in frames) == with_tb
    assert warned == ([DeprecationWarning] if sys.version_info >= (3, 12) else [])


# ---- what a running operation holds, as the collector sees it ------------------------

@pytest.fixture
def handed(monkeypatch):
    """Every document the fake's cursors hand out."""
    seen = []
    original = fake_driver.FakeCursor.__anext__

    async def anext_(self):
        doc = await original(self)
        seen.append(doc)
        return doc
    monkeypatch.setattr(fake_driver.FakeCursor, "__anext__", anext_)
    return seen


def seeded(flavor: str) -> FakeClient:
    fake = FakeClient(flavor)
    fake.seed("d", "c", [{"_id": 1, "k": 1, "__index__": 1}, {"_id": 3, "k": 2, "__index__": 1}])
    fake.seed("d", "_temp_c", [{"_id": 2, "k": 1, "__index__": 2}])
    fake.seed("d", "archive_c", [])
    fake.seed("d", "_manage_c", [{"type": "unique", "name": "r", "keys": ["k"]},
                                 {"type": "archive_unique", "name": "r", "keys": ["k"]},
                                 {"type": "index", "name": "i", "code": "[('k', 1)], name='i'"}])
    return fake


async def python_merge(client, db_name, collection_name):
    """What temp_to_main holds while it reads the main collection, in Python."""
    db = client[db_name]
    async for doc in db["_temp_" + collection_name].find({}).sort([("_id", -1)]):
        async for _ in db[collection_name].find({"k": doc["k"]}):
            pass


def cycle_is_collected(handed, flavor, make, blocked, nth=1):
    """Run the operation until it waits on the `nth` call named `blocked`;
    make one document it holds refer to the task that runs it; keep every
    other document the driver handed out; drop every other reference;
    collect. Gives: is the coroutine gone, and are the kept documents (live
    objects the operation also held) untouched?"""
    fake = seeded(flavor)
    fake.block(blocked, nth=nth)
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
    coro = make(fake)
    task = loop.create_task(coro)
    loop.run_until_complete(fake.blocked.wait())
    referents = gc.get_referents(coro)
    # Held directly, or in a list the operation holds (the batch it writes).
    referents += [x for r in referents if type(r) is list for x in r]
    held = [d for d in handed if any(r is d for r in referents)]
    assert held, "the operation holds no document from the driver"
    held[0]["task"] = task
    kept = [d for d in handed if d is not held[0]]
    before = copy.deepcopy(kept)
    ref = weakref.ref(coro)
    del coro, task, fake, held, referents
    handed.clear()
    loop.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the finalizer's close of an operation whose loop is gone
        gc.collect()
    return ref() is None, kept == before


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("make, blocked, nth", [
    (lambda fake: python_merge(fake, "d", "c"), "d.c.find", 1),
    (lambda fake: kf.temp_to_main(fake, "d", "c"), "d.c.find", 1),                # temp document in hand
    (lambda fake: kf.temp_to_main(fake, "d", "c"), "d.c.drop_indexes", 1),        # documents to move
    (lambda fake: kf.refresh_archive(fake, "d", "c"), "d.c.drop_indexes", 1),     # the clusters
    (lambda fake: kf.refresh_archive(fake, "d", "c"), "d.c.find", 1),             # temp pass done
    (lambda fake: kf.find(fake, "d", "c", {}), "d._temp_c.find", 2),              # the newest check's levels
    (lambda fake: kf.find(fake, "d", "c", {}), "d.c.find", 2),                    # kept documents
    (lambda fake: kf.active_index(fake, "d", "c"), "d.c.create_indexes", 1),      # an index record
], ids=["python", "merge-scan", "merge-write", "refresh-clusters", "refresh-scan", "find-check",
        "find-main", "active_index"])
# Collected, the operation is closed: its exits run without a loop (Motor's
# suspend) and fail, reported as unraisable, as a Python coroutine's would.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_cycle_through_a_held_document_is_collected(handed, flavor, make, blocked, nth):
    """document -> task -> coroutine -> the document it holds: collected, as
    the frame of a Python coroutine is."""
    assert cycle_is_collected(handed, flavor, make, blocked, nth) == (True, True)


def test_coroutine_shows_what_it_holds(handed):
    async def main():
        fake = seeded("pymongo")
        fake.block("d.c.find")
        coro = kf.temp_to_main(fake, "d", "c")
        task = asyncio.ensure_future(coro)
        await fake.blocked.wait()
        temp_doc = next(d for d in handed if d.get("__index__") == 2)  # (its `_id` may be gone)
        referents = gc.get_referents(coro)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        return temp_doc, referents
    temp_doc, referents = asyncio.run(main())
    assert any(r is temp_doc for r in referents)


class CollectingFake(FakeClient):
    """Runs the garbage collector at every call it records."""

    def _record(self, *args, **kwargs):
        gc.collect()
        return super()._record(*args, **kwargs)


def pipeline_result(fake: FakeClient):
    async def main():
        await kf.create_collection(fake, "d", "c", {"i": "[('k', 1)]"}, {"r": ["k"]}, {"a": ["k"]})
        await kf.create_collection(fake, "d", "archive_c", {}, {}, {})
        await kf.insert_temp(fake, "d", "c", [{"k": i % 3, "n": i, "__index__": i, "tag": [i]}
                                               for i in range(12)])
        found = await kf.find(fake, "d", "c", {})
        await kf.refresh_archive(fake, "d", "c")
        await kf.insert_temp(fake, "d", "c", [{"k": 1, "n": 99, "sub": {"x": [1, 2]}}])
        await kf.temp_to_main(fake, "d", "c")
        await kf.Delete_doc_main(fake, "d", "c", [ObjectId()])
        return found
    found = asyncio.run(main())
    strip = lambda docs: sorted((repr({k: v for k, v in d.items() if k != "_id"}) for d in docs))
    return (strip(found), strip(fake.docs("d", "c")), strip(fake.docs("d", "_temp_archive_c")),
            fake.index_names("d", "c"))


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
def test_collecting_during_operations_frees_nothing_live(flavor):
    """A collection at every driver call while operations hold documents,
    lists and clusters: nothing they hold is freed under them (a borrowed
    reference visited by mistake would be; AddressSanitizer reports it),
    and the results are those of a run without collections."""
    gc.freeze()  # what exists before is not examined again: the collections stay cheap
    try:
        assert pipeline_result(CollectingFake(flavor)) == pipeline_result(FakeClient(flavor))
    finally:
        gc.unfreeze()


# ---- a driver module that cannot be imported ----------------------------------------

BLOCKER = """
import importlib.abc, sys
class Refuse(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == {blocked!r}:
            raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
sys.meta_path.insert(0, Refuse())
try:
    import {module}
except BaseException as e:
    print(type(e).__name__, e.name, e.__cause__ is None, e.__context__ is None, sep="|")
    print({module!r} in sys.modules)
"""


@pytest.mark.parametrize("module", ["kestrel.functions", "kestrel.users"])
@pytest.mark.parametrize("blocked", ["motor", "pymongo"])
def test_missing_driver_module_reaches_the_importer(module, blocked):
    code = BLOCKER.format(blocked=blocked, module=module)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.split() == [f"ModuleNotFoundError|{blocked}|True|True", "False"], out.stderr
