"""The archive refresh (refresh_archive), against the recording fake, and its
clustering against the plain transcription kept in bench/reference_cluster.py."""

import asyncio
import copy
import os
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pymongo import DeleteMany
from pymongo.errors import OperationFailure

from fake_driver import FakeClient, deleted_ids
from kestrel import functions as kf
from test_indexes import FAILED, OK, OPEN, failure
from test_merge import ACTIVE, DEACTIVE, DELETE, DELETE_NONE, SCAN_TEMP, prepare, state, without_id
from test_rules import chain, spy  # noqa: F401  (spy is a fixture)

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
from reference_cluster import reference_cluster  # noqa: E402

ARCHIVE_CHECK = ["client.list_database_names", "db:d.list_collection_names"]
READS = OPEN + ARCHIVE_CHECK + ["d._manage_c.find"] + SCAN_TEMP + ["d.c.find", "d.c.sort"]
ASK = ["d._temp_archive_c.find"]  # which versions read the archive holds already
INSERT_ARCHIVE = OPEN + ["d._temp_archive_c.insert_many"] + OK
ALL = ("c", "_temp_c", "archive_c", "_temp_archive_c")


def written(fake, originals):
    """(moved into main, deleted from main, handed to the archive), the
    documents without `_id`; each of them went as it was read, `_id` and all."""
    moved = fake.calls_to("d.c.insert_many")
    archived = fake.calls_to("d._temp_archive_c.insert_many")
    (deleted,) = [c for c in fake.calls if c.name in ("d.c.delete_many", "d.c.bulk_write")]
    moved, archived = moved[0].arg if moved else [], archived[0].arg if archived else []
    by_id = {d["_id"]: d for d in originals}
    assert [by_id[d["_id"]] for d in moved + archived] == moved + archived
    return without_id(moved), deleted_ids(deleted), without_id(archived)


def test_calls_in_order(fake, run, spy):
    prepare(fake, main=[{"_id": 1, "a": 1, "__index__": 3}, {"_id": 2, "a": 2, "__index__": 1}],
            temp=[{"_id": 10, "a": 1, "__index__": 5}, {"_id": 11, "a": 9}], archive_unique=[["a"]])
    for name in ("insert_temp", "deactive_index", "Delete_doc_main", "active_index"):
        spy(name)
    run(kf.refresh_archive, fake, "d", "c")
    # The archive receives its versions before anything leaves the main collection.
    assert fake.names() == READS + ASK + INSERT_ARCHIVE + DEACTIVE + DELETE + ["d.c.insert_many"] + ACTIVE + [
        "d._temp_c.bulk_write"] + OK
    # Temp versions as the scan read them, then main ones.
    assert fake.calls_to("d._temp_archive_c.find")[0].arg == {"_id": {"$in": [10, 2, 1]}}
    assert fake.calls_to("d._manage_c.find")[0].arg == {"type": "archive_unique"}
    assert [c.args for c in fake.calls if c.method == "find" and c.target in ("d.c", "d._temp_c")] == [({},), ({},)]
    assert [c.args for c in fake.calls if c.method == "sort"] == [([("_id", -1)],)] * 2
    target = {"client": fake, "db_name": "d", "collection_name": "c"}
    archived = spy.seen[0][2].pop("docs")
    assert archived == [{"_id": 1, "a": 1, "__index__": 3}]  # under its own `_id`
    assert spy.seen == [
        ("insert_temp", (), {**target, "collection_name": "archive_c"}),
        ("deactive_index", (), target),
        ("Delete_doc_main", (), {**target, "ids": [1]}),
        ("active_index", (), target)]
    # Exactly the temp documents the scan read, newest first.
    assert fake.calls_to("d._temp_c.bulk_write")[0].args == ([DeleteMany({"_id": {"$in": [11, 10]}})],)
    assert fake.docs("d", "c") == [{"_id": 2, "a": 2, "__index__": 1}, {"_id": 11, "a": 9},
                                   {"_id": 10, "a": 1, "__index__": 5}]
    assert fake.docs("d", "_temp_c") == []
    assert fake.docs("d", "_temp_archive_c") == [{"_id": 1, "a": 1, "__index__": 3}]


def I(i, **fields):  # noqa: E743  a version: `__index__` i plus fields
    return {**fields, "__index__": i}


