#include "oplog.hpp"

#include "objects.hpp"

#include <string_view>
#include <vector>

namespace kestrel {

namespace {

constexpr int info_level = 20, debug_level = 10;  // logging.INFO, logging.DEBUG
constexpr double progress_every = 5.0;           // seconds between progress records

// The module's logger, its `log` method, and how its answer is known without
// asking it each time. From Python 3.12 the answer is kept, and forgotten
// whenever the logger's own attributes (`disabled`, its `_cache`) or its
// `_cache` of answers per level change: logging clears every logger's
// `_cache` when a level changes anywhere, or `logging.disable` is called.
// Before 3.12, or without a free dict watcher, the `_cache` itself is asked
// first (with logging off it holds False for INFO).
struct Logging {
    PyObject *logger = nullptr;
    PyObject *log = nullptr;
    PyObject *is_enabled_for = nullptr;
    PyObject *cache = nullptr;  // the logger's `_cache`, when it has one
    PyObject *info = nullptr, *debug = nullptr;
    int watcher = -1;           // the dict watcher that keeps `log_level_known` true
} logging_state;

bool enabled_for(PyObject *level) {
    PyObject *r = PyObject_CallOneArg(logging_state.is_enabled_for, level);
    int truth = r ? PyObject_IsTrue(r) : -1;
    Py_XDECREF(r);
    if (truth < 0) {
        // A logging set-up that cannot answer takes nothing; the operation goes on.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_pending();
        PyErr_WriteUnraisable(logging_state.logger);
        return false;
    }
    return truth > 0;
}

#if PY_VERSION_HEX >= 0x030C0000
int forget_answer(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    detail::log_level_known = -1;
    return 0;
}

// Watch the logger's `_cache` as it is now (it may have been replaced).
void watch_cache() {
    Logging &l = logging_state;
    PyObject *cache = PyObject_GetAttrString(l.logger, "_cache");
    if (!cache || !PyDict_CheckExact(cache)) {
        Py_XDECREF(cache);
        PyErr_Clear();
        return;
    }
    if (cache != l.cache) {
        if (PyDict_Watch(l.watcher, cache) < 0) {
            PyErr_Clear();
            Py_DECREF(cache);
            return;
        }
        Py_XSETREF(l.cache, cache);
    } else {
        Py_DECREF(cache);
    }
}
#endif

int ask_logger() {
    const Logging &l = logging_state;
    if (!enabled_for(l.info)) return 0;
    return enabled_for(l.debug) ? debug_level : info_level;
}

}  // namespace

namespace detail {
int log_level_known = -1;

int log_level_asked() {
    Logging &l = logging_state;
    if (!l.logger) return 0;
#if PY_VERSION_HEX >= 0x030C0000
    if (l.watcher >= 0) {
        watch_cache();  // (its answers change it: `log_level_known` is set after)
        int lowest = ask_logger();
        if (l.cache) log_level_known = lowest;
        return lowest;
    }
#endif
    if (l.cache) {
        PyObject *known = PyDict_GetItemWithError(l.cache, l.info);  // borrowed
        if (known == Py_False) return 0;
        if (!known && PyErr_Occurred()) PyErr_Clear();
    }
    return ask_logger();
}
}  // namespace detail

namespace {

void set_item(nb::handle d, const char *key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), interned(key).ptr(), value.ptr()) < 0) throw_pending();
}

nb::object seconds_object(double s) { return steal_or_throw(PyFloat_FromDouble(s)); }

}  // namespace

Figure figure(const char *name, size_t value) { return {name, steal_or_throw(PyLong_FromSize_t(value))}; }
Figure figure(const char *name, nb::handle value) { return {name, nb::borrow(value)}; }

void OpLog::start_clock() { start_ = phase_start_ = last_progress_ = Clock::now(); }

