#include "documents.hpp"

#include <climits>


namespace kestrel::functions {

namespace {

// A delete command must stay under the server's document limit (16 MiB).
// Its filter {"_id": {"$in": ids}} gets the rest of the command around it:
// the statement {q: <filter>, limit: 0}, the command's own fields (delete,
// ordered, lsid, txnNumber, $clusterTime, $db, writeConcern, ...) and the
// collection name, which the server limits to a few hundred bytes. 16 KiB
// leaves room for all of it many times over, so the command fits even where
// the driver sends it as one document instead of a document sequence (as it
// does under automatic encryption); it costs at most one call in a thousand.
constexpr Py_ssize_t max_filter_size = 16 * 1024 * 1024 - 16 * 1024;
// {"_id": {"$in": []}} encodes to 25 bytes; an id in it adds a type byte,
// its position as a key (decimal digits and a NUL) and its value.
constexpr Py_ssize_t empty_filter_size = 25;

Py_ssize_t element_size(size_t position, Py_ssize_t value_size) {
    Py_ssize_t digits = 1;
    for (size_t p = position; p >= 10; p /= 10) ++digits;
    return 1 + digits + 1 + value_size;
}

// The driver's `bson` module and its ObjectId class, imported on first need
// and kept for the life of the process.
struct Bson {
    PyObject *module = nullptr, *object_id = nullptr;
};
const Bson &bson() {
    static Bson b;
    if (!b.object_id) {
        nb::object module = steal_or_throw(PyImport_ImportModule("bson"));
        nb::object object_id = module.attr("ObjectId");
        b.module = module.release().ptr();
        b.object_id = object_id.release().ptr();
    }
    return b;
}

// list(items[start:stop]) for a tuple
nb::object slice(nb::handle items, Py_ssize_t start, Py_ssize_t stop) {
    nb::object part = steal_or_throw(PyTuple_GetSlice(items.ptr(), start, stop));
    return steal_or_throw(PySequence_List(part.ptr()));
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

// The size of the filter when every id is of a type measured without
// encoding it, else -1. Runs no Python code, so the list cannot change under it.
Py_ssize_t known_filter_size(nb::handle ids, PyObject *object_id) {
    Py_ssize_t n = PyList_GET_SIZE(ids.ptr()), total = empty_filter_size;
    Py_ssize_t digits = 1, next_digit = 10;
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (k == next_digit) {
            ++digits;
            next_digit *= 10;
        }
        Py_ssize_t size = known_value_size(PyList_GET_ITEM(ids.ptr(), k), object_id);
        if (size < 0) return -1;
        total += 1 + digits + 1 + size;
    }
    return total;
}

// The id lists of the delete_many calls that delete `ids`, when there must
// be more than one: as few consecutive slices as keep each filter under the
// limit. None when the list itself goes in one call: when its filter fits in
// one command (always so for an empty list, and measured without encoding
// when every id is of a built-in type), and when ids cannot be encoded (the
// driver reports them).
std::vector<nb::object> id_slices(nb::handle collection, nb::handle ids) {
    std::vector<nb::object> slices;
    Py_ssize_t n = PyList_GET_SIZE(ids.ptr());
    if (n == 0) return slices;
    const Bson &b = bson();
    Py_ssize_t known = known_filter_size(ids, b.object_id);
    if (known >= 0 && known <= max_filter_size) return slices;
    // Measured one by one, on the ids as they are now: encoding an id may run
    // code that changes the list.
    nb::object snapshot = steal_or_throw(PyList_AsTuple(ids.ptr()));
    nb::object encode, codec_options;
    std::vector<Py_ssize_t> sizes((size_t) n);
    Py_ssize_t total = empty_filter_size;
    for (Py_ssize_t k = 0; k < n; ++k) {
        nb::handle id = PyTuple_GET_ITEM(snapshot.ptr(), k);
        Py_ssize_t size = known_value_size(id.ptr(), b.object_id);
        if (size < 0) {
            if (!encode.is_valid()) {
                encode = nb::handle(b.module).attr("encode");
                codec_options = nb::getattr(collection, "codec_options", nb::none());
            }
            try {
                // {"": id} is the value plus 7 bytes: length, type, empty key, end.
                nb::dict one;
                one[""] = id;
                nb::object encoded = codec_options.is_none()
                                         ? encode(one)
                                         : encode(one, nb::arg("codec_options") = codec_options);
                size = (Py_ssize_t) nb::len(encoded) - 7;
            } catch (nb::python_error &e) {
                if (!is_exception(e)) throw;
                return slices;
            }
        }
        sizes[(size_t) k] = size;
        total += element_size((size_t) k, size);
    }
    if (total <= max_filter_size) return slices;
    Py_ssize_t start = 0, filled = empty_filter_size;
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_ssize_t add = element_size((size_t) (k - start), sizes[(size_t) k]);
        if (k > start && filled + add > max_filter_size) {
            slices.push_back(slice(snapshot, start, k));
            start = k;
            filled = empty_filter_size;
            add = element_size(0, sizes[(size_t) k]);
        }
        filled += add;
    }
    slices.push_back(slice(snapshot, start, n));
    return slices;
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

IdDeletion::IdDeletion(nb::handle collection, nb::handle ids, bool counting)
    : ids_(ids), slices_(id_slices(collection, ids)) {
    if (counting) deleted = nb::int_(0);
}

nb::dict IdDeletion::filter(size_t k) const {
    return doc("_id", doc("$in", slices_.empty() ? ids_ : nb::handle(slices_[k])));
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
    return visit_refs(slices_, visit, arg);
}

}  // namespace kestrel::functions
