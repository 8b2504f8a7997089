// Start and end tags: names, attributes, and namespaces resolved as expat resolves them.
#include "xml_scanner.hpp"

#include "xml_scanner_runs.hpp"

#include <cstring>
#include <string>

namespace quillon::xml {

using namespace scanning;

template <class E> Scanner::R Scanner::start_tag(const uint8_t *&p, const uint8_t *end) {
    constexpr size_t W = E::W;
    const uint8_t *q = p + W;
    const size_t names_before = names_.size;
    struct Undo {
        Buffer &names;
        size_t size;
        bool keep = false;
        ~Undo() {
            if (!keep) names.size = size;
        }
    } undo{names_, names_before};
    uint32_t colon;
    QL_READ_NAME(E, q, end, names_, colon);
    const auto name_length = (uint32_t) (names_.size - names_before);
    names_.push('\0');
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
        QL_READ_NAME(E, q, end, attribute_bytes_, a.colon);
        a.name_length = (uint32_t) (attribute_bytes_.size - a.name_at);
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
        const R r = decode_into<E>(q, end, attribute_bytes_, R::Ok, R::More, R::Bad);
        if (r != R::Ok) return r;
    }
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
bool Scanner::report_start(uint32_t name_at, uint32_t name_length, uint32_t colon, bool empty) {
    const auto bindings_before = (uint32_t) bindings_.size();
    if (raw_attributes_.empty() && colon == 0 && defaults_ == 0) {
        // The usual element: a plain name, no attributes, nothing to resolve.
        static const char *const kNoAttributes[] = {nullptr};
        flush_text();
        open_.push_back(Open{name_at, name_length, bindings_before});
        stage_ = Stage::Content;
        ++events_;
        sink_.start(names_.data.get() + name_at, const_cast<const char **>(kNoAttributes));
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
    const char *element = names_.data.get() + name_at;
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
    const char *name = names_.data.get() + o.name_at;
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
    const uint32_t name_at = o.name_at;
    report_end();
    names_.size = name_at;
    p = q + W;
    return R::Ok;
}

QL_SCANNER_INSTANTIATE(start_tag, const uint8_t *&, const uint8_t *);
QL_SCANNER_INSTANTIATE(end_tag, const uint8_t *&, const uint8_t *);

}  // namespace quillon::xml
