// The archive refresh.
#include "clusters.hpp"

#include "core/inflight.hpp"

#include <utility>
#include <vector>

namespace kestrel::functions {

namespace {

// `_id`s asked about in one read of the archive's temp companion. A server
// that checks every document it finds against the whole `$in` list pays the
// list's length per document found; a short list keeps that small when a
// refresh run again finds its copies there.
constexpr Py_ssize_t ids_per_question = 64;

// Ask the archive's temp companion for its documents under `ids` (emptied);
// they reach `on_found`.
Task<> ask_archive(InFlight &questions, nb::handle archive_temp, nb::list &ids, const InFlight::Done &on_found) {
    nb::object cursor = invoke(archive_temp, "find", doc("_id", doc("$in", std::exchange(ids, nb::list()))));
    co_await questions.start(read_cursor, std::move(cursor), on_found);
}

// {"_copy_of": id}: the `_id` a version takes where its own is taken.
nb::object copy_id(nb::handle id) { return doc("_copy_of", id); }

// X for an `_id` {"_copy_of": X}; invalid for any other.
nb::object copied_from(nb::handle id) {
    if (!PyDict_Check(id.ptr()) || PyDict_GET_SIZE(id.ptr()) != 1) return {};
    return nb::steal(dict_get_ref(id, interned("_copy_of")));
}

// Where the copy of an archived version goes, and whether it is there
// already. A version goes under its own `_id` X; where the archive's temp
// companion holds another document under X, under {"_copy_of": X}; and a main
// version that shares X with a temp document read goes there always, so that
// the two never compete for X. Failing both, it gets a new `_id`.
class ArchiveSlots {
public:
    // What the archive's temp companion holds under the `_id`s asked about.
    nb::dict stored;
    // The `_id`s taken by the copies stored in this run.
    nb::dict taken;

    static nb::object first(nb::handle id, bool twin) { return twin ? copy_id(id) : nb::borrow(id); }

    // Does the archive hold `doc` under `id` (as it would store it there)?
    bool holds(nb::handle id, nb::handle doc) const {
        nb::object copy = nb::steal(dict_get_ref(stored, hashable_key(id)));
        if (!copy.is_valid()) return false;
        nb::object own = item(doc, id_key());
        return same_document(copy, own.ptr() == id.ptr() ? nb::borrow(doc) : with_id(doc, id));
    }
    // Is `id` free for a copy of `doc`?
    bool free(nb::handle id) const {
        nb::object key = hashable_key(id);
        return !contains(stored, key) && !contains(taken, key);
    }
    bool already_archived(nb::handle doc, bool twin) const {
        nb::object id = item(doc, id_key());
        return (!twin && holds(id, doc)) || holds(copy_id(id), doc);
    }
    // Must {"_copy_of": X} be asked about too? (X is held by another document.)
    bool asks_again(nb::handle doc, bool twin) const {
        nb::object id = item(doc, id_key());
        return !twin && contains(stored, hashable_key(id)) && !holds(id, doc);
    }
    // The copy to store of `doc`: under its `_id` or {"_copy_of": X}, the one
    // taken; or without `_id`, for the driver to give it one.
    nb::object copy(nb::object doc, bool twin) {
        nb::object id = item(doc, id_key());
        for (nb::object slot : {first(id, twin), copy_id(id)}) {
            if (!free(slot)) continue;
            dict_set(taken, hashable_key(slot), Py_None);
            return slot.ptr() == id.ptr() ? doc : with_id(doc, slot);
        }
        drop_id(doc);
        return doc;
    }

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(stored.ptr());
        Py_VISIT(taken.ptr());
        return 0;
    }
};

}  // namespace

