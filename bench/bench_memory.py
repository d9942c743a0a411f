"""Peak memory of the merge, the archive refresh and the find, per temp document,
next to the plain-Python coroutines of bench/driver_baseline.py.

    python bench/bench_memory.py           # merge and refresh at 20k, 50k, 100k; find at 10k, 20k, 50k
    python bench/bench_memory.py --full    # every operation at 50k, 100k, 200k
    python bench/bench_memory.py --quick   # a smoke run with small N
    python bench/bench_memory.py --ops find --find-sizes 100000 --no-rss

The operations run on bench/raw_fake.py's ``RawFakeClient``, the recording fake
with its storage kept as raw BSON and decoded one document at a time as a
cursor hands it out: what the fake held before the operation (a few hundred
bytes a document) does not count, what the operation keeps of what it read
does. Documents have 10 fields and 291 bytes of BSON each.

  merge    temp_to_main, one unique rule (k). N temp documents; one in ten
           has the key of the document before it (the older one is dropped);
           N/5 main documents carry keys of temp documents and are replaced.
  refresh  refresh_archive, one archive-unique rule (k). The same keys, with
           `__index__` versions: one temp document in twenty has none (it goes
           to the main collection as it is); half the main documents are newer
           than their temp version, half older.
  find     find {"v": 1}, two unique rules (k; a and b). The query matches the
           N temp documents and N/5 older equivalents of theirs in the main
           collection (same k, a and b): N documents are returned, the N/5
           main ones are found and checked but superseded.

Memory is measured twice, each (operation, N, implementation) in a fresh
process of its own, kestrel and the baseline taking turns:

  traced   tracemalloc from the start of the process, with kestrel's C++
           allocations routed into it: the modules are built with
           -DKESTREL_TRACE_ALLOC=ON into build/trace-alloc (incrementally),
           which replaces their operator new and delete by PyMem_RawMalloc
           and PyMem_RawFree; the process checks that it loaded that build
           and that its operator new is traced. Figure: the peak of traced
           memory during the operation minus the traced memory just before it
           (tracemalloc.reset_peak() before), over N.
  RSS      the same build without tracemalloc: the peak resident set during
           the operation (VmHWM, reset through /proc/self/clear_refs just
           before it) minus the resident set before it, over N. A cross-check
           of the traced figure: it also counts the allocators' own overhead
           and what they do not give back.

Stalled read: kestrel's merge and find start reads while their scan goes on;
the first of those reads (the merge's first main-collection lookup, the
find's first check's first read) is held until the scan has handed out its
last document, or until the scan stops and waits for it (kestrel lets at
most twice its width of reads be started and not yet handed on), and the
peak is compared with the same operation unstalled,
at N = 100,000 (or the largest N below it that the run measures).
The baseline reads one after the other (a stalled read would stall its scan),
and the refresh has no reads started during its scan: neither is stalled.

Both implementations must end with the same stored documents (inserted
documents compared without their fresh `_id`) and the same find result, and
make the same number of calls of each kind, or the bench stops (both clear
the temp companion by the ids they read).
"""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import ctypes
import gc
import hashlib
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

BUILD = ROOT / "build" / "trace-alloc"
SITE = BUILD / "site"
DB, C = "kestrel_memory", "items"
OPS = ("temp_to_main", "refresh_archive", "find")
STALLED_OPS = ("temp_to_main", "find")
QUERY = {"v": 1}
DOC_BYTES = 291
TARGETS = {"find": 1.02, "temp_to_main": 0.95, "refresh_archive": 0.80}  # kestrel / plain at 100k
STALL_TARGET = 2.0  # % peak increase


# ---- the documents -------------------------------------------------------------------

def _oid(series: int, k: int):
    from bson import ObjectId
    # Fixed, ascending ids, older than any the driver makes now: main documents
    # (series 0) before temp documents (series 1).
    return ObjectId((0x60000000 + series).to_bytes(4, "big") + k.to_bytes(8, "big"))


