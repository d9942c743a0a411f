"""What the C++ coroutine bridge costs per awaited driver call.

An in-memory client answers at once; `Delete_doc_main` is run N times against
it, next to a pure-Python coroutine that makes exactly the same calls in the
same frame (session, transaction, two listings, one delete). The difference
per awaited call is the bridge's cost (plus argument checking).

    python bench/bench_bridge.py [N]
"""

import asyncio
import sys
import time

import kestrel.functions as kf


class Ctx:
    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return None

    def start_transaction(self):
        return Ctx()


class Client:
    """Answers every call at once; keeps nothing."""

    def start_session(self):
        return Ctx()

    async def list_database_names(self):
        return ["d"]

    async def list_collection_names(self):
        return ["c"]

    async def delete_many(self, filter):
        return None

    def __getitem__(self, name):
        return self


async def python_delete_doc_main(client, db_name, collection_name, ids):
    """The same calls written as a plain Python coroutine."""
    session = client.start_session()
    async with session:
        try:
            async with session.start_transaction():
                if db_name not in await client.list_database_names():
                    raise RuntimeError("")
                db = client[db_name]
                if collection_name not in await db.list_collection_names():
                    raise RuntimeError("")
                await db[collection_name].delete_many({"_id": {"$in": ids}})
        except Exception as e:
            raise RuntimeError(f"Can not delete from '{collection_name}'!") from e


# awaits per call: session enter/exit, txn enter/exit, 2 listings, 1 delete
AWAITS_PER_CALL = 7


async def timed(op, n):
    client = Client()
    t = time.perf_counter()
    for _ in range(n):
        await op(client, "d", "c", [])
    return time.perf_counter() - t


def main(n=100_000):
    async def run():
        await timed(kf.Delete_doc_main, 1000)
        await timed(python_delete_doc_main, 1000)
        best = {}
        for name, op in (("kestrel", kf.Delete_doc_main), ("python", python_delete_doc_main)):
            best[name] = min([await timed(op, n) for _ in range(3)])
        return best
    best = asyncio.run(run())
    k, p = best["kestrel"], best["python"]
    print(f"bridge: {n} calls of Delete_doc_main against an in-memory client")
    print(f"  kestrel (C++ coroutines)   {k:.3f} s  {k / n * 1e6:.2f} us/call")
    print(f"  pure-Python coroutine      {p:.3f} s  {p / n * 1e6:.2f} us/call")
    print(f"  ratio kestrel/python       {k / p:.2f}x")
    print(f"  difference per awaited call {(k - p) / n / AWAITS_PER_CALL * 1e9:+.0f} ns "
          f"({AWAITS_PER_CALL} awaits per call)")
    return best


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
