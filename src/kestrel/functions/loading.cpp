// Temp loading and main deletion by ids.
#include "documents.hpp"

namespace kestrel::functions {

// insert_temp(client, db_name, collection_name, docs): one insert_many of the
// whole batch into "_temp_" + C, after checking that C itself exists.
Body insert_temp(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], docs = a[3];
    return framed(client, message("Can not insert '_temp_", collection_name, "'!"),
                  {"insert_temp", db_name, collection_name}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> temp_collection = item(db, names::temp(collection_name));
        co_await driver(temp_collection, "insert_many", docs);
        if (log) log.done("%s %s.%s: %d documents inserted in %.3f s", {figure("inserted", nb::len(docs))});
        co_return nb::none();
    });
}

// Delete_doc_main(client, db_name, collection_name, ids): the main documents
// whose `_id` is in `ids` deleted in one bulk write of deleteMany statements
// of a few ids each (an empty list: one delete_many of the empty `$in`).
Body Delete_doc_main(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], ids = a[3];
    return framed(client, message("Can not delete from '", collection_name, "'!"),
                  {"Delete_doc_main", db_name, collection_name}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        size_t given = PyList_GET_SIZE(ids.ptr());
        Held<IdDeletion> deletion(collection, ids, bool(log));
        deletion.count(co_await driver(collection, deletion.method(), deletion.request()));
        if (log)
            log.done("%s %s.%s: %d ids given, %d deletion statements, %s documents deleted in %.3f s",
                     {figure("ids", given), figure("statements", deletion.statements()),
                      figure("deleted", deletion.deleted)});
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
