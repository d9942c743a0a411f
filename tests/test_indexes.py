"""Declared indexes: insert_index, delete_index, deactive_index, active_index."""

import sys
import types

import pytest
from pymongo import IndexModel
from pymongo.errors import InvalidName, OperationFailure

from fake_driver import FakeClient
from kestrel import functions as kf

AGE = "[('age', 1), ('location', '2dsphere')]"
TEXT = "[('name', 'text'), ('family', 'text')], weights={'name':10, 'family':2}"
OPEN = ["session.start", "txn.start", "client.list_database_names", "db:d.list_collection_names"]
OK, FAILED = ["txn.commit", "session.end"], ["txn.abort", "session.end"]


def record(name, code):
    return {"type": "index", "name": name, "code": code}


def prepare(fake, records=(), indexes=()):
    """Main collection d.c with `indexes`, manage records `records`; calls cleared."""
    fake.seed("d", "c", [])
    fake.seed("d", "_manage_c", records)
    fake._coll("d", "c").indexes += [{"v": 2, "key": dict(k), "name": n} for n, k in indexes]
    fake.clear()


def failure(run, op, *args):
    with pytest.raises(RuntimeError) as err:
        run(op, *args)
    return err.value, err.value.__cause__


@pytest.fixture
def probe(monkeypatch):
    """An importable module whose hit() records that code ran."""
    hits = []
    module = types.ModuleType("kestrel_probe")
    module.hit = lambda *a: hits.append(a) or [("a", 1)]
    monkeypatch.setitem(sys.modules, "kestrel_probe", module)
    return hits


HOSTILE = [
    "__import__('kestrel_probe').hit()",
    "[('a', 1)], weights=__import__('kestrel_probe').hit()",
    "[('a', 1)]), __import__('kestrel_probe').hit('x'",
    "[(__import__('kestrel_probe').hit(), 1)]",
    "*__import__('kestrel_probe').hit()",
    "[('a', 1)], **__import__('kestrel_probe').hit()",
    "[('a', 1)], weights=f'{__import__(\"kestrel_probe\").hit()}'",
    "[('a', 1)] + __import__('kestrel_probe').hit()",
    "IndexModel([('a', 1)])",
    "[('a', 1)], weights={'a': 1}.copy()",
]
REFUSED = "index 'x': only literal values are allowed in an index specification"


def test_insert_index_calls(fake, run):
    prepare(fake)
    index = {"age_index": AGE, "name_index": TEXT, "u": "[('name', 1), ('family', 1), ]",
             "b": "[('b', -1)], unique=True, sparse=True"}
    run(kf.insert_index, fake, "d", "c", index)
    assert fake.names() == OPEN + ["d._manage_c.find_one"] * 4 + [
        "d.c.create_indexes", "d._manage_c.insert_many"] + OK
    finds = [c.arg for c in fake.calls_to("d._manage_c.find_one")]
    assert [list(f.items()) for f in finds] == [[("type", "index"), ("name", n)] for n in index]
    models = fake.calls_to("d.c.create_indexes")[0].arg
    assert [m.document for m in models] == [
        IndexModel([("age", 1), ("location", "2dsphere")], name="age_index").document,
        IndexModel([("name", "text"), ("family", "text")], weights={"name": 10, "family": 2},
                   name="name_index").document,
        IndexModel([("name", 1), ("family", 1)], name="u").document,
        IndexModel([("b", -1)], unique=True, sparse=True, name="b").document]
    records = fake.calls_to("d._manage_c.insert_many")[0].arg
    assert [list(r.items()) for r in records] == [
        [("type", "index"), ("name", n), ("code", t + ", name='" + n + "'")] for n, t in index.items()]
    assert records[0]["code"] == "[('age', 1), ('location', '2dsphere')], name='age_index'"
    assert fake.index_names("d", "c") == ["_id_", "age_index", "name_index", "u", "b"]


