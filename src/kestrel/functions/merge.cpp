// The temp-to-main merge.
#include "documents.hpp"

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
        nb::object db = co_await access_check(client, db_name, collection_name);
        nb::object collection = item(db, collection_name);
        nb::object temp_collection = item(db, names::temp(collection_name));
        nb::object manage_collection = item(db, names::manage(collection_name));

        nb::list uniques = co_await read_rules(manage_collection, "unique");
        std::vector<Fields> rules = rule_fields(uniques);

        nb::object origin_ids = new_set();
        std::vector<nb::object> tekrar;
        for (size_t i = 0; i < rules.size(); ++i) tekrar.push_back(new_set());
        nb::list docs;

        nb::object temp_docs = scan_newest_first(temp_collection, nb::dict());
        for (;;) {
            nb::object temp_doc = co_await next_item(temp_docs);
            if (!temp_doc.is_valid()) break;
            int flag = 0;
            for (size_t i = 0; i < rules.size(); ++i) {
                if (!carries(temp_doc, rules[i])) continue;
                nb::dict search_code = rule_query(temp_doc, rules[i]);
                nb::object tekrar_key = key_tuple(temp_doc, rules[i]);
                if (contains(tekrar[i], tekrar_key)) {  // claimed by a newer temp document
                    flag = 1;
                    continue;
                }
                set_add(tekrar[i], tekrar_key);
                nb::object main_docs = aiter(collection.attr("find")(search_code));
                for (;;) {
                    nb::object main_doc = co_await next_item(main_docs);
                    if (!main_doc.is_valid()) break;
                    set_add(origin_ids, item(main_doc, id_key()));
                }
            }
            if (flag == 0) {
                drop_id(temp_doc);
                docs.append(temp_doc);
            }
        }

        co_await call_op("deactive_index", op_args(client, db_name, collection_name));
        Kwargs delete_args = op_args(client, db_name, collection_name);
        delete_args["ids"] = steal_or_throw(PySequence_List(origin_ids.ptr()));
        co_await call_op("Delete_doc_main", delete_args);
        if (nb::len(docs) > 0) co_await driver(collection, "insert_many", docs);
        co_await driver(temp_collection, "delete_many", nb::dict());
        co_await call_op("active_index", op_args(client, db_name, collection_name));
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
