#include "objects.hpp"

#include <cstdint>
#include <unordered_map>

namespace kestrel {

namespace detail {

InternSlot intern_slots[std::size_t(1) << intern_bits];

namespace {
// Slots in use; the table is filled to a quarter at most, so that a probe
// ends at an empty slot soon. Texts past that are answered by the map alone.
std::size_t intern_used = 0;
}  // namespace

PyObject *intern_slow(const char *literal) {
    static std::unordered_map<const char *, PyObject *> table;  // lives as long as the module
    auto it = table.find(literal);
    if (it == table.end()) {
        PyObject *s = PyUnicode_InternFromString(literal);
        if (!s) throw_pending();
        it = table.emplace(literal, s).first;
        if (intern_used < (intern_mask + 1) / 4) {
            std::size_t i = intern_home(literal);
            while (intern_slots[i].key) i = (i + 1) & intern_mask;
            intern_slots[i] = {literal, s};
            ++intern_used;
        }
    }
    return it->second;
}

}  // namespace detail

bool has_field(nb::handle doc, nb::handle field) { return contains(doc, field); }

namespace {

// The slot the interpreter gives a class whose `__getitem__` is a Python
// function (it looks the method up and calls it).
binaryfunc python_getitem = nullptr;

}  // namespace

void init_objects() {
    if (python_getitem) return;
    // Any Python function will do: it is never called.
    nb::object function = nb::module_::import_("inspect").attr("isclass");
    nb::object probe = steal_or_throw(PyObject_CallFunction((PyObject *) &PyType_Type, "s(){sO}", "probe",
                                                            "__getitem__", function.ptr()));
    python_getitem = ((PyTypeObject *) probe.ptr())->tp_as_mapping->mp_subscript;
}

namespace detail {
GetItem getitem_functions[8];

// The first call for a type (or after its tag changed): a `__getitem__`
// written in Python is kept for the next calls; anything else goes through
// the interpreter's subscript.
nb::object item_looked_up(nb::handle container, nb::handle name) {
    PyObject *obj = container.ptr();
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp->tp_as_mapping && tp->tp_as_mapping->mp_subscript == python_getitem && python_getitem) {
        PyObject *f = _PyType_Lookup(tp, interned("__getitem__").ptr());  // borrowed
        unsigned int version = type_version(tp);
        if (f && PyFunction_Check(f) && version) {
            getitem_of(tp) = {tp, version, f};
            PyObject *args[] = {obj, name.ptr()};
            return steal_or_throw(vectorcall(f, args, 2));
        }
    }
    return steal_or_throw(PyObject_GetItem(obj, name.ptr()));
}
}  // namespace detail

PyObject *dict_get_ref(nb::handle d, nb::handle key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value;
    if (PyDict_GetItemRef(d.ptr(), key.ptr(), &value) < 0) throw_pending();
    return value;
#else
    PyObject *value = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) throw_pending();
    return Py_XNewRef(value);
#endif
}

namespace {
bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw_pending();
    return r == 1;
}
}  // namespace

bool greater(nb::handle a, nb::handle b) { return compare(a, b, Py_GT); }
bool equal(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }

bool truthy(nb::handle x) {
    int r = PyObject_IsTrue(x.ptr());
    if (r < 0) throw_pending();
    return r == 1;
}

nb::str text_literal(nb::handle text) {
    nb::object exact = steal_or_throw(PyUnicode_FromObject(text.ptr()));
    // Only a quote, a backslash, a control character or a lone surrogate
    // needs escaping; any other text is written as it is, between single
    // quotes, so names stored before keep their exact form.
    PyObject *s = exact.ptr();
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    bool plain = true;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); plain && i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        plain = c != '\'' && c != '\\' && c >= 0x20 && !(c >= 0x7F && c <= 0x9F) &&
                !(c >= 0xD800 && c <= 0xDFFF);
    }
    if (plain) return nb::steal<nb::str>(steal_or_throw(PyUnicode_FromFormat("'%U'", s)).release());
    return nb::steal<nb::str>(steal_or_throw(PyUnicode_Type.tp_repr(s)).release());
}

Py_ssize_t utf8_size(nb::handle text) noexcept {
    PyObject *s = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) return n;
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Py_ssize_t size = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) size += 1;
        else if (c < 0x800) size += 2;
        else if (c >= 0xD800 && c <= 0xDFFF) return -1;
        else if (c < 0x10000) size += 3;
        else size += 4;
    }
    return size;
}

