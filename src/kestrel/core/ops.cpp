#include "ops.hpp"

#include "frame.hpp"

#include <cstring>
#include <stdexcept>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace kestrel {

std::string doc_text(std::initializer_list<std::string> lines) {
    std::string out;
    for (const std::string &line : lines) {
        out += '\n';
        if (!line.empty()) out += "    " + line;
    }
    out += "\n    ";
    return out;
}

namespace {

enum class Check { None, Str, Dict, List };

Check check_for(const char *annotation) {
    if (!annotation) return Check::None;
    if (!std::strcmp(annotation, "str")) return Check::Str;
    if (!std::strcmp(annotation, "Dict")) return Check::Dict;
    if (!std::strcmp(annotation, "list") || !std::strcmp(annotation, "list[Dict]")) return Check::List;
    return Check::None;
}

PyTypeObject *expected_type(Check c) {
    switch (c) {
        case Check::Str: return &PyUnicode_Type;
        case Check::Dict: return &PyDict_Type;
        case Check::List: return &PyList_Type;
        default: return nullptr;
    }
}

struct Operation {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakrefs;
    OpSpec *spec;              // lives as long as the process
    PyObject *name;            // str
    Py_ssize_t nparams;
    PyObject *names[max_args]; // the parameter names, interned
    PyTypeObject *types[max_args];  // the exact type each must have, or null
    PyObject *defaults;        // tuple of the trailing defaults (may be empty)
    size_t required;
};

PyTypeObject *operation_type = nullptr;

PyObject *positional_count_error(Operation *op, Py_ssize_t given) {
    size_t n = op->spec->params.size();
    bool exact = op->required == n;
    const char *more_or_less;
    Py_ssize_t expected;
    if (exact) {
        more_or_less = "exactly";
        expected = (Py_ssize_t) n;
    } else if (given < (Py_ssize_t) op->required) {
        more_or_less = "at least";
        expected = (Py_ssize_t) op->required;
    } else {
        more_or_less = "at most";
        expected = (Py_ssize_t) n;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 op->spec->name, more_or_less, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

// Is the keyword `key` the name of parameter i? The names are interned, and
// so is every literal keyword of a call in Python and of calls between
// operations: for an interned key identity answers.
bool names_param(Operation *op, PyObject *key, Py_ssize_t i) {
    if (key == op->names[i]) return true;
    if (PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key)) return false;
    return PyUnicode_CompareWithASCIIString(key, op->spec->params[i].name) == 0;
}

// Types, in parameter order: exactly str, dict or list; no subclass, no None.
bool check_types(Operation *op, PyObject *const *values) {
    for (Py_ssize_t i = 0; i < op->nparams; ++i) {
        PyTypeObject *want = op->types[i];
        if (want && Py_TYPE(values[i]) != want) [[unlikely]] {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         op->spec->params[i].name, want->tp_name, Py_TYPE(values[i])->tp_name);
            return false;
        }
    }
    return true;
}

// Parse positional and keyword arguments (`nkw` keywords named by `kwnames`,
// their values after the positional ones) into `values` (borrowed
// references). The errors come in the interpreter's order: a keyword that
// names no parameter or repeats a positional one, then too many positional
// arguments, then a missing one.
bool parse(Operation *op, PyObject *const *args, Py_ssize_t nargs, PyObject *const *kwnames,
           Py_ssize_t nkw, PyObject **values) {
    Py_ssize_t n = op->nparams;
    for (Py_ssize_t i = 0; i < n; ++i) values[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = kwnames[k];
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < n && found < 0; ++i)
            if (names_param(op, key, i)) found = i;
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         op->spec->name, key);
            return false;
        }
        if (found < nargs || values[found]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         op->spec->name, key);
            return false;
        }
        values[found] = args[nargs + k];
    }
    if (nargs > n) {
        positional_count_error(op, nargs);
        return false;
    }
    for (Py_ssize_t i = nargs; i < n; ++i) {
        if (values[i]) continue;
        if (i < (Py_ssize_t) op->required) {
            positional_count_error(op, i);
            return false;
        }
        values[i] = PyTuple_GET_ITEM(op->defaults, i - (Py_ssize_t) op->required);
    }
    return check_types(op, values);
}

PyObject *operation_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    auto *op = (Operation *) callable;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *values[max_args];
    PyObject *const *given = args;
    if (!kwnames && nargs == op->nparams) [[likely]] {  // every argument by position
        if (!check_types(op, args)) return nullptr;
    } else {
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (!parse(op, args, nargs, nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, nkw, values))
            return nullptr;
        given = values;
    }
    try {
        if (op->spec->coroutine) [[likely]]
            return make_coroutine(op->name, given, (size_t) op->nparams, op->spec->coroutine).release().ptr();
        return op->spec->plain(Args(given)).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

}  // namespace

Body operation_body(nb::handle callee, PyObject *const *kwnames, PyObject *const *kwvalues,
                    size_t nkw, PyObject **values) {
    if (Py_TYPE(callee.ptr()) != operation_type) return {};
    auto *op = (Operation *) callee.ptr();
    // (Defaults would be borrowed from the operation object, which the call
    // does not keep; only `connect`, a plain function, has any.)
    if (!op->spec->coroutine || op->required != (size_t) op->nparams) return {};
    if (!parse(op, kwvalues, 0, kwnames, (Py_ssize_t) nkw, values)) throw_pending();
    return op->spec->coroutine(Args(values));
}

