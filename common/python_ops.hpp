// Small pieces of the interpreter's semantics that the modules perform natively, with the
// interpreter's own errors: truth, equality, text, imports, `a, b = value`,
// `f(*args, **mapping)`, and the one rule for reading the bytes of a stream or a host File.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>

namespace quillon::ops {

namespace nb = nanobind;

// `bool(value)`.
bool truthy(nb::handle value);

// `a == b` as the interpreter evaluates it (no identity shortcut), made a truth value.
bool equal(nb::handle a, nb::handle b);

// `key in container`
bool contains(nb::handle container, const char *key);

// The text form of a value: the string itself (the text of a str subclass too, whatever its
// __str__ says), else str(value).
std::string text_of(nb::handle value);
// The same as a Python string, which keeps any text (lone surrogates included).
nb::object text_object_of(nb::handle value);

// `"".join(parts)` of strings.
nb::str concat(std::initializer_list<nb::handle> parts);

// `from module import name`: a missing module or name is the ImportError that statement gives.
nb::object import_name(const char *module, const char *name);

// The content of an input given as an in-memory stream or a host File: `getvalue()` of a
// `bytes_io` instance (io.BytesIO, looked up by the caller once), else `getvalue_binary()`.
nb::object stream_or_file_bytes(nb::handle input, nb::handle bytes_io);

// `first, second, ... = value` for `count` targets: a tuple of exactly `count` items, or the
// interpreter's TypeError/ValueError for a non-iterable or a wrong number of values.
nb::tuple unpack(nb::handle value, Py_ssize_t count);

// `function(*args, **mapping)`: a mapping that is not one fails with the interpreter's
// "... argument after ** must be a mapping, not T".
nb::object call_with_mapping(nb::handle function, nb::handle args, nb::handle mapping);

}  // namespace quillon::ops
