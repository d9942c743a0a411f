#include "documents.hpp"

#include <climits>


namespace kestrel::functions {

namespace {

// A delete statement must stay under the server's document limit (16 MiB).
// Its filter {"_id": {"$in": ids}} gets the rest of the statement and the
// command around it: {q: <filter>, limit: 0}, the command's own fields
// (delete, ordered, lsid, txnNumber, $clusterTime, $db, writeConcern, ...)
// and the collection name, which the server limits to a few hundred bytes.
// 16 KiB leaves room for all of it many times over, so a statement fits even
// where the driver sends the command as one document instead of a document
// sequence (as it does under automatic encryption).
constexpr Py_ssize_t max_filter_size = 16 * 1024 * 1024 - 16 * 1024;
// {"_id": {"$in": []}} encodes to 25 bytes; an id in it adds a type byte,
// its position as a key (decimal digits and a NUL) and its value.
constexpr Py_ssize_t empty_filter_size = 25;
// Ids a statement selects. A server that checks each document it finds
// against the whole `$in` list pays that list's length per document, so
// short lists keep the deletion linear; a few ids a statement spare the
// per-statement cost of one id each (measured on the test server: 8 ids a
// statement delete 10,000 documents in about 2x the time of deleting the
// whole collection, one id a statement in about 3x).
constexpr Py_ssize_t ids_per_statement = 8;

Py_ssize_t element_size(Py_ssize_t position, Py_ssize_t value_size) {
    Py_ssize_t digits = 1;
    for (Py_ssize_t p = position; p >= 10; p /= 10) ++digits;
    return 1 + digits + 1 + value_size;
}

// What the deletions take from the driver, imported on first need and kept
// for the life of the process: `bson` with its ObjectId class, and the bulk
// write statement DeleteMany.
struct Driver {
    PyObject *bson = nullptr, *object_id = nullptr, *delete_many = nullptr;
};
const Driver &driver_names() {
    static Driver d;
    if (!d.delete_many) {
        nb::object bson = steal_or_throw(PyImport_ImportModule("bson"));
        nb::object object_id = bson.attr("ObjectId");
        nb::object delete_many = steal_or_throw(PyImport_ImportModule("pymongo")).attr("DeleteMany");
        d.bson = bson.release().ptr();
        d.object_id = object_id.release().ptr();
        d.delete_many = delete_many.release().ptr();
    }
    return d;
}

// The encoded size of one id as a BSON value, read off the types whose
// encoding no codec option can change; -1 for any other value.
Py_ssize_t known_value_size(PyObject *id, PyObject *object_id) {
    PyTypeObject *tp = Py_TYPE(id);
    if (tp == (PyTypeObject *) object_id) return 12;
    if (tp == &PyUnicode_Type) {
        Py_ssize_t n = utf8_size(id);
        return n < 0 ? -1 : 4 + n + 1;
    }
    if (tp == &PyLong_Type) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(id, &overflow);
        if (overflow) return -1;  // larger than 64 bits: let the encoder say so
        return v >= INT_MIN && v <= INT_MAX ? 4 : 8;
    }
    if (tp == &PyFloat_Type) return 8;
    if (tp == &PyBool_Type) return 1;
    if (id == Py_None) return 0;
    return -1;
}

// The encoded size of an id of any other type, encoded as the collection's
// codec options say; 0 when it cannot be encoded (the driver reports it when
// it encodes the statement).
Py_ssize_t encoded_value_size(nb::handle collection, nb::handle id) {
    try {
        // {"": id} is the value plus 7 bytes: length, type, empty key, end.
        nb::dict one;
        one[""] = id;
        nb::object codec_options = nb::getattr(collection, "codec_options", nb::none());
        nb::object encode = nb::handle(driver_names().bson).attr("encode");
        nb::object encoded = codec_options.is_none() ? encode(one)
                                                     : encode(one, nb::arg("codec_options") = codec_options);
        return (Py_ssize_t) nb::len(encoded) - 7;
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        return 0;
    }
}

// DeleteMany({"_id": {"$in": list(ids[start:stop])}}) for a tuple of ids
nb::object statement(nb::handle ids, Py_ssize_t start, Py_ssize_t stop) {
    nb::object part = steal_or_throw(PyList_New(stop - start));
    for (Py_ssize_t k = start; k < stop; ++k)
        PyList_SET_ITEM(part.ptr(), k - start, Py_NewRef(PyTuple_GET_ITEM(ids.ptr(), k)));
    return call(driver_names().delete_many, doc("_id", doc("$in", part)));
}

// The deleteMany statements that delete `ids`, in the order of the list:
// consecutive runs of up to `ids_per_statement` ids, a run closed early where
// its filter would pass the limit. Sizes are measured on the ids as they are
// now (a snapshot: encoding an id may run code that changes the list).
nb::list delete_statements(nb::handle collection, nb::handle ids) {
    const Driver &d = driver_names();
    nb::object snapshot = steal_or_throw(PyList_AsTuple(ids.ptr()));
    Py_ssize_t n = PyTuple_GET_SIZE(snapshot.ptr());
    nb::list out;
    Py_ssize_t start = 0, filled = empty_filter_size;
    for (Py_ssize_t k = 0; k < n; ++k) {
        nb::handle id = PyTuple_GET_ITEM(snapshot.ptr(), k);
        Py_ssize_t size = known_value_size(id.ptr(), d.object_id);
        if (size < 0) size = encoded_value_size(collection, id);
        Py_ssize_t add = element_size(k - start, size);
        if (k > start && (k - start == ids_per_statement || filled + add > max_filter_size)) {
            out.append(statement(snapshot, start, k));
            start = k;
            filled = empty_filter_size;
            add = element_size(0, size);
        }
        filled += add;
    }
    out.append(statement(snapshot, start, n));
    return out;
}

}  // namespace


