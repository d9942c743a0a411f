"""The merge and the find at network distance, next to the driver alone.

Two links:

  simulated  The recording fake of tests/fake_driver.py with a latency: every
             call that reaches a server and every cursor batch (101
             documents, then up to 16 MiB) answers one round trip later. It
             runs on an event loop whose clock jumps to the next timer when
             nothing is ready, so the elapsed time of the loop's clock, in
             round trips, is the number of round trips on the critical path,
             free of any CPU cost (client's or server's). Storage is a
             linear-time variant of the fake with equality lookups by hash.
  proxy      SecantusDB behind bench/latency_proxy.py, a TCP proxy in a
             process of its own that delays each direction by RTT/2: the
             real driver and server, both clients, wall time. The server's
             CPU time during each run is read from /proc and printed too: the
             server is one Python process, and where it is busy the link is
             not what limits the run.

Each operation is run by kestrel and by bench/driver_baseline.py (the same
driver calls, sequential), on identical fresh data, one after the other.

Workloads (N documents):
  merge      temp_to_main, one unique rule (k); N temp documents of about 300
             bytes. "replace": N main documents with the same keys (each temp
             document replaces one); "fifth": N/5 main documents with keys
             of the temp documents; "new": N main documents with other keys
             (the lookups find nothing).
  find       find, two unique rules (k; a and b). On the simulated link: the
             query matches the N temp documents, N/5 of which have an older
             equivalent in the main collection. Through the proxy: the query
             matches N main documents (after a merge, where the data lives),
             and 50 newer versions of some of them wait in the temp companion.

    python bench/bench_link.py                    # the default set, about 10 minutes
    python bench/bench_link.py --simulated-only
    python bench/bench_link.py --merges new:10000 fifth:10000 replace:10000 --finds 1000 10000
    MOTOR_MAX_WORKERS=64 python bench/bench_link.py ...   # Motor with more threads
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import selectors
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import driver_baseline as base  # noqa: E402
import fake_driver  # noqa: E402
from bench_cluster import LinearFakeClient, _LinearCollection, _LinearDatabase  # noqa: E402
from latency_proxy import Proxy, process_cpu  # noqa: E402

import kestrel.functions as kf  # noqa: E402

PAD = "x" * 220
DB, C = "kestrel_link", "items"
IMPLS = (("kestrel", kf), ("driver", base))


# ---- the simulated link ----------------------------------------------------------

class _Clock(selectors.BaseSelector):
    """A selector with nothing to select: waiting moves the loop's clock."""

    def __init__(self, loop):
        self.loop, self.keys = loop, {}

    def register(self, fileobj, events, data=None):
        key = selectors.SelectorKey(fileobj, fileobj if isinstance(fileobj, int) else fileobj.fileno(),
                                    events, data)
        self.keys[fileobj] = key
        return key

    def unregister(self, fileobj):
        return self.keys.pop(fileobj)

    def select(self, timeout=None):
        if timeout is None:
            raise RuntimeError("deadlock: nothing scheduled and nothing ready")
        self.loop.now += timeout
        return []

    def get_map(self):
        return self.keys

    def close(self):
        self.keys.clear()


class VirtualClockLoop(asyncio.SelectorEventLoop):
    def __init__(self):
        self.now = 0.0
        super().__init__(selector=_Clock(self))

    def time(self):
        return self.now


def _plain(value) -> bool:
    return isinstance(value, (int, str)) and not isinstance(value, bool)


class _IndexedCollection(_LinearCollection):
    """Equality filters on plain values answered from a hash index."""

    def _query(self, filt, sort=None):
        store = self._store()
        if (not filt or store is None or sort not in (None, [("_id", -1)])
                or not all(_plain(v) and not k.startswith("$") for k, v in filt.items())):
            return super()._query(filt, sort)
        fields = tuple(filt)
        cache = store.__dict__.setdefault("hash_index", {})
        docs, count, index = cache.get(fields, (None, -1, None))
        if docs is not store.docs or count != len(store.docs):
            index = {}
            for d in store.docs:
                if all(f in d and _plain(d[f]) for f in fields):
                    index.setdefault(tuple(d[f] for f in fields), []).append(d)
            cache[fields] = (store.docs, len(store.docs), index)
        found = [dict(d) for d in index.get(tuple(filt[f] for f in fields), ())]
        if sort:
            found.sort(key=lambda d: fake_driver._sort_key(d["_id"]), reverse=True)
        return found


class _IndexedDatabase(_LinearDatabase):
    def __getitem__(self, name):
        return _IndexedCollection(self, name)

    get_collection = __getitem__


class LinkFake(LinearFakeClient):
    def __getitem__(self, name):
        return _IndexedDatabase(self, name)

    get_database = __getitem__


def documents(n, v, keys):
    return [{"k": i, "a": i % 97, "b": i, "v": v, "pad": PAD} for i in keys]


