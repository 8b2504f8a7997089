// What a text of a tree is, for the code that reads values out of it. A tree copied from
// ElementTree elements may hold, where a text belongs, any object user code put there; these
// accessors are the one place that knows, so readers ask only "is it our string?".
#pragma once

#include "xml_tree.hpp"

#include <nanobind/nanobind.h>

#include <string_view>

namespace quillon::xml {

// A text as it stands: its characters when it is a string the tree holds, else the object
// (None for a missing text, or the non-string value of a copied tree).
struct Text {
    bool is_string = false;
    std::string_view chars;  // is_string: the characters
    nb::handle object;       // otherwise: None or the object
    bool is_none() const { return !is_string && object.is_none(); }
    // Neither our string nor None: a value user code put in a copied tree.
    bool is_object() const { return !is_string && !object.is_none(); }
};

// Touches no reference count: it also serves code that runs without the interpreter's lock.
inline Text text_of(const Tree &tree, Span s) {
    if (s.is_none()) return Text{false, {}, nb::handle(Py_None)};
    if (s.is_foreign()) return Text{false, {}, tree.foreign[s.length]};
    return Text{true, tree.view(s), {}};
}

// Whether every text and tag of the tree is a string: reading it then runs no user code and
// cannot fail, so the order of the lookups is free.
bool only_strings(const Tree &tree);

}  // namespace quillon::xml
