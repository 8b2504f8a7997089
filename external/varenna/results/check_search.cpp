#include "check_search.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

namespace quillon::varenna::checks {

Paths::Paths() {
    for (const CheckRow &c : kChecks) {
        results.emplace_back(".//*[ResultType=\"" + std::string(c.type) + "\"]/" + c.tail);
        tails.emplace_back(c.tail);
    }
    for (unsigned l = 0; l < LookupCount; ++l) lookups.emplace_back(lookup_text(Lookup(l)));
}

const Paths &paths() {
    static const Paths made;
    return made;
}

TreeNames::TreeNames(const Tree &t) {
    for (unsigned i = 0; i < NameCount; ++i) ids[i] = t.find_tag(kNames[i]);
    name_of.assign(t.tags.size(), NameCount);
    for (unsigned i = 0; i < NameCount; ++i)
        if (ids[i] != kNone) name_of[ids[i]] = (uint8_t) i;
    pure = xml::only_strings(t);
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The eight bytes at `p` as one integer, the first byte lowest.
inline uint64_t eight_bytes(const char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// How many of the eight bytes are digits before the first that is not, at most `limit`. A
// byte that only looks like a non-digit (past 0xF9, never in UTF-8) ends them early, which
// the caller then sees as text it does not read.
inline size_t digit_count(uint64_t v, size_t limit) {
    // Zero in each byte that is a digit: high nibble 3, and no carry out of the low one on +6.
    const uint64_t x =
        ((v & 0xF0F0F0F0F0F0F0F0u) | (((v + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) ^
        0x3333333333333333u;
    const uint64_t non_digits = (((x & 0x7F7F7F7F7F7F7F7Fu) + 0x7F7F7F7F7F7F7F7Fu) | x) & 0x8080808080808080u;
    const size_t n = non_digits ? (size_t) std::countr_zero(non_digits) / 8 : 8;
    return n < limit ? n : limit;
}

// The number the first `n` (1 to 8) digit bytes make: all eight digits at once, the ones
// after the first `n` shifted out as leading zeros.
inline uint64_t digits_value(uint64_t v, size_t n) {
    v -= 0x3030303030303030u;
    if (n < 8) v = (v & ((1ull << (8 * n)) - 1)) << (8 * (8 - n));
    v = v * 10 + (v >> 8);  // pairs of digits in every other byte
    v = (((v & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
         (((v >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >> 32;
    return (uint32_t) v;
}

// Up to seven digits, optionally a point and up to sixteen more, nothing else, whose digits
// make at most 2^53: the digits and the power of ten are then exact doubles, so one division
// rounds correctly, as float() does. Read eight bytes at a time (so a value takes a few
// steps instead of one per digit), as far as `readable` allows. False for anything else.
bool exact_decimal(const char *p, const char *end, const char *readable, double &out) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,
                                         1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16};
    static constexpr uint64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    if (readable - p < 24) return false;
    const uint64_t whole_bytes = eight_bytes(p);
    const size_t whole = digit_count(whole_bytes, (size_t) (end - p));
    if (whole == 8) return false;
    uint64_t digits = whole ? digits_value(whole_bytes, whole) : 0;
    p += whole;
    size_t fraction = 0;
    if (p != end) {
        if (*p != '.') return false;
        ++p;
        const uint64_t first_bytes = eight_bytes(p);
        const size_t first = digit_count(first_bytes, (size_t) (end - p));
        if (first) digits = digits * kScale[first] + digits_value(first_bytes, first);
        p += first;
        fraction = first;
        if (first == 8 && p != end) {
            const uint64_t second_bytes = eight_bytes(p);
            const size_t second = digit_count(second_bytes, (size_t) (end - p));
            if (second == 8 || whole + 8 + second > 19) return false;
            if (second) digits = digits * kScale[second] + digits_value(second_bytes, second);
            p += second;
            fraction += second;
        }
        if (whole + fraction == 0) return false;
    } else if (whole == 0) {
        return false;
    }
    if (p != end || digits > (1ull << 53)) return false;
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
    // Starting with a digit or a point rules out a second sign and the words (inf, nan) that
    // from_chars would take; what it then takes in full is digits with at most one point and
    // an optional exponent, which float() reads the same way. Anything else (underscores,
    // out of range values) goes to the interpreter, but for the words float() takes (stress
    // results are often "NaN").
    if (!(is_digit(*p) || *p == '.')) {
        if (!word_value(std::string_view(p, (size_t) (end - p)), v)) return false;
        out = negative ? -v : v;
        return true;
    }
    if (readable && exact_decimal(p, end, readable, v)) {
        out = negative ? -v : v;
        return true;
    }
    auto r = std::from_chars(p, end, v);
    if (r.ec != std::errc() || r.ptr != end) return false;
    out = negative ? -v : v;
    return true;
}

// The stress-limitation row's `all` lookups: the elements of each term, then those of each
// stress check; the paths are conditions on the children of the element.
void select_stresses(const Tree &t, const TreeNames &names, uint32_t e, std::vector<uint32_t> *out) {
    static_assert(StressLong == StressShort + 1 && StressOfCheck == StressLong + 1);
    for (size_t i = 0; i < 2 + kStressCheckCount; ++i) out[i].clear();
    const uint32_t base = names.ids[ConcreteCheckResultBase], check = names.ids[Check],
                   type = names.ids[TypeCheck];
    if (base == kNone) return;
    for (uint32_t c = t.nodes[e].first_child; c != kNone; c = t.nodes[c].next_sibling) {
        if (t.nodes[c].tag != base) continue;
        uint32_t bits = 0;
        for (uint32_t g = t.nodes[c].first_child; g != kNone; g = t.nodes[g].next_sibling) {
            const uint32_t tag = t.nodes[g].tag;
            if (tag == check && check != kNone) bits |= complete_text_is(t, g, kStressTerms);
            else if (tag == type && type != kNone) bits |= complete_text_is(t, g, kStressChecks) << 2;
        }
        for (size_t i = 0; bits; ++i, bits >>= 1)
            if (bits & 1) out[i].push_back(c);
    }
}

}  // namespace quillon::varenna::checks
