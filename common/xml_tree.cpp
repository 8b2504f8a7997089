#include "xml_tree.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace quillon::xml {

void CharArena::grow_to(size_t n) {
    std::unique_ptr<char[]> bigger(new char[n]);  // pages untouched until written
    if (size_) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = n;
}

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

std::string shown_name(std::string_view raw) {
    if (raw.find('}') == std::string_view::npos) return std::string(raw);
    std::string shown(1, '{');
    shown.append(raw);
    return shown;
}

uint32_t Tree::intern_raw(std::string_view raw) {
    if (raw.find('}') == std::string_view::npos) return intern_shown(raw);  // shown as it is
    auto it = raw_ids_.find(raw);
    if (it != raw_ids_.end()) return it->second;
    const uint32_t id = intern_shown(shown_name(raw));
    raw_ids_.emplace(std::string(raw), id);
    return id;
}

void Tree::reserve_tags(size_t count) {
    tags.reserve(count);
    shown_ids_.reserve(count);
}

uint32_t Tree::intern_foreign(nb::handle tag) {
    const auto id = (uint32_t) tags.size();
    tags.push_back(Tag{std::string(), nb::borrow(tag)});
    return id;
}

nb::object Tree::text_object(Span s) const {
    if (s.is_none()) return nb::none();
    if (s.is_foreign()) return foreign[s.length];
    const std::string_view v = view(s);
    PyObject *str = PyUnicode_DecodeUTF8(v.data(), (Py_ssize_t) v.size(), "surrogatepass");
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
    notes.reset();
    Node &n = nodes[node];
    n.first_child = kNone;
    n.text = Span();
    n.tail = Span();
    n.attribute_count = 0;
    if (node == 0) {
        Node root = nodes[0];
        std::vector<Node>{root}.swap(nodes);
        std::vector<Attribute>().swap(attributes);
        chars.release();
        std::vector<nb::object>().swap(foreign);
    }
}

// ---------------------------------------------------------------------------------------------

TreeBuilder::TreeBuilder(std::string section_tag)
    : section_tag_(std::move(section_tag)), whole_document_(section_tag_.empty()) {}

void TreeBuilder::expect_document_size(size_t bytes) {
    if (!whole_document_) return;
    if (!tree_) tree_ = std::make_shared<Tree>();
    tree_->nodes.reserve(std::min<size_t>(bytes / 16, kNone - 2));
    tree_->chars.reserve(std::min<size_t>(bytes, Span::kIndent - Span::kMaxIndent - 1));
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
    CharArena &chars = tree_->chars;
    if (chars.size() + length + Span::kMaxIndent >= Span::kIndent) throw std::bad_alloc();
    if (s.is_indent()) {
        // More than indentation after all: the indentation goes into the arena first.
        const uint32_t indent = s.length;
        s.offset = (uint32_t) chars.size();
        chars.append(kIndentChars, indent);
    } else if (s.is_none()) {
        s.offset = (uint32_t) chars.size();
    }
    // Pieces of one text arrive with nothing else written in between, so the text stays
    // contiguous at the end of the arena.
    chars.append(data, length);
    s.length += (uint32_t) length;
}

namespace {
bool all_blank(const char *p, size_t length) {
    // Indentation is a line break and then mostly spaces: look at eight of those at a time.
    size_t i = 0;
    while (i < length && (p[i] == '\n' || p[i] == '\r')) ++i;
    for (uint64_t word; i + 8 <= length; i += 8) {
        std::memcpy(&word, p + i, 8);
        if (word != 0x2020202020202020u) break;
    }
    for (; i < length; ++i)
        if (p[i] != ' ' && p[i] != '\n' && p[i] != '\t' && p[i] != '\r') return false;
    return true;
}
}  // namespace

void TreeBuilder::flush_blank(Span &s) {
    if (!blank_pending_) return;
    blank_pending_ = false;
    append_text(s, blank_, blank_length_);
    blank_length_ = 0;
}

void TreeBuilder::settle_text() {
    if (!blank_pending_) return;
    Span &s = *target();
    const uint32_t length = blank_length_;
    blank_pending_ = false;
    blank_length_ = 0;
    std::vector<Span> &same_length = blank_texts_[length];
    for (const Span &known : same_length) {
        if (std::memcmp(tree_->chars.data() + known.offset, blank_, length) == 0) {
            s = known;
            return;
        }
    }
    append_text(s, blank_, length);
    // A document of ever new blank texts keeps its copies rather than making each search long.
    if (same_length.size() < kBlanksPerLength) same_length.push_back(s);
}

uint32_t TreeBuilder::lookup_raw(const char *name) {
    const std::string_view key(name);
    auto it = raw_tag_ids_.find(key);
    if (it != raw_tag_ids_.end()) return it->second;
    if (raw_tags_.size() >= kMaxRawTags) return kNone;
    const auto id = (uint32_t) raw_tags_.size();
    raw_tags_.push_back(RawTag{std::string(key)});
    raw_tag_ids_.emplace(std::string(key), id);
    tree_tag_.push_back(kNone);
    return id;
}

