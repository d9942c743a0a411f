"""The recording fake of tests/fake_driver.py, storing raw BSON, for memory
measurements (bench/bench_memory.py).

``RawFakeClient`` keeps every stored document as the bytes of its BSON
encoding and decodes a document only when a cursor hands it out, one at a
time, as a driver does from its batch. What the fake holds before an
operation is therefore a few hundred bytes a document, and what it hands
out belongs to whoever keeps it: the operation, not the fake. Insertions
encode and store bytes too, so an inserted batch stays attributable only for
as long as its caller holds it. Everything else (the flavours, the session
and transaction lifecycle, suspensions, faults and blocks) is the stock
fake's.

Equality queries on plain values (ints and strings) are answered from hash
tables made by ``prepare_lookups`` before the measurement; a write drops the
tables of its collection, and a query that needs a table that is not there
decodes the collection as the stock fake does (counted in ``table_misses``,
so a bench can check that it measured no such query). ``delete_many`` with
``{}`` or ``{"_id": {"$in": ids}}``, and a ``bulk_write``'s DeleteMany
statements of that form, remove by id without decoding.

``recording=True`` records calls exactly as the stock fake does (argument
snapshots included), for comparison in the tests. ``recording=False``, the
bench's setting, keeps no call: a snapshot of every lookup's filter would
count against the operation; ``call_counts()`` says how many calls of each
name were made instead.

``stall(read, scan)`` delays the first call matching ``read`` (a predicate on
``Call``) until the cursor of the first ``find`` matching ``scan`` has handed
out its last document: a first read stalled for the whole scan; or until
that scan stops going on while the read is held (an operation that waits
for its oldest read once enough others are in): stalled for as long as it
can matter.
``watch(scan, on_end)`` only calls ``on_end()`` at that point.
``stall_report`` then says whether the read was waiting when the scan ended
(or stopped), how many finds were made while it waited, and how many
documents the cursors had handed out when the read was let go; a read not reached by then is
not stalled at all. (The fake's cursors hand out every document without
suspending once open, so an operation that starts fewer reads than it lets
run at once may end its scan before any of them has started.)
"""

from __future__ import annotations

import asyncio
import itertools
import os
import sys
from collections import Counter

import bson
from bson import ObjectId
from pymongo.errors import DuplicateKeyError

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

from fake_driver import (BLOCK, Call, FakeClient,  # noqa: E402
                         FakeCollection, FakeCursor, FakeDatabase, _bson, _Coll, _matches, _sort_key)


# What an unrecorded call without a fault answers: no call is kept.
_NO_FAULT = Call("", "")


def _plain(value) -> bool:
    return isinstance(value, (int, str)) and not isinstance(value, bool)


# Sorts that are the storage order, either way: 1 ascending, -1 descending.
_ID_ORDERS = {(("_id", 1),): 1, (("_id", -1),): -1}


class _RawColl(_Coll):
    """One collection: ``_id`` -> BSON bytes, in insertion order, and the
    lookup tables: sorted field names -> key values -> ids in insertion order.
    ``ordered`` holds while every id was stored after the smaller ones (as
    seeded ids and the driver's fresh ObjectIds are): newest first is then
    the storage order reversed, with nothing to sort."""

    def __init__(self):
        super().__init__()
        self.raw: dict = {}
        self.tables: dict[tuple, dict[tuple, list]] = {}
        self.ordered, self._last = True, None

    @property
    def docs(self) -> list[dict]:  # the stock fake's view, for its helpers
        return [bson.decode(b) for b in self.raw.values()]

    @docs.setter
    def docs(self, docs) -> None:
        self.clear()
        for d in docs:
            self.store(bson.encode(d), d["_id"])

    def store(self, raw: bytes, _id) -> None:
        if self.ordered and self._last is not None and _sort_key(_id) <= _sort_key(self._last):
            self.ordered = False
        self._last = _id
        self.raw[_id] = raw
        if self.tables:
            self.tables.clear()

    def clear(self) -> None:
        self.raw, self.tables = {}, {}
        self.ordered, self._last = True, None

    def in_order(self, ids, direction: int):
        """``ids`` (in storage order) by ``_id``, ascending or descending."""
        if self.ordered:
            return reversed(ids) if direction == -1 else ids
        return sorted(ids, key=_sort_key, reverse=direction == -1)

    def make_tables(self, field_sets) -> None:
        """Hash tables of equality lookups, one per tuple of sorted field
        names, made in one pass; none for fields where a document holds a
        value that is not a plain int or string (such values match by the
        stock fake's rules, not by hash)."""
        tables: dict[tuple, dict | None] = {fields: {} for fields in field_sets}
        for _id, raw in self.raw.items():
            doc = bson.decode(raw)
            for fields, table in tables.items():
                if table is None or not all(f in doc for f in fields):
                    continue
                key = tuple(doc[f] for f in fields)
                if all(map(_plain, key)):
                    table.setdefault(key, []).append(_id)
                else:
                    tables[fields] = None
        self.tables.update((fields, table) for fields, table in tables.items() if table is not None)


