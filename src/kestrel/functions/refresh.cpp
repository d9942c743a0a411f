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

void set_item(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw_pending();
}

// Does the archive's temp companion hold a copy of this version already
// (the same document under the same `_id`)?
bool already_archived(nb::handle stored, nb::handle doc) {
    nb::object copy = nb::steal(dict_get_ref(stored, hashable_key(item(doc, id_key()))));
    return copy.is_valid() && same_document(copy, doc);
}

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
        Held<std::vector<nb::object>> temp_versions, main_versions;
        Held<nb::dict> main_del_ids;                       // to delete from the main collection
        Held<nb::dict> main_twins;                         // main documents under a temp `_id`, not copies
        Held<nb::dict> stored;                             // the archive's documents under those `_id`s
        Held<nb::list> asking;                             // `_id`s not yet asked about
        nb::handle index_field = index_key();
        size_t main_read = 0;

        auto on_stored = [&](nb::object found, nb::handle) {
            for (nb::handle copy : nb::borrow<nb::list>(found)) set_item(stored, hashable_key(item(copy, id_key())), copy);
        };
        Held<> temp_docs = scan_newest_first(temp_collection, nb::dict()), temp_doc;
        Held<> main_docs, main_doc;
        co_await overlapped(reads_in_flight, [&](InFlight &questions) -> Task<> {
            while (co_await next_item(temp_docs, temp_doc)) {
                questions.check();  // a failed question stops the scan
                nb::object id = item(temp_doc, id_key());
                read_ids.append(id);
                log.progress(nb::len(read_ids));
                set_item(temp_by_id, hashable_key(id), temp_doc);
                (has_field(temp_doc, index_field) ? temp_versions : temp_to_main_docs).push_back(temp_doc);
                asking.append(id);
                if (nb::len(asking) == ids_per_question) co_await ask_archive(questions, archive_temp, asking, on_stored);
            }
            main_docs = scan_newest_first(collection, nb::dict());
            while (co_await next_item(main_docs, main_doc)) {
                questions.check();
                log.progress(nb::len(read_ids) + ++main_read);
                nb::object id = item(main_doc, id_key()), key = hashable_key(id);
                nb::object twin = nb::steal(dict_get_ref(temp_by_id, key));
                if (twin.is_valid()) {
                    if (same_document(twin, main_doc)) {  // a copy of that temp document: the same version
                        add_id(main_del_ids, id);
                        continue;
                    }
                    set_item(main_twins, key, id);
                }
                if (!has_field(main_doc, index_field)) continue;  // takes no part
                main_versions.push_back(main_doc);
                if (twin.is_valid()) continue;  // its `_id` is asked about already
                asking.append(id);
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

        Held<Clusters> clusters(rule_fields(uniques));
        for (nb::object &d : temp_versions) {
            bool archived = already_archived(stored, d);
            clusters.step(Version(std::move(d), true, archived));
        }
        temp_versions = std::vector<nb::object>();
        for (nb::object &d : main_versions) {
            bool archived = already_archived(stored, d);
            clusters.step(Version(std::move(d), false, archived));
        }
        main_versions = std::vector<nb::object>();
        Held<Clusters::Outcome> outcome = clusters.finish();
        for (nb::object &d : outcome.moved) temp_to_main_docs.push_back(std::move(d));

        // The archived versions: the main ones leave the main collection; a
        // copy goes to the archive under the version's `_id`, unless it is
        // there already, or the archive holds another document under that
        // `_id` (then the copy gets a new one).
        Held<nb::dict> taken;
        Held<std::vector<nb::object>> archive_docs;
        size_t archived = outcome.archived.size();
        for (Version &v : outcome.archived) {
            if (!v.from_temp) add_id(main_del_ids, v.id);
            if (v.archived) continue;
            nb::object key = hashable_key(v.id);
            if (contains(stored, key) || contains(taken, key))
                drop_id(v.doc);
            else
                set_item(taken, key, Py_None);
            archive_docs.push_back(std::move(v.doc));
        }
        size_t entities = outcome.entities, kept = outcome.kept;
        outcome = Clusters::Outcome();
        stored = nb::dict();
        taken = nb::dict();
        // A temp document enters the main collection under its `_id`, unless
        // a main document that stays holds that `_id` (then it gets a new one).
        for (nb::object &d : temp_to_main_docs) {
            nb::object key = hashable_key(item(d, id_key()));
            if (contains(main_twins, key) && !contains(main_del_ids, key)) drop_id(d);
        }
        main_twins = nb::dict();
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
