"""Interrupting the merge and the refresh on the recording fake, and running
them again.

A world is a managed collection d.c in some state: main and temp documents,
rules, a declared index. ``interrupted(op, world, fault)`` runs the operation
on it with a fault injected, then again with none, and gives both the state
the fault left and the state the second run left; ``uninterrupted`` gives what
one clean run leaves. The tests (test_run_again.py) and the bench that counts
the outcomes over many worlds (bench/bench_run_again.py) share it.

Faults: ``("raise", k)`` an error from the k-th driver call (counting every
call the fake records, the session and transaction lifecycle included),
``("from", k)`` an error from every call from the k-th on, ``("cancel", k)``
a cancellation after k steps of the event loop, ``("partial", k, n)`` the
bulk write that is the k-th call stopping after n statements.
"""

from __future__ import annotations

import asyncio
import random

from bson import ObjectId
from pymongo.errors import OperationFailure

from fake_driver import FakeClient, Partial

COLLECTIONS = ("c", "_temp_c", "archive_c", "_temp_archive_c")
INDEX = ("v_index", "[('v', 1)]")


def world(rng: random.Random, refresh: bool) -> dict:
    """A random managed collection: documents inside and outside the rules,
    with and without `__index__`, rules bridging main and temp documents,
    temp documents that carry a main document's `_id` (loaded back from a
    find, as it was or changed)."""
    rules = rng.sample([["a"], ["b"], ["c"], ["a", "b"], ["b", "c"]], rng.randint(0, 3))

    def doc():
        d = {f: rng.choice([0, 1, 2]) for f in "abc" if rng.random() < 0.6}
        d["v"] = rng.randrange(1000)
        if refresh and rng.random() < 0.85:
            d["__index__"] = rng.choice([0, 1, 2, 3])
        return d

    main = [{"_id": i, **doc()} for i in range(rng.randint(0, 8))]
    temp = [{"_id": 100 + i, **doc()} for i in range(rng.randint(0, 8))]
    if main and rng.random() < 0.25:
        again = dict(rng.choice(main))
        if rng.random() < 0.5:
            again["v"] = rng.randrange(1000)
            if refresh and rng.random() < 0.5:
                again["__index__"] = rng.choice([0, 1, 2, 3])
        temp.append(again)
    return {"main": main, "temp": temp, "rules": rules}


def seeded(world: dict, refresh: bool, flavor: str = "pymongo") -> FakeClient:
    fake = FakeClient(flavor)
    fake.seed("d", "c", world["main"])
    fake.seed("d", "_temp_c", world["temp"])
    kind = "archive_unique" if refresh else "unique"
    fake.seed("d", "_manage_c",
              [{"type": "index", "name": INDEX[0], "code": f"{INDEX[1]}, name='{INDEX[0]}'"}]
              + [{"type": kind, "name": f"r{i}", "keys": keys} for i, keys in enumerate(world["rules"])])
    for coll in ("archive_c", "_temp_archive_c"):
        fake.seed("d", coll, [])
    fake.clear()
    return fake


def clone(fake: FakeClient) -> FakeClient:
    """A fresh client over a copy of what `fake` stores."""
    copy = FakeClient(fake.flavor)
    for coll in COLLECTIONS + ("_manage_c",):
        copy.seed("d", coll, fake.docs("d", coll))
        copy._coll("d", coll).indexes = fake.indexes("d", coll)
    copy.clear()
    return copy


def left_by(op, world: dict, refresh: bool, fault) -> FakeClient:
    """The client as the fault left it (None: as the world starts)."""
    fake = seeded(world, refresh)
    if fault is not None:
        asyncio.run(_run(op, fake, fault))
    return fake


def run_clean(op, fake: FakeClient) -> dict:
    """One clean run of op (any coroutine function of client, db, collection) on `fake`; the state after."""
    error = asyncio.run(_run(op, fake))
    assert error is None, error
    return snapshot(fake)


def snapshot(fake: FakeClient) -> dict:
    """Every collection as documents; an `_id` the driver made is left out
    (the runs compared would each make their own)."""
    out = {}
    for coll in COLLECTIONS:
        docs = [{k: v for k, v in d.items() if not (k == "_id" and isinstance(v, ObjectId))}
                for d in fake.docs("d", coll)]
        out[coll] = sorted(docs, key=repr)
    out["indexes"] = sorted(fake.index_names("d", "c"))
    return out


def versions(fake: FakeClient) -> list:
    """Every document anywhere, without `_id`."""
    return [{k: v for k, v in d.items() if k != "_id"} for coll in COLLECTIONS for d in fake.docs("d", coll)]


async def _run(op, fake: FakeClient, fault=None) -> BaseException | None:
    """One call of op on d.c with the fault; what it raised."""
    if fault is not None:
        kind, k = fault[0], fault[1]
        error = OperationFailure("injected")
        if kind == "raise":
            fake.fail_at(k, error)
        elif kind == "from":
            fake.fail(lambda c: c.index >= k, error, times=None)
        elif kind == "partial":
            fake.fail_at(k, Partial(fault[2], error))
    task = asyncio.ensure_future(op(fake, "d", "c"))
    if fault is not None and fault[0] == "cancel":
        for _ in range(fault[1]):
            await asyncio.sleep(0)
        task.cancel()
    try:
        await task
    except BaseException as e:  # noqa: BLE001 - what the interruption raised is what we report
        return e
    finally:
        fake._rules.clear()
    return None


def uninterrupted(op, world: dict, refresh: bool) -> tuple[dict, list, list]:
    """The state one clean run leaves, the calls it made and the versions it keeps."""
    fake = seeded(world, refresh)
    error = asyncio.run(_run(op, fake))
    assert error is None, error
    return snapshot(fake), fake.calls, versions(fake)


def interrupted(op, world: dict, refresh: bool, fault, again=None, flavor: str = "pymongo"):
    """(state the fault left, what it raised, versions it left, state after the
    runs that follow): a clean run follows the fault, or the fault `again`
    and then a clean run."""
    fake = seeded(world, refresh, flavor)

    async def main():
        raised = await _run(op, fake, fault)
        left, left_versions = snapshot(fake), versions(fake)
        if again is not None:
            fake.clear()
            await _run(op, fake, again)
        fake.clear()
        second = await _run(op, fake)
        assert second is None, second
        return left, raised, left_versions

    left, raised, left_versions = asyncio.run(main())
    return left, raised, left_versions, snapshot(fake)


def faults(calls: list) -> list:
    """Every fault worth injecting into a run that makes `calls`: an error
    from each call, every call failing from each call on, a cancellation
    at each step of the loop (a few more than the calls), and each bulk
    write stopped after each of its statements."""
    n = len(calls)
    out = [("raise", k) for k in range(n)] + [("from", k) for k in range(n)]
    out += [("cancel", k) for k in range(2 * n + 4)]
    for call in calls:
        if call.method == "bulk_write":
            out += [("partial", call.index, j) for j in range(len(call.arg))]
    return out


def lost(before: list, after: list) -> list:
    """Documents of `before` found nowhere in `after` (as documents, without `_id`)."""
    pool = list(after)
    missing = []
    for d in before:
        if d in pool:
            pool.remove(d)
        else:
            missing.append(d)
    return missing
