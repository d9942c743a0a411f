"""The overlapped reads of the merge (main-collection lookups) and the find
(newest-document checks): how many run at once, in which order their results
count, which calls a recording fake sees, and that an operation that fails,
is cancelled, interrupted or closed leaves no read running when it returns."""

import asyncio
import copy
import gc
import random
import tracemalloc

import pytest
from bson.regex import Regex
from pymongo.errors import OperationFailure

from fake_driver import FakeClient
from kestrel import functions as kf
from test_indexes import OK, OPEN
from test_merge import ACTIVE, DEACTIVE, DELETE, SCAN_TEMP, ids, prepare
from test_rules import chain, spy  # noqa: F401  (spy is a fixture)

WIDTH = 64  # reads one operation keeps in flight
MERGE_FAILED = "Can not insert temp to main for 'c'!"
WRITES = ("insert_many", "delete_many", "bulk_write", "drop_indexes", "create_indexes")


def reads_running(loop=None):
    """The tasks of overlapped reads that have not finished (on the running loop)."""
    return [t for t in asyncio.all_tasks(loop)
            if type(t.get_coro()).__module__ == "kestrel" and t.get_coro().__qualname__ == "read"]


class TaggingFake(FakeClient):
    """Tags each recorded call with the task that made it, and notes how many
    overlapped reads were running at each call."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.tasks, self.widths = [], []

    def _record(self, *args, **kwargs):
        self.tasks.append(asyncio.current_task())
        self.widths.append(len(reads_running()))
        return super()._record(*args, **kwargs)

    async def _settle(self, call):  # a cursor's first fetch, among others
        self.widths.append(len(reads_running()))
        await super()._settle(call)


def merge_load(fake, n, twins=True):
    """n temp documents with distinct keys, each with a main twin."""
    prepare(fake, main=[{"_id": i, "a": i} for i in range(n)] if twins else [],
            temp=[{"_id": 1000 + i, "a": i} for i in range(n)], unique=[["a"]])


async def settled(op, *args):
    """Run op(*args); give its error (or None), then check no read runs on."""
    try:
        await op(*args)
        err = None
    except BaseException as e:  # noqa: BLE001 - every kind is examined
        err = e
    assert reads_running() == []
    return err


# ---- what runs at once, what counts in which order -------------------------------

@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("n", [5, 150])
def test_merge_calls_and_width(run, spy, flavor, n):
    fake = TaggingFake(flavor)
    merge_load(fake, n)
    spy("Delete_doc_main")
    run(kf.temp_to_main, fake, "d", "c")
    # The same calls in the same order as one lookup after the other.
    assert fake.names() == OPEN + ["d._manage_c.find"] + SCAN_TEMP + ["d.c.find"] * n + (
        DEACTIVE + DELETE + ["d.c.insert_many", "d._temp_c.bulk_write"] + ACTIVE + OK)
    assert [c.arg for c in fake.calls_to("d.c.find")] == [{"a": n - 1 - i} for i in range(n)]
    assert max(fake.widths) == min(n, WIDTH)
    # The main documents the lookups found, then the moved documents' own `_id`s.
    assert spy.seen[0][2]["ids"] == list(range(n - 1, -1, -1)) + [1000 + i for i in range(n - 1, -1, -1)]
    assert fake.docs("d", "_temp_c") == [] and len(fake.docs("d", "c")) == n


def sequential_find(fake, query):
    """What find returns when every check runs alone, in scan order."""
    db = fake["d"]
    rules = [set(r["keys"]) for r in fake.docs("d", "_manage_c") if r["type"] == "unique"]
    out = []
    for rank, coll in ((1, "_temp_c"), (0, "c")):
        found = sorted((d for d in fake.docs("d", coll) if all(d.get(k) == v for k, v in query.items())),
                       key=lambda d: d["_id"], reverse=True)
        for d in found:
            label = (rank, d["_id"])
            result = asyncio.run(kf._check_newest_unique(db["c"], db["_temp_c"], label, d, rules, {label}))
            if result[0]:
                out.append(d)
    return out


def find_load(fake, n, seed=7):
    """Temp and main documents that overlap under two rules in chains."""
    rng = random.Random(seed)
    main = [{"_id": i, "a": rng.randrange(n // 3), "b": rng.randrange(n // 3), "q": 1} for i in range(n)]
    temp = [{"_id": 1000 + i, "a": rng.randrange(n // 2), "b": rng.randrange(n), "q": rng.randrange(2)}
            for i in range(n // 2)]
    prepare(fake, main=main, temp=temp, unique=[["a"], ["b"]])


@pytest.mark.parametrize("n", [12, 120])
def test_find_checks_interleave_but_each_keeps_its_calls(fake, run, n):
    find_load(fake, n)
    expected = sequential_find(fake, {"q": 1})
    lone = FakeClient(fake.flavor)  # each check alone, on the same data
    lone._dbs = fake._dbs
    tagging = TaggingFake(fake.flavor)
    tagging._dbs = fake._dbs
    result = run(kf.find, tagging, "d", "c", {"q": 1})
    assert ids(result) == ids(expected)

    by_check, order = {}, []
    for task, call in zip(tagging.tasks, tagging.calls):
        if call.target in ("d.c", "d._temp_c") and call.method in ("find", "sort"):
            by_check.setdefault(task, []).append((call.name, call.args))
            order.append(task)
    # The operation's own scans, then one check per document matched, in scan
    # order (tasks run in the order they were started).
    scans = [t for t in by_check if t.get_coro().__qualname__ != "read"]
    checks = [t for t in by_check if t not in scans]
    assert len(scans) == 1 and [n for n, _ in by_check[scans[0]]] == [
        "d._temp_c.find", "d._temp_c.sort", "d.c.find", "d.c.sort"]
    matched = [(1, d) for d in sorted(fake.docs("d", "_temp_c"), key=lambda d: d["_id"], reverse=True)
               if d["q"] == 1] + [(0, d) for d in sorted(fake.docs("d", "c"), key=lambda d: d["_id"], reverse=True)]
    assert len(checks) == len(matched)
    # Every check made the calls a lone check of its document makes, in order.
    for task, (rank, d) in zip(checks, matched):
        lone.clear()
        label = (rank, d["_id"])
        run(kf._check_newest_unique, lone["d"]["c"], lone["d"]["_temp_c"], label, d, [{"a"}, {"b"}], {label})
        assert by_check[task] == [(c.name, c.args) for c in lone.calls]
    if n > 100:  # the checks of different documents interleave, at most WIDTH at once
        firsts = [order.index(t) for t in checks]
        lasts = [len(order) - 1 - order[::-1].index(t) for t in checks]
        assert any(f2 < l1 for f2, l1 in zip(firsts[1:], lasts))
        assert max(tagging.widths) == WIDTH


def test_find_keeps_scan_order_whatever_order_checks_finish(run, monkeypatch):
    fake = FakeClient("pymongo")
    prepare(fake, main=[{"_id": i} for i in range(100)], temp=[{"_id": 1000 + i} for i in range(100)])
    running = [0, 0]

    async def check(**kw):
        running[0] += 1
        running[1] = max(running)
        await asyncio.sleep(0.0001 * ((kw["doc_id"][1] * 37) % 11))  # finish out of order
        running[0] -= 1
        return (kw["doc_id"][1] % 3 != 0, None)
    monkeypatch.setattr(kf, "_check_newest_unique", check)
    result = run(kf.find, fake, "d", "c", {})
    assert ids(result) == [i for i in list(range(1099, 999, -1)) + list(range(99, -1, -1)) if i % 3]
    assert running[1] == WIDTH


@pytest.mark.skipif(not hasattr(asyncio, "eager_task_factory"), reason="eager tasks came with 3.12")
@pytest.mark.parametrize("op", ["merge", "find"])
def test_eager_tasks_give_the_same_outcome(fake, op):
    """With an eager task factory a read runs, and may finish, inside the
    call that starts it."""
    find_load(fake, 90)
    plain = copy_of(fake)

    def outcome(client, eager):
        async def main():
            if eager:
                asyncio.get_running_loop().set_task_factory(asyncio.eager_task_factory)
            if op == "merge":
                await settled(kf.temp_to_main, client, "d", "c")
                return sorted(d["a"] for d in client.docs("d", "c"))
            return ids(await kf.find(client, "d", "c", {"q": 1}))
        result = asyncio.run(main())  # (the find's checks may interleave otherwise)
        return result, client.names() if op == "merge" else sorted(client.names())
    assert outcome(fake, True) == outcome(plain, False)


def copy_of(fake):
    other = FakeClient(fake.flavor)
    other._dbs = copy.deepcopy(fake._dbs)
    return other


# ---- failures: the others cancelled and waited for, the first error raised ---------

def test_merge_error_in_a_result_fails_it_before_writing(fake, run):
    """A main document whose `_id` cannot be a key of `origin_ids` (no server
    takes a regular expression for an `_id`; the fake does)."""
    prepare(fake, main=[{"_id": Regex("x"), "a": 1}] + [{"_id": i, "a": i} for i in range(2, 80)],
            temp=[{"_id": 1000 + i, "a": i} for i in range(1, 80)], unique=[["a"]])
    err = run(settled, kf.temp_to_main, fake, "d", "c")
    assert str(err) == MERGE_FAILED and type(err.__cause__) is TypeError
    assert not [c for c in fake.calls if c.method in WRITES]

def test_find_failing_check_cancels_the_others(run, monkeypatch):
    fake = FakeClient("pymongo")
    prepare(fake, temp=[{"_id": i} for i in range(200)])
    seen, cancelled = [], []

    async def check(**kw):
        i = kw["doc_id"][1]
        seen.append(i)
        try:
            if i == 198:
                await asyncio.sleep(0)
                raise ValueError("first")
            if i == 197:
                await asyncio.sleep(0.001)
                raise KeyError("second")
            await asyncio.Event().wait()  # never finishes by itself
        except asyncio.CancelledError:
            cancelled.append(i)
            raise
    monkeypatch.setattr(kf, "_check_newest_unique", check)
    err = run(settled, kf.find, fake, "d", "c", {})
    assert chain(err) == [("RuntimeError", "Can not find query!"), ("ValueError", "first")]
    assert seen == list(range(199, 199 - WIDTH, -1))  # nothing started after the failure
    assert sorted(cancelled) == sorted(set(seen) - {198})  # the rest cancelled, 197 too


@pytest.mark.parametrize("n", [5, 150])
def test_merge_failing_lookup_cancels_the_others(fake, run, n):
    merge_load(fake, n)
    fake.block("d.c.find", nth=1)
    injected = OperationFailure("lookup failed")
    fake.fail("d.c.find", injected, nth=3)
    err = run(settled, kf.temp_to_main, fake, "d", "c")
    assert str(err) == MERGE_FAILED and err.__cause__ is injected
    failed = fake.calls_to("d.c.find")[2].index
    later = fake.names()[failed + 1:]
    assert set(later) <= {"d.c.find", "txn.abort", "session.end"}  # reads in flight only
    # issued before the failure was seen: up to the one that waited for room
    assert later.count("d.c.find") == min(n, WIDTH + 1) - 3
    assert not [c for c in fake.calls if c.method in WRITES]
    assert len(fake.docs("d", "c")) == n and len(fake.docs("d", "_temp_c")) == n


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, asyncio.CancelledError])
def test_interrupt_inside_a_read_reaches_the_caller(fake, run, error):
    """An interrupt raised by a read travels through the operation, as it
    would in sequential code: the event loop never sees it."""
    merge_load(fake, 20)
    fake.block("d.c.find", nth=2)
    injected = error("in a lookup")
    fake.fail("d.c.find", injected, nth=4)
    err = run(settled, kf.temp_to_main, fake, "d", "c")
    assert err is injected and err.__cause__ is None
    assert not [c for c in fake.calls if c.method in WRITES]


def test_find_interrupted_in_its_own_scan_waits_for_its_checks(fake, run):
    prepare(fake, main=[{"_id": i, "a": i, "q": 1} for i in range(5)],
            temp=[{"_id": 1000 + i, "a": i, "q": 1} for i in range(5)], unique=[["a"]])
    fake.block(lambda c: c.name == "d.c.find" and c.arg == {"a": 4})  # the first check
    injected = KeyboardInterrupt("while checks run")
    fake.fail(lambda c: c.name == "d.c.find" and c.arg == {"q": 1}, injected)  # the main pass
    err = run(settled, kf.find, fake, "d", "c", {"q": 1})
    assert err is injected


# ---- the operation cancelled or closed -----------------------------------------------

@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("op", ["merge", "find"])
@pytest.mark.parametrize("n", [5, 150])
def test_cancelled_operation_leaves_no_read_running(run, flavor, op, n):
    fake = TaggingFake(flavor)
    merge_load(fake, n)
    fake.block("d.c.find", nth=2 if op == "merge" else 3)  # a lookup, or a check's read

    async def main():
        coro = kf.temp_to_main(fake, "d", "c") if op == "merge" else kf.find(fake, "d", "c", {})
        task = asyncio.ensure_future(coro)
        await fake.blocked.wait()
        in_flight = set(reads_running())
        assert in_flight
        reached = len(fake.calls)
        task.cancel()
        err = await settled(lambda: task)
        return in_flight, reached, err
    in_flight, reached, err = run(main)
    assert type(err) is asyncio.CancelledError
    # After the cancellation nothing new: the transaction aborted, the session
    # ended, and the reads already in flight at most finished their step.
    later = list(zip(fake.names()[reached:], fake.tasks[reached:]))
    assert {name for name, task in later if task not in in_flight} <= {"txn.abort", "session.end"}
    assert {name.rsplit(".", 1)[1] for name, task in later if task in in_flight} <= {"find", "sort"}
    assert not [c for c in fake.calls if c.method in WRITES]


def test_closed_operation_cancels_its_reads(fake, run):
    merge_load(fake, 30)
    fake.block("d.c.find", nth=2)  # a check's read; the find waits in its own main scan

    async def main():
        coro = kf.find(fake, "d", "c", {})
        task = asyncio.ensure_future(coro)
        await fake.blocked.wait()
        assert reads_running()
        coro.close()  # cannot wait: the reads are cancelled and left to finish
        for _ in range(5):
            await asyncio.sleep(0)
        still = reads_running()
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        return still
    assert run(main) == []
    assert not [c for c in fake.calls if c.method in WRITES]


# ---- nothing kept -----------------------------------------------------------------------

def live_reads():
    return [o for o in gc.get_objects()
            if type(o).__name__ == "coroutine" and type(o).__module__ == "kestrel"]


def test_overlapped_runs_leave_memory_flat(monkeypatch):
    async def failing(**kw):
        if kw["doc_id"][1] == 7:
            raise ValueError("x")
        return (True, None)

    async def rounds(k):
        for i in range(k):
            fake = FakeClient("motor" if i % 2 else "pymongo")
            merge_load(fake, 30)
            with monkeypatch.context() as m:
                if i % 3 == 1:
                    m.setattr(kf, "_check_newest_unique", failing)
                await settled(kf.find, fake, "d", "c", {})
            if i % 3 == 0:
                fake.fail("d.c.find", OperationFailure("x"), nth=5)
            await settled(kf.temp_to_main, fake, "d", "c")
    asyncio.run(rounds(6))
    gc.collect()
    earlier = {id(c) for c in live_reads()}  # kept alive by earlier tests' tracebacks, say
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    asyncio.run(rounds(60))
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 200_000, grown
    assert [c for c in live_reads() if id(c) not in earlier] == []


# ---- against the server ----------------------------------------------------------------

class Watched:
    """A client, database or collection that hands out watched handles and
    calls `on_find(collection name)` before each find; everything else is
    the real object's."""

    def __init__(self, real, on_find, name=None):
        self._real, self._on_find, self._name = real, on_find, name

    def __getattr__(self, attr):
        return getattr(self._real, attr)

    def __getitem__(self, name):
        return Watched(self._real[name], self._on_find, name)

    def find(self, *args, **kwargs):
        self._on_find(self._name)
        return self._real.find(*args, **kwargs)


