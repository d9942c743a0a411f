"""Temp loading, main deletion by ids, and the users module, against the
recording fake (exact calls) and against the real server (both clients)."""

import asyncio
import datetime

import bson
import pytest
from bson import Decimal128, ObjectId
from bson.errors import InvalidDocument
from pymongo import monitoring
from pymongo.errors import BulkWriteError, DocumentTooLarge, OperationFailure

import kestrel.functions as kf
import kestrel.users as ku
from fake_driver import Partial, deleted_ids, statement_ids
from test_frame import FakeNoRecord  # an in-memory client that answers at once

FRAME_HEAD = ["session.start", "txn.start", "client.list_database_names"]
FRAME_TAIL = ["txn.commit", "session.end"]


def test_delete_doc_main_with_empty_list_still_sends_the_filter(fake, run):
    fake.seed("d", "c", [{"_id": 1}])
    run(kf.Delete_doc_main, fake, "d", "c", [])
    assert fake.names() == [*FRAME_HEAD, "db:d.list_collection_names", "d.c.delete_many", *FRAME_TAIL]
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
        if real_client.server.is_secantus:  # refuses the listing; mongod answers with a filtered one
            with pytest.raises(OperationFailure):
                await writer.list_database_names()
        else:
            assert "admin" not in await writer.list_database_names()
        await kf.insert_temp(writer, db, c, [{"w": 1}])
        assert await root[db]["_temp_" + c].count_documents({"w": 1}) == 1
        with pytest.raises(RuntimeError, match=f"^Can not delete from '{c}'!$") as e:
            await kf.Delete_doc_main(writer, db, c, [1])
        assert isinstance(e.value.__cause__, OperationFailure)
    real_client.run(main)


# ---- deletion by ids ---------------------------------------------------------------------

MiB = 1024 * 1024
LIMIT = 16 * MiB - 16 * 1024  # the largest filter a deletion statement sends


def filter_size(ids) -> int:
    return len(bson.encode({"_id": {"$in": ids}}))


def as_given(got, ids) -> bool:
    """The same ids in the same order and of the same types (1, 1.0, True
    and Int64(1) differ; so do documents with their fields in another order)."""
    return list(map(repr, got)) == list(map(repr, ids))


SMALL = [ObjectId(), 7, 2 ** 40, -1.5, None, True, "ünï ✓", datetime.datetime(2020, 1, 2),
         Decimal128("1.5"), {"a": [1, {"b": 2}]}, bson.Binary(b"\x00\x01"), bson.Int64(5)]


def odd_ids():
    """Ids of every kind, with long texts among them: about 19 MB."""
    ids = []
    for i in range(19):
        ids.append("x" * 1_000_000 + str(i))
        ids.extend(SMALL[i % len(SMALL):] if i % 3 else SMALL)
    return [v for k, v in enumerate(ids) if v not in ids[:k]]  # each once


def big(i, size=5 * MiB):
    return "x" * size + str(i)


def at_the_limit(extra):
    """Two string ids whose filter takes LIMIT + extra bytes."""
    first = big("a", 8 * MiB)
    return [first, "b" * (LIMIT - filter_size([first, ""]) + extra)]


@pytest.mark.parametrize("make_ids, sizes", [
    (lambda: [1, 3, 99], [3]),
    (lambda: list(range(8)), [8]),
    (lambda: list(range(17)), [8, 8, 1]),
    (lambda: [f"s{i}" for i in range(9)], [8, 1]),
    (lambda: [{"k": i, "v": [i, {"w": i}]} for i in range(10)], [8, 2]),
    (lambda: list(SMALL), [8, 4]),
    (odd_ids, [8, 8, 8, 7]),  # 18 MiB of ids, a statement far under the limit
    (lambda: [big(i) for i in range(7)], [3, 3, 1]),  # a fourth would pass the limit
    (lambda: [big(0), 1, 2, big(1), big(2), big(3), 3], [5, 2]),
    (lambda: [{"text": big(i)} for i in range(4)], [3, 1]),  # sized by encoding them
    (lambda: at_the_limit(0), [2]),
    (lambda: at_the_limit(1), [1, 1]),
], ids=["three", "eight", "seventeen", "strings", "documents", "mixed", "mixed-19-MB", "big",
        "big-among-small", "big-documents", "at-the-limit", "past-the-limit"])
