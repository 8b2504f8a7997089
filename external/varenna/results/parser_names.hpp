// What the result parsers keep of the interpreter's objects, in one place: the host names, the
// classes as made, and what their dicts held then (the originals the fast paths look for with
// finds_original, so a user's override is always the one that runs), with the keys they are
// looked up by.
#pragma once

#include "extractions.hpp"

#include <nanobind/nanobind.h>

namespace quillon::varenna {

namespace nb = nanobind;

struct ParserNames {
    nb::object ParsingError;

    // OutputFileParser's and RcsOutputFileParser's originals.
    nb::object RcsOutputFileParser;
    nb::object root_property, section_element;
    nb::object element_to_dict;           // the classmethod object in the class dict
    nb::object element_to_dict_function;  // the function it binds

    // SectionResult and its originals.
    nb::object SectionResult;
    nb::object section_init, element_property, iter_extremes;
    nb::object operations[checks::kOperationCount];

    // Interned keys.
    nb::object s_root, s_section_element, s_element_to_dict;
};

// Filled as the module sets itself up, kept for the life of the process.
ParserNames &parser_names();

}  // namespace quillon::varenna
