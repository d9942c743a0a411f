// The newest-document check and the combined find.
#include "documents.hpp"

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
};

}  // namespace

// _check_newest_unique(collection, temp_collection, doc_id, doc, uniques,
// eqivalent_set) -> (True, eqivalent_set) or (False, None).
Body _check_newest_unique(Args a) {
    nb::handle collection = a[0], temp_collection = a[1], doc_id = a[2];
    nb::handle uniques = a[4], eqivalent_set = a[5];
    std::vector<Fields> rules = rule_fields(uniques);
    nb::object temp_rank = nb::int_(1), main_rank = nb::int_(0);

    std::vector<Level> stack;
    stack.emplace_back(nb::borrow(a[3]));
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
        nb::object new_doc = co_await next_item(stack[top].cursor);
        if (!new_doc.is_valid()) {
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
        nb::object db = co_await access_check(client, db_name, collection_name);
        nb::object collection = item(db, collection_name);
        nb::object temp_collection = item(db, names::temp(collection_name));
        nb::object manage_collection = item(db, names::manage(collection_name));

        nb::list uniques = co_await read_rules(manage_collection, "unique");
        nb::list new_docs;
        for (int rank = 1; rank >= 0; --rank) {
            nb::handle searched = rank == 1 ? nb::handle(temp_collection) : nb::handle(collection);
            nb::object found = scan_newest_first(searched, query);
            for (;;) {
                nb::object found_doc = co_await next_item(found);
                if (!found_doc.is_valid()) break;
                nb::object doc_id = nb::make_tuple(rank, item(found_doc, id_key()));
                nb::object eqivalent_set = new_set();
                set_add(eqivalent_set, doc_id);
                Kwargs check_args = keywords("collection", collection, "temp_collection", temp_collection,
                                             "doc_id", doc_id, "doc", found_doc, "uniques", uniques,
                                             "eqivalent_set", eqivalent_set);
                nb::object result = co_await call_op("_check_newest_unique", check_args);
                if (truthy(item(result, nb::int_(0)))) new_docs.append(found_doc);
            }
        }
        co_return new_docs;
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        raise_from(nb::str("Can not find query!"), e);
    }
}

}  // namespace kestrel::functions