@pytest.mark.parametrize("rules, main, temp, moved, deleted, archived", [
    # No rules: temp documents all move (without `__index__` first), main untouched.
    ([], [{"_id": 1, **I(1, a=1)}], [{"_id": 10, **I(5, a=1)}, {"_id": 11, "a": 1}],
     [{"a": 1}, I(5, a=1)], [], []),
    # Without `__index__` a temp document moves even when it equals a main one.
    ([["a"]], [{"_id": 1, **I(3, a=1)}], [{"_id": 10, "a": 1}], [{"a": 1}], [], []),
    ([["a"]], [{"_id": 1, **I(3, a=1)}], [{"_id": 10, **I(5, a=1)}], [I(5, a=1)], [1], [I(3, a=1)]),
    ([["a"]], [{"_id": 1, **I(5, a=1)}], [{"_id": 10, **I(3, a=1)}], [], [], [I(3, a=1)]),
    # Ties: the version examined later wins over the survivor it meets, so
    # the older of two temp versions, a main version over a temp one, and the
    # older of two main versions.
    ([["a"]], [], [{"_id": 10, **I(4, a=1, n="old")}, {"_id": 11, **I(4, a=1, n="new")}],
     [I(4, a=1, n="old")], [], [I(4, a=1, n="new")]),
    ([["a"]], [{"_id": 1, **I(4, a=1)}], [{"_id": 10, **I(4, a=1, t=1)}], [], [], [I(4, a=1, t=1)]),
    ([["a"]], [{"_id": 1, **I(4, a=1, n="old")}, {"_id": 2, **I(4, a=1, n="new")}], [], [], [2],
     [I(4, a=1, n="new")]),
    # ... and of two survivors met at once, the lower cluster number (the one
    # examined first) wins.
    ([["a"], ["b"]], [], [{"_id": 10, **I(2, a=1, b=1)}, {"_id": 11, **I(4, b=1)}, {"_id": 12, **I(4, a=1)}],
     [I(4, a=1)], [], [I(2, a=1, b=1), I(4, b=1)]),
    # One document meets a cluster under each rule: all three merge.
    ([["a"], ["b"]], [{"_id": 1, **I(5, a=1, b=1)}], [{"_id": 10, **I(2, a=1)}, {"_id": 11, **I(7, b=1)}],
     [I(7, b=1)], [1], [I(5, a=1, b=1), I(2, a=1)]),
    # Transitive: the key b=2 was claimed by a cluster that merged since; it
    # leads to the merged one.
    ([["a"], ["b"]], [{"_id": 1, **I(9, b=2)}], [{"_id": 10, **I(1, a=1)}, {"_id": 11, **I(2, a=1, b=2)}],
     [], [], [I(1, a=1), I(2, a=1, b=2)]),
    # A document without every field of a rule is its own cluster.
    ([["a", "b"]], [{"_id": 1, **I(3, a=1, b=1)}], [{"_id": 10, **I(1, a=1)}, {"_id": 11, **I(2, a=1, b=1)}],
     [I(1, a=1)], [], [I(2, a=1, b=1)]),
    # Keys compare as the interpreter compares them: 1 and 1.0 are one key.
    ([["a"]], [{"_id": 1, **I(1, a=1.0)}], [{"_id": 10, **I(2, a=1)}], [I(2, a=1)], [1], [I(1, a=1.0)]),
    # Main documents without `__index__` are left alone.
    ([["a"]], [{"_id": 1, "a": 1}], [{"_id": 10, **I(2, a=1)}], [I(2, a=1)], [], []),
], ids=["no-rules", "no-index", "temp-newer", "main-newer", "tie-temp", "tie-main-temp", "tie-main",
        "tie-survivors", "two-rules-merge", "transitive", "missing-field", "int-float", "main-no-index"])
def test_refresh_outcome(fake, run, rules, main, temp, moved, deleted, archived):
    prepare(fake, main=main, temp=temp, archive_unique=rules)
    run(kf.refresh_archive, fake, "d", "c")
    assert written(fake, main + temp) == (moved, deleted, archived)
    assert ("d.c.insert_many" in fake.names()) == bool(moved)
    assert ("d._temp_archive_c.insert_many" in fake.names()) == bool(archived)
    kept, after = [d for d in main if d["_id"] not in deleted], fake.docs("d", "c")
    assert after[:len(kept)] == kept and without_id(after[len(kept):]) == moved
    assert without_id(fake.docs("d", "_temp_archive_c")) == archived
    assert fake.docs("d", "_temp_c") == []


def test_nothing_to_archive_or_move(fake, run):
    prepare(fake, main=[{"_id": 1, **I(1, a=1)}], archive_unique=[["a"]])
    run(kf.refresh_archive, fake, "d", "c")
    assert fake.names() == READS + ASK + DEACTIVE + DELETE_NONE + ACTIVE + ["d._temp_c.delete_many"] + OK
    assert fake.calls_to("d.c.delete_many")[0].arg == {"_id": {"$in": []}}
    assert fake.calls_to("d._temp_c.delete_many")[0].arg == {"_id": {"$in": []}}


