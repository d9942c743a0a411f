#include "frame.hpp"

#include "ops.hpp"

#include <stdexcept>

namespace kestrel {

nb::str concat(nb::handle a, nb::handle b) {
    PyObject *r = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!r) throw_pending();
    return nb::steal<nb::str>(r);
}

namespace {

nb::object runtime_error(nb::handle message) {
    PyObject *exc = PyObject_CallOneArg(PyExc_RuntimeError, message.ptr());
    if (!exc) throw_pending();
    return nb::steal(exc);
}

[[noreturn]] void raise_object(nb::object exc) {
    restore_error(exc.release().ptr());
    throw_pending();
}

}  // namespace

void raise_runtime(nb::handle message) { raise_object(runtime_error(message)); }

void raise_from(nb::handle message, const nb::python_error &cause) {
    nb::object exc = runtime_error(message);
    // As `raise RuntimeError(message) from cause` inside `except ... as cause`.
    PyException_SetCause(exc.ptr(), Py_NewRef(cause.value().ptr()));
    PyException_SetContext(exc.ptr(), Py_NewRef(cause.value().ptr()));
    raise_object(std::move(exc));
}

void raise_suppressed(nb::handle message) {
    nb::object exc = runtime_error(message);
    PyException_SetCause(exc.ptr(), nullptr);  // also sets __suppress_context__
    raise_object(std::move(exc));
}

// ---------------------------------------------------------------------------

Task<nb::list> read_all(nb::object cursor) {
    nb::list out;
    nb::object it = aiter(cursor);
    for (;;) {
        nb::object item = co_await next_item(it);
        if (!item.is_valid()) break;
        out.append(item);
    }
    co_return out;
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

Await next_item(nb::handle it) {
    PyTypeObject *tp = Py_TYPE(it.ptr());
    if (!tp->tp_as_async || !tp->tp_as_async->am_anext) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                     tp->tp_name);
        throw_pending();
    }
    PyObject *next = tp->tp_as_async->am_anext(it.ptr());
    if (!next) {
        // An `__anext__` that raises at once ends the loop as well.
        if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) throw_pending();
        PyErr_Clear();
        return {nb::object(), Await::Next};
    }
    return {nb::steal(next), Await::Next};
}

nb::object special_method(nb::handle obj, const char *name) {
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    PyObject *key = interned(name).ptr();
    // The common case straight from the type's method cache: a plain function
    // or method descriptor on the type, nothing of that name on its metatype.
    PyObject *f = _PyType_Lookup(tp, key);  // borrowed; sets no error
    if (f && (PyFunction_Check(f) || Py_IS_TYPE(f, &PyMethodDescr_Type)) &&
        (Py_IS_TYPE(tp, &PyType_Type) || !_PyType_Lookup(Py_TYPE(tp), key)))  // `type` has none
        return nb::borrow(f);
    return steal_or_throw(PyObject_GetAttr((PyObject *) tp, key));
}

Task<nb::object> exit_with(nb::handle mgr, nb::handle aexit, const nb::python_error *err) {
    nb::object suppress;
    if (!err) {
        co_await await_(aexit(mgr, nb::none(), nb::none(), nb::none()));
        co_return nb::none();
    }
    nb::handle value = err->value();
    nb::object tb = nb::steal(PyException_GetTraceback(value.ptr()));
    try {
        suppress = co_await await_(aexit(mgr, nb::handle((PyObject *) Py_TYPE(value.ptr())), value,
                                         tb.is_valid() ? nb::handle(tb) : nb::none()));
    } catch (nb::python_error &e) {
        // An error raised by the exit happened while handling the body's error.
        PyObject *ctx = PyException_GetContext(e.value().ptr());
        if (!ctx && e.value().ptr() != value.ptr())
            PyException_SetContext(e.value().ptr(), Py_NewRef(value.ptr()));
        Py_XDECREF(ctx);
        throw;
    }
    if (!PyObject_IsTrue(suppress.ptr())) throw *err;
    co_return nb::none();
}

// ---------------------------------------------------------------------------

Task<nb::object> access_check(nb::handle client, nb::handle db_name, nb::handle under_test) {
    int flag = 0;
    try {
        nb::object databases = co_await driver(client, "list_database_names");
        if (!contains(databases, db_name)) {
            flag = 1;
            raise_runtime(nb::str(""));
        }
        nb::object db = item(client, db_name);
        nb::object collections = co_await driver(db, "list_collection_names");
        if (!contains(collections, under_test)) {
            flag = 2;
            raise_runtime(nb::str(""));
        }
        co_return db;
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
        nb::object databases = co_await driver(client, "list_database_names");
        if (!contains(databases, db_name)) {
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

Task<nb::object> call_op(const char *name, Kwargs kwargs) {
    nb::object callee = global(name);
    // The module's own operation under that name: run its body here, as the
    // call would after checking its arguments, without a coroutine object.
    PyObject *values[max_args];
    if (Body body = operation_body(callee, kwargs.names(), kwargs.values(), kwargs.size(), values)) {
        try {
            co_return co_await std::move(body);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_StopIteration) && !e.matches(PyExc_StopAsyncIteration)) throw;
            e.restore();  // as it leaves a coroutine
            restore_error(escaped_error(fetch_error()));
            throw_pending();
        }
    }
    // Anything else is called as it is, with keyword arguments only.
    nb::object kwnames = steal_or_throw(PyTuple_New((Py_ssize_t) kwargs.size()));
    for (size_t i = 0; i < kwargs.size(); ++i)
        PyTuple_SET_ITEM(kwnames.ptr(), (Py_ssize_t) i, Py_NewRef(kwargs.names()[i]));
    nb::object awaitable = steal_or_throw(PyObject_Vectorcall(callee.ptr(), kwargs.values(), 0, kwnames.ptr()));
    co_return co_await await_(std::move(awaitable));
}

Kwargs op_args(nb::handle client, nb::handle db_name, nb::handle collection_name) {
    return keywords("client", client, "db_name", db_name, "collection_name", collection_name);
}

// ---------------------------------------------------------------------------

namespace names {
nb::str temp(nb::handle c) { return cat("_temp_", c); }
nb::str manage(nb::handle c) { return cat("_manage_", c); }
nb::str archive(nb::handle c) { return cat("archive_", c); }
nb::str unique_index(nb::handle rule) { return cat("_unique_", rule); }
nb::str role_read(nb::handle c) { return cat(c, "_R"); }
nb::str role_write(nb::handle c) { return cat(c, "_W"); }
nb::str role_remove(nb::handle c) { return cat(c, "_remove"); }
nb::str role_admin(nb::handle c) { return cat(c, "_admin"); }
}  // namespace names

}  // namespace kestrel
