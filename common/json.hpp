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
#include <memory>
#include <string>
#include <string_view>

namespace quillon::json {

namespace nb = nanobind;

// Returns the substitute for an object plain JSON cannot write, or throws.
using Fallback = std::function<nb::object(nb::handle)>;

// Appends the JSON text of `value` to `out`. Without a fallback, unknown objects raise
// TypeError("Object of type X is not JSON serializable") like json.JSONEncoder.default.
void write(std::string &out, nb::handle value, const Fallback &fallback = nullptr);

// The text of plain_copy(value, fallback), json.dumps(json.loads(json.dumps(value, ...))),
// without the copy: made value by value into a buffer that the caller empties between values,
// for texts too large to hold whole. It is what write() writes, except where json.loads
// merges: members of one object whose keys come out the same text (1 and "1") become one, in
// the first one's place with the last one's value. The caller writes the punctuation between
// values itself, and enters each container it opens by hand with a Nesting, so that the
// recursion limit counts it as it counts the containers json writes.
class TextWriter {
public:
    explicit TextWriter(Fallback fallback = nullptr);
    ~TextWriter();
    TextWriter(const TextWriter &) = delete;
    TextWriter &operator=(const TextWriter &) = delete;

    void value(nb::handle value);
    void raw(std::string_view text) { text_.append(text); }
    // The text written and not yet taken; the caller takes it by clearing it.
    std::string &text() { return text_; }

private:
    struct Walker;
    std::string text_;
    std::unique_ptr<Walker> walker_;
};

// One level of nesting held for the life of the object, counted against the interpreter's
// recursion limit (RecursionError beyond it) as each container json enters is.
class Nesting {
public:
    Nesting();
    ~Nesting();
    Nesting(const Nesting &) = delete;
    Nesting &operator=(const Nesting &) = delete;
};

// What json.loads(json.dumps(value, default=fallback)) returns: plain dicts, lists, strings,
// ints, floats, bools and None (keys become strings, tuples lists, subclasses their base
// values, escaped surrogate pairs one character).
nb::object plain_copy(nb::handle value, const Fallback &fallback);

}  // namespace quillon::json
