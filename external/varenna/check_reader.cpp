#include "check_reader.hpp"

#include "binder.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

namespace quillon::varenna::checks {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// How many of the eight bytes at `p` are digits before the first that is not, and (in
// `value`) the number the first `n` of them make, for n <= that count. Eight bytes at a time,
// as one integer: a value's digits take a few steps instead of one each.
int leading_digits(const char *p, size_t limit, uint64_t &value) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    // Zero in each byte that is a digit: high nibble 3, and no carry out of the low one on +6.
    const uint64_t x =
        ((v & 0xF0F0F0F0F0F0F0F0u) | (((v + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) ^
        0x3333333333333333u;
    const uint64_t non_digits = (((x & 0x7F7F7F7F7F7F7F7Fu) + 0x7F7F7F7F7F7F7F7Fu) | x) & 0x8080808080808080u;
    int n = non_digits ? std::countr_zero(non_digits) / 8 : 8;
    if ((size_t) n > limit) n = (int) limit;
    if (n == 0) {
        value = 0;
        return 0;
    }
    v -= 0x3030303030303030u;
    if (n < 8) v = (v & ((1ull << (8 * n)) - 1)) << (8 * (8 - n));  // as leading zeros
    v = v * 10 + (v >> 8);  // pairs of digits in every other byte
    v = (((v & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
         (((v >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >> 32;
    value = (uint32_t) v;
    return n;
}

// Digits with at most one point, nothing else, whose digits make at most 2^53: the digits
// and the power of ten (at most 10^19) are then exact doubles, so one division rounds
// correctly, as float() does. False for anything else, or where fewer than eight bytes from
// a digit on may be read (up to `readable`).
bool exact_decimal(const char *p, const char *end, const char *readable, double &out) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                         1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
    static constexpr uint64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    uint64_t digits = 0;
    size_t count = 0;
    auto take = [&]() -> bool {
        int n;
        do {
            if (readable - p < 8) return false;
            uint64_t value;
            n = leading_digits(p, (size_t) (end - p), value);
            count += (size_t) n;
            if (count > 19) return false;
            digits = digits * kScale[n] + value;
            p += n;
        } while (n == 8);
        return true;
    };
    if (!take()) return false;
    size_t fraction = 0;
    if (p != end && *p == '.') {
        ++p;
        const size_t before = count;
        if (!take()) return false;
        fraction = count - before;
    }
    if (p != end || count == 0 || digits > (1ull << 53)) return false;
    out = (double) digits / kPowers[fraction];
    return true;
}

bool same_letters(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (size_t i = 0; i < s.size(); ++i)
        if ((s[i] | 0x20) != lower[i]) return false;
    return true;
}

// "nan", "inf" and "infinity" in any case, as float() reads them.
bool word_value(std::string_view s, double &out) {
    if (s.size() < 3 || ((s[0] | 0x20) != 'n' && (s[0] | 0x20) != 'i')) return false;
    if (same_letters(s, "nan")) out = std::numeric_limits<double>::quiet_NaN();
    else if (same_letters(s, "inf") || same_letters(s, "infinity")) out = std::numeric_limits<double>::infinity();
    else return false;
    return true;
}

}  // namespace

// Reading `.text` of a missing element: the interpreter's own AttributeError.
void raise_missing(const char *attribute) {
    PyObject *r = PyObject_GetAttrString(Py_None, attribute);
    Py_XDECREF(r);
    bind::raise_pending();
}

// float() of plain decimal ASCII text; false for anything else (the interpreter decides).
bool plain_float(std::string_view s, double &out, const char *readable) {
    size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    if (b == e) return false;
    const char *p = s.data() + b, *end = s.data() + e;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (p == end) return false;
    double v;
    // The words float() takes, in any case (stress results are often "NaN").
    if (word_value(std::string_view(p, (size_t) (end - p)), v)) {
        out = negative ? -v : v;
        return true;
    }
    // Starting with a digit or a point rules out a second sign and the words (inf, nan) that
    // from_chars would take; what it then takes in full is digits with at most one point and
    // an optional exponent, which float() reads the same way. Anything else (underscores,
    // out of range values) goes to the interpreter.
    if (!(is_digit(*p) || *p == '.')) return false;
    if (readable && exact_decimal(p, end, readable, v)) {
        out = negative ? -v : v;
        return true;
    }
    auto r = std::from_chars(p, end, v);
    if (r.ec != std::errc() || r.ptr != end) return false;
    out = negative ? -v : v;
    return true;
}

}  // namespace quillon::varenna::checks
