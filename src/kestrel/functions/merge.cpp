// The temp-to-main merge.
#include "documents.hpp"

#include "core/inflight.hpp"

#include <vector>

namespace kestrel::functions {

// temp_to_main(client, db_name, collection_name): the temp companion is read
// newest first; for each unique rule the newest temp document carrying a key
// claims it, older ones carrying the same key are dropped, and the main
// documents carrying a claimed key are collected for deletion. Then, with the
// indexes dropped: delete those, insert the kept temp documents, delete from
// the temp companion the documents the scan read (and only those: documents
// loaded meanwhile wait there for the next merge), re-create the indexes. One
// merge, refresh or compaction of a collection at a time.
//
// Safe to run again after any interruption: a kept document enters the main
// collection under its temp `_id`, and that `_id` is among those deleted
// first, so a merge run again removes the copy an interrupted one left before
// inserting it again (and a temp document carrying the `_id` of a main
// document replaces it). The temp companion is cleared oldest first: what an
// interrupted clearing leaves is the newest part of what was read, whose
// documents are judged as before, since only newer ones can supersede them.
Body temp_to_main(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    return framed(client, message("Can not insert temp to main for '", collection_name, "'!"),
                  {"temp_to_main", db_name, collection_name, true}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> temp_collection = item(db, names::temp(collection_name));
        Held<> manage_collection = item(db, names::manage(collection_name));

        Held<nb::list> uniques = co_await read_rules(manage_collection, "unique");
        Held<std::vector<Fields>> rules = rule_fields(uniques);

        // The `_id`s to delete from the main collection, each once: those of the
        // main documents the lookups find, then those of the kept documents.
        Held<nb::dict> origin_ids;
        Held<std::vector<nb::object>> tekrar;
        for (size_t i = 0; i < rules.size(); ++i) tekrar.push_back(new_set());
        Held<nb::list> docs;
        Held<nb::list> read_ids;  // the `_id` of every temp document the scan read
        size_t lookups_made = 0;

        // The main documents of each newly claimed key are read while the scan
        // goes on; every read is done before anything is written.
        Held<> temp_docs = scan_newest_first(temp_collection, nb::dict()), temp_doc;
        auto on_found = [&](nb::object found, nb::handle) {
            for (nb::handle main_doc : nb::borrow<nb::list>(found)) add_id(origin_ids, item(main_doc, id_key()));
        };
        co_await overlapped(reads_in_flight, [&](InFlight &lookups) -> Task<> {
            while (co_await next_item(temp_docs, temp_doc)) {
                lookups.check();  // a failed lookup stops the scan
                read_ids.append(item(temp_doc, id_key()));
                log.progress(nb::len(read_ids));
                int flag = 0;
                for (size_t i = 0; i < rules.size(); ++i) {
                    if (!carries(temp_doc, rules[i])) continue;
                    Held<nb::dict> search_code = rule_query(temp_doc, rules[i]);
                    Held<> tekrar_key = key_tuple(temp_doc, rules[i]);
                    if (contains(tekrar[i], tekrar_key)) {  // claimed by a newer temp document
                        flag = 1;
                        continue;
                    }
                    set_add(tekrar[i], tekrar_key);
                    ++lookups_made;
                    co_await lookups.start(read_cursor, invoke(collection, "find", search_code), on_found);
                }
                if (flag == 0) docs.append(temp_doc);
            }
        });
        // What only the scan needed goes before the writes.
        temp_docs = nb::object();
        temp_doc = nb::object();
        tekrar = std::vector<nb::object>();
        size_t read = nb::len(read_ids), moved = nb::len(docs);
        if (log) log.phase("scan done", {figure("read", read), figure("lookups", lookups_made)});

        size_t replaced = PyDict_GET_SIZE(origin_ids.ptr());
        for (nb::handle kept : docs) add_id(origin_ids, item(kept, id_key()));

        co_await call_op("deactive_index", op_args(client, db_name, collection_name));
        log.phase("indexes dropped");
        Kwargs delete_args = op_args(client, db_name, collection_name);
        delete_args["ids"] = steal_or_throw(PyDict_Values(origin_ids.ptr()));
        origin_ids = nb::dict();
        co_await call_op("Delete_doc_main", std::move(delete_args));
        if (log) log.phase("main documents deleted", {figure("deleted", replaced)});
        if (moved > 0) co_await driver(collection, "insert_many", docs);
        docs = nb::list();
        if (log) log.phase("documents inserted", {figure("inserted", moved)});
        if (PyList_Reverse(read_ids.ptr()) < 0) throw_pending();  // oldest first
        Held<IdDeletion> clearing(temp_collection, read_ids, bool(log));
        clearing.count(co_await driver(temp_collection, clearing.method(), clearing.request()));
        read_ids = nb::list();
        if (log) log.phase("temp companion cleared", {figure("cleared", clearing.deleted)});
        co_await call_op("active_index", op_args(client, db_name, collection_name));
        log.phase("indexes rebuilt");
        if (log)
            log.done("%s %s.%s: %d temp documents read, %d moved to the main collection, %d superseded, "
                     "%d main documents replaced, %d lookups, %s temp documents cleared in %.3f s",
                     {figure("read", read), figure("moved", moved), figure("superseded", read - moved),
                      figure("replaced", replaced), figure("lookups", lookups_made),
                      figure("cleared", clearing.deleted)});
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
