"""The pipeline at scale on the embedded server: every step's time, and each
deletion by ids next to `delete_many({})` of the same documents.

For each client (Motor's and PyMongo's) and each N, on a fresh managed
collection (one declared index, unique rule and archive-unique rule on the key
`k`, documents of about 300 bytes):

  1. load N documents, N keys, `__index__` 1, with `insert_temp` in batches
     of 1,000;
  2. `temp_to_main`: the main collection was empty, so nothing is replaced;
     the clearing of the temp companion deletes N documents by id;
  3. load N new versions of the same keys (`__index__` 2);
  4. `temp_to_main`: the unique rule replaces every main document, so
     `Delete_doc_main` gets N ids; the clearing deletes N more;
  5. load N newer versions again (`__index__` 3);
  6. `refresh_archive`: the N main versions are archived (stored in
     `_temp_archive_c`, then deleted by id through `Delete_doc_main`), the N
     newer ones moved in, and the clearing deletes N.

The phases' times come from the library's own DEBUG records (logger
`kestrel.functions`, attribute `kestrel`: `operation`, `phase`, `duration`).
After each merge and the refresh, the documents each of its deletions deleted
(read before the step) are rebuilt in a scratch collection with their own
`_id`s and only the `_id` index, as the temp companion and the main collection
(its indexes dropped) have when the deletion runs, and deleted there with
`delete_many({})`: the deletion's time is shown next to that one's and their
ratio; on the embedded server also the server process's CPU seconds during
each (from /proc), which the other work on a shared machine disturbs less.
With two sizes, each deletion at the larger N is also set against the same
deletion at the smaller. The bench checks that each deletion deleted the
documents expected.

`make bench` runs the default, N = 10,000; `--full` adds the 100,000 run.

    python bench/bench_scale.py                  # N = 10,000, both clients: about 1.5 minutes
    python bench/bench_scale.py --full           # N = 10,000 and 100,000: 15 to 20 minutes
    python bench/bench_scale.py --sizes 100000 --clients pymongo
    KESTREL_TEST_URI=mongodb://... python bench/bench_scale.py
"""

from __future__ import annotations

import argparse
import logging
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import kestrel.functions as kf  # noqa: E402
from bench_loading import close, makers, on_server, table  # noqa: E402
from bench_pipeline import PAD  # noqa: E402
from latency_proxy import process_cpu  # noqa: E402

DB, C = "kestrel_bench_scale", "items"
BATCH = 1_000
REBUILD_BATCH = 10_000
FULL = [10_000, 100_000]


class Phases(logging.Handler):
    """The `kestrel` dicts of the library's records, in the order they came,
    each with the server's CPU seconds so far (`cpu`) when its process is known."""

    def __init__(self, server_cpu):
        super().__init__(logging.DEBUG)
        self.records = []
        self.server_cpu = server_cpu

    def emit(self, record):
        figures = getattr(record, "kestrel", None)
        if figures is not None:
            self.records.append(dict(figures, cpu=self.server_cpu()))

    def take(self, operation):
        """The phases of the last `operation` call: phase name to its dict,
        with the server's CPU seconds during the phase (`server_cpu`)."""
        out, cpu = {}, None
        for r in self.records:
            if r.get("operation") == operation and r.get("collection") == C:
                r["server_cpu"] = r["cpu"] - cpu if None not in (r["cpu"], cpu) else None
                out[r["phase"]], cpu = r, r["cpu"]
        self.records.clear()
        return out


async def fresh(client):
    await client[DB].command("dropAllRolesFromDatabase", 1)
    await client.drop_database(DB)
    await kf.create_collection(client, DB, C, {"v_index": "[('v', 1), ('b', 1)]"},
                               {"key": ["k"]}, {"key": ["k"]})
    await kf.create_collection(client, DB, "archive_" + C, {}, {}, {})


async def load(client, n, version):
    for start in range(0, n, BATCH):
        await kf.insert_temp(client, DB, C, [
            {"k": i, "a": i % 97, "b": i, "v": version, "__index__": version, "pad": PAD}
            for i in range(start, min(n, start + BATCH))])


async def snapshot(collection):
    return [d async for d in collection.find({})]


async def delete_all(client, docs, server_cpu):
    """Seconds (and the server's CPU seconds) `delete_many({})` takes on `docs`
    rebuilt, with their `_id`s, in a collection of their own."""
    scratch = client[DB]["scratch"]
    await scratch.drop()
    for start in range(0, len(docs), REBUILD_BATCH):
        await scratch.insert_many(docs[start:start + REBUILD_BATCH])
    cpu, t = server_cpu(), time.perf_counter()
    deleted = (await scratch.delete_many({})).deleted_count
    elapsed, cpu = time.perf_counter() - t, (server_cpu() - cpu if cpu is not None else None)
    assert deleted == len(docs), (deleted, len(docs))
    await scratch.drop()
    return elapsed, cpu


async def gone(collection, docs):
    """How many of `docs` are still in `collection`."""
    ids = [d["_id"] for d in docs]
    left = 0
    for start in range(0, len(ids), 8):
        left += await collection.count_documents({"_id": {"$in": ids[start:start + 8]}})
    return left