def test_archive_collection_missing(fake, run):
    prepare(fake, main=[{"_id": 1, **I(1, a=1)}], temp=[{"_id": 10, **I(2, a=1)}], archive_unique=[["a"]],
            archive=False)
    before = state(fake, *ALL)
    err, cause = failure(run, kf.refresh_archive, fake, "d", "c")
    assert str(err) == "Can not refresh archive for 'c'!"
    assert chain(cause) == [("RuntimeError", "can not access 'archive_c'!")]
    assert cause.__suppress_context__ and cause.__context__ is None
    assert fake.names() == OPEN + ARCHIVE_CHECK + FAILED
    assert state(fake, *ALL) == before


def test_archive_listing_refused_goes_on(fake, run):
    prepare(fake, main=[{"_id": 1, **I(1, a=1)}], temp=[{"_id": 10, **I(2, a=1)}], archive_unique=[["a"]])
    fake.fail("db:d.list_collection_names", OperationFailure("not authorized", 13), nth=2)
    run(kf.refresh_archive, fake, "d", "c")
    assert without_id(fake.docs("d", "_temp_archive_c")) == [I(1, a=1)]


@pytest.mark.parametrize("temp, cause", [
    ([{"_id": 10, **I(1, a=[1, 2])}], "unhashable type: 'list'"),
    ([{"_id": 10, **I(1, a={"x": 1})}], "unhashable type: 'dict'"),
    ([{"_id": 10, **I(1, a=1)}, {"_id": 11, **I("2", a=1)}], "not supported between"),
], ids=["list-key", "document-key", "index-types"])
def test_bad_values_fail_before_writing(fake, run, temp, cause):
    prepare(fake, main=[{"_id": 1, **I(1, a=1)}], temp=temp, archive_unique=[["a"]])
    before = state(fake, *ALL)
    err, error = failure(run, kf.refresh_archive, fake, "d", "c")
    assert str(err) == "Can not refresh archive for 'c'!"
    assert type(error) is TypeError and cause in str(error)
    assert fake.names()[-2:] == FAILED and not [n for n in fake.names() if "insert" in n or "delete" in n]
    assert state(fake, *ALL) == before


# ---- failures part-way: no version may be lost ---------------------------------------

VERSIONS = dict(main=[{"_id": 1, **I(1, a=1, v="m1")}, {"_id": 2, **I(9, a=2, v="m2")}],
                temp=[{"_id": 10, **I(5, a=1, v="t1")}, {"_id": 11, **I(3, a=2, v="t2")},
                      {"_id": 12, "v": "t3"}])


def where(fake):
    """Which collections hold each version."""
    places = {}
    for coll in ("c", "_temp_c", "_temp_archive_c"):
        for d in fake.docs("d", coll):
            places.setdefault(d["v"], []).append(coll)
    return places


# ---- documents that share an `_id` -------------------------------------------------------

X = {"_copy_of": 1}  # where a version goes whose own `_id` is another document's


@pytest.mark.parametrize("main, temp, archived_before, main_after, archive_after", [
    # The same document in both (a copy a refresh inserted, or a find loaded
    # back as it was): one version, the temp document's, which moves.
    ([{"_id": 1, **I(3, a=1)}], [{"_id": 1, **I(3, a=1)}], [],
     [{"_id": 1, **I(3, a=1)}], []),
    # Changed, and newer: the main version is archived under {"_copy_of": 1},
    # the temp one takes `_id` 1 in the main collection.
    ([{"_id": 1, **I(3, a=1)}], [{"_id": 1, **I(5, a=1, v="new")}], [],
     [{"_id": 1, **I(5, a=1, v="new")}], [{"_id": X, **I(3, a=1)}]),
    # Changed, and older: archived under its own `_id`; the main one stays.
    ([{"_id": 1, **I(3, a=1)}], [{"_id": 1, **I(2, a=1, v="old")}], [],
     [{"_id": 1, **I(3, a=1)}], [{"_id": 1, **I(2, a=1, v="old")}]),
    # Another entity under the same `_id`: both stay, the temp one under {"_copy_of": 1}.
    ([{"_id": 1, **I(3, a=1)}], [{"_id": 1, **I(2, a=2)}], [],
     [{"_id": 1, **I(3, a=1)}, {"_id": X, **I(2, a=2)}], []),
    # The archive holds another document under `_id` 1 already: the copy goes under {"_copy_of": 1}.
    ([{"_id": 1, **I(3, a=1)}, {"_id": 2, **I(5, a=1)}], [], [{"_id": 1, "v": "earlier"}],
     [{"_id": 2, **I(5, a=1)}], [{"_id": 1, "v": "earlier"}, {"_id": X, **I(3, a=1)}]),
], ids=["copy", "changed-newer", "changed-older", "other-entity", "archive-holds-another"])
def test_versions_under_one_id(fake, run, main, temp, archived_before, main_after, archive_after):
    prepare(fake, main=main, temp=temp, archive_unique=[["a"]])
    fake.seed("d", "_temp_archive_c", archived_before)
    fake.clear()
    run(kf.refresh_archive, fake, "d", "c")
    assert sorted(fake.docs("d", "c"), key=repr) == sorted(main_after, key=repr)
    assert sorted(fake.docs("d", "_temp_archive_c"), key=repr) == sorted(archive_after, key=repr)
    assert fake.docs("d", "_temp_c") == []
    # Run again, nothing changes: every copy is recognised where it went.
    before = state(fake, *ALL)
    fake.seed("d", "_temp_c", temp)
    run(kf.refresh_archive, fake, "d", "c")
    assert state(fake, *ALL) == before


