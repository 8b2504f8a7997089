#include "xml_tree.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace quillon::xml {

uint32_t Tree::find_tag(std::string_view name) const {
    auto it = shown_ids_.find(name);
    return it == shown_ids_.end() ? kNone : it->second;
}

uint32_t Tree::intern_shown(std::string_view shown) {
    auto it = shown_ids_.find(shown);
    if (it != shown_ids_.end()) return it->second;
    const auto id = (uint32_t) tags.size();
    tags.push_back(Tag{std::string(shown), {}});
    shown_ids_.emplace(std::string(shown), id);
    return id;
}

uint32_t Tree::intern_raw(std::string_view raw) {
    auto it = raw_ids_.find(raw);
    if (it != raw_ids_.end()) return it->second;
    // The standard parser shows a namespaced name "uri}local" as "{uri}local".
    std::string shown = raw.find('}') == std::string_view::npos ? std::string(raw)
                                                                 : "{" + std::string(raw);
    const uint32_t id = intern_shown(shown);
    raw_ids_.emplace(std::string(raw), id);
    return id;
}

uint32_t Tree::intern_foreign(nb::handle tag) {
    const auto id = (uint32_t) tags.size();
    tags.push_back(Tag{std::string(), nb::borrow(tag)});
    return id;
}

nb::object Tree::text_object(Span s) const {
    if (s.is_none()) return nb::none();
    if (s.is_foreign()) return foreign[s.length];
    PyObject *str = PyUnicode_DecodeUTF8(chars.data() + s.offset, (Py_ssize_t) s.length, "surrogatepass");
    if (!str) throw nb::python_error();
    return nb::steal(str);
}

nb::object Tree::tag_object(uint32_t node) const {
    const Tag &t = tags[nodes[node].tag];
    if (t.is_foreign()) return t.foreign;
    PyObject *str = PyUnicode_DecodeUTF8(t.name.data(), (Py_ssize_t) t.name.size(), "surrogatepass");
    if (!str) throw nb::python_error();
    return nb::steal(str);
}

void Tree::clear(uint32_t node) {
    Node &n = nodes[node];
    n.first_child = kNone;
    n.text = Span();
    n.tail = Span();
    n.attribute_count = 0;
    if (node == 0) {
        Node root = nodes[0];
        std::vector<Node>{root}.swap(nodes);
        std::vector<Attribute>().swap(attributes);
        std::string().swap(chars);
        std::vector<nb::object>().swap(foreign);
    }
}

uint32_t Tree::add_node(uint32_t tag, uint32_t parent, uint32_t previous_sibling) {
    if (nodes.size() >= kNone - 1) throw std::bad_alloc();
    const auto id = (uint32_t) nodes.size();
    Node &n = nodes.emplace_back();
    n.tag = tag;
    n.parent = parent;
    if (previous_sibling != kNone) nodes[previous_sibling].next_sibling = id;
    else if (parent != kNone) nodes[parent].first_child = id;
    return id;
}

// ---------------------------------------------------------------------------------------------

TreeBuilder::TreeBuilder(std::string section_tag)
    : section_tag_(std::move(section_tag)), whole_document_(section_tag_.empty()) {}

void TreeBuilder::expect_document_size(size_t bytes) {
    if (!whole_document_) return;
    if (!tree_) tree_ = std::make_shared<Tree>();
    tree_->nodes.reserve(std::min<size_t>(bytes / 16, kNone - 2));
    tree_->chars.reserve(std::min<size_t>(bytes, Span::kForeign - 1));
}

ElementRef TreeBuilder::pop_finished() {
    ElementRef r = std::move(finished[finished_head++]);
    if (finished_head == finished.size()) {
        finished.clear();
        finished_head = 0;
    }
    return r;
}

Span *TreeBuilder::target() {
    if (text_node_ == kNone) return nullptr;
    Node &n = tree_->nodes[text_node_];
    return text_is_tail_ ? &n.tail : &n.text;
}

void TreeBuilder::append_text(Span &s, const char *data, size_t length) {
    std::string &chars = tree_->chars;
    if (chars.size() + length >= Span::kForeign) throw std::bad_alloc();
    if (s.is_none()) s.offset = (uint32_t) chars.size();
    // Pieces of one text arrive with nothing else written in between, so the text stays
    // contiguous at the end of the arena.
    chars.append(data, length);
    s.length += (uint32_t) length;
}

void TreeBuilder::settle_text() {
    Span *s = target();
    if (!s || s->is_none() || s->length > 64) return;
    std::string &chars = tree_->chars;
    const char *p = chars.data() + s->offset;
    for (uint32_t i = 0; i < s->length; ++i)
        if (p[i] != ' ' && p[i] != '\n' && p[i] != '\t' && p[i] != '\r') return;
    const std::string_view key(p, s->length);
    auto it = blank_texts_.find(key);
    if (it == blank_texts_.end()) {
        blank_texts_.emplace(std::string(key), *s);
    } else if (it->second.offset != s->offset) {
        chars.resize(s->offset);
        *s = it->second;
    }
}

void TreeBuilder::start(const char *name, const char **attributes) {
    if (open_.empty()) {
        if (!whole_document_ && std::strcmp(name, section_tag_.c_str()) != 0) {
            text_node_ = kNone;  // character data outside the kept elements is dropped
            return;
        }
        if (!tree_) {  // a new section (or the document, unless made ready beforehand)
            tree_ = std::make_shared<Tree>();
            blank_texts_.clear();
            if (!whole_document_) section_tag_id_ = tree_->intern_raw(section_tag_);
        }
    } else {
        settle_text();
    }
    Tree &t = *tree_;
    const uint32_t parent = open_.empty() ? kNone : open_.back();
    const uint32_t previous = open_.empty() ? kNone : last_child_.back();
    const uint32_t node = t.add_node(t.intern_raw(name), parent, previous);
    if (!last_child_.empty()) last_child_.back() = node;
    if (attributes[0]) {
        Node &n = t.nodes[node];
        n.first_attribute = (uint32_t) t.attributes.size();
        for (const char **a = attributes; a[0]; a += 2) {
            Attribute &attr = t.attributes.emplace_back();
            append_text(attr.name, a[0], std::strlen(a[0]));
            append_text(attr.value, a[1], std::strlen(a[1]));
            ++t.nodes[node].attribute_count;
        }
    }
    open_.push_back(node);
    last_child_.push_back(kNone);
    text_node_ = node;
    text_is_tail_ = false;
}

void TreeBuilder::end() {
    if (open_.empty()) {
        text_node_ = kNone;
        return;
    }
    settle_text();
    const uint32_t node = open_.back();
    open_.pop_back();
    last_child_.pop_back();
    text_node_ = node;
    text_is_tail_ = true;
    if (whole_document_) {
        if (open_.empty()) finished.push_back(ElementRef{tree_, node});
        return;
    }
    if (tree_->nodes[node].tag == section_tag_id_) finished.push_back(ElementRef{tree_, node});
    if (open_.empty()) {
        // The outermost kept element is complete; what follows belongs to the next one.
        tree_.reset();
        text_node_ = kNone;
    }
}

void TreeBuilder::text(const char *data, int length) {
    Span *s = target();
    if (s) append_text(*s, data, (size_t) length);
}

}  // namespace quillon::xml
