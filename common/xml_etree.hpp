// Crossing between our trees and the interpreter's `xml.etree.ElementTree` elements, in both
// directions, without recursion (documents may nest a million levels deep).
#pragma once

#include "xml_tree.hpp"

#include <functional>

namespace quillon::xml {

// An ElementTree element for `node` and its subtree (tag, attributes, text, tails). The root
// gets no tail. `reuse`, when given, may return an already built element for a node; it is
// then used as it is, and its subtree is not built again.
nb::object to_etree(const Tree &tree, uint32_t node,
                    const std::function<nb::object(uint32_t)> &reuse = {});

// A copy of an ElementTree element as it is now (its node 0), for reading it natively.
// Attributes are not copied.
TreePtr from_etree(nb::handle element);

}  // namespace quillon::xml
