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

bool is_interrupt(nb::handle exc) {
    return exc.is_valid() && (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_KeyboardInterrupt) ||
                              PyErr_GivenExceptionMatches(exc.ptr(), PyExc_SystemExit));
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

// A new CancelledError, for a read that ended without running.
nb::object cancelled_error() noexcept {
    static PyObject *type = nullptr;
    if (!type) {
        PyObject *asyncio = PyImport_ImportModule("asyncio");
        if (asyncio) {
            type = PyObject_GetAttrString(asyncio, "CancelledError");  // kept for the process
            Py_DECREF(asyncio);
        }
    }
    PyObject *exc = type ? PyObject_CallNoArgs(type) : nullptr;
    if (!exc) exc = fetch_error();  // what stopped it is error enough
    return nb::steal(exc);
}

// Reports the end of one read to the shared state, however the read ends:
// with its outcome when it ran, or as cancelled when its task's coroutine was
// closed or destroyed before it could (a task cancelled before its first
// step, a loop that went away).
class ReadEnd {
public:
    ReadEnd(std::shared_ptr<detail::Reads> reads, uint64_t id) : reads_(std::move(reads)), id_(id) {}
    ReadEnd(ReadEnd &&o) noexcept : reads_(std::move(o.reads_)), id_(o.id_) {}
    ReadEnd(const ReadEnd &) = delete;
    ~ReadEnd() {
        if (!reads_) return;
        detail::Slot &s = reads_->slot(id_);
        if (!s.started) {
            s.release();  // the awaitable it was given is closed, as a throw into it would have
        }
        report(nb::object(), cancelled_error());
    }

    detail::Reads &reads() const { return *reads_; }
    uint64_t id() const { return id_; }
    void report(nb::object value, nb::object error) noexcept {
        std::shared_ptr<detail::Reads> reads = std::move(reads_);
        reads->finished(id_, std::move(value), std::move(error));
    }

private:
    std::shared_ptr<detail::Reads> reads_;
    uint64_t id_;
};

// The read itself, as the task runs it: it takes its subject out of the
// shared state, runs, and hands its outcome, error or result, back; the task
// always ends normally.
Body run_read(ReadEnd end) {
    detail::Slot &slot = end.reads().slot(end.id());
    slot.started = true;
    Runner run = slot.run;
    Held<> subject = std::move(slot.subject);
    nb::object value, error;
    if (!subject.is_valid() || end.reads().let_go) {
        error = cancelled_error();  // the operation let go of it before it ran
    } else {
        try {
            value = co_await run(subject);
        } catch (nb::python_error &e) {
            error = nb::borrow(e.value());
        } catch (...) {
            error = nb::steal(error_from_exception(std::current_exception()));
        }
    }
    subject = nb::object();
    end.report(std::move(value), std::move(error));
    co_return nb::none();
}

}  // namespace

Body await_subject(nb::handle awaitable) { co_return co_await await_(nb::borrow(awaitable)); }

namespace detail {

void Slot::release() noexcept {
    nb::object gone = std::move(subject);
    if (run == await_subject && !started) close_unstarted(std::move(gone));
    gone = nb::object();
    context = nb::object();
    task = nb::object();
    value = nb::object();
}

void Reads::finished(uint64_t id, nb::object value, nb::object err) noexcept {
    Slot &s = slot(id);
    if (s.finished) return;
    s.finished = true;
    --running;
    s.task = nb::object();
    if (is_interrupt(err) && !interrupt.is_valid()) interrupt = err;
    if (!aborting && !let_go) {
        if (err.is_valid()) {
            error = std::move(err);
            aborting = true;
            cancel_running();
        } else {
            s.value = std::move(value);
        }
    }
    if (wakeup.is_valid() && !loop_closed() && !call_quietly(wakeup, "done"))
        call_quietly(wakeup, "set_result", Py_None);
}

bool Reads::loop_closed() const noexcept {
    if (!loop.is_valid()) return true;
    PyObject *r = PyObject_CallMethod(loop.ptr(), "is_closed", nullptr);
    if (!r) {
        PyErr_WriteUnraisable(loop.ptr());
        return true;
    }
    bool closed = r == Py_True;
    Py_DECREF(r);
    return closed;
}

void Reads::cancel_running() noexcept {
    // Cancelling on a closed loop would only fail: nothing runs there any more.
    if (loop_closed()) return;
    for (uint64_t id = first_id; id < first_id + slots.size(); ++id) {
        Slot &s = slot(id);
        // A task cancelled before its first step never runs the read: its
        // coroutine is closed, and the read reports its end then.
        if (!s.finished && s.task.is_valid()) call_quietly(s.task, "cancel");
    }
}

int Reads::traverse(visitproc visit, void *arg) const {
    for (const Slot &s : slots)
        if (int r = s.traverse(visit, arg)) return r;
    Py_VISIT(loop.ptr());
    Py_VISIT(wakeup.ptr());
    Py_VISIT(error.ptr());
    Py_VISIT(interrupt.ptr());
    return 0;
}

}  // namespace detail

