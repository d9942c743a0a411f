// The clusters of the archive refresh.
//
// Every document carrying `__index__` starts cluster n (n = 1, 2, ...). For
// each archive-unique rule it carries, its key tuple is looked up in
// tekrar[i]: a new tuple is claimed for n, a known one names the cluster that
// met it first. The clusters met (`over_lapped`) are merged into n: their
// survivors and the document are compared on `__index__`, the greatest stays
// (on a tie, the one already held: the document before the survivors met,
// and survivors in ascending cluster number), every other one is archived.
//
// A version whose copy already waits in the archive (stored by a refresh that
// was interrupted before it finished) has lost already: it loses to every
// version that has not, and a cluster made of such versions alone keeps none.
// Merged with the rest as before, such versions keep the clusters as they
// were, so a refresh run again decides as the interrupted one did.
//
// Merged clusters are kept in a disjoint-set forest: a tuple keeps the number
// of the cluster that claimed it, and `find` leads from that number to the
// root of its set, whose `label` is the live cluster number. A merge costs
// only the clusters met, instead of re-pointing every tuple of every rule.
//
// The work is dominated by memory traffic once the documents outgrow the
// caches, so what a merge needs of a survivor (`__index__`, `_id`) is read
// while its document is at hand, and the key tables keep the cluster number
// and the key's values in the table itself.
#pragma once

#include "documents.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kestrel::functions {

// One rule's claimed keys: key -> number of the claiming cluster. A key is
// the tuple of a document's values for the rule's fields, hashed and compared
// as the interpreter hashes and compares such a tuple (the values' own hashes,
// an unhashable value raising TypeError; equality value by value with `==`,
// identity first), so 1, 1.0 and True are one key and a list is refused. The
// values are held here directly rather than as a tuple object.
class KeyTable {
public:
    explicit KeyTable(size_t arity) : arity_(arity), stride_(arity + 2) {}
    KeyTable(KeyTable &&o) noexcept
        : arity_(o.arity_), stride_(o.stride_), mask_(o.mask_), used_(o.used_),
          cells_(std::move(o.cells_)) {
        o.cells_.clear();
    }
    KeyTable(const KeyTable &) = delete;
    ~KeyTable() {
        for (size_t at = 0; at < cells_.size(); at += stride_)
            if (cells_[at + 1])
                for (size_t j = 0; j < arity_; ++j) Py_DECREF(reinterpret_cast<PyObject *>(cells_[at + 2 + j]));
    }

    // The number of the cluster that claimed the key made of `values`, or 0
    // when the key is new, in which case it is claimed for `number` (> 0).
    size_t claim(PyObject *const *values, size_t number) {
        uint64_t h = 0x27D4EB2F165667C5ull;
        for (size_t j = 0; j < arity_; ++j) {
            Py_hash_t vh = PyObject_Hash(values[j]);
            if (vh == -1 && PyErr_Occurred()) throw_pending();
            h = (h ^ (uint64_t) vh) * 0x9E3779B97F4A7C15ull;
            h ^= h >> 31;
        }
        if (cells_.empty()) resize(8);
        for (size_t slot = (size_t) (h * 0xD6E8FEB86659FD93ull >> 32) & mask_;; slot = (slot + 1) & mask_) {
            uintptr_t *cell = &cells_[slot * stride_];
            if (!cell[1]) {
                cell[0] = (uintptr_t) h;
                cell[1] = number;
                for (size_t j = 0; j < arity_; ++j) cell[2 + j] = (uintptr_t) Py_NewRef(values[j]);
                if (++used_ * 2 > mask_ + 1) resize((mask_ + 1) * 2);
                return 0;
            }
            if (cell[0] == (uintptr_t) h && same_key(cell, values)) return cell[1];
        }
    }

