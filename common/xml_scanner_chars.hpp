// The characters the scanner reads: code units in each encoding, the ASCII classes its rules
// are written in, and the one check of a character outside ASCII. Shared by the scanner's
// source files only.
#pragma once

#include "xml_scanner.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillon::xml::scanning {

// How a code unit is read. The whole scanner is written once against these.
// kSwap: the bytes of a unit stand in the other order than in a little-endian number.
struct Utf8 {
    static constexpr size_t W = 1;
    static constexpr bool kSwap = false;
    static uint32_t at(const uint8_t *p) { return p[0]; }
};
struct Utf16LE {
    static constexpr size_t W = 2;
    static constexpr bool kSwap = false;
    static uint32_t at(const uint8_t *p) { return p[0] | ((uint32_t) p[1] << 8); }
};
struct Utf16BE {
    static constexpr size_t W = 2;
    static constexpr bool kSwap = true;
    static uint32_t at(const uint8_t *p) { return p[1] | ((uint32_t) p[0] << 8); }
};

// ASCII character classes. Names outside ASCII are left to expat: its name tables follow an
// older edition of the rules than a modern table would, and only it can say what it accepts.
enum : uint8_t { kNameStart = 1, kNameChar = 2, kSpace = 4, kPlain = 8 };

struct Classes {
    uint8_t c[128] = {};
    constexpr Classes() {
        for (int i = 'a'; i <= 'z'; ++i) c[i] = kNameStart | kNameChar;
        for (int i = 'A'; i <= 'Z'; ++i) c[i] = kNameStart | kNameChar;
        c['_'] = c[':'] = kNameStart | kNameChar;
        for (int i = '0'; i <= '9'; ++i) c[i] = kNameChar;
        c['-'] = c['.'] = kNameChar;
        c[' '] = c['\t'] = c['\n'] = c['\r'] = kSpace;
        // Characters that stand for themselves in character data.
        for (int i = 0x20; i < 0x80; ++i) c[i] |= kPlain;
        c['\t'] |= kPlain;
        c['\n'] |= kPlain;
        c['<'] &= (uint8_t) ~kPlain;
        c['&'] &= (uint8_t) ~kPlain;
        c[']'] &= (uint8_t) ~kPlain;
    }
};
constexpr Classes kClasses;

inline bool has(uint32_t c, uint8_t cls) { return c < 128 && (kClasses.c[c] & cls); }
inline bool is_space(uint32_t c) { return has(c, kSpace); }

inline bool is_xml_char(uint32_t cp) {
    if (cp < 0x20) return cp == 0x9 || cp == 0xA || cp == 0xD;
    if (cp < 0xD800) return true;
    if (cp < 0xE000) return false;
    if (cp < 0x10000) return cp < 0xFFFE;
    return cp <= 0x10FFFF;
}

// One character that is not ASCII, checked: R::More when cut by the end of the piece.
template <class E> struct Decoder;

template <> struct Decoder<Utf8> {
    template <class Rr>
    static Rr decode(const uint8_t *p, const uint8_t *end, uint32_t &cp, const uint8_t *&next, Rr ok, Rr more,
                     Rr bad) {
        const uint8_t b = p[0];
        size_t n;
        uint8_t low = 0x80, high = 0xBF;
        if (b < 0xC2) return bad;
        if (b < 0xE0) { n = 2; cp = b & 0x1F; }
        else if (b < 0xF0) {
            n = 3;
            cp = b & 0x0F;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;  // no surrogates
        } else if (b < 0xF5) {
            n = 4;
            cp = b & 0x07;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        } else {
            return bad;
        }
        for (size_t i = 1; i < n; ++i) {
            if (p + i >= end) return more;
            const uint8_t c = p[i];
            if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return bad;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!is_xml_char(cp)) return bad;
        next = p + n;
        return ok;
    }
};

template <class E> struct Decoder16 {
    template <class Rr>
    static Rr decode(const uint8_t *p, const uint8_t *end, uint32_t &cp, const uint8_t *&next, Rr ok, Rr more,
                     Rr bad) {
        const uint32_t u = E::at(p);
        if (u >= 0xD800 && u < 0xDC00) {
            if (end - p < 4) return more;
            const uint32_t v = E::at(p + 2);
            if (v < 0xDC00 || v >= 0xE000) return bad;  // a high surrogate without its pair
            cp = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
            next = p + 4;
            return ok;
        }
        if (!is_xml_char(u)) return bad;  // lone low surrogate, U+FFFE, U+FFFF, controls
        cp = u;
        next = p + 2;
        return ok;
    }
};
template <> struct Decoder<Utf16LE> : Decoder16<Utf16LE> {};
template <> struct Decoder<Utf16BE> : Decoder16<Utf16BE> {};

// A code point appended in UTF-8 to any of the scanner's outputs.
template <class Out> inline void append_code_point(Out &out, uint32_t cp) {
    char *o = out.room(4);
    size_t n;
    if (cp < 0x80) {
        o[0] = (char) cp;
        n = 1;
    } else if (cp < 0x800) {
        o[0] = (char) (0xC0 | (cp >> 6));
        o[1] = (char) (0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        o[0] = (char) (0xE0 | (cp >> 12));
        o[1] = (char) (0x80 | ((cp >> 6) & 0x3F));
        o[2] = (char) (0x80 | (cp & 0x3F));
        n = 3;
    } else {
        o[0] = (char) (0xF0 | (cp >> 18));
        o[1] = (char) (0x80 | ((cp >> 12) & 0x3F));
        o[2] = (char) (0x80 | ((cp >> 6) & 0x3F));
        o[3] = (char) (0x80 | (cp & 0x3F));
        n = 4;
    }
    out.set_size(out.size() + n);
}

template <class Out> inline void append_char(Out &out, char c) {
    *out.room(1) = c;
    out.set_size(out.size() + 1);
}

// One character that is not ASCII, checked and appended to `out` in UTF-8; `p` moves past it
// only when it is whole and valid.
template <class E, class Out, class Rr>
inline Rr decode_into(const uint8_t *&p, const uint8_t *end, Out &out, Rr ok, Rr more, Rr bad) {
    uint32_t cp;
    const uint8_t *next;
    const Rr r = Decoder<E>::decode(p, end, cp, next, ok, more, bad);
    if (r != ok) return r;
    append_code_point(out, cp);
    p = next;
    return ok;
}

constexpr const char kXmlNamespace[] = "http://www.w3.org/XML/1998/namespace";
constexpr const char kXmlnsNamespace[] = "http://www.w3.org/2000/xmlns/";

inline bool equal_ascii_ci(const char *a, size_t n, const char *b) {
    if (std::strlen(b) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = (char) (c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

}  // namespace quillon::xml::scanning

// Each scanning step is compiled once per encoding, in the file that defines it.
#define QL_SCANNER_INSTANTIATE(step, ...)                                          \
    template Scanner::R Scanner::step<scanning::Utf8>(__VA_ARGS__);                \
    template Scanner::R Scanner::step<scanning::Utf16LE>(__VA_ARGS__);             \
    template Scanner::R Scanner::step<scanning::Utf16BE>(__VA_ARGS__)