// refresh_archive(client, db_name, collection_name): versions of one entity
// (documents agreeing on all fields of an archive-unique rule, directly or
// through a chain) are clustered over the temp companion and the main
// collection; the greatest `__index__` stays in or enters the main collection,
// every other version goes to the temp companion of "archive_" + C. In the
// end the documents the temp scan read, and only those, are deleted from the
// temp companion. One merge, refresh or compaction of a collection at a time.
//
// The archived versions are handed to the archive first, before anything is
// deleted: a failure can leave a version in two places, never in none.
// Versions keep their `_id` wherever they go, and that makes a refresh safe
// to run again after any interruption:
//  * the archive is asked, while the scans go on, which of the versions read
//    it holds already: those lost in a refresh that was interrupted, and
//    lose again whatever is left of their clusters;
//  * a main document that is the same document as a temp document read (the
//    copy an interrupted refresh inserted) is that version, not another one:
//    it is deleted, and the temp document decides.
// What only the clustering needed is let go before the writes, and each
// batch once it is written.
Body refresh_archive(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    return framed(client, message("Can not refresh archive for '", collection_name, "'!"),
                  {"refresh_archive", db_name, collection_name, true}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> temp_collection = item(db, names::temp(collection_name));
        Held<> manage_collection = item(db, names::manage(collection_name));

        nb::object archive_collection_name = names::archive(collection_name);
        co_await access_check(client, db_name, archive_collection_name);  // the archive exists too
        Held<> archive_temp = item(db, names::temp(archive_collection_name));

        Held<nb::list> uniques = co_await read_rules(manage_collection, "archive_unique");
        Held<nb::list> read_ids;                           // of every temp document the scan read
        Held<nb::dict> temp_by_id;                         // the temp documents read, by `_id`
        Held<std::vector<nb::object>> temp_to_main_docs;   // first those without `__index__`
        // The versions: temp ones, then main ones with whether they share
        // their `_id` with a temp document read (a twin).
        Held<std::vector<nb::object>> temp_versions, main_versions;
        std::vector<bool> main_twin;
        Held<nb::dict> main_del_ids;                       // to delete from the main collection
        Held<nb::dict> main_held;                          // `_id`s that stay taken in the main collection
        Held<ArchiveSlots> slots;
        Held<nb::list> asking;                             // `_id`s not yet asked about
        nb::handle index_field = index_key();
        size_t main_read = 0;

        auto on_stored = [&](nb::object found, nb::handle) {
            for (nb::handle copy : nb::borrow<nb::list>(found))
                dict_set(slots.stored, hashable_key(item(copy, id_key())), copy);
        };
        Held<> temp_docs = scan_newest_first(temp_collection, nb::dict()), temp_doc;
        Held<> main_docs, main_doc;
        co_await overlapped(reads_in_flight, [&](InFlight &questions) -> Task<> {
            while (co_await next_item(temp_docs, temp_doc)) {
                questions.check();  // a failed question stops the scan
                nb::object id = item(temp_doc, id_key());
                read_ids.append(id);
                log.progress(nb::len(read_ids));
                dict_set(temp_by_id, hashable_key(id), temp_doc);
                if (!has_field(temp_doc, index_field)) {
                    temp_to_main_docs.push_back(temp_doc);
                    continue;
                }
                temp_versions.push_back(temp_doc);
                asking.append(id);
                if (nb::len(asking) == ids_per_question) co_await ask_archive(questions, archive_temp, asking, on_stored);
            }
            main_docs = scan_newest_first(collection, nb::dict());
            while (co_await next_item(main_docs, main_doc)) {
                questions.check();
                log.progress(nb::len(read_ids) + ++main_read);
                nb::object id = item(main_doc, id_key()), key = hashable_key(id);
                // A copy of a temp document read, under its `_id` or, where
                // that was taken, under {"_copy_of": X}, is the same version,
                // which the temp document decides: it goes.
                nb::object twin = nb::steal(dict_get_ref(temp_by_id, key));
                nb::object of = copied_from(id);
                nb::object original = of.is_valid() ? nb::steal(dict_get_ref(temp_by_id, hashable_key(of))) : nb::object();
                if ((twin.is_valid() && same_document(twin, main_doc)) ||
                    (original.is_valid() && same_document(with_id(original, id), main_doc))) {
                    add_id(main_del_ids, id);
                    continue;
                }
                dict_set(main_held, key, id);
                if (!has_field(main_doc, index_field)) continue;  // takes no part
                main_versions.push_back(main_doc);
                main_twin.push_back(twin.is_valid());
                asking.append(ArchiveSlots::first(id, twin.is_valid()));
                if (nb::len(asking) == ids_per_question) co_await ask_archive(questions, archive_temp, asking, on_stored);
            }
            if (nb::len(asking) > 0) co_await ask_archive(questions, archive_temp, asking, on_stored);
        });
        temp_docs = nb::object();
        temp_doc = nb::object();
        main_docs = nb::object();
        main_doc = nb::object();
        temp_by_id = nb::dict();
        size_t temp_read = nb::len(read_ids);

        // Where the archive holds another document under a version's `_id`,
        // its copy may be under {"_copy_of": X}: asked about in a second round.
        for (nb::handle d : temp_versions)
            if (slots.asks_again(d, false)) asking.append(copy_id(item(d, id_key())));
        for (size_t k = 0; k < main_versions.size(); ++k)
            if (slots.asks_again(main_versions[k], main_twin[k])) asking.append(copy_id(item(main_versions[k], id_key())));
        if (nb::len(asking) > 0) {
            Held<nb::list> again = std::exchange(asking, nb::list());
            co_await overlapped(reads_in_flight, [&](InFlight &questions) -> Task<> {
                for (Py_ssize_t at = 0, n = nb::len(again); at < n; at += ids_per_question) {
                    asking = nb::steal<nb::list>(steal_or_throw(PyList_GetSlice(again.ptr(), at, at + ids_per_question)).release());
                    co_await ask_archive(questions, archive_temp, asking, on_stored);
                }
            });
        }

        Held<Clusters> clusters(rule_fields(uniques));
        for (nb::object &d : temp_versions) {
            bool archived = slots.already_archived(d, false);
            clusters.step(Version(std::move(d), true, archived, false));
        }
        temp_versions = std::vector<nb::object>();
        for (size_t k = 0; k < main_versions.size(); ++k) {
            bool archived = slots.already_archived(main_versions[k], main_twin[k]);
            clusters.step(Version(std::move(main_versions[k]), false, archived, main_twin[k]));
        }
        main_versions = std::vector<nb::object>();
        Held<Clusters::Outcome> outcome = clusters.finish();
        for (nb::object &d : outcome.moved) temp_to_main_docs.push_back(std::move(d));

        // The archived versions: the main ones leave the main collection, and
        // a copy of each goes to the archive, unless it is there already.
        Held<std::vector<nb::object>> archive_docs;
        size_t archived = outcome.archived.size();
        for (Version &v : outcome.archived) {
            if (!v.from_temp) {
                add_id(main_del_ids, v.id);
                if (PyDict_DelItem(main_held.ptr(), hashable_key(v.id).ptr()) < 0) throw_pending();
            }
            if (!v.archived) archive_docs.push_back(slots.copy(std::move(v.doc), v.twin));
        }
        size_t entities = outcome.entities, kept = outcome.kept;
        outcome = Clusters::Outcome();
        slots = ArchiveSlots();
        // A temp document enters the main collection under its `_id`, or
        // under {"_copy_of": X} where a main document that stays holds X
        // (failing both, under a new one).
        for (nb::object &d : temp_to_main_docs) {
            nb::object id = item(d, id_key());
            if (!contains(main_held, hashable_key(id))) continue;
            nb::object other = copy_id(id);
            if (contains(main_held, hashable_key(other)))
                drop_id(d);
            else
                d = with_id(d, other);
        }
        main_held = nb::dict();
        Held<nb::list> moved = list_of(temp_to_main_docs);
        size_t moved_in = nb::len(moved);
        if (log) log.phase("scan done", {figure("temp_read", temp_read), figure("main_read", main_read)});

        Held<nb::list> corrected_archive_docs = list_of(archive_docs);
        size_t stored_now = nb::len(corrected_archive_docs);
        if (stored_now > 0)
            co_await call_op("insert_temp", keywords("client", client, "db_name", db_name, "collection_name",
                                                     archive_collection_name, "docs", corrected_archive_docs));
        corrected_archive_docs = nb::list();
        if (log) log.phase("archive copies stored", {figure("archived", stored_now)});
        co_await call_op("deactive_index", op_args(client, db_name, collection_name));
        log.phase("indexes dropped");
        size_t main_deleted = PyDict_GET_SIZE(main_del_ids.ptr());
        Kwargs delete_args = op_args(client, db_name, collection_name);
        delete_args["ids"] = steal_or_throw(PyDict_Values(main_del_ids.ptr()));
        main_del_ids = nb::dict();
        co_await call_op("Delete_doc_main", std::move(delete_args));
        if (log) log.phase("main documents deleted", {figure("deleted", main_deleted)});
        if (moved_in > 0) co_await driver(collection, "insert_many", moved);
        moved = nb::list();
        if (log) log.phase("documents inserted", {figure("inserted", moved_in)});
        co_await call_op("active_index", op_args(client, db_name, collection_name));
        log.phase("indexes rebuilt");
        Held<IdDeletion> clearing(temp_collection, read_ids, bool(log));
        clearing.count(co_await driver(temp_collection, clearing.method(), clearing.request()));
        read_ids = nb::list();
        if (log) {
            log.phase("temp companion cleared", {figure("cleared", clearing.deleted)});
            log.done("%s %s.%s: %d temp and %d main documents read, %d entities, %d versions kept in the main "
                     "collection, %d moved into it, %d archived, %s temp documents cleared in %.3f s",
                     {figure("temp_read", temp_read), figure("main_read", main_read), figure("entities", entities),
                      figure("kept", kept), figure("moved", moved_in), figure("archived", archived),
                      figure("cleared", clearing.deleted)});
        }
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
