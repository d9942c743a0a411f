// Temp loading and main deletion by ids.
#include "documents.hpp"

namespace kestrel::functions {

// insert_temp(client, db_name, collection_name, docs): one insert_many of the
// whole batch into "_temp_" + C, after checking that C itself exists.
Body insert_temp(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], docs = a[3];
    return framed(client, message("Can not insert '_temp_", collection_name, "'!"),
                  [=]() -> Body {
        nb::object db = co_await access_check(client, db_name, collection_name);
        nb::object temp_collection = item(db, names::temp(collection_name));
        co_await driver(temp_collection, "insert_many", docs);
        co_return nb::none();
    });
}

// Delete_doc_main(client, db_name, collection_name, ids): one delete_many of
// {"_id": {"$in": ids}} on the main collection.
Body Delete_doc_main(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], ids = a[3];
    return framed(client, message("Can not delete from '", collection_name, "'!"), [=]() -> Body {
        nb::object db = co_await access_check(client, db_name, collection_name);
        nb::object collection = item(db, collection_name);
        nb::dict in = doc("$in", ids);
        co_await driver(collection, "delete_many", doc("_id", in));
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
