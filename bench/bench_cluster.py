"""How long ``refresh_archive`` takes to cluster N versions with heavy overlap.

    PYTHONPATH=<dir holding the built kestrel package> python bench/bench_cluster.py
    python bench/bench_cluster.py --sizes 20000 200000 --repeat 3 --reference-sizes 20000

N documents, split at random between the temp companion and the main
collection, under two archive-unique rules ({a} and {b, c}); about half of
them meet an earlier cluster (through a, through (b, c), or through both at
once, which merges two clusters).  ``refresh_archive`` runs end to end through
the recording fake driver of tests/fake_driver.py, in a variant whose
storage skips the per-document duplicate checks and list scans of the stock
fake (those are quadratic and would swamp the measurement) and which records
calls without copying their arguments; every call still goes through the
fake's cursors, futures and recording, and every document read is a fresh
dict, as a driver decodes it.  ``deactive_index`` and ``active_index`` are
replaced by no-ops: they are not what is measured.

Next to it, ``reference_cluster`` (bench/reference_cluster.py) runs the same
clustering in plain Python with the re-pointing of every key tuple on every
merge, on the same documents in the same order, with no I/O at all; the
outputs of the two must agree, or the bench stops.

The machine's speed may drift while the bench runs (other work, other
guests), so the sizes take turns round after round, times are the process's
CPU time (wall time is printed too), and the growth from the smallest size
to a larger one is given best run to best run and as the median of the
ratios within a round.  The reference ratio compares the reference with the
better of two kestrel runs made just before and just after it.

``--no-rules`` runs the same documents without archive-unique rules: the
reads, the moves and the fake's bookkeeping without any clustering, which
shows how much of the growth comes from outside the clustering.
"""

from __future__ import annotations

import argparse
import asyncio
import copy
import gc
import itertools
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from bson import ObjectId  # noqa: E402
from pymongo import DeleteMany  # noqa: E402

from fake_driver import Call, FakeClient, FakeCollection, FakeDatabase, deleted_ids  # noqa: E402
from reference_cluster import reference_cluster  # noqa: E402

import kestrel.functions as kf  # noqa: E402

DB, COLL = "bench", "versions"
RULES = [["a"], ["b", "c"]]


# ---- a fake with linear-time storage ---------------------------------------------

class _LinearCollection(FakeCollection):
    """Whole-collection scans, appends and ``_id`` deletions in linear time;
    anything else as the stock fake does it."""

    def _query(self, filt, sort=None):
        store = self._store()
        if filt or store is None or sort not in (None, [("_id", -1)]):
            return super()._query(filt, sort)
        # The bench stores documents in ascending `_id` order (seeded_client).
        return [dict(d) for d in (store.docs if sort is None else reversed(store.docs))]

    def insert_many(self, documents, ordered=True, **kwargs):
        def work():
            if not documents:
                raise TypeError("documents must be a non-empty list")
            store = self._store(create=True)
            ids = self._client.new_ids
            store.docs.extend({"_id": next(ids), **d} for d in documents)
        return self._op("insert_many", (documents,), kwargs, work)

    def _drop(self, ids):
        """Delete the documents whose `_id` is in ``ids`` (None: every one)."""
        store = self._store()
        if store is not None:
            gone = set(ids) if ids is not None else None
            store.docs = [d for d in store.docs if gone is not None and d["_id"] not in gone]

    def delete_many(self, filter, **kwargs):
        ids = filter.get("_id", {}).get("$in") if len(filter) == 1 else None
        if filter and ids is None:
            return super().delete_many(filter, **kwargs)
        return self._op("delete_many", (filter,), kwargs, lambda: self._drop(ids if filter else None))

    def bulk_write(self, requests, **kwargs):  # deleteMany statements by `_id`: in one pass
        lists = [r._filter.get("_id", {}).get("$in") if type(r) is DeleteMany and len(r._filter) == 1 else None
                 for r in requests]
        if not requests or any(ids is None for ids in lists):
            return super().bulk_write(requests, **kwargs)
        return self._op("bulk_write", (requests,), kwargs, lambda: self._drop([i for ids in lists for i in ids]))


class _LinearDatabase(FakeDatabase):
    def __getitem__(self, name):
        return _LinearCollection(self, name)

    get_collection = __getitem__


class LinearFakeClient(FakeClient):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.new_ids = itertools.count()  # cheaper than ObjectIds, enough for one run

    def __getitem__(self, name):
        return _LinearDatabase(self, name)

    get_database = __getitem__

    def _record(self, target, method, args=(), kwargs=None, sid=None):
        # Arguments are kept as given, not copied: the refresh never changes
        # a batch after handing it over, and the inserts above leave the
        # caller's documents alone. No faults are injected here.
        call = Call(target, method, tuple(args), dict(kwargs or {}), sid)
        self.calls.append(call)
        return call


# ---- the documents ---------------------------------------------------------------

def make_versions(n: int, seed: int = 1):
    """(temp docs, main docs), each in insertion order (ascending ``_id``)."""
    rng = random.Random(seed)
    docs = []
    for k in range(n):
        d = {"a": k, "b": f"b{k}", "c": k % 7, "__index__": rng.randrange(10 * n)}
        if k and rng.random() < 0.5:  # meets an earlier cluster
            how = rng.random()
            if how < 0.4:
                d["a"] = docs[rng.randrange(k)]["a"]
            elif how < 0.8:
                j = rng.randrange(k)
                d["b"], d["c"] = docs[j]["b"], docs[j]["c"]
            else:  # through both rules at once: two clusters merge
                d["a"] = docs[rng.randrange(k)]["a"]
                j = rng.randrange(k)
                d["b"], d["c"] = docs[j]["b"], docs[j]["c"]
        if rng.random() < 0.02:
            del d["__index__"]  # takes no part in the versioning
        docs.append(d)
    temp, main = [], []
    for k, d in enumerate(docs):  # ObjectIds in generation order, as one client makes them
        d["_id"] = ObjectId((0x6B000000).to_bytes(4, "big") + k.to_bytes(8, "big"))
        (temp if rng.random() < 0.5 else main).append(d)
    return temp, main


