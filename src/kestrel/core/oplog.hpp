// What each operation tells the operator, through the standard logging, on
// the logger named as its module ("kestrel.functions", "kestrel.users"):
//  * one record when it completes: INFO for a call the caller made, DEBUG for
//    one that another operation made (its caller's record says what the
//    whole did); reads (find, the newest-document check, the listings) at
//    DEBUG only. A failing operation writes none: its error says it all.
//  * DEBUG records for the phases of the long operations, each with its
//    duration, and INFO progress records, at most one every 5 seconds, while
//    a long scan runs.
// Messages carry lazy %-arguments (nothing is formatted unless a handler
// takes the record); the figures also travel on the record as the attribute
// `kestrel`, a dict: operation, db, collection (when there is one), phase
// ("done", "progress" or the phase's name), the figures, and the duration in
// seconds (`elapsed` for progress).
//
// Whether the logger takes INFO or DEBUG records is asked once per call, when
// the operation starts; when it takes neither, nothing else is done: no clock
// is read and no record is made.
#pragma once

#include "bridge.hpp"

#include <chrono>
#include <initializer_list>

namespace kestrel {

// One figure of a record: its name (a literal) and its value.
struct Figure {
    const char *name;
    nb::object value;
};
Figure figure(const char *name, size_t value);
Figure figure(const char *name, nb::handle value);

namespace detail {
// The lowest level the logger takes, while it is known (a watcher of the
// logger's cache forgets it when the cache changes); else -1.
extern int log_level_known;
// The logger asked (and its answer kept when it can be).
int log_level_asked();
}  // namespace detail

// A call's log holds Python objects (what names its subject, the record the
// frame keeps) only when the logger takes its records: only then is it among
// what the collector sees through the coroutine.
class OpLog final : public Holder {
public:
    // For `operation` (a literal) on `db_name` and, when given, `collection_name`.
    OpLog(const char *operation, nb::handle db_name, nb::handle collection_name = nb::handle())
        : operation_(operation), db_name_(db_name), collection_name_(collection_name), root_(current_root) {
        // The operations that an operation calls are part of its call: the
        // logger is asked once, by the first.
        if (root_ && root_->operations++ > 0) {
            nested_ = true;
            lowest_ = root_->log_level;
        } else {
            int known = detail::log_level_known;
            lowest_ = known >= 0 ? known : detail::log_level_asked();
            if (root_) root_->log_level = lowest_;
        }
        if (lowest_) {
            start_clock();
            attach();
        }
    }
    ~OpLog() {
        if (lowest_) leave();
        if (root_) --root_->operations;
    }
    OpLog(const OpLog &) = delete;
    OpLog &operator=(const OpLog &) = delete;

    // Does the logger take any of this call's records?
    explicit operator bool() const noexcept { return lowest_ != 0; }

    // The record of the completed operation. `format` has a %s for the
    // operation, the database and (when there is one) the collection, then a
    // placeholder for each figure in order, then %.3f for the duration. A
    // framed operation keeps it for the frame, which writes it once the
    // session has closed cleanly (`write_done`); the others write it at once.
    void done(const char *format, std::initializer_list<Figure> figures);
    // The same, always at DEBUG (reads).
    void done_debug(const char *format, std::initializer_list<Figure> figures);
    void keep_done() noexcept { keep_ = true; }
    void write_done() {
        if (kept_format_.is_valid()) write_kept();
    }

    // A DEBUG record for the phase that ends now, with its duration since the
    // previous phase ended (or the operation started).
    void phase(const char *name, std::initializer_list<Figure> figures = {});
    // While a scan runs: `read` documents so far.
    void progress(size_t read) {
        if (lowest_) progress_now(read);
    }
    // The records name `db` (owned) in place of the database given.
    void name_db(nb::object db) {
        subject_ = std::move(db);
        db_name_ = subject_;
    }
    // How long the call waited for its collection's turn, told in its record.
    void waited(double seconds) noexcept { waited_ = seconds; }

    // Seconds since the call started (0 when nothing is logged).
    double elapsed() const;

    int traverse(visitproc visit, void *arg) const override;

private:
    using Clock = std::chrono::steady_clock;
    void record(int level, const char *format, const char *phase, std::initializer_list<Figure> figures,
                double seconds, bool message_figures);
    void progress_now(size_t read);
    void write_kept();
    void start_clock();
    void emit(int level, nb::handle format, nb::handle args, nb::handle figures);

    const char *operation_;
    nb::handle db_name_, collection_name_;  // borrowed from the call's arguments
    RootState *root_;
    int lowest_ = 0;      // the lowest level taken: 0 (none), INFO or DEBUG
    bool nested_ = false; // made by another operation of the same call
    bool keep_ = false;   // the done record waits for the frame
    double waited_ = -1;  // seconds waited for the turn; negative: no turn taken
    Clock::time_point start_, phase_start_, last_progress_;
    nb::object subject_;
    nb::object kept_format_, kept_args_, kept_figures_;
    int kept_level_ = 0;
};

// Set up the logger of the module being initialised (named as the module).
void init_logging(nb::module_ &m);

}  // namespace kestrel
