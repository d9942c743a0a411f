"""What an operation costs per call beyond the driver calls it makes.

A null client answers every call at once (no I/O, no suspension): its
awaited methods are `async def` coroutines, awaited the same way by kestrel
and by Python. Each operation runs N times against it, next to a plain-Python
coroutine (`plain_ops.py`) making exactly the same driver calls in the same
frame; before timing, both are run on the recording fake and must make the
same calls with the same arguments and end the same way. Best of five
interleaved rounds.

    python bench/bench_bridge.py [N]
    python bench/bench_bridge.py --loop OPERATION kestrel|python N [--log-info]   (one loop, for perf or callgrind)

Each table twice: with logging unconfigured, as it comes, and with kestrel's
records at INFO, handled by the package's NullHandler.
"""

from __future__ import annotations

import asyncio
import copy
import logging
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import kestrel.functions as kf  # noqa: E402
import kestrel.users as ku  # noqa: E402
import plain_ops  # noqa: E402


class Ctx:
    """A session, or a transaction: enters and leaves at once."""

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return None

    async def start_transaction(self):
        return Ctx()


class Cursor:
    """A cursor over nothing."""

    def sort(self, key):
        return self

    def __aiter__(self):
        return self

    async def __anext__(self):
        raise StopAsyncIteration


DATABASES = ["d"]
COLLECTIONS = ["c"]


class Client:
    """Answers every call at once; keeps nothing. Its own handles stand for
    the database and the collections."""

    def start_session(self):
        return Ctx()

    def __getitem__(self, name):
        return self

    async def list_database_names(self):
        return DATABASES

    async def list_collection_names(self):
        return COLLECTIONS

    def find(self, filter):
        return Cursor()

    async def delete_many(self, filter):
        return None

    async def bulk_write(self, requests):
        return None

    async def insert_many(self, docs):
        return None

    async def drop_indexes(self):
        return None

    async def create_indexes(self, indexes):
        return None

    async def command(self, command):
        return None


# operation name -> (kestrel's, Python's, the arguments after the client)
OPERATIONS = {
    "Delete_doc_main": (kf.Delete_doc_main, plain_ops.Delete_doc_main, ("d", "c", [])),
    "insert_temp": (kf.insert_temp, plain_ops.insert_temp, ("d", "c", [{"a": 1}])),
    "get_users": (ku.get_users, plain_ops.get_users, ("d",)),
    "temp_to_main": (kf.temp_to_main, plain_ops.temp_to_main, ("d", "c")),
    "find": (kf.find, plain_ops.find, ("d", "c", {"a": 1})),
}


# ---- the two sides make the same calls ---------------------------------------

def check_equivalence():
    """Run both sides of every operation on the recording fake, on a managed
    collection with rules and documents as well as on the bench's empty one,
    and on a missing database and collection: same calls, same arguments,
    same outcome."""
    sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))
    from fake_driver import FakeClient

    def seeded(kind):
        fake = FakeClient("pymongo", suspend=False)
        fake.seed("d", "c", [{"_id": 1, "a": 1, "k": 1}] if kind == "rich" else [{"_id": 0}])
        fake.seed("d", "_manage_c", [{"type": "unique", "name": "u", "keys": ["k"]}]
                  if kind == "rich" else [])
        if kind == "rich":
            fake.seed("d", "_temp_c", [{"_id": 2, "a": 1, "k": 1}, {"_id": 3, "a": 1, "k": 1},
                                       {"_id": 4, "a": 2}])
        return fake

    def outcome(op, fake, args):
        try:  # a copy: the fake gives inserted documents their `_id`
            return "result", asyncio.run(op(fake, *copy.deepcopy(args)))
        except RuntimeError as e:
            cause = e.__cause__
            return "error", str(e), type(cause).__name__, str(cause)

    def calls(fake):
        return [(c.name, c.args, c.kwargs) for c in fake.calls]

    for name, (kestrel_op, python_op, args) in OPERATIONS.items():
        variants = [args, ("nodb",) + args[1:]]
        if len(args) > 1:
            variants.append(args[:1] + ("other",) + args[2:])
        for kind in ("empty", "rich"):
            for variant in variants:
                k, p = seeded(kind), seeded(kind)
                ko, po = outcome(kestrel_op, k, variant), outcome(python_op, p, variant)
                where = f"{name}{variant} on the {kind} collection"
                assert calls(k) == calls(p), f"{where}: the calls differ\n{calls(k)}\n{calls(p)}"
                assert ko == po, f"{where}: the outcomes differ: {ko} {po}"


# ---- timing -------------------------------------------------------------------

async def timed(op, args, n):
    client = Client()
    t = time.perf_counter()
    for _ in range(n):
        await op(client, *args)
    return time.perf_counter() - t


def measure(n, rounds=5):
    """Best time per call of each side of each operation, in seconds; the
    rounds interleave the operations and alternate which side goes first."""
    async def run():
        best = {}
        for name, (k, p, args) in OPERATIONS.items():  # warm up
            await timed(k, args, 1000)
            await timed(p, args, 1000)
        for r in range(rounds):
            for name, (k, p, args) in OPERATIONS.items():
                sides = (("kestrel", k), ("python", p))
                for side, op in sides if r % 2 == 0 else sides[::-1]:
                    t = await timed(op, args, n) / n
                    key = (name, side)
                    best[key] = min(best.get(key, t), t)
        return best
    return asyncio.run(run())


def log_info(on):
    """kestrel's records at INFO (to the package's NullHandler), or logging
    unconfigured as it comes."""
    logging.getLogger("kestrel").setLevel(logging.INFO if on else logging.NOTSET)


def main(n=20_000):
    check_equivalence()
    for on in (False, True):
        log_info(on)
        best = measure(n)
        print(f"bridge: best of 5 interleaved rounds of {n} calls each, null client, "
              + ("kestrel's records at INFO to a null handler" if on else "logging unconfigured"))
        print("| operation | kestrel | plain Python | ratio |")
        print("|---|---|---|---|")
        for name in OPERATIONS:
            k, p = best[(name, "kestrel")], best[(name, "python")]
            print(f"| `{name}` | {k * 1e6:.2f} µs | {p * 1e6:.2f} µs | {k / p:.2f}x |")
    log_info(False)
    return best


def loop(name, side, n):
    """One side of one operation, n times: the thing to profile."""
    k, p, args = OPERATIONS[name]
    asyncio.run(timed(k if side == "kestrel" else p, args, n))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--loop":
        log_info("--log-info" in sys.argv)
        loop(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main(int(sys.argv[1]) if len(sys.argv) > 1 else 20_000)
