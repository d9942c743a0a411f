// The coroutine bridge: C++20 coroutines that await Python awaitables and are
// themselves driven by asyncio through a Python coroutine object.
//
// An operation body is a `Task<nb::object>`. Inside it, `co_await` accepts:
//   * `await_(obj)`          - await a Python awaitable (TypeError if it is not one),
//   * `maybe_await(obj)`     - await obj if it is awaitable, else take it as the value,
//   * `next_item(it, item)`  - one step of `async for` (see frame.hpp),
//   * another `Task<T>`      - run a C++ sub-coroutine to completion.
// Python errors travel through C++ as `nb::python_error`. The Python objects a
// body keeps across its awaits live in `Held` locals (holders.hpp), which the
// coroutine object shows to the garbage collector.
//
// The root task is owned by a `Coroutine` Python object (see coroutine.cpp). An
// awaitable is sent into at once, where it is awaited, as Python's `await`
// does; one that finishes then never suspends the task. While the innermost
// task waits on one that did not finish, the root keeps that awaitable's
// iterator as its delegate and forwards send/throw/close to it the way
// `yield from` does.
#pragma once

#include "holders.hpp"

#include <nanobind/nanobind.h>

#include <concepts>
#include <coroutine>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace kestrel {

namespace nb = nanobind;


// Memory for task frames, by size: a frame released is kept for the next
// frame of its size, so that the tasks of a call cost no allocation once the
// first calls have run. Only ever used with the GIL held. Released frames
// are kept by size class (a multiple of `frame_grain` bytes), each class a
// list threaded through the frames themselves, at most `max_kept` long;
// larger frames come from the heap each time. In a sanitised build every
// frame comes from the heap, so that the sanitiser sees each one's lifetime.
namespace detail {
constexpr std::size_t frame_grain = 64;
constexpr std::size_t frame_classes = 64;  // up to 4 KiB
constexpr unsigned max_kept = 64;
struct KeptFrame {
    KeptFrame *next;
};
struct KeptFrames {
    KeptFrame *first = nullptr;
    unsigned count = 0;
};
extern KeptFrames kept_frames[frame_classes];
}  // namespace detail

inline void *frame_allocate(std::size_t size) {
#ifndef KESTREL_SANITIZE
    std::size_t c = (size - 1) / detail::frame_grain;
    if (c < detail::frame_classes) {
        detail::KeptFrames &kept = detail::kept_frames[c];
        if (detail::KeptFrame *f = kept.first) [[likely]] {
            kept.first = f->next;
            --kept.count;
            return f;
        }
        return ::operator new((c + 1) * detail::frame_grain);
    }
#endif
    return ::operator new(size);
}

inline void frame_release(void *frame, std::size_t size) noexcept {
#ifndef KESTREL_SANITIZE
    std::size_t c = (size - 1) / detail::frame_grain;
    if (c < detail::frame_classes) {
        detail::KeptFrames &kept = detail::kept_frames[c];
        if (kept.count < detail::max_kept) [[likely]] {
            kept.first = new (frame) detail::KeptFrame{kept.first};
            ++kept.count;
            return;
        }
        ::operator delete(frame, (c + 1) * detail::frame_grain);
        return;
    }
#endif
    ::operator delete(frame, size);
}

// f(*args) for a Python function `f`, through its own vectorcall.
inline PyObject *call_function(PyObject *f, PyObject *const *args, size_t nargsf) {
    return reinterpret_cast<PyFunctionObject *>(f)->vectorcall(f, args, nargsf, nullptr);
}

// f(*args), through f's vectorcall function when it has one: the call the
// interpreter makes, without the result checks PyObject_Vectorcall adds (a
// result and an error together, or neither, which the callers here treat as
// failures anyway).
inline PyObject *vectorcall(PyObject *f, PyObject *const *args, size_t nargsf) {
    if (PyFunction_Check(f)) [[likely]]
        return call_function(f, args, nargsf);
    PyTypeObject *tp = Py_TYPE(f);
    if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_VECTORCALL)) {
        vectorcallfunc call;
        std::memcpy(&call, reinterpret_cast<char *>(f) + tp->tp_vectorcall_offset, sizeof call);
        if (call) return call(f, args, nargsf, nullptr);
    }
    return PyObject_Vectorcall(f, args, nargsf, nullptr);
}

// The result of sending `arg` into `it`, as PyIter_Send gives it.
inline PySendResult send_into(PyObject *it, PyObject *arg, PyObject **out) {
    PyAsyncMethods *am = Py_TYPE(it)->tp_as_async;
    if (am && am->am_send) return am->am_send(it, arg, out);
    return PyIter_Send(it, arg, out);
}