def test_delete_doc_main_statements(fake, run, make_ids, sizes):
    """One ordered bulk write (the driver's default) of deleteMany statements
    of up to 8 consecutive ids, in the order given; a statement ends early
    where the next id would take its filter past the limit. The last id is
    not stored: ids that match nothing are sent all the same."""
    ids = make_ids()
    fake.seed("d", "c", [{"_id": i} for i in ids[:-1]] + [{"_id": "kept"}])
    fake.seed("d", "_temp_c", [{"_id": ids[0]}])
    fake.clear()
    run(kf.Delete_doc_main, fake, "d", "c", ids)
    assert fake.names() == [*FRAME_HEAD, "db:d.list_collection_names", "d.c.bulk_write", *FRAME_TAIL]
    (call,) = fake.calls_to("d.c.bulk_write")
    assert [len(part) for part in statement_ids(call)] == sizes and call.kwargs == {}
    assert as_given(deleted_ids(call), ids)
    assert all(filter_size(part) <= LIMIT for part in statement_ids(call))
    assert fake.docs("d", "c") == [{"_id": "kept"}]
    assert fake.docs("d", "_temp_c") == [{"_id": ids[0]}]  # the temp companion is not touched


@pytest.mark.parametrize("make_ids, fault, cause, sizes, deleted", [
    # Refused: nothing deleted.
    (lambda: list(range(17)), OperationFailure("boom"), OperationFailure, [8, 8, 1], 0),
    # Stopped part-way: the statements run before have deleted a prefix of the list.
    (lambda: list(range(17)), Partial(2, OperationFailure("boom")), OperationFailure, [8, 8, 1], 16),
    # Ids the driver cannot encode, or one id past the limit on its own,
    # are sent for the driver to report.
    (lambda: [big(i, 1_000_000) for i in range(20)] + [object()], None, InvalidDocument, [8, 8, 5], 0),
    (lambda: [big(0, 16 * MiB), 1, 2], None, DocumentTooLarge, [1, 2], 0),
    # The empty list's delete_many.
    (lambda: [], OperationFailure("boom"), OperationFailure, [0], 0),
], ids=["refused", "part-way", "not-encodable", "one-id-too-large", "empty"])
def test_delete_doc_main_failure(fake, run, make_ids, fault, cause, sizes, deleted):
    ids = make_ids()
    stored = [i for i in ids if type(i) is not object]
    fake.seed("d", "c", [{"_id": i} for i in stored])
    method = "d.c.bulk_write" if ids else "d.c.delete_many"
    if fault is not None:
        fake.fail(method, fault)
    with pytest.raises(RuntimeError, match=r"^Can not delete from 'c'!$") as e:
        run(kf.Delete_doc_main, fake, "d", "c", ids)
    assert type(e.value.__cause__) is cause
    if fault is not None:
        assert e.value.__cause__ is (fault.exc if isinstance(fault, Partial) else fault)
    assert fake.names()[-3:] == [method, "txn.abort", "session.end"]
    (call,) = fake.calls_to(method)
    assert [len(part) for part in statement_ids(call)] == sizes
    assert as_given(deleted_ids(call), ids)
    assert as_given([d["_id"] for d in fake.docs("d", "c")], stored[deleted:])


class Answering(FakeNoRecord):
    """Answers every call at once and keeps the statements of bulk writes."""

    def __init__(self):
        self.statements = []

    async def bulk_write(self, requests):
        self.statements.extend(requests)


def test_delete_doc_main_many_small_ids(run):
    """About 900,000 ObjectIds, past 16 MiB as one `$in`: one bulk write of
    statements of 8."""
    ids = [ObjectId(i.to_bytes(12, "big")) for i in range(900_000)]
    client = Answering()
    run(kf.Delete_doc_main, client, "d", "c", ids)
    assert len(client.statements) == 112_500
    parts = [s._filter["_id"]["$in"] for s in client.statements]
    assert all(len(part) == 8 for part in parts) and [i for part in parts for i in part] == ids


