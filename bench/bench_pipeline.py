"""The library against the driver alone, on the embedded server.

For each client (Motor's and PyMongo's) and each N:
  * merge:   temp_to_main of N documents of about 300 bytes, one unique rule,
             a fifth of whose keys already exist in the main collection;
  * refresh: refresh_archive of the same load with __index__ versions and
             one archive-unique rule;
  * find:    find with K = 1,000 matching documents of N main documents
             and two unique rules, 50 newer versions of some of them waiting
             in the temp companion (the data merged already).
Each is timed next to bench/driver_baseline.py, which makes the same driver
calls with the same client, on identical fresh data. Reports documents per
second and the ratio library/baseline (time).

    python bench/bench_pipeline.py [N,N,...]      (default 10000; bench/bench_scale.py
                                                   times the pipeline's steps at 100,000)
    KESTREL_URI=mongodb://... python bench/bench_pipeline.py
"""

import asyncio
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import driver_baseline as base  # noqa: E402
import kestrel.functions as kf  # noqa: E402

PAD = "x" * 220


def clients(host, user, pwd):
    from motor.motor_asyncio import AsyncIOMotorClient
    from pymongo import AsyncMongoClient
    return {"motor": lambda: AsyncIOMotorClient(host=host, username=user, password=pwd, authSource="admin"),
            "pymongo": lambda: AsyncMongoClient(host=host, username=user, password=pwd, authSource="admin")}


async def close(client):
    r = client.close()
    if asyncio.iscoroutine(r):
        await r


async def fresh(client, db_name, c, n, versions, unique, merged=False):
    """A managed collection with n temp documents (and n/5 main documents
    sharing their keys); with versions, documents carry __index__. Merged:
    n main documents, and newer versions of 50 of them in the temp companion."""
    await client[db_name].command("dropAllRolesFromDatabase", 1)
    await client.drop_database(db_name)
    await kf.create_collection(client, db_name, c, {"v_index": "[('v', 1), ('b', 1)]"},
                               unique, {"key": ["k"]})
    await kf.create_collection(client, db_name, "archive_" + c, {}, {}, {})
    db = client[db_name]
    main = [{"k": i, "a": i % 97, "b": i, "v": 0, "pad": PAD} for i in range(0, n, 1 if merged else 5)]
    temp = [{"k": i, "a": i % 97, "b": i, "v": 1, "pad": PAD} for i in range(0, n, n // 50 if merged else 1)]
    if versions:
        for d in main:
            d["__index__"] = 1
        for i, d in enumerate(temp):
            d["__index__"] = 2 if i % 2 else 0
    if main:
        await db[c].insert_many(main)
    for k in range(0, n, 10_000):
        await db["_temp_" + c].insert_many(temp[k:k + 10_000])


async def timed(fn, *args):
    t = time.perf_counter()
    r = await fn(*args)
    return time.perf_counter() - t, r


async def bench_one(make, n, kind):
    client = make()
    db_name, c = "kestrel_bench", "items"
    try:
        out = {}
        for who, impl in (("kestrel", kf), ("driver", base)):
            unique = {"key": ["k"], "alt": ["a", "b"]} if kind == "find" else {"key": ["k"]}
            await fresh(client, db_name, c, n, versions=(kind == "refresh"), unique=unique,
                        merged=(kind == "find"))
            if kind == "merge":
                t, _ = await timed(impl.temp_to_main, client, db_name, c)
            elif kind == "refresh":
                t, _ = await timed(impl.refresh_archive, client, db_name, c)
            else:
                query = {"v": 0, "k": {"$lt": 1000}}  # 1,000 main documents, 5 with a newer version
                t, found = await timed(impl.find, client, db_name, c, query)
                out[who + "_found"] = len(found)
            out[who] = t
        await client.drop_database(db_name)
        return out
    finally:
        await close(client)


def report(name, flavor, n, r, unit_count):
    k, d = r["kestrel"], r["driver"]
    print(f"{name:8} {flavor:8} N={n:>7,}  kestrel {unit_count / k:>9,.0f}/s ({k:6.2f} s)   "
          f"driver {unit_count / d:>9,.0f}/s ({d:6.2f} s)   ratio {k / d:5.2f}x", flush=True)


async def main(host, user, pwd, sizes):
    makers = clients(host, user, pwd)
    results = {}
    for n in sizes:
        for flavor, make in makers.items():
            for kind in ("merge", "refresh"):
                r = await bench_one(make, n, kind)
                report(kind, flavor, n, r, n)
                results[(kind, flavor, n)] = r
    for flavor, make in makers.items():
        n = max(sizes)
        r = await bench_one(make, n, "find")
        assert r["kestrel_found"] == r["driver_found"], r
        report("find", flavor, n, r, 1000)
        results[("find", flavor, n)] = r
    return results


def run(sizes):
    uri = os.environ.get("KESTREL_URI")
    if uri:
        from pymongo import uri_parser
        p = uri_parser.parse_uri(uri)
        host = ",".join(f"{h}:{port}" for h, port in p["nodelist"])
        return asyncio.run(main(host, p["username"], p["password"], sizes))
    from server import start_server
    with start_server("root", "bench-pw") as server:
        return asyncio.run(main(server.host, "root", "bench-pw", sizes))


if __name__ == "__main__":
    sizes = [int(s) for s in (sys.argv[1] if len(sys.argv) > 1 else "10000").split(",")]
    print("library vs the driver alone on the same client (documents per second; "
          "find: matching documents per second)")
    run(sizes)
