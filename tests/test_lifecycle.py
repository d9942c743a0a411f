"""Collection lifecycle (create_collection, drop_collection, compact) and the
access check shared by every operation that works on an existing collection."""

import pytest
from pymongo.errors import CollectionInvalid, OperationFailure

from kestrel import functions as kf
from test_indexes import AGE, FAILED, OK, OPEN, failure, indexes_of, prepare, record
from test_rules import SAME, chain, spy  # noqa: F401  (spy is a fixture)

C = "people"
ROLES = [C + "_R", C + "_W", C + "_remove", C + "_admin"]


def privileges(db):
    def p(coll, *actions):
        return {"resource": {"db": db, "collection": coll}, "actions": list(actions)}
    t, m, a = "_temp_" + C, "_manage_" + C, ("createIndex", "dropIndex", "collMod")
    return [[p(C, "find"), p(t, "find"), p(m, "find")], [p(t, "insert")],
            [p(C, "remove"), p(t, "remove")], [p(C, *a), p(t, *a), p(m, "insert", "update", "remove")]]


def test_create_collection_calls(fake, run, spy):
    for name in ("insert_index", "insert_unique", "insert_archive_unique"):
        spy(name)
    index, unique, archive = {"age_index": AGE}, {"unique1": ["name", "family"]}, {"a1": ["x"]}
    run(kf.create_collection, fake, "d", C, index, unique, archive)
    assert fake.names()[:9] == ["session.start", "txn.start"] + ["db:d.create_collection"] * 3 + ["db:d.command"] * 4
    assert fake.names()[-2:] == OK
    assert [c.args for c in fake.calls[2:5]] == [(C,), ("_temp_" + C,), ("_manage_" + C,)]
    assert all(c.kwargs == {} for c in fake.calls[2:5])
    commands = [c.command for c in fake.calls[5:9]]
    expected = [{"createRole": r, "privileges": p, "roles": []} for r, p in zip(ROLES, privileges("d"))]
    assert repr(commands) == repr(expected)  # field order included
    target = {"client": fake, "db_name": "d", "collection_name": C}
    assert spy.seen == [("insert_index", (), {**target, "index": index}),
                        ("insert_unique", (), {**target, "unique": unique}),
                        ("insert_index", (), {**target, "index": {"_unique_unique1": "[('name', 1), ('family', 1), ]"}}),
                        ("insert_archive_unique", (), {**target, "unique": archive})]
    assert fake.collection_names("d") == [C, "_temp_" + C, "_manage_" + C]
    assert list(fake.roles("d")) == ROLES
    assert fake.index_names("d", C) == ["_id_", "age_index", "_unique_unique1"]
    assert [(r["type"], r["name"]) for r in fake.docs("d", "_manage_" + C)] == [
        ("index", "age_index"), ("index", "_unique_unique1"), ("unique", "unique1"), ("archive_unique", "a1")]


def test_create_collection_twice(fake, run):
    run(kf.create_collection, fake, "d", C, {}, {}, {})
    assert fake.collection_names("d") == [C, "_temp_" + C, "_manage_" + C] and list(fake.roles("d")) == ROLES
    assert fake.docs("d", "_manage_" + C) == [] and fake.index_names("d", C) == ["_id_"]
    state = (fake.collection_names("d"), fake.roles("d"), fake.docs("d", "_manage_" + C), fake.indexes("d", C))
    fake.clear()
    err, cause = failure(run, kf.create_collection, fake, "d", C, {}, {}, {})
    assert str(err) == f"Can not create '{C}'!" and type(cause) is CollectionInvalid
    assert fake.names() == ["session.start", "txn.start", "db:d.create_collection"] + FAILED
    assert state == (fake.collection_names("d"), fake.roles("d"), fake.docs("d", "_manage_" + C),
                     fake.indexes("d", C))


@pytest.mark.parametrize("index, unique, fault, causes, collections, roles, indexes", [
    ({}, {}, ("db:d.create_collection", 2), [("OperationFailure", "refused")], [C], 0, []),
    ({}, {}, ("db:d.command", 2), [("OperationFailure", "refused")], [C, "_temp_" + C, "_manage_" + C], 1, []),
    ({"_unique_u": "[('z', 1)]"}, {"u": ["a"]}, None,
     [("RuntimeError", "Can not create unique."), ("RuntimeError", SAME.format("u")),
      ("RuntimeError", "Can not create indexes."), ("RuntimeError", "'_unique_u' is in the index_list.")],
     [C, "_temp_" + C, "_manage_" + C], 4, ["_unique_u"]),
], ids=["temp-fails", "write-role-fails", "unique-index-clash"])
def test_create_collection_fails(fake, run, index, unique, fault, causes, collections, roles, indexes):
    if fault:
        fake.fail(fault[0], OperationFailure("refused", 2), nth=fault[1])
    err, _ = failure(run, kf.create_collection, fake, "d", C, index, unique, {"a1": ["x"]})
    assert chain(err) == [("RuntimeError", f"Can not create '{C}'!")] + causes
    assert fake.collection_names("d") == collections and list(fake.roles("d")) == ROLES[:roles]
    assert fake.index_names("d", C) == (["_id_"] + indexes if indexes else ["_id_"] * (C in collections))
    assert "archive_unique" not in [r["type"] for r in fake.docs("d", "_manage_" + C)]


