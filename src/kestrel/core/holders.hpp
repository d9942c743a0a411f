// The state of one operation call that its tasks share, and the Python
// objects its running bodies hold, shown to the garbage collector through the
// coroutine object that drives the call (see bridge.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <coroutine>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace kestrel {

namespace nb = nanobind;

class Holder;

// A place in a circular list of holders. One that is in no list links to
// itself, so that leaving a list never needs a test.
struct HolderLink {
    HolderLink *prev, *next;
    HolderLink() noexcept : prev(this), next(this) {}
    // Left for `attach` to link, which it always does.
    struct Unlinked {};
    explicit HolderLink(Unlinked) noexcept {}
    HolderLink(const HolderLink &) = delete;
    HolderLink &operator=(const HolderLink &) = delete;
};

// State shared by every task of one operation call, owned by the Python
// coroutine object that drives the root task.
struct RootState {
    PyObject *delegate = nullptr;          // iterator currently awaited (strong)
    std::coroutine_handle<> waiter;        // task suspended on `delegate`
    PyObject *yielded = nullptr;           // what `delegate` yielded, to pass up (strong)
    PyObject *value = nullptr;             // result handed to `waiter` (strong)
    PyObject *error = nullptr;             // exception handed to `waiter` (strong)
    std::coroutine_handle<> next;          // to resume once the running task returns (see run_tasks)
    HolderLink holders;                    // what the running body holds
    unsigned operations = 0;               // operation bodies running in this call
    int log_level = 0;                     // the lowest level their logger takes, as the first asked

    inline int traverse_holders(visitproc visit, void *arg) const;
};

// The root being resumed on this thread (nested operations each set their
// own while they run and restore the outer one after). Per thread: the
// interpreter may switch threads in the middle of a step, while Python code
// runs inside it, and the other thread then runs a step of its own call.
extern constinit thread_local RootState *current_root;

class CurrentRoot {
public:
    explicit CurrentRoot(RootState *root) noexcept : saved_(current_root) { current_root = root; }
    ~CurrentRoot() { current_root = saved_; }
    CurrentRoot(const CurrentRoot &) = delete;
    CurrentRoot &operator=(const CurrentRoot &) = delete;

private:
    RootState *saved_;
};

// Strong references that a running operation body owns (its documents,
// cursors, lists, results), made visible to the garbage collector through the
// coroutine object that drives the body. A holder joins the root that is
// current when it is made (the root being resumed, if any) and leaves it when
// it is destroyed; the coroutine's tp_traverse visits every holder's
// references. A holder must visit only references it owns, each once.
class Holder : private HolderLink {
public:
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;
    virtual int traverse(visitproc visit, void *arg) const = 0;

protected:
    Holder() noexcept : HolderLink(Unlinked{}) {}
    ~Holder() = default;  // the most derived class has left its list
    // Called once by the most derived class once it is whole, and before it
    // is taken apart (`detach`, or `leave` from its destructor): the
    // collector may traverse at any allocation.
    void attach() noexcept {
        RootState *r = current_root;
        if (!r) {
            prev = next = this;
            return;
        }
        HolderLink *first = r->holders.next;
        prev = &r->holders;
        next = first;
        first->prev = this;
        r->holders.next = this;
    }
    void detach() noexcept {
        leave();
        prev = next = this;
    }
    // Out of the list for good (its links are not used again).
    void leave() noexcept {
        prev->next = next;
        next->prev = prev;
    }

private:
    friend struct RootState;
};

inline int RootState::traverse_holders(visitproc visit, void *arg) const {
    for (const HolderLink *l = holders.next; l != &holders; l = l->next)
        if (int r = static_cast<const Holder *>(l)->traverse(visit, arg)) return r;
    return 0;
}

// What a holder visits: owned references, and containers of them. A type
// of its own provides `int traverse(visitproc, void *) const`.
inline int visit_refs(const nb::object &o, visitproc visit, void *arg) {
    Py_VISIT(o.ptr());
    return 0;
}
inline int visit_refs(const nb::python_error &e, visitproc visit, void *arg) {
    Py_VISIT(e.value().ptr());
    return 0;
}
template <class T>
concept OwnTraverse = !std::is_base_of_v<Holder, T> && requires(const T &t, visitproc v, void *a) {
    { t.traverse(v, a) } -> std::same_as<int>;
};
template <OwnTraverse T> int visit_refs(const T &t, visitproc visit, void *arg) { return t.traverse(visit, arg); }
template <class T> int visit_refs(const std::vector<T> &v, visitproc visit, void *arg);
template <class T> int visit_refs(const std::optional<T> &o, visitproc visit, void *arg) {
    return o ? visit_refs(*o, visit, arg) : 0;
}
template <class T> int visit_refs(const std::vector<T> &v, visitproc visit, void *arg) {
    for (const T &x : v)
        if (int r = visit_refs(x, visit, arg)) return r;
    return 0;
}

// A local of an operation body that the collector sees: `Held<> doc`,
// `Held<nb::list> docs`, `Held<std::vector<nb::object>> ids`, or any type
// with a `traverse` of its own. Used like the value it wraps. Never nest one
// inside another (the inner references would be visited twice).
template <class T = nb::object> class Held final : public T, public Holder {
    static_assert(!std::is_base_of_v<Holder, T>);

public:
    Held() { attach(); }
    template <class U>
        requires(!std::is_base_of_v<Holder, std::remove_cvref_t<U>> && std::is_constructible_v<T, U &&>)
    Held(U &&u) : T(std::forward<U>(u)) { attach(); }
    template <class A, class B, class... R>
    Held(A &&a, B &&b, R &&...r) : T(std::forward<A>(a), std::forward<B>(b), std::forward<R>(r)...) {
        attach();
    }
    Held(const Held &o) : T(static_cast<const T &>(o)) { attach(); }
    Held(Held &&o) : T(static_cast<T &&>(o)) { attach(); }
    ~Held() { leave(); }

    template <class U> Held &operator=(U &&u) {
        T::operator=(std::forward<U>(u));
        return *this;
    }
    Held &operator=(const Held &o) { return *this = static_cast<const T &>(o); }
    Held &operator=(Held &&o) { return *this = static_cast<T &&>(o); }

    int traverse(visitproc visit, void *arg) const override {
        return visit_refs(static_cast<const T &>(*this), visit, arg);
    }
};

}  // namespace kestrel
