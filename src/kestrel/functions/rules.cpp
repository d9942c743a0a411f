// Unique rules (each backed by an index) and archive-unique rules (records only).
#include "documents.hpp"

namespace kestrel::functions {

namespace {

// {"type": type, "name": name}: one rule record.
nb::dict rule_filter(const char *type, nb::handle name) {
    return doc("type", nb::str(type), "name", name);
}

// The names of a rule mapping as they are when the call starts: the dict may
// be the caller's and change while the operation waits on the server.
nb::list rule_names(nb::handle rules) { return list_from(rules); }

// "[('f1', 1), ('f2', 1), ]": the specification text of a rule's index, one
// ascending key per field in the rule's order, each field's text form
// written as a string literal. The fields are walked once.
nb::str unique_index_spec(nb::handle fields) {
    nb::str text("[");
    for (nb::handle field : fields) text = cat(text, "(", text_literal(to_text(field)), ", 1), ");
    return cat(text, "]");
}

// Walk the field list once, so that a value that is not iterable fails
// before its record is written; gives the number of fields.
size_t walk(nb::handle fields) {
    size_t n = 0;
    for (nb::handle field : fields) {
        (void) field;
        ++n;
    }
    return n;
}

}  // namespace

// insert_unique(client, db_name, collection_name, unique): per new rule, its
// index "_unique_" + name through insert_index, then its record.
Body insert_unique(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], unique = a[3];
    return framed(client, "Can not create unique.", {"insert_unique", db_name, collection_name},
                  [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> manage_collection = item(db, names::manage(collection_name));
        Held<nb::list> rules = rule_names(unique);
        for (nb::handle name : rules) {
            Held<> fields = item(unique, name);
            Held<> found = co_await driver(manage_collection, "find_one", rule_filter("unique", name));
            if (!found.is_none()) raise_runtime(cat("'", name, "' already exists!"));
            nb::str spec = unique_index_spec(fields);
            nb::dict index;
            index[names::unique_index(name)] = spec;
            try {
                co_await call_op("insert_index", keywords("client", client, "db_name", db_name,
                                                          "collection_name", collection_name, "index", index));
                co_await driver(manage_collection, "insert_one",
                                doc("type", nb::str("unique"), "name", name, "keys", fields));
            } catch (nb::python_error &e) {
                if (!is_exception(e)) throw;
                raise_from(cat("There is a same index as '", name, "'. please delete that index and insert '",
                               name, "' again."),
                           e);
            }
        }
        if (log) log.done("%s %s.%s: created unique rules %s, each with its index in %.3f s", {figure("rules", rules)});
        co_return nb::none();
    });
}

// delete_unique(client, db_name, collection_name, unique_name): the rule's
// records first, then its index through delete_index.
Body delete_unique(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], unique_name = a[3];
    return framed(client, message("Can not delete unique '", unique_name, "'!"),
                  {"delete_unique", db_name, collection_name}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> manage_collection = item(db, names::manage(collection_name));
        Held<> found =
            co_await driver(manage_collection, "find_one", rule_filter("unique", unique_name));
        if (found.is_none()) raise_runtime(cat("'", unique_name, "' does not exists in uniques!"));
        co_await driver(manage_collection, "delete_many", rule_filter("unique", unique_name));
        co_await call_op("delete_index", keywords("client", client, "db_name", db_name, "collection_name",
                                                  collection_name, "index_name", names::unique_index(unique_name)));
        if (log) log.done("%s %s.%s: dropped unique rule %s and its index in %.3f s", {figure("rule", unique_name)});
        co_return nb::none();
    });
}

// insert_archive_unique(client, db_name, collection_name, unique): one record
// per new rule; no index.
Body insert_archive_unique(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], unique = a[3];
    return framed(client, "Can not create archive_unique.", {"insert_archive_unique", db_name, collection_name},
                  [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> manage_collection = item(db, names::manage(collection_name));
        Held<nb::list> rules = rule_names(unique);
        for (nb::handle name : rules) {
            Held<> fields = item(unique, name);
            Held<> found = co_await driver(manage_collection, "find_one", rule_filter("archive_unique", name));
            if (!found.is_none()) raise_runtime(cat("'", name, "' already exists!"));
            // A rule without fields would make every document one entity.
            if (walk(fields) == 0) raise_rule_without_fields(name);
            co_await driver(manage_collection, "insert_one",
                            doc("type", nb::str("archive_unique"), "name", name, "keys", fields));
        }
        if (log) log.done("%s %s.%s: created archive-unique rules %s in %.3f s", {figure("rules", rules)});
        co_return nb::none();
    });
}

// delete_archive_unique(client, db_name, collection_name, unique_name): every
// record of that rule.
Body delete_archive_unique(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], unique_name = a[3];
    return framed(client, message("Can not delete archive_unique '", unique_name, "'!"),
                  {"delete_archive_unique", db_name, collection_name}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> manage_collection = item(db, names::manage(collection_name));
        Held<> found =
            co_await driver(manage_collection, "find_one", rule_filter("archive_unique", unique_name));
        if (found.is_none()) raise_runtime(cat("'", unique_name, "' does not exists in uniques!"));
        co_await driver(manage_collection, "delete_many", rule_filter("archive_unique", unique_name));
        if (log) log.done("%s %s.%s: dropped archive-unique rule %s in %.3f s", {figure("rule", unique_name)});
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
