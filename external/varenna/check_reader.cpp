#include "check_reader.hpp"

#include "binder.hpp"

#include <charconv>

namespace quillon::varenna::checks {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// Reading `.text` of a missing element: the interpreter's own AttributeError.
void raise_missing(const char *attribute) {
    PyObject *r = PyObject_GetAttrString(Py_None, attribute);
    Py_XDECREF(r);
    bind::raise_pending();
}

// float() of plain decimal ASCII text; false for anything else (the interpreter decides).
bool plain_float(std::string_view s, double &out) {
    size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    if (b == e) return false;
    const char *p = s.data() + b, *end = s.data() + e;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Starting with a digit or a point rules out a second sign and the words (inf, nan) that
    // from_chars would take; what it then takes in full is digits with at most one point and
    // an optional exponent, which float() reads the same way. Anything else (underscores,
    // out of range values) goes to the interpreter.
    if (p == end || !(is_digit(*p) || *p == '.')) return false;
    double v;
    auto r = std::from_chars(p, end, v);
    if (r.ec != std::errc() || r.ptr != end) return false;
    out = negative ? -v : v;
    return true;
}

}  // namespace quillon::varenna::checks
