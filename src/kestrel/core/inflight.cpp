#include "inflight.hpp"

#include <optional>
#include <utility>

namespace kestrel {

namespace {

[[noreturn]] void raise_again(nb::handle exc) {
    restore_error(Py_NewRef(exc.ptr()));
    throw_pending();
}

nb::handle read_name() {
    static PyObject *name = PyUnicode_InternFromString("read");
    return name;
}

// The read itself, as the task runs it: its outcome, error or result, goes to
// the shared state; the task always ends normally.
Body run_read(std::shared_ptr<detail::Reads> reads, uint64_t id, Body read) {
    detail::Slot &slot = reads->slot(id);
    slot.started = true;
    slot.pending = nb::object();
    nb::object value, error;
    try {
        value = co_await std::move(read);
    } catch (nb::python_error &e) {
        error = nb::borrow(e.value());
    } catch (...) {
        error = nb::steal(error_from_exception(std::current_exception()));
    }
    reads->finished(id, std::move(value), std::move(error));
    co_return nb::none();
}

// obj.name(arg), its result true? An error goes to sys.unraisablehook.
bool call_quietly(nb::handle obj, const char *name, PyObject *arg = nullptr) noexcept {
    PyObject *r = arg ? PyObject_CallMethod(obj.ptr(), name, "O", arg)
                      : PyObject_CallMethod(obj.ptr(), name, nullptr);
    if (!r) {
        PyErr_WriteUnraisable(obj.ptr());
        return false;
    }
    int truth = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (truth < 0) PyErr_WriteUnraisable(obj.ptr());
    return truth > 0;
}

// Close a coroutine that will never run (other awaitables need nothing).
void close_unstarted(nb::object awaitable) noexcept {
    if (awaitable.is_valid() && PyObject_HasAttrString(awaitable.ptr(), "close"))
        call_quietly(awaitable, "close");
}

Body await_body(nb::object awaitable) { co_return co_await await_(std::move(awaitable)); }

}  // namespace

namespace detail {

void Reads::finished(uint64_t id, nb::object value, nb::object err) noexcept {
    Slot &s = slot(id);
    if (s.finished) return;
    s.finished = true;
    --running;
    s.task = nb::object();
    if (!aborting) {
        if (err.is_valid()) {
            error = std::move(err);
            aborting = true;
            cancel_running();
        } else {
            s.value = std::move(value);
        }
    }
    if (wakeup.is_valid() && !call_quietly(wakeup, "done")) call_quietly(wakeup, "set_result", Py_None);
}

void Reads::cancel_running() noexcept {
    for (uint64_t id = first_id; id < first_id + slots.size(); ++id) {
        Slot &s = slot(id);
        if (s.finished || !s.task.is_valid()) continue;
        call_quietly(s.task, "cancel");
        if (s.started) continue;  // the read reports its end itself
        // A task cancelled before its first step never runs the read: the
        // coroutine is closed unstarted, so the read is over when the task is.
        // The awaitable it was given is closed now, as throwing into it would
        // have done (a coroutine warns otherwise).
        close_unstarted(std::exchange(s.pending, nb::object()));
        try {
            std::shared_ptr<Reads> self = shared_from_this();
            s.task.attr("add_done_callback")(nb::cpp_function(
                [self, id](nb::handle) { self->finished(id, nb::object(), nb::object()); }));
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(s.task);
        }
    }
}

int Reads::traverse(visitproc visit, void *arg) const {
    for (const Slot &s : slots) {
        Py_VISIT(s.pending.ptr());
        Py_VISIT(s.task.ptr());
        Py_VISIT(s.value.ptr());
    }
    Py_VISIT(loop.ptr());
    Py_VISIT(wakeup.ptr());
    Py_VISIT(error.ptr());
    return 0;
}

}  // namespace detail

InFlight::InFlight(size_t width) : width_(width ? width : 1) { attach(); }

int InFlight::traverse(visitproc visit, void *arg) const { return reads_ ? reads_->traverse(visit, arg) : 0; }

InFlight::~InFlight() {
    if (!reads_) {
        detach();
        return;
    }
    // Normally nothing runs any more; after a close the reads were cancelled
    // already. Either way no callback of this body may run from now on.
    detail::Reads &r = *reads_;
    if (!r.aborting) {
        r.aborting = true;
        r.cancel_running();
    }
    // The tasks are let go: a running one is kept by its loop, and one that
    // will never run again (its loop is gone) must not keep the state alive
    // through its read, where the collector cannot see it.
    for (detail::Slot &s : r.slots) {
        s.done = nullptr;
        s.task = nb::object();
    }
    detach();  // before the state goes, which may run the collector
}

Task<> InFlight::start(nb::object awaitable, Done done) {
    nb::object pending = awaitable;
    return start_body(await_body(std::move(awaitable)), std::move(done), std::move(pending));
}

Task<> InFlight::start_body(Body read, Done done, nb::object pending) {
    if (!reads_) {
        reads_ = std::make_shared<detail::Reads>();
        reads_->width = width_;
    }
    detail::Reads &r = *reads_;
    bool refused = true;  // a read refused is closed (the C++ one by destruction)
    try {
        deliver();
        while (r.running >= r.width) {
            co_await wait();
            deliver();
        }
        if (!r.loop.is_valid()) r.loop = nb::module_::import_("asyncio").attr("get_running_loop")();
        refused = false;
    } catch (...) {
        if (refused) close_unstarted(std::move(pending));
        throw;
    }
    uint64_t id = r.first_id + r.slots.size();
    r.slots.push_back(detail::Slot{std::move(done), std::move(pending)});
    ++r.running;
    nb::object coro = make_coroutine(read_name(), run_read(reads_, id, std::move(read)));
    try {
        nb::object task = r.loop.attr("create_task")(coro);
        if (!r.slot(id).finished) r.slot(id).task = std::move(task);  // (an eager task may be done)
    } catch (nb::python_error &) {
        close_unstarted(std::exchange(r.slots.back().pending, nb::object()));
        close_unstarted(coro);
        r.slots.pop_back();
        --r.running;
        throw;
    }
}

void InFlight::deliver() {
    if (!reads_) return;
    detail::Reads &r = *reads_;
    if (r.error.is_valid()) raise_again(r.error);
    while (!r.slots.empty() && r.slots.front().finished) {
        detail::Slot s = std::move(r.slots.front());
        r.slots.pop_front();
        ++r.first_id;
        s.done(std::move(s.value));
    }
}

Task<> InFlight::wait() {
    detail::Reads &r = *reads_;
    r.wakeup = r.loop.attr("create_future")();
    std::optional<nb::python_error> err;
    try {
        co_await await_(r.wakeup);
    } catch (nb::python_error &e) {
        err.emplace(std::move(e));
    }
    r.wakeup = nb::object();
    if (err) throw std::move(*err);
}

Task<> InFlight::finish() {
    deliver();
    while (!reads_->slots.empty()) {
        co_await wait();
        deliver();
    }
}

Task<> InFlight::abort(std::exception_ptr failure) {
    nb::object error = nb::steal(error_from_exception(failure));
    if (!reads_) raise_again(error);
    detail::Reads &r = *reads_;
    // A read that failed first wins over an ordinary error of the body; the
    // operation being stopped (cancelled, interrupted) wins over everything.
    if (r.error.is_valid() && PyErr_GivenExceptionMatches(error.ptr(), PyExc_Exception))
        error = r.error;
    if (!r.aborting) {
        r.aborting = true;
        r.cancel_running();
    }
    if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_GeneratorExit)) raise_again(error);
    while (r.running > 0) {
        try {
            co_await wait();
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_GeneratorExit)) throw;
            error = nb::borrow(e.value());
        }
    }
    raise_again(error);
}

}  // namespace kestrel
