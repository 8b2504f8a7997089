// Runs of text and of name characters, many code units per step where the CPU allows, and the
// reading and comparing of the ASCII names these documents use.
#pragma once

#include "xml_scanner_chars.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillon::xml::scanning {

// Copies the longest run of plain ASCII character data (no markup, no reference, no ']', no
// carriage return) at `p` into `out`, many characters per step. Returns where it stopped.
template <class E> struct Run {
    static const uint8_t *copy(const uint8_t *p, const uint8_t *end, char *&out) {
        for (; p < end; p += E::W, ++out) {
            const uint32_t c = E::at(p);
            if (!has(c, kPlain)) break;
            *out = (char) c;
        }
        return p;
    }
};

#if defined(__SSE2__)
inline __m128i plain_mask16(__m128i v) {
    // Signed compares: units of 0x8000 and above count as below 0x20.
    const __m128i low = _mm_cmplt_epi16(v, _mm_set1_epi16(0x20));
    const __m128i blank = _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('\n')),
                                       _mm_cmpeq_epi16(v, _mm_set1_epi16('\t')));
    const __m128i high = _mm_cmpgt_epi16(v, _mm_set1_epi16(0x7F));
    const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('<')),
                                                      _mm_cmpeq_epi16(v, _mm_set1_epi16('&'))),
                                         _mm_cmpeq_epi16(v, _mm_set1_epi16(']')));
    return _mm_or_si128(_mm_or_si128(_mm_andnot_si128(blank, low), high), special);
}

template <bool Swap> const uint8_t *copy16(const uint8_t *p, const uint8_t *end, char *&out) {
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128((const __m128i *) p);
        if (Swap) v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        const unsigned bad = (unsigned) _mm_movemask_epi8(plain_mask16(v));
        _mm_storel_epi64((__m128i *) out, _mm_packus_epi16(v, v));
        if (bad) {
            const unsigned units = (unsigned) __builtin_ctz(bad) / 2;
            out += units;
            return p + 2 * units;
        }
        out += 8;
        p += 16;
    }
    return p;
}

template <> struct Run<Utf16LE> {
    static const uint8_t *copy(const uint8_t *p, const uint8_t *end, char *&out) {
        return copy16<false>(p, end, out);
    }
};
template <> struct Run<Utf16BE> {
    static const uint8_t *copy(const uint8_t *p, const uint8_t *end, char *&out) {
        return copy16<true>(p, end, out);
    }
};
template <> struct Run<Utf8> {
    static const uint8_t *copy(const uint8_t *p, const uint8_t *end, char *&out) {
        while (end - p >= 16) {
            const __m128i v = _mm_loadu_si128((const __m128i *) p);
            const __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));  // bytes >= 0x80 too
            const __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                               _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
            const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')),
                                                              _mm_cmpeq_epi8(v, _mm_set1_epi8('&'))),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8(']')));
            const unsigned bad =
                (unsigned) _mm_movemask_epi8(_mm_or_si128(_mm_andnot_si128(blank, low), special));
            _mm_storeu_si128((__m128i *) out, v);
            if (bad) {
                const unsigned n = (unsigned) __builtin_ctz(bad);
                out += n;
                return p + n;
            }
            out += 16;
            p += 16;
        }
        return p;
    }
};
#endif

// Runs of spaces, many at a time: where the scanner's own loop takes over.
template <class E> struct SpaceRun {
    static const uint8_t *skip(const uint8_t *q, const uint8_t *) { return q; }
};

#if defined(__SSE2__)
template <bool Swap> struct SpaceRun16 {
    static const uint8_t *skip(const uint8_t *q, const uint8_t *end) {
        while (end - q >= 16) {
            __m128i v = _mm_loadu_si128((const __m128i *) q);
            if (Swap) v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
            const unsigned spaces = (unsigned) _mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_set1_epi16(' ')));
            if (spaces != 0xFFFFu) return q + __builtin_ctz(~spaces & 0xFFFFu);
            q += 16;
        }
        return q;
    }
};
template <> struct SpaceRun<Utf16LE> : SpaceRun16<false> {};
template <> struct SpaceRun<Utf16BE> : SpaceRun16<true> {};
#endif

// Runs of name characters (not the colon, which needs a look of its own), many at a time.
template <class E> struct NameRun {
    static const uint8_t *skip(const uint8_t *q, const uint8_t *) { return q; }
};

