// JSON as the interpreter's `json` module has it, in one walk over Python values with two back
// ends: writing the text `json.dumps(value)` writes with default arguments, and building the
// value `json.loads(json.dumps(value))` gives back, without the text in between.
//
// The text: ", " and ": " separators, keys in insertion order, ASCII output with \u escapes
// (surrogate pairs beyond the basic plane), floats as repr() writes them, NaN/Infinity/
// -Infinity, int, float, bool and None keys turned into strings, tuples as arrays.
//
// The walk is json's: objects that plain JSON cannot write go to a fallback, whose result
// stands in their place (json's `default`); list and tuple subclasses are read through their
// own iteration, dict subclasses through their own items(); circular containers raise
// ValueError("Circular reference detected"); nesting deeper than the interpreter's recursion
// limit raises RecursionError. All errors are thrown as nb::python_error with the
// interpreter's types and messages, in the order json raises them.
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

// What json.loads(json.dumps(value, default=fallback)) returns: plain dicts, lists, strings,
// ints, floats, bools and None (keys become strings, tuples lists, subclasses their base
// values, escaped surrogate pairs one character).
nb::object plain_copy(nb::handle value, const Fallback &fallback);

}  // namespace quillon::json
