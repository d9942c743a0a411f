// The coroutine bridge: C++20 coroutines that await Python awaitables and are
// themselves driven by asyncio through a Python coroutine object.
//
// An operation body is a `Task<nb::object>`. Inside it, `co_await` accepts:
//   * `await_(obj)`        - await a Python awaitable (TypeError if it is not one),
//   * `maybe_await(obj)`   - await obj if it is awaitable, else take it as the value,
//   * `next_item(it)`      - one step of `async for` (see frame.hpp),
//   * another `Task<T>`    - run a C++ sub-coroutine to completion.
// Python errors travel through C++ as `nb::python_error`.
//
// The root task is owned by a `Coroutine` Python object (see bridge.cpp). An
// awaitable is sent into at once, where it is awaited, as Python's `await`
// does; one that finishes then never suspends the task. While the innermost
// task waits on one that did not finish, the root keeps that awaitable's
// iterator as its delegate and forwards send/throw/close to it the way
// `yield from` does.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace kestrel {

namespace nb = nanobind;

// State shared by every task of one operation call, owned by the Python
// coroutine object that drives the root task.
struct RootState {
    PyObject *delegate = nullptr;          // iterator currently awaited (strong)
    std::coroutine_handle<> waiter;        // task suspended on `delegate`
    PyObject *yielded = nullptr;           // what `delegate` yielded, to pass up (strong)
    PyObject *value = nullptr;             // result handed to `waiter` (strong)
    PyObject *error = nullptr;             // exception handed to `waiter` (strong)
};

// Memory for task frames. While an operation call runs (and while its root
// task is made), its frames come from the arena of that call: a stack of
// blocks in chunks recycled from call to call, so that one call costs no
// allocation per frame. Frames are released in about the order they were made;
// a block released out of order is reclaimed once those above it are. Frames
// made outside any call come from the heap.
void *frame_allocate(std::size_t size);
void frame_release(void *frame) noexcept;

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

struct Await {
    enum Mode : unsigned char {
        Strict,  // must be awaitable
        Maybe,   // awaited when awaitable, else the value itself
        Next,    // the awaitable of `__anext__`: StopAsyncIteration gives an
                 // invalid object (the end of the loop) instead of an error;
                 // an invalid `obj` is that end already reached
    };
    nb::object obj;
    Mode mode;
};

// `co_await await_(x)`: x must be awaitable, as after Python's `await`.
inline Await await_(nb::object obj) { return {std::move(obj), Await::Strict}; }
// `co_await maybe_await(x)`: the result of a driver call, awaited only when it
// is awaitable (Motor returns futures where PyMongo's async API returns
// coroutines or plain values).
inline Await maybe_await(nb::object obj) { return {std::move(obj), Await::Maybe}; }

// Awaiter for a Python awaitable.
class PyAwaiter {
public:
    PyAwaiter(RootState *root, Await a);
    PyAwaiter(PyAwaiter &&) = delete;
    ~PyAwaiter();

    bool await_ready() const noexcept { return iter_ == nullptr; }
    void await_suspend(std::coroutine_handle<> h) noexcept;
    nb::object await_resume();

private:
    RootState *root_;
    PyObject *iter_ = nullptr;     // owned until handed to the root
    PyObject *yielded_ = nullptr;  // its first yield, owned until handed to the root
    nb::object ready_value_;
    PyObject *ready_error_ = nullptr;
    Await::Mode mode_;
    bool suspended_ = false;
};

template <class T = void> class Task;

namespace detail {

struct PromiseBase {
    static void *operator new(std::size_t size) { return frame_allocate(size); }
    static void operator delete(void *frame) noexcept { frame_release(frame); }

    RootState *root = nullptr;
    std::coroutine_handle<> continuation;
    std::exception_ptr exception;

    std::suspend_always initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            auto c = h.promise().continuation;
            return c ? c : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }

    void unhandled_exception() noexcept { exception = std::current_exception(); }

    PyAwaiter await_transform(Await a) { return PyAwaiter(root, std::move(a)); }

    template <class U> auto await_transform(Task<U> &&t) noexcept;
};

template <class T> struct Promise : PromiseBase {
    std::optional<T> result;
    Task<T> get_return_object() noexcept;
    template <class V> void return_value(V &&v) { result.emplace(std::forward<V>(v)); }
    T take() {
        if (exception) std::rethrow_exception(exception);
        return std::move(*result);
    }
};

template <> struct Promise<void> : PromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() noexcept {}
    void take() {
        if (exception) std::rethrow_exception(exception);
    }
};

}  // namespace detail

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
    ~Task() { reset(); }

    void reset() noexcept {
        if (h_) std::exchange(h_, {}).destroy();
    }
    handle_type handle() const noexcept { return h_; }
    handle_type release() noexcept { return std::exchange(h_, {}); }
    explicit operator bool() const noexcept { return bool(h_); }

    // Awaiting a task from another task: run it, then resume the awaiting one.
    struct Awaiter {
        handle_type h;
        bool await_ready() const noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
            h.promise().root = parent.promise().root;
            h.promise().continuation = parent;
            return h;
        }
        T await_resume() { return h.promise().take(); }
    };

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

// The awaited task lives as a temporary of the awaiting expression, so it
// outlives its awaiter; keep it alive by holding it inside the awaiter.
template <class U> struct OwningTaskAwaiter : Task<U>::Awaiter {
    Task<U> task;
    explicit OwningTaskAwaiter(Task<U> &&t) noexcept
        : Task<U>::Awaiter{t.handle()}, task(std::move(t)) {}
};

template <class U> auto PromiseBase::await_transform(Task<U> &&t) noexcept {
    return OwningTaskAwaiter<U>(std::move(t));
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

// Register the coroutine type with the module being initialised.
void init_bridge(nb::module_ &m);

}  // namespace kestrel
