// obj.name(*args) as the interpreter calls a method, with the lookup kept.
//
// The interpreter finds a method on the object's type, then makes sure the
// object has no attribute of its own by that name, and calls the function
// with the object first, without a bound method. Its bytecode keeps what it
// found at the call site; a call from C looks it up again every time. Here
// a small table keeps, for a type and a name, the function found on the
// type: it holds for as long as the type's version tag is unchanged (the
// interpreter gives a type a new tag whenever it or a base changes, and never
// reuses one).
//
// The object's own attributes are checked on every call, as the interpreter
// checks them: an object whose type gives its instances no dictionary has
// none; on CPython 3.13 and 3.14, an object whose attributes live in its
// inline values (a plain class's instances, until something asks for their
// `__dict__` or gives them an attribute that does not fit) has exactly the
// names of its type's shared keys, which only ever grow: if the name was not
// among them when the entry was made and their number is the same, it is not
// among them now. Any other object is looked up in full, as before. The
// layout these checks read is the interpreter's own, and is tried once at
// start-up on an instance made for it; if it does not read as expected, the
// second kind of check is left off and such objects are looked up in full.
#pragma once

#include "bridge.hpp"
#include "objects.hpp"

#include <cstdint>

namespace kestrel {

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030F0000 && !defined(Py_GIL_DISABLED)
#define KESTREL_METHOD_CACHE 1
#endif

// Exported by the interpreter, declared in its internal headers since 3.13.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030F0000
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
#endif

#ifdef KESTREL_METHOD_CACHE
namespace detail {

// The parts of the interpreter's structures the checks read (3.13, 3.14).
struct InlineValues {  // after the object, at the type's basic size
    uint8_t capacity, size, embedded, valid;
};
struct SharedKeys {  // a type's keys for its instances' inline values
    Py_ssize_t refcnt;
    uint8_t log2_size, log2_index_bytes, kind;
    uint32_t version;
    Py_ssize_t usable, nentries;
};

struct alignas(64) MethodSlot {  // (a power of two: a slot's address is one shift away)
    PyTypeObject *type;
    const char *method;     // the name, as the literal it is written as
    unsigned int version;   // the type's tag when the entry was made
    PyObject *function;     // borrowed from the type: alive while the tag holds
    bool python_function;   // a Python function, which its own frame holds while it runs
    const SharedKeys *keys; // null: the instances have no attributes of their own
    Py_ssize_t nentries;    // the shared keys' number then, without the name
};
// An entry lives in one of `method_probes` slots from its home slot on, so
// that pairs whose homes coincide (the addresses of types and literals decide
// them) do not push each other out.
constexpr unsigned method_slot_bits = 7;
constexpr std::size_t method_slot_mask = (std::size_t(1) << method_slot_bits) - 1;
constexpr unsigned method_probes = 4;
extern MethodSlot method_slots[std::size_t(1) << method_slot_bits];
extern bool inline_values_known;

inline std::size_t method_home(PyTypeObject *tp, const char *method) {
    uintptr_t h = (reinterpret_cast<uintptr_t>(tp) ^ (reinterpret_cast<uintptr_t>(method) >> 3)) *
                  0x9E3779B97F4A7C15ull;
    return h >> (64 - method_slot_bits);
}

inline const SharedKeys *shared_keys(PyTypeObject *tp) {
    return reinterpret_cast<const SharedKeys *>(reinterpret_cast<PyHeapTypeObject *>(tp)->ht_cached_keys);
}

// Has `obj` no attribute of its own that the entry's name could be?
inline bool no_own_attribute(PyObject *obj, PyTypeObject *tp, const MethodSlot &s) {
    if (!s.keys) return true;
    auto *values = reinterpret_cast<const InlineValues *>(reinterpret_cast<char *>(obj) + tp->tp_basicsize);
    const SharedKeys *keys = shared_keys(tp);
    return values->valid && keys == s.keys && keys->nentries == s.nentries;
}

// The call through the kept function of a slot that holds for `args[0]`.
inline PyObject *call_kept(const MethodSlot &s, PyObject **args, size_t n) {
    // Anything but a Python function is held for the call, as the
    // interpreter holds it: the call may change the type and let go of it.
    PyObject *f = s.function;
    if (s.python_function) [[likely]]
        return call_function(f, args, n);
    Py_INCREF(f);
    PyObject *result = vectorcall(f, args, n);
    Py_DECREF(f);
    return result;
}

// Does the slot hold for `obj`, of type `tp`, and `method`?
inline bool holds_for(const MethodSlot &s, PyObject *obj, PyTypeObject *tp, const char *method) {
    return s.type == tp && s.method == method && s.version == tp->tp_version_tag && no_own_attribute(obj, tp, s);
}

// The call when neither of the first two slots holds: the other slots of
// the entry, else the lookup in full (kept for the next calls when it can be).
PyObject *call_method_probing(const char *method, PyObject **args, size_t n, std::size_t home);

}  // namespace detail
#endif

// args[0].method(*args[1:n]), `method` a literal (or any text that lives as
// long as the process at that address). args[-1] may be overwritten.
inline PyObject *call_method(const char *method, PyObject **args, size_t n) {
#ifdef KESTREL_METHOD_CACHE
    PyTypeObject *tp = Py_TYPE(args[0]);
    std::size_t home = detail::method_home(tp, method);
    // The entry's home slot, or the next one (where a pair whose home is
    // taken by another usually lives); the two after it out of line.
    const detail::MethodSlot *s = &detail::method_slots[home];
    if (!detail::holds_for(*s, args[0], tp, method)) {
        s = &detail::method_slots[(home + 1) & detail::method_slot_mask];
        if (!detail::holds_for(*s, args[0], tp, method)) [[unlikely]]
            return detail::call_method_probing(method, args, n, home);
    }
    return detail::call_kept(*s, args, n);
#elif PY_VERSION_HEX < 0x030F0000
    PyObject *f = nullptr;
    int unbound = _PyObject_GetMethod(args[0], interned(method).ptr(), &f);
    if (!f) return nullptr;
    PyObject *result = unbound ? vectorcall(f, args, n)
                               : vectorcall(f, args + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET);
    Py_DECREF(f);
    return result;
#else
    return PyObject_VectorcallMethod(interned(method).ptr(), args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#endif
}

// Try the checks' reading of the interpreter's layout (once, at start-up).
void init_methods();

}  // namespace kestrel