def seed_merge(fake, n, shape):
    fake.seed(DB, "_manage_" + C, [{"type": "unique", "name": "key", "keys": ["k"]}])
    main_keys = {"replace": range(n), "fifth": range(0, n, 5), "new": range(n, 2 * n)}[shape]
    fake.seed(DB, C, documents(n, 0, main_keys))
    fake.seed(DB, "_temp_" + C, documents(n, 1, range(n)))


def seed_find(fake, n):
    fake.seed(DB, "_manage_" + C, [{"type": "unique", "name": "key", "keys": ["k"]},
                                   {"type": "unique", "name": "alt", "keys": ["a", "b"]}])
    fake.seed(DB, C, documents(n, 0, range(0, n, 5)))
    fake.seed(DB, "_temp_" + C, documents(n, 1, range(n)))


def simulated(flavor, impl, op, n, shape):
    """Round trips on the critical path of one run, and the server calls made."""
    fake = LinkFake(flavor, latency=1.0)
    if op == "merge":
        seed_merge(fake, n, shape)
        run = impl.temp_to_main(fake, DB, C)
    else:
        seed_find(fake, n)
        run = impl.find(fake, DB, C, {"v": 1})

    async def timed():
        loop = asyncio.get_running_loop()
        start = loop.time()
        result = await run
        return loop.time() - start, result
    with asyncio.Runner(loop_factory=VirtualClockLoop) as runner:
        trips, result = runner.run(timed())
    calls = sum(1 for c in fake.calls if c.target not in ("session", "txn") and c.method != "sort")
    found = len(result) if op == "find" else None
    return trips, calls, found


def report_simulated(sizes):
    print("simulated link: round trips on the critical path (kestrel next to the driver alone)",
          flush=True)
    print(f"{'op':6} {'shape':8} {'client':8} {'N':>7}  {'kestrel':>8} {'per doc':>8}  "
          f"{'driver':>8} {'per doc':>8}  {'ratio':>6}  server calls", flush=True)
    cases = [("merge", "replace"), ("merge", "new"), ("find", "temp")]
    for n in sizes:
        for op, shape in cases:
            for flavor in ("motor", "pymongo"):
                ours, ours_calls, found = simulated(flavor, kf, op, n, shape)
                theirs, theirs_calls, found_too = simulated(flavor, base, op, n, shape)
                assert found == found_too, (found, found_too)
                per = found if op == "find" else n
                print(f"{op:6} {shape:8} {flavor:8} {n:>7,}  {ours:>8,.0f} {ours / per:>8.3f}  "
                      f"{theirs:>8,.0f} {theirs / per:>8.3f}  {theirs / ours:>5.1f}x  "
                      f"{ours_calls:,} / {theirs_calls:,}"
                      + (f"  ({found:,} found)" if op == "find" else ""), flush=True)


# ---- the proxy ----------------------------------------------------------------------

def make_client(flavor, host, user, pwd):
    if flavor == "motor":
        from motor.motor_asyncio import AsyncIOMotorClient as cls
    else:
        from pymongo import AsyncMongoClient as cls
    # directConnection: the server announces its own address as a replica set
    # member, and the driver would otherwise go around the proxy.
    return cls(host=host, username=user, password=pwd, authSource="admin", directConnection=True)


async def close(client):
    r = client.close()
    if asyncio.iscoroutine(r):
        await r