@pytest.mark.parametrize("op, args, work", [
    (kf.insert_index, ({},), []),
    (kf.active_index, (), ["d._manage_c.find"]),
    (kf.deactive_index, (), ["d.c.drop_indexes"]),
    (kf.insert_unique, ({},), []),
    (kf.insert_archive_unique, ({},), []),
], ids=lambda v: getattr(v, "__name__", None))
def test_nothing_to_do(fake, run, op, args, work):
    prepare(fake)
    run(op, fake, "d", "c", *args)
    assert fake.names() == OPEN + work + OK and fake.index_names("d", "c") == ["_id_"]


@pytest.mark.parametrize("index, finds, cause_type, text", [
    ({"_id_": "[('a', 1)]"}, 0, RuntimeError, "'_id_' is in the index_list."),
    ({"old": "[('a', 1)]"}, 1, RuntimeError, "'old' is in the index_list."),
    ({"new": "[('a', 1)]", "old": "[('b', 1)]"}, 2, RuntimeError, "'old' is in the index_list."),
    ({"new": "[('a', 1)]", "_id_": "[('b', 1)]"}, 1, RuntimeError, "'_id_' is in the index_list."),
    ({"x": "[]"}, 1, ValueError, "key_or_list must not be empty"),
    ({"x": "[('a', 1)], name='y'"}, 1, SyntaxError, "index 'x': keyword argument repeated: name"),
    ({5: "[('a', 1)]"}, 1, TypeError, 'can only concatenate str (not "int") to str'),
    ({"x": "[('a', 1)"}, 1, SyntaxError, None),
    ({"x": 5}, 1, TypeError, None),
    ({"x": "[('a', 1)], unique=yes"}, 1, ValueError, REFUSED),
], ids=["_id_", "recorded", "second-recorded", "second-_id_", "empty-keys", "name-given",
        "name-not-text", "not-source", "not-text", "a-name"])
def test_insert_index_refused(fake, run, index, finds, cause_type, text):
    prepare(fake, [record("old", "[('o', 1)], name='old'")])
    err, cause = failure(run, kf.insert_index, fake, "d", "c", index)
    assert str(err) == "Can not create indexes." and type(cause) is cause_type
    assert text is None or str(cause) == text
    assert fake.names() == OPEN + ["d._manage_c.find_one"] * finds + FAILED
    assert fake.index_names("d", "c") == ["_id_"] and len(fake.docs("d", "_manage_c")) == 1


@pytest.mark.parametrize("text", HOSTILE)
def test_hostile_text_from_caller(fake, run, probe, text):
    prepare(fake)
    err, cause = failure(run, kf.insert_index, fake, "d", "c", {"x": text})
    assert (str(err), type(cause), str(cause)) == ("Can not create indexes.", ValueError, REFUSED)
    assert probe == [] and "d.c.create_indexes" not in fake.names()
    assert fake.docs("d", "_manage_c") == []


@pytest.mark.parametrize("text", HOSTILE)
def test_hostile_record(fake, run, probe, text):
    prepare(fake, [record("a", "[('a', 1)], name='a'"), record("x", text + ", name='x'")])
    err, cause = failure(run, kf.active_index, fake, "d", "c")
    assert str(err) == "Can not active indexes of collection!"
    assert (type(cause), str(cause)) == (ValueError, REFUSED)
    assert probe == [] and fake.index_names("d", "c") == ["_id_"]


@pytest.mark.parametrize("fault, indexes, records", [
    ("d.c.create_indexes", ["_id_"], 0),
    ("d._manage_c.insert_many", ["_id_", "a"], 0),
])
def test_insert_index_write_fails(fake, run, fault, indexes, records):
    prepare(fake)
    fake.fail(fault, OperationFailure("refused", 2))
    err, cause = failure(run, kf.insert_index, fake, "d", "c", {"a": "[('a', 1)]"})
    assert str(cause) == "refused" and fake.names()[-3] == fault
    assert fake.index_names("d", "c") == indexes and len(fake.docs("d", "_manage_c")) == records


