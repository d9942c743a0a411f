"""Reliability of the composite operations.

1. Faults: every driver call that an operation makes is failed in turn (one
   test per call position, both client flavours). The caller must receive the
   operation's own RuntimeError whose cause chain ends in the injected error,
   the state left must be exactly the state of a clean run just before that
   call (nothing rolled back, nothing done after the failure), and the merges
   must lose no document.
2. Interrupts and cancellation: the same positions with an error that is not
   an Exception, and with the task cancelled while that call is pending: the
   error reaches the caller unchanged, every session is ended and no driver
   call but transaction aborts and session ends follows.
3. Hostile and malformed input: a clear error and nothing written.
4. Against the server: the per-collection roles as their users meet them.
"""

from __future__ import annotations

import asyncio
import contextlib
import copy
import functools
import re
import secrets
import sys
import types
from dataclasses import dataclass, field
from decimal import Decimal

import pytest
from bson import ObjectId
from bson.errors import InvalidDocument
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from pymongo.errors import InvalidName, OperationFailure

import kestrel.functions as kf
import kestrel.users as ku
from fake_driver import BLOCK, FakeClient

DB, C = "d", "people"
TEMP, MANAGE, ARCHIVE = "_temp_" + C, "_manage_" + C, "archive_" + C
ARCHIVE_TEMP = "_temp_" + ARCHIVE
AGE = "[('age', 1), ('location', '2dsphere')]"
TEXT = "[('name', 'text'), ('family', 'text')], weights={'name':10, 'family':2}"
INDEX = {"age_index": AGE, "b_index": "[('b', -1)], unique=True, sparse=True"}
UNIQUE = {"u1": ["name", "family"], "u2": ["k"]}
ARCHIVE_UNIQUE = {"a1": ["name", "family"], "a2": ["k"]}
SAME = re.compile(r"There is a same index as '.*'\. please delete that index and insert '.*' again\.", re.S)
REFUSED = re.compile(r"index .*: only literal values are allowed in an index specification", re.S)
LISTINGS = ("client.list_database_names", f"db:{DB}.list_collection_names")
WRITES = ("create_collection", "command", "insert_one", "insert_many", "delete_many", "bulk_write", "drop",
          "create_indexes", "drop_index", "drop_indexes")
EXITS = {"txn.abort", "session.end"}


def oid(i: int) -> ObjectId:
    return ObjectId("%024x" % i)


# Versions with overlaps under both kinds of rules (u1/a1: name and family,
# u2/a2: k), documents without rule fields and without __index__; `tag`
# names each document so that it can be followed wherever it moves.
TEMP_DOCS = [
    {"_id": oid(1), "tag": "t1", "name": "ali", "family": "x", "k": 1, "__index__": 1},
    {"_id": oid(2), "tag": "t2", "name": "ali", "family": "x", "k": 2, "__index__": 3},
    {"_id": oid(3), "tag": "t3", "k": 3, "__index__": 2},
    {"_id": oid(4), "tag": "t4", "other": 1},
    {"_id": oid(5), "tag": "t5", "name": "bob", "family": "y", "__index__": 5},
]
MAIN_DOCS = [
    {"_id": oid(11), "tag": "m1", "name": "ali", "family": "x", "k": 9, "__index__": 2},
    {"_id": oid(12), "tag": "m2", "k": 3, "__index__": 7},
    {"_id": oid(13), "tag": "m3", "name": "bob", "family": "y", "k": 2, "__index__": 4},
    {"_id": oid(14), "tag": "m4", "plain": True},
    {"_id": oid(15), "tag": "m5", "name": "cem", "family": "z", "__index__": 1},
]


# ---- the fake's storage: copy, load, compare -------------------------------------

def storage(fake: FakeClient):
    """A deep copy of everything the fake server holds."""
    dbs = {db: {name: (c.docs, c.indexes) for name, c in colls.items()}
           for db, colls in fake._dbs.items()}
    return copy.deepcopy((dbs, fake._roles, fake._users))


def load(fake: FakeClient, stored) -> FakeClient:
    dbs, roles, users = copy.deepcopy(stored)
    for db, colls in dbs.items():
        for name, (docs, indexes) in colls.items():
            coll = fake._coll(db, name, create=True)
            coll.docs, coll.indexes = docs, indexes
    fake._roles.update(roles)
    fake._users.update(users)
    return fake


NEW_ID = "<generated ObjectId>"


