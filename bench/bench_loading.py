"""Loading while merging, and what clearing the temp companion costs.

1. Loading while merging (bench/load_scenario.py), for each client (Motor's
   and PyMongo's): two loader tasks insert batches of 20 documents over 200
   keys with a per-key version counter for 6 s while one or two tasks loop
   `temp_to_main` (or `refresh_archive`) on the same collection; then the
   loaders stop, the merging tasks finish their call, and one last merge
   runs. Reported: documents loaded, merges done while loading, merges that
   failed, keys whose main document is not exactly the last loaded version
   (wrong or missing), keys with no main document at all (lost), main
   documents beyond one a key (duplicates), documents left in `_temp_c`; for
   refreshes also the loaded versions found neither in the main collection
   nor in `_temp_archive_c` (gone) and those found more than once
   (duplicated). A faultless run has zeros in every column after "failed".
   With --reference each case also runs with the merge and the refresh of
   bench/driver_baseline.py, which clear only what their scan read, taking
   turns (bench/load_scenario.py's `reference`): what a correct merge comes
   to on the same load, and how long it takes.

2. Clearing, with the driver alone: the temp companion holding N documents,
   `delete_many({})` against the library's deletion by ids (one bulk write
   of deleteMany statements of 8 ids each, bench/plain_ops.py's
   `delete_ids`), taking turns, both clients, several rounds; `--per 1,4,16`
   adds statements of other sizes, the measurement behind the library's 8. `--in-form`
   adds the earlier form, one `delete_many({"_id": {"$in": ids}})` of every
   id: SecantusDB matches each document it deletes against the whole `$in`
   list, so that form grows with N x N (1,000 documents take seconds,
   10,000 several minutes a call).

    python bench/bench_loading.py                    # a few minutes
    python bench/bench_loading.py --quick            # smoke run, well under a minute
    python bench/bench_loading.py --clear-sizes 10000,100000 --no-load              # a few minutes
    python bench/bench_loading.py --clear-sizes 10000 --clear-rounds 1 --no-load --in-form  # about 20 min
    python bench/bench_loading.py --reference --clear-sizes ''                      # about 5 min
    KESTREL_TEST_URI=mongodb://... python bench/bench_loading.py
"""

from __future__ import annotations

import argparse
import asyncio
import os
import platform
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import load_scenario  # noqa: E402
from plain_ops import IDS_PER_STATEMENT, delete_statements  # noqa: E402

DB = "kestrel_bench_loading"
CASES = [("merge", 1), ("merge", 2), ("refresh", 1), ("refresh", 2)]
FILL_BATCH = 10_000


def makers(host, user, pwd, auth_source="admin"):
    from motor.motor_asyncio import AsyncIOMotorClient
    from pymongo import AsyncMongoClient
    kw = dict(host=host, username=user, password=pwd, authSource=auth_source)
    return {"motor": lambda: AsyncIOMotorClient(**kw), "pymongo": lambda: AsyncMongoClient(**kw)}


async def close(client):
    result = client.close()
    if asyncio.iscoroutine(result):
        await result


# ---- loading while merging -------------------------------------------------------

LOAD_COLUMNS = ["loaded", "merges", "failed", "wrong or missing", "lost", "duplicates",
                "temp left", "versions gone", "versions duplicated"]


async def load_case(make, kind, tasks, args, who):
    client = make()
    try:
        await load_scenario.drop(client, DB)
        outcome = await load_scenario.run_case(
            client, DB, kind, tasks, loaders=args.loaders, keys=args.keys, batch=args.batch,
            seconds=args.seconds,
            operation=load_scenario.reference(kind) if who == "plain" else None)
        await load_scenario.drop(client, DB)
        return outcome
    finally:
        await close(client)


