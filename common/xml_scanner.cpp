#include "xml_scanner.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillon::xml {

namespace {

// How a code unit is read. The whole scanner is written once against these.
struct Utf8 {
    static constexpr size_t W = 1;
    static uint32_t at(const uint8_t *p) { return p[0]; }
};
struct Utf16LE {
    static constexpr size_t W = 2;
    static uint32_t at(const uint8_t *p) { return p[0] | ((uint32_t) p[1] << 8); }
};
struct Utf16BE {
    static constexpr size_t W = 2;
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

constexpr const char kXmlNamespace[] = "http://www.w3.org/XML/1998/namespace";
constexpr const char kXmlnsNamespace[] = "http://www.w3.org/2000/xmlns/";

// Longest run copied per step, so that the text buffer stays small for a huge piece.
constexpr size_t kRunUnits = 4096;

bool equal_ascii_ci(const char *a, size_t n, const char *b) {
    if (std::strlen(b) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = (char) (c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void Scanner::Buffer::grow(size_t n) {
    size_t want = std::max(capacity * 2, size + n);
    want = std::max<size_t>(want, 256);
    std::unique_ptr<char[]> bigger(new char[want]);
    if (size) std::memcpy(bigger.get(), data.get(), size);
    data = std::move(bigger);
    capacity = want;
}

void Scanner::Buffer::append(const char *p, size_t n) {
    reserve_more(n);
    std::memcpy(data.get() + size, p, n);
    size += n;
}

void Scanner::Buffer::push_code_point(uint32_t cp) {
    reserve_more(4);
    char *o = data.get() + size;
    if (cp < 0x80) {
        o[0] = (char) cp;
        size += 1;
    } else if (cp < 0x800) {
        o[0] = (char) (0xC0 | (cp >> 6));
        o[1] = (char) (0x80 | (cp & 0x3F));
        size += 2;
    } else if (cp < 0x10000) {
        o[0] = (char) (0xE0 | (cp >> 12));
        o[1] = (char) (0x80 | ((cp >> 6) & 0x3F));
        o[2] = (char) (0x80 | (cp & 0x3F));
        size += 3;
    } else {
        o[0] = (char) (0xF0 | (cp >> 18));
        o[1] = (char) (0x80 | ((cp >> 12) & 0x3F));
        o[2] = (char) (0x80 | ((cp >> 6) & 0x3F));
        o[3] = (char) (0x80 | (cp & 0x3F));
        size += 4;
    }
}

// ---------------------------------------------------------------------------------------------

bool Scanner::feed(const char *data, size_t length) { return run((const uint8_t *) data, length, false); }

bool Scanner::close() {
    if (!run(nullptr, 0, true)) return false;
    if (stage_ != Stage::Epilog) bad_ = true;
    return !bad_;
}

bool Scanner::detect(const uint8_t *d, size_t, size_t &skip) {
    skip = 0;
    if (d[0] == 0xFF && d[1] == 0xFE) {
        encoding_ = Encoding::Utf16LE;
        skip = 2;
    } else if (d[0] == 0xFE && d[1] == 0xFF) {
        encoding_ = Encoding::Utf16BE;
        skip = 2;
    } else if (d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
        encoding_ = Encoding::Utf8;
        skip = 3;
    } else if (d[0] == '<' && d[1] == 0) {
        encoding_ = Encoding::Utf16LE;
        need_declaration_ = true;
    } else if (d[0] == 0 && d[1] == '<') {
        encoding_ = Encoding::Utf16BE;
        need_declaration_ = true;
    } else if (d[0] == 0 || d[1] == 0 || d[0] >= 0xFE) {
        bad_ = true;  // some other detection of expat's; not ours to guess
    } else {
        encoding_ = Encoding::Utf8;
    }
    return !bad_;
}

bool Scanner::run(const uint8_t *data, size_t n, bool final) {
    if (bad_) return false;
    if (encoding_ == Encoding::Unknown) {
        size_t skip;
        if (carry_.empty() && n >= 4) {
            if (!detect(data, n, skip)) return false;
            data += skip;
            n -= skip;
        } else {
            carry_.append((const char *) data, n);
            n = 0;
            if (carry_.size() < 4) {
                if (final) bad_ = true;
                return !bad_;
            }
            if (!detect((const uint8_t *) carry_.data(), carry_.size(), skip)) return false;
            carry_.erase(0, skip);
        }
    }
    // A token cut by the end of the last piece: complete it from the start of this one, taking
    // geometrically more of it until the scan gets past the cut, then go on in place.
    if (!carry_.empty()) {
        size_t taken = 0;
        while (true) {
            const size_t old = carry_.size();
            const size_t add = std::min(n - taken, std::max<size_t>(256, old));
            carry_.append((const char *) data + taken, add);
            taken += add;
            const bool last = taken == n;
            const size_t used = dispatch((const uint8_t *) carry_.data(), carry_.size(), final && last);
            if (bad_) return false;
            if (used >= old) {
                const size_t offset = taken - (carry_.size() - used);
                carry_.clear();
                data += offset;
                n -= offset;
                break;
            }
            carry_.erase(0, used);
            if (last) return true;
        }
    }
    const size_t used = dispatch(data, n, final);
    if (bad_) return false;
    carry_.assign((const char *) data + used, n - used);
    return true;
}

size_t Scanner::dispatch(const uint8_t *data, size_t n, bool final) {
    switch (encoding_) {
    case Encoding::Utf8: return scan<Utf8>(data, data + n, final);
    case Encoding::Utf16LE: return scan<Utf16LE>(data, data + n, final);
    case Encoding::Utf16BE: return scan<Utf16BE>(data, data + n, final);
    default: bad_ = true; return 0;
    }
}

template <class E> size_t Scanner::scan(const uint8_t *const begin, const uint8_t *const end, bool final) {
    constexpr size_t W = E::W;
    const uint8_t *p = begin;
    while (true) {
        if ((size_t) (end - p) < W) {
            if (final && (p != end || stage_ != Stage::Epilog)) bad_ = true;
            break;
        }
        const uint32_t c = E::at(p);
        R r;
        if (c == '<') {
            r = markup<E>(p, end);
        } else if (stage_ == Stage::Content) {
            r = text<E>(p, end);
        } else if (is_space(c)) {
            if (need_declaration_) r = R::Bad;
            else {
                stage_ = stage_ == Stage::Start ? Stage::Prolog : stage_;
                p += W;
                r = R::Ok;
            }
        } else {
            r = R::Bad;  // character data outside the root element
        }
        if (r == R::Ok) continue;
        if (r == R::More && !final) break;
        bad_ = true;
        break;
    }
    return bad_ ? 0 : (size_t) (p - begin);
}

template <class E> Scanner::R Scanner::markup(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    if ((size_t) (end - p) < 2 * W) return R::More;
    const uint32_t c = E::at(p + W);
    if (stage_ == Stage::Start) {
        if (c == '?') {
            if ((size_t) (end - p) < 6 * W) return R::More;
            if (E::at(p + 2 * W) == 'x' && E::at(p + 3 * W) == 'm' && E::at(p + 4 * W) == 'l' &&
                is_space(E::at(p + 5 * W)))
                return declaration<E>(p, end);
        }
        if (need_declaration_) return R::Bad;
        stage_ = Stage::Prolog;
    }
    if (has(c, kNameStart)) {
        if (stage_ == Stage::Epilog) return R::Bad;
        return start_tag<E>(p, end);
    }
    if (c == '/') return stage_ == Stage::Content ? end_tag<E>(p, end) : R::Bad;
    if (c == '?') return processing_instruction<E>(p, end);
    if (c == '!') {
        if ((size_t) (end - p) < 4 * W) return R::More;
        if (E::at(p + 2 * W) == '-' && E::at(p + 3 * W) == '-') return comment<E>(p, end);
        if (stage_ == Stage::Content) return cdata<E>(p, end);
    }
    return R::Bad;  // a DOCTYPE, or not markup at all
}

template <class E> Scanner::R Scanner::text(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    while (true) {
        const uint8_t *limit = end - p > (ptrdiff_t) (kRunUnits * W) ? p + kRunUnits * W : end;
        text_.reserve_more(kRunUnits + 16);
        char *out = text_.data.get() + text_.size;
        p = Run<E>::copy(p, limit, out);
        for (; p + W <= limit; p += W, ++out) {
            const uint32_t c = E::at(p);
            if (!has(c, kPlain)) break;
            *out = (char) c;
        }
        text_.size = (size_t) (out - text_.data.get());
        if (p + W > end) return R::More;
        if (p + W > limit) continue;
        const uint32_t c = E::at(p);
        if (c == '<') return R::Ok;
        if (c == '&') {
            const R r = reference<E>(p, end, text_);
            if (r != R::Ok) return r;
        } else if (c == ']') {
            if ((size_t) (end - p) < 3 * W) return R::More;
            if (E::at(p + W) == ']' && E::at(p + 2 * W) == '>') return R::Bad;
            text_.push(']');
            p += W;
        } else if (c == '\r') {
            if ((size_t) (end - p) < 2 * W) return R::More;
            text_.push('\n');
            p += E::at(p + W) == '\n' ? 2 * W : W;
        } else {
            uint32_t cp;
            const uint8_t *next;
            const R r = Decoder<E>::decode(p, end, cp, next, R::Ok, R::More, R::Bad);
            if (r != R::Ok) return r;
            text_.push_code_point(cp);
            p = next;
        }
    }
}

template <class E> Scanner::R Scanner::reference(const uint8_t *&p, const uint8_t *end, Buffer &out) {
    constexpr size_t W = E::W;
    const uint8_t *q = p + W;
    // Longer references than these are not the ones we accept: leave them to expat.
    constexpr size_t kLongest = 12;
    char name[kLongest];
    size_t n = 0;
    for (;; q += W) {
        if (q + W > end) return R::More;
        const uint32_t c = E::at(q);
        if (c == ';') break;
        if (n == kLongest || c >= 128) return R::Bad;
        name[n++] = (char) c;
    }
    uint32_t cp = 0;
    if (n >= 2 && name[0] == '#') {
        const bool hex = name[1] == 'x';
        const size_t first = hex ? 2 : 1;
        if (n == first || n - first > 7) return R::Bad;
        for (size_t i = first; i < n; ++i) {
            const char c = name[i];
            uint32_t digit;
            if (c >= '0' && c <= '9') digit = (uint32_t) (c - '0');
            else if (hex && c >= 'a' && c <= 'f') digit = (uint32_t) (c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F') digit = (uint32_t) (c - 'A' + 10);
            else return R::Bad;
            cp = cp * (hex ? 16 : 10) + digit;
        }
        if (!is_xml_char(cp)) return R::Bad;
    } else {
        const std::string_view s(name, n);
        if (s == "lt") cp = '<';
        else if (s == "gt") cp = '>';
        else if (s == "amp") cp = '&';
        else if (s == "quot") cp = '"';
        else if (s == "apos") cp = '\'';
        else return R::Bad;  // an entity only a DOCTYPE could declare: expat's error
    }
    out.push_code_point(cp);
    p = q + W;
    return R::Ok;
}

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
template <class E>
inline bool read_name(const uint8_t *&q, const uint8_t *end, std::string &into, uint32_t &colon, bool &more) {
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
    const size_t at = into.size();
    into.resize(at + length + 8);  // room for whole blocks of eight
    char *out = into.data() + at;
    if constexpr (W == 1) {
        std::memcpy(out, start, length);
    } else {
        size_t i = 0;
        for (; i + 8 <= length; i += 8) NameRun<E>::narrow8(start + i * W, out + i);
        for (; i < length; ++i) out[i] = (char) E::at(start + i * W);
    }
    into.resize(at + length);
    return true;
}

// Whether the `length` characters at `q` are exactly the ASCII `name` (q..q+length in bounds).
template <class E> inline bool same_name(const uint8_t *q, const char *name, size_t length) {
    size_t i = 0;
    if constexpr (E::W == 2) {
        char block[8];
        for (; i + 8 <= length; i += 8) {
            NameRun<E>::narrow8(q + i * 2, block);
            if (std::memcmp(block, name + i, 8) != 0) return false;
        }
    }
    for (; i < length; ++i)
        if (E::at(q + i * E::W) != (uint8_t) name[i]) return false;
    return true;
}

#define QL_READ_NAME(E, q, end, into, colon)                       \
    do {                                                           \
        bool more_;                                                \
        if (!read_name<E>((q), (end), (into), (colon), more_))     \
            return more_ ? R::More : R::Bad;                       \
    } while (0)

template <class E> Scanner::R Scanner::start_tag(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint8_t *q = p + W;
    const size_t names_before = names_.size();
    struct Undo {
        std::string &names;
        size_t size;
        bool keep = false;
        ~Undo() {
            if (!keep) names.resize(size);
        }
    } undo{names_, names_before};
    uint32_t colon;
    QL_READ_NAME(E, q, end, names_, colon);
    const auto name_length = (uint32_t) (names_.size() - names_before);
    names_.push_back('\0');
    raw_attributes_.clear();
    attribute_bytes_.clear();
    bool empty = false;
    while (true) {
        bool spaced = false;
        for (;; q += W) {
            if (q + W > end) return R::More;
            if (!is_space(E::at(q))) break;
            spaced = true;
        }
        const uint32_t c = E::at(q);
        if (c == '>') {
            q += W;
            break;
        }
        if (c == '/') {
            if (q + 2 * W > end) return R::More;
            if (E::at(q + W) != '>') return R::Bad;
            q += 2 * W;
            empty = true;
            break;
        }
        if (!spaced) return R::Bad;
        RawAttribute a;
        a.name_at = (uint32_t) attribute_bytes_.size;
        std::string name;
        QL_READ_NAME(E, q, end, name, a.colon);
        attribute_bytes_.append(name.data(), name.size());
        attribute_bytes_.push('\0');
        a.name_length = (uint32_t) name.size();
        for (;; q += W) {
            if (q + W > end) return R::More;
            if (!is_space(E::at(q))) break;
        }
        if (E::at(q) != '=') return R::Bad;
        q += W;
        for (;; q += W) {
            if (q + W > end) return R::More;
            if (!is_space(E::at(q))) break;
        }
        a.value_at = (uint32_t) attribute_bytes_.size;
        const R r = attribute_value<E>(q, end);
        if (r != R::Ok) return r;
        a.value_length = (uint32_t) (attribute_bytes_.size - a.value_at);
        attribute_bytes_.push('\0');
        raw_attributes_.push_back(a);
    }
    if (!report_start((uint32_t) names_before, name_length, colon, empty)) return R::Bad;
    undo.keep = !empty;
    p = q;
    return R::Ok;
}

template <class E> Scanner::R Scanner::attribute_value(const uint8_t *&q, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint32_t quote = E::at(q);
    if (quote != '"' && quote != '\'') return R::Bad;
    q += W;
    while (true) {
        if (q + W > end) return R::More;
        const uint32_t c = E::at(q);
        if (c == quote) {
            q += W;
            return R::Ok;
        }
        if (c == '<') return R::Bad;
        if (c == '&') {
            const R r = reference<E>(q, end, attribute_bytes_);
            if (r != R::Ok) return r;
            continue;
        }
        if (c == '\r') {
            if (q + 2 * W > end) return R::More;
            attribute_bytes_.push(' ');
            q += E::at(q + W) == '\n' ? 2 * W : W;
            continue;
        }
        if (c == '\t' || c == '\n') {
            attribute_bytes_.push(' ');
            q += W;
            continue;
        }
        if (c >= 0x20 && c < 0x80) {
            attribute_bytes_.push((char) c);
            q += W;
            continue;
        }
        uint32_t cp;
        const uint8_t *next;
        const R r = Decoder<E>::decode(q, end, cp, next, R::Ok, R::More, R::Bad);
        if (r != R::Ok) return r;
        attribute_bytes_.push_code_point(cp);
        q = next;
    }
}

const std::string *Scanner::lookup(const char *prefix, size_t length) const {
    for (size_t i = bindings_.size(); i-- > 0;) {
        const Binding &b = bindings_[i];
        if (b.prefix.size() == length && std::memcmp(b.prefix.data(), prefix, length) == 0) return &b.uri;
    }
    return nullptr;
}

void Scanner::flush_text() {
    if (!text_.size) return;
    // The sink takes an int; a larger text goes in pieces, as expat would hand it over.
    const char *d = text_.data.get();
    size_t n = text_.size;
    constexpr size_t kMaxPiece = 1u << 30;
    while (n > kMaxPiece) {
        size_t cut = kMaxPiece;
        while (((unsigned char) d[cut] & 0xC0) == 0x80) --cut;  // not inside a character
        sink_.text(d, (int) cut);
        d += cut;
        n -= cut;
    }
    sink_.text(d, (int) n);
    text_.clear();
}

// Namespace processing as expat does it, for the declarations it accepts without a word; any
// other declaration (reserved prefixes or names, undeclaring a prefix) is left to it.
bool Scanner::report_start(uint32_t name_at, uint32_t name_length, uint32_t colon, bool empty) {
    const auto bindings_before = (uint32_t) bindings_.size();
    if (raw_attributes_.empty() && colon == 0 && defaults_ == 0) {
        // The usual element: a plain name, no attributes, nothing to resolve.
        static const char *const kNoAttributes[] = {nullptr};
        flush_text();
        open_.push_back(Open{name_at, name_length, bindings_before});
        stage_ = Stage::Content;
        ++events_;
        sink_.start(names_.data() + name_at, const_cast<const char **>(kNoAttributes));
        if (empty) report_end();
        return true;
    }
    const char *bytes = attribute_bytes_.data.get();
    size_t plain = 0;
    for (const RawAttribute &a : raw_attributes_) {
        const char *name = bytes + a.name_at;
        const bool is_default = a.name_length == 5 && std::memcmp(name, "xmlns", 5) == 0;
        const bool is_prefixed = a.colon == 5 && std::memcmp(name, "xmlns:", 6) == 0;
        if (!is_default && !is_prefixed) {
            ++plain;
            continue;
        }
        std::string uri(bytes + a.value_at, a.value_length);
        // The separator inside a namespace would make reported names ambiguous: expat refuses.
        if (uri == kXmlNamespace || uri == kXmlnsNamespace || uri.find('}') != std::string::npos) return false;
        if (is_prefixed) {
            std::string prefix(name + 6, a.name_length - 6);
            if (prefix == "xml" || prefix == "xmlns" || uri.empty()) return false;
            bindings_.push_back(Binding{std::move(prefix), std::move(uri)});
        } else {
            bindings_.push_back(Binding{std::string(), std::move(uri)});
            ++defaults_;
        }
    }
    // The same attribute twice: expat's error. Few attributes are the rule; many are left to it.
    const size_t count = raw_attributes_.size();
    if (count > 32) return false;
    for (size_t i = 0; i < count; ++i)
        for (size_t j = i + 1; j < count; ++j)
            if (std::strcmp(bytes + raw_attributes_[i].name_at, bytes + raw_attributes_[j].name_at) == 0)
                return false;

    // The names as reported, all in one buffer, pointers taken once it has stopped growing.
    resolved_.clear();
    auto resolve = [&](const char *name, uint32_t length, uint32_t at_colon, bool is_element) -> bool {
        const std::string *uri = nullptr;
        const char *local = name;
        uint32_t local_length = length;
        static const std::string xml_uri(kXmlNamespace);
        if (at_colon) {
            if (at_colon == 3 && std::memcmp(name, "xml", 3) == 0) uri = &xml_uri;
            else if (at_colon == 5 && std::memcmp(name, "xmlns", 5) == 0) return false;
            else if (!(uri = lookup(name, at_colon))) return false;  // unbound prefix
            local = name + at_colon + 1;
            local_length = length - at_colon - 1;
        } else if (is_element && defaults_) {
            uri = lookup("", 0);
            if (uri && uri->empty()) uri = nullptr;
        }
        if (uri) {
            resolved_.append(*uri);
            resolved_.push_back('}');
        }
        resolved_.append(local, local_length);
        resolved_.push_back('\0');
        return true;
    };
    const char *element = names_.data() + name_at;
    const char *element_name = element;
    const bool plain_element = colon == 0 && defaults_ == 0;
    std::vector<size_t> &offsets = offsets_;
    offsets.clear();
    if (!plain_element) {
        offsets.push_back(0);
        if (!resolve(element, name_length, colon, true)) return false;
    }
    const size_t first_attribute = offsets.size();
    if (plain) {
        for (const RawAttribute &a : raw_attributes_) {
            const char *name = bytes + a.name_at;
            if ((a.name_length == 5 && std::memcmp(name, "xmlns", 5) == 0) ||
                (a.colon == 5 && std::memcmp(name, "xmlns:", 6) == 0))
                continue;
            offsets.push_back(resolved_.size());
            if (!resolve(name, a.name_length, a.colon, false)) return false;
            offsets.push_back(resolved_.size());
            resolved_.append(bytes + a.value_at, a.value_length);
            resolved_.push_back('\0');
        }
        // Two prefixes bound to one namespace can make two attributes one.
        for (size_t i = first_attribute; i < offsets.size(); i += 2)
            for (size_t j = i + 2; j < offsets.size(); j += 2)
                if (std::strcmp(resolved_.data() + offsets[i], resolved_.data() + offsets[j]) == 0) return false;
    }
    attribute_pointers_.clear();
    if (!plain_element) element_name = resolved_.data();
    for (size_t i = first_attribute; i < offsets.size(); ++i) attribute_pointers_.push_back(resolved_.data() + offsets[i]);
    attribute_pointers_.push_back(nullptr);

    flush_text();
    open_.push_back(Open{name_at, name_length, bindings_before});
    stage_ = Stage::Content;
    ++events_;
    sink_.start(element_name, attribute_pointers_.data());
    if (empty) report_end();
    return true;
}

bool Scanner::report_end() {
    flush_text();
    const Open o = open_.back();
    open_.pop_back();
    for (size_t i = o.bindings; i < bindings_.size(); ++i) defaults_ -= bindings_[i].prefix.empty();
    bindings_.resize(o.bindings);
    ++events_;
    sink_.end();
    if (open_.empty()) stage_ = Stage::Epilog;
    return true;
}

template <class E> Scanner::R Scanner::end_tag(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const Open &o = open_.back();
    const char *name = names_.data() + o.name_at;
    const uint8_t *q = p + 2 * W;
    if ((size_t) (end - q) < o.name_length * W) {
        // Cut by the end of the piece: a mismatch already seen is an error all the same.
        const size_t have = (size_t) (end - q) / W;
        return same_name<E>(q, name, have) ? R::More : R::Bad;
    }
    if (!same_name<E>(q, name, o.name_length)) return R::Bad;
    q += o.name_length * W;
    for (;; q += W) {
        if (q + W > end) return R::More;
        const uint32_t c = E::at(q);
        if (c == '>') break;
        if (!is_space(c)) return R::Bad;  // a longer name, or junk
    }
    const uint32_t name_at = o.name_at;
    report_end();
    names_.resize(name_at);
    p = q + W;
    return R::Ok;
}

template <class E> Scanner::R Scanner::comment(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint8_t *q = p + 4 * W;
    while (true) {
        if (q + W > end) return R::More;
        const uint32_t c = E::at(q);
        if (c == '-') {
            if (q + 2 * W > end) return R::More;
            if (E::at(q + W) == '-') {
                if (q + 3 * W > end) return R::More;
                if (E::at(q + 2 * W) != '>') return R::Bad;
                p = q + 3 * W;
                if (stage_ == Stage::Start) stage_ = Stage::Prolog;
                return R::Ok;
            }
            q += W;
        } else if (c >= 0x20 && c < 0x80) {
            q += W;
        } else if (c == '\t' || c == '\n' || c == '\r') {
            q += W;
        } else {
            uint32_t cp;
            const uint8_t *next;
            const R r = Decoder<E>::decode(q, end, cp, next, R::Ok, R::More, R::Bad);
            if (r != R::Ok) return r;
            q = next;
        }
    }
}

template <class E> Scanner::R Scanner::processing_instruction(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint8_t *q = p + 2 * W;
    std::string target;
    uint32_t colon;
    QL_READ_NAME(E, q, end, target, colon);
    if (colon) return R::Bad;
    if (target.size() >= 3 && equal_ascii_ci(target.data(), 3, "xml")) return R::Bad;
    if (q + W > end) return R::More;
    uint32_t c = E::at(q);
    if (c == '?') {  // no data: the target is followed by the end at once
        if (q + 2 * W > end) return R::More;
        if (E::at(q + W) != '>') return R::Bad;
        p = q + 2 * W;
        return R::Ok;
    }
    if (!is_space(c)) return R::Bad;
    while (true) {
        if (q + W > end) return R::More;
        c = E::at(q);
        if (c == '?') {
            if (q + 2 * W > end) return R::More;
            if (E::at(q + W) == '>') {
                p = q + 2 * W;
                return R::Ok;
            }
            q += W;
        } else if ((c >= 0x20 && c < 0x80) || c == '\t' || c == '\n' || c == '\r') {
            q += W;
        } else {
            uint32_t cp;
            const uint8_t *next;
            const R r = Decoder<E>::decode(q, end, cp, next, R::Ok, R::More, R::Bad);
            if (r != R::Ok) return r;
            q = next;
        }
    }
}

// The XML declaration in the one form these programs write: version 1.0, an encoding that
// names the encoding the bytes are in, perhaps standalone. Anything else is expat's to judge.
template <class E> Scanner::R Scanner::declaration(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint8_t *q = p + 5 * W;
    auto skip_space = [&](bool required) -> R {
        bool any = false;
        for (;; q += W) {
            if (q + W > end) return R::More;
            if (!is_space(E::at(q))) break;
            any = true;
        }
        return any || !required ? R::Ok : R::Bad;
    };
    auto word = [&](std::string &out) -> R {
        for (;; q += W) {
            if (q + W > end) return R::More;
            const uint32_t c = E::at(q);
            if (!(c < 128 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                              c == '-' || c == '_' || c == '.')))
                break;
            out.push_back((char) c);
            if (out.size() > 64) return R::Bad;
        }
        return R::Ok;
    };
    // name = "value", returned; R::Bad unless the form is exact.
    auto pseudo = [&](std::string &name, std::string &value) -> R {
        R r = word(name);
        if (r != R::Ok) return r;
        if ((r = skip_space(false)) != R::Ok) return r;
        if (E::at(q) != '=') return R::Bad;
        q += W;
        if ((r = skip_space(false)) != R::Ok) return r;
        const uint32_t quote = E::at(q);
        if (quote != '"' && quote != '\'') return R::Bad;
        q += W;
        if ((r = word(value)) != R::Ok) return r;
        if (E::at(q) != quote) return R::Bad;
        q += W;
        return R::Ok;
    };
    std::string names[3], values[3];
    size_t count = 0;
    while (true) {
        const uint8_t *before = q;
        R r = skip_space(false);
        if (r != R::Ok) return r;
        const bool spaced = q != before;
        const uint32_t c = E::at(q);
        if (c == '?') {
            if (q + 2 * W > end) return R::More;
            if (E::at(q + W) != '>') return R::Bad;
            q += 2 * W;
            break;
        }
        if (!spaced || count == 3) return R::Bad;
        if ((r = pseudo(names[count], values[count])) != R::Ok) return r;
        ++count;
    }
    size_t i = 0;
    if (i == count || names[i] != "version" || values[i] != "1.0") return R::Bad;
    ++i;
    bool named = false;
    if (i < count && names[i] == "encoding") {
        const char *expected = encoding_ == Encoding::Utf8 ? "utf-8" : "utf-16";
        if (!equal_ascii_ci(values[i].data(), values[i].size(), expected)) return R::Bad;
        named = true;
        ++i;
    }
    if (i < count && names[i] == "standalone") {
        if (values[i] != "yes" && values[i] != "no") return R::Bad;
        ++i;
    }
    if (i != count || (need_declaration_ && !named)) return R::Bad;
    need_declaration_ = false;
    stage_ = Stage::Prolog;
    p = q;
    return R::Ok;
}

template <class E> Scanner::R Scanner::cdata(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    static const char kOpen[] = "<![CDATA[";
    const uint8_t *q = p;
    for (size_t i = 0; i < 9; ++i, q += W) {
        if (q + W > end) return R::More;
        if (E::at(q) != (uint8_t) kOpen[i]) return R::Bad;
    }
    const size_t before = text_.size;
    while (true) {
        if (q + W > end) {
            text_.size = before;
            return R::More;
        }
        const uint32_t c = E::at(q);
        if (c == ']') {
            if (q + 3 * W > end) {
                text_.size = before;
                return R::More;
            }
            if (E::at(q + W) == ']' && E::at(q + 2 * W) == '>') {
                p = q + 3 * W;
                return R::Ok;
            }
            text_.push(']');
            q += W;
        } else if (c == '\r') {
            if (q + 2 * W > end) {
                text_.size = before;
                return R::More;
            }
            text_.push('\n');
            q += E::at(q + W) == '\n' ? 2 * W : W;
        } else if ((c >= 0x20 && c < 0x80) || c == '\t' || c == '\n') {
            text_.push((char) c);
            q += W;
        } else {
            uint32_t cp;
            const uint8_t *next;
            const R r = Decoder<E>::decode(q, end, cp, next, R::Ok, R::More, R::Bad);
            if (r != R::Ok) {
                text_.size = before;
                return r;
            }
            text_.push_code_point(cp);
            q = next;
        }
    }
}

}  // namespace quillon::xml
