"""The memory bench measures the operations it names: its raw-BSON fake
answers them as the recording fake does (same calls, same outcome), the
baseline does the same work, the stalled read is held while the scan can go
on, and its checks refuse what they are there to refuse."""

from __future__ import annotations

import asyncio
import os
import sys
from collections import Counter
from pathlib import Path

import bson
import pytest
from pymongo import IndexModel

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))

import bench_memory  # noqa: E402
import driver_baseline  # noqa: E402
from bench_memory import DB, OPS, STALLED_OPS, C, run_operation, seed, stall_points  # noqa: E402
from fake_driver import FakeClient  # noqa: E402
from raw_fake import RawFakeClient  # noqa: E402

import kestrel.functions as kf  # noqa: E402

N = 60  # temp documents: every shape of the workloads occurs
SEEDED = (0x60000000).to_bytes(4, "big")[:3]


def plain(value):
    """A call argument as comparable data (IndexModel has no __eq__)."""
    if isinstance(value, IndexModel):
        return ("IndexModel", value.document)
    if isinstance(value, (list, tuple)):
        return type(value)(map(plain, value))
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return value


def calls(client):
    return [(c.target, c.method, plain(c.args), plain(c.kwargs)) for c in client.calls]


def state(client):
    """Every collection's documents in storage order; `_id`s the driver made
    on insertion (fresh in every run) left out."""
    def stable(doc):
        fresh = doc["_id"].binary[:3] != SEEDED if isinstance(doc.get("_id"), bson.ObjectId) else False
        return {k: v for k, v in doc.items() if k != "_id" or not fresh}
    return {name: [stable(d) for d in client.docs(DB, name)] for name in client.collection_names(DB)}


def run(impl, client, op):
    return asyncio.run(run_operation(impl, client, op))


def ran(cls, impl, op, flavor, **kwargs):
    client = cls(flavor, **kwargs)
    seed(client, op, N)
    return client, run(impl, client, op)


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("op", OPS)
def test_the_raw_fake_answers_as_the_recording_fake_and_the_baseline_does_the_same(op, flavor):
    stock, stock_result = ran(FakeClient, kf, op, flavor)
    raw, raw_result = ran(RawFakeClient, kf, op, flavor)
    assert (calls(raw), state(raw), raw_result) == (calls(stock), state(stock), stock_result)
    # and the operation did real work
    assert len(stock.calls) > 20
    if op == "find":
        assert len(stock_result) == N
    else:
        assert state(stock)["_temp_" + C] == [] and state(stock)[C] != []
    # The bench's setting keeps no call, only their counts.
    counted, counted_result = ran(RawFakeClient, kf, op, flavor, recording=False)
    assert counted.calls == [] and counted.call_counts() == dict(Counter(stock.names()))
    assert (state(counted), counted_result) == (state(stock), stock_result)
    # The plain-Python baseline: the same calls (the find's checks overlap in
    # kestrel, so as a multiset), the same outcome.
    baseline, baseline_result = ran(RawFakeClient, driver_baseline, op, flavor)
    assert Counter(map(repr, calls(baseline))) == Counter(map(repr, calls(raw)))
    assert (state(baseline), baseline_result) == (state(raw), raw_result)


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("op, n, held", [("temp_to_main", 300, True), ("find", 300, True),
                                         ("temp_to_main", N, False)],
                         ids=["merge", "find", "merge-never-waits"])
def test_a_stalled_first_read_is_held_while_the_scan_can_go_on(op, n, held, flavor):
    """With more reads than kestrel lets be started and not handed on, the
    scan stops for the held read; with fewer, the scan ends first and the
    read is not stalled at all."""
    unstalled = RawFakeClient(flavor)
    seed(unstalled, op, n)
    expected = run(kf, unstalled, op)
    client = RawFakeClient(flavor)
    seed(client, op, n)
    client.stall(*stall_points(op))
    result = asyncio.run(asyncio.wait_for(run_operation(kf, client, op), 10))
    report = client.stall_report
    assert (report["held"], report["scan_waited"]) == (held, held)
    if held:
        read, _ = stall_points(op)
        assert read(client.blocked_call) and client.blocked_call.index == min(
            c.index for c in client.calls if read(c))
        assert report["finds_while_held"] >= 64  # the other reads went on meanwhile
    else:
        assert report["finds_while_held"] == 0
    assert result == expected and state(client) == state(unstalled)
    assert Counter(client.names()) == Counter(unstalled.names())