def seeded_client(temp, main) -> LinearFakeClient:
    for docs in (temp, main):
        assert all(x["_id"] < y["_id"] for x, y in zip(docs, docs[1:]))
    client = LinearFakeClient("motor")
    client.seed(DB, COLL, main)
    client.seed(DB, "_temp_" + COLL, temp)
    client.seed(DB, "archive_" + COLL, [])
    client.seed(DB, "_manage_" + COLL, [
        {"type": "archive_unique", "name": f"rule{i}", "keys": keys} for i, keys in enumerate(RULES)])
    return client


async def _no_op(**_kwargs):
    return None


class Timer:
    """Wall time and the process's CPU time of one stretch of work. The CPU
    time is the steadier figure on a machine shared with other work."""

    def __enter__(self):
        self.wall, self.cpu = time.perf_counter(), time.process_time()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.wall
        self.cpu = time.process_time() - self.cpu


def time_kestrel(temp, main):
    """One run of refresh_archive (a Timer) and its client.

    Before the run the collector is emptied and what exists is frozen out of
    it (gc.freeze), so that its passes during the run walk what the run
    allocates, not the bench's own copies of the documents."""
    kf.deactive_index = _no_op
    kf.active_index = _no_op
    client = seeded_client(temp, main)

    async def run():
        with Timer() as t:
            await kf.refresh_archive(client, DB, COLL)
        return t
    gc.collect()
    gc.freeze()
    try:
        return asyncio.run(run()), client
    finally:
        gc.unfreeze()


def time_reference(temp, main):
    temp_scan = copy.deepcopy(sorted(temp, key=lambda d: d["_id"], reverse=True))
    main_scan = copy.deepcopy(sorted(main, key=lambda d: d["_id"], reverse=True))
    uniques = [set(keys) for keys in RULES]
    with Timer() as t:
        out = reference_cluster(temp_scan, main_scan, uniques)
    return t, out


def written(client):
    """What the refresh wrote: (moved docs, deleted main ids, archived docs)."""
    moved = [c.arg for c in client.calls_to(f"{DB}.{COLL}.insert_many")]
    (deletion,) = [c for c in client.calls if c.name in (f"{DB}.{COLL}.delete_many", f"{DB}.{COLL}.bulk_write")]
    archived = [c.arg for c in client.calls_to(f"{DB}._temp_archive_{COLL}.insert_many")]
    return (moved[0] if moved else [], deleted_ids(deletion), archived[0] if archived else [])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[20_000, 200_000])
    parser.add_argument("--reference-sizes", type=int, nargs="*", default=[20_000],
                        help="sizes at which the reference runs too (it is quadratic)")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--no-rules", action="store_true", help="no clustering, no reference")
    args = parser.parse_args(argv)
    if args.no_rules:
        RULES.clear()
        args.reference_sizes = []

    # The machine's speed can drift while the bench runs, so the sizes take
    # turns, round after round, and every comparison is made within a round.
    data = {n: make_versions(n) for n in args.sizes}
    rounds = []
    for _ in range(args.repeat):
        rounds.append({n: time_kestrel(*data[n]) for n in args.sizes})
    for n in args.sizes:
        t = min((r[n][0] for r in rounds), key=lambda t: t.cpu)
        moved, deleted, archived = written(rounds[-1][n][1])
        print(f"N={n:>8,}  kestrel    {t.wall:8.3f} s wall {t.cpu:8.3f} s CPU   (best of {args.repeat}; "
              f"moved {len(moved):,}, archived {len(archived):,}, main deleted {len(deleted):,})",
              flush=True)
    base = min(args.sizes)
    for n in sorted(args.sizes):
        if n != base:
            ratios = sorted(r[n][0].cpu / r[base][0].cpu for r in rounds)
            best = min(r[n][0].cpu for r in rounds) / min(r[base][0].cpu for r in rounds)
            print(f"kestrel time({n:,}) / time({base:,}): {best:.2f} best to best CPU, "
                  f"{ratios[len(ratios) // 2]:.2f} median within a round "
                  f"(range {ratios[0]:.2f}-{ratios[-1]:.2f}; size ratio {n / base:g})", flush=True)

    for n in args.reference_sizes:
        temp, main_docs = data.get(n) or make_versions(n)
        before, client = time_kestrel(temp, main_docs)
        ref, out = time_reference(temp, main_docs)
        after, _ = time_kestrel(temp, main_docs)
        if written(client) != (out["temp_to_main_docs"], out["main_del_ids"], out["corrected_archive_docs"]):
            sys.exit(f"N={n}: kestrel and the reference disagree")
        ours = min(before.cpu, after.cpu)
        print(f"N={n:>8,}  reference  {ref.wall:8.3f} s wall {ref.cpu:8.3f} s CPU   same output; "
              f"reference / kestrel (runs just before and after) {ref.cpu / ours:.0f}x CPU", flush=True)


if __name__ == "__main__":
    main()