nb::handle id_key() {
    static PyObject *key = PyUnicode_InternFromString("_id");
    return key;
}

nb::handle index_key() {
    static PyObject *key = PyUnicode_InternFromString("__index__");
    return key;
}

void drop_id(nb::handle doc) {
    if (PyDict_CheckExact(doc.ptr())) {
#if PY_VERSION_HEX >= 0x030D0000
        if (PyDict_Pop(doc.ptr(), id_key().ptr(), nullptr) < 0) throw_pending();
#else
        int found = PyDict_Contains(doc.ptr(), id_key().ptr());
        if (found < 0 || (found && PyDict_DelItem(doc.ptr(), id_key().ptr()) < 0)) throw_pending();
#endif
    } else if (has_field(doc, id_key()) && PyObject_DelItem(doc.ptr(), id_key().ptr()) < 0) {
        throw_pending();
    }
}

nb::object with_id(nb::handle d, nb::handle id) {
    nb::object copy = steal_or_throw(PyDict_New());
    if (PyDict_Update(copy.ptr(), d.ptr()) < 0) throw_pending();
    dict_set(copy, id_key(), id);
    return copy;
}

Body read_cursor(nb::handle cursor) { co_return co_await read_all(cursor); }

void add_id(nb::handle ids, nb::handle id) {
    if (!PyDict_SetDefault(ids.ptr(), hashable_key(id).ptr(), id.ptr())) throw_pending();
}

nb::object scan_newest_first(nb::handle coll, nb::handle filter) {
    static PyObject *newest_first = nb::make_tuple(id_key(), -1).release().ptr();  // ("_id", -1)
    nb::object sort = steal_or_throw(PyList_New(1));  // a new list each time: the driver keeps it
    PyList_SET_ITEM(sort.ptr(), 0, Py_NewRef(newest_first));
    return aiter(invoke(invoke(coll, "find", filter), "sort", sort));
}

std::vector<Fields> rule_fields(nb::handle uniques) {
    std::vector<Fields> rules;
    nb::object outer = steal_or_throw(PyObject_GetIter(uniques.ptr()));
    while (PyObject *rule = PyIter_Next(outer.ptr())) {
        nb::object rule_obj = nb::steal(rule);
        nb::object inner = steal_or_throw(PyObject_GetIter(rule));
        Fields fields;
        while (PyObject *f = PyIter_Next(inner.ptr())) fields.push_back(nb::steal(f));
        if (PyErr_Occurred()) throw_pending();
        rules.push_back(std::move(fields));
    }
    if (PyErr_Occurred()) throw_pending();
    return rules;
}

bool carries(nb::handle doc, const Fields &fields) {
    for (const nb::object &f : fields)
        if (!has_field(doc, f)) return false;
    return true;
}

nb::dict rule_query(nb::handle doc, const Fields &fields) {
    nb::dict query;
    for (const nb::object &f : fields) {
        nb::object value = item(doc, f);
        if (PyDict_SetItem(query.ptr(), f.ptr(), value.ptr()) < 0) throw_pending();
    }
    return query;
}

nb::object key_tuple(nb::handle doc, const Fields &fields) {
    nb::object key = steal_or_throw(PyTuple_New((Py_ssize_t) fields.size()));
    for (size_t k = 0; k < fields.size(); ++k) {
        PyObject *value = PyObject_GetItem(doc.ptr(), fields[k].ptr());
        if (!value) throw_pending();
        PyTuple_SET_ITEM(key.ptr(), (Py_ssize_t) k, value);
    }
    return key;
}

Task<nb::list> read_rules(nb::handle manage, const char *type) {
    Held<nb::list> uniques;
    Held<> records = aiter(invoke(manage, "find", doc("type", interned(type)))), record;
    while (co_await next_item(records, record)) {
        nb::object fields = steal_or_throw(PySet_New(item(record, interned("keys")).ptr()));
        if (PySet_GET_SIZE(fields.ptr()) == 0) raise_rule_without_fields(record.attr("get")("name"));
        uniques.append(fields);
    }
    co_return std::move(uniques);
}

void raise_rule_without_fields(nb::handle rule_name) {
    raise_error(PyExc_ValueError, cat("'", rule_name, "' has no fields!"));
}

}  // namespace kestrel::functions

namespace kestrel::functions {

IdDeletion::IdDeletion(nb::handle collection, nb::handle ids, bool counting) {
    if (PyList_GET_SIZE(ids.ptr()) == 0) {
        request_ = doc("_id", doc("$in", ids));
    } else {
        request_ = delete_statements(collection, ids);
        statements_ = nb::len(request_);
    }
    if (counting) deleted = nb::int_(0);
}

void IdDeletion::count(nb::handle result) {
    if (!deleted.is_valid() || deleted.is_none()) return;
    // As the driver's result says, when it says (an unacknowledged write
    // does not).
    PyObject *n = PyObject_GetAttrString(result.ptr(), "deleted_count");
    if (n && PyLong_Check(n)) {
        deleted = steal_or_throw(PyNumber_Add(deleted.ptr(), n));
    } else {
        if (!n && !PyErr_ExceptionMatches(PyExc_Exception)) throw_pending();
        PyErr_Clear();
        deleted = nb::none();
    }
    Py_XDECREF(n);
}

int IdDeletion::traverse(visitproc visit, void *arg) const {
    Py_VISIT(deleted.ptr());
    Py_VISIT(request_.ptr());
    return 0;
}

}  // namespace kestrel::functions
