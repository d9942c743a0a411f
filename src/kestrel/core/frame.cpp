#include "frame.hpp"

#include "ops.hpp"

#include <cstdint>
#include <stdexcept>

namespace kestrel {

nb::str concat(nb::handle a, nb::handle b) {
    PyObject *r = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!r) throw_pending();
    return nb::steal<nb::str>(r);
}

namespace {

nb::object new_error(PyObject *type, nb::handle message) {
    PyObject *exc = PyObject_CallOneArg(type, message.ptr());
    if (!exc) throw_pending();
    return nb::steal(exc);
}

[[noreturn]] void raise_object(nb::object exc) {
    restore_error(exc.release().ptr());
    throw_pending();
}

}  // namespace

void raise_error(PyObject *type, nb::handle message, const nb::python_error *cause) {
    nb::object exc = new_error(type, message);
    if (cause) {
        // As `raise <type>(message) from cause` inside `except ... as cause`.
        PyException_SetCause(exc.ptr(), Py_NewRef(cause->value().ptr()));
        PyException_SetContext(exc.ptr(), Py_NewRef(cause->value().ptr()));
    }
    raise_object(std::move(exc));
}

void raise_runtime(nb::handle message) { raise_error(PyExc_RuntimeError, message); }

void raise_from(nb::handle message, const nb::python_error &cause) {
    raise_error(PyExc_RuntimeError, message, &cause);
}

void raise_suppressed(nb::handle message) {
    nb::object exc = new_error(PyExc_RuntimeError, message);
    PyException_SetCause(exc.ptr(), nullptr);  // also sets __suppress_context__
    raise_object(std::move(exc));
}

// ---------------------------------------------------------------------------

Task<nb::list> read_all(nb::handle cursor) {
    Held<nb::list> out;
    Held<> it = aiter(cursor), item;
    while (co_await next_item(it, item)) out.append(item);
    co_return std::move(out);
}

nb::object aiter(nb::handle cursor) {
    PyTypeObject *tp = Py_TYPE(cursor.ptr());
    if (!tp->tp_as_async || !tp->tp_as_async->am_aiter) {
        PyErr_Format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s",
                     tp->tp_name);
        throw_pending();
    }
    PyObject *it = tp->tp_as_async->am_aiter(cursor.ptr());
    if (!it) throw_pending();
    return nb::steal(it);
}

NextItem next_item(nb::handle it, nb::object &item) {
    PyTypeObject *tp = Py_TYPE(it.ptr());
    if (!tp->tp_as_async || !tp->tp_as_async->am_anext) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                     tp->tp_name);
        throw_pending();
    }
    PyObject *next = tp->tp_as_async->am_anext(it.ptr());
    if (!next) {
        // An `__anext__` that raises StopAsyncIteration at once ends the loop as well.
        if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) throw_pending();
        PyErr_Clear();
        return {{nullptr, Await::Next}, &item};
    }
    return {{next, Await::Next}, &item};
}

namespace {

// Python's lookup of a special method of `obj`: on its type only, bound by
// the descriptor protocol. A function or method descriptor is given unbound
// (`unbound` set), to be called with `obj` first. A new reference, or null:
// with an error set when binding failed, without one when there is no such
// method.
PyObject *lookup_special(PyObject *obj, const char *name, bool &unbound) {
    PyTypeObject *tp = Py_TYPE(obj);
    PyObject *f = _PyType_Lookup(tp, interned(name).ptr());  // borrowed; sets no error
    unbound = false;
    if (!f) return nullptr;
    if (PyFunction_Check(f) || Py_IS_TYPE(f, &PyMethodDescr_Type)) {
        unbound = true;
        return Py_NewRef(f);
    }
    descrgetfunc get = Py_TYPE(f)->tp_descr_get;
    if (!get) return Py_NewRef(f);
    Py_INCREF(f);
    PyObject *bound = get(f, obj, (PyObject *) tp);
    Py_DECREF(f);
    return bound;
}

[[noreturn]] void not_a_context(PyObject *mgr, const char *missed) {
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the asynchronous context manager protocol%s",
                     Py_TYPE(mgr)->tp_name, missed);
    throw_pending();
}

}  // namespace

