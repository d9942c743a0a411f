// Module kestrel.functions: binds the driver names it uses, then registers its
// eighteen operations in order.
#include "operations.hpp"

namespace kestrel::functions {

namespace {

// connect(username, password, host="localhost:27017", authSource="admin"):
// the client class is looked up in the module's globals at call time; nothing
// is sent.
nb::object connect(Args a) {
    return global("AsyncIOMotorClient")(nb::arg("host") = a[2], nb::arg("username") = a[0],
                                        nb::arg("password") = a[1],
                                        nb::arg("authSource") = a[3]);
}

const Param client{"client", "AsyncIOMotorClient"};
const Param db_name{"db_name", "str"};
const Param collection_name{"collection_name", "str"};

const std::string index_example[] = {
    "index = {",
    "    'age_index': \"[('age', 1), ('location', '2dsphere')]\",  "
    "# code for collection.create_index([('age', 1), ('location', '2dsphere')])",
    "    'name_index': \"[('name', 'text'), ('family', 'text')], weights={'name':10, 'family':2}\"",
    "}",
};
const std::string unique_example[] = {
    "unique = {",
    "    'unique1': ['name', 'family'],",
    "    'unique2': ['national_ID', 'location'],",
    "}",
};
const char *insert_unique_line =
    "Insert uniques of collection, the last one with unique features replaces old ones.";
const char *insert_archive_unique_line =
    "Insert archive_uniques of collection, the last __index__ remains in main and others move "
    "to archive with respect to archive_uniques.";

}  // namespace
}  // namespace kestrel::functions

using namespace kestrel;
using namespace kestrel::functions;

KESTREL_MODULE(functions, m) {
    m.attr("AsyncIOMotorClient") = nb::module_::import_("motor.motor_asyncio").attr("AsyncIOMotorClient");
    nb::module_ pymongo = nb::module_::import_("pymongo");
    m.attr("MongoClient") = pymongo.attr("MongoClient");
    m.attr("IndexModel") = pymongo.attr("IndexModel");
    nb::module_ typing = nb::module_::import_("typing");
    m.attr("Dict") = typing.attr("Dict");
    m.attr("Optional") = typing.attr("Optional");
    m.attr("asyncio") = nb::module_::import_("asyncio");
    init_module(m);

    const auto &ix = index_example;
    const auto &ux = unique_example;
    register_op(m, {"connect",
                    {{"username", "str"}, {"password", "str"},
                     {"host", "str", "localhost:27017"}, {"authSource", "str", "admin"}},
                    "MongoClient", doc_text({"Set async client to MongoDB."}), nullptr, connect});
    register_op(m, {"active_index", {client, db_name, collection_name}, "None",
                    doc_text({"Drop Index of collection for import new data or for other reasons"}),
                    active_index});
    register_op(m, {"deactive_index", {client, db_name, collection_name}, "None",
                    doc_text({"Deactivate Index of collection for import new data or for other reasons"}),
                    deactive_index});
    register_op(m, {"delete_index", {client, db_name, collection_name, {"index_name", "str"}}, "None",
                    doc_text({"Delete one Index of collection", "index_name = \"age_index\""}),
                    delete_index});
    register_op(m, {"insert_index", {client, db_name, collection_name, {"index", "Dict"}}, "None",
                    doc_text({"Insert Indexes of collection", ix[0], ix[1], ix[2], ix[3]}),
                    insert_index});
    register_op(m, {"insert_unique", {client, db_name, collection_name, {"unique", "Dict"}}, "None",
                    doc_text({insert_unique_line, ux[0], ux[1], ux[2], ux[3]}), insert_unique});
    register_op(m, {"delete_unique", {client, db_name, collection_name, {"unique_name", "str"}}, "None",
                    doc_text({"Delete one unique of collection", "unique_name = \"unique1\""}),
                    delete_unique});
    register_op(m, {"insert_archive_unique", {client, db_name, collection_name, {"unique", "Dict"}},
                    "None", doc_text({insert_archive_unique_line, ux[0], ux[1], ux[2], ux[3]}),
                    insert_archive_unique});
    register_op(m, {"delete_archive_unique",
                    {client, db_name, collection_name, {"unique_name", "str"}}, "None",
                    doc_text({"Delete one archive_unique of collection", "unique_name = \"unique1\""}),
                    delete_archive_unique});
    register_op(m, {"create_collection",
                    {client, db_name, collection_name, {"index", "Dict"}, {"unique", "Dict"},
                     {"archive_unique", "Dict"}},
                    "None",
                    doc_text({"Create collection with indexes and uniques and archive_uniques.",
                              ix[0], ix[1], ix[2], ix[3], "",
                              insert_unique_line, ux[0], ux[1], ux[2], ux[3], "",
                              insert_archive_unique_line, ux[0], ux[1], ux[2], ux[3]}),
                    create_collection});
    register_op(m, {"drop_collection", {client, db_name, collection_name}, "None",
                    doc_text({"Safe method for drop collection and its dependencies."}),
                    drop_collection});
    register_op(m, {"insert_temp", {client, db_name, collection_name, {"docs", "list[Dict]"}}, "None",
                    doc_text({"Insert docs to temp_collection for saving time (for indexes)"}),
                    insert_temp});
    register_op(m, {"Delete_doc_main", {client, db_name, collection_name, {"ids", "list"}}, "None",
                    doc_text({"Delete docs of collection with respect to ids."}), Delete_doc_main});
    register_op(m, {"temp_to_main", {client, db_name, collection_name}, "None",
                    doc_text({"fast insertion of temp to main_collection and replace with respect to uniques. "}),
                    temp_to_main});
    register_op(m, {"refresh_archive", {{"client"}, {"db_name"}, {"collection_name"}}, nullptr,
                    doc_text({"Quickly archive documents that have newer __index__  with respect to archive_uniques."}),
                    refresh_archive});
    register_op(m, {"compact", {client, db_name, collection_name}, "None",
                    doc_text({"Compact and reIndex collection."}), compact});
    register_op(m, {"find", {client, db_name, collection_name, {"query", "Dict"}}, "Optional[list]",
                    doc_text({"Find documents in main and temp collections. "}), find});
    register_op(m, {"_check_newest_unique",
                    {{"collection"}, {"temp_collection"}, {"doc_id"}, {"doc"}, {"uniques"},
                     {"eqivalent_set"}},
                    nullptr,
                    doc_text({"Create and check eqivalence tree:is it newest doc with respect to uniques."}),
                    _check_newest_unique});
}