def _document(_id, k: int, i: int, v: int, index: int | None) -> dict:
    doc = {"_id": _id, "k": k, "a": i % 97, "b": i, "v": v}
    if index is not None:
        doc["__index__"] = index
    city = ("Ankara", "Izmir", "Bursa", "Konya")[i % 4]
    doc.update(name=f"name-{i:07d}", city=f"{city:<6}-{i % 1000:03d}", score=i / 7)
    doc["pad"] = ""
    return doc


def _pad_length() -> int:
    import bson
    sample = _document(_oid(0, 0), 1, 1, 1, 1)
    return DOC_BYTES - len(bson.encode(sample))


PAD = None  # set at first use: the padding that makes a document DOC_BYTES long


def document(_id, k, i, v, index=None) -> dict:
    """10 fields (9 without `__index__`), DOC_BYTES of BSON with it."""
    global PAD
    if PAD is None:
        PAD = "x" * _pad_length()
    doc = _document(_id, k, i, v, index)
    doc["pad"] = PAD[: len(PAD) - 12] + f"{i:012d}"
    return doc


def workload(op: str, n: int):
    """(manage records, temp documents, main documents) of one operation,
    generated one document at a time; ids ascending within each."""
    index_record = {"type": "index", "name": "v_index", "code": "[('v', 1)]"}
    if op == "find":
        manage = [{"type": "unique", "name": "key", "keys": ["k"]},
                  {"type": "unique", "name": "alt", "keys": ["a", "b"]}, index_record]
        temp = (document(_oid(1, i), i, i, 1, i) for i in range(n))
        # Older versions of every fifth temp document, matched by the query too.
        main = (document(_oid(0, j), i, i, 1, i) for j, i in enumerate(range(0, n, 5)))
        return manage, temp, main
    kind = "unique" if op == "temp_to_main" else "archive_unique"
    manage = [{"type": kind, "name": "key", "keys": ["k"]}, index_record]

    def key(i):  # one in ten takes the key of the document before it
        return i - 1 if i % 10 == 9 else i

    def temp_index(i):
        return None if op == "refresh_archive" and i % 20 == 19 else 10 * i

    temp = (document(_oid(1, i), key(i), i, 1, temp_index(i)) for i in range(n))
    # Main documents: half newer than their temp version, half older.
    main = (document(_oid(0, j), i, i, 0, 10 * i + (5 if j % 2 else -5))
            for j, i in enumerate(range(0, n, 5)))
    return manage, temp, main


def seed(client, op: str, n: int) -> None:
    """The managed collection of one workload, on any fake client."""
    import bson
    manage, temp, main = workload(op, n)
    client.seed(DB, "_manage_" + C, manage)
    for coll, docs in ((C, main), ("_temp_" + C, temp)):
        if hasattr(client, "seed_raw"):  # encoded one by one: nothing decoded is left over
            client.seed_raw(DB, coll, ((d["_id"], bson.encode(d)) for d in docs))
        else:
            client.seed(DB, coll, list(docs))
    if op == "refresh_archive":
        client.seed(DB, "archive_" + C, [])
    if hasattr(client, "prepare_lookups"):
        lookups = {"temp_to_main": {C: [("k",)]},
                   "refresh_archive": {},
                   "find": {C: [("v",), ("k",), ("a", "b")],
                            "_temp_" + C: [("v",), ("k",), ("a", "b")]}}[op]
        for coll, field_sets in lookups.items():
            client.prepare_lookups(DB, coll, *field_sets)


def stall_points(op: str):
    """(the read to stall, the scan whose end releases it): predicates on Call."""
    if op == "temp_to_main":
        return (lambda c: c.name == f"{DB}.{C}.find" and bool(c.arg),
                lambda c: c.name == f"{DB}._temp_{C}.find")
    if op == "find":
        return (lambda c: c.name == f"{DB}._temp_{C}.find" and c.arg != QUERY,
                lambda c: c.name == f"{DB}.{C}.find" and c.arg == QUERY)
    raise ValueError(f"{op} has no read started during its scan")


