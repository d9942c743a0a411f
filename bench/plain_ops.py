"""Plain-Python coroutines making exactly the driver calls that kestrel's
operations make, in the same frame: the session and the transaction (in the
style of PyMongo's async client: `start_session` answers the session itself,
`start_transaction` an awaitable), the flagged access check, the calls, the
failure conversion, and calls between operations by keyword through this
module's globals.

They are written the way a careful Python developer would write them: the
access check inline (its cheapest form in Python), failure messages built only
when a failure happens, no argument checks, nothing made that the path taken
does not need (the size pass of a deletion only for a list that has ids, the
overlapped reads only once there is a read to start). `bench_bridge.py` times
them next to kestrel and first checks, on the recording fake, that both make
the same calls with the same arguments.
"""

from __future__ import annotations

import asyncio

READS_IN_FLIGHT = 64  # as kestrel's merge and find
MAX_FILTER = 16 * 1024 * 1024 - 16 * 1024  # the largest `$in` filter one statement sends
IDS_PER_STATEMENT = 8


def delete_statements(collection, ids, per=IDS_PER_STATEMENT):
    """The deleteMany statements that delete `ids`: consecutive runs of up to
    `per` ids (the library's IDS_PER_STATEMENT), a run closed early where its
    filter would pass MAX_FILTER."""
    import bson
    from pymongo import DeleteMany
    codec_options = getattr(collection, "codec_options", None)
    kwargs = {"codec_options": codec_options} if codec_options is not None else {}

    def size(i):
        try:
            return len(bson.encode({"": i}, **kwargs)) - 7
        except Exception:
            return 0  # for the driver to report

    statements, start, filled = [], 0, 25
    for k, i in enumerate(ids):
        n = size(i)
        add = 2 + len(str(k - start)) + n
        if k > start and (k - start == per or filled + add > MAX_FILTER):
            statements.append(DeleteMany({"_id": {"$in": ids[start:k]}}))
            start, filled, add = k, 25, 3 + n
        filled += add
    statements.append(DeleteMany({"_id": {"$in": ids[start:]}}))
    return statements


def id_key(value):
    """A key that stands for an `_id` in a dict: the value itself when it is
    hashable, a document or list as a marked tuple of its parts' keys."""
    if isinstance(value, dict):
        return ("\0document", *(k for pair in value.items() for k in map(id_key, pair)))
    if isinstance(value, list):
        return ("\0list", *map(id_key, value))
    hash(value)
    return value


def add_id(ids, value):
    ids.setdefault(id_key(value), value)


async def delete_ids(collection, ids):
    """The documents whose `_id` is in `ids` deleted: one bulk write of
    deleteMany statements; an empty list, one delete_many of the empty `$in`."""
    if not ids:
        return await collection.delete_many({"_id": {"$in": ids}})
    return await collection.bulk_write(delete_statements(collection, ids))


class Reads:
    """Reads started as tasks, at most READS_IN_FLIGHT running at once, their
    results taken in start order; the first failure cancels the others."""

    def __init__(self):
        self.tasks, self.running = [], set()

    async def start(self, coro):
        while len(self.running) >= READS_IN_FLIGHT:
            await asyncio.wait(self.running, return_when=asyncio.FIRST_COMPLETED)
        task = asyncio.ensure_future(coro)
        self.tasks.append(task)
        self.running.add(task)
        task.add_done_callback(self.running.discard)

    async def results(self):
        try:
            return await asyncio.gather(*self.tasks)
        except BaseException:
            for task in self.tasks:
                task.cancel()
            await asyncio.gather(*self.tasks, return_exceptions=True)
            raise


async def read_all(cursor):
    return [doc async for doc in cursor]


async def read_rules(manage_collection, type_):
    uniques = []
    async for record in manage_collection.find({"type": type_}):
        fields = set(record["keys"])
        if not fields:
            raise ValueError(f"'{record.get('name')}' has no fields!")
        uniques.append(fields)
    return uniques


