"""The overlapped reads at their edges, against the recording fake: a read
task cancelled by someone else, interrupts raised while the operation stops,
a failed lookup during a long scan, what waits to start seen by the
collector, a loop closed mid-flight, and a slow first read that must not let
the others pile up."""

import asyncio
import gc
import sys
import warnings
import weakref

import pytest
from pymongo.errors import OperationFailure

import fake_driver
from fake_driver import FakeClient
from kestrel import functions as kf
from test_merge import prepare
from test_overlap import WIDTH, WRITES, merge_load, reads_running, settled


def start(op, fake):
    return kf.temp_to_main(fake, "d", "c") if op == "merge" else kf.find(fake, "d", "c", {})


# ---- a read task cancelled from outside ---------------------------------------------

@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("op", ["merge", "find"])
def test_read_cancelled_by_someone_else_before_it_runs(flavor, op):
    """A shutdown routine cancelling every task cancels a read before its
    first step: the read still reports its end, and the operation ends as
    cancelled instead of waiting for it forever."""
    fake = FakeClient(flavor)
    merge_load(fake, 10)
    made = []

    def factory(loop, coro, **kwargs):
        task = asyncio.Task(coro, loop=loop, **kwargs)
        made.append(task)
        if len(made) == 4:
            task.cancel()  # before it has taken a step
        return task

    async def main():
        operation = asyncio.ensure_future(settled(start, op, fake))  # (made before the factory)
        asyncio.get_running_loop().set_task_factory(factory)
        done, _ = await asyncio.wait({operation}, timeout=5)  # (makes no task of its own)
        assert done, "the operation waits for a read that never reports its end"
        return operation.result()
    err = asyncio.run(main())
    assert type(err) is asyncio.CancelledError
    assert len(made) >= 4 and made[3].cancelled()
    assert not [c for c in fake.calls if c.method in WRITES]


# ---- interrupts win over every other outcome --------------------------------------

class InterruptingFake(FakeClient):
    """PyMongo flavour: the blocked lookup raises `on_cancel` when it is cancelled."""

    def __init__(self, on_cancel):
        super().__init__("pymongo")
        self.on_cancel = on_cancel

    async def _settle(self, call):
        try:
            await super()._settle(call)
        except asyncio.CancelledError:
            raise self.on_cancel from None


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("stopping", ["read failed", "cancelled"])
def test_interrupt_raised_while_stopping_wins(interrupt, stopping):
    injected = interrupt("while stopping")
    fake = InterruptingFake(injected)
    merge_load(fake, 20)
    fake.block("d.c.find", nth=1)
    if stopping == "read failed":
        fake.fail("d.c.find", OperationFailure("lookup failed"), nth=3)

    async def main():
        task = asyncio.ensure_future(settled(kf.temp_to_main, fake, "d", "c"))
        await fake.blocked.wait()
        if stopping == "cancelled":
            task.cancel()
        return await task
    err = asyncio.run(main())
    assert err is injected
    assert not [c for c in fake.calls if c.method in WRITES]


# ---- a failed lookup stops the scan -------------------------------------------------

def slow_temp_scan(monkeypatch):
    """The temp companion's cursors suspend at every document (a driver
    suspends at every batch); gives the count of documents they handed out."""
    scanned = [0]
    anext = fake_driver.FakeCursor.__anext__

    async def slow_anext(self):
        if self.collection.name.startswith("_temp_"):
            await asyncio.sleep(0)
            doc = await anext(self)
            scanned[0] += 1
            return doc
        return await anext(self)
    monkeypatch.setattr(fake_driver.FakeCursor, "__anext__", slow_anext)
    return scanned


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
def test_failed_lookup_stops_the_scan(monkeypatch, flavor):
    n = 5000
    scanned = slow_temp_scan(monkeypatch)
    fake = FakeClient(flavor)
    # Every temp document carries the same key: one lookup, then none.
    prepare(fake, main=[{"_id": 1, "a": 0}], temp=[{"_id": 1000 + i, "a": 0} for i in range(n)],
            unique=[["a"]])
    injected = OperationFailure("lookup failed")
    at_failure = []

    def failing(call):
        if call.name == "d.c.find":
            at_failure.append(scanned[0])
            return True
        return False
    fake.fail(failing, injected)
    err = asyncio.run(settled(kf.temp_to_main, fake, "d", "c"))
    assert err.__cause__ is injected
    assert scanned[0] - at_failure[0] <= 2 * WIDTH, (scanned[0], at_failure)
    assert not [c for c in fake.calls if c.method in WRITES]