def test_drop_collection(fake, run):
    run(kf.create_collection, fake, "d", C, {"a": "[('a', 1)]"}, {}, {})
    fake.seed("d", "archive_" + C, [{"k": 1}])
    fake.seed("d", "_temp_archive_" + C, [{"k": 2}])
    fake._dbs["d"].pop("_temp_" + C)  # a missing companion is no error
    fake.clear()
    run(kf.drop_collection, fake, "d", C)
    assert fake.names() == ["session.start", "txn.start", "client.list_database_names", "db:d.list_collection_names",
                            f"d.{C}.drop", f"d._temp_{C}.drop", f"d._manage_{C}.drop"] + ["db:d.command"] * 4 + OK
    assert [c.command for c in fake.calls[7:11]] == [{"dropRole": r} for r in ROLES]
    assert fake.collection_names("d") == ["archive_" + C, "_temp_archive_" + C] and fake.roles("d") == {}
    assert [d["k"] for d in fake.docs("d", "archive_" + C)] == [1]


def test_drop_collection_without_roles(fake, run):
    fake.seed("d", C, [])
    err, cause = failure(run, kf.drop_collection, fake, "d", C)
    assert str(err) == f"Can not drop '{C}'!" and cause.code == 31
    assert fake.names()[-4:] == [f"d._manage_{C}.drop", "db:d.command"] + FAILED
    assert fake.collection_names("d") == []


def test_compact(fake, run, capsys):
    prepare(fake, [record("a", "[('a', 1)], name='a'")], [("a", {"a": 1}), ("stray", {"s": 1})])
    fake.compact_reply = {"bytesFreed": 12, "ok": 1.0, "note": "x'y"}
    run(kf.compact, fake, "d", "c")
    assert capsys.readouterr().out == "{'bytesFreed': 12, 'ok': 1.0, 'note': \"x'y\"}\n"
    assert fake.names() == OPEN + OPEN + ["d.c.drop_indexes"] + OK + ["db:d.command"] + OPEN + [
        "d._manage_c.find", "d.c.create_indexes"] + OK + OK
    assert fake.calls_to("db:d.command")[0].args == ("compact", "c")
    assert fake.index_names("d", "c") == ["_id_", "a"]  # the stray index is gone


@pytest.mark.parametrize("setup, cause, indexes", [
    ("refused", ("OperationFailure", "compact is not allowed"), ["_id_"]),
    ("no-database", ("RuntimeError", "can not access 'd'!"), None),
])
def test_compact_fails(fake, run, capsys, setup, cause, indexes):
    if setup == "refused":
        prepare(fake, [record("a", "[('a', 1)], name='a'")], [("a", {"a": 1})])
        fake.compact_reply = OperationFailure("compact is not allowed", 13)
    err, _ = failure(run, kf.compact, fake, "d", "c")
    assert chain(err)[:2] == [("RuntimeError", "Can not compact 'c'!"), cause]
    assert capsys.readouterr().out == "" and "d._manage_c.find" not in fake.names()
    if indexes:
        assert fake.index_names("d", "c") == indexes
        run(kf.active_index, fake, "d", "c")
        assert fake.index_names("d", "c") == ["_id_", "a"]
    else:
        assert fake.names() == ["session.start", "txn.start", "client.list_database_names"] + FAILED


class Halt(BaseException):
    """Not an Exception: like cancellation, it must pass every handler unchanged."""


@pytest.mark.parametrize("op, args, fault", [
    (kf.insert_unique, ("c", {"u": ["a"]}), "d._manage_c.insert_one"),
    (kf.insert_unique, ("c", {"u": ["a"]}), "d.c.create_indexes"),
    (kf.create_collection, (C, {}, {"u": ["a"]}, {}), f"d._manage_{C}.insert_many"),
    (kf.compact, ("c",), "d.c.drop_indexes"),
])
def test_other_errors_pass_unchanged(fake, run, op, args, fault):
    prepare(fake)
    fake.fail(fault, Halt("stop"))
    with pytest.raises(Halt):
        run(op, fake, "d", *args)


# ---- the access check, for every operation that has one ---------------------------

