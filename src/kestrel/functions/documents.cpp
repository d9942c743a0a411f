#include "documents.hpp"

namespace kestrel::functions {

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
