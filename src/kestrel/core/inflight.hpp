// Independent reads of one operation, overlapped: a bounded set of reads in
// flight with structured cancellation.
//
//     co_await overlapped(reads_in_flight, [&](InFlight &lookups) -> Task<> {
//         for (...) {                                     // the body's own scan
//             ...
//             co_await lookups.start(read_all(cursor), [&](nb::object found) {
//                 ...                                     // use the result
//             });
//         }
//     });
//
// (GCC 12 destroys a lambda written inside a `co_await` expression twice: a
// callback that captures anything by value must be a named local first.)
//
// Each read started runs as a task of the running event loop while the body
// goes on with its own work; `start` first waits while `width` reads are
// running. Results are handed to their callbacks inside the body, never in
// the reads' tasks, and in the order the reads were started: at a later
// `start`, or at the end of the body, where `overlapped` waits for the rest.
//
// Structured: `overlapped` completes or raises only when no read it started
// is still running, and nothing is started after a failure.
//  * The first read that fails cancels the others; the body meets the error
//    at its next `start` (or at its end), the others are waited for, and
//    `overlapped` raises that first error.
//  * When the body fails, or the operation is cancelled or interrupted
//    (CancelledError, KeyboardInterrupt, SystemExit or any other error thrown
//    in), every read still running is cancelled and waited for, then that
//    error propagates (the first read error instead, when one came first and
//    the body's own error is an ordinary Exception). Being cancelled or
//    interrupted again while waiting replaces the error; the wait goes on.
//  * Closing the coroutine (GeneratorExit) cannot wait: the reads are
//    cancelled and the close proceeds, as with a TaskGroup in a Python
//    coroutine.
// A read's own errors, interrupts included, end its task normally and reach
// the body as above; the event loop never sees them.
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

namespace detail {

struct Slot {
    std::function<void(nb::object)> done;
    nb::object pending; // a Python awaitable read, until its task starts it
    nb::object task;    // the asyncio Task running the read, until it finishes
    nb::object value;   // the read's result, until delivered
    bool started = false;
    bool finished = false;
};

// Shared by the body and the tasks of its reads: a read may outlive the body
// only when the body was closed (GeneratorExit) while it ran.
struct Reads : std::enable_shared_from_this<Reads> {
    size_t width = 1;
    std::deque<Slot> slots;  // started and not yet delivered, in start order
    uint64_t first_id = 0;   // id of slots.front()
    size_t running = 0;      // slots not finished
    bool aborting = false;   // cancelling: errors and results no longer count
    nb::object loop;         // the running event loop, taken at the first start
    nb::object wakeup;       // the future the body waits on, while it waits
    nb::object error;        // the first failure of a read

    Slot &slot(uint64_t id) { return slots[id - first_id]; }
    void finished(uint64_t id, nb::object value, nb::object err) noexcept;
    void cancel_running() noexcept;
    int traverse(visitproc visit, void *arg) const;
};

template <class U> Body as_body(Task<U> read) { co_return nb::object(co_await std::move(read)); }

}  // namespace detail

// The reads' state (their tasks, results and errors) is shown to the garbage
// collector through the operation that started them, while it runs.
class InFlight final : public Holder {
public:
    using Done = std::function<void(nb::object)>;

    // Start `read` (a C++ read, or a Python awaitable) as a task of the running
    // loop; `done` gets its result later, in start order. Waits first while
    // `width` reads run; raises the first failure of an earlier read instead
    // of starting.
    template <class U> Task<> start(Task<U> read, Done done) {
        if constexpr (std::is_same_v<U, nb::object>)
            return start_body(std::move(read), std::move(done));
        else
            return start_body(detail::as_body(std::move(read)), std::move(done));
    }
    Task<> start(nb::object awaitable, Done done);

    InFlight(const InFlight &) = delete;
    ~InFlight();

    int traverse(visitproc visit, void *arg) const override;

private:
    template <class F> friend Task<> overlapped(size_t width, F body);
    explicit InFlight(size_t width);

    // Has a read been started? (The shared state is made for the first.)
    bool started() const noexcept { return bool(reads_); }
    Task<> start_body(Body read, Done done, nb::object pending = {});
    void deliver();
    Task<> wait();
    Task<> finish();
    Task<> abort(std::exception_ptr failure);

    size_t width_;
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