@pytest.mark.parametrize("name, records, indexes, cause", [
    ("a", [record("a", "")], ["_id_", "b"], None),
    ("b", [], ["_id_", "a"], None),  # an index without a record goes too
    ("gone", [record("gone", "")], ["_id_", "a", "b"], 27),
    ("_id_", [], ["_id_", "a", "b"], 72),
])
def test_delete_index(fake, run, name, records, indexes, cause):
    prepare(fake, records + [record("a", "")], [("a", {"a": 1}), ("b", {"b": 1})])
    if cause is None:
        run(kf.delete_index, fake, "d", "c", name)
        assert fake.names() == OPEN + ["d.c.drop_index", "d._manage_c.delete_many"] + OK
        assert list(fake.calls[-3].arg.items()) == [("type", "index"), ("name", name)]
        assert [r["name"] for r in fake.docs("d", "_manage_c")] == ["a"] * (name != "a")
    else:
        err, e = failure(run, kf.delete_index, fake, "d", "c", name)
        assert str(err) == f"Can not delete '{name}'!" and e.code == cause
        assert len(fake.docs("d", "_manage_c")) == len(records) + 1  # records untouched
    assert fake.calls_to("d.c.drop_index")[0].args == (name,)
    assert fake.index_names("d", "c") == indexes


def test_deactivate_then_activate(fake, run):
    prepare(fake, [record("a", "[('a', 1)], name='a'"), record("u", "[('x', 1), ('y', -1), ], name='u'")],
            [("a", {"a": 1}), ("u", {"x": 1, "y": -1}), ("stray", {"s": 1})])
    before = fake.indexes("d", "c")
    run(kf.deactive_index, fake, "d", "c")
    assert fake.names() == OPEN + ["d.c.drop_indexes"] + OK
    assert fake.index_names("d", "c") == ["_id_"]
    fake.clear()
    run(kf.active_index, fake, "d", "c")
    assert fake.names() == OPEN + ["d._manage_c.find", "d.c.create_indexes"] + OK
    assert fake.calls[-4].arg == {"type": "index"}
    assert fake.indexes("d", "c") == [i for i in before if i["name"] != "stray"]


@pytest.mark.parametrize("bad, cause_type", [
    ({"type": "index", "name": "x"}, KeyError),
    (record("x", 5), TypeError),
    (record("x", "[]"), ValueError),
    (record("x", "[('a', 1)], name='x', name='y'"), SyntaxError),
])
def test_activate_bad_record(fake, run, bad, cause_type):
    prepare(fake, [record("a", "[('a', 1)], name='a'"), bad])
    err, cause = failure(run, kf.active_index, fake, "d", "c")
    assert type(cause) is cause_type and "d.c.create_indexes" not in fake.names()
    assert fake.index_names("d", "c") == ["_id_"]


def test_deactivate_bad_name_is_not_wrapped(run):
    class Refusing(FakeClient):
        def __getitem__(self, name):
            if name == "":
                raise InvalidName("database name cannot be empty")
            return super().__getitem__(name)
    client = Refusing()
    with pytest.raises(InvalidName):
        run(kf.deactive_index, client, "", "c")
    assert client.names() == []


# ---- against the server ---------------------------------------------------------

async def indexes_of(coll):
    cursor = coll.list_indexes()
    cursor = await cursor if not hasattr(cursor, "__aiter__") else cursor
    return {i["name"]: dict(i) async for i in cursor}


def test_server_round_trip(real_client, unique_name):
    db_name, c = unique_name("db"), unique_name("c")
    index = {"age_index": AGE, "bc": "[('b', -1), ('c', 1)], unique=True, sparse=True",
             "u": "[('name', 1), ('family', 1), ]"}

    async def main(client):
        db = client[db_name]
        await db.create_collection(c)
        await kf.insert_index(client, db_name, c, index)
        made = await indexes_of(db[c])
        assert {n: list(i["key"].items()) for n, i in made.items()} == {
            "_id_": [("_id", 1)], "age_index": [("age", 1), ("location", "2dsphere")],
            "bc": [("b", -1), ("c", 1)], "u": [("name", 1), ("family", 1)]}
        assert made["bc"]["unique"] is True and made["bc"]["sparse"] is True
        records = [r async for r in db["_manage_" + c].find({}, {"_id": 0})]
        assert [list(r.items()) for r in records] == [
            [("type", "index"), ("name", n), ("code", t + ", name='" + n + "'")]
            for n, t in index.items()]

        await kf.deactive_index(client, db_name, c)
        assert list(await indexes_of(db[c])) == ["_id_"]
        await kf.active_index(client, db_name, c)
        assert await indexes_of(db[c]) == made

        await kf.delete_index(client, db_name, c, "bc")
        with pytest.raises(RuntimeError, match="^Can not delete 'bc'!$"):
            await kf.delete_index(client, db_name, c, "bc")
        await kf.deactive_index(client, db_name, c)
        await kf.active_index(client, db_name, c)
        assert sorted(await indexes_of(db[c])) == ["_id_", "age_index", "u"]
    real_client.run(main)


