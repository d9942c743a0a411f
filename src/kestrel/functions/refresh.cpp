// The archive refresh and its clusters.
#include "documents.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kestrel::functions {

namespace {

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
// Merged clusters are kept in a disjoint-set forest: a tuple keeps the number
// of the cluster that claimed it, and `find` leads from that number to the
// root of its set, whose `label` is the live cluster number. A merge costs
// only the clusters met, instead of re-pointing every tuple of every rule.
//
// The work is dominated by memory traffic once the documents outgrow the
// caches, so what a merge needs of a survivor (`__index__`, `_id`) is read
// while its document is at hand, and the key tables keep the cluster number
// and the key's values in the table itself.

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
    explicit Version(nb::object d) : doc(std::move(d)) {
        index = item(doc, index_key());
        if (PyDict_CheckExact(doc.ptr())) {
            if (PyObject *found = dict_get_ref(doc, id_key())) id = nb::steal(found);
        } else if (has_field(doc, id_key())) {
            id = item(doc, id_key());
        }
        if (PyLong_CheckExact(index.ptr())) {
            int overflow;
            index_value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
            if (index_value == -1 && PyErr_Occurred()) throw_pending();
            index_native = overflow == 0;
        }
    }
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(doc.ptr());
        Py_VISIT(index.ptr());
        Py_VISIT(id.ptr());
        return 0;
    }

    // a[`__index__`] > b[`__index__`], as the interpreter compares them.
    friend bool index_greater(const Version &a, const Version &b) {
        if (a.index_native && b.index_native) return a.index_value > b.index_value;
        return greater(a.index, b.index);
    }

    nb::object doc;
    nb::object index;  // its `__index__`
    nb::object id;     // its `_id`; invalid for a temp document, which lost it
    long long index_value = 0;
    bool index_native = false;
};

class Clusters {
public:
    explicit Clusters(std::vector<Fields> rules) : rules_(std::move(rules)) {
        for (const Fields &fields : rules_) tekrar_.emplace_back(fields.size());
        // Slot 0 is unused: cluster numbers start at 1.
        forest_.push_back(Node{0, 0, 0});
        clusters_.emplace_back();
    }

    // What the refresh writes, taken out of the clusters once every document
    // has been through them: the surviving temp documents (those without
    // `_id`) in ascending cluster number, appended to `temp_to_main_docs`;
    // the archived versions in the order they lost, without their `_id`
    // (`corrected_archive_docs`); and the `_id` of the archived main
    // documents in the same order (`main_del_ids`). References are handed
    // over rather than copied, so the documents are not touched again here,
    // except for the main ones that still have an `_id` to lose.
    // Gives the number of entities (live clusters). The clusters themselves
    // are let go: what stays in the main collection is never written.
    size_t finish(std::vector<nb::object> &temp_to_main_docs, nb::list &corrected_archive_docs,
                  nb::list &main_del_ids) {
        size_t entities = 0;
        for (size_t n = 1; n < clusters_.size(); ++n) {
            if (!clusters_[n]) continue;
            ++entities;
            if (!clusters_[n]->id.is_valid()) temp_to_main_docs.push_back(std::move(clusters_[n]->doc));
        }
        std::vector<nb::object> docs, ids;
        for (Version &v : archive_docs_) {
            if (v.id.is_valid()) {
                drop_id(v.doc);
                ids.push_back(std::move(v.id));
            }
            docs.push_back(std::move(v.doc));
        }
        corrected_archive_docs = list_of(docs);
        main_del_ids = list_of(ids);
        release();
        return entities;
    }

