"""Instructions per call of each side of the bridge bench, counted by callgrind.

Each operation of `bench_bridge.py` runs alone (`--loop`) under
`valgrind --tool=callgrind`, N1 and then N2 times, with a fixed hash seed; the
difference of the two totals over N2 - N1 is what one call costs, free of the
start-up and of the machine's load.

    python bench/bridge_instructions.py [--n1 1000] [--n2 3000] [--jobs 2] [OPERATION ...]

`--python PATH` runs the loops with another interpreter (another build of
kestrel in its own environment), for before-and-after tables.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def total(python: str, name: str, side: str, n: int, log_info: bool = False) -> int:
    """The instructions of one run of `n` calls, start-up included."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        python, os.path.join(HERE, "bench_bridge.py"), "--loop", name, side, str(n),
                        *(["--log-info"] if log_info else [])],
                       check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            for line in f:
                if m := re.match(r"(summary|totals): (\d+)", line):
                    return int(m.group(2))
    raise RuntimeError(f"no total in the callgrind output of {name} {side} {n}")


def per_call(python, names, n1, n2, jobs, log_info=False):
    """{(operation, side): instructions per call}"""
    runs = [(name, side, n) for name in names for side in ("kestrel", "python") for n in (n1, n2)]
    with ThreadPoolExecutor(jobs) as pool:
        totals = dict(zip(runs, pool.map(lambda r: total(python, *r, log_info), runs)))
    return {(name, side): (totals[(name, side, n2)] - totals[(name, side, n1)]) / (n2 - n1)
            for name in names for side in ("kestrel", "python")}


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
    args = parser.parse_args()
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
