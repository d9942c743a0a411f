"""A merge or a refresh interrupted anywhere, then run again: does it end
where one uninterrupted run ends?

For each operation, W random worlds (tests/interruptions.py: documents inside
and outside the rules, with and without `__index__`, clusters bridging main
and temp, documents loaded back with a main document's `_id`), and in each
world every fault: an error from each driver call, every call failing from
each call on, a cancellation at each step of the event loop, each bulk write
stopped after each of its statements. After the fault the operation runs
again with none, and the four collections are compared, as documents, with
what one uninterrupted run leaves. Counted: interrupted runs, those that end
exactly, and each kind of difference in the others. Then the same with a
second interruption of the run that follows (at random), and a third run.

    python bench/bench_run_again.py [--worlds 300] [--seed 0]

Runs on the recording fake; about a minute for 300 worlds an operation.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from interruptions import faults, interrupted, lost, uninterrupted, world  # noqa: E402
from kestrel import functions as kf  # noqa: E402

OPERATIONS = {"temp_to_main": (kf.temp_to_main, False), "refresh_archive": (kf.refresh_archive, True)}


def differences(got: dict, want: dict) -> list[str]:
    """The kinds of difference between two end states."""
    def count(docs):
        return Counter(repr(sorted(d.items())) for d in docs)

    kinds = []
    main, main_want = count(got["c"]), count(want["c"])
    archive = count(got["_temp_archive_c"]) + count(got["archive_c"])
    archive_want = count(want["_temp_archive_c"]) + count(want["archive_c"])
    if any(n > 1 and n > main_want[d] for d, n in main.items()):
        kinds.append("duplicates in main")
    if any(n > 1 and n > archive_want[d] for d, n in archive.items()):
        kinds.append("duplicates in the archive")
    if any(archive_want[d] and not main_want[d] for d in main):
        kinds.append("a superseded version left in main")
    if any(main_want[d] and not archive_want[d] for d in archive):
        kinds.append("a kept version also archived")
    if any(main_want[d] > main[d] for d in main_want):
        kinds.append("a version missing from main")
    if got["_temp_c"] != want["_temp_c"]:
        kinds.append("temp companion differs")
    if got["indexes"] != want["indexes"]:
        kinds.append("declared indexes missing")
    return kinds or ["other"]


def run(name: str, worlds: int, seed: int) -> None:
    op, refresh = OPERATIONS[name]
    rng = random.Random(f"{seed}-{name}")
    runs = exact = gone = twice = twice_exact = 0
    kinds: Counter = Counter()
    t = time.monotonic()
    for _ in range(worlds):
        w = world(rng, refresh)
        want, calls, kept = uninterrupted(op, w, refresh)
        every = faults(calls)
        for fault in every:
            _, _, left_versions, got = interrupted(op, w, refresh, fault)
            runs += 1
            gone += bool(lost(kept, left_versions))
            if got == want:
                exact += 1
            else:
                kinds.update(differences(got, want))
        for _ in range(5):
            *_, got = interrupted(op, w, refresh, rng.choice(every), again=rng.choice(every))
            twice += 1
            twice_exact += got == want
    print(f"{name}: {worlds} worlds, {runs:,} interrupted runs, {exact:,} end exactly as one run; "
          f"{gone} left a kept version nowhere; interrupted twice: {twice_exact:,} of {twice:,} exact "
          f"({time.monotonic() - t:.0f} s)")
    for kind, n in kinds.most_common():
        print(f"    {n:,} {kind}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--worlds", type=int, default=300)
    p.add_argument("--seed", type=int, default=0)
    args = p.parse_args()
    for name in OPERATIONS:
        run(name, args.worlds, args.seed)


if __name__ == "__main__":
    main()
