#include "xml_scanner.hpp"

#include "xml_scanner_runs.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace quillon::xml {

using namespace scanning;

namespace {

// Longest run copied per step, so that the text buffer stays small for a huge piece.
constexpr size_t kRunUnits = 4096;

}  // namespace

// ---------------------------------------------------------------------------------------------

void Scanner::Buffer::grow(size_t n) {
    size_t want = std::max(capacity * 2, size + n);
    want = std::max<size_t>(want, 256);
    // Zeroed once here, so that reading a whole block past a name (see same_name) never
    // reads bytes nobody wrote.
    std::unique_ptr<char[]> bigger(new char[want]());
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
    if (text_.size == 0 && indent_ == 0 && E::at(p) == '\n') {
        // Indentation up to the next markup: kept as its length, reported as a piece of the
        // indentation the sink knows, unless more character data joins it.
        const uint8_t *q = SpaceRun<E>::skip(p + W, end);
        while (q + W <= end && E::at(q) == ' ') q += W;
        const size_t n = (size_t) (q - p) / W;
        if (n <= kMaxIndent && q + W <= end && E::at(q) == '<') {
            indent_ = (uint32_t) n;
            p = q;
            return R::Ok;
        }
    }
    keep_indent();
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
            const R r = decode_into<E>(p, end, text_, R::Ok, R::More, R::Bad);
            if (r != R::Ok) return r;
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

void Scanner::keep_indent() {
    if (!indent_) return;
    text_.append(kIndentChars, indent_);
    indent_ = 0;
}

void Scanner::flush_text() {
    if (indent_) {  // nothing joined it (every addition to the text keeps it first)
        sink_.text(kIndentChars, (int) indent_);
        indent_ = 0;
        return;
    }
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

QL_SCANNER_INSTANTIATE(reference, const uint8_t *&, const uint8_t *, Buffer &);

}  // namespace quillon::xml
