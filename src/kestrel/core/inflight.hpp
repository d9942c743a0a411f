// Independent reads of one operation, overlapped: a bounded set of reads in
// flight with structured cancellation.
//
//     co_await overlapped(reads_in_flight, [&](InFlight &lookups) -> Task<> {
//         for (...) {                                     // the body's own scan
//             lookups.check();                            // stop at a failed read
//             ...
//             co_await lookups.start(read_cursor, cursor, on_found);
//         }
//     });
//
// (GCC 12 destroys a lambda written inside a `co_await` expression twice: a
// callback that captures anything by value must be a named local first.
// Callbacks here take what they need of their read as its `context`.)
//
// Each read started runs as a task of the running event loop while the body
// goes on with its own work. `start` first waits while `width` reads are
// running, or while twice `width` reads are started and not yet handed on
// (one slow read never lets the finished ones behind it pile up). Results are
// handed to their callbacks inside the body, never in the reads' tasks, and
// in the order the reads were started: at a later `start` or `check`, or at
// the end of the body, where `overlapped` waits for the rest.
//
// Structured: `overlapped` completes or raises only when no read it started
// is still running, and nothing is started after a failure.
//  * Every read reports its end, however it ends: a read whose task is
//    cancelled by someone else, even before its first step, ends with
//    CancelledError, which stops the operation as any read's error does (the
//    operation then raises CancelledError, as if it had been cancelled).
//  * The first read that fails cancels the others; the body meets the error
//    at its next `start` or `check` (or at its end), the others are waited
//    for, and `overlapped` raises that first error.
//  * When the body fails, or the operation is cancelled or interrupted
//    (CancelledError, KeyboardInterrupt, SystemExit or any other error thrown
//    in), every read still running is cancelled and waited for, then that
//    error propagates (the first read error instead, when one came first and
//    the body's own error is an ordinary Exception). Being cancelled again
//    while waiting replaces the error; the wait goes on.
//  * A KeyboardInterrupt or SystemExit wins over every other outcome: one
//    that a read raises while the operation is already stopping is raised in
//    the end, as asyncio and a TaskGroup let such an interrupt out.
//  * Closing the coroutine (GeneratorExit) cannot wait: the reads are
//    cancelled and the close proceeds, as with a TaskGroup in a Python
//    coroutine. Once the event loop is closed nothing is cancelled any more
//    (nothing can run): the loop's own warnings are all that is left.
// A read's own errors, interrupts included, end its task normally and reach
// the body as above; the event loop never sees them.
//
// What waits to start and what the reads work on are held in the shared
// state, which the collector sees through the operation; a read takes its
// subject out of it when its task takes its first step.
#pragma once

#include "bridge.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

