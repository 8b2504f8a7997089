// Start and end tags: names, attributes, and namespaces resolved as expat resolves them.
#include "xml_scanner.hpp"

#include "xml_scanner_runs.hpp"

#include <cstring>
#include <string>

namespace quillon::xml {

using namespace scanning;

namespace {

// Room taken for a run of an attribute value at a time.
constexpr size_t kRunRoom = 256;

}  // namespace

template <class E> Scanner::R Scanner::start_tag(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint8_t *q = p + W;
    const size_t names_before = names_.size();
    struct Undo {
        Buffer &names;
        size_t size;
        bool keep = false;
        ~Undo() {
            if (!keep) names.set_size(size);
        }
    } undo{names_, names_before};
    uint32_t colon;
    QL_READ_NAME(E, q, end, names_, colon);
    const auto name_length = (uint32_t) (names_.size() - names_before);
    names_.push('\0');
    raw_attributes_.clear();
    attribute_bytes_.clear();
    bool empty = false;
    while (true) {
        const uint8_t *before = q;
        q = skip_blanks<E>(q, end);
        for (;; q += W) {
            if (q + W > end) return R::More;
            if (!is_space(E::at(q))) break;
        }
        const bool spaced = q != before;
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
        a.name_at = (uint32_t) attribute_bytes_.size();
        QL_READ_NAME(E, q, end, attribute_bytes_, a.colon);
        a.name_length = (uint32_t) (attribute_bytes_.size() - a.name_at);
        attribute_bytes_.push('\0');
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
        a.value_at = (uint32_t) attribute_bytes_.size();
        const R r = attribute_value<E>(q, end);
        if (r != R::Ok) return r;
        a.value_length = (uint32_t) (attribute_bytes_.size() - a.value_at);
        attribute_bytes_.push('\0');
        raw_attributes_.push_back(a);
    }
    Open o{(uint32_t) names_before, name_length, (uint32_t) bindings_.size(), TokenSink::kNoNameId};
    if (!colon) o.known = number_name(names_.data() + names_before, name_length);
    if (o.known != TokenSink::kNoNameId) o.name_at = known_[o.known].at;  // names_ gives it back
    else undo.keep = !empty;
    if (!report_start(o, colon, empty)) return R::Bad;
    p = q;
    return R::Ok;
}

template <class E> Scanner::R Scanner::attribute_value(const uint8_t *&q, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint32_t quote = E::at(q);
    if (quote != '"' && quote != '\'') return R::Bad;
    q += W;
    while (true) {
        char *const begin = attribute_bytes_.room(kRunRoom);
        char *o = begin;
        const uint8_t *limit = end - q > (ptrdiff_t) (kRunRoom - kRunSlack) * (ptrdiff_t) W ? q + (kRunRoom - kRunSlack) * W : end;
        q = copy_run<E>(q, limit, o, [quote](const Block<E> &b) { return b.not_value(quote); });
        attribute_bytes_.set_size(attribute_bytes_.size() + (size_t) (o - begin));
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
        const R r = decode_into<E>(q, end, attribute_bytes_, R::Ok, R::More, R::Bad);
        if (r != R::Ok) return r;
    }
}

namespace {

// A word at a time; the names lie in buffers with room for a word after them.
uint64_t name_hash(const char *name, size_t length) {
    uint64_t h = length * 0x9E3779B97F4A7C15u;
    size_t i = 0;
    for (; i + 8 < length; i += 8) h = (h ^ load_word(name + i)) * 0xFF51AFD7ED558CCDu;
    const uint64_t last = load_word(name + i) << (unsigned) (64 - 8 * (length - i));
    h = (h ^ last) * 0xC4CEB9FE1A85EC53u;
    return h ^ (h >> 32);
}

}  // namespace

// The number of an element name without a colon (kNoNameId past the limits), and the guess
// for the next start tag.
uint32_t Scanner::number_name(const char *name, uint32_t length) {
    uint32_t guess = TokenSink::kNoNameId;
    if (previous_name_ != TokenSink::kNoNameId) {
        const KnownName &before = known_[previous_name_];
        guess = previous_was_start_ ? before.after_start : before.after_end;
    }
    // `name` lies in names_, with room for a word after it, and so does every known name.
    if (guess != TokenSink::kNoNameId && known_[guess].length == length &&
        same_bytes(known_chars_.data() + known_[guess].at, name, length))
        return guess;
    const uint32_t id = find_name(name, length);
    if (previous_name_ != TokenSink::kNoNameId && id != TokenSink::kNoNameId) {
        KnownName &before = known_[previous_name_];
        (previous_was_start_ ? before.after_start : before.after_end) = id;
    }
    return id;
}

// The number of a name, found or given it now (kNoNameId past the limits).
uint32_t Scanner::find_name(const char *name, uint32_t length) {
    size_t mask = name_slots_.size() - 1;
    if (!name_slots_.empty()) {
        for (size_t i = name_hash(name, length) & mask;; i = (i + 1) & mask) {
            const uint32_t id = name_slots_[i];
            if (id == TokenSink::kNoNameId) break;
            if (known_[id].length == length && same_bytes(known_chars_.data() + known_[id].at, name, length))
                return id;
        }
    }
    if (known_.size() >= TokenSink::kMaxNameIds || known_chars_.size() + length >= kMaxNameBytes)
        return TokenSink::kNoNameId;
    const auto id = (uint32_t) known_.size();
    const auto at = (uint32_t) known_chars_.size();
    char *out = known_chars_.room(length + 1 + 8);
    std::memcpy(out, name, length);
    out[length] = '\0';
    known_chars_.set_size(at + length + 1);
    const size_t w = encoding_ == Encoding::Utf8 ? 1 : 2;
    const size_t tag_at = known_tags_.size(), units = length + 2;
    char *tag = known_tags_.room(units * w + kRawBlock);
    std::memset(tag, 0, units * w);
    for (size_t i = 0; i < units; ++i)
        tag[i * w + (encoding_ == Encoding::Utf16BE)] = i == 0 ? '/' : i + 1 == units ? '>' : name[i - 1];
    known_tags_.set_size(tag_at + units * w);
    known_.push_back(KnownName{at, length, (uint32_t) tag_at});
    if (known_.size() * 2 > name_slots_.size()) {
        // Rehashed at half full, so that a probe ends soon.
        std::vector<uint32_t> slots(std::max<size_t>(64, name_slots_.size() * 2), TokenSink::kNoNameId);
        mask = slots.size() - 1;
        for (const KnownName &k : known_) {
            size_t i = name_hash(known_chars_.data() + k.at, k.length) & mask;
            while (slots[i] != TokenSink::kNoNameId) i = (i + 1) & mask;
            slots[i] = (uint32_t) (&k - known_.data());
        }
        name_slots_.swap(slots);
    } else {
        size_t i = name_hash(name, length) & mask;
        while (name_slots_[i] != TokenSink::kNoNameId) i = (i + 1) & mask;
        name_slots_[i] = id;
    }
    return id;
}

const std::string *Scanner::lookup(const char *prefix, size_t length) const {
    for (size_t i = bindings_.size(); i-- > 0;) {
        const Binding &b = bindings_[i];
        if (b.prefix.size() == length && std::memcmp(b.prefix.data(), prefix, length) == 0) return &b.uri;
    }
    return nullptr;
}

// Namespace processing as expat does it, for the declarations it accepts without a word; any
// other declaration (reserved prefixes or names, undeclaring a prefix) is left to it.
bool Scanner::report_start(const Open &o, uint32_t colon, bool empty) {
    const uint32_t name_length = o.name_length;
    if (raw_attributes_.empty() && colon == 0 && defaults_ == 0) {
        // The usual element: a plain name, no attributes, nothing to resolve.
        static const char *const kNoAttributes[] = {nullptr};
        open_.push_back(o);
        stage_ = Stage::Content;
        ++events_;
        previous_name_ = o.known;
        previous_was_start_ = true;
        sink_.start(name_of(o), const_cast<const char **>(kNoAttributes), o.known);
        if (empty) report_end();
        return true;
    }
    const char *bytes = attribute_bytes_.data();
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
    const char *element = name_of(o);
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

    open_.push_back(o);
    stage_ = Stage::Content;
    ++events_;
    previous_name_ = o.known;
    previous_was_start_ = true;
    // Numbered only when the name is reported as it stands.
    sink_.start(element_name, attribute_pointers_.data(), plain_element ? o.known : TokenSink::kNoNameId);
    if (empty) report_end();
    return true;
}

void Scanner::report_end() {
    const Open o = open_.back();
    open_.pop_back();
    if (o.bindings != bindings_.size()) {
        for (size_t i = o.bindings; i < bindings_.size(); ++i) defaults_ -= bindings_[i].prefix.empty();
        bindings_.resize(o.bindings);
    }
    if (o.known == TokenSink::kNoNameId) names_.set_size(o.name_at);
    ++events_;
    previous_name_ = o.known;
    previous_was_start_ = false;
    sink_.end();
    if (open_.empty()) stage_ = Stage::Epilog;
}

template <class E> Scanner::R Scanner::end_tag(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const Open &o = open_.back();
    const char *name = name_of(o);
    const uint8_t *q = p + 2 * W;
    if ((size_t) (end - q) < o.name_length * W) {
        // Cut by the end of the piece: a mismatch already seen is an error all the same.
        const size_t have = (size_t) (end - q) / W;
        return same_name<E>(q, end, name, have) ? R::More : R::Bad;
    }
    if (!same_name<E>(q, end, name, o.name_length)) return R::Bad;
    q += o.name_length * W;
    for (;; q += W) {
        if (q + W > end) return R::More;
        const uint32_t c = E::at(q);
        if (c == '>') break;
        if (!is_space(c)) return R::Bad;  // a longer name, or junk
    }
    report_end();
    p = q + W;
    return R::Ok;
}

QL_SCANNER_INSTANTIATE(start_tag, const uint8_t *&, const uint8_t *);
QL_SCANNER_INSTANTIATE(end_tag, const uint8_t *&, const uint8_t *);

}  // namespace quillon::xml