    // The cluster step for one document.
    void step(nb::object doc) {
        size_t n = ++cluster_index_;
        forest_.push_back(Node{n, 1, n});
        clusters_.emplace_back(Version(doc));

        // The live clusters met, as (cluster number, root).
        std::vector<std::pair<size_t, size_t>> over_lapped;
        std::vector<nb::object> tekrar_key;
        for (size_t i = 0; i < rules_.size(); ++i) {
            if (!values_if_carried(doc, rules_[i], tekrar_key)) continue;
            static_assert(sizeof(nb::object) == sizeof(PyObject *));
            size_t owner = tekrar_[i].claim(reinterpret_cast<PyObject *const *>(tekrar_key.data()), n);
            if (!owner) continue;
            size_t root = find(owner);
            size_t live = forest_[root].label;
            bool seen = false;
            for (const auto &m : over_lapped) seen = seen || m.first == live;
            if (!seen) over_lapped.emplace_back(live, root);
        }
        if (over_lapped.empty()) return;

        std::sort(over_lapped.begin(), over_lapped.end());
        std::optional<Version> max_index_doc;
        max_index_doc.swap(clusters_[n]);
        size_t root = n;
        for (const auto &[ind, ind_root] : over_lapped) {
            std::optional<Version> c;
            c.swap(clusters_[ind]);
            if (index_greater(*c, *max_index_doc)) {
                archive(std::move(*max_index_doc));
                max_index_doc.swap(c);
            } else {
                archive(std::move(*c));
            }
            root = unite(root, ind_root);
        }
        forest_[root].label = n;
        clusters_[n].swap(max_index_doc);
    }

    int traverse(visitproc visit, void *arg) const {
        if (int r = visit_refs(rules_, visit, arg)) return r;
        if (int r = visit_refs(tekrar_, visit, arg)) return r;
        if (int r = visit_refs(clusters_, visit, arg)) return r;
        return visit_refs(archive_docs_, visit, arg);
    }

private:
    // Everything the clustering held, let go (the memory with it).
    void release() {
        rules_ = std::vector<Fields>();
        tekrar_ = std::vector<KeyTable>();
        forest_ = std::vector<Node>();
        clusters_ = std::vector<std::optional<Version>>();
        archive_docs_ = std::vector<Version>();
    }

    // The document's values for the rule's fields, when it carries them all.
    static bool values_if_carried(nb::handle doc, const Fields &fields, std::vector<nb::object> &out) {
        out.clear();
        for (const nb::object &f : fields) {
            if (PyDict_CheckExact(doc.ptr())) {
                PyObject *value = dict_get_ref(doc, f);
                if (!value) return false;
                out.push_back(nb::steal(value));
            } else {
                if (!has_field(doc, f)) return false;
                out.push_back(item(doc, f));
            }
        }
        return true;
    }

    void archive(Version &&v) { archive_docs_.push_back(std::move(v)); }

    size_t find(size_t x) {
        while (forest_[x].parent != x) {
            forest_[x].parent = forest_[forest_[x].parent].parent;
            x = forest_[x].parent;
        }
        return x;
    }

    // Join two roots, the smaller set under the larger; gives the new root.
    size_t unite(size_t a, size_t b) {
        if (forest_[a].size < forest_[b].size) std::swap(a, b);
        forest_[b].parent = a;
        forest_[a].size += forest_[b].size;
        return a;
    }

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

}  // namespace