class RawFakeCollection(FakeCollection):
    def _raw_store(self, create=False) -> _RawColl | None:
        return self._store(create)

    def _query(self, filt, sort=None):
        """The matching documents, decoded one at a time as they are taken."""
        store = self._raw_store()
        if store is None:
            return iter(())
        direction = _ID_ORDERS.get(tuple(map(tuple, sort)), None) if sort else 0
        if direction is not None:
            if not filt:
                ids = store.in_order(list(store.raw), direction) if direction else list(store.raw)
                return map(bson.decode, map(store.raw.__getitem__, ids))
            fields = tuple(filt) if len(filt) == 1 else tuple(sorted(filt))
            key = tuple(filt[f] for f in fields)
            if all(map(_plain, key)) and not any(f.startswith("$") for f in fields):
                table = store.tables.get(fields)
                if table is not None:
                    ids = table.get(key, ())
                    ids = store.in_order(ids, direction) if direction else ids
                    return map(bson.decode, map(store.raw.__getitem__, ids))
                if len(store.raw) > 1000:  # worth knowing: the bench prepares its tables
                    self._client.table_misses[(self.full_name, fields)] += 1
        want = _bson(filt or {})
        found = [d for d in map(bson.decode, store.raw.values()) if _matches(d, want)]
        for key, direction in reversed(sort or []):
            found.sort(key=lambda d: _sort_key(d.get(key)), reverse=direction == -1)
        return iter(found)

    def find(self, filter=None, *args, **kwargs):
        cursor = super().find(filter, *args, **kwargs)
        cursor.__class__ = RawFakeCursor
        client = self._client
        if client._stall_rule is not None:  # while a read may be held: every document counts as progress
            source = cursor._source

            def counted(c):
                for doc in source(c):
                    client._scanned += 1
                    yield doc
            cursor._source = counted
        if client._stall_scan is not None and client._stall_scan(cursor._calls[0]):
            client._stall_scan = None
            source_ = cursor._source

            def to_the_end(c):
                yield from source_(c)
                client._scan_ended()
            cursor._source = to_the_end
        return cursor

    def count_documents(self, filter, **kwargs):
        return self._op("count_documents", (filter,), kwargs,
                        lambda: sum(1 for _ in self._query(filter)))

    # -- writes: encoded as the driver encodes them, stored as bytes
    def _check_unique(self, store: _RawColl, doc: dict) -> None:
        if doc["_id"] in store.raw:
            self._duplicate("_id_", {"_id": 1}, {"_id": doc["_id"]})
        for ix in store.indexes:
            if ix["name"] != "_id_" and ix.get("unique"):
                key = [doc.get(f) for f in ix["key"]]
                for other in store.docs:
                    if [other.get(f) for f in ix["key"]] == key:
                        self._duplicate(ix["name"], dict(ix["key"]), dict(zip(ix["key"], key)))

    def _duplicate(self, name, pattern, value):
        raise DuplicateKeyError(
            f"E11000 duplicate key error collection: {self.full_name} index: {name} dup key: {value}",
            11000, {"keyPattern": pattern, "keyValue": value})

    def _insert(self, doc: dict) -> None:  # the storage of insert_one and insert_many
        store = self._raw_store(create=True)
        self._check_unique(store, doc)
        store.store(bson.encode(doc), doc["_id"])

    def _as_stored(self, docs: list[dict]) -> list[dict]:
        # No decoded copy of the whole batch: _insert encodes each document in turn.
        return docs

    def _delete(self, filter, limit: int) -> int:  # the storage of delete_many and bulk_write
        store = self._raw_store()
        if store is None:
            return 0
        by_id = filter.get("_id") if list(filter) == ["_id"] else None
        ids = by_id.get("$in") if isinstance(by_id, dict) and len(by_id) == 1 else None
        if not filter and not limit:
            n = len(store.raw)
            store.clear()
        elif not limit and isinstance(ids, list) and all(_plain(i) or isinstance(i, ObjectId) for i in ids):
            n = sum(store.raw.pop(i, None) is not None for i in ids)
        else:
            gone = [d["_id"] for d in itertools.islice(self._query(filter), limit or None)]
            n = sum(store.raw.pop(i, None) is not None for i in gone)
        store.tables.clear()
        return n


