#include "turns.hpp"

#include "objects.hpp"

namespace kestrel {

namespace {

// (loop, db_name, collection_name) -> the list of futures of the calls that
// wait, in call order. A key is present exactly while some call holds the
// turn. The GIL guards it.
PyObject *turns() {
    static PyObject *table = PyDict_New();  // kept for the life of the process
    if (!table) throw_pending();
    return table;
}

// The running event loop, or None when the coroutine is driven by hand.
nb::object running_loop() {
    static PyObject *get_running_loop = nullptr;
    if (!get_running_loop) {
        nb::object f = nb::module_::import_("asyncio").attr("_get_running_loop");
        get_running_loop = f.release().ptr();
    }
    PyObject *loop = PyObject_CallNoArgs(get_running_loop);
    if (!loop) throw_pending();
    return nb::steal(loop);
}

bool method_true(nb::handle obj, const char *name) {
    return truthy(steal_or_throw(PyObject_CallMethod(obj.ptr(), name, nullptr)));
}

// Take `future` out of the waiting list, if it is there.
void leave_queue(nb::handle queue, nb::handle future) {
    Py_ssize_t n = PyList_GET_SIZE(queue.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(queue.ptr(), i) == future.ptr()) {
            if (PySequence_DelItem(queue.ptr(), i) < 0) throw_pending();
            return;
        }
}

}  // namespace

Task<> Turn::take(nb::handle db_name, nb::handle collection_name) {
    if (!PyUnicode_Check(db_name.ptr()) || !PyUnicode_Check(collection_name.ptr())) co_return;
    Held<> loop = running_loop();
    if (loop.is_none()) co_return;  // driven outside an event loop: nothing runs beside it
    nb::object db = steal_or_throw(PyUnicode_FromObject(db_name.ptr()));
    nb::object collection = steal_or_throw(PyUnicode_FromObject(collection_name.ptr()));
    Held<> key = steal_or_throw(PyTuple_Pack(3, loop.ptr(), db.ptr(), collection.ptr()));
    db = collection = nb::object();
    PyObject *queue = PyDict_GetItemWithError(turns(), key.ptr());  // borrowed
    if (!queue) {
        if (PyErr_Occurred()) throw_pending();
        nb::object empty = steal_or_throw(PyList_New(0));
        if (PyDict_SetItem(turns(), key.ptr(), empty.ptr()) < 0) throw_pending();
        key_ = std::move(key);
        co_return;
    }
    Held<> future = loop.attr("create_future")();
    if (PyList_Append(queue, future.ptr()) < 0) throw_pending();
    try {
        co_await await_(future);
    } catch (nb::python_error &) {
        // Stopped while waiting. When the turn had already been handed over,
        // it goes on to the next call; otherwise this call leaves the queue.
        if (method_true(future, "done") && !method_true(future, "cancelled")) {
            key_ = std::move(key);
            release();
        } else if (PyObject *q = PyDict_GetItemWithError(turns(), key.ptr())) {
            leave_queue(q, future);
        }
        throw;
    }
    key_ = std::move(key);
}

void Turn::let_go() noexcept {
    nb::object key = std::move(key_);
    PyObject *saved = fetch_error();  // (may run while an error is on its way)
    PyObject *table = turns();
    PyObject *queue = PyDict_GetItemWithError(table, key.ptr());
    if (queue) {
        nb::object held = nb::borrow(queue);
        nb::handle loop = PyTuple_GET_ITEM(key.ptr(), 0);
        bool handed = false;
        bool closed = true;  // on a closed loop nobody can take the turn any more
        if (PyList_GET_SIZE(queue) > 0) {
            try {
                closed = method_true(loop, "is_closed");
            } catch (nb::python_error &e) {
                e.discard_as_unraisable(loop);
            }
        }
        while (!closed && !handed && PyList_GET_SIZE(queue) > 0) {
            nb::object next = nb::borrow(PyList_GET_ITEM(queue, 0));
            if (PySequence_DelItem(queue, 0) < 0) {
                PyErr_WriteUnraisable(key.ptr());
                break;
            }
            try {
                if (method_true(next, "done")) continue;  // (cancelled while waiting)
                next.attr("set_result")(nb::none());
                handed = true;
            } catch (nb::python_error &e) {
                e.discard_as_unraisable(next);
            }
        }
        if (!handed && PyDict_DelItem(table, key.ptr()) < 0) PyErr_WriteUnraisable(key.ptr());
    } else if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(key.ptr());
    }
    if (saved) restore_error(saved);
}

}  // namespace kestrel
