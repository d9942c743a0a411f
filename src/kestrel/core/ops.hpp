// Registered operations: callable objects that parse and check their
// arguments at call time (before any coroutine exists) and carry the
// attributes of a Python function (__name__, __qualname__, __module__,
// __doc__, __annotations__, __defaults__, __signature__ and the coroutine
// function marker).
#pragma once

#include "bridge.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace kestrel {

using CoroutineImpl = Body (*)(Args);
using PlainImpl = nb::object (*)(Args);

struct Param {
    const char *name;
    // Annotation text, or nullptr for none. "str", "Dict", "list" and
    // "list[Dict]" also demand exactly that type of the argument.
    const char *annotation = nullptr;
    const char *default_text = nullptr;  // a text default (only `connect` has any)
};

struct OpSpec {
    const char *name;
    std::vector<Param> params;
    const char *returns = nullptr;  // return annotation text, or nullptr
    std::string doc;
    CoroutineImpl coroutine = nullptr;
    PlainImpl plain = nullptr;
};

// Documentation text framing: a newline and four blanks, the lines joined by a
// newline and four blanks, a final newline and four blanks. Empty lines stay
// empty.
std::string doc_text(std::initializer_list<std::string> lines);

// Create the operation and bind it in the module under its name.
void register_op(nb::module_ &m, OpSpec spec);

// When `callee` is a coroutine operation of this module, what calling it with
// keyword arguments only (`nkw` of them, named by `kwnames`) would run,
// without the call: its arguments are checked as the call checks them
// (raising the same TypeError), put into `values` (borrowed from `kwvalues`,
// which must outlive the task) and its body's task is given. For any other
// callee, an empty task.
Body operation_body(nb::handle callee, PyObject *const *kwnames, PyObject *const *kwvalues,
                    size_t nkw, PyObject **values);

// Module set-up shared by both modules: the coroutine type and the globals
// used for calls between operations.
void init_module(nb::module_ &m);

// Run a module's initialisation on import: nanobind is set up for the
// module, then `init` binds its names. An error raised by `init` (a driver
// module that cannot be imported, say) reaches the importer as it is, where
// NB_MODULE would replace it by a generic ImportError. 0, or -1 with the
// error set.
int exec_module(PyObject *m, void (*init)(nb::module_ &)) noexcept;

#if PY_VERSION_HEX >= 0x030C0000
#define KESTREL_MODULE_INTERPRETERS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KESTREL_MODULE_INTERPRETERS
#endif

// The entry point of an extension module, used as NB_MODULE is.
#define KESTREL_MODULE(name, variable)                                                          \
    static void kestrel_init_##name(::nanobind::module_ &);                                     \
    static int kestrel_exec_##name(PyObject *m) {                                               \
        return ::kestrel::exec_module(m, kestrel_init_##name);                                  \
    }                                                                                            \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                                        \
        static PyModuleDef_Slot slots[] = {                                                     \
            {Py_mod_exec, (void *) kestrel_exec_##name}, KESTREL_MODULE_INTERPRETERS{0, nullptr}}; \
        static PyModuleDef def = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, slots,     \
                                  nullptr, nullptr, nullptr};                                    \
        return PyModuleDef_Init(&def);                                                          \
    }                                                                                            \
    void kestrel_init_##name(::nanobind::module_ &variable)

}  // namespace kestrel