def test_refresh_places_every_version_once(fake, run):
    prepare(fake, archive_unique=[["a"]], **VERSIONS)
    run(kf.refresh_archive, fake, "d", "c")
    assert where(fake) == {"m1": ["_temp_archive_c"], "m2": ["c"], "t1": ["c"], "t2": ["_temp_archive_c"],
                           "t3": ["c"]}


def test_failed_archive_insertion_changes_nothing(fake, run):
    prepare(fake, archive_unique=[["a"]], **VERSIONS)
    before = state(fake, *ALL)
    fake.fail("d._temp_archive_c.insert_many", OperationFailure("archive full"))
    err, cause = failure(run, kf.refresh_archive, fake, "d", "c")
    assert chain(err) == [("RuntimeError", "Can not refresh archive for 'c'!"),
                          ("RuntimeError", "Can not insert '_temp_archive_c'!"), ("OperationFailure", "archive full")]
    assert state(fake, *ALL) == before
    assert sum(len(docs) for docs in before.values()) == 5


@pytest.mark.parametrize("fault, nth", [
    ("d.c.drop_indexes", 1),        # deactive_index
    ("d.c.bulk_write", 1),          # Delete_doc_main
    ("d.c.insert_many", 1),         # the move into the main collection
    ("d._manage_c.find", 2),        # active_index reading its records
    ("d._temp_c.bulk_write", 1),    # the clearing of the temp companion
])
def test_later_failure_loses_no_version(fake, run, fault, nth):
    prepare(fake, archive_unique=[["a"]], **VERSIONS)
    fake.fail(fault, OperationFailure("boom"), nth=nth)
    err, _ = failure(run, kf.refresh_archive, fake, "d", "c")
    assert str(err) == "Can not refresh archive for 'c'!"
    places = where(fake)
    assert sorted(places) == ["m1", "m2", "t1", "t2", "t3"]  # each version somewhere
    assert places["m1"][-1] == "_temp_archive_c" and places["t2"][-1] == "_temp_archive_c"


# ---- the clusters against the plain transcription ------------------------------------

VALUES = st.sampled_from([0, 1, 2, 1.0, "x", None])
DOC = st.fixed_dictionaries({}, optional={"a": VALUES, "b": VALUES, "c": VALUES,
                                          "__index__": st.sampled_from([0, 1, 2, 3, 2.5])})
RULES = st.lists(st.sampled_from([["a"], ["b"], ["c"], ["a", "b"], ["b", "c"], ["a", "b", "c"]]),
                max_size=3)  # a rule without fields is refused (see test_reliability)


@settings(max_examples=150, deadline=None)
@given(main=st.lists(DOC, max_size=25), temp=st.lists(DOC, max_size=25), rules=RULES)
def test_clusters_match_the_transcription(main, temp, rules):
    main = [{"_id": i, **d} for i, d in enumerate(main)]
    temp = [{"_id": 100 + i, **d} for i, d in enumerate(temp)]
    fake = FakeClient("pymongo")
    prepare(fake, main=main, temp=temp, archive_unique=rules)
    asyncio.run(kf.refresh_archive(fake, "d", "c"))
    expected = reference_cluster(copy.deepcopy(temp[::-1]), copy.deepcopy(main[::-1]),
                                 [set(keys) for keys in rules])
    assert written(fake, main + temp) == (expected["temp_to_main_docs"], expected["main_del_ids"],
                                          expected["corrected_archive_docs"])
