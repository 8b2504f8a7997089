// The holder a SectionResult made by our parsers keeps as its element: an element of a native
// tree, which becomes an ElementTree element only when someone asks for one.
#pragma once

#include "xml_tree.hpp"

#include <nanobind/nanobind.h>

namespace quillon::varenna {

namespace nb = nanobind;

// `etree` is the ElementTree element built from it on first request; once it exists, it is
// what the section reads (user code may have changed it).
struct NativeSection {
    xml::TreePtr tree;
    uint32_t node = xml::kNone;
    nb::object etree;
};

// Registers the holder type (`_NativeSection`) on the module.
void register_section_holder(nb::module_ &m);

// The holder object (stored as the section's element) for a native section.
nb::object wrap_native_section(const xml::TreePtr &tree, uint32_t node);
// The ElementTree element of a holder (built and cached on first request).
nb::object native_section_etree(nb::handle holder);
// Element.clear() on a holder: the native element and its ElementTree element, if built.
void clear_native_section(nb::handle holder);
bool is_native_section(nb::handle obj);

}  // namespace quillon::varenna
