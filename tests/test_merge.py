"""The temp-to-main merge (temp_to_main), against the recording fake.

Also home of the small helpers the other pipeline tests share."""

import pytest
from pymongo import DeleteMany
from pymongo.errors import OperationFailure

from kestrel import functions as kf
from test_indexes import FAILED, OK, OPEN, failure
from test_rules import chain, rule, spy  # noqa: F401  (spy is a fixture)

# What a framed call of another operation on d.c records, by operation.
DEACTIVE = OPEN + ["d.c.drop_indexes"] + OK
ACTIVE = OPEN + ["d._manage_c.find"] + OK  # no index records
DELETE = OPEN + ["d.c.bulk_write"] + OK
DELETE_NONE = OPEN + ["d.c.delete_many"] + OK  # an empty list of ids
SCAN_TEMP = ["d._temp_c.find", "d._temp_c.sort"]


def prepare(fake, main=(), temp=(), unique=(), archive_unique=(), archive=True, indexes=()):
    """d.c with its companions (and archive_c unless told otherwise), the
    rules given as lists of fields, then calls cleared."""
    fake.seed("d", "c", main)
    fake.seed("d", "_temp_c", temp)
    fake.seed("d", "_manage_c",
              [{"type": "index", "name": n, "code": code} for n, code in indexes]
              + [rule("unique", f"u{i}", keys) for i, keys in enumerate(unique)]
              + [rule("archive_unique", f"a{i}", keys) for i, keys in enumerate(archive_unique)])
    if archive:
        fake.seed("d", "archive_c", [])
    fake.clear()


def ids(docs):
    return [d["_id"] for d in docs]


def without_id(docs):
    return [{k: v for k, v in d.items() if k != "_id"} for d in docs]


def state(fake, *colls):
    """Every document of the named collections of d, as stored."""
    return {c: fake.docs("d", c) for c in colls}


def merge_spies(spy):
    for name in ("deactive_index", "Delete_doc_main", "active_index"):
        spy(name)


# ---- the calls ----------------------------------------------------------------------

def test_calls_in_order(fake, run, spy):
    prepare(fake, main=[{"_id": 1, "a": 1}, {"_id": 2, "a": 3}],
            temp=[{"_id": 10, "a": 1}, {"_id": 11, "a": 2}, {"_id": 12, "a": 1}, {"_id": 13, "z": 0}],
            unique=[["a"]])
    merge_spies(spy)
    run(kf.temp_to_main, fake, "d", "c")
    # One main query per newly claimed key (a=1, then a=2), none for the repeated a=1
    # nor for the document without the rule's field.
    assert fake.names() == OPEN + ["d._manage_c.find"] + SCAN_TEMP + ["d.c.find"] * 2 + (
        DEACTIVE + DELETE + ["d.c.insert_many", "d._temp_c.bulk_write"] + ACTIVE + OK)
    assert [c.arg for c in fake.calls_to("d._manage_c.find")][0] == {"type": "unique"}
    assert [c.args for c in fake.calls_to("d._temp_c.find")] == [({},)]
    assert fake.calls_to("d._temp_c.sort")[0].args == ([("_id", -1)],)
    assert [c.arg for c in fake.calls_to("d.c.find")] == [{"a": 1}, {"a": 2}]
    # Exactly the temp documents the scan read (kept and superseded), oldest first.
    assert fake.calls_to("d._temp_c.bulk_write")[0].args == ([DeleteMany({"_id": {"$in": [10, 11, 12, 13]}})],)
    target = {"client": fake, "db_name": "d", "collection_name": "c"}
    # The replaced main document, then the `_id`s the kept documents bring.
    assert spy.seen == [("deactive_index", (), target),
                        ("Delete_doc_main", (), {**target, "ids": [1, 13, 12, 11]}),
                        ("active_index", (), target)]
    # Newest first, each under its temp `_id`; the older a=1 is dropped.
    assert fake.calls_to("d.c.insert_many")[0].arg == [{"_id": 13, "z": 0}, {"_id": 12, "a": 1}, {"_id": 11, "a": 2}]
    assert fake.docs("d", "c") == [{"_id": 2, "a": 3}, {"_id": 13, "z": 0}, {"_id": 12, "a": 1}, {"_id": 11, "a": 2}]
    assert fake.docs("d", "_temp_c") == []


