"""Unique rules and archive-unique rules."""

import pytest
from pymongo.errors import OperationFailure

from kestrel import functions as kf
from test_indexes import OK, OPEN, failure, indexes_of, prepare, probe, record  # noqa: F401

INDEX_CALLS = OPEN + ["d._manage_c.find_one", "d.c.create_indexes", "d._manage_c.insert_many"] + OK
SAME = "There is a same index as '{0}'. please delete that index and insert '{0}' again."


def rule(kind, name, keys):
    return {"type": kind, "name": name, "keys": keys}


def chain(e):
    out = []
    while e is not None:
        out.append((type(e).__name__, str(e)))
        e = e.__cause__
    return out


def manage(fake):
    return [(r["type"], r["name"]) for r in fake.docs("d", "_manage_c")]


@pytest.fixture
def spy(monkeypatch):
    """spy("insert_index") records the keyword arguments of every call of that
    operation made through the module's globals, then runs the operation."""
    seen = []

    def install(name):
        original = getattr(kf, name)

        async def recorder(*args, **kwargs):
            seen.append((name, args, kwargs))
            return await original(*args, **kwargs)
        monkeypatch.setattr(kf, name, recorder)
    install.seen = seen
    return install


def test_insert_unique_calls(fake, run, spy):
    prepare(fake)
    spy("insert_index")
    run(kf.insert_unique, fake, "d", "c", {"u1": ["name", "family"], 5: ["n"]})
    assert fake.names() == OPEN + (["d._manage_c.find_one"] + INDEX_CALLS + ["d._manage_c.insert_one"]) * 2 + OK
    finds = [list(c.arg.items()) for c in fake.calls_to("d._manage_c.find_one")]
    assert finds[0] == [("type", "unique"), ("name", "u1")] and finds[2] == [("type", "unique"), ("name", 5)]
    assert spy.seen == [
        ("insert_index", (), {"client": fake, "db_name": "d", "collection_name": "c",
                              "index": {"_unique_u1": "[('name', 1), ('family', 1), ]"}}),
        ("insert_index", (), {"client": fake, "db_name": "d", "collection_name": "c",
                              "index": {"_unique_5": "[('n', 1), ]"}})]
    assert [list(k) for _, _, k in spy.seen] == [["client", "db_name", "collection_name", "index"]] * 2
    inserted = [list(c.arg.items()) for c in fake.calls_to("d._manage_c.insert_one")]
    assert inserted == [[("type", "unique"), ("name", "u1"), ("keys", ["name", "family"])],
                        [("type", "unique"), ("name", 5), ("keys", ["n"])]]
    assert fake.index_names("d", "c") == ["_id_", "_unique_u1", "_unique_5"]


@pytest.mark.parametrize("unique, fault, causes, indexes, records", [
    ({"A": ["a"], "B": ["b"]}, None, [("RuntimeError", "'B' already exists!")],
     ["_unique_A"], [("index", "_unique_A"), ("unique", "A")]),
    ({"e": []}, None, [("RuntimeError", SAME.format("e")), ("RuntimeError", "Can not create indexes."),
                       ("ValueError", "key_or_list must not be empty")], [], []),
    ({"r": ["x"]}, None, [("RuntimeError", SAME.format("r")), ("RuntimeError", "Can not create indexes."),
                          ("RuntimeError", "'_unique_r' is in the index_list.")], [], []),
    ({"n": 5}, None, [("TypeError", "'int' object is not iterable")], [], []),
    ({"w": ["w"]}, "d._manage_c.insert_one", [("RuntimeError", SAME.format("w")),
                                               ("OperationFailure", "refused")],
     ["_unique_w"], [("index", "_unique_w")]),
], ids=["then-recorded", "no-fields", "leftover-index-record", "not-iterable", "record-fails"])
def test_insert_unique_fails(fake, run, unique, fault, causes, indexes, records):
    before = [rule("unique", "B", ["b"]), record("_unique_r", "[('x', 1), ], name='_unique_r'")]
    prepare(fake, before)
    if fault:
        fake.fail(fault, OperationFailure("refused", 2))
    err, _ = failure(run, kf.insert_unique, fake, "d", "c", unique)
    assert chain(err) == [("RuntimeError", "Can not create unique.")] + causes
    assert fake.index_names("d", "c") == ["_id_"] + indexes
    assert manage(fake) == [("unique", "B"), ("index", "_unique_r")] + records