def load_row(who, flavor, kind, tasks, o, keys):
    s = o.summary()
    assert s["strangers"] == 0, s  # a main document of a key nobody loaded
    cells = {"loaded": len(o.loaded), "merges": o.merges, "failed": len(o.failures), **s}
    out = [f"{kind} x{tasks}", who, flavor, f"{o.seconds:.1f} s"]
    for col in LOAD_COLUMNS:
        v = cells.get(col)
        if v is None:
            out.append("")
        elif col in ("wrong or missing", "lost"):
            out.append(f"{v:,} of {keys}")
        elif col.startswith("versions"):
            out.append(f"{v:,} of {len(o.loaded):,}")
        else:
            out.append(f"{v:,}")
    return out


# ---- clearing --------------------------------------------------------------------

async def fill(coll, n):
    await coll.drop()
    for start in range(0, n, FILL_BATCH):
        await coll.insert_many([{"key": i, "version": 1, "pad": load_scenario.PAD}
                                for i in range(start, min(n, start + FILL_BATCH))])
    return [d["_id"] async for d in coll.find({}, {"_id": 1})]


async def clear_once(make, n, how):
    """Seconds one clearing of n temp documents takes ("all": delete_many({});
    "ids": the library's form; "ids:K": the same with K ids a statement;
    "in": one `$in` of every id), and the statements sent."""
    client = make()
    try:
        coll = client[DB]["_temp_" + load_scenario.COLLECTION]
        ids = await fill(coll, n)
        assert len(ids) == n
        t = time.perf_counter()
        if how == "all":
            calls, deleted = 1, (await coll.delete_many({})).deleted_count
        elif how == "in":
            calls, deleted = 1, (await coll.delete_many({"_id": {"$in": ids}})).deleted_count
        else:
            per = int(how.partition(":")[2] or IDS_PER_STATEMENT)
            statements = delete_statements(coll, ids, per)
            calls, deleted = len(statements), (await coll.bulk_write(statements)).deleted_count
        elapsed = time.perf_counter() - t
        assert deleted == n and await coll.count_documents({}) == 0, (deleted, n)
        await client.drop_database(DB)
        return elapsed, calls
    finally:
        await close(client)


async def clearing(clients, sizes, rounds, forms):
    times = {}  # (n, flavor, how) -> [seconds]
    calls = {}
    for r in range(rounds):
        for n in sizes:
            for flavor, make in clients.items():
                # The forms take turns, and the one that goes first alternates.
                for how in (forms if r % 2 == 0 else forms[::-1]):
                    t, c = await clear_once(make, n, how)
                    times.setdefault((n, flavor, how), []).append(t)
                    calls[(n, flavor, how)] = c
                    print(f"  round {r + 1}: N={n:,} {flavor} {how}: {t:.3f} s", flush=True)
    rows = []
    for n in sizes:
        for flavor in clients:
            a = times[(n, flavor, "all")]
            for how in forms[1:]:
                i = times[(n, flavor, how)]
                ratios = sorted(y / x for x, y in zip(a, i))
                rows.append([f"{n:,}", flavor, f"{statistics.median(a):.3f} s",
                             FORMS.get(how) or f"statements of {how.partition(':')[2]} ids",
                             f"{statistics.median(i):.3f} s ({calls[(n, flavor, how)]:,} statements)",
                             f"{statistics.median(ratios):,.2f}x",
                             f"{ratios[0]:,.2f}x-{ratios[-1]:,.2f}x", str(len(ratios))])
    return rows


FORMS = {"ids": "statements of 8 ids", "in": "one $in of all ids"}


# ---- output ----------------------------------------------------------------------

