"""The document pipeline end to end against the real server, with both
clients: load, look, merge, look again, load newer versions, refresh against
the archive collection, then merge the archive in turn."""

import pytest

from kestrel import functions as kf
from test_indexes import indexes_of
from test_loading_and_users import DeleteCommands

C = "people"


def versions(docs):
    return [d["v"] for d in docs]


async def everything(db, name):
    return versions(await db[name].find({}).sort([("_id", 1)]).to_list(None))


def person(name, v, nid=None, index=None):
    d = {"name": name, "family": name.upper(), "v": v}
    if nid is not None:
        d["national_id"] = nid
    if index is not None:
        d["__index__"] = index
    return d


def test_pipeline_round_trip(real_client, unique_name):
    db_name = unique_name("db")

    async def main(client):
        db = client[db_name]
        await kf.create_collection(client, db_name, C, {"age_index": "[('age', 1)]"},
                                   {"u1": ["name", "family"]}, {"a1": ["national_id"]})
        await kf.create_collection(client, db_name, "archive_" + C, {}, {}, {})

        # Load: the newest version of ada under the unique rule hides the older.
        await kf.insert_temp(client, db_name, C, [
            person("ada", "ada-1", 1, 1), person("bob", "bob-1", 2, 1),
            person("ada", "ada-2", 1, 2), person("cy", "cy")])
        assert versions(await kf.find(client, db_name, C, {})) == ["cy", "ada-2", "bob-1"]
        assert await kf.find(client, db_name, C, {"v": "ada-1"}) == []

        await kf.temp_to_main(client, db_name, C)
        assert await everything(db, "_temp_" + C) == []
        assert await everything(db, C) == ["bob-1", "ada-2", "cy"]  # under their temp `_id`s
        assert sorted(await indexes_of(db[C])) == ["_id_", "_unique_u1", "age_index"]
        # Under their temp `_id`s, newest first as they were loaded.
        assert versions(await kf.find(client, db_name, C, {})) == ["cy", "ada-2", "bob-1"]

        # Newer versions by `__index__` arrive (and one older one, late).
        await kf.insert_temp(client, db_name, C, [
            person("bob", "bob-5", 2, 5), person("ada", "ada-1b", 1, 1), person("dan", "dan-1", 4, 1)])
        # find judges by collection and `_id`: every temp document outranks its main equivalent.
        assert versions(await kf.find(client, db_name, C, {})) == ["dan-1", "ada-1b", "bob-5", "cy"]

        before = {d["v"]: d["_id"] for d in await db[C].find({}).to_list(None)}
        loaded = {d["v"]: d["_id"] for d in await db["_temp_" + C].find({}).to_list(None)}
        await kf.refresh_archive(client, db_name, C)
        assert await everything(db, "_temp_" + C) == []
        assert await everything(db, C) == ["ada-2", "cy", "bob-5", "dan-1"]
        assert await everything(db, "_temp_archive_" + C) == ["bob-1", "ada-1b"]
        assert sorted(await indexes_of(db[C])) == ["_id_", "_unique_u1", "age_index"]
        assert versions(await kf.find(client, db_name, C, {})) == ["dan-1", "bob-5", "cy", "ada-2"]
        # Every version keeps its `_id`, wherever it goes.
        now = {d["v"]: d["_id"] for d in await db[C].find({}).to_list(None)}
        archived = {d["v"]: d["_id"] for d in await db["_temp_archive_" + C].find({}).to_list(None)}
        assert (now["ada-2"], now["cy"]) == (before["ada-2"], before["cy"])
        assert (archived["bob-1"], archived["ada-1b"]) == (before["bob-1"], loaded["ada-1b"])
        assert (now["bob-5"], now["dan-1"]) == (loaded["bob-5"], loaded["dan-1"])

        # The archive is a managed collection of its own: merge it.
        await kf.temp_to_main(client, db_name, "archive_" + C)
        assert await everything(db, "_temp_archive_" + C) == []
        assert await everything(db, "archive_" + C) == ["bob-1", "ada-1b"]
        assert versions(await kf.find(client, db_name, "archive_" + C, {})) == ["ada-1b", "bob-1"]
    real_client.run(main, timeout=60)