#if defined(__SSE2__)
template <bool Swap> struct NameRun16 {
    static __m128i load(const uint8_t *q) {
        __m128i v = _mm_loadu_si128((const __m128i *) q);
        if (Swap) v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        return v;
    }
    static const uint8_t *skip(const uint8_t *q, const uint8_t *end) {
        while (end - q >= 16) {
            const __m128i v = load(q);
            // Signed compares: units of 0x8000 and above fall outside every range.
            const __m128i folded = _mm_or_si128(v, _mm_set1_epi16(0x20));
            const __m128i alpha = _mm_and_si128(_mm_cmpgt_epi16(folded, _mm_set1_epi16('a' - 1)),
                                                _mm_cmplt_epi16(folded, _mm_set1_epi16('z' + 1)));
            const __m128i digit = _mm_and_si128(_mm_cmpgt_epi16(v, _mm_set1_epi16('0' - 1)),
                                                _mm_cmplt_epi16(v, _mm_set1_epi16('9' + 1)));
            const __m128i other = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('_')),
                                                            _mm_cmpeq_epi16(v, _mm_set1_epi16('-'))),
                                               _mm_cmpeq_epi16(v, _mm_set1_epi16('.')));
            const unsigned ok = (unsigned) _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(alpha, digit), other));
            if (ok != 0xFFFFu) return q + __builtin_ctz(~ok & 0xFFFFu);
            q += 16;
        }
        return q;
    }
    // Eight units known to be ASCII, as eight bytes.
    static void narrow8(const uint8_t *q, char *out) {
        const __m128i v = load(q);
        _mm_storel_epi64((__m128i *) out, _mm_packus_epi16(v, v));
    }
};
template <> struct NameRun<Utf16LE> : NameRun16<false> {};
template <> struct NameRun<Utf16BE> : NameRun16<true> {};
#else
template <> struct NameRun<Utf16LE> {
    static const uint8_t *skip(const uint8_t *q, const uint8_t *) { return q; }
    static void narrow8(const uint8_t *q, char *out) {
        for (int i = 0; i < 8; ++i) out[i] = (char) Utf16LE::at(q + 2 * i);
    }
};
template <> struct NameRun<Utf16BE> {
    static const uint8_t *skip(const uint8_t *q, const uint8_t *) { return q; }
    static void narrow8(const uint8_t *q, char *out) {
        for (int i = 0; i < 8; ++i) out[i] = (char) Utf16BE::at(q + 2 * i);
    }
};
#endif

// A name in ASCII at `q`, appended to `into`; `colon` gets the offset of its one colon (0 for
// none). Names with more colons, or one at either end, are errors in namespace mode, and so
// is a local part that does not start like a name.
template <class E, class Buffer>
inline bool read_name(const uint8_t *&q, const uint8_t *end, Buffer &into, uint32_t &colon, bool &more) {
    constexpr size_t W = E::W;
    more = false;
    colon = 0;
    const uint8_t *start = q;
    if (q + W > end) return more = true, false;
    if (!has(E::at(q), kNameStart) || E::at(q) == ':') return false;
    q += W;
    q = NameRun<E>::skip(q, end);
    for (;; q += W) {
        if (q + W > end) return more = true, false;
        const uint32_t c = E::at(q);
        if (!has(c, kNameChar)) break;
        if (c == ':') {
            if (colon) return false;
            colon = (uint32_t) ((q - start) / W);
            if (q + 2 * W <= end && !has(E::at(q + W), kNameStart)) return false;
        }
    }
    const size_t length = (size_t) (q - start) / W;
    if (colon && colon + 1 == length) return false;
    if (length > (size_t{1} << 30)) return false;  // leave such a name to expat
    into.reserve_more(length + 8);  // room for whole blocks of eight
    char *out = into.data.get() + into.size;
    if constexpr (W == 1) {
        std::memcpy(out, start, length);
    } else {
        // Whole blocks of eight as long as the piece has them: the units read past the name
        // land in the room after it and are not counted.
        const size_t blocks = (length + 7) / 8;
        size_t i = 0;
        if ((size_t) (end - start) >= blocks * 8 * W) {
            for (; i < length; i += 8) NameRun<E>::narrow8(start + i * W, out + i);
        } else {
            for (; i + 8 <= length; i += 8) NameRun<E>::narrow8(start + i * W, out + i);
            for (; i < length; ++i) out[i] = (char) E::at(start + i * W);
        }
    }
    into.size += length;
    return true;
}

// Whether the `length` characters at `q` are exactly the ASCII `name` (q..q+length in bounds).
// `name` lies in a scanner buffer with room for a whole block of eight after it.
template <class E> inline bool same_name(const uint8_t *q, const uint8_t *end, const char *name, size_t length) {
    size_t i = 0;
    if constexpr (E::W == 2) {
        char block[8];
        for (; i + 8 <= length; i += 8) {
            NameRun<E>::narrow8(q + i * 2, block);
            if (std::memcmp(block, name + i, 8) != 0) return false;
        }
        if constexpr (std::endian::native == std::endian::little) {
            // The last few characters as one more block, when the piece has it, ignoring
            // what follows them on either side.
            if (i < length && (size_t) (end - q) >= (i + 8) * 2) {
                NameRun<E>::narrow8(q + i * 2, block);
                uint64_t seen, wanted;
                std::memcpy(&seen, block, 8);
                std::memcpy(&wanted, name + i, 8);
                const uint64_t mask = ~uint64_t{0} >> (64 - 8 * (length - i));
                return ((seen ^ wanted) & mask) == 0;
            }
        }
    }
    for (; i < length; ++i)
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
