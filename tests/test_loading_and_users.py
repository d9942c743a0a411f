"""Temp loading, main deletion by ids, and the users module, against the
recording fake (exact calls) and against the real server (both clients)."""

import asyncio
import datetime

import bson
import pytest
from bson import Decimal128, ObjectId
from pymongo.errors import BulkWriteError, OperationFailure

import fake_driver
import kestrel.functions as kf
import kestrel.users as ku
from fake_driver import FakeClient
from test_frame import FakeNoRecord  # an in-memory client that answers at once

FRAME_HEAD = ["session.start", "txn.start", "client.list_database_names"]
FRAME_TAIL = ["txn.commit", "session.end"]


def test_delete_doc_main_sends_one_in_filter(fake, run):
    fake.seed("d", "c", [{"_id": i} for i in range(5)])
    fake.seed("d", "_temp_c", [{"_id": 1}])
    run(kf.Delete_doc_main, fake, "d", "c", [1, 3, 99])
    assert fake.names() == [*FRAME_HEAD, "db:d.list_collection_names", "d.c.delete_many", *FRAME_TAIL]
    assert fake.calls_to("d.c.delete_many")[0].args == ({"_id": {"$in": [1, 3, 99]}},)
    assert [d["_id"] for d in fake.docs("d", "c")] == [0, 2, 4]
    assert fake.docs("d", "_temp_c") == [{"_id": 1}]  # the temp companion is not touched


def test_delete_doc_main_with_empty_list_still_sends_the_filter(fake, run):
    fake.seed("d", "c", [{"_id": 1}])
    run(kf.Delete_doc_main, fake, "d", "c", [])
    assert fake.calls_to("d.c.delete_many")[0].args == ({"_id": {"$in": []}},)
    assert fake.docs("d", "c") == [{"_id": 1}]


@pytest.mark.parametrize("docs,cause,left", [
    ([], TypeError, 1),
    ([{"_id": 1}, {"_id": 2}, {"_id": 7}, {"_id": 3}], BulkWriteError, 3),
])
def test_insert_temp_failures_leave_what_was_inserted(fake, run, docs, cause, left):
    fake.seed("d", "c", [{"a": 1}])
    fake.seed("d", "_temp_c", [{"_id": 7}])
    with pytest.raises(RuntimeError, match=r"^Can not insert '_temp_c'!$") as e:
        run(kf.insert_temp, fake, "d", "c", docs)
    assert isinstance(e.value.__cause__, cause)
    assert len(fake.docs("d", "_temp_c")) == left


def test_insert_temp_refuses_a_dropped_main_collection(fake, run):
    fake.seed("d", "_temp_c", [{"a": 1}])
    with pytest.raises(RuntimeError) as e:
        run(kf.insert_temp, fake, "d", "c", [{"a": 2}])
    assert str(e.value.__cause__) == "can not access 'c'!"
    assert len(fake.docs("d", "_temp_c")) == 1


@pytest.mark.parametrize("op,args,command", [
    (ku.create_user, ("u", "pw", ["c_R"]), {"createUser": "u", "pwd": "pw", "roles": ["c_R"]}),
    (ku.drop_user, ("u",), {"dropUser": "u"}),
])
def test_user_commands(fake, run, op, args, command):
    fake.seed("d", "c", [{"a": 1}])
    if op is ku.drop_user:
        fake._users.setdefault("d", {})["u"] = {"user": "u", "db": "d", "roles": []}
    run(op, fake, "d", *args)
    assert fake.names() == [*FRAME_HEAD, "db:d.command", *FRAME_TAIL]
    assert list(fake.calls_to("db:d.command")[0].command.items()) == list(command.items())


@pytest.mark.parametrize("op,command", [
    (ku.get_users, {"usersInfo": 1}),
    (ku.get_roles, {"rolesInfo": 1, "showPrivileges": True}),
])
def test_listing_commands_use_no_session(fake, run, op, command):
    fake.seed("d", "c", [{"a": 1}])
    reply = run(op, fake, "d")
    assert fake.names() == ["client.list_database_names", "db:d.command"]
    assert list(fake.calls_to("db:d.command")[0].command.items()) == list(command.items())
    assert isinstance(reply, dict) and reply["ok"]


