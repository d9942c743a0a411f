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


def with_id(doc, id_):
    return {k: (id_ if k == "_id" else v) for k, v in doc.items()}


async def refresh_archive(client, db_name, c):
    """Clusters with a disjoint set, stores the archived copies first.
    Versions keep their `_id` (or take {"_copy_of": X} where X is another
    document's); the archive's temp companion is asked which versions it
    holds already (lost in an interrupted refresh); a main document that is
    the same document as a temp one read is that version."""
    from plain_ops import Reads, add_id, id_key, read_all
    async with Frame(client):
        db = await checked_db(client, db_name, c)
        await checked_db(client, db_name, "archive_" + c)
        archive_temp = db["_temp_archive_" + c]
        uniques = await rules(db, c, "archive_unique")
        stored, asking = {}, []

        async def ask(questions):
            await questions.start(read_all(archive_temp.find({"_id": {"$in": asking[:]}})))
            asking.clear()

        def copy_id(id_):
            return {"_copy_of": id_}

        def holds(id_, doc):
            copy = stored.get(id_key(id_))
            return copy is not None and same_document(copy, doc if id_ is doc["_id"] else with_id(doc, id_))

        read_ids, by_id, versions, temp_to_main_docs = [], {}, [], []
        main_del_ids, main_held = {}, {}
        questions = Reads()
        async for doc in db["_temp_" + c].find({}).sort([("_id", -1)]):
            read_ids.append(doc["_id"])
            by_id[id_key(doc["_id"])] = doc
            if "__index__" not in doc:
                temp_to_main_docs.append(doc)
                continue
            versions.append((doc, True, False))
            asking.append(doc["_id"])
            if len(asking) == 64:
                await ask(questions)
        async for doc in db[c].find({}).sort([("_id", -1)]):
            id_ = doc["_id"]
            twin = by_id.get(id_key(id_))
            of = id_.get("_copy_of") if isinstance(id_, dict) and len(id_) == 1 else None
            original = by_id.get(id_key(of)) if of is not None else None
            if ((twin is not None and same_document(twin, doc))
                    or (original is not None and same_document(with_id(original, id_), doc))):
                add_id(main_del_ids, id_)
                continue
            main_held[id_key(id_)] = id_
            if "__index__" not in doc:
                continue
            versions.append((doc, False, twin is not None))
            asking.append(copy_id(id_) if twin is not None else id_)
            if len(asking) == 64:
                await ask(questions)
        if asking:
            await ask(questions)
        for found in await questions.results():
            stored.update((id_key(d["_id"]), d) for d in found)
        asking += [copy_id(doc["_id"]) for doc, _, twin in versions
                   if not twin and id_key(doc["_id"]) in stored and not holds(doc["_id"], doc)]
        if asking:
            questions, again = Reads(), asking[:]
            for at in range(0, len(again), 64):
                asking[:] = again[at:at + 64]
                await ask(questions)
            for found in await questions.results():
                stored.update((id_key(d["_id"]), d) for d in found)

        def archived(doc, twin):
            return (not twin and holds(doc["_id"], doc)) or holds(copy_id(doc["_id"]), doc)

        parent, owner = {}, [dict() for _ in uniques]
        clusters, archive_docs = {}, []

        def root(n):
            while parent[n] != n:
                parent[n] = parent[parent[n]]
                n = parent[n]
            return n

        def beats(a, b):  # (doc, from_temp, twin, archived)
            return b[3] if a[3] != b[3] else a[0]["__index__"] > b[0]["__index__"]

        for n, (doc, from_temp, twin) in enumerate(versions, 1):
            parent[n] = n
            met = set()
            for i, fields in enumerate(uniques):
                if fields <= doc.keys():
                    key = tuple(doc[f] for f in fields)
                    if key in owner[i]:
                        met.add(root(owner[i][key]))
                    else:
                        owner[i][key] = n
            best = (doc, from_temp, twin, archived(doc, twin))
            for m in sorted(met):
                other = clusters.pop(m)
                parent[m] = n
                loser = best if beats(other, best) else other
                best = other if loser is best else best
                archive_docs.append(loser)
            clusters[n] = best
        for version in clusters.values():
            if version[3]:
                archive_docs.append(version)
            elif version[1]:
                temp_to_main_docs.append(version[0])
        corrected, taken = [], set()
        for doc, from_temp, twin, done in archive_docs:
            id_ = doc["_id"]
            if not from_temp:
                add_id(main_del_ids, id_)
                del main_held[id_key(id_)]
            if done:
                continue
            for slot in (copy_id(id_) if twin else id_, copy_id(id_)):
                if id_key(slot) not in stored and id_key(slot) not in taken:
                    taken.add(id_key(slot))
                    corrected.append(doc if slot is id_ else with_id(doc, slot))
                    break
            else:
                corrected.append({k: v for k, v in doc.items() if k != "_id"})
        for i, doc in enumerate(temp_to_main_docs):
            if id_key(doc["_id"]) in main_held:
                other = copy_id(doc["_id"])
                temp_to_main_docs[i] = ({k: v for k, v in doc.items() if k != "_id"}
                                        if id_key(other) in main_held else with_id(doc, other))
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
