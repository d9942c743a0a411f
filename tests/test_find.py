"""The newest-document check (_check_newest_unique) and the combined find,
against the recording fake."""

import asyncio

import pytest
from bson import ObjectId
from pymongo.errors import OperationFailure

from kestrel import functions as kf
from test_indexes import OPEN
from test_merge import ids, prepare
from test_rules import chain

T, M = "d._temp_c", "d.c"


def queries(fake):
    """(collection, filter) of every find, and whether each was sorted newest first."""
    finds = [c for c in fake.calls if c.method == "find" and c.target in (T, M)]
    sorts = [c for c in fake.calls if c.method == "sort" and c.target in (T, M)]
    assert [s.args for s in sorts] == [([("_id", -1)],)] * len(finds)
    return [(c.target, c.arg) for c in finds]


def check(fake, run, ref, rank, rules):
    db = fake["d"]
    label = (rank, ref["_id"])
    visited = {label}
    result = run(kf._check_newest_unique, db["c"], db["_temp_c"], label, ref, rules, visited)
    return result, visited


# ---- the newest-document check ------------------------------------------------------------

A1T, A1M = (T, {"a": 1}), (M, {"a": 1})
B2T, B2M = (T, {"b": 2}), (M, {"b": 2})


@pytest.mark.parametrize("main, temp, rules, ref, answer, walk", [
    # No rules: true at once, nothing read.
    ([], [{"_id": 1, "a": 1}, {"_id": 2, "a": 1}], [], (1, 1), {(1, 1)}, []),
    # Lacking a field of every rule: no equivalents.
    ([], [{"_id": 1, "a": 1}, {"_id": 2, "a": 1, "b": 1}], [{"a", "b"}, {"c"}], (1, 1), {(1, 1)}, []),
    # A newer equivalent in the temp companion outranks a temp document.
    ([], [{"_id": 1, "a": 1}, {"_id": 2, "a": 1}], [{"a"}], (1, 1), None, [A1T]),
    # Main equivalents never outrank a temp document, whatever their `_id`;
    # each is expanded once, the newest first.
    ([{"_id": 5, "a": 1}, {"_id": 9, "a": 1}], [{"_id": 1, "a": 1}], [{"a"}], (1, 1),
     {(1, 1), (0, 9), (0, 5)}, [A1T, A1M, A1T, A1M, A1T, A1M]),
    # Any temp equivalent outranks a main document.
    ([{"_id": 9, "a": 1}], [{"_id": 1, "a": 1}], [{"a"}], (0, 9), None, [A1T]),
    # The newer of two main equivalents: the older is visited and expanded.
    ([{"_id": 1, "a": 1}, {"_id": 2, "a": 1}], [], [{"a"}], (0, 2), {(0, 2), (0, 1)},
     [A1T, A1M, A1T, A1M]),
    # Transitive: X equals the reference on a, the newer Y equals X on b only.
    ([{"_id": 5, "a": 1}, {"_id": 3, "a": 1, "b": 2}, {"_id": 8, "b": 2}], [], [{"a"}, {"b"}], (0, 5),
     None, [A1T, A1M, A1T, A1M, B2T, B2M]),
    # Reached under two rules: expanded once.
    ([], [{"_id": 10, "a": 1, "b": 2}, {"_id": 5, "a": 1, "b": 2}], [{"a"}, {"b"}], (1, 10),
     {(1, 10), (1, 5)}, [A1T, A1T, A1M, B2T, B2M, A1M, B2T, B2M]),
    # The first outranking document ends the whole walk: no main pass of b at
    # X's level, and nothing more at the reference's level (its rule c).
    ([{"_id": 5, "a": 1, "c": 9}, {"_id": 3, "a": 1, "b": 2}], [{"_id": 1, "b": 2}],
     [{"a"}, {"b"}, {"c"}], (0, 5), None, [A1T, A1M, A1T, A1M, B2T]),
], ids=["no-rules", "no-fields", "newer-temp", "main-under-temp", "temp-over-main", "older-main",
        "transitive", "two-rules-once", "early-exit"])
