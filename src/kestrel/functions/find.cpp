// The newest-document check and the combined find.
#include "documents.hpp"

#include "core/inflight.hpp"

#include <vector>

namespace kestrel::functions {

namespace {

// The newest-document check, walked with an explicit stack instead of one
// coroutine per level: a level holds the document it explores, the rule it is
// at, which pass of that rule (temp companion, then main collection) and the
// open cursor of that pass. Levels are entered and left exactly where the
// recursive walk would call and return, so the queries, their order, the
// visited set and the early exit are the same; only the depth of the C and
// Python stacks no longer grows with the length of a chain of equivalents.

struct Level {
    explicit Level(nb::object d) : doc(std::move(d)) {}
    nb::object doc;
    size_t rule = 0;
    bool main_pass = false;
    nb::object query;
    nb::object cursor;  // iterator of the open pass, or invalid

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(doc.ptr());
        Py_VISIT(query.ptr());
        Py_VISIT(cursor.ptr());
        return 0;
    }
};

// The name a check's records give its collection: its full name, when it
// has one.
nb::object debug_name(nb::handle collection) {
    PyObject *name = PyObject_GetAttrString(collection.ptr(), "full_name");
    if (name) return nb::steal(name);
    PyErr_Clear();
    return nb::str("?");
}

}  // namespace

// _check_newest_unique(collection, temp_collection, doc_id, doc, uniques,
// eqivalent_set) -> (True, eqivalent_set) or (False, None).
Body _check_newest_unique(Args a) {
    nb::handle collection = a[0], temp_collection = a[1], doc_id = a[2];
    nb::handle uniques = a[4], eqivalent_set = a[5];
    OpLog log("_check_newest_unique", collection);
    if (log) log.name_db(debug_name(collection));
    size_t read[2] = {0, 0};  // by rank: main collection, temp companion
    Held<std::vector<Fields>> rules = rule_fields(uniques);
    nb::object temp_rank = nb::int_(1), main_rank = nb::int_(0);

    Held<std::vector<Level>> stack;
    stack.emplace_back(nb::borrow(a[3]));
    Held<> new_doc;
    bool newest = true;
    while (!stack.empty()) {
        size_t top = stack.size() - 1;
        if (!stack[top].cursor.is_valid()) {
            Level &level = stack[top];
            if (!level.main_pass) {
                while (level.rule < rules.size() && !carries(level.doc, rules[level.rule]))
                    ++level.rule;
                if (level.rule == rules.size()) {  // every rule handled: this level is true
                    stack.pop_back();
                    continue;
                }
                level.query = rule_query(level.doc, rules[level.rule]);
                level.cursor = scan_newest_first(temp_collection, level.query);
            } else {
                level.cursor = scan_newest_first(collection, level.query);
            }
        }
        if (!co_await next_item(stack[top].cursor, new_doc)) {
            Level &level = stack[top];
            level.cursor = nb::object();
            if (level.main_pass) ++level.rule;
            level.main_pass = !level.main_pass;
            continue;
        }
        bool main_pass = stack[top].main_pass;
        ++read[main_pass ? 0 : 1];
        nb::object rank = main_pass ? main_rank : temp_rank;
        nb::object new_doc_id = nb::make_tuple(rank, item(new_doc, id_key()));
        if (contains(eqivalent_set, new_doc_id)) continue;
        set_add(eqivalent_set, new_doc_id);
        nb::object ref_rank = item(doc_id, nb::int_(0));
        if (greater(rank, ref_rank) ||
            (equal(rank, ref_rank) && greater(item(new_doc_id, nb::int_(1)), item(doc_id, nb::int_(1))))) {
            newest = false;
            break;
        }
        stack.emplace_back(std::move(new_doc));
    }
    if (log)
        log.done_debug("%s %s: %d temp and %d main documents read, newest: %s in %.3f s",
                       {figure("temp_read", read[1]), figure("main_read", read[0]),
                        figure("newest", nb::bool_(newest))});
    if (!newest) co_return nb::make_tuple(false, nb::none());
    co_return nb::make_tuple(true, eqivalent_set);
}

namespace {

// The newest-document check of one matched document, called through the
// module's globals by keyword, not yet awaited: (rank, `_id`) as its label
// and as the only member of a new visited set.
nb::object newest_check(nb::handle collection, nb::handle temp_collection, int rank, nb::handle found_doc,
                        nb::handle uniques) {
    nb::object doc_id = nb::make_tuple(rank, item(found_doc, id_key()));
    nb::object eqivalent_set = new_set();
    set_add(eqivalent_set, doc_id);
    return op_call("_check_newest_unique",
                   keywords("collection", collection, "temp_collection", temp_collection, "doc_id", doc_id, "doc",
                            found_doc, "uniques", uniques, "eqivalent_set", eqivalent_set));
}

}  // namespace

// find(client, db_name, collection_name, query): the query on the temp
// companion, then on the main collection, each newest first; a document is
// kept when the newest-document check finds no newer equivalent.
Body find(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], query = a[3];
    OpLog log("find", db_name, collection_name);
    try {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> temp_collection = item(db, names::temp(collection_name));
        Held<> manage_collection = item(db, names::manage(collection_name));

        Held<nb::list> uniques = co_await read_rules(manage_collection, "unique");
        // The checks of different documents are independent: each runs while
        // the scans go on, and the answers come back in scan order, each with
        // its document, which is kept or let go then.
        Held<nb::list> new_docs;
        size_t read[2] = {0, 0};  // by rank: main collection, temp companion
        auto on_checked = [&](nb::object result, nb::handle found_doc) {
            if (truthy(item(result, nb::int_(0)))) new_docs.append(found_doc);
        };
        Held<> found, found_doc;
        co_await overlapped(reads_in_flight, [&](InFlight &checks) -> Task<> {
            for (int rank = 1; rank >= 0; --rank) {
                nb::handle searched = rank == 1 ? nb::handle(temp_collection) : nb::handle(collection);
                found = scan_newest_first(searched, query);
                while (co_await next_item(found, found_doc)) {
                    ++read[rank];
                    co_await checks.start(newest_check(collection, temp_collection, rank, found_doc, uniques),
                                          on_checked, found_doc);
                }
            }
        });
        if (log)
            log.done_debug("%s %s.%s: %d temp and %d main documents read, %d checks, %d returned in %.3f s",
                           {figure("temp_read", read[1]), figure("main_read", read[0]),
                            figure("checks", read[0] + read[1]), figure("returned", nb::len(new_docs))});
        co_return std::move(new_docs);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        raise_from(nb::str("Can not find query!"), e);
    }
}

}  // namespace kestrel::functions