@pytest.mark.parametrize("op,args,message", [
    (ku.create_user, ("u", "pw", []), "Can not create user!"),
    (ku.drop_user, ("u",), "Can not drop user!"),
    (ku.get_users, (), "Can not access users!"),
    (ku.get_roles, (), "Can not access roles!"),
])
def test_users_on_a_database_that_is_not_listed(fake, run, op, args, message):
    with pytest.raises(RuntimeError) as e:
        run(op, fake, "nodb", *args)
    assert str(e.value) == message
    assert str(e.value.__cause__) == "can not access 'nodb'!"
    assert fake.calls_to("db:nodb.command") == []


@pytest.mark.parametrize("op,args", [(ku.get_users, ()), (ku.create_user, ("u", "pw", []))])
def test_users_go_on_when_listing_is_refused(fake, run, op, args):
    fake.deny_listing()
    run(op, fake, "fresh", *args)
    assert len(fake.calls_to("db:fresh.command")) == 1


def test_cancelled_listing_reaches_the_caller(fake, run):
    fake.fail("client.list_database_names", asyncio.CancelledError())
    with pytest.raises(asyncio.CancelledError):
        run(ku.get_roles, fake, "d")
    assert fake.calls_to("db:d.command") == []


# ---- against the real server ------------------------------------------------------

def test_load_delete_and_users_on_the_server(real_client, unique_name):
    db, c = unique_name("db"), unique_name("c")

    async def main(client):
        await client[db].create_collection(c)
        await kf.insert_temp(client, db, c, [{"_id": 1, "a": 1}, {"_id": 2, "a": 2}])
        with pytest.raises(RuntimeError) as e:
            await kf.insert_temp(client, db, c, [{"_id": 3}, {"_id": 4}, {"_id": 1}])
        assert isinstance(e.value.__cause__, BulkWriteError)
        assert sorted(await client[db]["_temp_" + c].distinct("_id")) == [1, 2, 3, 4]
        await client[db][c].insert_many([{"_id": i} for i in range(5)])
        await kf.Delete_doc_main(client, db, c, [0, 2, 42])
        assert sorted(await client[db][c].distinct("_id")) == [1, 3, 4]

        await ku.create_user(client, db, "alice", "pw", [])
        users = await ku.get_users(client, db)
        assert [u["user"] for u in users["users"]] == ["alice"]
        with pytest.raises(RuntimeError, match="^Can not create user!$") as e:
            await ku.create_user(client, db, "alice", "pw", [])
        assert isinstance(e.value.__cause__, OperationFailure)
        await ku.drop_user(client, db, "alice")
        assert (await ku.get_users(client, db))["users"] == []
        with pytest.raises(RuntimeError, match="^Can not drop user!$"):
            await ku.drop_user(client, db, "alice")
        with pytest.raises(RuntimeError, match="^Can not access roles!$") as e:
            await ku.get_roles(client, unique_name("missing"))
        assert str(e.value.__cause__).startswith("can not access")
    real_client.run(main)


def test_custom_role_user_takes_the_unchecked_path(real_client, unique_name):
    """A user holding only a collection role may not list databases: the
    operation goes on without the check and works on the names it was given."""
    db, c = unique_name("db"), unique_name("c")

    async def main(root):
        await root[db].create_collection(c)
        await root[db].command("createRole", c + "_W", privileges=[
            {"resource": {"db": db, "collection": "_temp_" + c}, "actions": ["insert"]}], roles=[])
        writer = await real_client.as_user(root, db, "writer", [c + "_W"])
        with pytest.raises(OperationFailure):
            await writer.list_database_names()
        await kf.insert_temp(writer, db, c, [{"w": 1}])
        assert await root[db]["_temp_" + c].count_documents({"w": 1}) == 1
        with pytest.raises(RuntimeError, match=f"^Can not delete from '{c}'!$") as e:
            await kf.Delete_doc_main(writer, db, c, [1])
        assert isinstance(e.value.__cause__, OperationFailure)
    real_client.run(main)


# ---- deletion past the server's document limit ---------------------------------------

LIMIT = 16 * 1024 * 1024 - 16 * 1024  # the largest filter Delete_doc_main sends


def filter_size(ids) -> int:
    return len(bson.encode({"_id": {"$in": ids}}))


@pytest.fixture
def sent(monkeypatch):
    """The id lists of the delete_many calls made on any collection, as given."""
    lists = []
    original = fake_driver.FakeCollection.delete_many

    def delete_many(self, filter, **kwargs):
        if "_id" in filter:
            lists.append(filter["_id"]["$in"])
        return original(self, filter, **kwargs)
    monkeypatch.setattr(fake_driver.FakeCollection, "delete_many", delete_many)
    return lists


