"""A merge or a refresh whose process is killed (SIGKILL) part-way, run again
once the server has finished what the dead client sent, ends where one
uninterrupted run ends, on a real server with both clients."""

import asyncio
import os
import signal
import subprocess
import sys
import time

import pytest
from bson import ObjectId

from conftest import RealClients
from kestrel import functions as kf

# The process that is killed: it runs one operation with the library's DEBUG
# records on, and prints each phase's name as the record comes.
CHILD = r"""
import asyncio, logging, sys
from kestrel import functions as kf

host, user, pwd, db, op, flavor = sys.argv[1:7]

class Phases(logging.Handler):
    def emit(self, record):
        figures = getattr(record, "kestrel", None)
        if figures and figures.get("operation") == op:
            print(figures["phase"], flush=True)

logging.getLogger("kestrel").addHandler(Phases())
logging.getLogger("kestrel").setLevel(logging.DEBUG)

async def main():
    if flavor == "motor":
        from motor.motor_asyncio import AsyncIOMotorClient as Client
    else:
        from pymongo import AsyncMongoClient as Client
    client = Client(host=host, username=user, password=pwd, authSource="admin")
    await getattr(kf, op)(client, db, "c")

asyncio.run(main())
"""

TEMP, KEYS, MAIN = 1500, 1100, 500  # temp documents over KEYS keys; MAIN of the keys in main


def data(refresh):
    """The same documents, `_id`s included, for every database of a case."""
    ids = [ObjectId() for _ in range(MAIN + TEMP)]
    version = {"__index__": 1} if refresh else {}
    main = [{"_id": ids[i], "k": i, "v": f"m{i}", **version} for i in range(MAIN)]
    temp = [{"_id": ids[MAIN + i], "k": i % KEYS, "v": f"t{i}",
             **({"__index__": 2 + i // KEYS} if refresh else {})} for i in range(TEMP)]
    return main, temp


async def seed(client, db, main, temp):
    await kf.create_collection(client, db, "c", {"v_index": "[('v', 1)]"}, {"u": ["k"]}, {"a": ["k"]})
    await kf.create_collection(client, db, "archive_c", {}, {}, {})
    await client[db]["c"].insert_many([dict(d) for d in main])
    await client[db]["_temp_c"].insert_many([dict(d) for d in temp])


async def snapshot(client, db):
    out = {}
    for coll in ("c", "_temp_c", "archive_c", "_temp_archive_c"):
        out[coll] = sorted([d async for d in client[db][coll].find({})], key=repr)
    out["indexes"] = sorted([i["name"] async for i in await maybe(client[db]["c"].list_indexes())])
    return out


async def maybe(x):
    return await x if asyncio.iscoroutine(x) else x


async def settled(client, db, quiet=0.5, limit=120.0):
    """Wait until the server has finished what the dead client sent: nothing
    in the four collections or the indexes changes for `quiet` seconds."""
    last, since, start = None, time.monotonic(), time.monotonic()
    while time.monotonic() - start < limit:
        now = await snapshot(client, db)
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return
        await asyncio.sleep(0.2)
    raise AssertionError("the server kept changing the collections")


_references = {}


def reference(clients, op, refresh, main, temp, unique_name):
    """What one uninterrupted run leaves (once per operation)."""
    if op not in _references:
        db = unique_name("ref")

        async def run(client):
            await seed(client, db, main, temp)
            await getattr(kf, op)(client, db, "c")
            return await snapshot(client, db)
        _references[op] = clients.run(run, timeout=120)
    return _references[op]


_data = {False: data(False), True: data(True)}


# Each moment with one client, each operation with both.
@pytest.mark.parametrize("op, phase, flavor", [
    ("temp_to_main", "indexes dropped", "motor"),           # then the replaced documents are deleted
    ("temp_to_main", "main documents deleted", "pymongo"),  # then the insert into the main collection
    ("temp_to_main", "documents inserted", "motor"),        # then the clearing of the temp companion
    ("refresh_archive", "scan done", "pymongo"),            # then the archive copies are stored
    ("refresh_archive", "main documents deleted", "motor"),
    ("refresh_archive", "indexes rebuilt", "pymongo"),      # then the clearing of the temp companion
])
def test_killed_then_run_again(server, unique_name, op, phase, flavor):
    refresh = op == "refresh_archive"
    main, temp = _data[refresh]
    real_client = RealClients(flavor, server)
    want = reference(real_client, op, refresh, main, temp, unique_name)
    db = unique_name("killed")
    real_client.run(lambda client: seed(client, db, main, temp), timeout=60)

    child = subprocess.Popen([sys.executable, "-u", "-c", CHILD, server.host, server.user, server.pwd, db, op,
                              flavor], stdout=subprocess.PIPE, text=True)
    try:
        seen = []
        for line in child.stdout:
            seen.append(line.strip())
            if seen[-1] == phase:
                os.kill(child.pid, signal.SIGKILL)
                break
        assert phase in seen, seen
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    assert child.returncode == -signal.SIGKILL

    async def again(client):
        left = await snapshot(client, db)
        await settled(client, db)
        await getattr(kf, op)(client, db, "c")
        return left, await snapshot(client, db)
    left, got = real_client.run(again, timeout=120)
    assert left != want  # the kill came part-way
    assert got == want
