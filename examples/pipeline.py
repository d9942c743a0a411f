"""A day in the life of a managed collection: a registry of people.

Run with `make demo`. It starts an embedded SecantusDB server with
authentication (or uses the deployment named by KESTREL_URI, a mongodb:// URI
of a user allowed to create databases, roles and users), then:

  1. creates the managed collection "people" with declared indexes, two unique
     rules and an archive-unique rule, and its archive collection;
  2. loads ten thousand generated people into the temp companion in batches,
     some of them newer versions of earlier ones;
  3. searches temp and main together with `find`;
  4. merges the temp companion into the main collection;
  5. loads re-numbered versions (`__index__`) and refreshes the archive, then
     merges the archive's own temp companion;
  6. creates a user holding the collection's read role and lists users and roles;
  7. drops everything it made.
"""

import asyncio
import os
import random
import sys
import time
from contextlib import contextmanager
from pathlib import Path

from kestrel.functions import (connect, create_collection, drop_collection, find, insert_temp,
                               refresh_archive, temp_to_main)
from kestrel.users import create_user, drop_user, get_roles, get_users

DB = "registry"
C = "people"
ARCHIVE = "archive_" + C
PEOPLE = 10_000
BATCH = 500
CITIES = ["Tabriz", "Shiraz", "Isfahan", "Yazd", "Rasht", "Kerman"]
NAMES = ["Ada", "Babak", "Cyrus", "Dara", "Elham", "Farid", "Golnar", "Hamid", "Iran", "Jamshid"]
FAMILIES = ["Ahmadi", "Bahrami", "Karimi", "Rahimi", "Sadeghi", "Tehrani", "Zand"]


def step(title):
    print(f"\n== {title}")


@contextmanager
def timed(what):
    t = time.perf_counter()
    yield
    print(f"   {what}: {time.perf_counter() - t:.2f} s")


async def counts(client, *names):
    db = client[DB]
    return {n: await db[n].count_documents({}) for n in names}


def show(counts_):
    print("   " + ", ".join(f"{name}: {n}" for name, n in counts_.items()))


def person(i, version, rng):
    return {"national_ID": 10_000 + i, "name": NAMES[i % len(NAMES)],
            "family": FAMILIES[i % len(FAMILIES)], "city": rng.choice(CITIES),
            "email": f"{NAMES[i % len(NAMES)].lower()}.{i}@example.org",
            "age": 20 + (i * 7) % 60, "__index__": version,
            "note": "x" * rng.randrange(40, 120)}


async def pipeline(client):
    rng = random.Random(7)
    names = [C, "_temp_" + C, "_manage_" + C, ARCHIVE, "_temp_" + ARCHIVE]

    step(f"create the managed collection {DB}.{C} and its archive")
    index = {"age_index": "[('age', 1)]",
             "city_age_index": "[('city', 1), ('age', -1)], sparse=True"}
    unique = {"person": ["national_ID"], "email": ["email"]}
    archive_unique = {"person": ["national_ID"]}
    with timed("create_collection x2"):
        await create_collection(client, DB, C, index, unique, archive_unique)
        await create_collection(client, DB, ARCHIVE, {"age_index": "[('age', 1)]"}, {}, {})
    db = client[DB]
    print(f"   collections: {sorted(await db.list_collection_names())}")
    print(f"   indexes on {C}: {sorted([i['name'] async for i in await _indexes(db[C])])}")
    records = [r async for r in db["_manage_" + C].find({}, {"_id": 0})]
    for r in records:
        print(f"   record: {r}")

    step(f"load {PEOPLE:,} people into the temp companion, in batches of {BATCH}")
    people = [person(i, 1, rng) for i in range(PEOPLE)]
    with timed(f"insert_temp x{-(-PEOPLE // BATCH)}"):
        for k in range(0, len(people), BATCH):
            await insert_temp(client, DB, C, people[k:k + BATCH])
    # a second, newer version of every tenth person, loaded later
    newer = [dict(person(i, 1, rng), age=21 + (i * 7) % 60) for i in range(0, PEOPLE, 10)]
    await insert_temp(client, DB, C, newer)
    show(await counts(client, *names[:2]))

    step("find across temp and main: people 10000-10019")
    query = {"national_ID": {"$in": list(range(10_000, 10_020))}}
    with timed("find"):
        found = await find(client, DB, C, query)
    print(f"   {len(found)} newest versions out of "
          f"{await db['_temp_' + C].count_documents(query)} matching documents")

    step("merge the temp companion into the main collection")
    with timed("temp_to_main"):
        await temp_to_main(client, DB, C)
    show(await counts(client, *names[:2]))

    step("refresh the archive with re-numbered versions (__index__)")
    updates = [dict(person(i, 2, rng), city="Tabriz") for i in range(0, PEOPLE, 4)]   # newer
    stale = [person(i, 0, rng) for i in range(1, PEOPLE, 50)]                          # older
    await insert_temp(client, DB, C, updates + stale)
    show(await counts(client, *names[:2], "_temp_" + ARCHIVE))
    with timed("refresh_archive"):
        await refresh_archive(client, DB, C)
    show(await counts(client, C, "_temp_" + C, "_temp_" + ARCHIVE))
    with timed("temp_to_main of the archive"):
        await temp_to_main(client, DB, ARCHIVE)
    show(await counts(client, C, ARCHIVE, "_temp_" + ARCHIVE))
    kept = await db[C].find_one({"national_ID": 10_000}, {"_id": 0, "__index__": 1, "city": 1})
    print(f"   person 10000 in {C}: {kept}")

    step("a reader: a user holding the read role")
    await create_user(client, DB, "reader", "reader-pw", [C + "_R"])
    users = await get_users(client, DB)
    for u in users["users"]:
        print(f"   user {u['user']}: roles {[r['role'] for r in u['roles']]}")
    roles = await get_roles(client, DB)
    for r in sorted(roles["roles"], key=lambda r: r["role"]):
        privileges = ", ".join(f"{p['resource']['collection']}:{'/'.join(p['actions'])}"
                               for p in r["privileges"])
        print(f"   role {r['role']}: {privileges}")

    step("clean up")
    await drop_user(client, DB, "reader")
    await drop_collection(client, DB, C)
    await drop_collection(client, DB, ARCHIVE)
    for leftover in ("_temp_" + ARCHIVE,):
        await db[leftover].drop()
    print(f"   collections left in {DB}: {sorted(await db.list_collection_names())}")


async def _indexes(collection):
    cursor = collection.list_indexes()
    return await cursor if asyncio.iscoroutine(cursor) else cursor


async def main(host, user, pwd):
    client = connect(user, pwd, host)
    try:
        await pipeline(client)
    finally:
        client.close()


def run():
    t = time.perf_counter()
    uri = os.environ.get("KESTREL_URI")
    if uri:
        from pymongo import uri_parser
        parsed = uri_parser.parse_uri(uri)
        host = ",".join(f"{h}:{p}" for h, p in parsed["nodelist"])
        asyncio.run(main(host, parsed["username"], parsed["password"]))
    else:
        sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
        from server import start_server
        print("starting an embedded SecantusDB server (authentication on, in memory)")
        with start_server("root", "demo-pw") as server:
            print(f"   listening on {server.host}")
            asyncio.run(main(server.host, "root", "demo-pw"))
    print(f"\ndone in {time.perf_counter() - t:.1f} s")


if __name__ == "__main__":
    run()
