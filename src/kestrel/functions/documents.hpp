// What the document pipeline shares: the fields it reads itself, the
// newest-first scan, and the unique rules seen as ordered field lists.
//
// Key tuples, visited sets and `_id` sets hold driver values of every BSON
// type, hashed and compared exactly as the interpreter does it (1 == 1.0 ==
// True, an unhashable list or nested document raises TypeError, an ObjectId
// does not order against an int): the merge and the newest-document check use
// the interpreter's own set and tuple objects, the refresh's key tables the
// values' own hash and `==`.
#pragma once

#include "operations.hpp"

#include <vector>

namespace kestrel::functions {

// The field names the pipeline itself reads, made once (interned, immortal).
nb::handle id_key();
nb::handle index_key();

// `doc.pop("_id", None)`, for any mapping.
void drop_id(nb::handle doc);

// `aiter(coll.find(filter).sort([("_id", -1)]))`: newest `_id` first.
nb::object scan_newest_first(nb::handle coll, nb::handle filter);

// The field names of one rule, in the iteration order of its field set. The
// order is taken once per call, so every document of the call uses the same.
using Fields = std::vector<nb::object>;
std::vector<Fields> rule_fields(nb::handle uniques);

// Does the document carry every field of the rule (the field set a subset of
// its keys)?
bool carries(nb::handle doc, const Fields &fields);
// The rule query: field name -> the document's value, in the rule's order.
nb::dict rule_query(nb::handle doc, const Fields &fields);
// The key tuple: the document's values for the rule's fields, in order.
nb::object key_tuple(nb::handle doc, const Fields &fields);

// Every rule record of one `type` (a literal) in the manage companion, in the
// server's order, each as the set of its `keys`. A record whose keys are empty
// fails here, before anything is written: a rule without fields would make
// every document one entity.
Task<nb::list> read_rules(nb::handle manage, const char *type);

// The deletion of the documents of a collection whose `_id` is in `ids` (a
// list): one delete_many of {"_id": {"$in": ids}}, with the list as given,
// when its filter fits in one command (always so for an empty list); else as
// few calls, each filter under the server's document limit, as delete them
// all. When asked to, it counts the documents deleted as the driver's
// results say (None once one does not say). Used as
//
//     Held<IdDeletion> deletion(collection, ids, count);
//     for (size_t k = 0; k < deletion.calls(); ++k)
//         deletion.count(co_await driver(collection, "delete_many", deletion.filter(k)));
class IdDeletion {
public:
    IdDeletion(nb::handle collection, nb::handle ids, bool counting);
    size_t calls() const { return slices_.empty() ? 1 : slices_.size(); }
    nb::dict filter(size_t k) const;
    void count(nb::handle result);
    // The documents deleted: an int, None when a result did not say, or
    // invalid when not counting.
    nb::object deleted;

    int traverse(visitproc visit, void *arg) const;

private:
    nb::handle ids_;                   // borrowed from the caller, who keeps it
    std::vector<nb::object> slices_;  // the id lists when there is more than one call
};

// raise ValueError("'<rule>' has no fields!")
[[noreturn]] void raise_rule_without_fields(nb::handle rule_name);

}  // namespace kestrel::functions
