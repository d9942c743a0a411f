// What every operation body shares: text building, error raising, driver
// calls, `async with`, the session and transaction frame, the access check,
// calls between operations, and the names of a managed collection.
#pragma once

#include "bridge.hpp"
#include "objects.hpp"

#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kestrel {

// ---------------------------------------------------------------------------
// Text

inline nb::str to_text(nb::handle h) { return nb::str(h); }
inline nb::str to_text(const char *s) { return nb::str(s); }
inline nb::str to_text(const nb::str &s) { return s; }

nb::str concat(nb::handle a, nb::handle b);

// cat("Can not drop '", name, "'!"): the text form of every piece, joined.
template <class... P> nb::str cat(const P &...pieces) {
    nb::str out("");
    ((out = concat(out, to_text(pieces))), ...);
    return out;
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

// An interned Python string for a C string literal, made once.
nb::handle interned(const char *literal);

// What a call keeps of an argument until it returns: a Python object is held
// as such, anything else (a text literal, a keyword) as it is.
template <class A>
using call_arg_t = std::conditional_t<std::is_base_of_v<nb::object, std::remove_cvref_t<A>>, nb::object,
                                      std::decay_t<A>>;

// The arguments are taken over and released once the method returns: a
// temporary of the awaiting expression would otherwise stay alive while the
// call is awaited, unseen by the garbage collector.
template <class... A> Await driver(nb::handle obj, const char *method, A &&...args) {
    std::tuple<call_arg_t<A>...> taken(std::forward<A>(args)...);
    return await_(std::apply([&](auto &...a) { return obj.attr(interned(method))(a...); }, taken));
}

// `start_session` and `start_transaction`, the two calls that differ between
// the clients: Motor's session start and PyMongo's transaction start must be
// awaited, the other client returns the value itself. Either is taken.
inline Await session_call(nb::handle obj, const char *method) {
    return maybe_await(obj.attr(interned(method))());
}

// Every document of a cursor, read with `async for`.
Task<nb::list> read_all(nb::object cursor);

// Like `async for item in cursor`: `while (co_await next_item(it, item))`
// binds the next item and gives true, or gives false at the end (leaving
// `item` as it was). `it` comes from `aiter(cursor)`.
nb::object aiter(nb::handle cursor);
Task<bool> next_item(nb::handle it, nb::object &item);

// ---------------------------------------------------------------------------
// async with

// Calls `__aexit__` with the error that left the body (or three Nones) and
// re-raises it unless the exit suppresses it, as Python's `async with` does.
Task<nb::object> exit_with(nb::handle mgr, nb::handle aexit, const nb::python_error *err);

// The type's `__aenter__` and `__aexit__`, or TypeError as `async with` raises it.
std::pair<nb::object, nb::object> async_context(nb::handle mgr);

// `async with mgr as value: return await body(value)`. When the exit
// suppresses the body's error, the statement completes and so does this,
// with None, as in Python.
template <class F> Task<nb::object> async_with(nb::object mgr, F body) {
    // The body gets `value` as a handle: it is held here.
    Held<> held_mgr = std::move(mgr);
    auto [aenter, aexit] = async_context(held_mgr);
    Held<> value = co_await await_(aenter(held_mgr));
    Held<> result;
    std::optional<Held<nb::python_error>> err;  // held only once there is one
    try {
        result = co_await body(value);
    } catch (nb::python_error &e) {
        err.emplace(std::move(e));
    }
    co_await exit_with(held_mgr, aexit, err ? &*err : nullptr);
    if (err) co_return nb::none();  // the exit swallowed the error
    co_return std::move(result);
}

// ---------------------------------------------------------------------------
// The transaction frame. The session is opened and entered outside the
// protected region (errors there reach the caller unchanged); inside it a
// transaction is entered around the body, and any `Exception` that leaves it
// is replaced by RuntimeError(failure) caused by it. Other errors
// (cancellation, GeneratorExit, interrupts) pass through unchanged.
template <class F> Task<nb::object> framed(nb::handle client, nb::str failure, F body) {
    Held<> session = co_await session_call(client, "start_session");
    co_return co_await async_with(session, [&](nb::handle) -> Task<nb::object> {
        try {
            Held<> txn = co_await session_call(session, "start_transaction");
            co_return co_await async_with(txn, [&](nb::handle) -> Task<nb::object> {
                co_return co_await body();
            });
        } catch (nb::python_error &e) {
            if (!is_exception(e)) throw;
            raise_from(failure, e);
        }
    });
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

nb::dict module_globals();
void set_module_globals(nb::handle globals);
nb::object global(const char *name);
// `co_await call_op(name, kwargs)`: call the operation, await its coroutine.
// The keyword arguments are released once the call is made (the callee holds
// what it needs).
Await call_op(const char *name, nb::dict kwargs);
// The call alone (looked up and called now): the callee's awaitable, not awaited.
nb::object op_call(const char *name, nb::dict kwargs);
// The keyword arguments such a call starts with: client, db_name, collection_name.
nb::dict op_args(nb::handle client, nb::handle db_name, nb::handle collection_name);

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