// Take the pending Python error as one normalised exception object (owned).
PyObject *fetch_error() noexcept;
// Make `exc` (stolen) the pending Python error again.
void restore_error(PyObject *exc) noexcept;
// Raise the pending Python error as a C++ exception.
[[noreturn]] void throw_pending();
// The error a coroutine's caller sees when `exc` (stolen) escapes it: a
// StopIteration would end the caller's iteration silently, so Python turns it
// into a RuntimeError (caused by it); anything else as it is. Owned.
PyObject *escaped_error(PyObject *exc) noexcept;
// Store a C++ exception that escaped a task as a Python error object (owned).
PyObject *error_from_exception(std::exception_ptr e) noexcept;

// What `co_await` is given: an awaitable, awaited at once. It is made only
// as the operand of a `co_await` (by the functions below), whose awaiter
// takes the reference it owns first thing; nothing else ever lets go of it.
struct [[nodiscard]] Await {
    enum Mode : unsigned char {
        Strict,  // must be awaitable
        Maybe,   // awaited when awaitable, else the value itself
        Next,    // the awaitable of `__anext__`: StopAsyncIteration gives an
                 // invalid object (the end of the loop) instead of an error;
                 // a null `obj` is that end already reached
    };
    PyObject *obj;  // owned, until the awaiter takes it
    Mode mode;
};

// `co_await await_(x)`: x must be awaitable, as after Python's `await`.
inline Await await_(nb::object obj) { return {obj.release().ptr(), Await::Strict}; }
// `co_await maybe_await(x)`: x awaited only when it is awaitable, for the
// driver calls that differ between the clients (Motor returns futures where
// PyMongo's async API returns plain values, and the other way round).
inline Await maybe_await(nb::object obj) { return {obj.release().ptr(), Await::Maybe}; }

// Awaiter for a Python awaitable: sends into it at once, as `await` does;
// suspends the task only when it yields. Its outcome is taken once, by
// `await_resume`, which always follows a construction that did not suspend.
class PyAwaiter {
public:
    PyAwaiter(RootState *root, Await &&a) {
        // Taken from `a`, which (as a temporary of the awaiting expression)
        // lives until the await is over, unseen by the collector: while
        // suspended, the awaited object is reached through the root's delegate.
        PyObject *obj = a.obj;
        if (obj && PyCoro_CheckExact(obj)) [[likely]] {
            // A native coroutine is its own best delegate (it has am_send).
            PyObject *out = nullptr;
            PySendResult s = PyCoro_Type.tp_as_async->am_send(obj, Py_None, &out);
            if (s == PYGEN_RETURN) [[likely]] {
                // Finished at once: only the result is ever read. (Stored
                // after the release, so that the await reads what it stored.)
                Py_DECREF(obj);
                result_ = out;
                suspending_ = false;
                return;
            }
            begin(root, a.mode);
            sent(obj, s, out);
        } else {
            begin(root, a.mode);
            start(obj);
        }
    }
    PyAwaiter(PyAwaiter &&) = delete;

    bool await_ready() const noexcept { return !suspending_; }
    void await_suspend(std::coroutine_handle<> h) noexcept { root_->waiter = h; }
    nb::object await_resume() {
        if (result_) [[likely]]
            return nb::steal(std::exchange(result_, nullptr));
        return resume_slow();
    }

private:
    void begin(RootState *root, Await::Mode mode) noexcept {
        root_ = root;
        result_ = error_ = nullptr;
        mode_ = mode;
        suspending_ = false;
    }
    void start(PyObject *obj);
    void sent(PyObject *it, PySendResult s, PyObject *out);
    nb::object resume_slow();

    // (Set by `begin`, but for an awaitable that finished at once, which sets
    // only `result_` and `suspending_`.)
    RootState *root_;
    PyObject *result_;     // the value it gave without suspending (owned until taken)
    PyObject *error_;      // the error it raised without suspending (owned until taken)
    Await::Mode mode_;
    bool suspending_;      // it yielded: the root holds it as the delegate
};

// One step of `async for`: the awaitable of `__anext__` (mode Next) and where
// the item goes. Awaiting it gives true with the item bound, or false at the
// end of the iteration (the item left as it was).
struct NextItem {
    Await next;
    nb::object *item;
};

class NextAwaiter : public PyAwaiter {
public:
    NextAwaiter(RootState *root, NextItem n) : PyAwaiter(root, std::move(n.next)), item_(n.item) {}
    bool await_resume() {
        nb::object value = PyAwaiter::await_resume();
        if (!value.is_valid()) return false;
        *item_ = std::move(value);
        return true;
    }

private:
    nb::object *item_;
};

template <class T = void> class Task;

// Where a task's outcome goes: its result, or the error that left it. The
// task's frame is gone once it has finished; whoever started it keeps this.
template <class T> struct Outcome {
    std::optional<T> result;
    std::exception_ptr error;
    bool finished = false;
    T take() {
        if (error) std::rethrow_exception(error);
        return std::move(*result);
    }
};
template <> struct Outcome<void> {
    std::exception_ptr error;
    bool finished = false;
    void take() {
        if (error) std::rethrow_exception(error);
    }
};

