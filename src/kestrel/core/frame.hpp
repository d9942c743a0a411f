// What every operation body shares: text building, error raising, driver
// calls, `async with`, the session and transaction frame, the access check,
// calls between operations, and the names of a managed collection.
#pragma once

#include "bridge.hpp"
#include "objects.hpp"

#include <algorithm>
#include <string>
#include <tuple>
#include <type_traits>

namespace kestrel {

// ---------------------------------------------------------------------------
// Text

inline nb::str to_text(nb::handle h) { return nb::str(h); }
// A literal is made into a Python string once (interned) and reused.
template <size_t N> nb::str to_text(const char (&literal)[N]) {
    return nb::borrow<nb::str>(interned(literal));
}
inline nb::str to_text(const nb::str &s) { return s; }

nb::str concat(nb::handle a, nb::handle b);

// cat("Can not drop '", name, "'!"): the text form of every piece, joined.
template <class P, class... Rest> nb::str cat(const P &first, const Rest &...rest) {
    nb::str out = to_text(first);
    ((out = concat(out, to_text(rest))), ...);
    return out;
}

// A failure message, built only when the failure happens: message("Can not
// drop '", name, "'!") keeps the pieces (literals and borrowed names) and
// text_of() joins them as cat() does.
template <class... P> struct Message {
    std::tuple<P...> pieces;
};
template <class... P> Message<std::decay_t<const P>...> message(const P &...pieces) {
    return {{pieces...}};
}
inline nb::str text_of(const nb::str &s) { return s; }
inline nb::str text_of(const char *s) { return nb::str(s); }
inline nb::str text_of(nb::handle h) { return nb::str(h); }
template <class... P> nb::str text_of(const Message<P...> &m) {
    return std::apply([](const auto &...p) { return cat(text_of(p)...); }, m.pieces);
}

// ---------------------------------------------------------------------------
// Errors

// raise RuntimeError(message)
[[noreturn]] void raise_runtime(nb::handle message);
// raise RuntimeError(message) from cause
[[noreturn]] void raise_from(nb::handle message, const nb::python_error &cause);
// raise RuntimeError(message) from None, with no context either
[[noreturn]] void raise_suppressed(nb::handle message);
// Is the error an `Exception` (not cancellation, GeneratorExit, exit or interrupt)?
inline bool is_exception(const nb::python_error &e) { return e.matches(PyExc_Exception); }

// ---------------------------------------------------------------------------
// Driver calls: call the method, await the result when it is awaitable.

// obj.method(args...) without awaiting; `method` is a literal.
template <class... A> nb::object invoke(nb::handle obj, const char *method, A &&...args) {
    if constexpr ((std::is_base_of_v<nb::handle, std::decay_t<A>> && ...)) {
        // A free slot in front lets a bound call put `self` there.
        PyObject *stack[] = {nullptr, obj.ptr(), args.ptr()...};
        return steal_or_throw(PyObject_VectorcallMethod(
            interned(method).ptr(), stack + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
            nullptr));
    } else {  // texts, numbers or keyword arguments among them
        return obj.attr(interned(method))(std::forward<A>(args)...);
    }
}

template <class... A> Await driver(nb::handle obj, const char *method, A &&...args) {
    return maybe_await(invoke(obj, method, std::forward<A>(args)...));
}

// Every document of a cursor, read with `async for`.
Task<nb::list> read_all(nb::object cursor);

// Like `async for item in cursor`: `co_await next_item(it)` gives the next item,
// or an invalid object at the end. `it` comes from `aiter(cursor)`.
nb::object aiter(nb::handle cursor);
Await next_item(nb::handle it);

// ---------------------------------------------------------------------------
// async with

// f(args...), all of them Python objects.
template <class... A> nb::object call(nb::handle f, const A &...args) {
    PyObject *stack[] = {nullptr, args.ptr()...};  // a free slot in front, as for driver calls
    return steal_or_throw(PyObject_Vectorcall(
        f.ptr(), stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// getattr(type(obj), name) for a special method (`name` a literal), to be
// called with `obj` as its first argument.
nb::object special_method(nb::handle obj, const char *name);

// Calls `__aexit__` with the error that left the body (or three Nones) and
// re-raises it unless the exit suppresses it, as Python's `async with` does.
Task<nb::object> exit_with(nb::handle mgr, nb::handle aexit, const nb::python_error *err);

// The two ends of `async with mgr`, for frames that hold them in one task:
// `co_await enter()` looks up `__aenter__` and `__aexit__` on the type, as
// Python does, and awaits `__aenter__`; `co_await exit_clean()` awaits
// `__aexit__(None, None, None)`; after an error, `co_await exit_with(mgr,
// aexit, &error)`.
struct AsyncContext {
    nb::object mgr;
    nb::object aexit;

    Await enter() {
        nb::object aenter = special_method(mgr, "__aenter__");
        aexit = special_method(mgr, "__aexit__");
        return await_(call(aenter, mgr));
    }
    Await exit_clean() {
        nb::handle none(Py_None);
        return await_(call(aexit, mgr, none, none, none));
    }
};

// `body` takes the value of `__aenter__` and gives the task to run inside.
template <class F> Task<nb::object> async_with(nb::object mgr, F body) {
    AsyncContext context{std::move(mgr)};
    nb::object value = co_await context.enter();
    nb::object result;
    std::optional<nb::python_error> err;
    try {
        result = co_await body(value);
    } catch (nb::python_error &e) {
        err.emplace(std::move(e));
    }
    if (err)
        co_await exit_with(context.mgr, context.aexit, &*err);
    else
        co_await context.exit_clean();
    co_return result;
}

// ---------------------------------------------------------------------------
// The transaction frame. The session is opened and entered outside the
// protected region (errors there reach the caller unchanged); inside it a
// transaction is entered around the body, and any `Exception` that leaves it
// is replaced by RuntimeError(failure) caused by it. Other errors
// (cancellation, GeneratorExit, interrupts) pass through unchanged.
// `failure` is a text, a literal or a message(...), built only when needed.
// Both `async with` blocks live in this one task (no task per block).
template <class M, class F> Task<nb::object> framed(nb::handle client, M failure, F body) {
    // (No co_await inside a braced initialiser: GCC 12 gets the lifetime of
    // the temporaries there wrong, and the program crashes.)
    nb::object started = co_await driver(client, "start_session");
    AsyncContext session{std::move(started)};
    co_await session.enter();
    nb::object result = nb::none();  // stays None when an exit suppresses an error
    std::optional<nb::python_error> leaving;  // what leaves the session's block
    try {
        nb::object transaction = co_await driver(session.mgr, "start_transaction");
        AsyncContext txn{std::move(transaction)};
        co_await txn.enter();
        std::optional<nb::python_error> err;  // what leaves the transaction's block
        try {
            result = co_await body();
        } catch (nb::python_error &e) {
            err.emplace(std::move(e));
        }
        if (err)
            co_await exit_with(txn.mgr, txn.aexit, &*err);
        else
            co_await txn.exit_clean();
    } catch (nb::python_error &e) {
        if (!is_exception(e)) {
            leaving.emplace(std::move(e));
        } else {
            try {
                raise_from(text_of(failure), e);
            } catch (nb::python_error &replaced) {
                leaving.emplace(std::move(replaced));
            }
        }
    }
    if (leaving) {
        co_await exit_with(session.mgr, session.aexit, &*leaving);
        co_return nb::none();
    }
    co_await session.exit_clean();
    co_return result;
}

// ---------------------------------------------------------------------------
// The access check: is `db_name` among the client's databases and
// `under_test` among the database's collections? Gives the database handle.
// A name missing from a listing raises "can not access '<name>'!" with its
// context suppressed. When a listing itself fails with an Exception (for
// example the user may not list databases), the check is skipped and the
// handle taken unchecked; cancellation and other non-Exception errors
// propagate.
Task<nb::object> access_check(nb::handle client, nb::handle db_name, nb::handle under_test);
// The same reduced to the database.
Task<nb::object> database_check(nb::handle client, nb::handle db_name);

// ---------------------------------------------------------------------------
// Calls between operations: the callee is looked up in the module's globals
// at call time and called with keyword arguments only, then awaited.

// The keyword arguments of such a call, in order: names (interned texts) and
// values. kwargs["ids"] = value sets one (a new name goes last).
class Kwargs {
public:
    Kwargs() = default;
    Kwargs(const Kwargs &o) { *this = o; }
    Kwargs(Kwargs &&o) noexcept : n_(std::exchange(o.n_, 0)) {
        std::copy(o.names_, o.names_ + n_, names_);
        std::copy(o.values_, o.values_ + n_, values_);
    }
    Kwargs &operator=(const Kwargs &o);
    Kwargs &operator=(Kwargs &&o) noexcept {
        std::swap(n_, o.n_);
        std::swap(names_, o.names_);
        std::swap(values_, o.values_);
        return *this;
    }
    ~Kwargs() { clear(); }

    void set(nb::handle name, nb::handle value);
    struct Slot {
        Kwargs &kwargs;
        nb::handle name;
        void operator=(nb::handle value) { kwargs.set(name, value); }
    };
    Slot operator[](const char *name) { return {*this, interned(name)}; }

    size_t size() const { return n_; }
    PyObject *const *names() const { return names_; }
    PyObject *const *values() const { return values_; }

private:
    void clear() noexcept;
    PyObject *names_[max_args];
    PyObject *values_[max_args];
    size_t n_ = 0;
};

// keywords("client", client, "db_name", db_name, ...), names being literals.
inline void keywords_fill(Kwargs &) {}
template <class V, class... Rest>
void keywords_fill(Kwargs &kw, const char *name, const V &value, const Rest &...rest) {
    kw[name] = value;
    keywords_fill(kw, rest...);
}
template <class... KV> Kwargs keywords(const KV &...pairs) {
    Kwargs kw;
    keywords_fill(kw, pairs...);
    return kw;
}

nb::dict module_globals();
void set_module_globals(nb::handle globals);
nb::object global(const char *name);
Task<nb::object> call_op(const char *name, Kwargs kwargs);
// The keyword arguments such a call starts with: client, db_name, collection_name.
Kwargs op_args(nb::handle client, nb::handle db_name, nb::handle collection_name);

// ---------------------------------------------------------------------------
// Names of a managed collection, derived by plain concatenation.

namespace names {
nb::str temp(nb::handle c);       // "_temp_" + C
nb::str manage(nb::handle c);     // "_manage_" + C
nb::str archive(nb::handle c);    // "archive_" + C
nb::str unique_index(nb::handle rule);  // "_unique_" + rule
nb::str role_read(nb::handle c);   // C + "_R"
nb::str role_write(nb::handle c);  // C + "_W"
nb::str role_remove(nb::handle c); // C + "_remove"
nb::str role_admin(nb::handle c);  // C + "_admin"
}  // namespace names

}  // namespace kestrel
