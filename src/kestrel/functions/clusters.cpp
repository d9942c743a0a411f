#include "clusters.hpp"

#include <algorithm>

namespace kestrel::functions {

Version::Version(nb::object d, bool from_temp, bool archived, bool twin)
    : doc(std::move(d)), from_temp(from_temp), archived(archived), twin(twin) {
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

bool beats(const Version &a, const Version &b) {
    if (a.archived != b.archived) return b.archived;
    if (a.index_native && b.index_native) return a.index_value > b.index_value;
    return greater(a.index, b.index);
}

Clusters::Clusters(std::vector<Fields> rules) : rules_(std::move(rules)) {
    for (const Fields &fields : rules_) tekrar_.emplace_back(fields.size());
    // Slot 0 is unused: cluster numbers start at 1.
    forest_.push_back(Node{0, 0, 0});
    clusters_.emplace_back();
}

Clusters::Outcome Clusters::finish() {
    Outcome out;
    for (size_t n = 1; n < clusters_.size(); ++n) {
        if (!clusters_[n]) continue;
        ++out.entities;
        Version &survivor = *clusters_[n];
        if (survivor.archived) archive_docs_.push_back(std::move(survivor));
        else if (survivor.from_temp) out.moved.push_back(std::move(survivor.doc));
        else ++out.kept;
    }
    out.archived = std::move(archive_docs_);
    // Everything the clustering held, let go (the memory with it).
    rules_ = std::vector<Fields>();
    tekrar_ = std::vector<KeyTable>();
    forest_ = std::vector<Node>();
    clusters_ = std::vector<std::optional<Version>>();
    archive_docs_ = std::vector<Version>();
    return out;
}

void Clusters::step(Version v) {
    size_t n = ++cluster_index_;
    forest_.push_back(Node{n, 1, n});
    nb::handle doc = v.doc;
    clusters_.emplace_back(std::move(v));

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
        if (beats(*c, *max_index_doc)) {
            archive_docs_.push_back(std::move(*max_index_doc));
            max_index_doc.swap(c);
        } else {
            archive_docs_.push_back(std::move(*c));
        }
        root = unite(root, ind_root);
    }
    forest_[root].label = n;
    clusters_[n].swap(max_index_doc);
}

int Clusters::traverse(visitproc visit, void *arg) const {
    if (int r = visit_refs(rules_, visit, arg)) return r;
    if (int r = visit_refs(tekrar_, visit, arg)) return r;
    if (int r = visit_refs(clusters_, visit, arg)) return r;
    return visit_refs(archive_docs_, visit, arg);
}

// The document's values for the rule's fields, when it carries them all.
bool Clusters::values_if_carried(nb::handle doc, const Fields &fields, std::vector<nb::object> &out) {
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

size_t Clusters::find(size_t x) {
    while (forest_[x].parent != x) {
        forest_[x].parent = forest_[forest_[x].parent].parent;
        x = forest_[x].parent;
    }
    return x;
}

// Join two roots, the smaller set under the larger; gives the new root.
size_t Clusters::unite(size_t a, size_t b) {
    if (forest_[a].size < forest_[b].size) std::swap(a, b);
    forest_[b].parent = a;
    forest_[a].size += forest_[b].size;
    return a;
}

}  // namespace kestrel::functions
