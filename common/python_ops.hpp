// Statements of the interpreter that the modules perform natively, with the interpreter's own
// errors: `a, b = value` and `f(*args, **mapping)`.
#pragma once

#include <nanobind/nanobind.h>

namespace quillon::ops {

namespace nb = nanobind;

// `first, second, ... = value` for `count` targets: a tuple of exactly `count` items, or the
// interpreter's TypeError/ValueError for a non-iterable or a wrong number of values.
nb::tuple unpack(nb::handle value, Py_ssize_t count);

// `function(*args, **mapping)`: a mapping that is not one fails with the interpreter's
// "... argument after ** must be a mapping, not T".
nb::object call_with_mapping(nb::handle function, nb::handle args, nb::handle mapping);

}  // namespace quillon::ops