async def Delete_doc_main(client, db_name, collection_name, ids):
    session = client.start_session()
    async with session:
        try:
            async with await session.start_transaction():
                flag = 0
                try:
                    if db_name not in await client.list_database_names():
                        flag = 1
                        raise RuntimeError("")
                    db = client[db_name]
                    if collection_name not in await db.list_collection_names():
                        flag = 2
                        raise RuntimeError("")
                except Exception:
                    if flag == 1:
                        raise RuntimeError(f"can not access '{db_name}'!") from None
                    if flag == 2:
                        raise RuntimeError(f"can not access '{collection_name}'!") from None
                    db = client[db_name]
                collection = db[collection_name]
                await delete_ids(collection, ids)
        except Exception as e:
            raise RuntimeError(f"Can not delete from '{collection_name}'!") from e


async def insert_temp(client, db_name, collection_name, docs):
    session = client.start_session()
    async with session:
        try:
            async with await session.start_transaction():
                flag = 0
                try:
                    if db_name not in await client.list_database_names():
                        flag = 1
                        raise RuntimeError("")
                    db = client[db_name]
                    if collection_name not in await db.list_collection_names():
                        flag = 2
                        raise RuntimeError("")
                except Exception:
                    if flag == 1:
                        raise RuntimeError(f"can not access '{db_name}'!") from None
                    if flag == 2:
                        raise RuntimeError(f"can not access '{collection_name}'!") from None
                    db = client[db_name]
                temp_collection = db["_temp_" + collection_name]
                await temp_collection.insert_many(docs)
        except Exception as e:
            raise RuntimeError(f"Can not insert '_temp_{collection_name}'!") from e


async def deactive_index(client, db_name, collection_name):
    db = client[db_name]
    collection = db[collection_name]
    session = client.start_session()
    async with session:
        try:
            async with await session.start_transaction():
                flag = 0
                try:
                    if db_name not in await client.list_database_names():
                        flag = 1
                        raise RuntimeError("")
                    db = client[db_name]
                    if collection_name not in await db.list_collection_names():
                        flag = 2
                        raise RuntimeError("")
                except Exception:
                    if flag == 1:
                        raise RuntimeError(f"can not access '{db_name}'!") from None
                    if flag == 2:
                        raise RuntimeError(f"can not access '{collection_name}'!") from None
                    db = client[db_name]
                collection = db[collection_name]
                await collection.drop_indexes()
        except Exception as e:
            raise RuntimeError("Can not deactive indexes of collection!") from e


def index_model(code, name):
    # Only reached when index records exist; the bench's collections have none.
    import ast

    from pymongo import IndexModel
    call = ast.parse("_(" + code + ")", mode="eval").body
    return IndexModel(*[ast.literal_eval(a) for a in call.args],
                      **{k.arg: ast.literal_eval(k.value) for k in call.keywords})


async def active_index(client, db_name, collection_name):
    session = client.start_session()
    async with session:
        try:
            async with await session.start_transaction():
                flag = 0
                try:
                    if db_name not in await client.list_database_names():
                        flag = 1
                        raise RuntimeError("")
                    db = client[db_name]
                    if collection_name not in await db.list_collection_names():
                        flag = 2
                        raise RuntimeError("")
                except Exception:
                    if flag == 1:
                        raise RuntimeError(f"can not access '{db_name}'!") from None
                    if flag == 2:
                        raise RuntimeError(f"can not access '{collection_name}'!") from None
                    db = client[db_name]
                collection = db[collection_name]
                manage_collection = db["_manage_" + collection_name]
                indexes = []
                async for record in manage_collection.find({"type": "index"}):
                    indexes.append(index_model(record["code"], record.get("name")))
                if len(indexes) != 0:
                    await collection.create_indexes(indexes)
        except Exception as e:
            raise RuntimeError("Can not active indexes of collection!") from e