@pytest.mark.parametrize("op, statements", [
    # The merge also deletes the `_id`s of the temp documents it moves (a copy
    # an interrupted merge left), after those it replaces.
    (kf.temp_to_main, [8, 8, 8, 8, 4]),
    (kf.refresh_archive, [8, 8, 2]),
])
def test_merges_replacing_past_the_document_limit(fake, run, op, statements):
    """More than 16 MB of main ids replaced (long string ids): one bulk write
    deletes them all, the merge completes and the indexes are back."""
    n = 18
    replaced = [big(i, 1_000_000) for i in range(n)]
    fake.seed("d", "c", [{"_id": replaced[i], "k": i, "__index__": 1} for i in range(n)])
    fake.seed("d", "_temp_c", [{"k": i, "__index__": 2} for i in range(n)])
    fake.seed("d", "archive_c", [])
    fake.seed("d", "_manage_c", [{"type": "unique", "name": "r", "keys": ["k"]},
                                 {"type": "archive_unique", "name": "r", "keys": ["k"]},
                                 {"type": "index", "name": "k_index", "code": "[('k', 1)], name='k_index'"}])
    moved = [d["_id"] for d in fake.docs("d", "_temp_c")]
    run(op, fake, "d", "c")
    (deletion,) = fake.calls_to("d.c.bulk_write")
    assert [len(part) for part in statement_ids(deletion)] == statements
    assert sorted(deleted_ids(deletion)[:n]) == sorted(replaced)
    assert sorted(deleted_ids(deletion)[n:]) == (sorted(moved) if op is kf.temp_to_main else [])
    assert sorted(d["k"] for d in fake.docs("d", "c")) == list(range(n))
    assert all(not isinstance(d["_id"], str) for d in fake.docs("d", "c"))
    assert fake.index_names("d", "c") == ["_id_", "k_index"] and fake.docs("d", "_temp_c") == []


class DeleteCommands(monitoring.CommandListener):
    """The delete commands a client sends on one collection: for each, the
    number of ids in each of its statements."""

    def __init__(self, collection):
        self.collection, self.seen = collection, []

    def started(self, event):
        if event.command_name == "delete" and event.command["delete"] == self.collection:
            self.seen.append([len(s["q"]["_id"]["$in"]) for s in event.command["deletes"]])

    def succeeded(self, event):
        pass

    def failed(self, event):
        pass


ONE = ObjectId("65a000000000000000000001")


def bson_sorted(ids):
    """Ids in an order of their own, told apart by type (1, 1.0 and Int64(1) differ)."""
    return sorted(bson.encode({"": i}) for i in ids)


@pytest.mark.parametrize("case", [
    # stored, given, left, ids per statement of each delete command
    lambda: (list(range(20)), [19, 3, 0, 7, 8, 12, 4, 5, 6, 1, 2], [9, 10, 11, 13, 14, 15, 16, 17, 18],
             [[8, 3]]),
    lambda: (list(range(5)), [5, 6, "0", 0.5, -1, bson.Int64(7)], list(range(5)), [[6]]),
    # Numbers match across their types; documents only with their fields in
    # the same order; None matches the null `_id`.
    lambda: ([1, bson.Int64(2), 3.5, "s", ONE, {"a": 1, "b": [1]}, datetime.datetime(2020, 1, 2),
              Decimal128("1.5"), bson.Binary(b"\x01"), True, None],
             [1.0, 2, "s", {"b": [1], "a": 1}, {"a": 1, "b": [1]}, None, ONE, "3.5", False],
             [3.5, datetime.datetime(2020, 1, 2), Decimal128("1.5"), bson.Binary(b"\x01"), True], [[8, 1]]),
    # 21 MiB of ids, 4 of them stored: one command, its statements under the limit.
    lambda: ([big(i, 3 * MiB) for i in range(4)] + [1, 2], [big(i, 3 * MiB) for i in range(7)], [1, 2],
             [[5, 2]]),
    lambda: ([1, 2], [], [1, 2], [[0]]),
], ids=["exist", "missing", "mixed-types", "past-16-MiB", "empty"])
def test_delete_doc_main_on_the_server(real_client, unique_name, case):
    db, c = unique_name("db"), unique_name("c")
    stored, given, left, commands = case()

    async def main(client):
        deletes = DeleteCommands(c)
        watched = real_client.make(event_listeners=[deletes])
        await client[db].create_collection(c)
        await client[db][c].insert_many([{"_id": i} for i in stored])
        await kf.Delete_doc_main(watched, db, c, given)
        assert bson_sorted([d["_id"] async for d in client[db][c].find()]) == bson_sorted(left)
        assert deletes.seen == commands
    real_client.run(main, timeout=60)