def test_field_names_never_run(fake, run, probe):
    """A field name is written into the index text as a string literal: the
    index gets exactly that field as its key, and nothing runs."""
    field = "a', 1)], weights=__import__('kestrel_probe').hit(), x=[('b"
    prepare(fake)
    run(kf.insert_unique, fake, "d", "c", {"r": [field]})
    assert probe == []
    assert fake.indexes("d", "c")[1:] == [{"v": 2, "key": {field: 1}, "name": "_unique_r"}]
    assert manage(fake) == [("index", "_unique_r"), ("unique", "r")]


@pytest.mark.parametrize("unique, causes, records", [
    ({"A": ["a"], "u": ("u",)}, [], [("A", ["a"]), ("u", ("u",))]),  # a unique rule "u" does not count
    ({"A": ["a"], "B": ["x"]}, [("RuntimeError", "'B' already exists!")], [("A", ["a"])]),
    ({7: ["a"], "n": 5}, [("TypeError", "'int' object is not iterable")], [(7, ["a"])]),
    ({"A": ["a"], "e": []}, [("ValueError", "'e' has no fields!")], [("A", ["a"])]),
], ids=["declared", "then-recorded", "not-iterable", "no-fields"])
def test_insert_archive_unique(fake, run, unique, causes, records):
    prepare(fake, [rule("unique", "u", ["u"]), rule("archive_unique", "B", ["b"])])
    if causes:
        err, _ = failure(run, kf.insert_archive_unique, fake, "d", "c", unique)
        assert chain(err) == [("RuntimeError", "Can not create archive_unique.")] + causes
    else:
        run(kf.insert_archive_unique, fake, "d", "c", unique)
    steps = ["d._manage_c.find_one", "d._manage_c.insert_one"] * len(records) + ["d._manage_c.find_one"] * bool(causes)
    assert fake.names() == OPEN + steps + (["txn.abort", "session.end"] if causes else OK)
    assert [list(c.arg.items()) for c in fake.calls_to("d._manage_c.insert_one")] == [
        [("type", "archive_unique"), ("name", n), ("keys", k)] for n, k in records]
    assert fake.index_names("d", "c") == ["_id_"]


def test_delete_unique_calls(fake, run, spy):
    prepare(fake, [rule("unique", "u1", ["a"]), record("_unique_u1", ""), rule("unique", "u1", ["a"]),
                   rule("archive_unique", "u1", ["a"])], [("_unique_u1", {"a": 1})])
    spy("delete_index")
    run(kf.delete_unique, fake, "d", "c", "u1")
    assert fake.names() == OPEN + ["d._manage_c.find_one", "d._manage_c.delete_many"] + OPEN + [
        "d.c.drop_index", "d._manage_c.delete_many"] + OK + OK
    filters = [list(c.arg.items()) for c in fake.calls[4:6]]
    assert filters == [[("type", "unique"), ("name", "u1")]] * 2
    assert spy.seen == [("delete_index", (), {"client": fake, "db_name": "d", "collection_name": "c",
                                              "index_name": "_unique_u1"})]
    assert manage(fake) == [("archive_unique", "u1")] and fake.index_names("d", "c") == ["_id_"]


@pytest.mark.parametrize("op, kind, message", [
    (kf.delete_unique, "unique", "Can not delete unique 'u1'!"),
    (kf.delete_archive_unique, "archive_unique", "Can not delete archive_unique 'u1'!"),
])
def test_delete_rule_not_declared(fake, run, op, kind, message):
    other = "archive_unique" if kind == "unique" else "unique"
    prepare(fake, [rule(other, "u1", ["a"]), record("_unique_u1", "")], [("_unique_u1", {"a": 1})])
    err, _ = failure(run, op, fake, "d", "c", "u1")
    assert chain(err) == [("RuntimeError", message), ("RuntimeError", "'u1' does not exists in uniques!")]
    assert fake.names() == OPEN + ["d._manage_c.find_one", "txn.abort", "session.end"]
    assert fake.calls[4].arg == {"type": kind, "name": "u1"}
    assert len(fake.docs("d", "_manage_c")) == 2 and fake.index_names("d", "c") == ["_id_", "_unique_u1"]