namespace detail {
ContextMethods context_methods[8];
}

Await AsyncContext::enter_looked_up() {
    PyTypeObject *tp = Py_TYPE(mgr.ptr());
    bool enter_unbound;
    nb::object aenter = nb::steal(lookup_special(mgr.ptr(), "__aenter__", enter_unbound));
    if (!aenter.is_valid()) not_a_context(mgr.ptr(), "");
    aexit = nb::steal(lookup_special(mgr.ptr(), "__aexit__", exit_unbound));
    if (!aexit.is_valid()) not_a_context(mgr.ptr(), " (missed __aexit__ method)");
    if (enter_unbound && exit_unbound && type_version(tp))
        detail::context_methods_of(tp) = {tp, type_version(tp),
                                          PyFunction_Check(aenter.ptr()) && PyFunction_Check(aexit.ptr()),
                                          aenter.ptr(), aexit.ptr()};
    return await_(enter_unbound ? call(aenter, mgr) : call(aenter));
}

Task<> exit_with(AsyncContext &context, const nb::python_error &err) {
    nb::handle value = err.value();
    Held<> tb = nb::steal(PyException_GetTraceback(value.ptr()));
    try {
        nb::object suppress = co_await await_(context.exit_call(
            nb::handle((PyObject *) Py_TYPE(value.ptr())), value, tb.is_valid() ? nb::handle(tb) : nb::none()));
        if (truthy(suppress)) co_return;
    } catch (nb::python_error &e) {
        // An error raised by the exit (or by the truth of its answer)
        // happened while handling the body's error.
        PyObject *ctx = PyException_GetContext(e.value().ptr());
        if (!ctx && e.value().ptr() != value.ptr())
            PyException_SetContext(e.value().ptr(), Py_NewRef(value.ptr()));
        Py_XDECREF(ctx);
        throw;
    }
    throw err;
}

// ---------------------------------------------------------------------------

Task<nb::object> access_check(nb::handle client, nb::handle db_name, nb::handle under_test) {
    int flag = 0;
    try {
        if (!contains(co_await driver(client, "list_database_names"), db_name)) {
            flag = 1;
            raise_runtime(nb::str(""));
        }
        Held<> db = item(client, db_name);
        if (!contains(co_await driver(db, "list_collection_names"), under_test)) {
            flag = 2;
            raise_runtime(nb::str(""));
        }
        co_return std::move(db);
    } catch (nb::python_error &e) {
        if (flag == 1) raise_suppressed(cat("can not access '", db_name, "'!"));
        if (flag == 2) raise_suppressed(cat("can not access '", under_test, "'!"));
        // A listing that failed (no privilege to list, say) is not a verdict:
        // go on without the check. Only ordinary errors mean that.
        if (!is_exception(e)) throw;
    }
    co_return item(client, db_name);
}

Task<nb::object> database_check(nb::handle client, nb::handle db_name) {
    int flag = 0;
    try {
        if (!contains(co_await driver(client, "list_database_names"), db_name)) {
            flag = 1;
            raise_runtime(nb::str(""));
        }
        co_return item(client, db_name);
    } catch (nb::python_error &e) {
        if (flag == 1) raise_suppressed(cat("can not access '", db_name, "'!"));
        if (!is_exception(e)) throw;
    }
    co_return item(client, db_name);
}

// ---------------------------------------------------------------------------

namespace {
PyObject *g_globals = nullptr;
}

nb::dict module_globals() { return nb::borrow<nb::dict>(g_globals); }

void set_module_globals(nb::handle globals) {
    Py_XDECREF(g_globals);
    g_globals = Py_NewRef(globals.ptr());
}

nb::object global(const char *name) {
    PyObject *v = PyDict_GetItemWithError(g_globals, interned(name).ptr());  // borrowed
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw_pending();
    }
    return nb::borrow(v);
}

