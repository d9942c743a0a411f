"""The fake driver checked against the real clients: each scenario runs on the
fake and on a real server, in the Motor and the PyMongo flavour."""

import asyncio
import contextlib
import inspect
import os
import sys

import pytest
from bson import ObjectId
from pymongo import DeleteMany, DeleteOne, IndexModel
from pymongo.errors import BulkWriteError, CollectionInvalid, InvalidOperation, OperationFailure

from fake_driver import FakeClient

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
from bench_link import VirtualClockLoop  # noqa: E402


def test_documents(any_client, unique_name):
    db_name, c_name = unique_name("db"), unique_name("c")

    async def main(client):
        coll = client[db_name][c_name]
        docs = [{"k": 1, "n": 0}, {"k": 2, "n": 1}, {"_id": 7, "k": 1, "n": 2}]
        await coll.insert_many(docs)  # adds missing _ids to the caller's dicts
        assert isinstance(docs[0]["_id"], ObjectId) and docs[2]["_id"] == 7
        assert db_name in await client.list_database_names()
        assert await client[db_name].list_collection_names() == [c_name]
        cursor = coll.find({"k": 1})  # plain calls, nothing awaited yet
        assert cursor.sort([("_id", -1)]) is cursor
        found = [d async for d in cursor]
        assert found == [docs[0], {"_id": 7, "k": 1, "n": 2}]  # numbers sort before ObjectIds
        assert [list(d) for d in found] == [["_id", "k", "n"]] * 2
        assert (await coll.delete_many({"_id": {"$in": []}})).deleted_count == 0
        gone = await coll.delete_many({"_id": {"$in": [docs[1]["_id"], 7]}})
        assert gone.deleted_count == 2
        assert await coll.find().to_list(None) == [docs[0]]
        with pytest.raises(BulkWriteError) as err:  # ordered: stops at the duplicate
            await coll.insert_many([{"_id": 1}, {"_id": docs[0]["_id"]}, {"_id": 2}])
        assert err.value.details["nInserted"] == 1
        assert await coll.count_documents({}) == 2

        pending = coll.insert_many([])  # the error comes with the await
        with pytest.raises(TypeError, match="non-empty list"):
            await pending
    any_client.run(main)


async def _indexes(coll, flavor):  # a plain call in Motor, awaited in PyMongo
    return await coll.list_indexes() if flavor == "pymongo" else coll.list_indexes()


def test_bulk_deletions(any_client, unique_name):
    """An ordered bulk write of deletions, as the deletions by ids send it;
    an empty one refused at the await, before anything is sent."""
    db_name, c_name = unique_name("db"), unique_name("c")

    async def main(client):
        coll = client[db_name][c_name]
        await coll.insert_many([{"_id": i, "k": i % 2} for i in range(6)])
        result = await coll.bulk_write([DeleteMany({"_id": {"$in": [0, 1, 9]}}), DeleteOne({"k": 1, "_id": 3}),
                                        DeleteMany({"_id": {"$in": []}}), DeleteOne({"_id": 9})])
        assert (result.deleted_count, result.inserted_count) == (3, 0)
        assert await coll.find().to_list(None) == [{"_id": 2, "k": 0}, {"_id": 4, "k": 0}, {"_id": 5, "k": 1}]
        pending = coll.bulk_write([])
        with pytest.raises(InvalidOperation, match="^No operations to execute$"):
            await pending
        assert await coll.count_documents({}) == 3
    any_client.run(main)
    if any_client.fake:
        # the empty bulk write is not recorded: nothing reaches the server
        assert [c.method for c in any_client.fake.calls] == ["insert_many", "bulk_write", "find", "count_documents"]


def test_collections_and_indexes(any_client, unique_name):
    db_name, c_name = unique_name("db"), unique_name("c")

    async def main(client):
        db = client[db_name]
        await db.create_collection(c_name)
        with pytest.raises(CollectionInvalid):
            await db.create_collection(c_name)
        coll = db[c_name]
        names = await coll.create_indexes([IndexModel([("a", 1)], name="ia", unique=True),
                                           IndexModel([("b", -1), ("c", 1)])])
        assert names == ["ia", "b_-1_c_1"]
        by_name = {i["name"]: i async for i in await _indexes(coll, any_client.flavor)}
        assert set(by_name) == {"_id_", "ia", "b_-1_c_1"}
        assert dict(by_name["ia"]["key"]) == {"a": 1} and by_name["ia"]["unique"] is True
        for name, code in [("missing", 27), ("_id_", 72)]:
            with pytest.raises(OperationFailure) as err:
                await coll.drop_index(name)
            assert err.value.code == code
        await coll.drop_indexes()
        assert [i["name"] async for i in await _indexes(coll, any_client.flavor)] == ["_id_"]
        await coll.drop()
        assert c_name not in await db.list_collection_names()
    any_client.run(main)