def test_server_deactivate_bad_name_is_not_wrapped(real_client):
    async def main(client):
        with pytest.raises(InvalidName):
            await kf.deactive_index(client, "", "c")
    real_client.run(main)


def test_server_text_index(real_client, unique_name):
    if real_client.server.is_secantus:
        pytest.skip("SecantusDB refuses 'text' indexes (code 67); covered by the fake")
    db_name, c = unique_name("db"), unique_name("c")

    async def main(client):
        await client[db_name].create_collection(c)
        await kf.insert_index(client, db_name, c, {"name_index": TEXT})
        made = (await indexes_of(client[db_name][c]))["name_index"]
        assert made["weights"] == {"name": 10, "family": 2}
    real_client.run(main)


# ---- names written into index texts ------------------------------------------------

# Names that would close or break a string literal written around them.
QUOTED = ["it's", 'say "hi"', "both ' and \"", "back\\slash\\", "new\nline\r", "tab\t\x7f",
          "x'), ('y', 1)], unique=True, name=('"]


@pytest.mark.parametrize("name", QUOTED, ids=repr)
def test_index_names_that_need_quoting(fake, run, name):
    prepare(fake)
    run(kf.insert_index, fake, "d", "c", {name: "[('a', 1)]"})
    made = [{"v": 2, "key": {"a": 1}, "name": name}]  # that name, those keys, no other option
    assert fake.indexes("d", "c")[1:] == made
    [stored] = fake.docs("d", "_manage_c")
    assert (stored["name"], stored["code"]) == (name, "[('a', 1)], name=" + repr(name))
    run(kf.deactive_index, fake, "d", "c")
    run(kf.active_index, fake, "d", "c")
    assert fake.indexes("d", "c")[1:] == made
    run(kf.delete_index, fake, "d", "c", name)
    assert fake.index_names("d", "c") == ["_id_"] and fake.docs("d", "_manage_c") == []


@pytest.mark.parametrize("rule, field", [(q, q) for q in QUOTED] + [("r", 5), ("r", b"x'y")], ids=repr)
def test_rule_and_field_names_that_need_quoting(fake, run, rule, field):
    prepare(fake)
    run(kf.insert_unique, fake, "d", "c", {rule: [field, "plain"]})
    made = [{"v": 2, "key": {str(field): 1, "plain": 1}, "name": "_unique_" + rule}]  # the text form
    assert fake.indexes("d", "c")[1:] == made
    run(kf.deactive_index, fake, "d", "c")
    run(kf.active_index, fake, "d", "c")
    assert fake.indexes("d", "c")[1:] == made
    run(kf.delete_unique, fake, "d", "c", rule)
    assert fake.index_names("d", "c") == ["_id_"] and fake.docs("d", "_manage_c") == []


def test_ordinary_names_keep_their_text(fake, run):
    prepare(fake)
    run(kf.insert_unique, fake, "d", "c", {"person": ["nid"], "ünï": ["ä b", "c-d.e"]})
    run(kf.insert_index, fake, "d", "c", {"age_index": AGE, 'say "hi"\xa0\u200b\u2028': AGE})
    codes = [r["code"] for r in fake.docs("d", "_manage_c") if r["type"] == "index"]
    assert codes == ["[('nid', 1), ], name='_unique_person'", "[('ä b', 1), ('c-d.e', 1), ], name='_unique_ünï'",
                     "[('age', 1), ('location', '2dsphere')], name='age_index'",
                     "[('age', 1), ('location', '2dsphere')], name='say \"hi\"\xa0\u200b\u2028'"]
    run(kf.deactive_index, fake, "d", "c")
    run(kf.active_index, fake, "d", "c")
    assert fake.index_names("d", "c")[1:] == ["_unique_person", "_unique_ünï", "age_index",
                                              'say "hi"\xa0\u200b\u2028']