Kwargs &Kwargs::operator=(const Kwargs &o) {
    if (this == &o) return *this;
    clear();
    for (size_t i = 0; i < o.n_; ++i) {
        names_[i] = Py_NewRef(o.names_[i]);
        values_[i] = Py_NewRef(o.values_[i]);
    }
    n_ = o.n_;
    return *this;
}

void Kwargs::clear() noexcept {
    for (size_t i = 0; i < n_; ++i) {
        Py_DECREF(names_[i]);
        Py_DECREF(values_[i]);
    }
    n_ = 0;
}

void Kwargs::set(nb::handle name, nb::handle value) {
    for (size_t i = 0; i < n_; ++i) {
        if (names_[i] == name.ptr()) {
            Py_SETREF(values_[i], Py_NewRef(value.ptr()));
            return;
        }
    }
    if (n_ == max_args) throw std::length_error("too many keyword arguments");
    names_[n_] = Py_NewRef(name.ptr());
    values_[n_] = Py_NewRef(value.ptr());
    ++n_;
}

namespace {

// callee(**kwargs), through Python.
nb::object call_with_keywords(nb::handle callee, const Kwargs &kwargs) {
    nb::object kwnames = steal_or_throw(PyTuple_New((Py_ssize_t) kwargs.size()));
    for (size_t i = 0; i < kwargs.size(); ++i)
        PyTuple_SET_ITEM(kwnames.ptr(), (Py_ssize_t) i, Py_NewRef(kwargs.names()[i]));
    return steal_or_throw(PyObject_Vectorcall(callee.ptr(), kwargs.values(), 0, kwnames.ptr()));
}

}  // namespace

Task<nb::object> call_op(const char *name, Kwargs kwargs) {
    Held<Kwargs> arguments(std::move(kwargs));  // what the callee's arguments are, while it runs
    nb::object callee = global(name);
    // The module's own operation under that name: its body runs here, as the
    // call would run it after checking its arguments, without a coroutine
    // object. Its arguments are borrowed from `arguments`.
    PyObject *values[max_args];
    Body body = operation_body(callee, arguments.names(), arguments.values(), arguments.size(), values);
    if (!body) {
        // Anything else is called as it is, with keyword arguments only.
        nb::object awaitable = call_with_keywords(callee, arguments);
        callee = nb::object();
        co_return co_await await_(std::move(awaitable));
    }
    callee = nb::object();
    try {
        co_return co_await std::move(body);
    } catch (nb::python_error &e) {
        // What leaves a coroutine: a StopIteration as the RuntimeError Python
        // makes of it.
        if (!e.matches(PyExc_StopIteration) && !e.matches(PyExc_StopAsyncIteration)) throw;
        e.restore();
        restore_error(escaped_error(fetch_error()));
        throw_pending();
    } catch (const std::exception &) {
        // (a C++ failure as the coroutine object would report it)
        restore_error(error_from_exception(std::current_exception()));
        throw_pending();
    }
}

nb::object op_call(const char *name, const Kwargs &kwargs) { return call_with_keywords(global(name), kwargs); }

Kwargs op_args(nb::handle client, nb::handle db_name, nb::handle collection_name) {
    return keywords("client", client, "db_name", db_name, "collection_name", collection_name);
}

// ---------------------------------------------------------------------------

namespace names {
Made made[kinds];

nb::str make(Kind kind, nb::handle c) {
    nb::str name;
    switch (kind) {
        case Temp: name = cat("_temp_", c); break;
        case Manage: name = cat("_manage_", c); break;
        case Archive: name = cat("archive_", c); break;
        case Unique: name = cat("_unique_", c); break;
        case Read: name = cat(c, "_R"); break;
        case Write: name = cat(c, "_W"); break;
        case Remove: name = cat(c, "_remove"); break;
        case Admin: name = cat(c, "_admin"); break;
        case kinds: break;
    }
    if (PyUnicode_CheckExact(c.ptr())) {
        Made &m = made[kind];
        Py_XSETREF(m.from, Py_NewRef(c.ptr()));
        Py_XSETREF(m.name, Py_NewRef(name.ptr()));
    }
    return name;
}
}  // namespace names

}  // namespace kestrel
