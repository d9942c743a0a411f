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

}  // namespace

// _check_newest_unique(collection, temp_collection, doc_id, doc, uniques,
// eqivalent_set) -> (True, eqivalent_set) or (False, None).
Body _check_newest_unique(Args a) {
    nb::handle collection = a[0], temp_collection = a[1], doc_id = a[2];
    nb::handle uniques = a[4], eqivalent_set = a[5];
    Held<std::vector<Fields>> rules = rule_fields(uniques);
    nb::object temp_rank = nb::int_(1), main_rank = nb::int_(0);

    Held<std::vector<Level>> stack;
    stack.emplace_back(nb::borrow(a[3]));
    Held<> new_doc;
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
        nb::object rank = stack[top].main_pass ? main_rank : temp_rank;
        nb::object new_doc_id = nb::make_tuple(rank, item(new_doc, id_key()));
        if (contains(eqivalent_set, new_doc_id)) continue;
        set_add(eqivalent_set, new_doc_id);
        nb::object ref_rank = item(doc_id, nb::int_(0));
        if (greater(rank, ref_rank)) co_return nb::make_tuple(false, nb::none());
        if (equal(rank, ref_rank) && greater(item(new_doc_id, nb::int_(1)), item(doc_id, nb::int_(1))))
            co_return nb::make_tuple(false, nb::none());
        stack.emplace_back(std::move(new_doc));
    }
    co_return nb::make_tuple(true, eqivalent_set);
}

// find(client, db_name, collection_name, query): the query on the temp
// companion, then on the main collection, each newest first; a document is
// kept when the newest-document check finds no newer equivalent.
Body find(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], query = a[3];
    try {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> temp_collection = item(db, names::temp(collection_name));
        Held<> manage_collection = item(db, names::manage(collection_name));

        Held<nb::list> uniques = co_await read_rules(manage_collection, "unique");
        // The checks of different documents are independent: each runs while
        // the scans go on, and the answers come back in scan order.
        Held<nb::list> found_docs;      // every document the query found, in scan order
        std::vector<bool> newest;       // the check's answer for each, as it comes
        Held<> found, found_doc;
        co_await overlapped(reads_in_flight, [&](InFlight &checks) -> Task<> {
            for (int rank = 1; rank >= 0; --rank) {
                nb::handle searched = rank == 1 ? nb::handle(temp_collection) : nb::handle(collection);
                found = scan_newest_first(searched, query);
                while (co_await next_item(found, found_doc)) {
                    nb::object doc_id = nb::make_tuple(rank, item(found_doc, id_key()));
                    nb::object eqivalent_set = new_set();
                    set_add(eqivalent_set, doc_id);
                    found_docs.append(found_doc);
                    nb::object check = op_call("_check_newest_unique",
                                               keywords("collection", collection, "temp_collection",
                                                        temp_collection, "doc_id", doc_id, "doc", found_doc,
                                                        "uniques", uniques, "eqivalent_set", eqivalent_set));
                    co_await checks.start(std::move(check), [&](nb::object result) {
                        newest.push_back(truthy(item(result, nb::int_(0))));
                    });
                }
            }
        });
        Held<nb::list> new_docs;
        for (size_t k = 0; k < newest.size(); ++k)
            if (newest[k]) new_docs.append(found_docs[k]);
        co_return std::move(new_docs);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        raise_from(nb::str("Can not find query!"), e);
    }
}

}  // namespace kestrel::functions
