// What every operation body shares: text building, error raising, driver
// calls, `async with`, the session and transaction frame, the access check,
// calls between operations, and the names of a managed collection.
#pragma once

#include "bridge.hpp"
#include "methods.hpp"
#include "objects.hpp"
#include "oplog.hpp"
#include "turns.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kestrel {

// ---------------------------------------------------------------------------
// Text

inline nb::str to_text(nb::handle h) {
    return PyUnicode_CheckExact(h.ptr()) ? nb::borrow<nb::str>(h) : nb::str(h);
}
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
template <size_t N> nb::str text_of(const char (&literal)[N]) { return to_text(literal); }
inline nb::str text_of(const char *s) { return nb::str(s); }
inline nb::str text_of(nb::handle h) { return nb::str(h); }
template <class... P> nb::str text_of(const Message<P...> &m) {
    return std::apply([](const auto &...p) { return cat(text_of(p)...); }, m.pieces);
}

// ---------------------------------------------------------------------------
// Errors

// raise <type>(message), from `cause` when one is given
[[noreturn]] void raise_error(PyObject *type, nb::handle message, const nb::python_error *cause = nullptr);
// raise RuntimeError(message)
[[noreturn]] void raise_runtime(nb::handle message);
// raise RuntimeError(message) from cause
[[noreturn]] void raise_from(nb::handle message, const nb::python_error &cause);
// raise RuntimeError(message) from None, with no context either
[[noreturn]] void raise_suppressed(nb::handle message);
// Is the error an `Exception` (not cancellation, GeneratorExit, exit or interrupt)?
inline bool is_exception(const nb::python_error &e) { return e.matches(PyExc_Exception); }

// ---------------------------------------------------------------------------
// Driver calls: call the method and await the result, as Python's `await`
// does (a result that is not awaitable fails with TypeError).

namespace detail {
// What a call keeps of an argument until it returns: a Python object is held
// as such, anything else (a text literal, a keyword) as it is.
template <class A>
using call_arg_t = std::conditional_t<std::is_base_of_v<nb::object, std::remove_cvref_t<A>>, nb::object,
                                      std::decay_t<A>>;
// A temporary Python object given to a call is released once the call
// returns: it would otherwise stay alive while the result is awaited, unseen
// by the garbage collector. Named objects stay as they are.
template <class A> void release_temporary(A &&a) noexcept {
    if constexpr (!std::is_lvalue_reference_v<A> && std::is_base_of_v<nb::object, std::remove_cvref_t<A>>) {
        std::remove_cvref_t<A> gone(std::move(a));
    }
}
}  // namespace detail

// obj.method(args...) without awaiting; `method` is a literal. Python
// objects go straight through vectorcall (no bound method is made); texts,
// numbers or keyword arguments among them go through nanobind's call.
template <class... A> [[gnu::always_inline]] inline nb::object invoke(nb::handle obj, const char *method, A &&...args) {
    if constexpr ((std::is_base_of_v<nb::handle, std::remove_cvref_t<A>> && ...)) {
        // A free slot in front lets a bound call put `self` there.
        PyObject *stack[] = {nullptr, obj.ptr(), args.ptr()...};
        PyObject *result = call_method(method, stack + 1, 1 + sizeof...(A));
        (detail::release_temporary(std::forward<A>(args)), ...);
        return steal_or_throw(result);
    } else {
        std::tuple<detail::call_arg_t<A>...> taken(std::forward<A>(args)...);
        return std::apply([&](auto &...a) { return obj.attr(interned(method))(a...); }, taken);
    }
}

template <class... A> [[gnu::always_inline]] inline Await driver(nb::handle obj, const char *method, A &&...args) {
    return await_(invoke(obj, method, std::forward<A>(args)...));
}

// `start_session` and `start_transaction`, the two calls that differ between
// the clients: Motor's session start and PyMongo's transaction start must be
// awaited, the other client returns the value itself. Either is taken.
[[gnu::always_inline]] inline Await session_call(nb::handle obj, const char *method) {
    return maybe_await(invoke(obj, method));
}

// Every document of a cursor, read with `async for`.
Task<nb::list> read_all(nb::handle cursor);

// Like `async for item in cursor`: `while (co_await next_item(it, item))`
// binds the next item and gives true, or gives false at the end (leaving
// `item` as it was). `it` comes from `aiter(cursor)`.
nb::object aiter(nb::handle cursor);
NextItem next_item(nb::handle it, nb::object &item);

// ---------------------------------------------------------------------------
// async with