// The tag id in tree_ of the element starting now (its raw tag in `raw`); updates the guesses.
uint32_t TreeBuilder::tag_of(const char *name, uint32_t &raw) {
    raw = kNone;
    if (previous_raw_ != kNone) {
        RawTag &before = raw_tags_[previous_raw_];
        const uint32_t guess = previous_was_start_ ? before.after_start : before.after_end;
        if (guess != kNone && std::strcmp(raw_tags_[guess].raw.c_str(), name) == 0) raw = guess;
    }
    if (raw == kNone) {
        raw = lookup_raw(name);
        if (raw == kNone) return tree_->intern_raw(name);  // past the names remembered
        if (previous_raw_ != kNone) {
            RawTag &before = raw_tags_[previous_raw_];
            (previous_was_start_ ? before.after_start : before.after_end) = raw;
        }
    }
    uint32_t &in_tree = tree_tag_[raw];
    if (in_tree == kNone) in_tree = tree_->intern_raw(name);
    return in_tree;
}

void TreeBuilder::start(const char *name, const char **attributes) {
    if (open_.empty()) {
        if (!whole_document_ && std::strcmp(name, section_tag_.c_str()) != 0) {
            text_node_ = kNone;  // character data outside the kept elements is dropped
            previous_raw_ = kNone;
            return;
        }
        if (!tree_) {  // a new section (or the document, unless made ready beforehand)
            tree_ = std::make_shared<Tree>();
            // Sections tend to be alike: room for one like the last saves growing the arrays.
            tree_->nodes.reserve(last_nodes_);
            tree_->chars.reserve(last_chars_);
            tree_->reserve_tags(last_tags_);
            for (std::vector<Span> &v : blank_texts_) v.clear();
            std::fill(tree_tag_.begin(), tree_tag_.end(), kNone);
            if (!whole_document_) section_tag_id_ = tree_->intern_raw(section_tag_);
        }
    } else {
        settle_text();
    }
    Tree &t = *tree_;
    uint32_t raw;
    const uint32_t tag = tag_of(name, raw);
    uint32_t node;
    if (open_.empty()) {
        node = t.add_node(tag, kNone, kNone);
    } else {
        Open &parent = open_.back();
        node = t.add_node(tag, parent.node, parent.last_child);
        parent.last_child = node;
    }
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
    open_.push_back(Open{node, kNone, raw});
    previous_raw_ = raw;
    previous_was_start_ = true;
    text_node_ = node;
    text_is_tail_ = false;
}

void TreeBuilder::end() {
    if (open_.empty()) {
        text_node_ = kNone;
        return;
    }
    settle_text();
    const uint32_t node = open_.back().node;
    previous_raw_ = open_.back().raw;
    previous_was_start_ = false;
    open_.pop_back();
    text_node_ = node;
    text_is_tail_ = true;
    if (whole_document_) {
        if (open_.empty()) finished.push_back(ElementRef{tree_, node});
        return;
    }
    if (tree_->nodes[node].tag == section_tag_id_) finished.push_back(ElementRef{tree_, node});
    if (open_.empty()) {
        // The outermost kept element is complete; what follows belongs to the next one.
        if (watcher) watcher->completed(*tree_);
        last_nodes_ = tree_->nodes.size();
        last_chars_ = tree_->chars.size();
        last_tags_ = tree_->tags.size();
        tree_.reset();
        text_node_ = kNone;
    }
}

// The builder touches no Python object; the one thing another thread could be reading is the
// tree under construction, when a section inside another one has been handed out already.
bool TreeBuilder::runs_without_gil() const {
    if (!tree_) return true;
    long own = 1;
    for (size_t i = finished_head; i < finished.size(); ++i) own += finished[i].tree == tree_;
    return tree_.use_count() == own;
}

namespace {
bool all_spaces(const char *p, size_t length) {
    size_t i = 0;
    for (uint64_t word; i + 8 <= length; i += 8) {
        std::memcpy(&word, p + i, 8);
        if (word != 0x2020202020202020u) return false;
    }
    for (; i < length; ++i)
        if (p[i] != ' ') return false;
    return true;
}
}  // namespace

void TreeBuilder::text(const char *data, int length) {
    Span *s = target();
    if (!s) return;
    const auto n = (size_t) length;
    // Indentation, in one piece or (from expat) the line break first and then the spaces.
    if (s->is_none() && !blank_pending_) {
        if (data == kIndentChars ||
            (n <= Span::kMaxIndent && n && data[0] == '\n' && all_spaces(data + 1, n - 1))) {
            *s = Span{Span::kIndent, (uint32_t) n};
            return;
        }
    } else if (s->is_indent() && s->length + n <= Span::kMaxIndent && all_spaces(data, n)) {
        s->length += (uint32_t) n;
        return;
    }
    if (s->is_none()) {
        // Nothing written yet: a text that stays blank is held aside until it is complete,
        // so that a copy of one seen before costs no room in the arena.
        if (blank_length_ + (size_t) length <= kMaxSharedBlank && all_blank(data, (size_t) length)) {
            std::memcpy(blank_ + blank_length_, data, (size_t) length);
            blank_length_ += (uint32_t) length;
            blank_pending_ = true;
            return;
        }
        flush_blank(*s);
    }
    append_text(*s, data, (size_t) length);
}

}  // namespace quillon::xml
