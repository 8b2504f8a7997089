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
    size_t want = std::max(capacity_ * 2, size_ + n);
    want = std::max<size_t>(want, 256);
    std::unique_ptr<char[]> bigger(new char[want]());
    if (size_) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = want;
}

// ---------------------------------------------------------------------------------------------

bool Scanner::feed(const char *data, size_t length) {
    if (run((const uint8_t *) data, length, false)) return true;
    drop_text();
    return false;
}

bool Scanner::close() {
    if (run(nullptr, 0, true) && stage_ == Stage::Epilog) return true;
    bad_ = true;
    drop_text();
    return false;
}

// Giving up, the character data written since the last event goes: expat reports it again.
void Scanner::drop_text() {
    sink_.chars->set_size(sink_.text_from);
    sink_.indent = 0;
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
        if (stage_ == Stage::Content) content<E>(p, end);
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

// The tokens that make up nearly all of a written document, taken here with the scanner's
// state in registers: indentation, runs of plain character data, start tags of a plain name
// with nothing after it, end tags with nothing after the name, and an element of only plain
// character data as one event. At anything else (or what the piece does not hold whole) it
// stops where that token starts, and the general steps take it.
template <class E> void Scanner::content(const uint8_t *&pp, const uint8_t *end) {
    constexpr size_t W = E::W;
    using B = Block<E>;
    static const char *const kNoAttributes[] = {nullptr};
    const uint8_t *p = pp;
    while (end - p >= (ptrdiff_t) (2 * B::kBytes)) {
        const uint32_t c = E::at(p);
        if (c == '<') {
            if (E::at(p + W) == '/') {
                const Open o = open_.back();
                const uint8_t *after = p + 2 * W + o.name_length * W;
                if (o.known != TokenSink::kNoNameId) {
                    const size_t n = (o.name_length + 2) * W;
                    if ((size_t) (end - p) < W + n + kRawBlock ||
                        !same_raw(p + W, (const uint8_t *) known_tags_.data() + known_[o.known].tag_at, n))
                        break;
                } else if (after + W > end || !same_name<E>(p + 2 * W, end, name_of(o), o.name_length) ||
                           E::at(after) != '>') {
                    break;
                }
                p = after + W;
                if (o.known == TokenSink::kNoNameId || o.bindings != bindings_.size() || open_.size() == 1) {
                    report_end();
                    if (open_.empty()) break;
                    continue;
                }
                open_.pop_back();
                ++events_;
                previous_name_ = o.known;
                previous_was_start_ = false;
                sink_.end();
                continue;
            }
            if (defaults_) break;  // names to resolve
            // The name that came here last time, compared first; the table looked into only
            // when it is another.
            uint32_t id = TokenSink::kNoNameId;
            if (previous_name_ != TokenSink::kNoNameId) {
                const KnownName &before = known_[previous_name_];
                id = previous_was_start_ ? before.after_start : before.after_end;
            }
            const uint8_t *after = nullptr;
            if (id != TokenSink::kNoNameId) {
                const KnownName &k = known_[id];
                const size_t n = (k.length + 1) * W;  // "name>"
                after = p + W + k.length * W;
                if ((size_t) (end - p) < W + n + kRawBlock ||
                    !same_raw(p + W, (const uint8_t *) known_tags_.data() + k.tag_at + W, n))
                    id = TokenSink::kNoNameId;
            }
            if (id == TokenSink::kNoNameId) {
                id = plain_start<E>(p + W, end, after);
                if (id == TokenSink::kNoNameId) break;
                if (previous_name_ != TokenSink::kNoNameId) {
                    KnownName &before = known_[previous_name_];
                    (previous_was_start_ ? before.after_start : before.after_end) = id;
                }
            }
            const KnownName &k = known_[id];
            const char *name = known_chars_.data() + k.at;
            const uint8_t *q = after + W;
            if (q + W <= end && E::at(q) != '\n') {
                // Plain character data (or none) and the end tag: the whole element at once.
                CharArena &out = *sink_.chars;
                const size_t text_at = out.size();
                const uint8_t *limit = end - q > (ptrdiff_t) (kRunUnits * W) ? q + kRunUnits * W : end;
                char *const begin = out.room(kRunUnits + kRunSlack);
                char *o = begin;
                const uint8_t *r = copy_plain<E>(q, limit, o);
                const size_t n = (k.length + 2) * W;  // "/name>"
                if ((size_t) (end - r) >= W + n + kRawBlock && E::at(r) == '<' &&
                    same_raw(r + W, (const uint8_t *) known_tags_.data() + k.tag_at, n)) {
                    const uint8_t *close = r + n;  // its '>'
                    out.set_size(text_at + (size_t) (o - begin));
                    events_ += 2;
                    previous_name_ = id;
                    previous_was_start_ = false;
                    sink_.leaf(name, id, text_at);
                    p = close + W;
                    continue;
                }
            }
            open_.push_back(Open{k.at, k.length, (uint32_t) bindings_.size(), id});
            ++events_;
            previous_name_ = id;
            previous_was_start_ = true;
            sink_.start(name, const_cast<const char **>(kNoAttributes), id);
            p = q;
            continue;
        }
        CharArena &out = *sink_.chars;
        if (c == '\n' && out.size() == sink_.text_from && sink_.indent == 0) {
            const uint8_t *q = skip_spaces<E>(p + W, end);
            const size_t n = (size_t) (q - p) / W;
            if (n <= kMaxIndent && q + W <= end && E::at(q) == '<') {
                sink_.indent = (uint32_t) n;
                p = q;
                continue;
            }
        }
        keep_indent();
        const uint8_t *limit = end - p > (ptrdiff_t) (kRunUnits * W) ? p + kRunUnits * W : end;
        char *const begin = out.room(kRunUnits + kRunSlack);
        char *o = begin;
        p = copy_plain<E>(p, limit, o);
        out.set_size(out.size() + (size_t) (o - begin));
        if (p + W > end || E::at(p) != '<') break;
    }
    pp = p;
}

// The number of the name of a start tag at `q` (past its '<') that is a plain name followed
// by '>' at once (`after` pointing there); kNoNameId for any other.
template <class E> uint32_t Scanner::plain_start(const uint8_t *q, const uint8_t *end, const uint8_t *&after) {
    const size_t base = names_.size();
    uint32_t colon;
    bool more;
    if (!read_name<E>(q, end, names_, colon, more)) return TokenSink::kNoNameId;
    uint32_t id = TokenSink::kNoNameId;
    if (!colon && q + E::W <= end && E::at(q) == '>') {
        id = find_name(names_.data() + base, (uint32_t) (names_.size() - base));
        after = q;
    }
    names_.set_size(base);
    return id;
}

template <class E> Scanner::R Scanner::text(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    CharArena &out = *sink_.chars;
    if (E::at(p) == '\n' && out.size() == sink_.text_from && sink_.indent == 0) {
        // Indentation up to the next markup: counted, not written, unless more character data
        // joins it.
        const uint8_t *q = skip_spaces<E>(p + W, end);
        while (q + W <= end && E::at(q) == ' ') q += W;
        const size_t n = (size_t) (q - p) / W;
        if (n <= kMaxIndent && q + W <= end && E::at(q) == '<') {
            sink_.indent = (uint32_t) n;
            p = q;
            return R::Ok;
        }
    }
    keep_indent();
    while (true) {
        // At most kRunUnits at a time, so that the room taken stays small for a huge piece.
        const uint8_t *limit = end - p > (ptrdiff_t) (kRunUnits * W) ? p + kRunUnits * W : end;
        char *const begin = out.room(kRunUnits + kRunSlack);
        char *o = begin;
        p = copy_plain<E>(p, limit, o);
        for (; p + W <= limit; p += W, ++o) {
            const uint32_t c = E::at(p);
            if (!has(c, kPlain)) break;
            *o = (char) c;
        }
        out.set_size(out.size() + (size_t) (o - begin));
        if (p + W > end) return R::More;
        if (p + W > limit) continue;
        const uint32_t c = E::at(p);
        if (c == '<') return R::Ok;
        if (c == '&') {
            const R r = reference<E>(p, end, out);
            if (r != R::Ok) return r;
        } else if (c == ']') {
            if ((size_t) (end - p) < 3 * W) return R::More;
            if (E::at(p + W) == ']' && E::at(p + 2 * W) == '>') return R::Bad;
            append_char(out, ']');
            p += W;
        } else if (c == '\r') {
            if ((size_t) (end - p) < 2 * W) return R::More;
            append_char(out, '\n');
            p += E::at(p + W) == '\n' ? 2 * W : W;
        } else {
            const R r = decode_into<E>(p, end, out, R::Ok, R::More, R::Bad);
            if (r != R::Ok) return r;
        }
    }
}

template <class E, class Out> Scanner::R Scanner::reference(const uint8_t *&p, const uint8_t *end, Out &out) {
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
    append_code_point(out, cp);
    p = q + W;
    return R::Ok;
}

#define QL_REFERENCE(E, Out) \
    template Scanner::R Scanner::reference<scanning::E, Out>(const uint8_t *&, const uint8_t *, Out &)
QL_REFERENCE(Utf8, Scanner::Buffer);
QL_REFERENCE(Utf16LE, Scanner::Buffer);
QL_REFERENCE(Utf16BE, Scanner::Buffer);
#undef QL_REFERENCE

}  // namespace quillon::xml
