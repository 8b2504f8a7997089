// The result parsers: RcsOutputFileParser (streaming, with its nested SectionResult and the
// checks) and OutputFileParser (whole document).
#pragma once

#include "xml_tree.hpp"

#include <nanobind/nanobind.h>

namespace quillon::varenna {

namespace nb = nanobind;

// Registers RcsOutputFileParser and OutputFileParser on the module.
void init_parsers(nb::module_ &m);

// --- shared between the parser files ---------------------------------------------------------

// Makes the nested SectionResult class (qualified name "<outer>.SectionResult").
nb::object make_section_result_class(nb::module_ &m, const char *outer_qualname);

// Whether `owner.SectionResult` (put in `cls`) is the class as made, with its own __init__, so
// that a section can be made natively: `cls(id_, <native section holder>)`. When not, the
// caller makes it with an ElementTree element, through what it found.
bool makes_native_sections(nb::handle owner, nb::object &cls);

// int(element.find("SectionId").text), with the interpreter's errors.
nb::object section_identifier(const xml::Tree &tree, uint32_t section);

void init_output_parser(nb::module_ &m, nb::handle rcs_parser_class);

// Raises ParsingError("section with id '" + <before> + str(id) + "' is not available in the
// result file."). Built from Python strings: an identifier may hold any text, lone surrogates
// included; a str subclass (a str-based enum member, say) shows its text, not its __str__.
[[noreturn]] void raise_missing_section(const char *before, nb::handle id);

}  // namespace quillon::varenna