namespace detail {

struct PromiseBase {
    static void *operator new(std::size_t size) { return frame_allocate(size); }
    static void operator delete(void *frame, std::size_t size) noexcept { frame_release(frame, size); }

    RootState *root;                       // set by whoever starts the task
    std::coroutine_handle<> continuation;  // the task that suspended awaiting this one

    std::suspend_always initial_suspend() noexcept { return {}; }

    PyAwaiter await_transform(Await &&a) { return PyAwaiter(root, std::move(a)); }
    NextAwaiter await_transform(NextItem n) { return NextAwaiter(root, std::move(n)); }

    template <class U> auto await_transform(Task<U> &&t) noexcept;
};

// A task that finishes does not suspend: its frame goes at once, and the
// task that suspended awaiting it (if any) is resumed next by whoever
// resumed this one (see `run_tasks`).
template <class T> struct PromiseOf : PromiseBase {
    Outcome<T> *outcome;  // set by whoever starts the task

    void unhandled_exception() noexcept { outcome->error = std::current_exception(); }
    std::suspend_never final_suspend() noexcept {
        outcome->finished = true;
        if (continuation) root->next = continuation;
        return {};
    }
};

template <class T> struct Promise : PromiseOf<T> {
    Task<T> get_return_object() noexcept;
    template <class V> void return_value(V &&v) { this->outcome->result.emplace(std::forward<V>(v)); }
};

template <> struct Promise<void> : PromiseOf<void> {
    Task<void> get_return_object() noexcept;
    void return_void() noexcept {}
};

}  // namespace detail

// Resume `h`, then each task whose awaited task finished meanwhile, until
// the tasks of the root all wait or the root task has finished.
inline void run_tasks(RootState &root, std::coroutine_handle<> h) {
    h.resume();
    while (root.next) std::exchange(root.next, {}).resume();
}

template <class T> class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise<T>;
    using handle_type = std::coroutine_handle<promise_type>;

    Task() = default;
    explicit Task(handle_type h) noexcept : h_(h) {}
    Task(Task &&o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task &operator=(Task &&o) noexcept {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    Task(const Task &) = delete;
    // (A task that has not finished: one that finished is gone already, and
    // its owner lets go of the handle.)
    ~Task() { reset(); }

    void reset() noexcept {
        if (h_) std::exchange(h_, {}).destroy();
    }
    handle_type handle() const noexcept { return h_; }
    handle_type release() noexcept { return std::exchange(h_, {}); }
    explicit operator bool() const noexcept { return bool(h_); }

private:
    handle_type h_;
};

namespace detail {

template <class T> Task<T> Promise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

// Awaiting a task from another task: the task runs at once, inside the
// await, until it finishes or waits on a Python awaitable that yielded. One
// that finished gives its outcome without the awaiting task ever suspending;
// one that waits has the awaiting task resumed when it finishes. The awaiter
// holds the task (a temporary of the awaiting expression) and its outcome.
template <class U> struct TaskAwaiter {
    Task<U> task;
    RootState *root;
    Outcome<U> outcome;

    bool await_ready() noexcept {
        auto &p = task.handle().promise();
        p.root = root;
        p.outcome = &outcome;
        task.handle().resume();
        if (!outcome.finished) return false;
        task.release();  // (its frame is gone)
        return true;
    }
    void await_suspend(std::coroutine_handle<> parent) noexcept { task.handle().promise().continuation = parent; }
    U await_resume() {
        task.release();  // resumed only once it has finished
        return outcome.take();
    }
};

template <class U> auto PromiseBase::await_transform(Task<U> &&t) noexcept {
    return TaskAwaiter<U>{std::move(t), root, {}};
}

}  // namespace detail

using Body = Task<nb::object>;

// The checked arguments of one call, in parameter order (defaults filled in).
class Args {
public:
    explicit Args(PyObject *const *items) : items_(items) {}
    nb::handle operator[](size_t i) const { return items_[i]; }

private:
    PyObject *const *items_;
};

constexpr size_t max_args = 8;

// A new Python coroutine object named `qualname` whose root task is
// `start(args)`. The object keeps its own references to the `n` arguments
// (visible to the garbage collector) for as long as it lives; `Args` refers
// to those.
nb::object make_coroutine(nb::handle qualname, PyObject *const *args, size_t n, Body (*start)(Args));
// The same for a root task made already, that takes no arguments.
nb::object make_coroutine(nb::handle qualname, Body task);

// Register the coroutine type with the module being initialised.
void init_bridge(nb::module_ &m);

}  // namespace kestrel