namespace {

// The first element of the key of a document or a list: no value read from
// the server is this object, so such a key never equals a value's own.
nb::handle composite_mark(char kind) {
    static PyObject *document = PyUnicode_InternFromString("\0document");
    static PyObject *list = PyUnicode_InternFromString("\0list");
    return kind == 'd' ? document : list;
}

}  // namespace

nb::object hashable_key(nb::handle value) {
    PyObject *v = value.ptr();
    bool document = PyDict_Check(v), list = PyList_Check(v);
    if (!document && !list) {
        if (PyObject_Hash(v) == -1) throw_pending();
        return nb::borrow(value);
    }
    Py_ssize_t n = document ? PyDict_GET_SIZE(v) : PyList_GET_SIZE(v);
    nb::object key = steal_or_throw(PyTuple_New(1 + (document ? 2 * n : n)));
    PyTuple_SET_ITEM(key.ptr(), 0, Py_NewRef(composite_mark(document ? 'd' : 'l').ptr()));
    if (document) {
        nb::object items = steal_or_throw(PyDict_Items(v));  // a snapshot: keys hash no code of their own
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject *pair = PyList_GET_ITEM(items.ptr(), k);
            PyTuple_SET_ITEM(key.ptr(), 1 + 2 * k, hashable_key(PyTuple_GET_ITEM(pair, 0)).release().ptr());
            PyTuple_SET_ITEM(key.ptr(), 2 + 2 * k, hashable_key(PyTuple_GET_ITEM(pair, 1)).release().ptr());
        }
    } else {
        nb::object items = steal_or_throw(PyList_AsTuple(v));
        for (Py_ssize_t k = 0; k < n; ++k)
            PyTuple_SET_ITEM(key.ptr(), 1 + k, hashable_key(PyTuple_GET_ITEM(items.ptr(), k)).release().ptr());
    }
    return key;
}

bool same_document(nb::handle a, nb::handle b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    if (x == y) return true;
    if (Py_TYPE(x) != Py_TYPE(y)) return false;
    if (PyDict_Check(x)) {
        if (PyDict_GET_SIZE(x) != PyDict_GET_SIZE(y)) return false;
        nb::object xs = steal_or_throw(PyDict_Items(x)), ys = steal_or_throw(PyDict_Items(y));
        for (Py_ssize_t k = 0, n = PyList_GET_SIZE(xs.ptr()); k < n; ++k) {
            PyObject *p = PyList_GET_ITEM(xs.ptr(), k), *q = PyList_GET_ITEM(ys.ptr(), k);
            if (!same_document(PyTuple_GET_ITEM(p, 0), PyTuple_GET_ITEM(q, 0)) ||
                !same_document(PyTuple_GET_ITEM(p, 1), PyTuple_GET_ITEM(q, 1)))
                return false;
        }
        return true;
    }
    if (PyList_Check(x)) {
        nb::object xs = steal_or_throw(PyList_AsTuple(x)), ys = steal_or_throw(PyList_AsTuple(y));
        Py_ssize_t n = PyTuple_GET_SIZE(xs.ptr());
        if (n != PyTuple_GET_SIZE(ys.ptr())) return false;
        for (Py_ssize_t k = 0; k < n; ++k)
            if (!same_document(PyTuple_GET_ITEM(xs.ptr(), k), PyTuple_GET_ITEM(ys.ptr(), k))) return false;
        return true;
    }
    if (PyFloat_Check(x)) {
        double p = PyFloat_AS_DOUBLE(x), q = PyFloat_AS_DOUBLE(y);
        return p == q || (p != p && q != q);
    }
    return equal(a, b);
}

void dict_set(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw_pending();
}

nb::object new_set() { return steal_or_throw(PySet_New(nullptr)); }

void set_add(nb::handle s, nb::handle x) {
    if (PySet_CheckExact(s.ptr())) {
        if (PySet_Add(s.ptr(), x.ptr()) < 0) throw_pending();
    } else {
        s.attr("add")(x);
    }
}

nb::list list_from(nb::handle iterable) {
    return nb::steal<nb::list>(steal_or_throw(PySequence_List(iterable.ptr())).release());
}

nb::list list_of(std::vector<nb::object> &items) {
    nb::object list = steal_or_throw(PyList_New((Py_ssize_t) items.size()));
    for (size_t k = 0; k < items.size(); ++k)
        PyList_SET_ITEM(list.ptr(), (Py_ssize_t) k, items[k].release().ptr());
    items.clear();
    return nb::borrow<nb::list>(list);
}

}  // namespace kestrel