def run_operation(impl, client, op: str):
    if op == "find":
        return impl.find(client, DB, C, dict(QUERY))
    return getattr(impl, op)(client, DB, C)


def outcome(client, result) -> dict:
    """What the operation left: per collection a digest of its documents in
    storage order (fresh `_id`s left out), and the digest of a find's result."""
    import bson
    from bson import ObjectId
    seeded = (0x60000000).to_bytes(4, "big")[:3]

    def stable(doc):
        if isinstance(doc.get("_id"), ObjectId) and doc["_id"].binary[:3] == seeded:
            return bson.encode(doc)
        return bson.encode({k: v for k, v in doc.items() if k != "_id"})
    out = {}
    for name, store in sorted(client._dbs.get(DB, {}).items()):
        h = hashlib.sha256()
        for raw in store.raw.values():
            h.update(stable(bson.decode(raw)))
        out[name] = [len(store.raw), h.hexdigest()[:16]]
    if isinstance(result, list):
        h = hashlib.sha256()
        for doc in result:
            h.update(stable(doc))
        out["result"] = [len(result), h.hexdigest()[:16]]
    return out


# ---- one measurement, in a process of its own ---------------------------------------

def _status() -> dict:
    text = Path("/proc/self/status").read_text()
    return {k: int(v) * 1024 for k, v in re.findall(r"^(VmRSS|VmHWM):\s+(\d+) kB", text, re.M)}


def _reset_peak_rss() -> None:
    Path("/proc/self/clear_refs").write_text("5")


def _trim() -> None:
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def load_trace_build(site: Path):
    """Import kestrel from the trace-alloc build installed in ``site`` and
    check that it is that build (see check_trace_build)."""
    sys.path.insert(0, str(site))
    import kestrel.functions
    import kestrel.users
    check_trace_build(site, (kestrel.functions, kestrel.users))
    return kestrel.functions


def check_trace_build(site: Path, modules) -> None:
    """Each module comes from ``site``, has an operator new of its own (not
    the C++ runtime's), and a 1 MiB block from it shows in tracemalloc."""
    import tracemalloc
    libstdcxx = ctypes.CDLL("libstdc++.so.6")
    for module in modules:
        path = Path(module.__file__).resolve()
        if site.resolve() not in path.parents:
            raise SystemExit(f"{module.__name__} came from {path}, not from {site}")
        lib = ctypes.PyDLL(str(path), mode=os.RTLD_NOLOAD)  # the loaded module; the GIL stays held
        new, delete = lib["_Znwm"], lib["_ZdlPv"]
        address = ctypes.cast(new, ctypes.c_void_p).value
        if address == ctypes.cast(libstdcxx["_Znwm"], ctypes.c_void_p).value:
            raise SystemExit(f"{path} has no operator new of its own: not a KESTREL_TRACE_ALLOC build")
        new.restype, new.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
        delete.restype, delete.argtypes = None, [ctypes.c_void_p]
        tracing = tracemalloc.is_tracing()
        if not tracing:
            tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        block = new(1 << 20)
        grown = tracemalloc.get_traced_memory()[0] - before
        delete(block)
        if not tracing:
            tracemalloc.stop()
        if grown < 1 << 20:
            raise SystemExit(f"{path}: a 1 MiB operator new grew traced memory by {grown} bytes only")


