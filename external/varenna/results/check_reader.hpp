// Reading a section's values as the interpreter would read them from its ElementTree
// element: float(element.text), element.text, `not element.text`, with the interpreter's errors,
// natively where the text is ours. The Reader binds our names and paths to one tree once.
#pragma once

#include "binder.hpp"
#include "check_paths.hpp"
#include "read_ahead.hpp"
#include "xml_path.hpp"
#include "xml_text.hpp"
#include "xml_tree.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillon::varenna::checks {

using bind::raise_pending;
using xml::BoundPath;
using xml::kNone;
using xml::Span;
using xml::Tree;

// Reading an attribute (`text`, `findtext`) of a missing element: the interpreter's own
// AttributeError.
[[noreturn]] void raise_missing(const char *attribute);

// float() of plain decimal ASCII text; false for anything else (the interpreter decides).
// `readable`, when given, is where the memory holding `s` ends: bytes up to there may be read
// (and ignored) past the end of `s`.
bool plain_float(std::string_view s, double &out, const char *readable = nullptr);

// Whether `node`'s complete text (as a path's condition reads it) is each of `values`: bit i
// for values[i]. A leaf is compared as it stands, without walking it.
template <size_t N>
uint32_t complete_text_is(const Tree &t, uint32_t node, const std::string_view (&values)[N]) {
    static_assert(N <= 32);
    uint32_t bits = 0;
    if (!t.has_children(node)) {
        const xml::Text text = xml::text_of(t, t.nodes[node].text);
        if (text.is_string)
            for (size_t i = 0; i < N; ++i)
                if (text.chars == values[i]) bits |= 1u << i;
        if (text.is_string || text.is_none()) return bits;
    }
    for (size_t i = 0; i < N; ++i)
        if (xml::complete_text_equals(t, node, values[i])) bits |= 1u << i;
    return bits;
}

// For each check, the first descendant of `extreme` with a ResultType child of the check's
// type (only the first such child counts) whose tail path (`tail(k)`, bound to the tree)
// matches, and that match: what ".//*[ResultType=<type>]/<tail>" finds in a tree of strings.
template <class Tails>
std::array<uint32_t, kChecks> find_checks(const Tree &t, uint32_t result_type, uint32_t extreme,
                                          Tails &&tail) {
    std::array<uint32_t, kChecks> found;
    found.fill(kNone);
    if (result_type == kNone) return found;
    size_t missing = kChecks;
    for (uint32_t d = xml::next_in_subtree(t, extreme, extreme); d != kNone && missing;
         d = xml::next_in_subtree(t, d, extreme)) {
        bool tried[kChecks] = {};
        for (uint32_t c = t.nodes[d].first_child; c != kNone; c = t.nodes[c].next_sibling) {
            if (t.nodes[c].tag != result_type) continue;
            const uint32_t types = complete_text_is(t, c, kCheckTypes);
            for (size_t k = 0; k < kChecks; ++k) {
                if (found[k] != kNone || tried[k] || !(types >> k & 1)) continue;
                tried[k] = true;
                found[k] = tail(k).first(d);
                if (found[k] != kNone) --missing;
            }
        }
    }
    return found;
}

// In a tree of strings, the stress-limitation selections below `e`, all found in one pass
// over its children (the paths are conditions on them).
void select_stresses(const Tree &t, const TreeNames &names, uint32_t e, StressSelections &out);

struct Reader : TreeNames {
    const Tree &t;
    // What the walk read ahead, when it did: the tree is then one of strings.
    const ReadAhead *ahead;
    std::vector<nb::object> tag_cache;

    explicit Reader(const Tree &tree, const ReadAhead *a)
        : TreeNames(a ? a->names : TreeNames(tree)), t(tree), ahead(a), tag_cache(tree.tags.size()) {}
    explicit Reader(const Tree &tree) : Reader(tree, read_ahead_of(tree)) {}

    uint32_t child(uint32_t node, Name n) const { return t.child(node, ids[n]); }

    // The first child of an element with each of our names, as child() finds it, for an
    // element read for many names: one pass over its children instead of one per name.
    struct FirstChildren {
        uint32_t of[NameCount];
        uint32_t operator[](Name n) const { return of[n]; }
    };
    FirstChildren first_children(uint32_t node) const {
        FirstChildren f;
        std::fill(std::begin(f.of), std::end(f.of), kNone);
        for (uint32_t c = t.nodes[node].first_child; c != kNone; c = t.nodes[c].next_sibling) {
            const uint8_t n = name_of[t.nodes[c].tag];
            if (n != NameCount && f.of[n] == kNone) f.of[n] = c;
        }
        return f;
    }

