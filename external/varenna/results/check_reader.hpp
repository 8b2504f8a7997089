// Reading a section's values as the interpreter would read them from its ElementTree
// element: float(element.text), element.text, `not element.text`, with the interpreter's errors,
// natively where the text is ours. The Reader binds our names and paths to one tree once, and
// is the one place that decides how that tree is read: from what the walk read ahead of it,
// natively in any order (a tree of strings), or in the order the check reads it (a tree user
// code filled, where a lookup may run user code).
#pragma once

#include "binder.hpp"
#include "check_search.hpp"
#include "read_ahead.hpp"
#include "xml_text.hpp"
#include "xml_tree.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillon::varenna::checks {

using bind::raise_pending;

// Reading an attribute (`text`, `findtext`) of a missing element: the interpreter's own
// AttributeError.
[[noreturn]] void raise_missing(const char *attribute);

struct Reader : TreeNames {
    const Tree &t;
    // What the walk read ahead, when it did: the tree is then one of strings.
    const ReadAhead *ahead;
    std::vector<nb::object> tag_cache;

    explicit Reader(const Tree &tree, const ReadAhead *a)
        : TreeNames(a ? a->names : TreeNames(tree)), t(tree), ahead(a), tag_cache(tree.tags.size()) {}
    explicit Reader(const Tree &tree) : Reader(tree, read_ahead_of(tree)) {}

    // The check being read: its row declares the lookups its read function may make.
    size_t check = 0;

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

    // Whether the children of `node` are `names`, each once and in that order (as the files
    // the program writes have them), in a tree of strings.
    template <size_t N>
    bool children_are(uint32_t node, const Name (&names)[N]) const {
        if (!pure) return false;
        size_t i = 0;
        for (uint32_t c = t.nodes[node].first_child; c != kNone; c = t.nodes[c].next_sibling, ++i)
            if (i == N || t.nodes[c].tag != ids[names[i]]) return false;
        return i == N;
    }

    TreePaths bound{t};

    // What the lookup's path finds below `context`: its first match (a `first` or
    // `first_below_all` lookup of the check), or all its matches (an `all` lookup). The span
    // holds until the same lookup runs again.
    uint32_t first(Lookup l, uint32_t context) {
        assert(kChecks[check].first.has(l) || kChecks[check].first_below_all.has(l));
        uint32_t found;
        if (ahead && ahead->first(l, context, found)) return found;
        return bound.lookup(l).first(context);
    }
    std::span<const uint32_t> all(Lookup l, uint32_t context) {
        const Lookups &ls = kChecks[check].all;
        assert(ls.has(l));
        if (ahead) {
            // A check asks for each of its lookups below the same element in turn.
            if (!ahead_all || ahead_all->context != context || ahead_all->check != check)
                ahead_all = ahead->all(check, context);
            if (ahead_all) return ahead->range(ahead_all->bounds[l - ls.begin], ahead_all->bounds[l - ls.begin + 1]);
        }
        std::vector<uint32_t> &out = all_found[l - ls.begin];
        if (pure && kChecks[check].select) {
            // All of the check's selections in one pass, the first time one is asked for.
            if (selected.context != context || selected.check != check) {
                kChecks[check].select(t, *this, context, all_found);
                selected = {context, check};
            }
            return out;
        }
        // Each where the check asks for it: a path may run user code in a tree it filled.
        selected = {};
        out = bound.lookup(l).all(context);
        return out;
    }

    // The result element of check `k` below `extreme`, as paths().results[k] finds it. When
    // all checks are wanted, in a pure tree, the elements of all of them are found in one walk
    // over the extreme instead of one walk per check.
    uint32_t check_element(size_t k, uint32_t extreme, bool all_checks) {
        if (ahead)
            if (const std::array<uint32_t, kCheckCount> *found = ahead->checks_of(extreme)) return (*found)[k];
        if (!pure) return bound.result(k).first(extreme);
        if (!all_checks) {
            if (!t.runs_are_subtrees) return bound.result(k).first(extreme);
            return find_check(t, ids[ResultType], extreme, k, bound, check_candidates);
        }
        auto it = check_elements.find(extreme);
        if (it == check_elements.end())
            it = check_elements.emplace(extreme, find_checks(t, ids[ResultType], extreme, bound)).first;
        return it->second[k];
    }
    std::unordered_map<uint32_t, std::array<uint32_t, kCheckCount>> check_elements;
    std::vector<uint32_t> check_candidates;

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

    // Room the checks keep from one extreme to the next: the matches of `all` lookups, and the
    // numbers read for the stresses of the section's stress limitation.
    std::vector<uint32_t> all_found[kMostAll];
    const ReadAhead::All *ahead_all = nullptr;
    struct {
        uint32_t context = kNone;
        size_t check = kCheckCount;
    } selected;
    std::vector<std::pair<uint32_t, nb::object>> stresses;
};

}  // namespace quillon::varenna::checks