def test_delete_unique_with_index_deactivated(fake, run):
    prepare(fake, [rule("unique", "u1", ["a"]), record("_unique_u1", "[('a', 1), ], name='_unique_u1'")])
    err, _ = failure(run, kf.delete_unique, fake, "d", "c", "u1")
    assert chain(err)[:2] == [("RuntimeError", "Can not delete unique 'u1'!"),
                              ("RuntimeError", "Can not delete '_unique_u1'!")]
    assert manage(fake) == [("index", "_unique_u1")]  # a later activation brings the index back
    run(kf.active_index, fake, "d", "c")
    assert fake.index_names("d", "c") == ["_id_", "_unique_u1"]


def test_delete_archive_unique_calls(fake, run):
    prepare(fake, [rule("archive_unique", "a1", ["x"]), rule("unique", "a1", ["x"])], [("_unique_a1", {"x": 1})])
    run(kf.delete_archive_unique, fake, "d", "c", "a1")
    assert fake.names() == OPEN + ["d._manage_c.find_one", "d._manage_c.delete_many"] + OK
    assert [list(c.arg.items()) for c in fake.calls[4:6]] == [[("type", "archive_unique"), ("name", "a1")]] * 2
    assert manage(fake) == [("unique", "a1")] and fake.index_names("d", "c") == ["_id_", "_unique_a1"]


# ---- against the server ---------------------------------------------------------

def test_server_rules(real_client, unique_name):
    db_name, c = unique_name("db"), unique_name("c")

    async def main(client):
        db = client[db_name]
        await db.create_collection(c)
        records = lambda: db["_manage_" + c].find({}, {"_id": 0}).to_list(None)  # noqa: E731
        await kf.insert_unique(client, db_name, c, {"B": ["name", "family"]})
        with pytest.raises(RuntimeError) as err:
            await kf.insert_unique(client, db_name, c, {"A": ["a"], "B": ["b"]})
        assert chain(err.value)[1] == ("RuntimeError", "'B' already exists!")
        made = await indexes_of(db[c])
        assert {n: list(i["key"].items()) for n, i in made.items()} == {
            "_id_": [("_id", 1)], "_unique_B": [("name", 1), ("family", 1)], "_unique_A": [("a", 1)]}
        assert [list(r.items()) for r in await records()] == [
            [("type", "index"), ("name", "_unique_B"), ("code", "[('name', 1), ('family', 1), ], name='_unique_B'")],
            [("type", "unique"), ("name", "B"), ("keys", ["name", "family"])],
            [("type", "index"), ("name", "_unique_A"), ("code", "[('a', 1), ], name='_unique_A'")],
            [("type", "unique"), ("name", "A"), ("keys", ["a"])]]

        await kf.insert_archive_unique(client, db_name, c, {"Y": ["y"]})
        with pytest.raises(RuntimeError) as err:
            await kf.insert_archive_unique(client, db_name, c, {"X": ["x"], "Y": ["z"]})
        assert chain(err.value)[1] == ("RuntimeError", "'Y' already exists!")
        assert (await records())[-2:] == [rule("archive_unique", "Y", ["y"]), rule("archive_unique", "X", ["x"])]

        await kf.delete_unique(client, db_name, c, "B")
        await kf.delete_archive_unique(client, db_name, c, "Y")
        assert sorted(await indexes_of(db[c])) == ["_id_", "_unique_A"]
        assert [(r["type"], r["name"]) for r in await records()] == [
            ("index", "_unique_A"), ("unique", "A"), ("archive_unique", "X")]
    real_client.run(main)
