"""The merge, the archive refresh and the combined find written with the driver
alone, in plain Python: the same driver calls, in the same order, as the
library makes (sessions, listings, reads, index drops and rebuilds, bulk
writes), so that a benchmark compares the library with what a careful
hand-written version costs on the same client."""

import ast
import inspect

from pymongo import IndexModel


async def maybe(x):
    return await x if inspect.isawaitable(x) else x


class Frame:
    """The session and transaction around one operation."""

    def __init__(self, client):
        self.client = client

    async def __aenter__(self):
        self.session = await maybe(self.client.start_session())
        await self.session.__aenter__()
        self.txn = await maybe(self.session.start_transaction())
        await self.txn.__aenter__()

    async def __aexit__(self, *exc):
        await self.txn.__aexit__(*exc)
        await self.session.__aexit__(*exc)


async def checked_db(client, db_name, name):
    if db_name not in await client.list_database_names():
        raise RuntimeError(f"can not access '{db_name}'!")
    db = client[db_name]
    if name not in await db.list_collection_names():
        raise RuntimeError(f"can not access '{name}'!")
    return db


def index_model(code):
    call = ast.parse("_(" + code + ")", mode="eval").body
    return IndexModel(*[ast.literal_eval(a) for a in call.args],
                      **{k.arg: ast.literal_eval(k.value) for k in call.keywords})


async def deactive_index(client, db_name, c):
    db = client[db_name]
    async with Frame(client):
        await checked_db(client, db_name, c)
        await db[c].drop_indexes()


async def active_index(client, db_name, c):
    async with Frame(client):
        db = await checked_db(client, db_name, c)
        indexes = [index_model(r["code"]) async for r in db["_manage_" + c].find({"type": "index"})]
        if indexes:
            await db[c].create_indexes(indexes)


async def delete_doc_main(client, db_name, c, ids):
    async with Frame(client):
        db = await checked_db(client, db_name, c)
        from plain_ops import delete_ids
        await delete_ids(db[c], ids)


async def insert_temp(client, db_name, c, docs):
    async with Frame(client):
        db = await checked_db(client, db_name, c)
        await db["_temp_" + c].insert_many(docs)


async def clear_read(temp, read_ids):
    """Delete from the temp companion exactly the documents the scan read."""
    from plain_ops import delete_ids
    await delete_ids(temp, read_ids)


async def rules(db, c, kind):
    return [set(r["keys"]) async for r in db["_manage_" + c].find({"type": kind})]


async def temp_to_main(client, db_name, c):
    async with Frame(client):
        db = await checked_db(client, db_name, c)
        uniques = await rules(db, c, "unique")
        tekrar = {i: set() for i in range(len(uniques))}
        from plain_ops import add_id
        origin_ids, docs, read_ids = {}, [], []
        async for doc in db["_temp_" + c].find({}).sort([("_id", -1)]):
            read_ids.append(doc["_id"])
            flag = 0
            for i, fields in enumerate(uniques):
                if not fields <= doc.keys():
                    continue
                search_code = {f: doc[f] for f in fields}
                tekrar_key = tuple(search_code.values())
                if tekrar_key in tekrar[i]:
                    flag = 1
                    continue
                tekrar[i].add(tekrar_key)
                async for item in db[c].find(search_code):
                    add_id(origin_ids, item["_id"])
            if not flag:
                docs.append(doc)
        for doc in docs:  # a copy an interrupted merge left goes first
            add_id(origin_ids, doc["_id"])
        await deactive_index(client, db_name, c)
        await delete_doc_main(client, db_name, c, list(origin_ids.values()))
        if docs:
            await db[c].insert_many(docs)
        await clear_read(db["_temp_" + c], read_ids[::-1])  # oldest first
        await active_index(client, db_name, c)