def test_empty_temp_companion_still_rebuilds_the_indexes(fake, run, spy):
    prepare(fake, main=[{"_id": 1, "a": 1}], unique=[["a"]],
            indexes=[("ia", "[('a', 1)], name='ia'")])
    fake._coll("d", "c").indexes.append({"v": 2, "key": {"a": 1}, "name": "ia"})
    merge_spies(spy)
    run(kf.temp_to_main, fake, "d", "c")
    assert fake.names() == OPEN + ["d._manage_c.find"] + SCAN_TEMP + DEACTIVE + DELETE_NONE + [
        "d._temp_c.delete_many"] + OPEN + ["d._manage_c.find", "d.c.create_indexes"] + OK + OK
    assert [s[0] for s in spy.seen] == ["deactive_index", "Delete_doc_main", "active_index"]
    assert spy.seen[1][2]["ids"] == []
    assert fake.calls_to("d.c.delete_many")[0].arg == {"_id": {"$in": []}}
    assert fake.calls_to("d._temp_c.delete_many")[0].arg == {"_id": {"$in": []}}  # read nothing, clear nothing
    assert fake.index_names("d", "c") == ["_id_", "ia"]
    assert fake.docs("d", "c") == [{"_id": 1, "a": 1}]


# ---- which documents move, which main documents go ------------------------------

@pytest.mark.parametrize("unique, main, temp, moved, main_left", [
    # No rules: everything moves, nothing is deleted.
    ([], [{"_id": 1, "a": 1}], [{"_id": 10, "a": 1}, {"_id": 11, "a": 1}],
     [{"a": 1}, {"a": 1}], [1]),
    # Equal on a rule: only the greater `_id` moves; the main one is replaced.
    ([["a", "b"]], [{"_id": 1, "a": 1, "b": 2}, {"_id": 2, "a": 1, "b": 3}],
     [{"_id": 10, "a": 1, "b": 2, "n": "old"}, {"_id": 11, "a": 1, "b": 2, "n": "new"}],
     [{"a": 1, "b": 2, "n": "new"}], [2]),
    # A document missing a rule field neither claims nor loses under it.
    ([["a", "b"]], [{"_id": 1, "a": 1}],
     [{"_id": 10, "a": 1, "b": 2}, {"_id": 11, "a": 1}],
     [{"a": 1}, {"a": 1, "b": 2}], [1]),
    # The claim holds even though the claimer itself was dropped under another
    # rule: 12 claims a=1 and b=1; 11 loses b=1 but claims c=5; 10 loses c=5.
    ([["a"], ["b"], ["c"]], [],
     [{"_id": 10, "c": 5}, {"_id": 11, "b": 1, "c": 5}, {"_id": 12, "a": 1, "b": 1}],
     [{"a": 1, "b": 1}], []),
    # A main document matching a dropped temp document under another rule goes.
    ([["a"], ["b"]], [{"_id": 1, "b": 7}, {"_id": 2, "b": 8}],
     [{"_id": 10, "a": 1, "b": 7}, {"_id": 11, "a": 1}],
     [{"a": 1}], [2]),
    # Deleted: every main document agreeing with a kept key under any rule
    # (b=2: 2, 5; a=0: 0, 2, 4).
    ([["a"], ["b"]], [{"_id": i, "a": i % 2, "b": i % 3} for i in range(6)],
     [{"_id": 10, "a": 0}, {"_id": 11, "b": 2}], [{"b": 2}, {"a": 0}], [1, 3]),
    # Rule fields in another order in the document, values of several types;
    # 1 and 1.0 are the same key, as they are for the interpreter.
    ([["b", "a"]], [{"_id": 1, "a": "x", "b": None}],
     [{"_id": 10, "b": 1.0, "a": "x"}, {"_id": 11, "a": "x", "b": 1}, {"_id": 12, "b": None, "a": "x"}],
     [{"b": None, "a": "x"}, {"a": "x", "b": 1}], []),
    # A main document loaded back into the temp companion (its `_id` kept, a
    # field changed) replaces the main document; superseded, it leaves it be.
    ([], [{"_id": 1, "a": 1}, {"_id": 2, "a": 2}], [{"_id": 1, "a": 5}],
     [{"a": 5}], [2]),
    ([["a"]], [{"_id": 1, "a": 1, "v": "main"}], [{"_id": 1, "a": 1, "v": "old"}, {"_id": 10, "a": 1, "v": "new"}],
     [{"a": 1, "v": "new"}], []),
    ([["a"]], [{"_id": 1, "a": 1, "v": "main"}, {"_id": 2, "a": 2}], [{"_id": 1, "a": 2, "v": "old"}, {"_id": 10, "a": 2}],
     [{"a": 2}], [1]),
], ids=["no-rules", "equal", "missing-field", "claim-by-dropped", "main-by-dropped", "union",
        "types", "loaded-back", "loaded-back-superseded", "loaded-back-superseded-kept"])
