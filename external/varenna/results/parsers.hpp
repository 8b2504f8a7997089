// The result parsers: RcsOutputFileParser (streaming, with its nested SectionResult and the
// per-check extraction) and OutputFileParser (whole document).
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

// A new SectionResult of the base class holding a native section (`holder`), as the class
// would be called with (id_, element); an unset object when the class's __init__ has been
// replaced (the caller then calls the class with an ElementTree element).
nb::object new_native_section_result(nb::handle id, nb::handle holder);

// The SectionResult class made by make_section_result_class.
nb::handle section_result_class();
// int(element.find("SectionId").text), with the interpreter's errors.
nb::object section_identifier(const xml::Tree &tree, uint32_t section);

void init_output_parser(nb::module_ &m, nb::handle rcs_parser_class);

// Raises ParsingError("section with id '" + <before> + str(id) + "' is not available in the
// result file."). Built from Python strings: an identifier may hold any text, lone surrogates
// included; a str subclass (a str-based enum member, say) shows its text, not its __str__.
[[noreturn]] void raise_missing_section(const char *before, nb::handle id);

}  // namespace quillon::varenna