def same_document(a, b):
    """The same document as stored: fields in the same order, values of the
    same types, equal (NaN as NaN)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return len(a) == len(b) and all(same_document(k, l) and same_document(v, w)
                                        for (k, v), (l, w) in zip(a.items(), b.items()))
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same_document, a, b))
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    return a == b


async def refresh_archive(client, db_name, c):
    """Clusters with a disjoint set, stores the archived copies first. Versions
    keep their `_id`; the archive's temp companion is asked which of them it
    holds already (lost in an interrupted refresh), and a main document that
    is the same document as a temp one read is that version."""
    from plain_ops import Reads, add_id, id_key, read_all
    async with Frame(client):
        db = await checked_db(client, db_name, c)
        await checked_db(client, db_name, "archive_" + c)
        archive_temp = db["_temp_archive_" + c]
        uniques = await rules(db, c, "archive_unique")
        questions, asking = Reads(), []

        async def ask():
            await questions.start(read_all(archive_temp.find({"_id": {"$in": asking[:]}})))
            asking.clear()

        read_ids, by_id, versions, temp_to_main_docs = [], {}, [], []
        main_del_ids, twins = {}, set()
        async for doc in db["_temp_" + c].find({}).sort([("_id", -1)]):
            read_ids.append(doc["_id"])
            by_id[id_key(doc["_id"])] = doc
            (versions.append((doc, True)) if "__index__" in doc else temp_to_main_docs.append(doc))
            asking.append(doc["_id"])
            if len(asking) == 64:
                await ask()
        async for doc in db[c].find({}).sort([("_id", -1)]):
            key = id_key(doc["_id"])
            twin = by_id.get(key)
            if twin is not None:
                if same_document(twin, doc):
                    add_id(main_del_ids, doc["_id"])
                    continue
                twins.add(key)
            if "__index__" in doc:
                versions.append((doc, False))
                if twin is None:
                    asking.append(doc["_id"])
                    if len(asking) == 64:
                        await ask()
        if asking:
            await ask()
        stored = {id_key(d["_id"]): d for found in await questions.results() for d in found}

        def archived(doc):
            copy = stored.get(id_key(doc["_id"]))
            return copy is not None and same_document(copy, doc)

        parent, owner = {}, [dict() for _ in uniques]
        clusters, archive_docs = {}, []

        def root(n):
            while parent[n] != n:
                parent[n] = parent[parent[n]]
                n = parent[n]
            return n

        def beats(a, b):
            return b[2] if a[2] != b[2] else a[0]["__index__"] > b[0]["__index__"]

        for n, (doc, from_temp) in enumerate(versions, 1):
            parent[n] = n
            met = set()
            for i, fields in enumerate(uniques):
                if fields <= doc.keys():
                    key = tuple(doc[f] for f in fields)
                    if key in owner[i]:
                        met.add(root(owner[i][key]))
                    else:
                        owner[i][key] = n
            best = (doc, from_temp, archived(doc))
            for m in sorted(met):
                other = clusters.pop(m)
                parent[m] = n
                loser = best if beats(other, best) else other
                best = other if loser is best else best
                archive_docs.append(loser)
            clusters[n] = best
        for doc, from_temp, done in clusters.values():
            if done:
                archive_docs.append((doc, from_temp, done))
            elif from_temp:
                temp_to_main_docs.append(doc)
        corrected, taken = [], set()
        for doc, from_temp, done in archive_docs:
            if not from_temp:
                add_id(main_del_ids, doc["_id"])
            if done:
                continue
            key = id_key(doc["_id"])
            if key in stored or key in taken:
                doc = {k: v for k, v in doc.items() if k != "_id"}
            else:
                taken.add(key)
            corrected.append(doc)
        for i, doc in enumerate(temp_to_main_docs):
            key = id_key(doc["_id"])
            if key in twins and key not in main_del_ids:
                temp_to_main_docs[i] = {k: v for k, v in doc.items() if k != "_id"}
        if corrected:
            await insert_temp(client, db_name, "archive_" + c, corrected)
        await deactive_index(client, db_name, c)
        await delete_doc_main(client, db_name, c, list(main_del_ids.values()))
        if temp_to_main_docs:
            await db[c].insert_many(temp_to_main_docs)
        await active_index(client, db_name, c)
        await clear_read(db["_temp_" + c], read_ids)


async def check_newest(collection, temp_collection, doc_id, doc, uniques, seen):
    for fields in uniques:
        if not fields <= doc.keys():
            continue
        query = {f: doc[f] for f in fields}
        for rank, coll in ((1, temp_collection), (0, collection)):
            async for new_doc in coll.find(query).sort([("_id", -1)]):
                label = (rank, new_doc["_id"])
                if label in seen:
                    continue
                seen.add(label)
                if label > doc_id:
                    return False, None
                ok, _ = await check_newest(collection, temp_collection, doc_id, new_doc, uniques, seen)
                if not ok:
                    return False, None
    return True, seen


async def find(client, db_name, c, query):
    db = await checked_db(client, db_name, c)
    uniques = await rules(db, c, "unique")
    out = []
    for rank, coll in ((1, db["_temp_" + c]), (0, db[c])):
        async for doc in coll.find(query).sort([("_id", -1)]):
            label = (rank, doc["_id"])
            ok, _ = await check_newest(db[c], db["_temp_" + c], label, doc, uniques, {label})
            if ok:
                out.append(doc)
    return out
