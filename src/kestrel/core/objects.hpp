// Small helpers over Python objects, shared by every operation: item access,
// membership, comparisons, sets and lists, documents with ordered fields.
// Each raises the pending Python error as a C++ exception on failure.
#pragma once

#include "bridge.hpp"

#include <cstdint>
#include <type_traits>
#include <vector>

namespace kestrel {

// A new reference from the C API, or the pending error raised.
inline nb::object steal_or_throw(PyObject *p) {
    if (!p) [[unlikely]]
        throw_pending();
    return nb::steal(p);
}

// An interned Python string for a C string literal (or any text that lives as
// long as the process at that address), made once and kept. An open-addressed
// table by address answers almost every call at its first slot; texts are never
// evicted, so no two hot literals can push each other out whatever addresses
// the loader gives them.
namespace detail {
struct InternSlot {
    const char *key;
    PyObject *value;
};
constexpr int intern_bits = 11;
constexpr std::size_t intern_mask = (std::size_t(1) << intern_bits) - 1;
extern InternSlot intern_slots[std::size_t(1) << intern_bits];
inline std::size_t intern_home(const char *literal) {
    return (reinterpret_cast<uintptr_t>(literal) * 0x9E3779B97F4A7C15ull) >> (64 - intern_bits);
}
PyObject *intern_slow(const char *literal);
}  // namespace detail

inline nb::handle interned(const char *literal) {
    for (std::size_t i = detail::intern_home(literal);; i = (i + 1) & detail::intern_mask) {
        const detail::InternSlot &slot = detail::intern_slots[i];
        if (slot.key == literal) [[likely]]
            return slot.value;
        if (!slot.key) return detail::intern_slow(literal);
    }
}

// `x in container`, with Python's equality; a list (what the listings give)
// straight through its own slot.
inline bool contains(nb::handle container, nb::handle x) {
    int r = PyList_CheckExact(container.ptr()) ? PyList_Type.tp_as_sequence->sq_contains(container.ptr(), x.ptr())
                                               : PySequence_Contains(container.ptr(), x.ptr());
    if (r < 0) throw_pending();
    return r == 1;
}
// `field in doc`, for any mapping.
bool has_field(nb::handle doc, nb::handle field);

// The version tag of a type, or 0 when it has none. Types with the same
// unchanged tag have the same attributes: the interpreter gives a type a new
// tag when it or a base changes, and never reuses one.
inline unsigned int type_version(PyTypeObject *tp) {
#if PY_VERSION_HEX >= 0x030D0000
    return tp->tp_version_tag;
#else
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#endif
}

// container[name]: a database or collection handle (sends nothing), a field.
// A `__getitem__` written in Python is called as the interpreter's slot calls
// it, without the slot's own lookup: the function is kept for its type while
// the type's version tag holds (the table below; the GIL guards it), and a
// type met again is answered inline.
namespace detail {
struct GetItem {
    PyTypeObject *type;
    unsigned int version;
    PyObject *function;  // borrowed from the type, alive while the tag holds
};
extern GetItem getitem_functions[8];
inline GetItem &getitem_of(PyTypeObject *tp) { return getitem_functions[(reinterpret_cast<uintptr_t>(tp) >> 6) % 8]; }
nb::object item_looked_up(nb::handle container, nb::handle name);
}  // namespace detail

inline nb::object item(nb::handle container, nb::handle name) {
    PyTypeObject *tp = Py_TYPE(container.ptr());
    const detail::GetItem &known = detail::getitem_of(tp);
    unsigned int version = type_version(tp);
    if (known.type == tp && known.version == version && version) [[likely]] {
        // (A Python function: its frame holds it while it runs.)
        PyObject *args[] = {container.ptr(), name.ptr()};
        return steal_or_throw(call_function(known.function, args, 2));
    }
    return detail::item_looked_up(container, name);
}

// Set up what the helpers need once, when a module is initialised.
void init_objects();
// dict.get(key) as a new reference, or null when the key is absent.
PyObject *dict_get_ref(nb::handle d, nb::handle key);

// a > b, a == b and bool(x), as the interpreter evaluates them.
bool greater(nb::handle a, nb::handle b);
bool equal(nb::handle a, nb::handle b);
bool truthy(nb::handle x);

// The text written as a string literal that reads back as exactly that
// text: 'nid' for nid, and str's own repr where the text holds a quote, a
// backslash, a control character or a lone surrogate ("it's"). `text` must
// be a str; a subclass is taken for its str value (it cannot choose its repr).
nb::str text_literal(nb::handle text);

// The length of a text's UTF-8 form, counted without making it; -1 when it
// has none (a lone surrogate). `text` must be a str.
Py_ssize_t utf8_size(nb::handle text) noexcept;

// A key that stands for a value in a dict or set as the interpreter's
// equality would: the value itself when it is hashable; a document or a list
// (an `_id` may be either) as a tuple of the keys of its parts, marked as such.
nb::object hashable_key(nb::handle value);

// Are two values the same as the server would store them: documents with the
// same fields in the same order, lists of the same length, and at every depth
// values of the same type that are equal (a NaN is the same as a NaN)?
bool same_document(nb::handle a, nb::handle b);

// d[key] = value, for a dict.
void dict_set(nb::handle d, nb::handle key, nb::handle value);

// set(); `s.add(x)` (a plain set is served directly, anything else through
// its `add`).
nb::object new_set();
void set_add(nb::handle s, nb::handle x);

// list(iterable)
nb::list list_from(nb::handle iterable);

// A list made of the given references, which it takes over.
nb::list list_of(std::vector<nb::object> &items);

// A dict with the given fields in order: doc("type", t, "name", n).
inline void doc_fill(nb::dict &) {}
template <class V, class... Rest>
void doc_fill(nb::dict &d, const char *key, const V &value, const Rest &...rest) {
    if constexpr (std::is_base_of_v<nb::handle, V>) {
        if (PyDict_SetItem(d.ptr(), interned(key).ptr(), value.ptr()) < 0) throw_pending();
    } else {
        d[interned(key)] = value;
    }
    doc_fill(d, rest...);
}
template <class... KV> nb::dict doc(const KV &...fields) {
    nb::dict d;
    doc_fill(d, fields...);
    return d;
}

}  // namespace kestrel
