// The C++ side of the coroutine bridge: Python errors carried through C++,
// the awaiting of Python awaitables, the current root and the frame memory.
// The coroutine type that drives the tasks is in coroutine.cpp.
#include "bridge.hpp"

#include <stdexcept>

namespace kestrel {

PyObject *fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void restore_error(PyObject *exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject *type = Py_NewRef((PyObject *) Py_TYPE(exc));
    PyObject *tb = PyException_GetTraceback(exc);
    PyErr_Restore(type, exc, tb);
#endif
}

void throw_pending() { throw nb::python_error(); }

PyObject *escaped_error(PyObject *exc) noexcept {
    if (!PyErr_GivenExceptionMatches(exc, PyExc_StopIteration) &&
        !PyErr_GivenExceptionMatches(exc, PyExc_StopAsyncIteration))
        return exc;
    PyObject *wrapped = PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
    if (!wrapped) return exc;
    PyException_SetCause(wrapped, Py_NewRef(exc));
    PyException_SetContext(wrapped, exc);
    return wrapped;
}

PyObject *error_from_exception(std::exception_ptr e) noexcept {
    try {
        std::rethrow_exception(e);
    } catch (nb::python_error &err) {
        err.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &err) {
        PyErr_SetString(PyExc_SystemError, err.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a kestrel coroutine");
    }
    return fetch_error();
}

// ---------------------------------------------------------------------------
// PyAwaiter

// Any other awaitable (or none: the end of an `async for`).
void PyAwaiter::start(PyObject *obj) {
    if (!obj) return;
    PyObject *it;
    PyTypeObject *tp = Py_TYPE(obj);
    unaryfunc am_await = tp->tp_as_async ? tp->tp_as_async->am_await : nullptr;
    if (!am_await) {
        if (mode_ == Await::Maybe) {
            result_ = obj;
            return;
        }
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", tp->tp_name);
        Py_DECREF(obj);
        error_ = fetch_error();
        return;
    }
    it = am_await(obj);
    Py_DECREF(obj);
    if (it && (PyCoro_CheckExact(it) || !PyIter_Check(it))) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
        Py_CLEAR(it);
    }
    if (!it) {
        error_ = fetch_error();
        return;
    }
    PyObject *out = nullptr;
    PySendResult s = send_into(it, Py_None, &out);
    sent(it, s, out);
}

// The first send into `it` (owned) gave `s`.
void PyAwaiter::sent(PyObject *it, PySendResult s, PyObject *out) {
    switch (s) {
        case PYGEN_NEXT:  // it waits for something: the task suspends on it
            suspending_ = true;
            root_->delegate = it;
            root_->yielded = out;
            return;
        case PYGEN_RETURN:
            result_ = out;
            break;
        case PYGEN_ERROR:
            // The end of an `async for` is no error: no C++ exception for it.
            if (mode_ == Await::Next && PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
                PyErr_Clear();
            else
                error_ = fetch_error();
            break;
    }
    Py_DECREF(it);
}

nb::object PyAwaiter::resume_slow() {
    if (!suspending_ && !error_ && mode_ == Await::Next) return nb::object();  // the end of the loop
    PyObject *err = std::exchange(error_, nullptr);
    if (suspending_) {
        root_->waiter = {};
        err = std::exchange(root_->error, nullptr);
        if (!err) {
            if (PyObject *value = std::exchange(root_->value, nullptr)) return nb::steal(value);
        } else if (mode_ == Await::Next && PyErr_GivenExceptionMatches(err, PyExc_StopAsyncIteration)) {
            Py_DECREF(err);
            return nb::object();
        }
    }
    if (err) {
        restore_error(err);
        throw_pending();
    }
    if (mode_ == Await::Next) return nb::object();  // the end of the loop
    // An awaitable that failed without saying why: never an empty result.
    PyErr_SetString(PyExc_SystemError, "awaited object failed without setting an error");
    throw_pending();
}

// ---------------------------------------------------------------------------
// The current root, and frame memory

constinit thread_local RootState *current_root = nullptr;

namespace detail {
KeptFrames kept_frames[frame_classes];
}

}  // namespace kestrel