def test_roles_and_users(any_client, unique_name):
    db_name, role, user = unique_name("db"), unique_name("r"), unique_name("u")
    privileges = [{"resource": {"db": db_name, "collection": "c"}, "actions": ["find"]}]

    async def main(client):
        db = client[db_name]
        await db.command("createRole", role, privileges=privileges, roles=[])
        reply = await db.command("rolesInfo", role, showPrivileges=True)
        assert [(r["role"], r["db"], r["privileges"]) for r in reply["roles"]] == \
            [(role, db_name, privileges)]
        await db.command({"createUser": user, "pwd": "pw", "roles": [role]})
        users = (await db.command("usersInfo", 1))["users"]
        assert [(u["user"], u["roles"]) for u in users] == [(user, [{"role": role, "db": db_name}])]
        await db.command("dropUser", user)
        await db.command("dropRole", role)
        for cmd, name, code in [("dropRole", role, 31), ("dropUser", user, 11)]:
            with pytest.raises(OperationFailure) as err:
                await db.command(cmd, name)
            assert err.value.code == code
    any_client.run(main)


@pytest.mark.parametrize("fails", [False, True], ids=["commit", "abort"])
def test_session_protocol(any_client, fails):
    motor = any_client.flavor == "motor"

    async def main(client):
        started = client.start_session()  # Motor: an awaitable giving the session
        assert hasattr(started, "__aenter__") is not motor
        async with (await started if motor else started) as s:
            txn = s.start_transaction()  # PyMongo: an awaitable giving the context
            assert hasattr(txn, "__aenter__") is motor and inspect.isawaitable(txn) is not motor
            with pytest.raises(KeyError) if fails else contextlib.nullcontext():
                async with (txn if motor else await txn):
                    assert s.in_transaction
                    if fails:
                        raise KeyError("body")
            assert not s.in_transaction
    any_client.run(main)
    if any_client.fake:
        end = "txn.abort" if fails else "txn.commit"
        assert any_client.fake.names() == ["session.start", "txn.start", end, "session.end"]


def test_faults_and_blocking(fake, run):
    coll = fake["d"]["c"]
    fake.fail("d.c.find", OperationFailure("boom", 8000))
    fake.deny_listing()

    async def main():
        cursor = coll.find({"a": 1}).sort([("_id", -1)])  # the failure comes with the fetch
        with pytest.raises(OperationFailure, match="boom"):
            await cursor.to_list(None)
        with pytest.raises(OperationFailure, match="not authorized"):
            await fake.list_database_names()
        fake.block("d.c.insert_one")
        task = asyncio.ensure_future(coll.insert_one({"a": 1}))
        await fake.blocked.wait()
        assert fake.blocked_call.name == "d.c.insert_one" and fake.docs("d", "c") == []
        fake.unblock()
        await task
        assert [d["a"] for d in fake.docs("d", "c")] == [1]
    run(main)
    assert fake.names() == ["d.c.find", "d.c.sort", "client.list_database_names", "d.c.insert_one"]


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
def test_simulated_link_costs_a_round_trip_per_call_and_batch(flavor):
    """With a latency, each server call and each cursor batch (101 documents,
    then the rest up to 16 MiB) answers one round trip later; the session and
    the transaction cost none. Measured on the bench's virtual clock."""
    fake = FakeClient(flavor, latency=1.0)
    fake.seed("d", "c", [{"k": i} for i in range(250)])

    async def main():
        loop = asyncio.get_running_loop()
        spent = []

        async def step(coro):
            start = loop.time()
            result = await coro
            spent.append(loop.time() - start)
            return result
        session = fake.start_session()
        session = await session if inspect.isawaitable(session) else session
        async with session:
            await step(fake.list_database_names())
            found = await step(fake["d"]["c"].find({}).to_list(None))
            few = await step(fake["d"]["c"].find({"k": 3}).to_list(None))
            await step(fake["d"]["c"].insert_many([{"k": -1}]))
        return spent, len(found), len(few)

    with asyncio.Runner(loop_factory=VirtualClockLoop) as runner:
        spent, found, few = runner.run(main())
    assert (spent, found, few) == ([1.0, 2.0, 1.0, 1.0], 250, 1)