async def pipeline(make, n, phases, say):
    """Every step's seconds, and for each deletion by ids (step, what) its
    seconds and the server's CPU seconds next to delete_many({})'s of the same
    documents."""
    client = make()
    try:
        db = client[DB]
        main, temp = db[C], db["_temp_" + C]
        await fresh(client)
        steps, deletions = {}, []

        async def step(name, coro):
            t = time.perf_counter()
            await coro
            steps[name] = time.perf_counter() - t
            say(f"{name}: {steps[name]:.2f} s")

        async def op(name, fn, deleted_main):
            deleted_temp = await snapshot(temp)
            phases.records.clear()
            await step(name, fn(client, DB, C))
            ph = phases.take(fn.__name__)
            steps[name + " phases"] = ph
            assert ph["temp companion cleared"]["cleared"] == len(deleted_temp) == n, ph
            assert await temp.count_documents({}) == 0
            kinds = [("clearing", deleted_temp, "temp companion cleared")]
            if deleted_main is not None:
                assert ph["main documents deleted"]["deleted"] == len(deleted_main) == n, ph
                assert await gone(main, deleted_main[:: max(1, n // 1000)]) == 0
                kinds.insert(0, ("Delete_doc_main", deleted_main, "main documents deleted"))
            for what, docs, phase in kinds:
                by_ids = ph[phase]["duration"], ph[phase]["server_cpu"]
                everything = await delete_all(client, docs, phases.server_cpu)
                deletions.append((name, what, len(docs), by_ids, everything))
                say(f"  {what} of {len(docs):,}: {by_ids[0]:.2f} s, delete_many({{}}) {everything[0]:.2f} s, "
                    f"{by_ids[0] / everything[0]:.2f}x")

        await step("load 1", load(client, n, 1))
        await op("temp_to_main 1", kf.temp_to_main, None)
        assert await main.count_documents({"v": 1}) == n
        await step("load 2", load(client, n, 2))
        await op("temp_to_main 2", kf.temp_to_main, await snapshot(main))
        assert await main.count_documents({"v": 2}) == await main.count_documents({}) == n
        await step("load 3", load(client, n, 3))
        await op("refresh_archive", kf.refresh_archive, await snapshot(main))
        assert await main.count_documents({"v": 3}) == await main.count_documents({}) == n
        assert await db["_temp_archive_" + C].count_documents({"v": 2}) == n
        await client[DB].command("dropAllRolesFromDatabase", 1)
        await client.drop_database(DB)
        return steps, deletions
    finally:
        await close(client)


PHASES = {"temp_to_main": ["scan done", "indexes dropped", "main documents deleted", "documents inserted",
                           "temp companion cleared", "indexes rebuilt"],
          "refresh_archive": ["scan done", "archive copies stored", "indexes dropped", "main documents deleted",
                              "documents inserted", "indexes rebuilt", "temp companion cleared"]}


def step_rows(flavor, n, steps):
    rows = []
    for name, seconds in steps.items():
        if name.endswith(" phases"):
            continue
        ph = steps.get(name + " phases")
        detail = ""
        if ph:
            kind = "refresh_archive" if name.startswith("refresh") else "temp_to_main"
            detail = ", ".join(f"{p} {ph[p]['duration']:.2f}" for p in PHASES[kind] if p in ph)
        rows.append([flavor, f"{n:,}", name, f"{seconds:.2f} s", detail])
    return rows


async def main(host, user, pwd, auth_source, args):
    clients = {k: v for k, v in makers(host, user, pwd, auth_source).items() if k in args.clients}
    phases = Phases(lambda: process_cpu(args.server_pid) if args.server_pid else None)
    logger = logging.getLogger("kestrel.functions")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(phases)
    step_table, deletion_rows, by = [], [], {}
    for n in args.sizes:
        for flavor, make in clients.items():
            print(f"N={n:,} {flavor}", flush=True)
            t = time.perf_counter()
            steps, deletions = await pipeline(make, n, phases, lambda s: print("  " + s, flush=True))
            print(f"  pipeline with its baselines: {time.perf_counter() - t:.0f} s", flush=True)
            step_table += step_rows(flavor, n, steps)
            for name, what, count, by_ids, everything in deletions:
                by[(flavor, name, what, n)] = by_ids, everything
                deletion_rows.append([flavor, f"{n:,}", name, what, f"{count:,}", *pair(by_ids, everything)])
    print()
    table(["client", "N", "step", "time", "phases (s)"], step_table)
    print("Each deletion by ids next to delete_many({}) of the same documents; in brackets the "
          "server's CPU seconds")
    table(["client", "N", "step", "deletion", "documents", "by ids", "delete_many({})", "ratio"],
          deletion_rows)
    if len(args.sizes) > 1:
        small, large = min(args.sizes), max(args.sizes)
        print(f"N={large:,} against N={small:,}: by ids; delete_many({{}}) of the same documents")
        rows = []
        for (flavor, name, what, n), (by_ids, everything) in by.items():
            if n == small:
                big_ids, big_all = by[(flavor, name, what, large)]
                rows.append([flavor, name, what, *pair(big_ids, by_ids), *pair(big_all, everything)[2:]])
        table(["client", "step", "deletion", f"by ids, N={large:,}", f"by ids, N={small:,}", "ratio",
               "delete_many({}) ratio"], rows)


def pair(a, b):
    """Cells for two (seconds, server CPU seconds or None): a, b, a / b."""
    def cell(x):
        return f"{x[0]:.2f} s" + (f" [{x[1]:.2f}]" if x[1] is not None else "")
    ratio = f"{a[0] / b[0]:.2f}x"
    if a[1] is not None and b[1]:
        ratio += f" [{a[1] / b[1]:.2f}x]"
    return [cell(a), cell(b), ratio]


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--full", action="store_true", help="N = 10,000 and 100,000")
    p.add_argument("--sizes", help="N, comma-separated (default 10000)")
    p.add_argument("--clients", default="motor,pymongo")
    args = p.parse_args(argv)
    args.sizes = FULL if args.full and not args.sizes else [int(s) for s in (args.sizes or "10000").split(",")]
    args.clients = args.clients.split(",")
    return args


def run(argv=None):
    on_server("bench_scale", main, parse(sys.argv[1:] if argv is None else argv))


if __name__ == "__main__":
    run()