def test_server_names_that_need_quoting(real_client, unique_name):
    db_name, c = unique_name("db"), unique_name("c")
    names = QUOTED

    async def main(client):
        db = client[db_name]
        await db.create_collection(c)
        await kf.insert_index(client, db_name, c, {n: f"[('a{i}', 1)]" for i, n in enumerate(names)})
        await kf.insert_unique(client, db_name, c, {"it's": ['say "hi"', "back\\slash"]})
        made = await indexes_of(db[c])
        expected = {n: {f"a{i}": 1} for i, n in enumerate(names)}
        expected["_unique_it's"] = {'say "hi"': 1, "back\\slash": 1}
        assert {n: dict(i["key"]) for n, i in made.items() if n != "_id_"} == expected
        assert all(set(i) == {"v", "key", "name"} for i in made.values())  # no other option
        await kf.deactive_index(client, db_name, c)
        await kf.active_index(client, db_name, c)
        assert await indexes_of(db[c]) == made
        for n in names:
            await kf.delete_index(client, db_name, c, n)
        await kf.delete_unique(client, db_name, c, "it's")
        assert list(await indexes_of(db[c])) == ["_id_"]
        assert await db["_manage_" + c].count_documents({}) == 0
    real_client.run(main)


# ---- index texts past 64 KiB ----------------------------------------------------------

TOO_LONG = "index 'x': the index specification is longer than 65536 bytes"


def spec_of_size(size: int, char: str = "a") -> str:
    """A valid specification whose record code (", name='x'" appended) is
    `size` UTF-8 bytes long."""
    head, tail = "[('a', 1)], w='", "'" + ", name='x'"
    filler = size - len(head) - len(tail)
    width = len(char.encode())
    return head + char * (filler // width) + "a" * (filler % width) + "'"


@pytest.fixture
def compiled(monkeypatch):
    """The texts the interpreter was asked to compile (parse) meanwhile."""
    seen = []

    def hook(event, args):
        if event == "compile" and hook.on:
            seen.append(args[0])
    hook.on = True
    sys.addaudithook(hook)
    yield seen
    hook.on = False


@pytest.mark.parametrize("size, char, refused", [
    (65536, "a", False), (65537, "a", True), (40_000 * 2, "é", True), (10_000_000, "[", True),
], ids=["64KiB", "64KiB+1", "80000-bytes-40000-chars", "10MB"])
def test_index_text_past_64_kib_from_the_caller(fake, run, compiled, size, char, refused):
    prepare(fake)
    spec = spec_of_size(size, char) if char != "[" else "[" * size
    if not refused:
        run(kf.insert_index, fake, "d", "c", {"x": spec})
        assert fake.index_names("d", "c") == ["_id_", "x"] and compiled
        return
    err, cause = failure(run, kf.insert_index, fake, "d", "c", {"x": spec})
    assert (str(err), type(cause), str(cause)) == ("Can not create indexes.", ValueError, TOO_LONG)
    assert compiled == [] and "d.c.create_indexes" not in fake.names()
    assert fake.docs("d", "_manage_c") == []


@pytest.mark.parametrize("size, char", [(65537, "a"), (40_000 * 2, "é")], ids=["64KiB+1", "80000-bytes"])
def test_index_text_past_64_kib_from_a_record(fake, run, compiled, size, char):
    prepare(fake, [record("a", "[('a', 1)], name='a'"), record("x", spec_of_size(size, char) + ", name='x'")])
    err, cause = failure(run, kf.active_index, fake, "d", "c")
    assert (str(err), type(cause), str(cause)) == ("Can not active indexes of collection!", ValueError, TOO_LONG)
    assert len(compiled) == 1  # only the record before it was read
    assert fake.index_names("d", "c") == ["_id_"]