def table(header, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"  # noqa: E731
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print(flush=True)


def versions():
    from importlib.metadata import PackageNotFoundError, version
    out = [f"CPython {platform.python_version()}"]
    for dist in ("motor", "pymongo", "SecantusDB"):
        try:
            out.append(f"{dist} {version(dist)}")
        except PackageNotFoundError:
            pass
    return ", ".join(out)


async def main(host, user, pwd, auth_source, args):
    clients = {k: v for k, v in makers(host, user, pwd, auth_source).items() if k in args.clients}
    if not args.no_load:
        print(f"Loading while merging: {args.loaders} loaders, {args.keys} keys, batches of "
              f"{args.batch}, {args.seconds:g} s of loading, then one last merge", flush=True)
        rows = []
        for kind, tasks in args.cases:
            for who in ["kestrel"] + ["plain"] * args.reference:
                for flavor, make in clients.items():
                    o = await load_case(make, kind, tasks, args, who)
                    rows.append(load_row(who, flavor, kind, tasks, o, len(o.last)))
                    print(f"  {kind} x{tasks} {who} {flavor}: {o.describe()}; {o.seconds:.1f} s",
                          flush=True)
                    if o.failures:
                        print(f"    first failure: {o.failures[0]!r} caused by "
                              f"{o.failures[0].__cause__!r}", flush=True)
        print()
        table(["case", "merging", "client", "time"] + LOAD_COLUMNS, rows)
    if args.clear_sizes:
        forms = ["all", "ids"] + [f"ids:{k}" for k in args.per] + ["in"] * args.in_form
        print(f"Clearing the temp companion: delete_many({{}}) against the deletion by ids"
              f"{' and one $in of all ids' if args.in_form else ''}, {args.clear_rounds} round(s)", flush=True)
        rows = await clearing(clients, args.clear_sizes, args.clear_rounds, forms)
        print()
        table(["N", "client", "{} (median)", "form", "by ids (median)", "ratio (median)",
               "ratio range", "rounds"], rows)


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="smoke run: 2 s of loading, small clearing")
    p.add_argument("--seconds", type=float, help="of loading (default 6; --quick: 2)")
    p.add_argument("--loaders", type=int, default=2)
    p.add_argument("--keys", type=int, default=200)
    p.add_argument("--batch", type=int, default=20)
    p.add_argument("--clients", default="motor,pymongo")
    p.add_argument("--no-load", action="store_true", help="only the clearing")
    p.add_argument("--reference", action="store_true",
                   help="also merge with the plain-driver operations that take turns and "
                        "clear only what they read (bench/driver_baseline.py)")
    p.add_argument("--clear-sizes", help="temp documents, comma-separated ('' for no clearing; "
                   "default 1000,10000; --quick: 500)")
    p.add_argument("--clear-rounds", type=int, help="default 3; --quick: 1")
    p.add_argument("--per", type=lambda s: [int(k) for k in s.split(",") if k], default=[],
                   help="also statements of these many ids each, comma-separated (the library's: 8)")
    p.add_argument("--in-form", action="store_true",
                   help="also one delete_many({'_id': {'$in': ids}}) of every id (N x N on SecantusDB)")
    args = p.parse_args(argv)
    for name, normal, quick in (("seconds", 6.0, 2.0), ("clear_sizes", "1000,10000", "500"),
                                ("clear_rounds", 3, 1)):
        if getattr(args, name) is None:
            setattr(args, name, quick if args.quick else normal)
    args.clients = args.clients.split(",")
    args.cases = CASES
    args.clear_sizes = [int(s) for s in args.clear_sizes.split(",") if s]
    return args


def on_server(name, main, args):
    """asyncio.run(main(host, user, pwd, auth_source, args)) on the deployment
    KESTREL_TEST_URI (or KESTREL_URI) names, else on an embedded server (its
    process id in args.server_pid, else None), between a line of versions and
    load and one of the time it took."""
    print(f"{versions()}; {os.cpu_count()} cores; load average "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()), flush=True)
    t = time.monotonic()
    uri = os.environ.get("KESTREL_TEST_URI") or os.environ.get("KESTREL_URI")
    args.server_pid = None
    if uri:
        from pymongo import uri_parser
        p = uri_parser.parse_uri(uri)
        host = ",".join(f"{h}:{port}" for h, port in p["nodelist"])
        asyncio.run(main(host, p["username"], p["password"],
                         p["options"].get("authSource", "admin"), args))
    else:
        from server import start_server
        with start_server("root", "bench-pw") as server:
            args.server_pid = server.proc.pid
            asyncio.run(main(server.host, "root", "bench-pw", "admin", args))
    print(f"{name}: {time.monotonic() - t:.0f} s in all; load average "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()), flush=True)


def run(argv=None):
    on_server("bench_loading", main, parse(sys.argv[1:] if argv is None else argv))


if __name__ == "__main__":
    run()