def test_server_cancelled_merge_leaves_no_read_running(real_client, unique_name):
    db_name = unique_name("db")

    async def main(client):
        db = client[db_name]
        await kf.create_collection(client, db_name, "c", {}, {"u": ["a"]}, {})
        await db["c"].insert_many([{"a": i, "v": "main"} for i in range(200)])
        await db["_temp_c"].insert_many([{"a": i, "v": "temp"} for i in range(200)])
        lookups, reached = [0], asyncio.Event()

        def on_find(name):
            if name == "c":
                lookups[0] += 1
                if lookups[0] == 100:
                    reached.set()
        task = asyncio.ensure_future(kf.temp_to_main(Watched(client, on_find), db_name, "c"))
        await reached.wait()
        task.cancel()
        err = await settled(lambda: task)
        assert type(err) is asyncio.CancelledError
        # Nothing written: the merge can simply run again.
        assert await db["c"].count_documents({"v": "main"}) == 200
        assert await db["_temp_c"].count_documents({}) == 200
        await kf.temp_to_main(client, db_name, "c")
        assert await db["c"].count_documents({"v": "temp"}) == 200
        assert await db["c"].count_documents({}) == 200
    real_client.run(main, timeout=60)


def test_server_failing_check_leaves_no_read_running(real_client, unique_name):
    db_name = unique_name("db")

    async def main(client):
        db = client[db_name]
        await kf.create_collection(client, db_name, "c", {}, {"u": ["a"]}, {})
        await db["c"].insert_many([{"a": i} for i in range(100)])
        # Two temp documents sharing a key, whose `_id` values do not order.
        await db["_temp_c"].insert_many([{"_id": 5, "a": -1}, {"a": -1}])
        err = await settled(kf.find, client, db_name, "c", {})
        assert chain(err)[0] == ("RuntimeError", "Can not find query!")
        assert type(err.__cause__) is TypeError
    real_client.run(main, timeout=60)