@pytest.mark.parametrize("value", [[1, 2], {"x": 1}], ids=["list", "document"])
def test_unhashable_keys_change_nothing(real_client, unique_name, value):
    db_name = unique_name("db")

    async def main(client):
        db = client[db_name]
        await kf.create_collection(client, db_name, C, {}, {"u": ["k"]}, {"a": ["k"]})
        await kf.create_collection(client, db_name, "archive_" + C, {}, {}, {})
        await db[C].insert_one({"k": 1, "__index__": 1, "v": "m"})
        await kf.insert_temp(client, db_name, C, [{"k": 1, "__index__": 2, "v": "t"},
                                                  {"k": value, "__index__": 3, "v": "bad"}])
        for op, message in [(kf.temp_to_main, "Can not insert temp to main for 'people'!"),
                            (kf.refresh_archive, "Can not refresh archive for 'people'!")]:
            with pytest.raises(RuntimeError) as err:
                await op(client, db_name, C)
            assert str(err.value) == message and type(err.value.__cause__) is TypeError
            assert await everything(db, C) == ["m"]
            assert await everything(db, "_temp_" + C) == ["t", "bad"]
            assert await everything(db, "_temp_archive_" + C) == []
    real_client.run(main, timeout=60)


def test_refresh_needs_the_archive_collection(real_client, unique_name):
    db_name = unique_name("db")

    async def main(client):
        db = client[db_name]
        await kf.create_collection(client, db_name, C, {}, {}, {"a": ["k"]})
        await db[C].insert_one({"k": 1, "__index__": 1, "v": "m"})
        await kf.insert_temp(client, db_name, C, [{"k": 1, "__index__": 2, "v": "t"}])
        with pytest.raises(RuntimeError) as err:
            await kf.refresh_archive(client, db_name, C)
        assert str(err.value) == "Can not refresh archive for 'people'!"
        assert str(err.value.__cause__) == "can not access 'archive_people'!"
        assert (await everything(db, C), await everything(db, "_temp_" + C)) == (["m"], ["t"])
    real_client.run(main, timeout=60)


@pytest.mark.parametrize("keys", [[], ""], ids=repr)
def test_rule_records_without_fields_change_nothing(real_client, unique_name, keys):
    """A planted rule record with no fields would make every document one
    entity: the merge, the refresh and the find refuse it before writing."""
    db_name = unique_name("db")

    async def main(client):
        db = client[db_name]
        await kf.create_collection(client, db_name, C, {}, {"u": ["k"]}, {"a": ["k"]})
        await kf.create_collection(client, db_name, "archive_" + C, {}, {}, {})
        await db["_manage_" + C].insert_many([{"type": "unique", "name": "bad", "keys": keys},
                                              {"type": "archive_unique", "name": "bad", "keys": keys}])
        await db[C].insert_many([{"k": 1, "__index__": 1, "v": "m1"}, {"k": 2, "__index__": 1, "v": "m2"}])
        await kf.insert_temp(client, db_name, C, [{"k": 3, "__index__": 2, "v": "t"}])
        for op, args, message in [(kf.temp_to_main, (), "Can not insert temp to main for 'people'!"),
                                  (kf.refresh_archive, (), "Can not refresh archive for 'people'!"),
                                  (kf.find, ({},), "Can not find query!")]:
            with pytest.raises(RuntimeError) as err:
                await op(client, db_name, C, *args)
            assert str(err.value) == message
            assert (type(err.value.__cause__), str(err.value.__cause__)) == (ValueError, "'bad' has no fields!")
            assert await everything(db, C) == ["m1", "m2"]
            assert await everything(db, "_temp_" + C) == ["t"]
            assert await everything(db, "_temp_archive_" + C) == []
            assert sorted(await indexes_of(db[C])) == ["_id_", "_unique_u"]
    real_client.run(main, timeout=60)


def test_merge_replacing_past_the_document_limit(real_client, unique_name):
    """18 main documents with 1 MB string ids are replaced: more than 16 MB
    of ids, deleted in one command of deleteMany statements; the merge
    completes with its indexes back. (Long ids keep this small: with
    ObjectIds it takes some 850,000.)"""
    db_name = unique_name("db")
    n = 18

    async def main(client):
        deletes = DeleteCommands(C)
        watched = real_client.make(event_listeners=[deletes])
        db = client[db_name]
        await kf.create_collection(client, db_name, C, {"v_index": "[('v', 1)]"}, {"u": ["k"]}, {})
        await db[C].insert_many([{"_id": "x" * 1_000_000 + str(i), "k": i, "v": "old"} for i in range(n)])
        await kf.insert_temp(client, db_name, C, [{"k": i, "v": "new"} for i in range(n)])
        await kf.temp_to_main(watched, db_name, C)
        # Ids per statement of each delete command on the main collection: the
        # replaced ones, then those of the moved documents (none there yet).
        assert deletes.seen == [[8, 8, 8, 8, 4]]
        assert await everything(db, C) == ["new"] * n
        assert await db[C].count_documents({"_id": {"$type": "string"}}) == 0
        assert sorted(await indexes_of(db[C])) == ["_id_", "_unique_u", "v_index"]
    real_client.run(main, timeout=60)