def child(op: str, n: int, impl_name: str, mode: str, stall: bool, flavor: str) -> dict:
    import tracemalloc
    if mode == "traced":
        tracemalloc.start()
    kf = load_trace_build(SITE)
    import driver_baseline
    from raw_fake import RawFakeClient
    impl = kf if impl_name == "kestrel" else driver_baseline

    client = RawFakeClient(flavor, recording=False)
    seed(client, op, n)
    at_scan_end = []  # memory when the scan has handed out its last document
    if op in STALLED_OPS:
        read, scan = stall_points(op)
        if stall:
            client.stall(read, scan)
        client.watch(scan, lambda: at_scan_end.append(
            tracemalloc.get_traced_memory()[0] if mode == "traced" else _status()["VmRSS"]))
    gc.collect()
    gc.freeze()  # what exists now is not walked again by the collector's passes
    _trim()

    async def measured():
        await asyncio.sleep(0)
        rss = _status()["VmRSS"]
        _reset_peak_rss()
        traced = tracemalloc.get_traced_memory()[0] if mode == "traced" else 0
        if mode == "traced":
            tracemalloc.reset_peak()
        t = time.perf_counter()
        result = await run_operation(impl, client, op)
        t = time.perf_counter() - t
        peak = tracemalloc.get_traced_memory()[1] - traced if mode == "traced" else _status()["VmHWM"] - rss
        return result, peak, t, (traced if mode == "traced" else rss)
    result, peak, seconds, before = asyncio.run(measured())
    tracemalloc.stop()  # what follows is not measured
    return {"op": op, "n": n, "impl": impl_name, "mode": mode, "stall": stall, "peak": peak,
            "per_doc": peak / n, "seconds": seconds,
            "scan_end_per_doc": (at_scan_end[0] - before) / n if at_scan_end else None,
            "outcome": outcome(client, result), "counts": client.call_counts(),
            "table_misses": {f"{k[0]}:{','.join(k[1])}": v for k, v in client.table_misses.items()},
            "stall_report": client.stall_report}


# ---- the build and the runs -----------------------------------------------------------

def ensure_build() -> None:
    """Configure build/trace-alloc once, then build it (cmake builds only what
    changed) and install its modules with the package's __init__ into SITE."""
    if not (BUILD / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), *generator,
                        "-DCMAKE_BUILD_TYPE=Release", "-DKESTREL_TRACE_ALLOC=ON", "-DKESTREL_SANITIZE=OFF",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    cache = dict(re.findall(r"^(\w+):\w+=(.*)$", (BUILD / "CMakeCache.txt").read_text(), re.M))
    if cache.get("KESTREL_TRACE_ALLOC") != "ON" or cache.get("_Python_EXECUTABLE") != sys.executable:
        raise SystemExit(f"{BUILD} is configured for another variant or interpreter: remove it")
    print(f"building {BUILD.relative_to(ROOT)} (only what changed)", flush=True)
    build = subprocess.run(["cmake", "--build", str(BUILD), "-j", "2"], capture_output=True, text=True)
    if build.returncode:
        raise SystemExit(build.stdout[-4000:] + build.stderr[-4000:])
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(SITE)], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.copy2(ROOT / "src" / "kestrel" / "__init__.py", SITE / "kestrel" / "__init__.py")


def measure(op, n, impl, mode, stall=False, flavor="pymongo") -> dict:
    args = [sys.executable, str(Path(__file__).resolve()), "--child", op, str(n), impl, mode,
            "stall" if stall else "plain", flavor]
    proc = subprocess.run(args, capture_output=True, text=True, cwd=ROOT)
    if proc.returncode:
        raise SystemExit(f"{' '.join(args[3:])} failed:\n{proc.stderr[-4000:]}")
    r = json.loads(proc.stdout.strip().splitlines()[-1])
    if r["table_misses"]:
        raise SystemExit(f"{op} at {n}: queries the fake answered without a table: {r['table_misses']}")
    return r