def test_the_refresh_has_no_read_to_stall():
    with pytest.raises(ValueError, match="no read started during its scan"):
        stall_points("refresh_archive")


@pytest.mark.parametrize("insert", ["insert_one", "insert_many"])
def test_stored_documents_are_bytes_apart_from_the_caller(insert):
    client = RawFakeClient("pymongo")
    doc = {"k": 1, "tags": ["a"]}

    async def main():
        coll = client[DB][C]
        await (coll.insert_one(doc) if insert == "insert_one" else coll.insert_many([doc]))
        doc["tags"].append("changed")  # the caller's document, after the write
        first = await coll.find({}).to_list()
        first[0]["k"] = 2  # a document handed out
        return first, await coll.find({}).to_list()
    first, second = asyncio.run(main())
    assert "_id" in doc  # added to the caller's document, as the driver does
    store = client._coll(DB, C)
    assert list(store.raw.values()) == [bson.encode({"_id": doc["_id"], "k": 1, "tags": ["a"]})]
    assert second == [{"_id": doc["_id"], "k": 1, "tags": ["a"]}] and first[0] is not second[0]


@pytest.mark.parametrize("filt, sort", [
    ({"k": 3}, None), ({"k": 3}, [("_id", -1)]), ({"k": 3}, [("_id", 1)]),
    ({"a": 3, "b": 3}, [("_id", -1)]), ({"b": 3, "a": 3}, [("_id", -1)]),
    ({"k": "3"}, None), ({"k": 99}, None), ({}, [("_id", -1)]), ({"k": 3}, [("name", 1)]),
])
def test_prepared_lookups_answer_as_the_stock_fake(filt, sort):
    docs = [{"_id": bson.ObjectId(), "k": i % 5, "a": i % 4, "b": i % 4, "name": f"n{-i}"} for i in range(40)]
    docs.append({"_id": bson.ObjectId(), "k": [3], "a": 3, "b": 3.0})  # matched by the stock rules only
    stock, raw = FakeClient("pymongo"), RawFakeClient("pymongo")
    stock.seed(DB, C, docs)
    raw.seed(DB, C, docs)
    raw.prepare_lookups(DB, C, ("k",), ("a", "b"))
    plain_docs = docs[:-1]  # with the odd document removed, the tables can be used
    stock2, raw2 = FakeClient("pymongo"), RawFakeClient("pymongo")
    stock2.seed(DB, C, plain_docs)
    raw2.seed(DB, C, plain_docs)
    raw2.prepare_lookups(DB, C, ("k",), ("a", "b"))
    assert raw2._coll(DB, C).tables  # in use

    async def found(client):
        cursor = client[DB][C].find(filt)
        return await (cursor.sort(sort) if sort else cursor).to_list()
    assert asyncio.run(found(raw)) == asyncio.run(found(stock))
    assert asyncio.run(found(raw2)) == asyncio.run(found(stock2))


@pytest.mark.parametrize("write", [
    "duplicate _id", "duplicate in a unique index", "delete all", "delete by ids", "delete no ids",
    "delete one id", "delete by field", "delete by field $in"])
