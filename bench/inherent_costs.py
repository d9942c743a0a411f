"""What a call into Python costs when C makes it, next to the same call
written in Python: the part of an operation's cost that any C extension pays
and the interpreter does not.

Each kind of call runs N times in a loop in C (`inherent_costs.c`, built here
with the interpreter's own compiler settings) and in a loop in Python; the
loops run alone under callgrind, N1 and N2 times, with a fixed hash seed, and
the difference over N2 - N1 is one call. The Python figures are net of the
empty Python loop.

    python bench/inherent_costs.py [--n1 2000] [--n2 6000] [--budget]

`--budget` also counts, for each operation of the bridge bench, the calls of
each kind kestrel makes into the null client, and what they cost beyond the
same calls made by the interpreter.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
# One build per interpreter (two builds of one version may differ in how they are made).
BUILD = os.path.join(tempfile.gettempdir(), "kestrel-inherent-{}{}-{:08x}".format(
    *sys.version_info[:2], zlib.crc32(os.path.realpath(sys.base_prefix).encode())))


def build():
    """The C loops as a module of this interpreter; gives its folder."""
    os.makedirs(BUILD, exist_ok=True)
    target = os.path.join(BUILD, "inherent_costs" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = os.path.join(HERE, "inherent_costs.c")
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        cc = sysconfig.get_config_var("CC").split()
        # (the prefix's include folder too: Debian's pyconfig.h includes one from a subfolder of it)
        subprocess.run(cc + ["-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                             "-I", os.path.join(sys.base_prefix, "include"), source, "-o", target], check=True)
    return BUILD


def f():
    return None


async def af():
    return None


class Handle:
    def __init__(self):
        self.name = "c"  # an instance with attributes, as a driver's objects have

    def m(self):
        return None

    def __getitem__(self, key):
        return self


def py_loop(n):
    for _ in range(n):
        pass


def py_call(n):
    for _ in range(n):
        f()


def py_method(n, h=Handle()):
    for _ in range(n):
        h.m()


def py_getitem(n, h=Handle()):
    for _ in range(n):
        h["d"]


async def py_aloop(n):
    for _ in range(n):
        pass


async def py_await(n):
    for _ in range(n):
        await af()


def drive(coro):
    try:
        coro.send(None)
    except StopIteration:
        pass


def loops():
    """kind -> (C loop, Python loop, the empty Python loop it is net of)"""
    sys.path.insert(0, build())
    import inherent_costs as c
    h = Handle()
    return {
        "call a function": (lambda n: c.call(f, n), py_call, py_loop),
        "call a method of an object": (lambda n: c.method(h, "m", n), py_method, py_loop),
        "obj[key], `__getitem__` in Python": (lambda n: c.getitem(h, "d", n), py_getitem, py_loop),
        "await a coroutine that returns at once": (lambda n: c.await_(af, n), lambda n: drive(py_await(n)),
                                                   lambda n: drive(py_aloop(n))),
    }


def call_counts():
    """operation -> {kind of call: how many}, for one call of each operation of
    the bridge bench: methods of the client and its handles, `handle[name]`,
    the special methods of `async with` and `async for`, and the coroutines
    sent into (those that async methods return)."""
    import asyncio
    import inspect
    from collections import Counter

    import bench_bridge

    counts = Counter()

    def counted(function, kind):
        coroutine = inspect.iscoroutinefunction(function)

        def wrapper(*args, **kwargs):
            counts[kind] += 1
            counts["coroutine sent into"] += coroutine
            return function(*args, **kwargs)
        return wrapper

    originals = []
    for cls in (bench_bridge.Client, bench_bridge.Ctx, bench_bridge.Cursor):
        for name, function in list(vars(cls).items()):
            if not inspect.isfunction(function):
                continue
            kind = ("method" if not name.startswith("__") else "obj[key]" if name == "__getitem__"
                    else "async with" if name in ("__aenter__", "__aexit__") else "async for")
            originals.append((cls, name, function))
            setattr(cls, name, counted(function, kind))
    try:
        result = {}
        for name, (op, _, args) in bench_bridge.OPERATIONS.items():
            counts.clear()
            asyncio.run(op(bench_bridge.Client(), *args))
            result[name] = dict(counts)
        return result
    finally:
        for cls, name, function in originals:
            setattr(cls, name, function)


def total(kind, side, n):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                        os.path.abspath(__file__), "--loop", kind, side, str(n)],
                       check=True, env=dict(os.environ, PYTHONHASHSEED="0"),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            for line in f:
                if m := re.match(r"(summary|totals): (\d+)", line):
                    return int(m.group(2))
    raise RuntimeError("no total")


def per_call(kind, side, n1, n2):
    return (total(kind, side, n2) - total(kind, side, n1)) / (n2 - n1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n1", type=int, default=2000)
    parser.add_argument("--n2", type=int, default=6000)
    parser.add_argument("--loop", nargs=3)
    parser.add_argument("--budget", action="store_true")
    args = parser.parse_args()
    kinds = loops()
    if args.loop:
        kind, side, n = args.loop
        kinds[kind][{"c": 0, "python": 1, "empty": 2}[side]](int(n))
        return
    print(f"instructions per call, callgrind, ({args.n2} - {args.n1}) / {args.n2 - args.n1}")
    print("| call | from C | in Python (net of the loop) | C - Python |")
    print("|---|---|---|---|")
    extra = {}
    for kind in kinds:
        c = per_call(kind, "c", args.n1, args.n2)
        p = per_call(kind, "python", args.n1, args.n2) - per_call(kind, "empty", args.n1, args.n2)
        extra[kind] = c - p
        print(f"| {kind} | {c:,.0f} | {p:,.0f} | {c - p:+,.0f} |")
    if not args.budget:
        return
    # What each kind of call into the null client costs beyond the interpreter's
    # own: a method or `obj[key]` as measured; `async with` calls a function
    # and sends into its coroutine; sending into a coroutine a method (or
    # `__anext__`) returned costs what awaiting costs beyond the call. The
    # interpreter's `async for` calls `__aiter__` and `__anext__` through the
    # type's slots, as kestrel does: nothing beyond.
    method, item = extra["call a method of an object"], extra["obj[key], `__getitem__` in Python"]
    awaiting = extra["await a coroutine that returns at once"]
    send = awaiting - extra["call a function"]
    print()
    print("| operation | methods | obj[key] | async with | async for | sent into | beyond the interpreter |")
    print("|---|---|---|---|---|---|---|")
    for name, n in call_counts().items():
        methods, items = n.get("method", 0), n.get("obj[key]", 0)
        withs, fors, sends = n.get("async with", 0), n.get("async for", 0), n.get("coroutine sent into", 0)
        own_sends = sends - withs  # the `async with` ends are counted with their sends
        cost = methods * method + items * item + withs * awaiting + own_sends * send
        print(f"| `{name}` | {methods} | {items} | {withs} | {fors} | {sends} | {cost:+,.0f} |")


if __name__ == "__main__":
    main()