# ---- a slow first read does not let the others pile up -------------------------------

@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("op", ["merge", "find"])
def test_stalled_first_read_bounds_what_is_started(monkeypatch, flavor, op):
    n = 300
    fake = FakeClient(flavor)
    merge_load(fake, n)
    checks = [0]
    if op == "merge":
        fake.block("d.c.find", nth=1)  # the first lookup
    else:
        fake.block("d._temp_c.find", nth=2)  # the first check's first read
        check = kf._check_newest_unique

        def counted(**kw):
            checks[0] += 1
            return check(**kw)
        monkeypatch.setattr(kf, "_check_newest_unique", counted)

    async def main():
        task = asyncio.ensure_future(start(op, fake))
        await fake.blocked.wait()
        for _ in range(50):  # everything that can go on does
            await asyncio.sleep(0)
        started = len(fake.calls_to("d.c.find")) if op == "merge" else checks[0]
        fake.unblock()
        await task
        return started
    started = asyncio.run(main())
    # Started and not yet handed on: at most twice the width (the scan waits).
    assert started <= 2 * WIDTH + 1, started
    if op == "merge":  # and once the first read is in, the rest goes on
        assert fake.docs("d", "_temp_c") == [] and len(fake.docs("d", "c")) == n


# ---- what waits to start is seen by the collector ----------------------------------------

def test_find_waiting_for_room_is_collected_with_its_cycle(monkeypatch):
    """A find dropped while it waits for room, with a cycle through a
    document it read (document -> task): collected."""
    fake = FakeClient("pymongo")
    prepare(fake, temp=[{"_id": i} for i in range(WIDTH + 10)])
    seen = []

    async def forever(doc):
        await asyncio.Event().wait()

    def check(**kw):  # the check's coroutine holds its document
        seen.append(kw["doc"])
        return forever(kw["doc"])
    monkeypatch.setattr(kf, "_check_newest_unique", check)
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
    coro = kf.find(fake, "d", "c", {})
    task = loop.create_task(coro)
    for _ in range(20):
        loop.run_until_complete(asyncio.sleep(0))
    assert len(seen) == WIDTH + 1  # the last one waits for room
    seen[-1]["task"] = task
    ref = weakref.ref(coro)
    del coro, task, seen
    loop.close()
    gc.collect()
    assert ref() is None


# ---- a loop closed mid-flight --------------------------------------------------------------

@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("op", ["merge", "find"])
def test_loop_closed_mid_flight_gives_only_asyncio_messages(monkeypatch, flavor, op):
    fake = FakeClient(flavor)
    merge_load(fake, 150)
    fake.block("d.c.find", nth=1 if op == "merge" else 3)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(u))
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)  # asyncio's own "Task was destroyed ..."
    task = loop.create_task(start(op, fake))
    loop.run_until_complete(fake.blocked.wait())
    for _ in range(5):
        loop.run_until_complete(asyncio.sleep(0))
    assert reads_running(loop)
    del task
    loop.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # coroutines never awaited, as a TaskGroup's would be
        gc.collect()
    messages = [f"{u.exc_type.__name__}: {u.exc_value}" for u in unraisable]
    assert not [m for m in messages if "Event loop is closed" in m], messages[:3]

