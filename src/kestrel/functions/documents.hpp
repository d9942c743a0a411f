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

// A copy of a document under another `_id`, its fields in their order.
nb::object with_id(nb::handle doc, nb::handle id);

// An `_id` added to `ids` (a dict from its hashable_key to the `_id`) unless
// an equal one is there: the `_id`s of a deletion, each once, in the order
// first met.
void add_id(nb::handle ids, nb::handle id);

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

// An overlapped read (core/inflight.hpp): every document a cursor finds.
Body read_cursor(nb::handle cursor);

// Every rule record of one `type` (a literal) in the manage companion, in the
// server's order, each as the set of its `keys`. A record whose keys are empty
// fails here, before anything is written: a rule without fields would make
// every document one entity.
Task<nb::list> read_rules(nb::handle manage, const char *type);

// The deletion of the documents of a collection whose `_id` is in `ids` (a
// list), in one driver call whose cost grows in proportion to the ids on
// every server: a bulk write of deleteMany statements, each
// {"_id": {"$in": [...]}} with up to 8 consecutive ids of the list (fewer
// where that filter would pass the server's document limit), in the order of
// the list. The driver sends them in as few commands as its batch limits
// allow, ordered, so a deletion that stops part-way has deleted a prefix of
// the list. An empty list is one delete_many of {"_id": {"$in": []}}, which
// deletes nothing. When asked to, it counts the documents deleted as the
// driver's result says (None when it does not say). Used as
//
//     Held<IdDeletion> deletion(collection, ids, count);
//     deletion.count(co_await driver(collection, deletion.method(), deletion.request()));
class IdDeletion {
public:
    IdDeletion(nb::handle collection, nb::handle ids, bool counting);
    const char *method() const { return statements_ ? "bulk_write" : "delete_many"; }
    // The statements, or the filter of the empty deletion; given once.
    nb::object request() { return std::move(request_); }
    size_t statements() const { return statements_; }
    void count(nb::handle result);
    // The documents deleted: an int, None when the result did not say, or
    // invalid when not counting.
    nb::object deleted;

    int traverse(visitproc visit, void *arg) const;

private:
    nb::object request_;
    size_t statements_ = 0;
};

// raise ValueError("'<rule>' has no fields!")
[[noreturn]] void raise_rule_without_fields(nb::handle rule_name);

}  // namespace kestrel::functions