    // The path with its tags looked up in this tree once, however many extremes it runs on.
    const BoundPath &path(const Path &p) { return bound(p); }
    BoundPaths bound{t};
    // What path(p).first(context) and .all(context) find, read ahead where the walk did.
    uint32_t first(const Path &p, uint32_t context) {
        uint32_t found;
        if (ahead && ahead->first(p, context, found)) return found;
        return path(p).first(context);
    }
    std::vector<uint32_t> all(const Path &p, uint32_t context) {
        if (ahead)
            if (const ReadAhead::All *a = ahead->all(p, context)) {
                const std::span<const uint32_t> found = ahead->range(a->begin, a->end);
                return std::vector<uint32_t>(found.begin(), found.end());
            }
        return path(p).all(context);
    }

    // The result element of check `k` below `extreme`, as paths().checks[k] finds it. When
    // all checks are wanted, in a pure tree, the elements of all of them are found in one walk
    // over the extreme instead of one walk per check.
    uint32_t check_element(size_t k, uint32_t extreme, bool all_checks) {
        if (ahead)
            if (const std::array<uint32_t, kChecks> *found = ahead->checks_of(extreme)) return (*found)[k];
        if (!pure || !all_checks) return path(paths().checks[k]).first(extreme);
        auto it = check_elements.find(extreme);
        if (it == check_elements.end()) it = check_elements.emplace(extreme, find_checks(extreme)).first;
        return it->second[k];
    }
    std::unordered_map<uint32_t, std::array<uint32_t, kChecks>> check_elements;

    // Room for the elements an extraction selects, kept from one extreme to the next.
    StressSelections selections;
    std::vector<std::pair<uint32_t, nb::object>> stresses;

    std::array<uint32_t, kChecks> find_checks(uint32_t extreme) {
        return checks::find_checks(t, ids[ResultType], extreme,
                                   [&](size_t k) -> const BoundPath & { return path(paths().check_tails[k]); });
    }

    // float(element.text)
    nb::object number(uint32_t node) const {
        if (node == kNone) raise_missing("text");
        double ahead_value;
        if (ahead && ahead->number(node, ahead_value)) return nb::steal(PyFloat_FromDouble(ahead_value));
        const Span s = t.nodes[node].text;
        const xml::Text text_value = xml::text_of(t, s);
        if (!text_value.is_string) {
            PyObject *r = PyNumber_Float(text_value.object.ptr());
            if (!r) raise_pending();
            return nb::steal(r);
        }
        double v;
        // A text in the tree's arena may be read on up to the arena's end.
        const char *readable = s.is_indent() ? nullptr : t.chars.data() + t.chars.size();
        if (plain_float(text_value.chars, v, readable)) return nb::steal(PyFloat_FromDouble(v));
        nb::object text = t.text_object(s);
        PyObject *r = PyFloat_FromString(text.ptr());
        if (!r) raise_pending();
        return nb::steal(r);
    }
    // element.text
    nb::object text(uint32_t node) {
        if (node == kNone) raise_missing("text");
        const Span s = t.nodes[node].text;
        if (s.is_none() || s.is_foreign() || s.length > kShortText) return t.text_object(s);
        // Short texts repeat endlessly (results, check names): one string object each, which
        // also keeps its hash for the dictionaries it becomes a key of.
        const std::string_view chars = t.view(s);
        for (const auto &[seen, object] : short_texts)
            if (seen.size() == chars.size() && (chars.empty() || seen.back() == chars.back()) && seen == chars)
                return object;
        nb::object object = t.text_object(s);
        if (short_texts.size() < kShortTexts) short_texts.emplace_back(std::string(chars), object);
        return object;
    }
    static constexpr uint32_t kShortText = 40;
    static constexpr size_t kShortTexts = 24;
    std::vector<std::pair<std::string, nb::object>> short_texts;
    nb::object tag(uint32_t node) {
        const uint32_t id = t.nodes[node].tag;
        if (!tag_cache[id].is_valid()) tag_cache[id] = t.tag_object(node);
        return tag_cache[id];
    }
    // `not element.text`: no text, an empty one, or (in a tree user code filled) a falsy object.
    bool text_is_empty(uint32_t node) const {
        const xml::Text text_value = xml::text_of(t, t.nodes[node].text);
        if (text_value.is_none()) return true;
        if (text_value.is_string) return text_value.chars.empty();
        const int truthy = PyObject_IsTrue(text_value.object.ptr());
        if (truthy < 0) raise_pending();
        return !truthy;
    }
    // element.text equals `value` (a missing text is None, which equals no string).
    bool text_is(uint32_t node, std::string_view value) const {
        const xml::Text text_value = xml::text_of(t, t.nodes[node].text);
        if (text_value.is_none()) return false;
        if (text_value.is_object()) {
            nb::str v(value.data(), value.size());
            const int eq = PyObject_RichCompareBool(text_value.object.ptr(), v.ptr(), Py_EQ);
            if (eq < 0) raise_pending();
            return eq;
        }
        return text_value.chars == value;
    }
};

}  // namespace quillon::varenna::checks