    int traverse(visitproc visit, void *arg) const {
        for (size_t at = 0; at < cells_.size(); at += stride_)
            if (cells_[at + 1])
                for (size_t j = 0; j < arity_; ++j) Py_VISIT(reinterpret_cast<PyObject *>(cells_[at + 2 + j]));
        return 0;
    }

private:
    bool same_key(const uintptr_t *cell, PyObject *const *values) const {
        for (size_t j = 0; j < arity_; ++j) {
            int r = PyObject_RichCompareBool(reinterpret_cast<PyObject *>(cell[2 + j]), values[j], Py_EQ);
            if (r < 0) throw_pending();
            if (!r) return false;
        }
        return true;
    }

    void resize(size_t slots) {
        std::vector<uintptr_t> old = std::move(cells_);
        cells_.assign(slots * stride_, 0);
        mask_ = slots - 1;
        for (size_t at = 0; at < old.size(); at += stride_) {
            if (!old[at + 1]) continue;
            size_t slot = (size_t) ((uint64_t) old[at] * 0xD6E8FEB86659FD93ull >> 32) & mask_;
            while (cells_[slot * stride_ + 1]) slot = (slot + 1) & mask_;
            std::copy(old.begin() + (ptrdiff_t) at, old.begin() + (ptrdiff_t) (at + stride_),
                      cells_.begin() + (ptrdiff_t) (slot * stride_));
        }
    }

    // Each slot: stored hash, cluster number (0: empty), then `arity_`
    // references to the key's values.
    size_t arity_, stride_;
    size_t mask_ = 0, used_ = 0;
    std::vector<uintptr_t> cells_;
};

// What the merges need of one version, read once while the document is at hand.
struct Version {
    // `from_temp`: read from the temp companion (else from the main
    // collection); `archived`: its copy already waits in the archive;
    // `twin`: a main version under the `_id` of a temp document read.
    Version(nb::object doc, bool from_temp, bool archived, bool twin);
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(doc.ptr());
        Py_VISIT(index.ptr());
        Py_VISIT(id.ptr());
        return 0;
    }

    // Does version a win over version b? One not yet archived wins over one
    // that is; otherwise a[`__index__`] > b[`__index__`], as the interpreter
    // compares them.
    friend bool beats(const Version &a, const Version &b);

    nb::object doc;
    nb::object index;  // its `__index__`
    nb::object id;     // its `_id`
    long long index_value = 0;
    bool index_native = false;
    bool from_temp;
    bool archived;
    bool twin;
};

class Clusters {
public:
    explicit Clusters(std::vector<Fields> rules);

    // The cluster step for one version.
    void step(Version v);

    // What the clusters come to, once every version has been through them.
    struct Outcome {
        std::vector<nb::object> moved;  // surviving temp documents, in ascending cluster number
        std::vector<Version> archived;  // the versions that lost, in the order they lost, then
                                        // the survivors that had lost already
        size_t entities = 0;            // clusters
        size_t kept = 0;                // clusters whose survivor stays in the main collection
        int traverse(visitproc visit, void *arg) const {
            if (int r = visit_refs(moved, visit, arg)) return r;
            return visit_refs(archived, visit, arg);
        }
    };
    // Takes the outcome out; the clusters themselves are let go.
    Outcome finish();

    int traverse(visitproc visit, void *arg) const;

private:
    static bool values_if_carried(nb::handle doc, const Fields &fields, std::vector<nb::object> &out);
    size_t find(size_t x);
    size_t unite(size_t a, size_t b);

    // A node of the disjoint-set forest over cluster numbers; `label` is
    // meaningful at a root: the live cluster number of its set.
    struct Node {
        size_t parent, size, label;
    };

    std::vector<Fields> rules_;
    std::vector<KeyTable> tekrar_;       // per rule: key -> number of the claiming cluster
    size_t cluster_index_ = 0;
    std::vector<Node> forest_;
    std::vector<std::optional<Version>> clusters_;  // live cluster number -> survivor
    std::vector<Version> archive_docs_;             // in the order they lose
};

}  // namespace kestrel::functions