def normal(value, known: frozenset):
    """Order-sensitive, comparable form; ObjectIds made during a run (not in
    `known`) are all alike."""
    if isinstance(value, ObjectId):
        return value if value in known else NEW_ID
    if isinstance(value, dict):
        return tuple((k, normal(v, known)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return tuple(normal(v, known) for v in value)
    return value


def object_ids(value) -> set:
    if isinstance(value, ObjectId):
        return {value}
    if isinstance(value, dict):
        value = list(value.values())
    if isinstance(value, (list, tuple)):
        return set().union(*map(object_ids, value)) if value else set()
    return set()


def docs_of(stored, coll: str) -> list[dict]:
    return stored[0].get(DB, {}).get(coll, ([], []))[0]


class SnapshotFake(FakeClient):
    """Keeps a copy of the storage as it is just before each recorded call."""

    def __init__(self, flavor):
        super().__init__(flavor)
        self.before = []

    def _record(self, *args, **kwargs):
        self.before.append(storage(self))
        return super()._record(*args, **kwargs)


def build(steps) -> tuple:
    fake = FakeClient("pymongo", suspend=False)
    fake.seed(DB, "unrelated", [{"_id": oid(99), "keep": True}])
    for op, args in steps:
        asyncio.run(op(fake, DB, *args))
    return storage(fake)


@functools.cache
def start_state(kind: str):
    if kind == "fresh":
        return build([])

    async def seed_docs(fake, db):
        fake.seed(db, TEMP, TEMP_DOCS)
        fake.seed(db, C, MAIN_DOCS)
    return build([(kf.create_collection, (C, INDEX, UNIQUE, ARCHIVE_UNIQUE)),
                  (kf.create_collection, (ARCHIVE, {}, {}, {})),
                  (ku.create_user, ("reader", "pw", [C + "_R"])),
                  (seed_docs, ())])


# ---- the scenarios ------------------------------------------------------------------

@dataclass(frozen=True)
class Scenario:
    op: str
    args: tuple
    start: str = "managed"
    merge: bool = False
    # Reads the operation overlaps: when a call fails, those already started
    # may still add their calls after it (never a write).
    overlapped: tuple = ()


SCENARIOS = {
    "create_collection": Scenario("create_collection", (C, INDEX, UNIQUE, ARCHIVE_UNIQUE), "fresh"),
    "insert_index": Scenario("insert_index", (C, {"bc_index": "[('b', 1), ('c', -1)], sparse=True",
                                                  "name_index": TEXT})),
    "insert_unique": Scenario("insert_unique", (C, {"u3": ["p", "q"], "u4": ["r"]})),
    "delete_unique": Scenario("delete_unique", (C, "u1")),
    "drop_collection": Scenario("drop_collection", (C,)),
    "compact": Scenario("compact", (C,)),
    "temp_to_main": Scenario("temp_to_main", (C,), merge=True, overlapped=(f"{DB}.{C}.find",)),
    "refresh_archive": Scenario("refresh_archive", (C,), merge=True),
}

# The failure message of every operation that the scenarios reach.
MESSAGES = {
    "create_collection": f"Can not create '{C}'!",
    "drop_collection": f"Can not drop '{C}'!",
    "compact": f"Can not compact '{C}'!",
    "insert_index": "Can not create indexes.",
    "delete_index": "Can not delete '_unique_u1'!",
    "deactive_index": "Can not deactive indexes of collection!",
    "active_index": "Can not active indexes of collection!",
    "insert_unique": "Can not create unique.",
    "delete_unique": "Can not delete unique 'u1'!",
    "insert_archive_unique": "Can not create archive_unique.",
    "insert_temp": f"Can not insert '_temp_{ARCHIVE}'!",
    "Delete_doc_main": f"Can not delete from '{C}'!",
    "temp_to_main": f"Can not insert temp to main for '{C}'!",
    "refresh_archive": f"Can not refresh archive for '{C}'!",
}
CALLEES = ["insert_index", "insert_unique", "insert_archive_unique", "delete_index",
           "deactive_index", "active_index", "Delete_doc_main", "insert_temp"]


class Halt(BaseException):
    """Not an Exception: like an interrupt, it must pass every handler unchanged."""


def drive(fake: FakeClient, sc: Scenario, op=None):
    """Run the scenario's operation; gives None or the error it raised."""
    op = op or getattr(kf, sc.op)

    async def main():
        try:
            # (a timeout scope, not wait_for: on 3.11 wait_for runs the operation in
            # a task of its own, whose interrupts the loop re-raises past this frame)
            async with asyncio.timeout(5):
                await op(fake, DB, *copy.deepcopy(sc.args))
        except BaseException as e:  # noqa: BLE001 - every kind is examined by the caller
            return e
    return asyncio.run(main())


@dataclass
class Clean:
    """A clean run of one scenario in one flavour."""
    names: list
    known: frozenset
    initial: tuple
    before: list                  # normal storage just before each call
    after: tuple                  # normal storage at the end
    expected: list                # per call: the messages its failure must carry
    start: tuple                  # the raw starting storage
    kept: dict = field(default_factory=dict)  # tag -> content, every document the run keeps


def chain(e) -> list:
    out = []
    while e is not None:
        out.append(e)
        e = e.__cause__
    return out


def content(doc) -> dict:
    return {k: v for k, v in doc.items() if k != "_id"}


def placed(stored) -> dict:
    """tag -> contents of the documents carrying it, in the main collection,
    the temp companion and the archive's temp companion."""
    out: dict = {}
    for coll in (C, TEMP, ARCHIVE_TEMP):
        for d in docs_of(stored, coll):
            if "tag" in d:
                out.setdefault(d["tag"], []).append(content(d))
    return out


@functools.cache
def clean_run(name: str, flavor: str) -> Clean | None:
    sc = SCENARIOS[name]
    start = start_state(sc.start)
    known = frozenset(object_ids(start))
    fake = load(SnapshotFake(flavor), start)
    entered = [(0, sc.op)]
    op = getattr(kf, sc.op)  # the operation itself, not the recorder put in its place

    def entering(callee, original):
        async def wrapper(**kwargs):
            entered.append((len(kwargs["client"].calls), callee))
            return await original(**kwargs)
        return wrapper

    with pytest.MonkeyPatch.context() as mp:
        for callee in CALLEES:
            mp.setattr(kf, callee, entering(callee, getattr(kf, callee)))
        outcome = drive(fake, sc, op)
    assert outcome is None, f"the clean run of {name} failed: {outcome!r}"

    # Which operations' protected regions hold each call: a session belongs to
    # the operation entered last before it starts; its own start and end lie
    # outside its region. insert_unique adds its own link around the index
    # insertion and the record write of each rule.
    names, stack, expected = fake.names(), [], []
    for i, call in enumerate(names):
        if call == "session.start":
            pos, op = entered.pop(0)
            assert pos <= i
            stack.append(op)
        raw = tuple(stack)
        region = raw[:-1] if call in ("session.start", "session.end") else raw
        messages = []
        for j, op in enumerate(region):
            messages.append(MESSAGES[op])
            if op == "insert_unique" and (len(raw) > j + 1 or call.endswith(".insert_one")):
                messages.append(SAME)
        expected.append(messages)
        if call == "session.end":
            stack.pop()
    assert stack == [] and entered == []

    after = storage(fake)
    before = {d["tag"]: content(d) for coll in (C, TEMP) for d in docs_of(start, coll)}
    now = placed(after)
    kept = {tag: c for tag, c in before.items() if c in now.get(tag, [])}
    return Clean(names, known, normal(start, known), [normal(s, known) for s in fake.before],
                 normal(after, known), expected, start, kept)


def fresh(name: str, flavor: str) -> FakeClient:
    return load(FakeClient(flavor), clean_run(name, flavor).start)


def positions():
    out = []
    for name in SCENARIOS:
        for flavor in ("motor", "pymongo"):
            clean = clean_run(name, flavor)
            out += [pytest.param(name, flavor, k, id=f"{name}-{flavor}-{k:02d}-{call}")
                    for k, call in enumerate(clean.names)]
    return out


POSITIONS = positions()


def assert_sessions_closed(fake: FakeClient):
    """Every session that started was ended, and every transaction that
    started was committed or aborted, each exactly once."""
    started = [c.sid for c in fake.calls_to("session.start") if c.fault is None]
    ended = [c.sid for c in fake.calls_to("session.end")]
    assert sorted(started) == sorted(ended)
    opened = [c.sid for c in fake.calls_to("txn.start") if c.fault is None or c.fault is BLOCK]
    closed = [c.sid for c in fake.calls_to("txn.commit") + fake.calls_to("txn.abort")]
    assert sorted(opened) == sorted(closed)


def assert_nothing_lost(clean: Clean, stored):
    """Every document that the clean run keeps (for the archive refresh: every
    document) is in the main collection, the temp companion or the archive's
    temp companion, with its content."""
    now = placed(stored)
    lost = [tag for tag, c in clean.kept.items() if c not in now.get(tag, [])]
    assert lost == []


def in_flight(fake: FakeClient, k: int, clean: Clean, sc: Scenario, end=None) -> list:
    """The calls after call k (up to `end`) made by reads already started
    when it failed: the overlapped reads that the clean run makes next, in
    its order, reads only."""
    reads = [n for n in fake.names()[k + 1:end] if n in sc.overlapped]
    assert reads == clean.names[k + 1:k + 1 + len(reads)], fake.names()[k + 1:end]
    assert all(n.rsplit(".", 1)[1] == "find" for n in reads)
    return reads


def assert_only_exits_after(fake: FakeClient, k: int, clean: Clean, sc: Scenario):
    """After call k only transactions were aborted and sessions ended; a
    cursor's own options, set before its first fetch raised, and the calls of
    reads already in flight excepted."""
    later = fake.names()[k + 1:]
    while later and later[0].endswith(".sort") and fake.names()[k].endswith(".find"):
        later.pop(0)
    in_flight(fake, k, clean, sc)
    assert set(later) - set(sc.overlapped) <= EXITS, later


def assert_links(err, expected: list, injected):
    links = chain(err)
    assert links[-1] is injected
    assert [type(e) for e in links[:-1]] == [RuntimeError] * len(expected)
    for e, want in zip(links, expected):
        assert (want.fullmatch(str(e)) if isinstance(want, re.Pattern) else str(e) == want), (str(e), want)


# ---- 1. the fault matrix ---------------------------------------------------------------

@pytest.mark.parametrize("name", SCENARIOS)
@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
def test_clean_runs(name, flavor):
    """The baseline the matrices compare with: the snapshots change only at
    writes, and the merges keep what they should."""
    clean = clean_run(name, flavor)
    states = clean.before + [clean.after]
    changed = [clean.names[i] for i in range(len(clean.names)) if states[i] != states[i + 1]]
    assert changed and all(call.rsplit(".", 1)[1] in WRITES for call in changed)
    assert clean.before[0] == clean.initial
    if name == "temp_to_main":  # the older versions under the unique rules go
        assert sorted(clean.kept) == ["m4", "m5", "t2", "t3", "t4", "t5"]
    if name == "refresh_archive":  # every version is kept somewhere
        assert sorted(clean.kept) == sorted(d["tag"] for d in TEMP_DOCS + MAIN_DOCS)


@pytest.mark.parametrize("name, flavor, k", POSITIONS)
def test_fault_at_every_call(name, flavor, k):
    clean, sc = clean_run(name, flavor), SCENARIOS[name]
    fake = fresh(name, flavor)
    injected = OperationFailure(f"injected at call {k}", 2)
    fake.fail_at(k, injected)
    outcome = drive(fake, sc)
    assert fake.names()[:k + 1] == clean.names[:k + 1]
    state = normal(storage(fake), clean.known)
    if clean.names[k] in LISTINGS:
        # a listing that fails skips the check; the operation goes on unchecked
        assert outcome is None and state == clean.after
    else:
        if clean.expected[k]:
            assert_links(outcome, clean.expected[k], injected)
        else:  # starting or ending the operation's own session: not replaced
            assert outcome is injected
        assert state == clean.before[k]  # nothing undone, nothing done after
        assert_only_exits_after(fake, k, clean, sc)
    assert_sessions_closed(fake)
    if sc.merge:
        assert_nothing_lost(clean, storage(fake))


@pytest.mark.parametrize("name, flavor, k", POSITIONS)
def test_interrupt_at_every_call(name, flavor, k):
    clean, sc = clean_run(name, flavor), SCENARIOS[name]
    fake = fresh(name, flavor)
    # the three kinds in turn: an interrupt, an exit, any other BaseException
    injected = (KeyboardInterrupt, SystemExit, Halt)[k % 3](f"interrupted at call {k}")
    fake.fail_at(k, injected)
    outcome = drive(fake, sc)
    assert outcome is injected and outcome.__cause__ is None
    assert normal(storage(fake), clean.known) == clean.before[k]
    assert_only_exits_after(fake, k, clean, sc)
    assert_sessions_closed(fake)
    if sc.merge:
        assert_nothing_lost(clean, storage(fake))


# ---- 2. the cancellation matrix -------------------------------------------------------

@pytest.mark.parametrize("name, flavor, k", POSITIONS)
def test_cancel_at_every_call(name, flavor, k):
    clean, sc = clean_run(name, flavor), SCENARIOS[name]
    fake = fresh(name, flavor)
    fake.block_at(k)

    async def main():
        task = asyncio.create_task(getattr(kf, sc.op)(fake, DB, *copy.deepcopy(sc.args)))
        waiter = asyncio.create_task(fake.blocked.wait())
        await asyncio.wait({task, waiter}, timeout=5, return_when=asyncio.FIRST_COMPLETED)
        if not waiter.done():
            waiter.cancel()
            pytest.fail(f"call {k} never blocked: {task}")
        reached = len(fake.calls)
        task.cancel()
        try:
            await task
        except BaseException as e:  # noqa: BLE001
            return reached, e
        return reached, None

    reached, err = asyncio.run(main())
    assert type(err) is asyncio.CancelledError and err.__cause__ is None
    assert fake.blocked_call.index == k
    # between the blocked call and its await only cursor options were set,
    # or reads started that the operation overlaps
    reads = in_flight(fake, k, clean, sc, reached)
    assert all(call.endswith(".sort") for call in fake.names()[k + 1:reached] if call not in reads)
    assert set(fake.names()[reached:]) <= EXITS
    assert_sessions_closed(fake)
    assert normal(storage(fake), clean.known) == clean.before[k]
    if sc.merge:
        assert_nothing_lost(clean, storage(fake))


# ---- 3. hostile and malformed input -----------------------------------------------------

PROBE_HITS: list = []
PROBE = types.ModuleType("kestrel_probe")
PROBE.hit = lambda *a: PROBE_HITS.append(a) or [("a", 1)]
FORBIDDEN_EVENTS = {"exec", "import", "os.system", "subprocess.Popen", "os.exec", "os.posix_spawn",
                    "os.spawn", "builtins.input", "builtins.breakpoint", "ctypes.dlopen", "open"}
_seen_events: list | None = None


def _audit(name, _args):
    if _seen_events is not None and name in FORBIDDEN_EVENTS:
        _seen_events.append(name)


sys.addaudithook(_audit)


@contextlib.contextmanager
def watching():
    """Collects the forbidden audit events (running code, importing, spawning,
    opening files) raised inside the block, and the probe's hits."""
    global _seen_events
    saved = sys.modules.get("kestrel_probe")
    sys.modules["kestrel_probe"] = PROBE
    PROBE_HITS.clear()
    _seen_events = seen = []
    try:
        yield seen
    finally:
        _seen_events = None
        if saved is None:
            sys.modules.pop("kestrel_probe", None)
        else:
            sys.modules["kestrel_probe"] = saved
    seen.extend(f"probe {a!r}" for a in PROBE_HITS)


def managed(plant=None) -> FakeClient:
    fake = load(FakeClient("pymongo"), start_state("managed"))
    if plant:
        plant(fake)
    fake.clear()
    return fake


def run_refused(fake: FakeClient, op, *args):
    """Run op(fake, *args) under watch; it must fail, run no code and write nothing."""
    before = storage(fake)

    async def main():
        try:
            async with asyncio.timeout(5):
                await op(fake, *args)
        except RuntimeError as e:
            return e
    with watching() as seen:
        err = asyncio.run(main())
    assert seen == []
    assert err is not None, "the operation did not fail"
    assert storage(fake) == before
    assert_sessions_closed(fake)
    return err


def expect(err, *links):
    """The cause chain of `err`, from the outside in; each link a text (of a
    RuntimeError), a compiled pattern, a type, or a (type, text or pattern).
    The innermost link named may have causes of its own (the refusal of an
    index text keeps the parser's error as its cause)."""
    got = chain(err)
    assert len(got) >= len(links), [(type(e).__name__, str(e)[:80]) for e in got]
    for e, want in zip(got, links):
        kind, text = want if isinstance(want, tuple) else (
            (want, None) if isinstance(want, type) else (RuntimeError, want))
        assert isinstance(e, kind), (e, kind)
        if isinstance(text, re.Pattern):
            assert text.fullmatch(str(e)), str(e)
        elif text is not None:
            assert str(e) == text


# Index texts that try to run code, each with the error it gets.
CODE_TEXTS = [
    ("__import__('kestrel_probe').hit()", ValueError),
    ("[('a', 1)], weights=__import__('kestrel_probe').hit()", ValueError),
    ("[('a', 1)]), __import__('kestrel_probe').hit('x'", ValueError),
    ("[(__import__('kestrel_probe').hit(), 1)]", ValueError),
    ("*__import__('kestrel_probe').hit()", ValueError),
    ("[('a', 1)], **__import__('kestrel_probe').hit()", ValueError),
    ("[('a', 1)], w=(lambda: __import__('kestrel_probe').hit())()", ValueError),
    ("[('a', 1)], w=[x for x in __import__('kestrel_probe').hit()]", ValueError),
    ("[('a', 1)], w=(y := __import__('kestrel_probe').hit())", ValueError),
    ("[('a', 1)], w=().__class__.__base__.__subclasses__()", ValueError),
    ("[('a', 1)], w=exec(\"__import__('kestrel_probe').hit()\")", ValueError),
    ("[('a', 1)], w=eval('1')", ValueError),
    ("[('a', 1)], w=breakpoint()", ValueError),
    ("[('a', 1)], w=f'{__import__(\"kestrel_probe\").hit()}'", ValueError),
    ("[('a', 1)], w=__builtins__", ValueError),
    ("[('a', 1)], w=IndexModel([('b', 1)])", ValueError),
    ("[('a', 1)], w={**__import__('kestrel_probe').hit()}", ValueError),
    ("[('a', 1)], w={__import__('kestrel_probe').hit(): 1}", ValueError),
    ("[('a', 1)], w=-__import__('kestrel_probe').hit()", ValueError),
    ("[('a', 1)], w=1 if __import__('kestrel_probe').hit() else 2", ValueError),
    ("[('a', 1)], w=(yield __import__('kestrel_probe').hit())", ValueError),
    ("[('a', 1)], w=await __import__('kestrel_probe').hit()", ValueError),
    ("[('a', 1)], w=[('a', 1)] * 10**9", ValueError),
    ("[('a', 1)], w='x' * 10**10", ValueError),
    ("[('a', 1)]); __import__('kestrel_probe').hit(); _(", SyntaxError),
    ("[('a', 1)])\n__import__('kestrel_probe').hit()\n_(", SyntaxError),
    ("[('a', 1)], w=__import__('kestrel_probe').hit()#", SyntaxError),
    # a comment that would hide the name option the operation appends
    ("[('a', 1)])#", ValueError),
    ("[('a', 1)])\n#", ValueError),
    ("[('a', 1)], name='other')#", ValueError),
    ("[('a', 1)], unique=True)  # ", ValueError),
]


@pytest.mark.parametrize("text, cause", CODE_TEXTS)
def test_index_text_that_tries_to_run_code(text, cause):
    err = run_refused(managed(), kf.insert_index, DB, C, {"x": text})
    expect(err, "Can not create indexes.", (cause, REFUSED if cause is ValueError else None))


@pytest.mark.parametrize("text, cause", CODE_TEXTS)
def test_index_text_planted_in_a_record(text, cause):
    def plant(fake):
        fake.seed(DB, MANAGE, [{"type": "index", "name": "x", "code": text + ", name='x'"}])
    err = run_refused(managed(plant), kf.active_index, DB, C)
    expect(err, "Can not active indexes of collection!", (cause, REFUSED if cause is ValueError else None))


# Names that end up inside a specification text, made to close the string
# they are written in and smuggle code or options after it: they are written
# as string literals, so the index gets exactly that name and those keys and
# nothing runs.
SMUGGLED_INDEX = "x'), __import__('kestrel_probe').hit(), ('"
SMUGGLED_OPTION = "x', w=__import__('kestrel_probe').hit(), y='"
SMUGGLED_RULE = "r'), __import__('kestrel_probe').hit(), ('"
SMUGGLED_FIELD = "a', 1)], weights=__import__('kestrel_probe').hit(), x=[('b"
SMUGGLED_CALL = "a', 1)]), __import__('kestrel_probe').hit(), _([('b"


@pytest.mark.parametrize("op, arg, name, key", [
    (kf.insert_index, {SMUGGLED_INDEX: "[('a', 1)]"}, SMUGGLED_INDEX, {"a": 1}),
    (kf.insert_index, {SMUGGLED_OPTION: "[('a', 1)]"}, SMUGGLED_OPTION, {"a": 1}),
    (kf.insert_unique, {SMUGGLED_RULE: ["a"]}, "_unique_" + SMUGGLED_RULE, {"a": 1}),
    (kf.insert_unique, {"r": [SMUGGLED_FIELD]}, "_unique_r", {SMUGGLED_FIELD: 1}),
    (kf.insert_unique, {"r": [SMUGGLED_CALL]}, "_unique_r", {SMUGGLED_CALL: 1}),
    (kf.insert_unique, {b"x": ["k"]}, "_unique_b'x'", {"k": 1}),  # the text form of b"x"
], ids=["index-name", "index-name-keyword", "rule-name", "field-name", "field-name-call", "bytes-rule-name"])
def test_code_through_names(op, arg, name, key):
    fake = managed()
    with watching() as seen:
        asyncio.run(op(fake, DB, C, arg))
    assert seen == []
    made = [ix for ix in fake.indexes(DB, C) if ix["name"] == name]
    assert made == [{"v": 2, "key": key, "name": name}]


NOT_ITERABLE = [5, None, 1.5, True, object()]


@pytest.mark.parametrize("fields", NOT_ITERABLE, ids=repr)
@pytest.mark.parametrize("op, message", [(kf.insert_unique, "Can not create unique."),
                                         (kf.insert_archive_unique, "Can not create archive_unique.")])
def test_rule_fields_that_are_not_a_list(op, message, fields):
    expect(run_refused(managed(), op, DB, C, {"r": fields}), message, TypeError)


@pytest.mark.parametrize("fields", [[], (), "", {}], ids=repr)
def test_archive_rule_without_fields(fields):
    err = run_refused(managed(), kf.insert_archive_unique, DB, C, {"r": fields})
    expect(err, "Can not create archive_unique.", (ValueError, "'r' has no fields!"))


@pytest.mark.parametrize("fields", [{"k"}, ("k", object()), ["k", Decimal("1")]], ids=repr)
def test_archive_rule_fields_the_driver_refuses(fields):
    err = run_refused(managed(), kf.insert_archive_unique, DB, C, {"r": fields})
    expect(err, "Can not create archive_unique.", InvalidDocument)


@pytest.mark.parametrize("name", [object(), frozenset({"a"}), 1 + 2j, Decimal("1")], ids=repr)
@pytest.mark.parametrize("op, message", [(kf.insert_unique, "Can not create unique."),
                                         (kf.insert_archive_unique, "Can not create archive_unique.")])
def test_rule_names_that_are_not_text(op, message, name):
    expect(run_refused(managed(), op, DB, C, {name: ["k"]}), message, InvalidDocument)


# Rule records planted with keys that are not a list of field names.
BAD_KEYS = [({"keys": 5}, TypeError), ({"keys": None}, TypeError), ({}, KeyError),
            ({"keys": [["a"]]}, TypeError), ({"keys": [{"a": 1}]}, TypeError),
            # no fields: every document would be one entity
            ({"keys": []}, (ValueError, "'bad' has no fields!")), ({"keys": ""}, (ValueError, "'bad' has no fields!"))]


@pytest.mark.parametrize("record, cause", BAD_KEYS, ids=lambda v: repr(v) if isinstance(v, dict) else None)
@pytest.mark.parametrize("op, kind, message", [
    (kf.temp_to_main, "unique", f"Can not insert temp to main for '{C}'!"),
    (kf.refresh_archive, "archive_unique", f"Can not refresh archive for '{C}'!"),
    (kf.find, "unique", "Can not find query!"),
], ids=["temp_to_main", "refresh_archive", "find"])
def test_planted_rule_keys(op, kind, message, record, cause):
    def plant(fake):
        fake.seed(DB, MANAGE, [{"type": kind, "name": "bad", **record}])
    args = ({},) if op is kf.find else ()
    expect(run_refused(managed(plant), op, DB, C, *args), message, cause)


UNHASHABLE = [[1, 2], {"x": 1}]


@pytest.mark.parametrize("value", UNHASHABLE, ids=repr)
@pytest.mark.parametrize("op, where, message", [
    (kf.temp_to_main, TEMP, f"Can not insert temp to main for '{C}'!"),
    (kf.refresh_archive, TEMP, f"Can not refresh archive for '{C}'!"),
    (kf.refresh_archive, C, f"Can not refresh archive for '{C}'!"),
], ids=["temp_to_main", "refresh-temp", "refresh-main"])
def test_key_values_that_cannot_be_hashed(op, where, message, value):
    def plant(fake):
        fake.seed(DB, where, [{"_id": oid(50), "k": value, "__index__": 1}])
    err = run_refused(managed(plant), op, DB, C)
    expect(err, message, (TypeError, re.compile("(cannot use 'tuple' as a set element|unhashable type).*")))


def test_document_id_that_cannot_be_hashed():
    def plant(fake):
        fake.seed(DB, C, [{"_id": {"x": 1}, "odd": True}])
    expect(run_refused(managed(plant), kf.find, DB, C, {"odd": True}), "Can not find query!", TypeError)


@pytest.mark.parametrize("newer, older", [("5", 3), (None, 1), ([1], 2), ({"v": 1}, {"v": 2}),
                                          (oid(7), 1), (b"x", 1), (True, "a")], ids=repr)
def test_index_values_that_cannot_be_compared(newer, older):
    def plant(fake):
        fake.seed(DB, TEMP, [{"_id": oid(51), "k": "cmp", "__index__": newer}])
        fake.seed(DB, C, [{"_id": oid(52), "k": "cmp", "__index__": older}])
    err = run_refused(managed(plant), kf.refresh_archive, DB, C)
    expect(err, f"Can not refresh archive for '{C}'!", TypeError)


@pytest.mark.parametrize("docs, cause", [
    ([], TypeError), ([5], TypeError), ([{"a": 1}, "text"], TypeError), ([{"a": 1}, None], TypeError),
    ([{1: "a"}], InvalidDocument), ([{"a": {1, 2}}], InvalidDocument), ([{"a": object()}], InvalidDocument),
    ([{"a\x00b": 1}], InvalidDocument), ([{"a": 1}, {"b": 2 ** 64}], OverflowError),
], ids=repr)
def test_documents_the_driver_refuses(docs, cause):
    err = run_refused(managed(), kf.insert_temp, DB, C, docs)
    expect(err, f"Can not insert '{TEMP}'!", cause)


@pytest.mark.parametrize("op, arg, message", [
    (kf.Delete_doc_main, [oid(11), object()], f"Can not delete from '{C}'!"),
    (kf.find, {"tag": object()}, "Can not find query!"),
], ids=["Delete_doc_main", "find"])
def test_filters_the_driver_refuses(op, arg, message):
    expect(run_refused(managed(), op, DB, C, arg), message, InvalidDocument)


ODD_NAMES = ["it's", 'say "hi"', "a\x00b", "x" * 100_000, "\ud800", "'); drop --", "ünï \u2028 ‮"]
NAMED_OPS = [  # (operation, further arguments, failure message for collection name n)
    (kf.insert_temp, ([{"a": 1}],), lambda n: f"Can not insert '_temp_{n}'!"),
    (kf.Delete_doc_main, ([1],), lambda n: f"Can not delete from '{n}'!"),
    (kf.drop_collection, (), lambda n: f"Can not drop '{n}'!"),
    (kf.compact, (), lambda n: f"Can not compact '{n}'!"),
    (kf.temp_to_main, (), lambda n: f"Can not insert temp to main for '{n}'!"),
    (kf.refresh_archive, (), lambda n: f"Can not refresh archive for '{n}'!"),
    (kf.insert_index, ({"a": "[('a', 1)]"},), lambda n: "Can not create indexes."),
    (kf.delete_index, ("a",), lambda n: "Can not delete 'a'!"),
    (kf.insert_unique, ({"r": ["a"]},), lambda n: "Can not create unique."),
    (kf.find, ({},), lambda n: "Can not find query!"),
]


def short(v):
    return repr(v if len(v) < 20 else v[:8] + "...")


@pytest.mark.parametrize("name", ODD_NAMES, ids=short)
@pytest.mark.parametrize("op, args, message", NAMED_OPS, ids=[o[0].__name__ for o in NAMED_OPS])
@pytest.mark.parametrize("which", ["db", "collection"])
def test_odd_names_are_reported_verbatim(which, op, args, message, name):
    """A database or collection name with quotes, NUL characters, a lone
    surrogate or 100,000 characters is neither cut nor escaped in the texts."""
    db, coll = (name, C) if which == "db" else (DB, name)
    err = run_refused(managed(), op, db, coll, *args)
    expect(err, message(coll), f"can not access '{name}'!")


@pytest.mark.parametrize("name", ODD_NAMES, ids=short)
def test_odd_rule_and_index_names_to_delete(name):
    # a lone surrogate cannot be encoded: the driver refuses the rule filter
    missing = UnicodeEncodeError if name == "\ud800" else f"'{name}' does not exists in uniques!"
    expect(run_refused(managed(), kf.delete_unique, DB, C, name), f"Can not delete unique '{name}'!", missing)
    expect(run_refused(managed(), kf.delete_archive_unique, DB, C, name),
           f"Can not delete archive_unique '{name}'!", missing)
    err = run_refused(managed(), kf.delete_index, DB, C, name)
    expect(err, f"Can not delete '{name}'!", OperationFailure)
    assert err.__cause__.code == 27


@pytest.mark.parametrize("index, cause", [
    ({"\ud800": "[('a', 1)]"}, UnicodeEncodeError),
    ({"x": "[('a', 1)]\x00"}, SyntaxError),
    ({"x": "[('a\ud800', 1)]"}, UnicodeEncodeError),
    ({"x": "[" * 60_000}, SyntaxError),
    ({"x": "[" * 100_000}, ValueError),  # longer than 64 KiB: not parsed
    ({"x": "[('a', 1)], w=" + "9" * 5000}, SyntaxError),
    ({"x": "[('a', 1)], w=" + "{" * 150 + "}" * 150}, ValueError),
    ({"x": "[('a', 1)], w=1+2j"}, InvalidDocument),
    ({"x": "[('a', 1)], w=..."}, InvalidDocument),
], ids=lambda v: short(repr(v)) if isinstance(v, dict) else None)
def test_malformed_index_declarations(index, cause):
    expect(run_refused(managed(), kf.insert_index, DB, C, index), "Can not create indexes.", cause)


# ---- the index-text parser, fed random text -------------------------------------------

PIECES = ["[", "]", "(", ")", "{", "}", "'a'", "'b'", '"c"', "1", "-1", "1.5", "'2dsphere'", "'text'",
          ",", ", ", " ", "=", ":", "#", "\n", "\\", "'", '"', "'''", "\x00", "weights", "unique", "sparse",
          "name", "True", "None", "...", "1e999", "2**64", "lambda", "*", "**", "if", "for", ":=",
          "__import__", "('kestrel_probe')", ".hit()", "__class__", "exec", "[('a', 1)]",
          "[('a', 1), ('b', -1), ]", ", weights={'a': 10}", ", unique=True", ")#", "), ("]
KEYS = st.lists(st.tuples(st.sampled_from(["'a'", "'b'", "'loc'", '"x y"', "'a.b'"]),
                          st.sampled_from(["1", "-1", "'2dsphere'", "'text'", "'hashed'", "1.0"])),
                min_size=1, max_size=3).map(lambda pairs: "[" + ", ".join(f"({f}, {d})" for f, d in pairs) + "]")
OPTIONS = st.lists(st.sampled_from([
    ", unique=True", ", sparse=False", ", weights={'a': 10}", ", expireAfterSeconds=60",
    ", partialFilterExpression={'a': {'$gt': 1}}", ", collation={'locale': 'en'}", ", name='y'"]),
    max_size=2).map("".join)
SPECS = st.tuples(KEYS, OPTIONS).map("".join)
TEXTS = st.one_of(
    st.text(),
    SPECS,
    # a specification with one piece put in somewhere
    st.tuples(SPECS, st.integers(0, 80), st.sampled_from(PIECES)).map(lambda t: t[0][:t[1]] + t[2] + t[0][t[1]:]),
    st.lists(st.sampled_from(PIECES), max_size=16).map("".join),
    st.lists(st.one_of(st.sampled_from(PIECES), st.text(max_size=3)), max_size=10).map("".join),
)
CLEAR_ERRORS = (SyntaxError, ValueError, TypeError, InvalidDocument, OverflowError)


def check_index_text(text: str) -> bool:
    """Declare index "x" with `text`: nothing may run, and the outcome is
    either exactly one index model under the declared name, recorded with the
    text and rebuilt identically from that record (True), or "Can not create
    indexes." caused by a clear error, with nothing written (False)."""
    fake = FakeClient("pymongo", suspend=False)
    fake.seed(DB, C, [])

    async def main():
        try:
            await kf.insert_index(fake, DB, C, {"x": text})
        except RuntimeError as e:
            return e
    with watching() as seen:
        err = asyncio.run(main())
    assert seen == []
    assert_sessions_closed(fake)
    if err is not None:
        assert str(err) == "Can not create indexes." and isinstance(err.__cause__, CLEAR_ERRORS)
        assert fake.calls_to(f"{DB}.{C}.create_indexes") == [] and fake.docs(DB, MANAGE) == []
        return False
    (models,) = [c.arg for c in fake.calls_to(f"{DB}.{C}.create_indexes")]
    assert len(models) == 1 and models[0].document["name"] == "x"
    assert [r["code"] for r in fake.docs(DB, MANAGE)] == [text + ", name='x'"]
    fake.clear()
    with watching() as seen:
        asyncio.run(kf.active_index(fake, DB, C))
    assert seen == []
    (again,) = fake.calls_to(f"{DB}.{C}.create_indexes")[0].arg
    assert again.document == models[0].document
    return True


@pytest.mark.filterwarnings("ignore::SyntaxWarning")  # the parser's own, for texts such as "1if"
@settings(max_examples=600, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(text=TEXTS)
def test_index_text_parser_on_random_text(text):
    event("taken" if check_index_text(text) else "refused")


@pytest.mark.parametrize("text", [
    "[('a', 1)]", "([('a', 1)])", "(('a', -1),)", "[('a', 1), ('b', -1), ]", "'a'", "{'a': 1}",
    "[('a', 1)], w=b'x', v=None, u=-1.5, t=(1, [2, {'3': 4}])", "\n[('a', '2dsphere')]\n",
    "[('a', 1)], w='''#'''", "[('a', 1)], w='#'", "[('a', 1)], w=\"), name='y'#\"", AGE, TEXT,
    "[('a', 1),\r\n ('b', 1)]", "[('a', 1),\r('b', 1)]", "\t[('a', 1)],\x0cw=1", "[('ä', 1)], w='😀'",
])
def test_index_text_literal_forms(text):
    """Forms the interpreter reads as literal arguments are taken, so the
    random test above meets its success branch too."""
    assert check_index_text(text)


# ---- 4. against the server: the roles as their users meet them ----------------------------

# What each role lets its holder do, from the privileges the roles grant:
# find needs "find" on C, "_temp_" + C and "_manage_" + C; insert_temp "insert"
# on the temp companion; Delete_doc_main "remove" on C.
ALLOWED = {"_R": {"find"}, "_W": {"insert_temp"}, "_remove": {"Delete_doc_main"}}


@pytest.mark.parametrize("role", list(ALLOWED))
def test_server_roles_as_users_meet_them(real_client, unique_name, role):
    db = unique_name("db")

    async def main(root):
        await kf.create_collection(root, db, C, {}, {"u": ["k"]}, {})
        await root[db][C].insert_one({"_id": 1, "k": 1})
        await root[db][TEMP].insert_one({"_id": 2, "k": 2})
        pwd = secrets.token_urlsafe(10)
        await ku.create_user(root, db, "holder", pwd, [C + role])
        user = real_client.make(username="holder", password=pwd, auth_source=db)

        async def state():
            return (sorted(await root[db][C].distinct("_id")),
                    sorted(map(str, await root[db][TEMP].distinct("k"))))

        attempts = {
            "find": (lambda: kf.find(user, db, C, {}), "Can not find query!", None),
            "insert_temp": (lambda: kf.insert_temp(user, db, C, [{"k": 3}]),
                            f"Can not insert '{TEMP}'!", ([1], ["2", "3"])),
            "Delete_doc_main": (lambda: kf.Delete_doc_main(user, db, C, [1]),
                                f"Can not delete from '{C}'!", ([], ["2"])),
        }
        for op, (call, message, effect) in attempts.items():
            before = await state()
            if op in ALLOWED[role]:
                result = await call()
                if op == "find":
                    assert sorted(d["_id"] for d in result) == [1, 2]
                else:
                    assert await state() == effect
            else:
                with pytest.raises(RuntimeError) as e:
                    await call()
                assert str(e.value) == message
                cause = e.value.__cause__
                assert isinstance(cause, OperationFailure) and cause.code == 13  # Unauthorized
                assert await state() == before
    real_client.run(main)


def test_server_admin_role_drops_indexes_but_needs_the_read_role_to_make_them(real_client, unique_name):
    db = unique_name("db")

    async def main(root):
        await kf.create_collection(root, db, C, {"k_index": "[('k', 1)]"}, {}, {})
        indexes = lambda: root[db][C].index_information()
        users = {}
        for name, roles in (("admin", [C + "_admin"]), ("both", [C + "_admin", C + "_R"])):
            pwd = secrets.token_urlsafe(10)
            await ku.create_user(root, db, name, pwd, roles)
            users[name] = real_client.make(username=name, password=pwd, auth_source=db)
        await kf.deactive_index(users["admin"], db, C)
        assert sorted(await indexes()) == ["_id_"]
        with pytest.raises(RuntimeError, match="^Can not active indexes of collection!$") as e:
            await kf.active_index(users["admin"], db, C)
        assert isinstance(e.value.__cause__, OperationFailure) and e.value.__cause__.code == 13
        await kf.active_index(users["both"], db, C)
        assert sorted(await indexes()) == ["_id_", "k_index"]
    real_client.run(main)


@pytest.mark.parametrize("db_name, coll", [(None, "a\x00b"), (None, ""), (None, "a$b"), ("a.b", "c"),
                                           ("a\x00b", "c"), ("a/b", "c")], ids=repr)
def test_server_names_the_driver_refuses(real_client, unique_name, db_name, coll):
    """Names that the driver refuses: create_collection fails with its own
    error caused by the driver's, and nothing is created."""
    db_name = db_name or unique_name("db")

    async def main(root):
        before = await root.list_database_names()
        with pytest.raises(RuntimeError) as e:
            await kf.create_collection(root, db_name, coll, {}, {}, {})
        assert str(e.value) == f"Can not create '{coll}'!"
        assert isinstance(e.value.__cause__, InvalidName)
        assert await root.list_database_names() == before
    real_client.run(main)
