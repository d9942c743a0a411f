"""Instructions per call of each side of the bridge bench, counted by callgrind.

Each operation of `bench_bridge.py` runs alone (`--loop`) under
`valgrind --tool=callgrind`, N1 and then N2 times, with a fixed hash seed; the
difference of the two totals over N2 - N1 is what one call costs, free of the
start-up and of the machine's load.

    python bench/bridge_instructions.py [--n1 1000] [--n2 3000] [--jobs 2] [OPERATION ...]

`--python PATH` runs the loops with another interpreter (another build of
kestrel in its own environment), for before-and-after tables.

`--functions N` shows where the instructions go instead: for each operation,
the N functions that cost most per call on either side, from callgrind's
function-level output (`callgrind_annotate`, each function's own
instructions), N2 calls less N1 calls over N2 - N1. kestrel's own functions
are named when the build keeps its symbols (`pip install
-Ccmake.define.KESTREL_SYMBOLS=ON -Cinstall.strip=false .`); the interpreter's
when it has them.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def callgrind(python: str, name: str, side: str, n: int, log_info: bool, read):
    """`read(path)` of the callgrind output of one run of `n` calls."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        python, os.path.join(HERE, "bench_bridge.py"), "--loop", name, side, str(n),
                        *(["--log-info"] if log_info else [])],
                       check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return read(out)


def read_total(path: str) -> int:
    with open(path) as f:
        for line in f:
            if m := re.match(r"(summary|totals): (\d+)", line):
                return int(m.group(2))
    raise RuntimeError(f"no total in {path}")


def short_name(function: str) -> str:
    """A C++ function's name without its parameter lists and template
    arguments: `kestrel::framed<...>(...)::{lambda(...)#1}` -> `kestrel::framed::{lambda#1}`."""
    while True:
        shorter = re.sub(r"\([^()]*\)|<[^<>]*>", "", function)
        if shorter == function:
            return function
        function = shorter


def read_functions(path: str) -> Counter:
    return functions_listed(subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", path],
                                           check=True, capture_output=True, text=True).stdout)


def functions_listed(listing: str) -> Counter:
    """{function: its own instructions}, from callgrind_annotate's lines
    ("COUNT (PERCENT)  file:function [object]"; the same function from several
    files, or its C++ overloads and instantiations, summed)."""
    own = Counter()
    for line in listing.splitlines():
        if m := re.match(r"\s*([\d,]+)\s+\([\s\d.]+%\)\s+[^:\s]*:(.+?)(?: \[/[^\]]*\])?$", line):
            own[short_name(m.group(2))] += int(m.group(1).replace(",", ""))
    return own


def total(python: str, name: str, side: str, n: int, log_info: bool = False) -> int:
    """The instructions of one run of `n` calls, start-up included."""
    return callgrind(python, name, side, n, log_info, read_total)


def warm_up(python: str, name: str) -> None:
    """One call of each side outside callgrind first: an interpreter that
    writes its compiled modules at first import (after a build, say) would
    otherwise do it in whichever measured run comes first, and the difference
    of two runs would carry that work."""
    for side in ("kestrel", "python"):
        subprocess.run([python, os.path.join(HERE, "bench_bridge.py"), "--loop", name, side, "1"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def per_call(python, names, n1, n2, jobs, log_info=False):
    """{(operation, side): instructions per call}"""
    warm_up(python, names[0])
    runs = [(name, side, n) for name in names for side in ("kestrel", "python") for n in (n1, n2)]
    with ThreadPoolExecutor(jobs) as pool:
        totals = dict(zip(runs, pool.map(lambda r: total(python, *r, log_info), runs)))
    return {(name, side): (totals[(name, side, n2)] - totals[(name, side, n1)]) / (n2 - n1)
            for name in names for side in ("kestrel", "python")}


def per_call_functions(python, name, n1, n2, jobs, log_info=False):
    """{side: {function: its own instructions per call}} for one operation."""
    warm_up(python, name)
    runs = [(side, n) for side in ("kestrel", "python") for n in (n1, n2)]
    with ThreadPoolExecutor(jobs) as pool:
        own = dict(zip(runs, pool.map(lambda r: callgrind(python, name, *r, log_info, read_functions), runs)))
    return {side: {f: (own[(side, n2)][f] - own[(side, n1)][f]) / (n2 - n1)
                   for f in own[(side, n1)].keys() | own[(side, n2)].keys()}
            for side in ("kestrel", "python")}


def print_functions(name, functions, top):
    k, p = functions["kestrel"], functions["python"]
    print(f"`{name}`: the {top} functions that cost most per call on either side (own instructions)")
    print("| function | kestrel | plain Python |")
    print("|---|---|---|")
    ranked = sorted(k.keys() | p.keys(), key=lambda f: -max(k.get(f, 0), p.get(f, 0)))
    for f in ranked[:top]:
        print(f"| `{f}` | {k.get(f, 0):,.0f} | {p.get(f, 0):,.0f} |")


def main():
    from bench_bridge import OPERATIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("operations", nargs="*", default=list(OPERATIONS))
    parser.add_argument("--n1", type=int, default=1000)
    parser.add_argument("--n2", type=int, default=3000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--log-info", action="store_true",
                        help="kestrel's records at INFO, to the package's NullHandler")
    parser.add_argument("--functions", type=int, metavar="N",
                        help="the N functions that cost most per call, for each operation")
    args = parser.parse_args()
    if args.functions:
        for name in args.operations:
            functions = per_call_functions(args.python, name, args.n1, args.n2, args.jobs, args.log_info)
            print_functions(name, functions, args.functions)
        return
    counts = per_call(args.python, args.operations, args.n1, args.n2, args.jobs, args.log_info)
    print(f"instructions per call, callgrind, ({args.n2} - {args.n1} calls) / {args.n2 - args.n1}"
          + (", kestrel's records at INFO" if args.log_info else ""))
    print("| operation | kestrel | plain Python | ratio |")
    print("|---|---|---|---|")
    for name in args.operations:
        k, p = counts[(name, "kestrel")], counts[(name, "python")]
        print(f"| `{name}` | {k:,.0f} | {p:,.0f} | {k / p:.3f}x |")


if __name__ == "__main__":
    main()
