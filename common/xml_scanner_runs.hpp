// Runs of character data, attribute values, names and blanks, found and checked a block of code
// units at a time: 16 bytes with SSE2, which every x86-64 has, and 8 bytes in a 64-bit word on
// other processors. Defining QUILLON_SCANNER_PORTABLE picks the word blocks on x86-64 too,
// which is how the native fuzz target tests them. Every run ends where fewer than a block's
// bytes are left; the scanner goes on from there a unit at a time.
#pragma once

#include "xml_scanner_chars.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(QUILLON_SCANNER_PORTABLE)
#define QL_SCANNER_SSE2 1
#include <emmintrin.h>
#endif

namespace quillon::xml::scanning {

// A block's "stops" are flags, one per unit, for the units a run does not take; first() is the
// index of the first of them, or the number of units when there is none.

#if defined(QL_SCANNER_SSE2)
template <size_t W, bool Swap> struct Sse2Block;

// Eight UTF-16 units. Signed compares: units of 0x8000 and above count as below every bound.
template <bool Swap> struct Sse2Block<2, Swap> {
    static constexpr size_t kBytes = 16, kUnits = 8;
    __m128i v;
    explicit Sse2Block(const uint8_t *p) : v(_mm_loadu_si128((const __m128i *) p)) {
        if (Swap) v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    }
    explicit Sse2Block(__m128i w) : v(w) {}
    Sse2Block folded() const { return Sse2Block(_mm_or_si128(v, _mm_set1_epi16(0x20))); }  // ASCII lower case
    static unsigned first(unsigned stops) { return stops ? (unsigned) std::countr_zero(stops) / 2 : 8; }
    __m128i eq(int c) const { return _mm_cmpeq_epi16(v, _mm_set1_epi16((short) c)); }
    __m128i below(int c) const { return _mm_cmplt_epi16(v, _mm_set1_epi16((short) c)); }
    __m128i above(int c) const { return _mm_cmpgt_epi16(v, _mm_set1_epi16((short) c)); }
    static unsigned flags(__m128i m) { return (unsigned) _mm_movemask_epi8(m); }
    static unsigned others(__m128i m) { return ~flags(m) & 0xFFFFu; }
    // Each unit's byte: exact for ASCII, 0x80 and above (or 0) for any other unit.
    void narrow(char *out) const { _mm_storel_epi64((__m128i *) out, _mm_packus_epi16(v, v)); }
    // The same as a number, the first unit's byte lowest.
    uint64_t narrow_word() const { return (uint64_t) _mm_cvtsi128_si64(_mm_packus_epi16(v, v)); }
};

// Sixteen bytes of UTF-8. Signed compares: bytes of 0x80 and above are below every bound.
template <> struct Sse2Block<1, false> {
    static constexpr size_t kBytes = 16, kUnits = 16;
    __m128i v;
    explicit Sse2Block(const uint8_t *p) : v(_mm_loadu_si128((const __m128i *) p)) {}
    explicit Sse2Block(__m128i w) : v(w) {}
    Sse2Block folded() const { return Sse2Block(_mm_or_si128(v, _mm_set1_epi8(0x20))); }
    static unsigned first(unsigned stops) { return stops ? (unsigned) std::countr_zero(stops) : 16; }
    __m128i eq(int c) const { return _mm_cmpeq_epi8(v, _mm_set1_epi8((char) c)); }
    __m128i below(int c) const { return _mm_cmplt_epi8(v, _mm_set1_epi8((char) c)); }
    __m128i above(int c) const { return _mm_cmpgt_epi8(v, _mm_set1_epi8((char) c)); }
    static unsigned flags(__m128i m) { return (unsigned) _mm_movemask_epi8(m); }
    static unsigned others(__m128i m) { return ~flags(m) & 0xFFFFu; }
    void narrow(char *out) const { _mm_storeu_si128((__m128i *) out, v); }
    uint64_t narrow_word() const { return (uint64_t) _mm_cvtsi128_si64(v); }  // the first eight
};

template <class B> struct Sse2Runs : B {
    using B::B;
    using B::eq;
    using B::below;
    using B::above;
    // Character data that stands for itself: ASCII from the space on, tab and line feed, but
    // not '<', '&' or ']'. A carriage return, a control or anything beyond ASCII stops it.
    unsigned not_plain() const {
        const __m128i blank = _mm_or_si128(eq('\n'), eq('\t'));
        const __m128i special = _mm_or_si128(_mm_or_si128(eq('<'), eq('&')), eq(']'));
        const __m128i bad = _mm_or_si128(_mm_andnot_si128(blank, below(0x20)), special);
        if constexpr (B::kUnits == 8) return B::flags(_mm_or_si128(bad, above(0x7F)));
        else return B::flags(bad);
    }
    // An attribute value's plain characters: ASCII from the space on, but not '<', '&' or
    // the quote. Tab, line feed and carriage return become spaces, one at a time.
    unsigned not_value(uint32_t quote) const {
        const __m128i special = _mm_or_si128(_mm_or_si128(eq('<'), eq('&')), eq((int) quote));
        const __m128i bad = _mm_or_si128(below(0x20), special);
        if constexpr (B::kUnits == 8) return B::flags(_mm_or_si128(bad, above(0x7F)));
        else return B::flags(bad);
    }
    unsigned not_space() const { return B::others(eq(' ')); }
    unsigned not_blank() const {
        return B::others(_mm_or_si128(_mm_or_si128(eq(' '), eq('\n')), _mm_or_si128(eq('\t'), eq('\r'))));
    }
    // ASCII letters, digits, '_', '-' and '.': name characters but the colon.
    unsigned not_name() const {
        const B folded = B::folded();
        const __m128i alpha = _mm_and_si128(folded.above('a' - 1), folded.below('z' + 1));
        const __m128i digit = _mm_and_si128(above('0' - 1), below('9' + 1));
        const __m128i other = _mm_or_si128(_mm_or_si128(eq('_'), eq('-')), eq('.'));
        return B::others(_mm_or_si128(_mm_or_si128(alpha, digit), other));
    }
};
#endif

// The same on a 64-bit word: four UTF-16 units or eight bytes, one lane each. Every test is
// exact lane by lane (no borrow crosses into the next lane), so any flag can be trusted.
template <size_t W, bool Swap> struct WordBlock {
    static constexpr size_t kBytes = 8, kUnits = 8 / W;
    static constexpr uint64_t kOne = W == 2 ? 0x0001000100010001u : 0x0101010101010101u;
    static constexpr uint64_t kTop = kOne << (8 * W - 1);
    uint64_t x;  // lane i in bits [8 W i, 8 W (i + 1)), in the unit's own value
    explicit WordBlock(const uint8_t *p) {
        std::memcpy(&x, p, 8);
        if constexpr (std::endian::native == std::endian::big) x = byteswap(x);
        if constexpr (Swap) x = ((x & 0x00FF00FF00FF00FFu) << 8) | ((x >> 8) & 0x00FF00FF00FF00FFu);
    }
    static uint64_t byteswap(uint64_t w) {
        uint64_t r = 0;
        for (int i = 0; i < 8; ++i) r = (r << 8) | ((w >> (8 * i)) & 0xFF);
        return r;
    }
    static unsigned first(uint64_t stops) {
        return stops ? (unsigned) std::countr_zero(stops) / (unsigned) (8 * W) : (unsigned) kUnits;
    }
    static uint64_t eq(uint64_t w, uint32_t c) {
        const uint64_t t = w ^ (kOne * c);
        return ~(((t & ~kTop) + ~kTop) | t) & kTop;
    }
    static uint64_t at_least(uint64_t w, uint32_t c) { return (((w | kTop) - kOne * c) | w) & kTop; }
    uint64_t eq(uint32_t c) const { return eq(x, c); }
    uint64_t at_least(uint32_t c) const { return at_least(x, c); }
    uint64_t below(uint32_t c) const { return ~at_least(x, c) & kTop; }

    uint64_t not_plain() const {
        const uint64_t control = below(0x20) & ~eq('\n') & ~eq('\t');
        return control | at_least(0x80) | eq('<') | eq('&') | eq(']');
    }
    uint64_t not_value(uint32_t quote) const {
        return below(0x20) | at_least(0x80) | eq('<') | eq('&') | eq(quote);
    }
    uint64_t not_space() const { return ~eq(' ') & kTop; }
    uint64_t not_blank() const { return ~(eq(' ') | eq('\n') | eq('\t') | eq('\r')) & kTop; }
    uint64_t not_name() const {
        const uint64_t folded = x | (kOne * 0x20);
        const uint64_t alpha = at_least(folded, 'a') & ~at_least(folded, 'z' + 1);
        const uint64_t digit = at_least('0') & ~at_least('9' + 1);
        return ~(alpha | digit | eq('_') | eq('-') | eq('.')) & kTop;
    }
    // Each unit's byte: exact for ASCII, 0x80 and above for any other unit; the first unit's
    // byte lowest.
    uint64_t narrow_word() const {
        if constexpr (W == 1) return x;
        const uint64_t wide = at_least(0x80) >> 15;  // 1 in lanes beyond ASCII
        uint64_t bytes = (x & 0x00FF00FF00FF00FFu) | (wide * 0xFF);
        bytes = (bytes | (bytes >> 8)) & 0x0000FFFF0000FFFFu;
        return (bytes | (bytes >> 16)) & 0xFFFFFFFFu;
    }
    void narrow(char *out) const {
        const uint64_t bytes = narrow_word();
        char b[8];
        for (size_t i = 0; i < kUnits; ++i) b[i] = (char) (bytes >> (8 * i));
        std::memcpy(out, b, kUnits);
    }
};

#if defined(QL_SCANNER_SSE2)
template <class E> using Block = Sse2Runs<Sse2Block<E::W, E::kSwap>>;
#else
template <class E> using Block = WordBlock<E::W, E::kSwap>;
#endif

// Past the run of units at `p` that `stops` does not flag, a block at a time (with SSE2, two
// blocks a step, their flags in one word).
template <class E, class Stops> inline const uint8_t *skip_run(const uint8_t *p, const uint8_t *end, Stops stops) {
    using B = Block<E>;
#if defined(QL_SCANNER_SSE2)
    while ((size_t) (end - p) >= 2 * B::kBytes) {
        const unsigned both = stops(B(p)) | (stops(B(p + B::kBytes)) << 16);
        if (both) return p + B::first(both) * E::W;
        p += 2 * B::kBytes;
    }
#endif
    while ((size_t) (end - p) >= B::kBytes) {
        const B b(p);
        const unsigned n = B::first(stops(b));
        p += n * E::W;
        if (n < B::kUnits) break;
    }
    return p;
}

// What copy_run may write past the run.
constexpr size_t kRunSlack = 32;

// The same, each unit of the run also written to `out` as its byte; `out` needs room for
// kRunSlack past the run.
template <class E, class Stops>
inline const uint8_t *copy_run(const uint8_t *p, const uint8_t *end, char *&out, Stops stops) {
    using B = Block<E>;
#if defined(QL_SCANNER_SSE2)
    while ((size_t) (end - p) >= 2 * B::kBytes) {
        const B a(p), b(p + B::kBytes);
        a.narrow(out);
        b.narrow(out + B::kUnits);
        const unsigned both = stops(a) | (stops(b) << 16);
        if (both) {
            const unsigned n = B::first(both);
            out += n;
            return p + n * E::W;
        }
        p += 2 * B::kBytes;
        out += 2 * B::kUnits;
    }
#endif
    while ((size_t) (end - p) >= B::kBytes) {
        const B b(p);
        b.narrow(out);
        const unsigned n = B::first(stops(b));
        p += n * E::W;
        out += n;
        if (n < B::kUnits) break;
    }
    return p;
}

template <class E> inline const uint8_t *copy_plain(const uint8_t *p, const uint8_t *end, char *&out) {
    return copy_run<E>(p, end, out, [](const Block<E> &b) { return b.not_plain(); });
}
template <class E> inline const uint8_t *skip_spaces(const uint8_t *p, const uint8_t *end) {
    return skip_run<E>(p, end, [](const Block<E> &b) { return b.not_space(); });
}
template <class E> inline const uint8_t *skip_blanks(const uint8_t *p, const uint8_t *end) {
    return skip_run<E>(p, end, [](const Block<E> &b) { return b.not_blank(); });
}

// Eight bytes as a number, the first byte lowest.
inline uint64_t load_word(const char *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = WordBlock<1, false>::byteswap(w);
    return w;
}

// Whether the first n (at most 8) bytes of two such numbers are equal.
inline bool same_first(uint64_t x, uint64_t y, size_t n) { return ((x ^ y) << (unsigned) (64 - 8 * n)) == 0; }

// Whether the n bytes at a and b are equal; both have room for a word past the n.
inline bool same_bytes(const char *a, const char *b, size_t n) {
    if (n == 0) return true;
    size_t i = 0;
    for (; i + 8 < n; i += 8)
        if (load_word(a + i) != load_word(b + i)) return false;
    return same_first(load_word(a + i), load_word(b + i), n - i);
}

// A name in ASCII at `q`, appended to `into` as it is checked (nothing appended when it is
// not accepted); `colon` gets the offset of its one colon (0 for none). Names with more colons,
// or one at either end, are errors in namespace mode, and so is a local part that does not
// start like a name. `into` keeps room for a whole word after the name.
template <class E, class Buffer>
inline bool read_name(const uint8_t *&q, const uint8_t *end, Buffer &into, uint32_t &colon, bool &more) {
    constexpr size_t W = E::W;
    using B = Block<E>;
    more = false;
    colon = 0;
    if (q + W > end) return more = true, false;
    if (!has(E::at(q), kNameStart) || E::at(q) == ':') return false;
    const size_t base = into.size();
    const auto refuse = [&](bool cut) {
        into.set_size(base);
        more = cut;
        return false;
    };
    while (true) {
        // Room for a block, and for a word after the name.
        char *out = into.room(B::kBytes + 8);
        if ((size_t) (end - q) >= B::kBytes) {
            const B b(q);
            b.narrow(out);
            const unsigned n = B::first(b.not_name());
            q += n * W;
            into.set_size(into.size() + n);
            if (n == B::kUnits) continue;
        } else {
            if (q + W > end) return refuse(true);
            const uint32_t c = E::at(q);
            if (c != ':' && has(c, kNameChar)) {
                *out = (char) c;
                into.set_size(into.size() + 1);
                q += W;
                continue;
            }
        }
        if (E::at(q) != ':') break;
        if (colon) return refuse(false);
        colon = (uint32_t) (into.size() - base);
        if (q + 2 * W <= end && !has(E::at(q + W), kNameStart)) return refuse(false);
        into.push(':');
        q += W;
    }
    const size_t length = into.size() - base;
    if (colon && colon + 1 == length) return refuse(false);
    if (length > (size_t{1} << 30)) return refuse(false);  // leave such a name to expat
    into.room(8);
    return true;
}

// Whether the n (at least 1) bytes at q are those at `expected`, a block at a time: both have
// room for a block past the n (the piece, and the buffer `expected` lies in). From a block's
// length on, the last block is the one that ends with the n bytes, overlapping the one before.
inline bool same_raw(const uint8_t *q, const uint8_t *expected, size_t n) {
#if defined(QL_SCANNER_SSE2)
    const auto differ = [&](size_t i) {
        const __m128i a = _mm_loadu_si128((const __m128i *) (q + i));
        const __m128i b = _mm_loadu_si128((const __m128i *) (expected + i));
        return ~(unsigned) _mm_movemask_epi8(_mm_cmpeq_epi8(a, b)) & 0xFFFFu;
    };
    if (n < 16) return (differ(0) & ((1u << n) - 1)) == 0;
    for (size_t i = 0; i + 16 < n; i += 16)
        if (differ(i)) return false;
    return differ(n - 16) == 0;
#else
    return same_bytes((const char *) q, (const char *) expected, n);
#endif
}
constexpr size_t kRawBlock = 16;  // what same_raw reads past its bytes at most

// Whether the `length` characters at `q` are exactly the ASCII `name` (q..q+length in bounds),
// a block at a time as far as the piece has whole blocks. `name` has room for a word after it.
template <class E> inline bool same_name(const uint8_t *q, const uint8_t *end, const char *name, size_t length) {
    using B = Block<E>;
    constexpr size_t U = B::kUnits < 8 ? B::kUnits : 8;  // compared a word at a time
    if ((size_t) (end - q) >= length * E::W + B::kBytes) {
        size_t i = 0;
        for (; i + U < length; i += U)
            if (B(q + i * E::W).narrow_word() != (load_word(name + i) & (~uint64_t{0} >> (64 - 8 * U)))) return false;
        return same_first(B(q + i * E::W).narrow_word(), load_word(name + i), length - i);
    }
    for (size_t i = 0; i < length; ++i)
        if (E::at(q + i * E::W) != (uint8_t) name[i]) return false;
    return true;
}

}  // namespace quillon::xml::scanning

#define QL_READ_NAME(E, q, end, into, colon)                       \
    do {                                                           \
        bool more_;                                                \
        if (!read_name<E>((q), (end), (into), (colon), more_))     \
            return more_ ? R::More : R::Bad;                       \
    } while (0)
