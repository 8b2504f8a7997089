// The markup around the elements: comments, processing instructions, the XML declaration and
// CDATA sections.
#include "xml_scanner.hpp"

#include "xml_scanner_runs.hpp"

#include <string>

namespace quillon::xml {

using namespace scanning;

// Any character XML allows, checked as it is decoded.
template <class E> Scanner::R Scanner::data_character(const uint8_t *&q, const uint8_t *end) {
    const uint32_t c = E::at(q);
    if ((c >= 0x20 && c < 0x80) || c == '\t' || c == '\n' || c == '\r') {
        q += E::W;
        return R::Ok;
    }
    uint32_t cp;
    const uint8_t *next;
    const R r = Decoder<E>::decode(q, end, cp, next, R::Ok, R::More, R::Bad);
    if (r == R::Ok) q = next;
    return r;
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
        } else {
            const R r = data_character<E>(q, end);
            if (r != R::Ok) return r;
        }
    }
}

template <class E> Scanner::R Scanner::processing_instruction(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint8_t *q = p + 2 * W;
    Buffer target;
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
        } else {
            const R r = data_character<E>(q, end);
            if (r != R::Ok) return r;
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
    keep_indent();
    CharArena &out = *sink_.chars;
    const size_t before = out.size();
    while (true) {
        if (q + W > end) {
            out.set_size(before);
            return R::More;
        }
        const uint32_t c = E::at(q);
        if (c == ']') {
            if (q + 3 * W > end) {
                out.set_size(before);
                return R::More;
            }
            if (E::at(q + W) == ']' && E::at(q + 2 * W) == '>') {
                p = q + 3 * W;
                return R::Ok;
            }
            append_char(out, ']');
            q += W;
        } else if (c == '\r') {
            if (q + 2 * W > end) {
                out.set_size(before);
                return R::More;
            }
            append_char(out, '\n');
            q += E::at(q + W) == '\n' ? 2 * W : W;
        } else if ((c >= 0x20 && c < 0x80) || c == '\t' || c == '\n') {
            append_char(out, (char) c);
            q += W;
        } else {
            const R r = decode_into<E>(q, end, out, R::Ok, R::More, R::Bad);
            if (r != R::Ok) {
                out.set_size(before);
                return r;
            }
        }
    }
}

QL_SCANNER_INSTANTIATE(comment, const uint8_t *&, const uint8_t *);
QL_SCANNER_INSTANTIATE(processing_instruction, const uint8_t *&, const uint8_t *);
QL_SCANNER_INSTANTIATE(declaration, const uint8_t *&, const uint8_t *);
QL_SCANNER_INSTANTIATE(cdata, const uint8_t *&, const uint8_t *);

}  // namespace quillon::xml