double OpLog::elapsed() const {
    if (!lowest_) return 0;
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

int OpLog::traverse(visitproc visit, void *arg) const {
    Py_VISIT(subject_.ptr());
    Py_VISIT(kept_format_.ptr());
    Py_VISIT(kept_args_.ptr());
    Py_VISIT(kept_figures_.ptr());
    return 0;
}

void OpLog::done(const char *format, std::initializer_list<Figure> figures) {
    int level = nested_ ? debug_level : info_level;
    if (lowest_ && level >= lowest_) record(level, format, "done", figures, elapsed(), true);
}

void OpLog::done_debug(const char *format, std::initializer_list<Figure> figures) {
    if (lowest_ == debug_level) record(debug_level, format, "done", figures, elapsed(), true);
}

void OpLog::write_kept() {
    nb::object format = std::move(kept_format_), args = std::move(kept_args_),
               figures = std::move(kept_figures_);
    emit(kept_level_, format, args, figures);
}

void OpLog::phase(const char *name, std::initializer_list<Figure> figures) {
    if (lowest_ != debug_level) return;
    Clock::time_point now = Clock::now();
    double seconds = std::chrono::duration<double>(now - phase_start_).count();
    phase_start_ = now;
    record(debug_level, collection_name_.is_valid() ? "%s %s.%s: %s in %.3f s" : "%s %s: %s in %.3f s", name,
           figures, seconds, false);
}

void OpLog::progress_now(size_t read) {
    Clock::time_point now = Clock::now();
    if (std::chrono::duration<double>(now - last_progress_).count() < progress_every) return;
    last_progress_ = now;
    record(info_level,
           collection_name_.is_valid() ? "%s %s.%s: %d documents read so far, %.1f s"
                                       : "%s %s: %d documents read so far, %.1f s",
           "progress", {figure("read", read)}, elapsed(), true);
}

// The record's message arguments: the operation, the database, the collection
// (when there is one), then for a done or progress record the figures, for
// a phase record its name; then the seconds (and the wait for the turn).
// Its `kestrel` attribute: the same as a dict.
void OpLog::record(int level, const char *format, const char *phase, std::initializer_list<Figure> figures,
                   double seconds, bool message_figures) {
    bool is_done = std::string_view(phase) == "done";
    bool is_progress = std::string_view(phase) == "progress";
    std::vector<nb::object> args;
    nb::dict dict;
    nb::object operation = nb::str(operation_);
    args.push_back(operation);
    args.push_back(nb::borrow(db_name_));
    set_item(dict, "operation", operation);
    set_item(dict, "db", db_name_);
    if (collection_name_.is_valid()) {
        args.push_back(nb::borrow(collection_name_));
        set_item(dict, "collection", collection_name_);
    }
    nb::object phase_name = nb::str(phase);
    set_item(dict, "phase", phase_name);
    if (!message_figures) args.push_back(phase_name);
    for (const Figure &f : figures) {
        if (message_figures) args.push_back(f.value);
        set_item(dict, f.name, f.value);
    }
    nb::object secs = seconds_object(seconds);
    args.push_back(secs);
    set_item(dict, is_progress ? "elapsed" : "duration", secs);
    nb::object text = nb::str(format);
    if (is_done && waited_ >= 0) {
        nb::object waited = seconds_object(waited_);
        set_item(dict, "waited", waited);
        if (waited_ >= 0.001) {  // the message says it when there was a wait to speak of
            args.push_back(waited);
            text = steal_or_throw(PyUnicode_Concat(text.ptr(), interned(", %.3f s of it waiting for its turn").ptr()));
        }
    }
    nb::object arg_tuple = steal_or_throw(PyTuple_New((Py_ssize_t) args.size()));
    for (size_t i = 0; i < args.size(); ++i) PyTuple_SET_ITEM(arg_tuple.ptr(), (Py_ssize_t) i, args[i].release().ptr());
    if (is_done && keep_) {
        kept_level_ = level;
        kept_format_ = std::move(text);
        kept_args_ = std::move(arg_tuple);
        kept_figures_ = std::move(dict);
        return;
    }
    emit(level, text, arg_tuple, dict);
}

// logger.log(level, format, *args, extra={"kestrel": figures}). An ordinary
// error of the logging set-up (a filter that raises, say) is reported as
// unraisable: the operation's work is done.
void OpLog::emit(int level, nb::handle format, nb::handle args, nb::handle figures) {
    Py_ssize_t n = PyTuple_GET_SIZE(args.ptr());
    nb::object call_args = steal_or_throw(PyTuple_New(n + 2));
    PyTuple_SET_ITEM(call_args.ptr(), 0, PyLong_FromLong(level));
    PyTuple_SET_ITEM(call_args.ptr(), 1, Py_NewRef(format.ptr()));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(call_args.ptr(), i + 2, Py_NewRef(PyTuple_GET_ITEM(args.ptr(), i)));
    nb::dict extra, kwargs;
    set_item(extra, "kestrel", figures);
    set_item(kwargs, "extra", extra);
    PyObject *r = PyObject_Call(logging_state.log, call_args.ptr(), kwargs.ptr());
    if (r) {
        Py_DECREF(r);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_pending();
    PyErr_WriteUnraisable(logging_state.logger);
}

void init_logging(nb::module_ &m) {
    nb::object logger = nb::module_::import_("logging").attr("getLogger")(m.attr("__name__"));
    Logging &l = logging_state;
    l.logger = logger.release().ptr();  // kept for the life of the process
    l.log = nb::object(nb::handle(l.logger).attr("log")).release().ptr();
    l.is_enabled_for = nb::object(nb::handle(l.logger).attr("isEnabledFor")).release().ptr();
    l.info = PyLong_FromLong(info_level);
    l.debug = PyLong_FromLong(debug_level);
    if (!l.info || !l.debug) throw_pending();
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *attributes = PyObject_GenericGetDict(l.logger, nullptr);
    if (attributes && PyDict_CheckExact(attributes)) {
        int watcher = PyDict_AddWatcher(forget_answer);
        if (watcher >= 0 && PyDict_Watch(watcher, attributes) == 0) l.watcher = watcher;
    }
    Py_XDECREF(attributes);
    PyErr_Clear();
    if (l.watcher >= 0) return;
#endif
    PyObject *cache = PyObject_GetAttrString(l.logger, "_cache");
    if (cache && PyDict_CheckExact(cache)) {
        l.cache = cache;
    } else {
        Py_XDECREF(cache);
        PyErr_Clear();
    }
}

}  // namespace kestrel
