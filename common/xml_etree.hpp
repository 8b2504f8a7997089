// Crossing between our trees and the interpreter's `xml.etree.ElementTree` elements, in both
// directions, without recursion (documents may nest a million levels deep).
#pragma once

#include "xml_tree.hpp"

#include <functional>

namespace quillon::xml {

// Looks up what the crossings use of `xml.etree.ElementTree`: once, as a module that uses them
// sets itself up, before any of them runs.
void load_etree();

// An ElementTree element for `node` and its subtree (tag, attributes, text, tails). The root
// gets its tail only with `with_tail`. `reuse`, when given, may return an already built element
// for a node; it is then used as it is, and its subtree is not built again. The tree is read
// under a ReadLock: building runs Python code, which may ask for the tree to be cleared.
nb::object to_etree(const Tree &tree, uint32_t node,
                    const std::function<nb::object(uint32_t)> &reuse = {}, bool with_tail = false);

// What a holder of a native element gives `__reduce_ex__`, so that pickling or copying it
// gives `element` (pickled and memoised as itself).
nb::object reduce_to(nb::handle element);

// A copy of an ElementTree element as it is now (its node 0), for reading it natively.
// Attributes are not copied.
TreePtr from_etree(nb::handle element);

}  // namespace quillon::xml