def test_writes_answer_as_the_recording_fake(write):
    docs = [{"_id": bson.ObjectId(), "k": i % 3} for i in range(12)]
    picked = [docs[1]["_id"], docs[4]["_id"], bson.ObjectId()]  # the last one is not stored

    async def apply(client):
        coll = client[DB][C]
        if write.startswith("duplicate"):
            batch = [{"k": 5}, {"_id": docs[0]["_id"], "k": 6} if write == "duplicate _id" else {"k": 1}, {"k": 7}]
            if write == "duplicate in a unique index":
                await coll.drop()
                await coll.insert_one({"k": 1})
                await coll.create_indexes([IndexModel([("k", 1)], unique=True)])
            try:
                await coll.insert_many(batch)
            except Exception as e:
                return type(e).__name__, e.details["nInserted"], e.details["writeErrors"][0]["keyValue"]
        filt = {"delete all": {}, "delete by ids": {"_id": {"$in": picked}}, "delete no ids": {"_id": {"$in": []}},
                "delete one id": {"_id": picked[0]}, "delete by field": {"k": 1},
                "delete by field $in": {"k": {"$in": [0, 2]}}}[write]
        return (await coll.delete_many(filt)).deleted_count
    outcomes = []
    for cls in (FakeClient, RawFakeClient):
        client = cls("pymongo")
        client.seed(DB, C, docs)
        outcomes.append((asyncio.run(apply(client)),
                         [{k: v for k, v in d.items() if k != "_id"} for d in client.docs(DB, C)]))
    assert outcomes[0] == outcomes[1]
    if write.startswith("duplicate"):
        assert outcomes[0][0][:2] == ("BulkWriteError", 1)


@pytest.mark.parametrize("change, same", [
    ("nothing", True), ("fresh ids", True), ("a seeded id", False), ("a field", False),
    ("a document gone", False), ("the result's order", False),
])
def test_the_outcome_digest_tells_runs_apart(change, same):
    def client_and_result(variant):
        client = RawFakeClient("pymongo")
        seeded = bench_memory.document(bench_memory._oid(0, 2 if variant == "a seeded id" else 1), 1, 1, 1)
        inserted = [{"k": 2, "v": 1}, {"k": 3, "v": 1}]
        for i, d in enumerate(inserted):  # ids as the driver makes them: fixed here, unless fresh
            d["_id"] = bson.ObjectId() if variant == "fresh ids" else bson.ObjectId(b"fresh-id-%03d" % i)
        if variant == "a field":
            inserted[1]["v"] = 2
        if variant == "a document gone":
            inserted.pop()
        client.seed(DB, C, [seeded] + inserted)
        result = [seeded, *client.docs(DB, C)[1:]]
        if variant == "the result's order":
            result.reverse()
        return client, result
    assert (bench_memory.outcome(*client_and_result("nothing"))
            == bench_memory.outcome(*client_and_result(change))) is same


def test_a_write_drops_the_lookup_tables():
    client = RawFakeClient("pymongo")
    client.seed(DB, C, [{"k": 1}])
    client.prepare_lookups(DB, C, ("k",))

    async def main():
        await client[DB][C].insert_many([{"k": 1}])
        return await client[DB][C].find({"k": 1}).to_list()
    assert len(asyncio.run(main())) == 2
    assert client._coll(DB, C).tables == {}


@pytest.mark.parametrize("op", OPS)
def test_the_workload_documents(op):
    manage, temp, main = bench_memory.workload(op, 200)
    temp, main = list(temp), list(main)
    assert len(temp) == 200 and len(main) == 40
    for doc in temp + main:
        size = len(bson.encode(doc))
        assert (len(doc), size) == (10, bench_memory.DOC_BYTES) or (
            op == "refresh_archive" and "__index__" not in doc and len(doc) == 9)


@pytest.mark.parametrize("field, value", [("outcome", {"items": [1, "x"]}),
                                          ("counts", {"d.c.find": 2})])
def test_the_bench_stops_when_the_two_sides_differ(field, value):
    ours = {"op": "find", "n": 1, "outcome": {"items": [1, "a"]}, "counts": {"d.c.find": 1}}
    bench_memory.same_work(ours, dict(ours))  # the same: accepted
    with pytest.raises(SystemExit, match="differ"):
        bench_memory.same_work(ours, {**ours, field: value})


def test_the_normal_build_is_refused_as_the_trace_build():
    import kestrel.users as ku
    site = Path(kf.__file__).resolve().parent.parent
    # (in a sanitised build the sanitiser's operator new is found instead: untraced)
    with pytest.raises(SystemExit, match=r"no operator new of its own|grew traced memory by \d+ bytes only"):
        bench_memory.check_trace_build(site, (kf, ku))
    with pytest.raises(SystemExit, match="not from"):
        bench_memory.check_trace_build(bench_memory.SITE, (kf,))
