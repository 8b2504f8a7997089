#include "xml_tree.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace quillon::xml {

uint32_t Tree::find_tag(std::string_view name) const {
    if (tag_slots_.empty()) return kNone;
    const size_t mask = tag_slots_.size() - 1;
    for (size_t i = Hash()(name) & mask;; i = (i + 1) & mask) {
        const uint32_t id = tag_slots_[i];
        if (id == kNone) return kNone;
        if (tags[id].name == name) return id;
    }
}

void Tree::place_tag(uint32_t id) {
    const size_t mask = tag_slots_.size() - 1;
    size_t i = Hash()(tags[id].name) & mask;
    while (tag_slots_[i] != kNone) i = (i + 1) & mask;
    tag_slots_[i] = id;
}

uint32_t Tree::intern_shown(std::string_view shown) {
    const uint32_t found = find_tag(shown);
    if (found != kNone) return found;
    const auto id = (uint32_t) tags.size();
    tags.push_back(Tag{std::string(shown), {}});
    if ((named_tags_ + 1) * 2 > tag_slots_.size()) reserve_tags(named_tags_ + 1);
    place_tag(id);
    ++named_tags_;
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

bool Tree::copy_tag_names(const Tree &from) {
    if (!tags.empty()) return false;
    for (const Tag &t : from.tags) {
        if (t.is_foreign()) {
            tags.clear();
            return false;
        }
        tags.push_back(Tag{t.name, {}});
    }
    tag_slots_ = from.tag_slots_;
    named_tags_ = from.named_tags_;
    raw_ids_ = from.raw_ids_;
    return true;
}

void Tree::reserve_tags(size_t count) {
    tags.reserve(count);
    if (count * 2 <= tag_slots_.size()) return;
    size_t slots = 16;
    while (slots < count * 2) slots *= 2;
    tag_slots_.assign(slots, kNone);
    for (uint32_t id = 0; id < tags.size(); ++id)
        if (!tags[id].is_foreign()) place_tag(id);
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
    runs_are_subtrees = false;
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
    : section_tag_(std::move(section_tag)), whole_document_(section_tag_.empty()) {
    chars = &dropped_;
}

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

void TreeBuilder::append_text(Span &s, const char *data, size_t length) {
    CharArena &arena = tree_->chars;
    if (arena.size() + length + Span::kMaxIndent >= Span::kIndent) throw std::bad_alloc();
    s.offset = (uint32_t) arena.size();
    s.length = (uint32_t) length;
    arena.append(data, length);
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

// The character data since the last event becomes the text or tail it belongs to, where it
// lies in the arena; an indentation and a blank text seen before leave the arena again.
void TreeBuilder::settle_pending_text() {
    CharArena &arena = *chars;
    const size_t from = text_from;
    if (text_node_ == kNone) {
        arena.set_size(from);
        indent = 0;
        return;
    }
    Node &node = tree_->nodes[text_node_];
    Span &s = text_is_tail_ ? node.tail : node.text;
    if (indent) {  // counted by the tokenizer, nothing written
        s = Span{Span::kIndent, indent};
        indent = 0;
        return;
    }
    if (arena.size() + Span::kMaxIndent >= Span::kIndent) throw std::bad_alloc();
    s = Span{(uint32_t) from, (uint32_t) (arena.size() - from)};
    if ((unsigned char) arena.data()[from] <= ' ') settle_blank(s);
}

void TreeBuilder::settle_blank(Span &s) {
    CharArena &arena = tree_->chars;
    const char *p = arena.data() + s.offset;
    const size_t n = s.length;
    if (n <= Span::kMaxIndent && p[0] == '\n' && all_spaces(p + 1, n - 1)) {
        arena.set_size(s.offset);
        s = Span{Span::kIndent, (uint32_t) n};
    } else if (n <= kMaxSharedBlank && all_blank(p, n)) {
        share_blank(s);
    }
}

void TreeBuilder::share_blank(Span &s) {
    CharArena &arena = tree_->chars;
    std::vector<Span> &same_length = blank_texts_[s.length];
    for (const Span &known : same_length) {
        if (std::memcmp(arena.data() + known.offset, arena.data() + s.offset, s.length) == 0) {
            arena.set_size(s.offset);
            s = known;
            return;
        }
    }
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

// The tag id in tree_ of the element starting now, the first time its number is seen in the
// tree or when it has none (then its raw tag in `raw`, and the guesses updated).
uint32_t TreeBuilder::tag_of(const char *name, uint32_t name_id, uint32_t &raw) {
    raw = kNone;
    if (name_id < kMaxNameIds) {
        if (name_id >= ids_seen_) {
            if (!tag_of_id_) tag_of_id_.reset(new uint32_t[kMaxNameIds]);
            std::fill(tag_of_id_.get() + ids_seen_, tag_of_id_.get() + name_id + 1, kNone);
            ids_seen_ = name_id + 1;
        }
        uint32_t &in_tree = tag_of_id_[name_id];
        if (in_tree == kNone) in_tree = tree_->intern_raw(name);
        return in_tree;
    }
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

// A new section (or the document, unless made ready beforehand).
void TreeBuilder::begin_tree() {
    tree_ = std::make_shared<Tree>();
    // Sections tend to be alike: room for one like the last saves growing the arrays, and its
    // names, under the same ids, save interning them again.
    tree_->nodes.reserve(last_nodes_);
    tree_->chars.reserve(last_chars_);
    for (std::vector<Span> &v : blank_texts_) v.clear();
    if (last_tree_ && tree_->copy_tag_names(*last_tree_)) {
        last_tree_.reset();
        return;
    }
    last_tree_.reset();
    tree_->reserve_tags(last_tags_);
    std::fill(tree_tag_.begin(), tree_tag_.end(), kNone);
    std::fill(tag_of_id_.get(), tag_of_id_.get() + ids_seen_, kNone);
    ids_seen_ = 0;
    if (!whole_document_) section_tag_id_ = tree_->intern_raw(section_tag_);
}

// A node for the element starting now, the last child of the innermost open one.
inline uint32_t TreeBuilder::add_child(const char *name, uint32_t name_id, uint32_t &raw) {
    raw = kNone;
    uint32_t tag;
    if (name_id >= ids_seen_ || (tag = tag_of_id_[name_id]) == kNone) [[unlikely]]
        tag = tag_of(name, name_id, raw);
    std::vector<Node> &nodes = tree_->nodes;
    const auto id = (uint32_t) nodes.size();
    if (id >= kNone - 1) throw std::bad_alloc();
    Node &n = nodes.emplace_back();
    n.tag = tag;
    if (!open_.empty()) {
        Open &parent = open_.back();
        n.parent = parent.node;
        (parent.last_child != kNone ? nodes[parent.last_child].next_sibling : nodes[parent.node].first_child) = id;
        parent.last_child = id;
    }
    return id;
}

void TreeBuilder::start(const char *name, const char **attributes, uint32_t name_id) {
    settle_text();
    if (open_.empty()) {
        if (!whole_document_ && std::strcmp(name, section_tag_.c_str()) != 0) {
            text_node_ = kNone;  // character data outside the kept elements is dropped
            previous_raw_ = kNone;
            text_from = chars->size();
            return;
        }
        if (!tree_) begin_tree();
        chars = &tree_->chars;
    }
    uint32_t raw;
    const uint32_t node = add_child(name, name_id, raw);
    if (attributes[0]) {
        Tree &t = *tree_;
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
    text_from = chars->size();
}

void TreeBuilder::end() {
    settle_text();
    if (open_.empty()) {
        text_node_ = kNone;
        text_from = chars->size();
        return;
    }
    const Open o = open_.back();
    open_.pop_back();
    previous_raw_ = o.raw;
    previous_was_start_ = false;
    text_node_ = o.node;
    text_is_tail_ = true;
    // In a walk, section_tag_id_ is the section's tag; for a whole document, the root ends.
    if (open_.empty() || tree_->nodes[o.node].tag == section_tag_id_) ended_kept(o.node);
    text_from = chars->size();
}

void TreeBuilder::ended_kept(uint32_t node) {
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
        last_tree_ = std::move(tree_);
        text_node_ = kNone;
        chars = &dropped_;
    }
}

void TreeBuilder::leaf(const char *name, uint32_t name_id, size_t text_at) {
    if (open_.empty() || text_at != text_from) [[unlikely]] {
        leaf_in_steps(name, name_id, text_at);
        return;
    }
    // Read into locals first: the stores into the nodes could otherwise be any of these.
    const uint32_t before = text_node_;
    const bool before_is_tail = text_is_tail_;
    const uint32_t indentation = indent;
    CharArena &arena = *chars;
    const size_t size = arena.size();
    uint32_t raw = kNone;
    uint32_t tag;
    if (name_id >= ids_seen_ || (tag = tag_of_id_[name_id]) == kNone) [[unlikely]]
        tag = tag_of(name, name_id, raw);
    Open &parent = open_.back();
    std::vector<Node> &nodes = tree_->nodes;
    const auto node = (uint32_t) nodes.size();
    if (node >= kNone - 1) throw std::bad_alloc();
    Span text;
    if (size != text_at) {
        if (size + Span::kMaxIndent >= Span::kIndent) throw std::bad_alloc();
        text = Span{(uint32_t) text_at, (uint32_t) (size - text_at)};
    }
    nodes.push_back(Node{tag, parent.node, kNone, kNone, text, Span{}, 0, 0});
    Node *n = nodes.data();
    (parent.last_child != kNone ? n[parent.last_child].next_sibling : n[parent.node].first_child) = node;
    parent.last_child = node;
    if (indentation) {
        (before_is_tail ? n[before].tail : n[before].text) = Span{Span::kIndent, indentation};
        indent = 0;
    }
    if (size != text_at && (unsigned char) arena.data()[text_at] <= ' ') [[unlikely]]
        settle_blank(n[node].text);
    previous_raw_ = raw;
    previous_was_start_ = false;
    text_node_ = node;
    text_is_tail_ = true;
    text_from = arena.size();
    if (tag == section_tag_id_) [[unlikely]] ended_kept(node);
}

// Outside the kept elements, or with written character data before it: in steps, its own text
// held aside meanwhile.
void TreeBuilder::leaf_in_steps(const char *name, uint32_t name_id, size_t text_at) {
    const std::string own(chars->data() + text_at, chars->size() - text_at);
    static const char *const kNoAttributes[] = {nullptr};
    chars->set_size(text_at);
    start(name, const_cast<const char **>(kNoAttributes), name_id);
    chars->append(own.data(), own.size());
    end();
}

// The builder touches no Python object; the one thing another thread could be reading is the
// tree under construction, when a section inside another one has been handed out already.
bool TreeBuilder::runs_without_gil() const {
    if (!tree_) return true;
    long own = 1;
    for (size_t i = finished_head; i < finished.size(); ++i) own += finished[i].tree == tree_;
    return tree_.use_count() == own;
}

}  // namespace quillon::xml