async def fresh(client, op, n, shape):
    await client[DB].command("dropAllRolesFromDatabase", 1)
    await client.drop_database(DB)
    unique = {"key": ["k"]} if op == "merge" else {"key": ["k"], "alt": ["a", "b"]}
    await kf.create_collection(client, DB, C, {"v_index": "[('v', 1), ('b', 1)]"}, unique, {})
    db = client[DB]
    if op == "merge":
        main_keys = {"replace": range(n), "fifth": range(0, n, 5), "new": range(n, 2 * n)}[shape]
        main, temp = documents(n, 0, main_keys), documents(n, 1, range(n))
    else:  # the data merged already, a few newer versions waiting
        main, temp = documents(n, 0, range(n)), documents(n, 1, range(0, n, max(1, n // 50)))
    for docs, coll in ((main, C), (temp, "_temp_" + C)):
        for k in range(0, len(docs), 10_000):
            await db[coll].insert_many(docs[k:k + 10_000])


async def proxied(client, proxy, server_pid, impl, op, n, shape):
    """Wall time, server CPU time, client CPU time, most requests in flight,
    documents found."""
    await fresh(client, op, n, shape)
    proxy.stats()
    cpu, own, t = process_cpu(server_pid), time.process_time(), time.perf_counter()
    if op == "merge":
        result = await impl.temp_to_main(client, DB, C)
    else:
        result = await impl.find(client, DB, C, {"v": 0})
    t, cpu, own = time.perf_counter() - t, process_cpu(server_pid) - cpu, time.process_time() - own
    return t, cpu, own, proxy.stats()[1], (len(result) if op == "find" else None)


def motor_threads():
    from motor.frameworks import asyncio as motor_asyncio
    return motor_asyncio._EXECUTOR._max_workers


def through_proxy(host, user, pwd, server_pid, rtt, flavor, op, n, shape, impls=IMPLS):
    """Each implementation's figures for one case, on one client, through a
    proxy of the given round-trip time."""
    with Proxy(host, rtt) as proxy:
        async def main():
            client = make_client(flavor, proxy.host, user, pwd)
            try:
                out = {who: await proxied(client, proxy, server_pid, impl, op, n, shape)
                       for who, impl in impls}
                await client.drop_database(DB)
                return out
            finally:
                await close(client)
        return asyncio.run(main())


def report_proxy(host, user, pwd, server_pid, rtts, cases, motor_threads_check):
    print(f"\nthrough the proxy (SecantusDB): wall seconds, kestrel next to the driver alone; "
          f"[server CPU, client CPU] seconds, most requests in flight at once; "
          f"speedup = driver / kestrel. Motor runs its calls on {motor_threads()} threads.", flush=True)
    driver_time = {}
    for op, shape, n in cases:
        for flavor in ("motor", "pymongo"):
            for rtt in rtts:
                r = through_proxy(host, user, pwd, server_pid, rtt, flavor, op, n, shape)
                (k, ks, kc, kw, found), (d, ds, dc, dw, found_too) = r["kestrel"], r["driver"]
                assert found == found_too, (found, found_too)
                driver_time[op, shape, n, flavor, rtt] = d
                print(f"{op:5} {shape:7} {flavor:7} N={n:>6,} RTT {rtt:>3g} ms  kestrel {k:7.2f} s "
                      f"[{ks:5.2f} {kc:5.2f}] {kw:>3}  driver {d:7.2f} s [{ds:5.2f} {dc:5.2f}] {dw:>3}  "
                      f"speedup {d / k:5.1f}x" + (f"  ({found:,} found)" if op == "find" else ""), flush=True)

    # Motor sizes its thread pool when it is imported: a process of its own.
    merges = [(n, shape) for op, shape, n in cases if op == "merge"]
    if not (motor_threads_check and merges):
        return
    n, shape = max(merges)
    rtt = max(rtts)
    env = {**os.environ, "MOTOR_MAX_WORKERS": str(motor_threads_check), "KESTREL_BENCH_PWD": pwd}
    child = subprocess.run([sys.executable, __file__, "--motor-child", host, user, str(server_pid),
                            str(rtt), str(n), shape], env=env, capture_output=True, text=True)
    if child.returncode:
        sys.exit(f"the Motor child failed: {child.stderr[-2000:]}")
    k, ks, kc, kw, _ = json.loads(child.stdout)
    d = driver_time[("merge", shape, n, "motor", rtt)]
    print(f"merge {shape:7} motor   N={n:>6,} RTT {rtt:>3g} ms  kestrel {k:7.2f} s [{ks:5.2f} {kc:5.2f}] "
          f"{kw:>3}  with Motor on {motor_threads_check} threads (MOTOR_MAX_WORKERS); "
          f"speedup over the driver run above {d / k:5.1f}x", flush=True)


def motor_child(host, user, server_pid, rtt, n, shape):
    r = through_proxy(host, user, os.environ["KESTREL_BENCH_PWD"], int(server_pid), float(rtt), "motor",
                      "merge", int(n), shape, impls=IMPLS[:1])
    assert motor_threads() == int(os.environ["MOTOR_MAX_WORKERS"])
    print(json.dumps(r["kestrel"]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000],
                        help="N on the simulated link")
    parser.add_argument("--rtts", type=float, nargs="+", default=[0, 1, 5], help="ms, through the proxy")
    parser.add_argument("--merges", nargs="*", default=["new:1000", "replace:1000", "new:10000"],
                        help="SHAPE:N merges through the proxy")
    parser.add_argument("--finds", type=int, nargs="*", default=[1_000],
                        help="N of the finds through the proxy (10000: about 15 minutes)")
    parser.add_argument("--motor-threads", type=int, default=64,
                        help="also run the largest merge at the largest RTT with Motor on this many "
                             "threads (0: not)")
    parser.add_argument("--simulated-only", action="store_true")
    parser.add_argument("--motor-child", nargs=6, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.motor_child:
        return motor_child(*args.motor_child)

    report_simulated(args.sizes)
    if args.simulated_only:
        return
    cases = [("merge", shape, int(n)) for shape, n in (m.split(":") for m in args.merges)]
    cases += [("find", "merged", n) for n in args.finds]
    from server import start_server
    with start_server("root", "bench-pw") as server:
        report_proxy(server.host, "root", "bench-pw", server.proc.pid, args.rtts, cases, args.motor_threads)


if __name__ == "__main__":
    main()
