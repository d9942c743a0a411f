// One at a time per collection. The operations that drop a collection's
// indexes around bulk work and clear what they read (the merge, the archive
// refresh, the compaction) take the collection's turn before they open their
// session: within one event loop, such calls on the same database and
// collection run one after the other, in the order they were called, while
// calls on other collections, and every other operation, go on untouched.
//
// A call that waits holds no session and has made no call. A waiting call
// that is cancelled (or interrupted) leaves the queue at once; a call that
// ends in any way, or is dropped, hands the turn to the next waiting one.
// Nothing is kept for a collection once no call waits for it or holds it;
// the operations these calls make themselves (index deactivation and
// activation, deletion by ids, temp insertion) take no turn, so no call ever
// waits for a turn its caller holds.
#pragma once

#include "bridge.hpp"

namespace kestrel {

class Turn {
public:
    Turn() = default;
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;
    ~Turn() { release(); }

    // Wait for the turn of (`db_name`, `collection_name`) on the running loop.
    // Names that are not texts (which no driver takes) get no turn: their
    // call fails before it writes anything. Nor does a call driven by hand,
    // outside any event loop.
    Task<> take(nb::handle db_name, nb::handle collection_name);
    // Hand the turn to the next waiting call, or let the collection go.
    void release() noexcept {
        if (key_.is_valid()) let_go();
    }

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(key_.ptr());
        return 0;
    }

private:
    void let_go() noexcept;

    nb::object key_;  // (loop, db_name, collection_name) while the turn is held
};

}  // namespace kestrel