class RawFakeCursor(FakeCursor):
    """The stock cursor, minus the coroutines it makes for each document: a
    fault is settled only where there is one, and the documents are taken
    straight from the source once it is open."""

    async def _fetch(self):
        client = self._client
        if self._docs is not None or client.latency:
            return await super()._fetch()
        for call in self._calls:
            if call.fault is not None:
                await client._settle(call)
        self._docs = iter(self._source(self))
        if client.suspend:
            if client.flavor == "pymongo":
                await asyncio.sleep(0)
            else:
                await client._tick()

    async def __anext__(self):
        if self._client.latency:
            return await super().__anext__()
        if self._docs is None:
            await self._fetch()
        try:
            return next(self._docs)
        except StopIteration:
            raise StopAsyncIteration from None


class RawFakeDatabase(FakeDatabase):
    def __getitem__(self, name):
        return RawFakeCollection(self, name)

    def get_collection(self, name, **_options):
        return RawFakeCollection(self, name)


class RawFakeClient(FakeClient):
    def __init__(self, flavor: str = "motor", *, recording: bool = True, **kwargs):
        super().__init__(flavor, **kwargs)
        self.recording = recording
        self.counts: Counter = Counter()
        self.table_misses: Counter = Counter()
        self._stall_scan = None
        self.stall_report: dict | None = None

    def __getitem__(self, name):
        return RawFakeDatabase(self, name)

    def get_database(self, name, **_options):
        return RawFakeDatabase(self, name)

    def _coll(self, db, coll, create=False):
        if create:
            return self._dbs.setdefault(db, {}).setdefault(coll, _RawColl())
        return self._dbs.get(db, {}).get(coll)

    def _record(self, target, method, args=(), kwargs=None, sid=None):
        self.counts[target, method] += 1
        if method == "find" and self._stall_waits is not None:
            self._stall_waits += 1
        if self.recording:
            call = super()._record(target, method, args, kwargs, sid)
        elif not self._rules and self._stall_scan is None:  # nothing to keep, attach or look at
            return _NO_FAULT
        else:
            call = Call(target, method, tuple(args), kwargs or {}, sid)  # the caller's arguments, not copies
            fired = [r for r in self._rules if r.fires(call)]
            if fired:
                call.fault = fired[0].action
        if call.fault is BLOCK and self._stall_call is None and self._stall_rule is not None:
            self._stall_call = call
        return call

    _stall_waits = None
    _stall_rule = _stall_call = _on_scan_end = _watchdog = None
    _scanned = 0

    def call_counts(self) -> dict[str, int]:
        """How many calls of each name (as in ``names()``) were made."""
        return {f"{target}.{method}": n for (target, method), n in self.counts.items()}

    # -- seeding and lookups (never recorded)
    def seed(self, db, coll, docs) -> list:
        store = self._coll(db, coll, create=True)
        ids = []
        for d in docs:
            if "_id" not in d:
                d = {"_id": ObjectId(), **d}
            store.store(bson.encode(d), d["_id"])
            ids.append(d["_id"])
        return ids

    def seed_raw(self, db, coll, items) -> None:
        """Store ``(_id, bson bytes)`` pairs as they are."""
        store = self._coll(db, coll, create=True)
        for _id, raw in items:
            store.store(raw, _id)

    def prepare_lookups(self, db, coll, *field_sets) -> None:
        self._coll(db, coll, create=True).make_tables([tuple(sorted(f)) for f in field_sets])

    # -- the stalled read
    def watch(self, scan, on_end) -> None:
        """Call ``on_end()`` when the first find matching ``scan`` has handed
        out its last document."""
        self._stall_scan, self._on_scan_end = scan, on_end

    def stall(self, read, scan) -> None:
        self.block(read)
        self._stall_rule, self._stall_call = self._rules[-1], None
        self._stall_scan = scan
        self.stall_report = None

    def _scan_ended(self, scan_waited: bool = False) -> None:
        """Release the stalled read; one not reached yet is not stalled at all."""
        if self._on_scan_end is not None and not scan_waited:
            self._on_scan_end()
        if self._stall_rule is None:
            return
        held = self.blocked.is_set()
        self.stall_report = {"held": held, "finds_while_held": self._stall_waits or 0,
                             "scanned": self._scanned, "scan_waited": scan_waited}
        self._stall_waits = None
        if self._stall_rule in self._rules:
            self._rules.remove(self._stall_rule)
        if not held and self._stall_call is not None:  # made, but its read not started yet
            self._stall_call.fault = None
        self._stall_rule = None
        self.unblock()

    async def _release_when_the_scan_waits(self) -> None:
        """While the read is held: let it go once no cursor has handed out a
        document for a while (the operation waits for that read)."""
        while self._stall_rule is not None:
            seen = self._scanned
            await asyncio.sleep(0.05)
            if self._stall_rule is not None and self._scanned == seen:
                self._scan_ended(scan_waited=True)

    def _reached_block(self, call, resume) -> None:
        super()._reached_block(call, resume)
        self._stall_waits = 0
        self._watchdog = asyncio.get_running_loop().create_task(self._release_when_the_scan_waits())
