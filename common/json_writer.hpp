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
#include <unordered_set>

namespace quillon::json {

namespace nb = nanobind;

// Returns the substitute for an object plain JSON cannot write, or throws.
using Fallback = std::function<nb::object(nb::handle)>;

// Appends the JSON text of `value` to `out`. Without a fallback, unknown objects raise
// TypeError("Object of type X is not JSON serializable") like json.JSONEncoder.default.
void write(std::string &out, nb::handle value, const Fallback &fallback = nullptr);

// Scopes shared by every walk over nested values that json would encode.

// Py_EnterRecursiveCall/Py_LeaveRecursiveCall as a scope: nesting beyond the interpreter's
// recursion limit becomes its RecursionError instead of exhausting the C stack.
struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// Marks a container as being walked, for json's circular-reference check; unmarks on exit.
class Marker {
public:
    Marker(std::unordered_set<PyObject *> &markers, PyObject *o);
    ~Marker() { markers_.erase(o_); }
    Marker(const Marker &) = delete;
    Marker &operator=(const Marker &) = delete;

private:
    std::unordered_set<PyObject *> &markers_;
    PyObject *o_;
};

}  // namespace quillon::json
