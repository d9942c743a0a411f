// Method lookups kept by type version (see methods.hpp).
#include "methods.hpp"

#include "objects.hpp"

namespace kestrel {

#ifdef KESTREL_METHOD_CACHE
namespace detail {

MethodSlot method_slots[std::size_t(1) << method_slot_bits];
bool inline_values_known = false;

namespace {

constexpr uint8_t split_keys = 2;  // the kind of a type's shared keys

struct UnicodeEntry {
    PyObject *key, *value;
};

const UnicodeEntry *entries(const SharedKeys *keys) {
    auto *indices = reinterpret_cast<const char *>(keys) + sizeof(SharedKeys);
    return reinterpret_cast<const UnicodeEntry *>(indices + (std::size_t(1) << keys->log2_index_bytes));
}

// Is `name` among the first `keys->nentries` names of the shared keys?
bool holds(const SharedKeys *keys, PyObject *name) {
    const UnicodeEntry *e = entries(keys);
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        PyObject *key = e[i].key;
        if (key == name || (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) return true;
    }
    return false;
}

// Keep `function`, found on the type of `obj` with no attribute of `obj`'s
// own in the way, when later objects of that type can be checked cheaply.
// The slot for (type, method): the one it had, else a free one, else its home.
MethodSlot &slot_for(PyTypeObject *tp, const char *method, std::size_t home) {
    for (unsigned k = 0; k < method_probes; ++k) {
        MethodSlot &s = method_slots[(home + k) & method_slot_mask];
        if (!s.type || (s.type == tp && s.method == method)) return s;
    }
    return method_slots[home];
}

void remember(std::size_t home, PyObject *obj, const char *method, PyObject *name, PyObject *function) {
    PyTypeObject *tp = Py_TYPE(obj);
    unsigned int version = tp->tp_version_tag;
    if (!version || tp->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name)) return;
    const SharedKeys *keys = nullptr;
    Py_ssize_t nentries = 0;
    if (PyType_HasFeature(tp, Py_TPFLAGS_INLINE_VALUES)) {
        keys = shared_keys(tp);
        if (!inline_values_known || !keys || keys->kind != split_keys || holds(keys, name)) return;
        nentries = keys->nentries;
    } else if (tp->tp_dictoffset != 0 || PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) {
        return;
    }
    slot_for(tp, method, home) = {tp, method, version, function, bool(PyFunction_Check(function)), keys, nentries};
}

}  // namespace

PyObject *call_method_probing(const char *method, PyObject **args, size_t n, std::size_t home) {
    PyTypeObject *tp = Py_TYPE(args[0]);
    for (unsigned k = 2; k < method_probes; ++k) {
        const MethodSlot &s = method_slots[(home + k) & method_slot_mask];
        if (s.type == tp && s.method == method) {
            if (holds_for(s, args[0], tp, method)) return call_kept(s, args, n);
            break;  // (the entry is there, but stale or shadowed)
        }
        if (!s.type) break;
    }
    PyObject *name = interned(method).ptr();
    PyObject *f = nullptr;
    int unbound = _PyObject_GetMethod(args[0], name, &f);
    if (!f) return nullptr;
    PyObject *result;
    if (unbound) {
        remember(home, args[0], method, name, f);
        result = vectorcall(f, args, n);
    } else {
        result = vectorcall(f, args + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }
    Py_DECREF(f);
    return result;
}

}  // namespace detail

namespace {

// Does the interpreter's layout read as the checks expect? Tried on a plain
// class made for it: an attribute given to one instance joins the shared
// keys; an instance's inline values are valid until it takes an attribute
// that cannot live there, and no longer after.
bool layout_reads_as_expected() {
    using namespace detail;
    nb::object tp_obj = steal_or_throw(PyObject_CallFunction((PyObject *) &PyType_Type, "s(){}", "probe"));
    auto *tp = reinterpret_cast<PyTypeObject *>(tp_obj.ptr());
    if (!PyType_HasFeature(tp, Py_TPFLAGS_INLINE_VALUES)) return false;
    nb::object a = steal_or_throw(PyObject_CallNoArgs(tp_obj.ptr()));
    nb::object b = steal_or_throw(PyObject_CallNoArgs(tp_obj.ptr()));
    nb::handle name = interned("kestrel_probe");
    const SharedKeys *keys = shared_keys(tp);
    if (!keys || keys->kind != split_keys || holds(keys, name.ptr())) return false;
    Py_ssize_t before = keys->nentries;
    if (PyObject_SetAttr(a.ptr(), name.ptr(), Py_None) < 0) throw_pending();
    if (shared_keys(tp) != keys || keys->nentries != before + 1 || !holds(keys, name.ptr())) return false;
    auto values = [&](nb::handle o) {
        return reinterpret_cast<const InlineValues *>(reinterpret_cast<char *>(o.ptr()) + tp->tp_basicsize);
    };
    if (!values(a)->valid || !values(b)->valid) return false;
    // A key that is not a text cannot live in the inline values.
    nb::object dict = steal_or_throw(PyObject_GenericGetDict(b.ptr(), nullptr));
    if (PyDict_SetItem(dict.ptr(), Py_None, Py_None) < 0) throw_pending();
    return values(b)->valid == 0 && values(a)->valid == 1;
}

}  // namespace

void init_methods() { detail::inline_values_known = layout_reads_as_expected(); }

#else
void init_methods() {}
#endif

}  // namespace kestrel