async def temp_to_main(client, db_name, collection_name):
    session = client.start_session()
    async with session:
        try:
            async with await session.start_transaction():
                flag = 0
                try:
                    if db_name not in await client.list_database_names():
                        flag = 1
                        raise RuntimeError("")
                    db = client[db_name]
                    if collection_name not in await db.list_collection_names():
                        flag = 2
                        raise RuntimeError("")
                except Exception:
                    if flag == 1:
                        raise RuntimeError(f"can not access '{db_name}'!") from None
                    if flag == 2:
                        raise RuntimeError(f"can not access '{collection_name}'!") from None
                    db = client[db_name]
                collection = db[collection_name]
                temp_collection = db["_temp_" + collection_name]
                manage_collection = db["_manage_" + collection_name]

                uniques = await read_rules(manage_collection, "unique")
                rules = [list(fields) for fields in uniques]

                origin_ids = {}
                tekrar = [set() for _ in rules]
                docs = []
                read_ids = []
                lookups = None
                async for temp_doc in temp_collection.find({}).sort([("_id", -1)]):
                    read_ids.append(temp_doc["_id"])
                    flag = 0
                    for i, fields in enumerate(rules):
                        if not all(f in temp_doc for f in fields):
                            continue
                        search_code = {f: temp_doc[f] for f in fields}
                        tekrar_key = tuple(temp_doc[f] for f in fields)
                        if tekrar_key in tekrar[i]:
                            flag = 1
                            continue
                        tekrar[i].add(tekrar_key)
                        if lookups is None:
                            lookups = Reads()
                        await lookups.start(read_all(collection.find(search_code)))
                    if flag == 0:
                        docs.append(temp_doc)
                if lookups is not None:
                    for found in await lookups.results():
                        for main_doc in found:
                            add_id(origin_ids, main_doc["_id"])
                for doc in docs:
                    add_id(origin_ids, doc["_id"])

                await deactive_index(client=client, db_name=db_name, collection_name=collection_name)
                await Delete_doc_main(client=client, db_name=db_name, collection_name=collection_name,
                                      ids=list(origin_ids.values()))
                if len(docs) > 0:
                    await collection.insert_many(docs)
                await delete_ids(temp_collection, read_ids[::-1])
                await active_index(client=client, db_name=db_name, collection_name=collection_name)
        except Exception as e:
            raise RuntimeError(f"Can not insert temp to main for '{collection_name}'!") from e


async def _check_newest_unique(collection, temp_collection, doc_id, doc, uniques, eqivalent_set):
    for fields in uniques:
        if not all(f in doc for f in fields):
            continue
        query = {f: doc[f] for f in fields}
        for rank, searched in ((1, temp_collection), (0, collection)):
            async for new_doc in searched.find(query).sort([("_id", -1)]):
                new_doc_id = (rank, new_doc["_id"])
                if new_doc_id in eqivalent_set:
                    continue
                eqivalent_set.add(new_doc_id)
                if rank > doc_id[0] or (rank == doc_id[0] and new_doc_id[1] > doc_id[1]):
                    return False, None
                result = await _check_newest_unique(
                    collection=collection, temp_collection=temp_collection, doc_id=doc_id,
                    doc=new_doc, uniques=uniques, eqivalent_set=eqivalent_set)
                if not result[0]:
                    return False, None
    return True, eqivalent_set


async def find(client, db_name, collection_name, query):
    try:
        flag = 0
        try:
            if db_name not in await client.list_database_names():
                flag = 1
                raise RuntimeError("")
            db = client[db_name]
            if collection_name not in await db.list_collection_names():
                flag = 2
                raise RuntimeError("")
        except Exception:
            if flag == 1:
                raise RuntimeError(f"can not access '{db_name}'!") from None
            if flag == 2:
                raise RuntimeError(f"can not access '{collection_name}'!") from None
            db = client[db_name]
        collection = db[collection_name]
        temp_collection = db["_temp_" + collection_name]
        manage_collection = db["_manage_" + collection_name]

        uniques = await read_rules(manage_collection, "unique")
        found_docs = []
        checks = None
        for rank, searched in ((1, temp_collection), (0, collection)):
            async for found_doc in searched.find(query).sort([("_id", -1)]):
                doc_id = (rank, found_doc["_id"])
                eqivalent_set = {doc_id}
                found_docs.append(found_doc)
                if checks is None:
                    checks = Reads()
                await checks.start(_check_newest_unique(
                    collection=collection, temp_collection=temp_collection, doc_id=doc_id,
                    doc=found_doc, uniques=uniques, eqivalent_set=eqivalent_set))
        if checks is None:
            return []
        return [doc for doc, result in zip(found_docs, await checks.results()) if result[0]]
    except Exception as e:
        raise RuntimeError("Can not find query!") from e


async def get_users(client, db_name):
    try:
        flag = 0
        try:
            if db_name not in await client.list_database_names():
                flag = 1
                raise RuntimeError("")
            db = client[db_name]
        except Exception:
            if flag == 1:
                raise RuntimeError(f"can not access '{db_name}'!") from None
            db = client[db_name]
        return await db.command({"usersInfo": 1})
    except Exception as e:
        raise RuntimeError("Can not access users!") from e