namespace {

int operation_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *op = (Operation *) self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(op->dict);
    Py_VISIT(op->defaults);
    return 0;
}

int operation_clear(PyObject *self) {
    Py_CLEAR(((Operation *) self)->dict);
    return 0;
}

void operation_dealloc(PyObject *self) {
    auto *op = (Operation *) self;
    PyObject_GC_UnTrack(self);
    if (op->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(op->dict);
    Py_CLEAR(op->defaults);
    Py_CLEAR(op->name);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *operation_repr(PyObject *self) {
    auto *op = (Operation *) self;
    return PyUnicode_FromFormat("<kestrel operation %U at %p>", op->name, self);
}

PyMemberDef operation_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Operation, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Operation, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Operation, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot operation_slots[] = {
    {Py_tp_call, (void *) PyVectorcall_Call},
    {Py_tp_members, operation_members},
    {Py_tp_traverse, (void *) operation_traverse},
    {Py_tp_clear, (void *) operation_clear},
    {Py_tp_dealloc, (void *) operation_dealloc},
    {Py_tp_repr, (void *) operation_repr},
    {0, nullptr},
};

}  // namespace

void init_module(nb::module_ &m) {
    init_bridge(m);
    init_objects();
    init_methods();
    static PyType_Spec spec = {
        "kestrel.operation",
        sizeof(Operation),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        operation_slots,
    };
    PyObject *tp = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
    if (!tp) throw_pending();
    operation_type = (PyTypeObject *) tp;
    set_module_globals(m.attr("__dict__"));
    init_logging(m);
}

int exec_module(PyObject *m, void (*init)(nb::module_ &)) noexcept {
    if (!nb::register_module(m)) return -1;
    try {
        nb::module_ module = nb::borrow<nb::module_>(m);
        init(module);
        return 0;
    } catch (...) {
        restore_error(error_from_exception(std::current_exception()));
    }
    return -1;
}

void register_op(nb::module_ &m, OpSpec spec_in) {
    auto *spec = new OpSpec(std::move(spec_in));
    auto *op = PyObject_GC_New(Operation, operation_type);
    if (!op) throw_pending();
    op->vectorcall = operation_vectorcall;
    op->dict = nullptr;
    op->weakrefs = nullptr;
    op->spec = spec;
    op->name = nullptr;
    op->nparams = (Py_ssize_t) spec->params.size();
    op->defaults = nullptr;
    op->required = 0;
    nb::object self = nb::steal((PyObject *) op);

    if (spec->params.size() > max_args) throw std::length_error("too many parameters");
    nb::list defaults;
    for (size_t i = 0; i < spec->params.size(); ++i) {
        const Param &p = spec->params[i];
        op->names[i] = interned(p.name).ptr();  // kept for the life of the process
        op->types[i] = expected_type(check_for(p.annotation));
        if (p.default_text)
            defaults.append(nb::str(p.default_text));
        else
            ++op->required;
    }
    op->name = nb::str(spec->name).release().ptr();
    op->defaults = PyList_AsTuple(defaults.ptr());
    if (!op->defaults) throw_pending();
    op->dict = PyDict_New();
    PyObject_GC_Track((PyObject *) op);

    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object Parameter = inspect.attr("Parameter");
    nb::object Signature = inspect.attr("Signature");
    nb::object empty = Parameter.attr("empty");
    nb::dict annotations;
    nb::list parameters;
    for (size_t i = 0; i < spec->params.size(); ++i) {
        const Param &p = spec->params[i];
        nb::object ann = p.annotation ? nb::object(nb::str(p.annotation)) : empty;
        if (p.annotation) annotations[p.name] = nb::str(p.annotation);
        nb::object dflt = i >= op->required ? nb::object(defaults[i - op->required]) : empty;
        parameters.append(Parameter(p.name, Parameter.attr("POSITIONAL_OR_KEYWORD"),
                                    nb::arg("default") = dflt, nb::arg("annotation") = ann));
    }
    if (spec->returns) annotations["return"] = nb::str(spec->returns);
    nb::object returns = spec->returns ? nb::object(nb::str(spec->returns)) : empty;

    self.attr("__name__") = nb::handle(op->name);
    self.attr("__qualname__") = nb::handle(op->name);
    self.attr("__module__") = m.attr("__name__");
    self.attr("__doc__") = nb::str(spec->doc.c_str(), spec->doc.size());
    self.attr("__annotations__") = annotations;
    self.attr("__defaults__") = defaults.size() ? nb::borrow(op->defaults) : nb::none();
    self.attr("__kwdefaults__") = nb::none();
    self.attr("__signature__") =
        Signature(parameters, nb::arg("return_annotation") = returns);
    if (spec->coroutine) {
        // inspect.iscoroutinefunction (3.12+) and asyncio.iscoroutinefunction
        // both recognise the marker; 3.11 only knows asyncio's own.
        if (nb::hasattr(inspect, "markcoroutinefunction"))
            inspect.attr("markcoroutinefunction")(self);
        else
            self.attr("_is_coroutine") =
                nb::module_::import_("asyncio.coroutines").attr("_is_coroutine");
    }
    m.attr(spec->name) = self;
}

}  // namespace kestrel
