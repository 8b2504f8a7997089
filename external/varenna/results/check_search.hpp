// Finding what the checks read, natively and without the interpreter, so that a walk can do it
// in its scanning thread as well as a reader under the lock: the checks' paths, our names'
// tags in a tree, the result elements of the checks below an extreme, the stress selections,
// and float() of plain decimal text.
#pragma once

#include "check_table.hpp"
#include "xml_path.hpp"
#include "xml_text.hpp"
#include "xml_tree.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace quillon::varenna::checks {

using xml::BoundPath;
using xml::kNone;
using xml::Path;
using xml::Span;
using xml::Tree;

// The checks' paths, made from the table as the module is imported and kept for the life of
// the process. Plain C++ (walks use them in their scanning threads): making them involves no
// interpreter.
struct Paths {
    std::vector<Path> results;  // by check: `.//*[ResultType="<type>"]/<tail>`
    std::vector<Path> tails;    // by check: `<tail>`
    std::vector<Path> lookups;  // by Lookup
    Paths();
};
const Paths &paths();

// The same paths with their tags looked up in one tree, each the first time it is asked for.
class TreePaths {
public:
    explicit TreePaths(const Tree &t) : t_(t) {}
    const BoundPath &result(size_t check) { return bound(results_[check], paths().results[check]); }
    const BoundPath &tail(size_t check) { return bound(tails_[check], paths().tails[check]); }
    const BoundPath &lookup(Lookup l) { return bound(lookups_[l], paths().lookups[l]); }

private:
    const BoundPath &bound(std::optional<BoundPath> &slot, const Path &p) {
        if (!slot) slot.emplace(p, t_);
        return *slot;
    }
    const Tree &t_;
    std::array<std::optional<BoundPath>, kCheckCount> results_, tails_;
    std::array<std::optional<BoundPath>, LookupCount> lookups_;
};

// Our names in one tree: their tag ids, and the reverse.
struct TreeNames {
    uint32_t ids[NameCount];
    std::vector<uint8_t> name_of;  // tag id -> our name (NameCount: none)
    // Only strings in the tree (always so in a parsed one): looking through it runs no user
    // code and cannot fail, so the order of the lookups is free.
    bool pure = false;
    explicit TreeNames(const Tree &t);
};

// float() of plain decimal ASCII text; false for anything else (the interpreter decides).
// `readable`, when given, is where the memory holding `s` ends: bytes up to there may be read
// (and ignored) past the end of `s`.
bool plain_float(std::string_view s, double &out, const char *readable = nullptr);

// Whether `node`'s complete text (as a path's condition reads it) is each of `values`: bit i
// for values[i]. A leaf is compared as it stands, without walking it.
template <class Values>
uint32_t complete_text_is(const Tree &t, uint32_t node, const Values &values) {
    static_assert(sizeof(Values) / sizeof(std::string_view) <= 32);
    uint32_t bits = 0;
    if (!t.has_children(node)) {
        const xml::Text text = xml::text_of(t, t.nodes[node].text);
        if (text.is_string)
            for (size_t i = 0; i < std::size(values); ++i)
                if (text.chars == values[i]) bits |= 1u << i;
        if (text.is_string || text.is_none()) return bits;
    }
    for (size_t i = 0; i < std::size(values); ++i)
        if (xml::complete_text_equals(t, node, values[i])) bits |= 1u << i;
    return bits;
}

// For each check, the first descendant of `extreme` with a ResultType child of the check's
// type (only the first such child counts) whose tail path matches, and that match: what the
// check's result path finds in a tree of strings.
inline std::array<uint32_t, kCheckCount> find_checks(const Tree &t, uint32_t result_type,
                                                     uint32_t extreme, TreePaths &bound) {
    std::array<uint32_t, kCheckCount> found;
    found.fill(kNone);
    if (result_type == kNone) return found;
    size_t missing = kCheckCount;
    for (uint32_t d = xml::next_in_subtree(t, extreme, extreme); d != kNone && missing;
         d = xml::next_in_subtree(t, d, extreme)) {
        bool tried[kCheckCount] = {};
        for (uint32_t c = t.nodes[d].first_child; c != kNone; c = t.nodes[c].next_sibling) {
            if (t.nodes[c].tag != result_type) continue;
            const uint32_t types = complete_text_is(t, c, kCheckTypes);
            for (size_t k = 0; k < kCheckCount; ++k) {
                if (found[k] != kNone || tried[k] || !(types >> k & 1)) continue;
                tried[k] = true;
                found[k] = bound.tail(k).first(d);
                if (found[k] != kNone) --missing;
            }
        }
    }
    return found;
}

// What find_checks finds for check `k` alone, in a tree of strings whose runs are its subtrees:
// the ResultType elements below `extreme` picked out of its run of nodes, without walking
// every element below it (the check elements are a few among hundreds of values). Their
// parents, in document order, are tried as find_checks tries them. `candidates` is room.
inline uint32_t find_check(const Tree &t, uint32_t result_type, uint32_t extreme, size_t k,
                           TreePaths &bound, std::vector<uint32_t> &candidates) {
    if (result_type == kNone) return kNone;
    candidates.clear();
    const std::string_view type[] = {kCheckTypes[k]};
    const uint32_t end = t.subtree_end(extreme);
    for (uint32_t r = extreme + 1; r < end; ++r) {
        if (t.nodes[r].tag != result_type) continue;
        const uint32_t d = t.nodes[r].parent;
        if (d != extreme && complete_text_is(t, r, type)) candidates.push_back(d);
    }
    // A parent comes before its children, but a ResultType after an element may belong to an
    // element before it.
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (uint32_t d : candidates) {
        const uint32_t found = bound.tail(k).first(d);
        if (found != kNone) return found;
    }
    return kNone;
}

}  // namespace quillon::varenna::checks
