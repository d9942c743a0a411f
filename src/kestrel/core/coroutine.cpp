// The Python side of the coroutine bridge: a coroutine type written against
// the C API (am_send, send, throw, close, __await__), modelled on CPython's
// own coroutine and future-iterator objects.
#include "bridge.hpp"

#include <new>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace kestrel {

namespace {

// getattr(obj, name, None) without raising AttributeError; -1 on other errors.
int optional_attr(PyObject *obj, const char *name, PyObject **out) {
    *out = PyObject_GetAttrString(obj, name);
    if (*out) return 1;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Raise StopIteration carrying `value`, as a returning generator does.
void set_stop_iteration(PyObject *value) {
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The coroutine object

namespace {

enum class State : unsigned char { Created, Suspended, Done };

struct CoroObject {
    PyObject_HEAD
    Body::handle_type task;  // root task, owned until it has finished
    Outcome<nb::object> outcome;  // the root task's
    RootState root;
    PyObject *qualname;
    PyObject *weakrefs;
    PyObject *args[max_args];
    unsigned char nargs;
    State state;
    bool running;
    bool finalized;  // as the collector's mark: tp_finalize was called
};

void clear_args(CoroObject *self) noexcept {
    for (unsigned char i = 0; i < self->nargs; ++i) Py_CLEAR(self->args[i]);
    self->nargs = 0;
}

PyTypeObject *coroutine_type = nullptr;

void destroy_task(CoroObject *self) noexcept {
    if (self->task) std::exchange(self->task, {}).destroy();
}

[[gnu::always_inline]] inline void clear_root(RootState &r) noexcept {
    r.waiter = {};
    r.next = {};
    if (!(r.delegate || r.yielded || r.value || r.error)) [[likely]]
        return;
    Py_CLEAR(r.delegate);
    Py_CLEAR(r.yielded);
    Py_CLEAR(r.value);
    Py_CLEAR(r.error);
}

// Resume the task that waits on the finished delegate, handing it `value` or
// `error` (both stolen; exactly one is set).
void resume_waiter(CoroObject *self, PyObject *value, PyObject *error) {
    RootState &r = self->root;
    Py_CLEAR(r.delegate);
    r.value = value;
    r.error = error;
    CurrentRoot current(&r);
    run_tasks(r, r.waiter);
}

// After the root task stops: either it finished, or it waits on a delegate
// that has yielded, and that yield goes up to the caller.
PySendResult drive(CoroObject *self, PyObject **presult) {
    RootState &r = self->root;
    Outcome<nb::object> &o = self->outcome;
    if (o.finished) {
        self->task = {};  // (its frame is gone)
        self->state = State::Done;
        PyObject *exc = nullptr;
        PyObject *res = nullptr;
        if (o.error) {
            exc = error_from_exception(o.error);
            o.error = nullptr;
        } else if (!o.result) {
            res = Py_NewRef(Py_None);  // a task that gave nothing gave None
        } else if (!(res = o.result->release().ptr())) {
            // Never hand CPython a NULL result without an error.
            PyErr_SetString(PyExc_SystemError, "kestrel coroutine completed without a result");
            exc = fetch_error();
        }
        o.result.reset();
        clear_root(r);
        if (exc) {
            restore_error(escaped_error(exc));
            *presult = nullptr;
            return PYGEN_ERROR;
        }
        *presult = res;
        return PYGEN_RETURN;
    }
    if (!r.yielded) {
        PyErr_SetString(PyExc_SystemError, "kestrel coroutine suspended without an awaitable");
        *presult = nullptr;
        return PYGEN_ERROR;
    }
    *presult = std::exchange(r.yielded, nullptr);
    return PYGEN_NEXT;
}

// Deliver the outcome of one step of the delegate, then drive on.
PySendResult after_step(CoroObject *self, PySendResult s, PyObject *out, PyObject **presult) {
    if (s == PYGEN_NEXT) {
        *presult = out;
        return PYGEN_NEXT;
    }
    if (s == PYGEN_RETURN)
        resume_waiter(self, out, nullptr);
    else
        resume_waiter(self, nullptr, fetch_error());
    return drive(self, presult);
}

bool check_running(CoroObject *self) {
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

struct RunningGuard {
    CoroObject *self;
    explicit RunningGuard(CoroObject *s) : self(s) { self->running = true; }
    ~RunningGuard() { self->running = false; }
};

PySendResult coro_am_send(PyObject *op, PyObject *arg, PyObject **presult) {
    auto *self = (CoroObject *) op;
    *presult = nullptr;
    if (!check_running(self)) return PYGEN_ERROR;
    if (self->state == State::Done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    RunningGuard guard(self);
    if (self->state == State::Created) {
        if (arg && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        self->state = State::Suspended;
        {
            CurrentRoot current(&self->root);
            run_tasks(self->root, self->task);
        }
        return drive(self, presult);
    }
    PyObject *out = nullptr;
    PySendResult s = send_into(self->root.delegate, arg ? arg : Py_None, &out);
    return after_step(self, s, out, presult);
}

PyObject *gen_result(PySendResult s, PyObject *out) {
    if (s == PYGEN_NEXT) return out;
    if (s == PYGEN_RETURN) {
        if (out == Py_None)
            PyErr_SetNone(PyExc_StopIteration);
        else
            set_stop_iteration(out);
        Py_DECREF(out);
    }
    return nullptr;
}

PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *out;
    PySendResult s = coro_am_send(self, arg, &out);
    return gen_result(s, out);
}

PyObject *coro_iternext(PyObject *self) {
    PyObject *out;
    PySendResult s = coro_am_send(self, Py_None, &out);
    if (s == PYGEN_NEXT) return out;
    if (s == PYGEN_RETURN) {
        if (out != Py_None) set_stop_iteration(out);
        Py_DECREF(out);
    }
    return nullptr;
}

// Deliver what the delegate's `throw` gave (`out`, or NULL with an error set),
// then drive on.
PySendResult after_throw(CoroObject *self, PyObject *out, PyObject **presult) {
    if (out) return after_step(self, PYGEN_NEXT, out, presult);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *stop = fetch_error();
        PyObject *value = PyObject_GetAttrString(stop, "value");
        Py_DECREF(stop);
        if (value) return after_step(self, PYGEN_RETURN, value, presult);
    }
    return after_step(self, PYGEN_ERROR, nullptr, presult);
}

// Throw `exc` (stolen) into the coroutine: into the delegate first when it can
// take it, as `yield from` does; GeneratorExit closes the delegate instead.
PySendResult throw_into(CoroObject *self, PyObject *exc, PyObject **presult) {
    *presult = nullptr;
    if (self->state == State::Created) {
        // Never started: nothing ran, so nothing needs unwinding.
        self->state = State::Done;
        destroy_task(self);
        restore_error(exc);
        return PYGEN_ERROR;
    }
    RootState &r = self->root;
    PyObject *delegate = r.delegate;
    bool closing = PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit);
    if (closing) {
        PyObject *close = nullptr;
        if (optional_attr(delegate, "close", &close) < 0) {
            Py_DECREF(exc);
            exc = fetch_error();
        } else if (close) {
            PyObject *res = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (!res) {
                Py_DECREF(exc);
                exc = fetch_error();
            }
            Py_XDECREF(res);
        }
        resume_waiter(self, nullptr, exc);
        return drive(self, presult);
    }
    PyObject *thrower = nullptr;
    if (optional_attr(delegate, "throw", &thrower) < 0) {
        Py_DECREF(exc);
        resume_waiter(self, nullptr, fetch_error());
        return drive(self, presult);
    }
    if (!thrower) {
        resume_waiter(self, nullptr, exc);
        return drive(self, presult);
    }
    PyObject *out = PyObject_CallOneArg(thrower, exc);
    Py_DECREF(thrower);
    Py_DECREF(exc);
    return after_throw(self, out, presult);
}

PyObject *coro_throw(PyObject *op, PyObject *const *args, Py_ssize_t nargs) {
    auto *self = (CoroObject *) op;
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
#endif
    if (!check_running(self)) return nullptr;
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : nullptr;
    PyObject *tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        // As `yield from` does: a delegate that can take a throw gets the
        // arguments as given and raises the error itself, inside the
        // coroutine; with none, the error is raised here and nothing runs.
        PyObject *thrower = nullptr;
        if (self->state == State::Suspended && optional_attr(self->root.delegate, "throw", &thrower) < 0)
            return nullptr;
        if (!thrower) {
            PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
            return nullptr;
        }
        RunningGuard guard(self);
        PyObject *out = PyObject_CallFunctionObjArgs(thrower, typ, val ? val : Py_None, tb, nullptr);
        Py_DECREF(thrower);
        PyObject *res;
        PySendResult s = after_throw(self, out, &res);
        return gen_result(s, res);
    }
    PyObject *exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        exc = (val && PyExceptionInstance_Check(val) &&
               PyObject_IsInstance(val, typ) == 1)
                  ? Py_NewRef(val)
                  : (val && val != Py_None
                         ? PyObject_CallOneArg(typ, val)
                         : PyObject_CallNoArgs(typ));
        if (!exc) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb && PyException_SetTraceback(exc, tb) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    if (self->state == State::Done) {
        restore_error(exc);
        return nullptr;
    }
    RunningGuard guard(self);
    PyObject *out;
    PySendResult s = throw_into(self, exc, &out);
    return gen_result(s, out);
}

PyObject *coro_close_impl(CoroObject *self) {
    if (!check_running(self)) return nullptr;
    if (self->state == State::Created) {
        self->state = State::Done;
        destroy_task(self);
        Py_RETURN_NONE;
    }
    if (self->state == State::Done) Py_RETURN_NONE;
    RunningGuard guard(self);
    PyObject *out;
    PySendResult s = throw_into(self, PyObject_CallNoArgs(PyExc_GeneratorExit), &out);
    if (s == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (s == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject *coro_close(PyObject *self, PyObject *) { return coro_close_impl((CoroObject *) self); }

PyObject *coro_await(PyObject *self) { return Py_NewRef(self); }

void coro_finalize(PyObject *op) {
    auto *self = (CoroObject *) op;
    self->finalized = true;
    if (self->state == State::Done) return;
    PyObject *saved = fetch_error();
    if (self->state == State::Created) {
        // As Python's own coroutines do when they are collected unstarted.
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             self->qualname) < 0)
            PyErr_WriteUnraisable(op);
        self->state = State::Done;
        destroy_task(self);
    } else {
        PyObject *res = coro_close_impl(self);
        if (res)
            Py_DECREF(res);
        else
            PyErr_WriteUnraisable(op);
    }
    if (saved) restore_error(saved);
}

int coro_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = (CoroObject *) op;
    Py_VISIT(Py_TYPE(op));
    for (unsigned char i = 0; i < self->nargs; ++i) Py_VISIT(self->args[i]);
    Py_VISIT(self->root.delegate);
    Py_VISIT(self->root.yielded);
    Py_VISIT(self->root.value);
    Py_VISIT(self->root.error);
    return self->root.traverse_holders(visit, arg);
}

// The collector breaks a cycle through a coroutine by taking its frames
// apart: the finalizer has already closed a started coroutine, so what is
// left only holds references, and destroying it releases them all.
int coro_clear(PyObject *op) {
    auto *self = (CoroObject *) op;
    self->state = State::Done;
    destroy_task(self);
    clear_root(self->root);
    clear_args(self);
    return 0;
}

// Coroutine objects freed, kept for the next calls (the GIL guards them).
// Only one that was never finalised is kept: the collector's mark that an
// object was finalised stays with its memory, and a new coroutine must be
// finalised when it is collected.
constexpr unsigned max_spare_coroutines = 32;
CoroObject *spare_coroutines[max_spare_coroutines];
unsigned spare_coroutine_count = 0;

void coro_dealloc(PyObject *op) {
    auto *self = (CoroObject *) op;
    PyObject_GC_UnTrack(op);
    if (self->state != State::Done) {
        // (a finished coroutine has nothing to finalise)
        if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
        destroy_task(self);
        clear_root(self->root);  // (a finished one was cleared when it finished)
    }
    if (self->weakrefs) PyObject_ClearWeakRefs(op);
    self->outcome.~Outcome();  // (empty: a finished coroutine's was taken)
    for (unsigned i = 0, n = self->nargs; i < n; ++i) Py_DECREF(self->args[i]);  // (cleared ones are gone)
    Py_DECREF(self->qualname);
    PyTypeObject *tp = Py_TYPE(op);
#ifndef KESTREL_SANITIZE
    if (spare_coroutine_count < max_spare_coroutines && !self->finalized) {
        spare_coroutines[spare_coroutine_count++] = self;
        Py_DECREF(tp);
        return;
    }
#endif
    tp->tp_free(op);
    Py_DECREF(tp);
}

PyObject *coro_repr(PyObject *op) {
    auto *self = (CoroObject *) op;
    return PyUnicode_FromFormat("<coroutine object %U at %p>", self->qualname, op);
}

PyObject *get_qualname(PyObject *op, void *) { return Py_NewRef(((CoroObject *) op)->qualname); }
PyObject *get_running(PyObject *op, void *) { return PyBool_FromLong(((CoroObject *) op)->running); }
PyObject *get_await(PyObject *op, void *) {
    PyObject *d = ((CoroObject *) op)->root.delegate;
    return Py_NewRef(d ? d : Py_None);
}
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_suspended(PyObject *op, void *) {
    return PyBool_FromLong(((CoroObject *) op)->state == State::Suspended);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", (PyCFunction) (void (*)()) coro_throw, METH_FASTCALL, "throw(value) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_qualname, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, (void *) coro_await},
    {Py_am_send, (void *) coro_am_send},
    {Py_tp_iternext, (void *) coro_iternext},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {Py_tp_finalize, (void *) coro_finalize},
    {Py_tp_traverse, (void *) coro_traverse},
    {Py_tp_clear, (void *) coro_clear},
    {Py_tp_dealloc, (void *) coro_dealloc},
    {Py_tp_repr, (void *) coro_repr},
    {0, nullptr},
};

}  // namespace

namespace {

CoroObject *new_coroutine(nb::handle qualname, PyObject *const *args, size_t n) {
    CoroObject *self;
    if (spare_coroutine_count) {
        self = spare_coroutines[--spare_coroutine_count];
        PyObject_Init((PyObject *) self, coroutine_type);
    } else {
        self = PyObject_GC_New(CoroObject, coroutine_type);
        if (!self) throw_pending();
    }
    self->task = {};
    new (&self->outcome) Outcome<nb::object>();
    new (&self->root) RootState();
    self->qualname = Py_NewRef(qualname.ptr());
    self->weakrefs = nullptr;
    self->nargs = static_cast<unsigned char>(n);
    for (size_t i = 0; i < n; ++i) self->args[i] = Py_NewRef(args[i]);
    self->state = State::Done;  // until it has its task
    self->running = false;
    self->finalized = false;
    return self;
}

nb::object with_task(CoroObject *self, nb::object owner, Body task) {
    self->task = task.release();  // the object owns the frame from here on
    self->task.promise().root = &self->root;
    self->task.promise().outcome = &self->outcome;
    self->state = State::Created;
    PyObject_GC_Track((PyObject *) self);
    return owner;
}

}  // namespace

nb::object make_coroutine(nb::handle qualname, PyObject *const *args, size_t n,
                          Body (*start)(Args)) {
    CoroObject *self = new_coroutine(qualname, args, n);
    nb::object owner = nb::steal((PyObject *) self);
    return with_task(self, std::move(owner), start(Args(self->args)));
}

nb::object make_coroutine(nb::handle qualname, Body task) {
    CoroObject *self = new_coroutine(qualname, nullptr, 0);
    return with_task(self, nb::steal((PyObject *) self), std::move(task));
}

void init_bridge(nb::module_ &m) {
    static PyType_Spec spec = {
        "kestrel.coroutine",
        sizeof(CoroObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        coro_slots,
    };
    PyObject *tp = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
    if (!tp) throw_pending();
    coroutine_type = (PyTypeObject *) tp;  // kept alive for the life of the process
}

}  // namespace kestrel