InFlight::InFlight(size_t width) : width_(width ? width : 1) { attach(); }

int InFlight::traverse(visitproc visit, void *arg) const {
    if (int r = waiting_.traverse(visit, arg)) return r;
    return reads_ ? reads_->traverse(visit, arg) : 0;
}

InFlight::~InFlight() {
    waiting_.release();
    if (!reads_) {
        detach();
        return;
    }
    // Normally nothing runs any more; after a close the reads were cancelled
    // already. Either way no callback of this body may run from now on, and
    // what the reads still hold is let go: a read that outlives the body (its
    // loop gone, or closed while it ran) must not keep anything alive where
    // the collector cannot see it.
    detail::Reads &r = *reads_;
    if (!r.aborting) {
        r.aborting = true;
        r.cancel_running();
    }
    r.let_go = true;
    for (detail::Slot &s : r.slots) {
        s.done = nullptr;
        s.release();
    }
    r.wakeup = nb::object();
    r.error = nb::object();
    r.interrupt = nb::object();
    detach();  // before the state goes, which may run the collector
}

Task<> InFlight::start(Runner run, nb::object subject, Done done, nb::object context) {
    // Held where the collector sees it until the read's task takes it.
    waiting_.run = run;
    waiting_.subject = std::move(subject);
    waiting_.context = std::move(context);
    waiting_.done = std::move(done);
    return admit();
}

Task<> InFlight::admit() {
    if (!reads_) {
        reads_ = std::make_shared<detail::Reads>();
        reads_->width = width_;
    }
    detail::Reads &r = *reads_;
    try {
        deliver();
        while (r.running >= r.width || r.slots.size() >= 2 * r.width) {
            co_await wait();
            deliver();
        }
        if (!r.loop.is_valid()) r.loop = nb::module_::import_("asyncio").attr("get_running_loop")();
    } catch (...) {
        waiting_.release();  // refused: an awaitable is closed
        waiting_.done = nullptr;
        throw;
    }
    uint64_t id = r.first_id + r.slots.size();
    r.slots.push_back(std::move(waiting_));
    waiting_ = detail::Slot();
    ++r.running;
    // (Should making the coroutine fail, the read ends at once, as cancelled,
    // when its frame goes: the body meets that as a failed read.)
    nb::object coro = make_coroutine(read_name(), run_read(ReadEnd(reads_, id)));
    try {
        nb::object task = r.loop.attr("create_task")(coro);
        if (!r.slot(id).finished) r.slot(id).task = std::move(task);  // (an eager task may be done)
    } catch (nb::python_error &) {
        // The loop refused the task: the read never runs and is taken back.
        // It counts as finished first, so that closing its coroutine reports
        // nothing (the awaitable it was given is closed with it).
        detail::Slot &s = r.slot(id);
        s.finished = true;
        --r.running;
        call_quietly(coro, "close");
        s.release();
        r.slots.pop_back();
        throw;
    }
}

void InFlight::deliver() {
    detail::Reads &r = *reads_;
    if (r.error.is_valid()) raise_again(r.error);
    while (!r.slots.empty() && r.slots.front().finished) {
        detail::Slot s = std::move(r.slots.front());
        r.slots.pop_front();
        ++r.first_id;
        s.done(std::move(s.value), s.context);
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
    // operation being stopped (cancelled, interrupted) wins over that.
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
            if (!is_interrupt(error)) error = nb::borrow(e.value());  // an interrupt stays
        }
    }
    // And an interrupt that a read raised, even while it was being stopped,
    // wins over everything else.
    if (!is_interrupt(error) && r.interrupt.is_valid()) error = r.interrupt;
    raise_again(error);
}

}  // namespace kestrel