namespace kestrel {

// How many reads one operation keeps in flight, measured with
// bench/bench_link.py:
//  * On a simulated link (each server call and cursor batch one round trip,
//    no CPU cost), a merge of N temp documents takes about 16 + N / W round
//    trips and a find about 4.8 N / W (4 to 8 sequential reads per check).
//    At N = 1,000, per temp / matched document: W = 32 gives 0.048 / 0.160,
//    W = 64 0.032 / 0.084, W = 100 0.026 / 0.057, W = 128 0.024 / 0.048.
//    32 is the least that keeps the merge under 0.05; 64 leaves a margin.
//  * Through a 5 ms link to the test server, a 10,000-document merge with
//    PyMongo took 8.1-9.2 s for each of W = 16, 32 and 64 (7.8-11.0 s at 100):
//    the server's CPU (6.3-10.2 s), not the link, bounds it there.
//  * PyMongo's async client opens connections as the reads need them, up to
//    its pool of 100; 64 leaves room in the pool for the operation's own
//    calls and for other work on the same client.
//  * Motor runs each blocking call on a pool of cpu_count() x 5 threads (10 on
//    a two-core machine): however many reads are started, only that many are
//    on the wire at once; a larger W neither helps nor hurts it.
inline constexpr size_t reads_in_flight = 64;

class InFlight;

// How a read runs: what it reads from its subject (a borrowed reference, kept
// alive by the read while it runs).
using Runner = Body (*)(nb::handle subject);

// A read that awaits its subject, a Python awaitable, for its result.
Body await_subject(nb::handle awaitable);

namespace detail {

struct Slot {
    // Gets the read's result and the context given at its start.
    std::function<void(nb::object, nb::handle)> done;
    Runner run = nullptr;
    nb::object subject;  // what the read works on, until its task takes it
    nb::object context;  // handed to `done` with the result
    nb::object task;     // the asyncio Task running the read, until it finishes
    nb::object value;    // the read's result, until delivered
    bool started = false;
    bool finished = false;

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(subject.ptr());
        Py_VISIT(context.ptr());
        Py_VISIT(task.ptr());
        Py_VISIT(value.ptr());
        return 0;
    }
    // Let go of every reference; an awaitable that never ran is closed.
    void release() noexcept;
};

// Shared by the body and the tasks of its reads: a read may outlive the body
// when the body was closed (GeneratorExit) or collected while it ran.
struct Reads : std::enable_shared_from_this<Reads> {
    size_t width = 1;
    std::deque<Slot> slots;  // started and not yet delivered, in start order
    uint64_t first_id = 0;   // id of slots.front()
    size_t running = 0;      // slots not finished
    bool aborting = false;   // cancelling: errors and results no longer count
    bool let_go = false;     // the body is gone: nothing is started or delivered
    nb::object loop;         // the running event loop, taken at the first start
    nb::object wakeup;       // the future the body waits on, while it waits
    nb::object error;        // the first failure of a read
    nb::object interrupt;    // the first KeyboardInterrupt or SystemExit of a read

    Slot &slot(uint64_t id) { return slots[id - first_id]; }
    void finished(uint64_t id, nb::object value, nb::object err) noexcept;
    void cancel_running() noexcept;
    bool loop_closed() const noexcept;
    int traverse(visitproc visit, void *arg) const;
};

}  // namespace detail

// The reads' state (their tasks, subjects, results and errors) is shown to the
// garbage collector through the operation that started them, while it runs.
class InFlight final : public Holder {
public:
    using Done = std::function<void(nb::object result, nb::handle context)>;

    // Start reading `subject` with `run` as a task of the running loop; `done`
    // gets its result and `context` later, in start order. Waits first while
    // the reads fill the window; raises the first failure of an earlier read
    // instead of starting.
    Task<> start(Runner run, nb::object subject, Done done, nb::object context = {});
    // The same for a Python awaitable, awaited by the read. One that is never
    // started is closed.
    Task<> start(nb::object awaitable, Done done, nb::object context = {}) {
        return start(await_subject, std::move(awaitable), std::move(done), std::move(context));
    }
    // Hand on the results that are in; raise the first failure of a read.
    // The body calls it as it goes, so that a failed read stops its scan.
    void check() {
        if (reads_) deliver();
    }

    InFlight(const InFlight &) = delete;
    ~InFlight();

    int traverse(visitproc visit, void *arg) const override;

private:
    template <class F> friend Task<> overlapped(size_t width, F body);
    explicit InFlight(size_t width);

    // Has a read been started? (The shared state is made for the first.)
    bool started() const noexcept { return bool(reads_); }
    Task<> admit();
    void deliver();
    Task<> wait();
    Task<> finish();
    Task<> abort(std::exception_ptr failure);

    size_t width_;
    detail::Slot waiting_;  // the read about to start, while it waits for room
    std::shared_ptr<detail::Reads> reads_;
};

// Run `body(reads)` with the reads it starts overlapped, at most `width` at
// once; completes when the body and every read have (see above).
template <class F> Task<> overlapped(size_t width, F body) {
    InFlight reads(width);
    std::exception_ptr failure;
    try {
        co_await body(reads);
        if (reads.started()) co_await reads.finish();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) co_await reads.abort(failure);  // raises
}

}  // namespace kestrel