// refresh_archive(client, db_name, collection_name): versions of one entity
// (documents agreeing on all fields of an archive-unique rule, directly or
// through a chain) are clustered over the temp companion and the main
// collection; the greatest `__index__` stays in or enters the main collection,
// every other version goes to the temp companion of "archive_" + C. In the
// end the documents the temp scan read, and only those, are deleted from the
// temp companion. One merge, refresh or compaction of a collection at a time.
//
// The archived versions are handed to the archive first, before anything is
// deleted from the main collection: when that insertion fails, nothing has
// changed, and a failure after it can leave a version in two places, never in
// none. What only the clustering needed is let go before the writes, and each
// batch once it is written.
Body refresh_archive(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    return framed(client, message("Can not refresh archive for '", collection_name, "'!"),
                  {"refresh_archive", db_name, collection_name, true}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> temp_collection = item(db, names::temp(collection_name));
        Held<> manage_collection = item(db, names::manage(collection_name));

        nb::object archive_collection_name = names::archive(collection_name);
        co_await access_check(client, db_name, archive_collection_name);  // the archive exists too

        Held<nb::list> uniques = co_await read_rules(manage_collection, "archive_unique");
        Held<Clusters> clusters(rule_fields(uniques));
        Held<std::vector<nb::object>> temp_to_main_docs;
        Held<nb::list> read_ids;  // the `_id` of every temp document the scan read
        nb::handle index_field = index_key();

        Held<> temp_docs = scan_newest_first(temp_collection, nb::dict()), temp_doc;
        while (co_await next_item(temp_docs, temp_doc)) {
            read_ids.append(item(temp_doc, id_key()));
            log.progress(nb::len(read_ids));
            drop_id(temp_doc);
            if (has_field(temp_doc, index_field))
                clusters.step(std::move(temp_doc));
            else
                temp_to_main_docs.push_back(std::move(temp_doc));
        }
        size_t unversioned = temp_to_main_docs.size();  // moved without taking part
        size_t temp_read = nb::len(read_ids), main_read = 0;
        Held<> main_docs = scan_newest_first(collection, nb::dict()), main_doc;
        while (co_await next_item(main_docs, main_doc)) {
            log.progress(temp_read + ++main_read);
            if (has_field(main_doc, index_field)) clusters.step(std::move(main_doc));
        }
        temp_docs = nb::object();
        main_docs = nb::object();
        main_doc = nb::object();
        Held<nb::list> corrected_archive_docs, main_del_ids;
        size_t entities = clusters.finish(temp_to_main_docs, corrected_archive_docs, main_del_ids);
        Held<nb::list> moved = list_of(temp_to_main_docs);
        temp_to_main_docs = std::vector<nb::object>();
        size_t archived = nb::len(corrected_archive_docs), moved_in = nb::len(moved);
        // Survivors that were main documents stay where they are.
        size_t kept = entities - (moved_in - unversioned);
        if (log) log.phase("scan done", {figure("temp_read", temp_read), figure("main_read", main_read)});

        if (archived > 0)
            co_await call_op("insert_temp", keywords("client", client, "db_name", db_name, "collection_name",
                                                     archive_collection_name, "docs", corrected_archive_docs));
        corrected_archive_docs = nb::list();
        if (log) log.phase("archive copies stored", {figure("archived", archived)});
        co_await call_op("deactive_index", op_args(client, db_name, collection_name));
        log.phase("indexes dropped");
        size_t main_archived = nb::len(main_del_ids);
        Kwargs delete_args = op_args(client, db_name, collection_name);
        delete_args["ids"] = main_del_ids;
        main_del_ids = nb::list();
        co_await call_op("Delete_doc_main", std::move(delete_args));
        if (log) log.phase("main documents deleted", {figure("deleted", main_archived)});
        if (moved_in > 0) co_await driver(collection, "insert_many", moved);
        moved = nb::list();
        if (log) log.phase("documents inserted", {figure("inserted", moved_in)});
        co_await call_op("active_index", op_args(client, db_name, collection_name));
        log.phase("indexes rebuilt");
        Held<IdDeletion> clearing(temp_collection, read_ids, bool(log));
        clearing.count(co_await driver(temp_collection, clearing.method(), clearing.request()));
        read_ids = nb::list();
        if (log) {
            log.phase("temp companion cleared", {figure("cleared", clearing.deleted)});
            log.done("%s %s.%s: %d temp and %d main documents read, %d entities, %d versions kept in the main "
                     "collection, %d moved into it, %d archived, %s temp documents cleared in %.3f s",
                     {figure("temp_read", temp_read), figure("main_read", main_read), figure("entities", entities),
                      figure("kept", kept), figure("moved", moved_in), figure("archived", archived),
                      figure("cleared", clearing.deleted)});
        }
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
