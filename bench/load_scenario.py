"""Loading while a managed collection is merged or refreshed.

Loader tasks insert batches of documents ``{"key": k, "version": v, ...}``
with ``insert_temp`` into the temp companion of collection "c", each loader
owning its own keys (key % loaders) and counting every key's versions up from
1, while merging tasks loop ``temp_to_main`` (or ``refresh_archive``) on the
same collection. When the loaders stop, the merging tasks finish the call
they are in and stop, and one last merge runs. Then what ended where is read
back from the collections.

The collection is made as a user would make it: for merges with the unique
rule ``{"u": ["key"]}``; for refreshes with the archive-unique rule
``{"a": ["key"]}``, documents carrying ``__index__`` = version, and the
archive collection "archive_c" made as a managed collection too.

Used by bench/bench_loading.py (loaders stop after a time) and by
tests/test_loading_while_merging.py (loaders stop after a number of batches).
"""

from __future__ import annotations

import asyncio
import itertools
import time
from collections import Counter
from dataclasses import dataclass, field

import kestrel.functions as kf

COLLECTION = "c"
ARCHIVE = "archive_" + COLLECTION
PAD = "x" * 64
OPERATIONS = {"merge": kf.temp_to_main, "refresh": kf.refresh_archive}


def taking_turns(operation):
    """``operation`` made to run one call at a time per database and
    collection, in call order (asyncio's lock wakes its waiters first come,
    first served)."""
    locks = {}

    async def call(client, db_name, collection_name):
        async with locks.setdefault((db_name, collection_name), asyncio.Lock()):
            await operation(client, db_name, collection_name)
    return call


def reference(kind):
    """The merge or the refresh written with the driver alone
    (bench/driver_baseline.py), which clears from the temp companion only
    what its scan read, taking turns: what the library's operation should
    come to under loading."""
    import driver_baseline
    plain = {"merge": driver_baseline.temp_to_main, "refresh": driver_baseline.refresh_archive}
    return taking_turns(plain[kind])


@dataclass
class Outcome:
    kind: str
    merging_tasks: int
    loaded: list = field(default_factory=list)     # (key, version) of every document inserted
    last: dict = field(default_factory=dict)       # key -> last version loaded
    merges: int = 0                                # merges that returned while the loaders ran
    failures: list = field(default_factory=list)   # errors of merges (the last one included)
    main: list = field(default_factory=list)       # (key, version) of every main document
    archived: list = field(default_factory=list)   # (key, version) in _temp_archive_c
    temp_left: int = 0                             # documents left in _temp_c
    seconds: float = 0.0                           # loading, merges and the last merge

    def describe(self) -> str:
        return ", ".join(f"{k}: {v}" for k, v in self.summary().items()) + (
            f"; {len(self.loaded)} documents loaded, {self.merges} merges done while loading, "
            f"{len(self.failures)} failed")

    def summary(self) -> dict:
        """What the outcome departs from the loaded documents by; all zero
        when every key's main document is its last loaded version, nothing
        else is in the main collection and the temp companion is empty (and,
        for refreshes, every loaded version is once in main or archived)."""
        in_main = {}
        for key, version in self.main:
            in_main.setdefault(key, []).append(version)
        out = {
            "wrong or missing": sum(in_main.get(k, []) != [v] for k, v in self.last.items()),
            "lost": sum(k not in in_main for k in self.last),
            "duplicates": len(self.main) - len(in_main),
            "strangers": sum(k not in self.last for k in in_main),
            "temp left": self.temp_left,
        }
        if self.kind == "refresh":
            copies = Counter(self.main + self.archived)
            out["versions gone"] = sum(copies[v] == 0 for v in self.loaded)
            out["versions duplicated"] = sum(copies[v] > 1 for v in self.loaded)
        return out


async def prepare(client, db_name: str, kind: str) -> None:
    if kind == "merge":
        await kf.create_collection(client, db_name, COLLECTION, {}, {"u": ["key"]}, {})
    else:
        await kf.create_collection(client, db_name, COLLECTION, {}, {}, {"a": ["key"]})
        await kf.create_collection(client, db_name, ARCHIVE, {}, {}, {})


async def drop(client, db_name: str) -> None:
    await client[db_name].command("dropAllRolesFromDatabase", 1)
    await client.drop_database(db_name)


async def run_case(client, db_name: str, kind: str, merging_tasks: int, *, loaders: int = 2,
                   keys: int = 200, batch: int = 20, seconds: float | None = None,
                   batches: int | None = None, pause: float = 0.0, turn: int | None = None,
                   operation=None) -> Outcome:
    """Prepare the collection in ``db_name``, load with ``loaders`` tasks for
    ``seconds`` or ``batches`` batches each, merging with ``merging_tasks``
    tasks all along, then merge once more and read back what ended where.
    ``pause``: seconds each loader and each merging task waits between calls
    (0: it only lets the others run). ``turn``: after every ``turn`` batches
    but the last, each loader waits until one more merge has returned, so
    that merges end while loading goes on however fast either side is.
    ``operation``: what merges, instead of the library's operation of that
    kind."""
    assert (seconds is None) != (batches is None), "a time or a number of batches"
    assert batch <= keys // loaders, "a batch holds each key at most once"
    operation = operation or OPERATIONS[kind]
    outcome = Outcome(kind, merging_tasks)
    versions = dict.fromkeys(range(keys), 0)
    await prepare(client, db_name, kind)
    start = time.monotonic()
    deadline = None if seconds is None else start + seconds
    returned = 0  # merges that returned, or failed

    async def next_merge():
        seen = returned
        while returned == seen and not all(task.done() for task in merging):
            await asyncio.sleep(0.002)

    async def load(owned):
        cycle = itertools.cycle(owned)
        done = 0
        while (done < batches) if deadline is None else (time.monotonic() < deadline):
            docs = []
            for key in itertools.islice(cycle, batch):
                versions[key] += 1
                doc = {"key": key, "version": versions[key], "pad": PAD}
                if kind == "refresh":
                    doc["__index__"] = versions[key]
                docs.append(doc)
            await kf.insert_temp(client, db_name, COLLECTION, docs)
            outcome.loaded.extend((d["key"], d["version"]) for d in docs)
            done += 1
            await asyncio.sleep(pause)
            if turn and done % turn == 0 and done != batches:
                await next_merge()

    async def merge(loading):
        nonlocal returned
        while not loading.done():
            try:
                await operation(client, db_name, COLLECTION)
                outcome.merges += not loading.done()
            except RuntimeError as e:
                outcome.failures.append(e)
            returned += 1
            await asyncio.sleep(pause)

    loading = asyncio.gather(*(load(range(i, keys, loaders)) for i in range(loaders)))
    merging = [asyncio.create_task(merge(loading)) for _ in range(merging_tasks)]
    try:
        await loading
    finally:
        await asyncio.gather(*merging)
    try:
        await operation(client, db_name, COLLECTION)
    except RuntimeError as e:
        outcome.failures.append(e)
    outcome.seconds = time.monotonic() - start

    outcome.last = {k: v for k, v in versions.items() if v}
    db = client[db_name]
    outcome.main = [(d["key"], d["version"]) async for d in db[COLLECTION].find({})]
    outcome.temp_left = await db["_temp_" + COLLECTION].count_documents({})
    if kind == "refresh":
        outcome.archived = [(d["key"], d["version"]) async for d in db["_temp_" + ARCHIVE].find({})]
    return outcome
