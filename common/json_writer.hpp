// JSON text exactly as the interpreter's `json.dumps(value)` writes it with default arguments:
// ", " and ": " separators, keys in insertion order, ASCII output with \u escapes (surrogate
// pairs beyond the basic plane), floats as repr() writes them, NaN/Infinity/-Infinity, int,
// float, bool and None keys turned into strings, tuples as arrays.
//
// Objects that plain JSON cannot write go to a fallback, whose result is written in their
// place (json's `default`). Circular containers raise ValueError("Circular reference
// detected"); nesting deeper than the interpreter's recursion limit raises RecursionError.
// All errors are thrown as nb::python_error with the interpreter's types and messages.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>

namespace quillon::json {

namespace nb = nanobind;

// Returns the substitute for an object plain JSON cannot write, or throws.
using Fallback = std::function<nb::object(nb::handle)>;

// Appends the JSON text of `value` to `out`. Without a fallback, unknown objects raise
// TypeError("Object of type X is not JSON serializable") like json.JSONEncoder.default.
void write(std::string &out, nb::handle value, const Fallback &fallback = nullptr);

}  // namespace quillon::json
