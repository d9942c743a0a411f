// The temp-to-main merge.
#include "documents.hpp"

#include "core/inflight.hpp"

#include <vector>

namespace kestrel::functions {

// temp_to_main(client, db_name, collection_name): the temp companion is read
// newest first; for each unique rule the newest temp document carrying a key
// claims it, older ones carrying the same key are dropped, and the main
// documents carrying a claimed key are collected for deletion. Then, with the
// indexes dropped: delete those, insert the kept temp documents (without their
// `_id`), clear the temp companion, re-create the indexes.
Body temp_to_main(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    return framed(client, message("Can not insert temp to main for '", collection_name, "'!"),
                  [=]() -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> temp_collection = item(db, names::temp(collection_name));
        Held<> manage_collection = item(db, names::manage(collection_name));

        Held<nb::list> uniques = co_await read_rules(manage_collection, "unique");
        Held<std::vector<Fields>> rules = rule_fields(uniques);

        Held<> origin_ids = new_set();
        Held<std::vector<nb::object>> tekrar;
        for (size_t i = 0; i < rules.size(); ++i) tekrar.push_back(new_set());
        Held<nb::list> docs;

        // The main documents of each newly claimed key are read while the scan
        // goes on; every read is done before anything is written.
        Held<> temp_docs = scan_newest_first(temp_collection, nb::dict()), temp_doc;
        co_await overlapped(reads_in_flight, [&](InFlight &lookups) -> Task<> {
            while (co_await next_item(temp_docs, temp_doc)) {
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
                    nb::object main_docs = invoke(collection, "find", search_code);
                    co_await lookups.start(read_all(std::move(main_docs)), [&](nb::object found) {
                        for (nb::handle main_doc : nb::borrow<nb::list>(found))
                            set_add(origin_ids, item(main_doc, id_key()));
                    });
                }
                if (flag == 0) {
                    drop_id(temp_doc);
                    docs.append(temp_doc);
                }
            }
        });

        co_await call_op("deactive_index", op_args(client, db_name, collection_name));
        Kwargs delete_args = op_args(client, db_name, collection_name);
        delete_args["ids"] = steal_or_throw(PySequence_List(origin_ids.ptr()));
        co_await call_op("Delete_doc_main", std::move(delete_args));
        if (nb::len(docs) > 0) co_await driver(collection, "insert_many", docs);
        co_await driver(temp_collection, "delete_many", nb::dict());
        co_await call_op("active_index", op_args(client, db_name, collection_name));
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