def odd_ids():
    """Ids of every kind, with long texts among them: about 19 MB."""
    small = [ObjectId(), 7, 2 ** 40, -1.5, None, True, "ünï ✓", datetime.datetime(2020, 1, 2),
             Decimal128("1.5"), {"a": [1, {"b": 2}]}, bson.Binary(b"\x00\x01"), bson.Int64(5)]
    ids = []
    for i in range(19):
        ids.append("x" * 1_000_000 + str(i))
        ids.extend(small[i % len(small):] if i % 3 else small)
    return [v for k, v in enumerate(ids) if v not in ids[:k]]  # each once


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
def test_delete_doc_main_splits_past_the_document_limit(sent, run, flavor):
    ids = odd_ids()
    assert filter_size(ids) > LIMIT + 2 * 1024 * 1024
    fake = FakeClient(flavor)
    fake.seed("d", "c", [{"_id": i} for i in ids] + [{"_id": "kept"}])
    run(kf.Delete_doc_main, fake, "d", "c", ids)
    assert len(sent) == 2
    assert [i for part in sent for i in part] == ids  # every id once, in order
    assert all(filter_size(part) <= LIMIT for part in sent)
    assert filter_size(sent[0] + sent[1][:1]) > LIMIT  # as few calls as fit
    assert [d["_id"] for d in fake.docs("d", "c")] == ["kept"]


class Answering(FakeNoRecord):
    """Answers every call at once and keeps the id lists deleted."""

    def __init__(self):
        self.deleted = []

    async def delete_many(self, filter):
        self.deleted.append(filter["_id"]["$in"])


def test_delete_doc_main_many_small_ids(run):
    """About 900,000 ObjectIds: positions of six digits as keys."""
    ids = [ObjectId(i.to_bytes(12, "big")) for i in range(900_000)]
    client = Answering()
    run(kf.Delete_doc_main, client, "d", "c", ids)
    first, second = client.deleted
    assert first + second == ids
    assert filter_size(first) <= LIMIT < filter_size(first + second[:1])


@pytest.mark.parametrize("ids", [[], [1, 2, 3], ["y" * 1_000_000 + str(i) for i in range(16)]],
                         ids=["empty", "small", "16-MB"])
def test_delete_doc_main_within_the_limit_is_one_call_with_the_list_given(sent, fake, run, ids):
    fake.seed("d", "c", [{"a": 1}])
    run(kf.Delete_doc_main, fake, "d", "c", ids)
    assert len(sent) == 1 and sent[0] is ids


def test_delete_doc_main_ids_that_cannot_be_encoded_go_in_one_call(sent, fake, run):
    ids = ["x" * 1_000_000 + str(i) for i in range(20)] + [object()]
    fake.seed("d", "c", [{"a": 1}])
    with pytest.raises(RuntimeError, match=r"^Can not delete from 'c'!$") as e:
        run(kf.Delete_doc_main, fake, "d", "c", ids)
    assert type(e.value.__cause__) is bson.errors.InvalidDocument
    assert len(sent) == 1 and sent[0] is ids


@pytest.mark.parametrize("op", [kf.temp_to_main, kf.refresh_archive])
def test_merges_replacing_past_the_document_limit(sent, fake, run, op):
    """More than 16 MB of main ids replaced (long string ids): the merge
    completes and the indexes are back."""
    n = 18
    fake.seed("d", "c", [{"_id": "x" * 1_000_000 + str(i), "k": i, "__index__": 1} for i in range(n)])
    fake.seed("d", "_temp_c", [{"k": i, "__index__": 2} for i in range(n)])
    fake.seed("d", "archive_c", [])
    fake.seed("d", "_manage_c", [{"type": "unique", "name": "r", "keys": ["k"]},
                                 {"type": "archive_unique", "name": "r", "keys": ["k"]},
                                 {"type": "index", "name": "k_index", "code": "[('k', 1)], name='k_index'"}])
    run(op, fake, "d", "c")
    main_ids = [part for part in sent if part and isinstance(part[0], str)]
    assert len(main_ids) == 2 and sum(map(len, main_ids)) == n
    assert sorted(d["k"] for d in fake.docs("d", "c")) == list(range(n))
    assert all(not isinstance(d["_id"], str) for d in fake.docs("d", "c"))
    assert fake.index_names("d", "c") == ["_id_", "k_index"] and fake.docs("d", "_temp_c") == []