// f(args...), all of them Python objects.
template <class... A> [[gnu::always_inline]] inline nb::object call(nb::handle f, const A &...args) {
    PyObject *stack[] = {nullptr, args.ptr()...};  // a free slot in front, as for driver calls
    return steal_or_throw(vectorcall(f.ptr(), stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET));
}
// The same for a Python function `f`.
template <class... A> [[gnu::always_inline]] inline nb::object call_python(nb::handle f, const A &...args) {
    PyObject *stack[] = {nullptr, args.ptr()...};
    return steal_or_throw(call_function(f.ptr(), stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

// One `async with mgr` statement, its two ends looked up as Python looks up
// special methods: on the type, bound to `mgr` by the descriptor protocol. A
// function or method descriptor found there is kept unbound and called with
// `mgr` first, which is the same call without a bound method.
namespace detail {
// The two ends of the context managers of recent types, when both are
// functions (or method descriptors) of the type: a type whose version tag is
// unchanged has the same special methods, which its dictionaries keep alive.
// Version tags are never reused, so a type made later at the same address
// does not match. The GIL guards the table.
struct ContextMethods {
    PyTypeObject *type;
    unsigned int version;
    bool functions;            // both are Python functions
    PyObject *aenter, *aexit;  // borrowed from the type
};
extern ContextMethods context_methods[8];
inline ContextMethods &context_methods_of(PyTypeObject *tp) {
    return context_methods[(reinterpret_cast<uintptr_t>(tp) >> 6) % 8];
}
}  // namespace detail

struct AsyncContext {
    AsyncContext() = default;
    explicit AsyncContext(nb::object m) : mgr(std::move(m)) {}

    nb::object mgr;
    nb::object aexit;
    bool exit_unbound = false;
    bool exit_function = false;  // (unbound, and a Python function)

    // `__aenter__` and `__aexit__` looked up (TypeError as `async with`
    // raises it when either is missing), then `__aenter__` called: await it.
    Await enter() {
        PyTypeObject *tp = Py_TYPE(mgr.ptr());
        const detail::ContextMethods &known = detail::context_methods_of(tp);
        unsigned int version = type_version(tp);
        if (known.type == tp && known.version == version && version) [[likely]] {
            aexit = nb::borrow(known.aexit);
            exit_unbound = true;
            exit_function = known.functions;
            return await_(known.functions ? call_python(known.aenter, mgr) : call(known.aenter, mgr));
        }
        return enter_looked_up();
    }
    // `__aexit__(None, None, None)`, to await.
    Await exit_clean() {
        nb::handle none(Py_None);
        return await_(exit_call(none, none, none));
    }
    // `__aexit__(type, value, traceback)` for the error that left the block.
    nb::object exit_call(nb::handle type, nb::handle value, nb::handle tb) {
        if (exit_function) return call_python(aexit, mgr, type, value, tb);
        return exit_unbound ? call(aexit, mgr, type, value, tb) : call(aexit, type, value, tb);
    }

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(mgr.ptr());
        Py_VISIT(aexit.ptr());
        return 0;
    }

private:
    Await enter_looked_up();
};

// The exit after `err` left the block: awaits `__aexit__` with it and
// re-raises it unless the exit suppresses it, as Python's `async with` does.
Task<> exit_with(AsyncContext &context, const nb::python_error &err);

// ---------------------------------------------------------------------------
// The transaction frame. The session is opened and entered outside the
// protected region (errors there reach the caller unchanged); inside it a
// transaction is entered around the body, and any `Exception` that leaves it
// is replaced by RuntimeError(failure) caused by it. Other errors
// (cancellation, GeneratorExit, interrupts) pass through unchanged. Every
// operation in this frame completes with None: the body's result is let go.
// `failure` is a literal, a text or a message(...), built only when needed.
// Both `async with` statements live in this one task.
//
// The frame also keeps the operation's log (given to the body, which tells
// it what it did; its record is written once the session has closed
// cleanly) and, for the operations that take one, the collection's turn,
// waited for before the session is opened.

// The operation a frame runs: its name (a literal), the database and the
// collection it works on (none for the users' operations), and whether it
// takes the collection's turn.
struct OpName {
    const char *operation;
    nb::handle db_name;
    nb::handle collection_name = nb::handle();
    bool one_at_a_time = false;
};

// The error that left a block, once one has: kept where the collector sees
// it (its holder joins the root only then).
class Caught {
public:
    Caught() noexcept {}
    Caught(const Caught &) = delete;
    Caught &operator=(const Caught &) = delete;
    ~Caught() {
        if (caught_) error_.~Held();
    }
    void keep(nb::python_error &&e) {
        new (&error_) Held<nb::python_error>(std::move(e));
        caught_ = true;
    }
    explicit operator bool() const noexcept { return caught_; }
    nb::python_error &operator*() noexcept { return error_; }

private:
    union {
        Held<nb::python_error> error_;
    };
    bool caught_ = false;
};

template <class M, class F> Task<nb::object> framed(nb::handle client, M failure, OpName op, F body) {
    OpLog log(op.operation, op.db_name, op.collection_name);
    log.keep_done();
    std::optional<Held<Turn>> turn;  // only for the operations that take one
    if (op.one_at_a_time) {
        double asked = log.elapsed();
        co_await turn.emplace().take(op.db_name, op.collection_name);
        if (log) log.waited(log.elapsed() - asked);
    }
    // (No co_await inside a braced initialiser: GCC 12 gets the lifetime of
    // the temporaries there wrong, and the program crashes.)
    Held<AsyncContext> session;
    session.mgr = co_await session_call(client, "start_session");
    co_await session.enter();
    Caught leaving;  // what leaves the session's block
    try {
        Held<AsyncContext> txn;
        txn.mgr = co_await session_call(session.mgr, "start_transaction");
        co_await txn.enter();
        Caught err;  // what leaves the transaction's block
        try {
            co_await body(log);
        } catch (nb::python_error &e) {
            err.keep(std::move(e));
        }
        if (err)
            co_await exit_with(txn, *err);
        else
            co_await txn.exit_clean();
    } catch (nb::python_error &e) {
        if (!is_exception(e)) {
            leaving.keep(std::move(e));
        } else {
            try {
                raise_from(text_of(failure), e);
            } catch (nb::python_error &replaced) {
                leaving.keep(std::move(replaced));
            }
        }
    }
    if (leaving) {
        co_await exit_with(session, *leaving);  // completes only when the exit swallows it
    } else {
        co_await session.exit_clean();
        if (turn) turn->release();
        log.write_done();
    }
    co_return nb::none();
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
// values, both owned. kwargs["ids"] = value sets one (a new name goes last).
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

    int traverse(visitproc visit, void *arg) const {
        for (size_t i = 0; i < n_; ++i) Py_VISIT(values_[i]);  // (the names are texts)
        return 0;
    }

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
// `co_await call_op(name, kwargs)`: call the operation, await its coroutine.
// When the module's own operation is found under the name, its body runs in
// place, after the argument checks of the call, without a coroutine object;
// anything else found there is called as it is.
Task<nb::object> call_op(const char *name, Kwargs kwargs);
// The call alone (looked up and called now, through Python): the callee's
// awaitable, not awaited.
nb::object op_call(const char *name, const Kwargs &kwargs);
// The keyword arguments such a call starts with: client, db_name, collection_name.
Kwargs op_args(nb::handle client, nb::handle db_name, nb::handle collection_name);

// ---------------------------------------------------------------------------
// Names of a managed collection, derived by plain concatenation.

namespace names {
// The last name made with each prefix or suffix, and the text it was made
// from (held, so that no other object takes its place at that address): a
// call that gives the same text again gets the same name back. Texts only:
// the text form of anything else may change between calls.
struct Made {
    PyObject *from = nullptr;
    PyObject *name = nullptr;
};
enum Kind { Temp, Manage, Archive, Unique, Read, Write, Remove, Admin, kinds };
extern Made made[kinds];
nb::str make(Kind kind, nb::handle c);
template <Kind K> nb::str derived(nb::handle c) {
    const Made &m = made[K];
    if (m.from == c.ptr()) [[likely]]
        return nb::borrow<nb::str>(m.name);
    return make(K, c);
}

inline nb::str temp(nb::handle c) { return derived<Temp>(c); }                 // "_temp_" + C
inline nb::str manage(nb::handle c) { return derived<Manage>(c); }             // "_manage_" + C
inline nb::str archive(nb::handle c) { return derived<Archive>(c); }           // "archive_" + C
inline nb::str unique_index(nb::handle rule) { return derived<Unique>(rule); } // "_unique_" + rule
inline nb::str role_read(nb::handle c) { return derived<Read>(c); }            // C + "_R"
inline nb::str role_write(nb::handle c) { return derived<Write>(c); }          // C + "_W"
inline nb::str role_remove(nb::handle c) { return derived<Remove>(c); }        // C + "_remove"
inline nb::str role_admin(nb::handle c) { return derived<Admin>(c); }          // C + "_admin"
}  // namespace names

}  // namespace kestrel