def test_merge_outcome(fake, run, unique, main, temp, moved, main_left):
    prepare(fake, main=main, temp=temp, unique=unique)
    run(kf.temp_to_main, fake, "d", "c")
    inserted = fake.calls_to("d.c.insert_many")
    inserted = inserted[0].arg if inserted else []
    # Each moved document is a temp document as it was, `_id` and all, newest first.
    assert without_id(inserted) == moved
    by_id = {d["_id"]: d for d in temp}
    assert [by_id[d["_id"]] for d in inserted] == inserted
    assert ids(inserted) == sorted(ids(inserted), reverse=True)
    assert ids(fake.docs("d", "c")) == main_left + [d["_id"] for d in inserted]
    assert fake.docs("d", "_temp_c") == []


# ---- failures -------------------------------------------------------------------------

@pytest.mark.parametrize("value", [[1, 2], {"x": 1}], ids=["list", "document"])
def test_unhashable_key_fails_before_writing(fake, run, value):
    main, temp = [{"_id": 1, "a": 1}], [{"_id": 10, "a": 1}, {"_id": 11, "a": value}]
    prepare(fake, main=main, temp=temp, unique=[["a"]])
    before = state(fake, "c", "_temp_c")
    err, cause = failure(run, kf.temp_to_main, fake, "d", "c")
    assert str(err) == "Can not insert temp to main for 'c'!"
    assert type(cause) is TypeError and "unhashable" in str(cause)
    assert fake.names() == OPEN + ["d._manage_c.find"] + SCAN_TEMP + FAILED
    assert state(fake, "c", "_temp_c") == before


@pytest.mark.parametrize("op, message", [
    (kf.temp_to_main, "Can not insert temp to main for '{}'!"),
    (kf.refresh_archive, "Can not refresh archive for '{}'!"),
], ids=["merge", "refresh"])
@pytest.mark.parametrize("db, coll, inner", [
    ("nodb", "c", "can not access 'nodb'!"),
    ("d", "other", "can not access 'other'!"),
])
def test_access_refused(fake, run, op, message, db, coll, inner):
    prepare(fake, temp=[{"_id": 10, "a": 1, "__index__": 1}], unique=[["a"]], archive_unique=[["a"]])
    err, cause = failure(run, op, fake, db, coll)
    assert str(err) == message.format(coll)
    assert chain(cause) == [("RuntimeError", inner)]
    assert fake.names() == OPEN[:3] + OPEN[3:] * (db == "d") + FAILED
    assert len(fake.docs("d", "_temp_c")) == 1


@pytest.mark.parametrize("fault, main_left, temp_left", [
    # Nothing deleted yet: everything where it was.
    ("d.c.drop_indexes", [1, 2], 2),
    # The replaced main document is gone, its successor is still in the temp
    # companion: no version is lost, the merge can be run again.
    ("d.c.insert_many", [2], 2),
    ("d._temp_c.bulk_write", [2, "new"], 2),
])
def test_failure_part_way_loses_no_version(fake, run, fault, main_left, temp_left):
    prepare(fake, main=[{"_id": 1, "a": 1, "v": "m1"}, {"_id": 2, "a": 2, "v": "m2"}],
            temp=[{"_id": 10, "a": 1, "v": "t1"}, {"_id": 11, "a": 3, "v": "t3"}], unique=[["a"]])
    fake.fail(fault, OperationFailure("boom"))
    err, cause = failure(run, kf.temp_to_main, fake, "d", "c")
    assert str(err) == "Can not insert temp to main for 'c'!"
    main = fake.docs("d", "c")
    assert [d["_id"] if d["_id"] in (1, 2) else "new" for d in main][:len(main_left)] == main_left
    assert len(fake.docs("d", "_temp_c")) == temp_left
    # Every newest version is still somewhere.
    everywhere = {d["v"] for d in main + fake.docs("d", "_temp_c")}
    assert {"m2", "t1", "t3"} <= everywhere