def same_work(ours: dict, theirs: dict) -> None:
    """Stop unless both runs ended alike and made as many calls of each kind."""
    if ours["outcome"] != theirs["outcome"]:
        raise SystemExit(f"{ours['op']} at {ours['n']:,}: the two runs end differently:\n"
                         f"  {ours['outcome']}\n  {theirs['outcome']}")
    if ours["counts"] != theirs["counts"]:
        diff = {k: (ours["counts"].get(k), theirs["counts"].get(k))
                for k in set(ours["counts"]) | set(theirs["counts"])
                if ours["counts"].get(k) != theirs["counts"].get(k)}
        raise SystemExit(f"{ours['op']} at {ours['n']:,}: the calls differ: {diff}")


def versions() -> str:
    import bson
    import pymongo
    try:
        import nanobind
        nb = nanobind.__version__
    except ImportError:
        nb = "?"
    cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    return (f"CPython {platform.python_version()}, PyMongo {pymongo.version} (bson C extension: "
            f"{bson.has_c()}), nanobind {nb}, {cxx}; {os.cpu_count()} cores; load average "
            f"{os.getloadavg()[0]:.1f}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[20_000, 50_000, 100_000],
                        help="N of the merge and the refresh")
    parser.add_argument("--find-sizes", type=int, nargs="+", default=[10_000, 20_000, 50_000],
                        help="N of the find (about five reads a document: the slowest to trace)")
    parser.add_argument("--full", action="store_true",
                        help="N of 50,000, 100,000 and 200,000 for every operation (about 4x as long)")
    parser.add_argument("--ops", nargs="+", choices=OPS, default=list(OPS))
    parser.add_argument("--flavor", choices=("motor", "pymongo"), default="pymongo")
    parser.add_argument("--jobs", type=int, default=2, help="measurements run at once, each in its own process")
    parser.add_argument("--no-rss", action="store_true", help="traced figures only")
    parser.add_argument("--no-stall", action="store_true")
    parser.add_argument("--quick", action="store_true", help="a smoke run: N of 2,000 and 4,000")
    parser.add_argument("--child", nargs=6, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        op, n, impl, mode, stall, flavor = args.child
        print(json.dumps(child(op, int(n), impl, mode, stall == "stall", flavor)))
        return
    if args.full:
        args.sizes = args.find_sizes = [50_000, 100_000, 200_000]
    if args.quick:
        args.sizes = args.find_sizes = [2_000, 4_000]
    sizes = {op: args.find_sizes if op == "find" else args.sizes for op in args.ops}
    # The stalled read at 100,000, or at the largest N below it.
    stall_n = {op: max([n for n in sizes[op] if n <= 100_000] or [min(sizes[op])]) for op in args.ops}

    started = time.perf_counter()
    ensure_build()
    print(f"bytes per temp document at the operation's peak, {args.flavor} flavour of the raw-BSON fake, "
          f"documents of {DOC_BYTES} B of BSON; {versions()}", flush=True)
    modes = ["traced"] + ([] if args.no_rss else ["rss"])
    stalled_ops = [] if args.no_stall else [op for op in STALLED_OPS if op in args.ops]

    # Every measurement in a process of its own, kestrel and the baseline
    # taking turns; `jobs` of them at once.
    runs, turn = [], 0
    for op in args.ops:
        for n in sizes[op]:
            for mode in modes:
                order = ("kestrel", "plain") if turn % 2 == 0 else ("plain", "kestrel")
                turn += 1
                runs += [(op, n, impl, mode, False) for impl in order]
    for op in stalled_ops:
        runs += [(op, stall_n[op], "kestrel", mode, True) for mode in modes]
    pool = concurrent.futures.ThreadPoolExecutor(max(1, args.jobs))
    futures = {run: pool.submit(measure, *run, flavor=args.flavor) for run in runs}

    def result(op, n, impl, mode, stall=False):
        return futures[op, n, impl, mode, stall].result()

    try:
        print(f"{'operation':16} {'N':>8}  {'kestrel':>8} {'plain':>8} {'ratio':>6}  "
              f"{'RSS kestrel':>11} {'RSS plain':>9} {'ratio':>6}  RSS / traced (k, p)  seconds (k, p)",
              flush=True)
        for op in args.ops:
            for n in sizes[op]:
                for mode in modes:
                    same_work(result(op, n, "kestrel", mode), result(op, n, "plain", mode))
                t = {impl: result(op, n, impl, "traced") for impl in ("kestrel", "plain")}
                line = (f"{op:16} {n:>8,}  {t['kestrel']['per_doc']:>8,.0f} {t['plain']['per_doc']:>8,.0f} "
                        f"{t['kestrel']['per_doc'] / t['plain']['per_doc']:>6.2f}")
                if "rss" in modes:
                    r = {impl: result(op, n, impl, "rss") for impl in ("kestrel", "plain")}
                    line += (f"  {r['kestrel']['per_doc']:>11,.0f} {r['plain']['per_doc']:>9,.0f} "
                             f"{r['kestrel']['per_doc'] / r['plain']['per_doc']:>6.2f}  "
                             f"{r['kestrel']['peak'] / t['kestrel']['peak']:>9.3f} "
                             f"{r['plain']['peak'] / t['plain']['peak']:>6.3f}")
                print(line + f"  {t['kestrel']['seconds']:>7.1f} {t['plain']['seconds']:>5.1f}", flush=True)

        rises = {}
        if stalled_ops:
            print("\nstalled first read, kestrel: held until the scan had handed out its last document, "
                  "or had stopped to wait for it, against the same operation unstalled (bytes per temp "
                  "document; at the end of the scan, and the peak)", flush=True)
            print(f"{'operation':16} {'N':>8} {'mode':>6}  {'scan end':>8} {'stalled':>8} {'increase':>8}  "
                  f"{'peak':>6} {'stalled':>8} {'increase':>8}  finds while held  scanned when let go",
                  flush=True)
            for op in stalled_ops:
                n = stall_n[op]
                for mode in modes:
                    unstalled, stalled = result(op, n, "kestrel", mode), result(op, n, "kestrel", mode, True)
                    report = stalled["stall_report"]
                    if not (report and report["held"]):
                        raise SystemExit(f"{op}: the stalled read was not waiting when the scan ended: {report}")
                    same_work(stalled, unstalled)
                    eu, es = unstalled["scan_end_per_doc"], stalled["scan_end_per_doc"]
                    pu, ps = unstalled["per_doc"], stalled["per_doc"]
                    if mode == "traced":
                        rises[op] = (n, 100 * (ps / pu - 1))
                    print(f"{op:16} {n:>8,} {mode:>6}  {eu:>8,.0f} {es:>8,.0f} {100 * (es / eu - 1):>7.1f}%  "
                          f"{pu:>6,.0f} {ps:>8,.0f} {100 * (ps / pu - 1):>7.1f}%  "
                          f"{report['finds_while_held']:>16,}  {report['scanned']:>8,}"
                          + (" (the scan waited)" if report.get("scan_waited") else ""), flush=True)
    finally:
        pool.shutdown(cancel_futures=True)

    met = []
    for op in args.ops:  # at 100,000, or at the largest N below it
        n = stall_n[op]
        k, p = (result(op, n, impl, "traced")["per_doc"] for impl in ("kestrel", "plain"))
        met.append(f"{op} {k / p:.2f} at {n:,} (target {TARGETS[op]:.2f}: "
                   f"{'met' if k / p <= TARGETS[op] else 'not met'})")
    for op, (n, rise) in rises.items():
        met.append(f"{op} stalled {rise:+.1f}% at {n:,} (target {STALL_TARGET:+.0f}%: "
                   f"{'met' if rise <= STALL_TARGET else 'not met'})")
    print("\ntargets (at 100,000 in the statement), kestrel / plain, traced: " + "; ".join(met), flush=True)
    print(f"({time.perf_counter() - started:.0f} s)", flush=True)


if __name__ == "__main__":
    main()