def test_check(fake, run, main, temp, rules, ref, answer, walk):
    prepare(fake, main=main, temp=temp)
    docs = {(0, d["_id"]): d for d in main} | {(1, d["_id"]): d for d in temp}
    result, visited = check(fake, run, docs[ref], ref[0], rules)
    if answer is None:
        assert result == (False, None)
    else:
        assert result == (True, answer) and result[1] is visited
    assert queries(fake) == walk
    assert all(c.method in ("find", "sort") for c in fake.calls)  # reads only, no session


def test_check_follows_a_long_chain(fake_pymongo, run):
    """Each document is equivalent only to its neighbours (alternately under u
    and v); the one newer document sits at the far end of the chain."""
    n = 300
    main = [{"_id": k, "u": k // 2, "v": (k + 1) // 2} for k in range(n)]
    prepare(fake_pymongo, main=main, temp=[{"_id": 0, "u": -1, "v": 0}])
    result, visited = check(fake_pymongo, run, main[-1], 0, [{"u"}, {"v"}])
    assert result == (False, None)
    assert visited == {(0, k) for k in range(n)} | {(1, 0)}

    fake_pymongo._coll("d", "_temp_c").docs.clear()
    result, visited = check(fake_pymongo, run, main[-1], 0, [{"u"}, {"v"}])
    assert result == (True, {(0, k) for k in range(n)})


@pytest.mark.parametrize("ref_id, other_id", [(ObjectId(), 5), (5, ObjectId())])
def test_check_lets_unorderable_ids_fail(fake, run, ref_id, other_id):
    prepare(fake, temp=[{"_id": ref_id, "a": 1}, {"_id": other_id, "a": 1}])
    with pytest.raises(TypeError, match="not supported between"):
        check(fake, run, {"_id": ref_id, "a": 1}, 1, [{"a"}])


# ---- find ------------------------------------------------------------------------

MAIN = [{"_id": 1, "a": 1, "m": 1}, {"_id": 2, "a": 2, "m": 1}, {"_id": 3, "a": 3, "m": 0}]


@pytest.mark.parametrize("unique, main, temp, query, found", [
    # No rules: temp documents first, then main documents, each newest first.
    ([], MAIN, [{"_id": 11, "a": 1}, {"_id": 13, "a": 9}, {"_id": 12, "a": 2}], {},
     [13, 12, 11, 3, 2, 1]),
    ([], MAIN, [{"_id": 11, "a": 1}], {"a": 7}, []),
    # Temp and main equal on a rule, both matching: only the temp document.
    ([["a"]], MAIN, [{"_id": 11, "a": 1}], {}, [11, 3, 2]),
    # Two temp documents equal on a rule: only the greater `_id`.
    ([["a"]], [], [{"_id": 11, "a": 1, "m": 1}, {"_id": 12, "a": 1, "m": 1}], {"m": 1}, [12]),
    # The newer does not match, the older does: nothing for the pair.
    ([["a"]], [], [{"_id": 11, "a": 1, "m": 1}, {"_id": 12, "a": 1, "m": 0}], {"m": 1}, []),
    ([["a"]], [{"_id": 1, "a": 1, "m": 1}], [{"_id": 11, "a": 1, "m": 0}], {"m": 1}, []),
    # Missing a field of every rule: always returned.
    ([["a", "b"]], [{"_id": 1, "a": 1}], [{"_id": 11, "a": 1}, {"_id": 12, "a": 1}], {}, [12, 11, 1]),
    # Newer main equivalent through a second rule, reached from a temp-free walk.
    ([["a"], ["b"]], [{"_id": 1, "a": 1}, {"_id": 2, "a": 1, "b": 5}, {"_id": 3, "b": 5}], [], {"a": 1}, []),
], ids=["order", "no-match", "temp-wins", "newest-temp", "newer-unmatched", "temp-unmatched",
        "missing-field", "transitive"])
def test_find(fake, run, unique, main, temp, query, found):
    prepare(fake, main=main, temp=temp, unique=unique)
    result = run(kf.find, fake, "d", "c", query)
    assert type(result) is list and ids(result) == found
    every = {(d["_id"]): d for d in main + temp}
    assert all(d == every[d["_id"]] for d in result)  # whole documents, `_id` kept
    assert not [n for n in fake.names() if n.startswith(("session", "txn")) or "insert" in n
                or "delete" in n]


def test_find_calls_the_check_through_module_globals(fake, run, monkeypatch):
    prepare(fake, main=[{"_id": 1, "k": 1}, {"_id": 2, "k": 0}], temp=[{"_id": 11, "k": 1}],
            unique=[["a", "b"], ["c"]])
    seen = []

    async def check(**kwargs):
        seen.append(kwargs)
        kwargs["eqivalent_set"].add("touched")
        return (kwargs["doc"]["k"] == 1, None)
    monkeypatch.setattr(kf, "_check_newest_unique", check)
    result = run(kf.find, fake, "d", "c", {})
    assert ids(result) == [11, 1]
    assert fake.names() == OPEN[2:] + ["d._manage_c.find", T + ".find", T + ".sort", M + ".find", M + ".sort"]
    assert fake.calls_to("d._manage_c.find")[0].arg == {"type": "unique"}
    assert [list(k) for k in seen] == [["collection", "temp_collection", "doc_id", "doc", "uniques",
                                        "eqivalent_set"]] * 3
    assert [k["doc_id"] for k in seen] == [(1, 11), (0, 2), (0, 1)]
    assert [k["eqivalent_set"] for k in seen] == [{(1, 11), "touched"}, {(0, 2), "touched"},
                                                  {(0, 1), "touched"}]  # a fresh set each time
    assert all(k["uniques"] == [{"a", "b"}, {"c"}] for k in seen)
    assert [(k["collection"].name, k["temp_collection"].name) for k in seen] == [("c", "_temp_c")] * 3
    assert [k["doc"] for k in seen] == [{"_id": 11, "k": 1}, {"_id": 2, "k": 0}, {"_id": 1, "k": 1}]


@pytest.mark.parametrize("db, coll, inner", [
    ("nodb", "c", "can not access 'nodb'!"),
    ("d", "other", "can not access 'other'!"),
])
def test_find_access_refused(fake, run, db, coll, inner):
    prepare(fake, temp=[{"_id": 11}])
    with pytest.raises(RuntimeError) as err:
        run(kf.find, fake, db, coll, {})
    assert chain(err.value) == [("RuntimeError", "Can not find query!"), ("RuntimeError", inner)]


@pytest.mark.parametrize("fault", ["d._manage_c.find", "d.c.find"])  # the latter inside a check
def test_find_failures(fake, run, fault):
    prepare(fake, main=[{"_id": 1, "a": 1}], temp=[{"_id": 11, "a": 2}], unique=[["a"]])
    fake.fail(fault, OperationFailure("boom"))
    with pytest.raises(RuntimeError, match="^Can not find query!$") as err:
        run(kf.find, fake, "d", "c", {})
    assert type(err.value.__cause__) is OperationFailure


def test_find_failure_inside_the_check(fake, run):
    prepare(fake, temp=[{"_id": ObjectId(), "a": 1}, {"_id": 5, "a": 1}], unique=[["a"]])
    with pytest.raises(RuntimeError, match="^Can not find query!$") as err:
        run(kf.find, fake, "d", "c", {})
    assert type(err.value.__cause__) is TypeError


@pytest.mark.parametrize("error", [asyncio.CancelledError, KeyboardInterrupt])
def test_find_lets_interruptions_through(fake, run, error):
    prepare(fake, temp=[{"_id": 11}])
    fake.fail("d._temp_c.find", error())
    with pytest.raises(error):
        run(kf.find, fake, "d", "c", {})