OPS = [
    (kf.insert_index, ({"a": "[('a', 1)]"},), "Can not create indexes.", "d._manage_c.find_one"),
    (kf.delete_index, ("a",), "Can not delete 'a'!", "d.c.drop_index"),
    (kf.deactive_index, (), "Can not deactive indexes of collection!", "d.c.drop_indexes"),
    (kf.active_index, (), "Can not active indexes of collection!", "d._manage_c.find"),
    (kf.insert_unique, ({"u": ["a"]},), "Can not create unique.", "d._manage_c.find_one"),
    (kf.delete_unique, ("u",), "Can not delete unique 'u'!", "d._manage_c.find_one"),
    (kf.insert_archive_unique, ({"u": ["a"]},), "Can not create archive_unique.", "d._manage_c.find_one"),
    (kf.delete_archive_unique, ("u",), "Can not delete archive_unique 'u'!", "d._manage_c.find_one"),
    (kf.drop_collection, (), "Can not drop 'c'!", "d.c.drop"),
    (kf.compact, (), "Can not compact 'c'!", "session.start"),
]


@pytest.mark.parametrize("op, args, message, first", OPS, ids=[o[0].__name__ for o in OPS])
@pytest.mark.parametrize("missing", ["d", "c"])
def test_access_refused(fake, run, op, args, message, first, missing):
    fake.seed("d" if missing == "c" else "other", "x", [])
    err, cause = failure(run, op, fake, "d", "c", *args)
    assert chain(err) == [("RuntimeError", message), ("RuntimeError", f"can not access '{missing}'!")]
    assert cause.__suppress_context__
    assert fake.names() == OPEN[:3 if missing == "d" else 4] + FAILED


@pytest.mark.parametrize("op, args, message, first", OPS, ids=[o[0].__name__ for o in OPS])
def test_listing_denied_goes_on(fake, run, op, args, message, first):
    fake.deny_listing()
    try:
        run(op, fake, "d", "c", *args)
    except RuntimeError as err:
        assert str(err) == message
    assert fake.names()[2:4] == ["client.list_database_names", first]


# ---- against the server ---------------------------------------------------------

def test_server_create_and_drop(real_client, unique_name):
    db_name = unique_name("db")

    async def main(client):
        db = client[db_name]
        await kf.create_collection(client, db_name, C, {"age_index": AGE},
                                   {"unique1": ["name", "family"]}, {"a1": ["x"]})
        assert sorted(await db.list_collection_names()) == sorted([C, "_temp_" + C, "_manage_" + C])
        reply = await db.command("rolesInfo", ROLES, showPrivileges=True)
        roles = {r["role"]: r for r in reply["roles"]}
        assert [roles[r]["privileges"] for r in ROLES] == privileges(db_name)
        assert all(roles[r]["roles"] == [] for r in ROLES)
        made = await indexes_of(db[C])
        assert {n: list(i["key"].items()) for n, i in made.items()} == {
            "_id_": [("_id", 1)], "age_index": [("age", 1), ("location", "2dsphere")],
            "_unique_unique1": [("name", 1), ("family", 1)]}
        records = await db["_manage_" + C].find({}, {"_id": 0}).to_list(None)
        assert [list(r.items()) for r in records] == [
            [("type", "index"), ("name", "age_index"), ("code", AGE + ", name='age_index'")],
            [("type", "index"), ("name", "_unique_unique1"),
             ("code", "[('name', 1), ('family', 1), ], name='_unique_unique1'")],
            [("type", "unique"), ("name", "unique1"), ("keys", ["name", "family"])],
            [("type", "archive_unique"), ("name", "a1"), ("keys", ["x"])]]

        with pytest.raises(RuntimeError, match=f"^Can not create '{C}'!$"):
            await kf.create_collection(client, db_name, C, {}, {}, {})
        await db["archive_" + C].insert_one({"k": 1})
        await kf.drop_collection(client, db_name, C)
        assert await db.list_collection_names() == ["archive_" + C]
        assert await db["archive_" + C].count_documents({}) == 1
        assert (await db.command("rolesInfo", ROLES))["roles"] == []
        with pytest.raises(RuntimeError, match=f"^Can not drop '{C}'!$"):
            await kf.drop_collection(client, db_name, C)
    real_client.run(main)


def test_server_compact(real_client, unique_name, capsys):
    db_name = unique_name("db")
    has_compact = not real_client.server.is_secantus  # SecantusDB has no compact command

    async def main(client):
        await kf.create_collection(client, db_name, C, {"age_index": AGE}, {"u": ["k"]}, {})
        before = await indexes_of(client[db_name][C])
        if not has_compact:
            with pytest.raises(RuntimeError, match=f"^Can not compact '{C}'!$") as err:
                await kf.compact(client, db_name, C)
            assert err.value.__cause__.code == 59  # CommandNotFound
            assert list(await indexes_of(client[db_name][C])) == ["_id_"]
            assert capsys.readouterr().out == ""
            await kf.active_index(client, db_name, C)
        else:
            await kf.compact(client, db_name, C)
            assert capsys.readouterr().out.count("\n") == 1
        assert await indexes_of(client[db_name][C]) == before
    real_client.run(main)
