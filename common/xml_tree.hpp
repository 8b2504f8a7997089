// A compact element tree: nodes are small plain structs in one vector, tags are interned per
// tree, texts live in one character arena (UTF-8). No Python object per element.
//
// The content model is the standard ElementTree's: an element has a tag, attributes, a text
// (character data after its start tag, up to its first child) and a tail (character data after
// its end tag, up to the next tag), each text None when no character data was there. Pieces of
// character data split by comments or processing instructions are joined, as the standard
// tree builder joins them.
#pragma once

#include "xml_tokenizer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillon::xml {

constexpr uint32_t kNone = 0xFFFFFFFFu;

// A text: characters in the arena, None, or a Python object that is not a string (only in
// trees copied from ElementTree elements, where user code may have put anything).
struct Span {
    static constexpr uint32_t kForeign = 0xFFFFFFFEu;
    // A line break and then spaces: the indentation between the tags of a written document,
    // about half of all its texts. Kept out of the arena, in `kIndentChars`.
    static constexpr uint32_t kIndent = 0xFFFFFFFDu;
    static constexpr uint32_t kMaxIndent = xml::kMaxIndent;
    uint32_t offset = kNone;
    uint32_t length = 0;  // the index into `foreign` for a foreign text
    bool is_none() const { return offset == kNone; }
    bool is_foreign() const { return offset == kForeign; }
    bool is_indent() const { return offset == kIndent; }
};

struct Node {
    uint32_t tag = kNone;  // index into Tree::tags
    uint32_t parent = kNone;
    uint32_t first_child = kNone;
    uint32_t next_sibling = kNone;
    Span text;
    Span tail;
    uint32_t first_attribute = 0;
    uint32_t attribute_count = 0;
};

// A name as expat reports it ("uri}local") as the standard parser shows it ("{uri}local").
std::string shown_name(std::string_view raw);

struct Attribute {
    Span name;  // expat's form ("uri}local"); shown as "{uri}local"
    Span value;
};

struct Tag {
    std::string name;      // as ElementTree shows it ("{uri}local" for a namespaced name)
    nb::object foreign;    // set for a tag that is not a string (copied from ElementTree)
    bool is_foreign() const { return foreign.is_valid(); }
};

// What a reader of a tree worked out about it ahead of reading it (while the tree was built,
// without the interpreter's lock). It describes the nodes as they were then, so any clear()
// drops it. Native data only: it may be dropped anywhere.
struct TreeNotes {
    virtual ~TreeNotes() = default;
};

class Tree {
public:
    std::vector<Node> nodes;
    std::vector<Attribute> attributes;
    CharArena chars;
    std::vector<Tag> tags;
    std::vector<nb::object> foreign;  // non-string texts
    uint32_t readers = 0;                   // see ReadLock
    std::vector<uint32_t> deferred_clears;
    // Nodes are added in document order, so the subtree of a node is the run of nodes from it
    // up to subtree_end(). A clear() leaves the node's former descendants in that run, unlinked:
    // from then on only the links tell what is below a node.
    bool runs_are_subtrees = true;
    // Set once, when the tree is complete; read only under a ReadLock, which defers the clear()
    // that would drop it.
    std::unique_ptr<const TreeNotes> notes;

    std::string_view view(Span s) const {
        if (s.offset < Span::kIndent) return std::string_view(chars.data() + s.offset, s.length);
        return s.is_indent() ? std::string_view(kIndentChars, s.length) : std::string_view();
    }

    // The tag id of a name as ElementTree shows it, kNone when the tree knows no such tag. It
    // may know tags no element of it has: the sections of a walk start with the names of the
    // sections before them.
    uint32_t find_tag(std::string_view name) const;
    // Interning: by expat's raw name while parsing, by the shown name when copying.
    uint32_t intern_raw(std::string_view raw);
    uint32_t intern_shown(std::string_view shown);
    uint32_t intern_foreign(nb::handle tag);
    void reserve_tags(size_t count);
    // An empty tree's tags made those of `from` (strings only), under the same ids; false, and
    // nothing done, when `from` has any other.
    bool copy_tag_names(const Tree &from);

    // First direct child with the tag, kNone when there is none.
    uint32_t child(uint32_t node, uint32_t tag) const {
        if (tag == kNone) return kNone;
        for (uint32_t c = nodes[node].first_child; c != kNone; c = nodes[c].next_sibling)
            if (nodes[c].tag == tag) return c;
        return kNone;
    }
    bool has_children(uint32_t node) const { return nodes[node].first_child != kNone; }
    // The first node after the subtree of `node` (see runs_are_subtrees).
    uint32_t subtree_end(uint32_t node) const {
        for (uint32_t n = node; n != kNone; n = nodes[n].parent)
            if (nodes[n].next_sibling != kNone) return nodes[n].next_sibling;
        return (uint32_t) nodes.size();
    }

    // Python values of texts: str, None, or the foreign object.
    nb::object text_object(Span s) const;
    nb::object tag_object(uint32_t node) const;

    // Element.clear(): no children, attributes, text or tail. Clearing the root of the tree
    // also gives back the memory of everything below it.
    void clear(uint32_t node);

    uint32_t add_node(uint32_t tag, uint32_t parent, uint32_t previous_sibling) {
        if (nodes.size() >= kNone - 1) throw std::bad_alloc();
        const auto id = (uint32_t) nodes.size();
        Node &n = nodes.emplace_back();
        n.tag = tag;
        n.parent = parent;
        if (previous_sibling != kNone) nodes[previous_sibling].next_sibling = id;
        else if (parent != kNone) nodes[parent].first_child = id;
        return id;
    }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> raw_ids_;
    // The ids of the tags that are strings, by name: open addressing into `tags`, at most half
    // full. No allocation per name, and copied in one move into the next section of a walk.
    std::vector<uint32_t> tag_slots_;
    size_t named_tags_ = 0;
    void place_tag(uint32_t id);
};

using TreePtr = std::shared_ptr<Tree>;

// Held by native code that reads a tree across calls into Python (building elements,
// allocating results: the collector may run a finaliser then). An Element.clear() that such
// code asks for meanwhile (resuming a walk, say) is applied when the last reader is done, so
// nothing is freed under the reader; the reader sees the element as it was.
struct ReadLock {
    Tree &tree;
    explicit ReadLock(const Tree &t) : tree(const_cast<Tree &>(t)) { ++tree.readers; }
    ~ReadLock() {
        if (--tree.readers == 0 && !tree.deferred_clears.empty()) {
            std::vector<uint32_t> nodes = std::move(tree.deferred_clears);
            tree.deferred_clears.clear();
            for (uint32_t node : nodes) tree.clear(node);
        }
    }
    ReadLock(const ReadLock &) = delete;
    ReadLock &operator=(const ReadLock &) = delete;
};

// Element.clear(), or, while the tree is read, once it no longer is.
inline void clear_when_unread(Tree &tree, uint32_t node) {
    if (tree.readers) tree.deferred_clears.push_back(node);
    else tree.clear(node);
}

// A finished element that the builder reports: the tree it lives in and its node.
struct ElementRef {
    TreePtr tree;
    uint32_t node = kNone;
};

// Builds trees from tokens. With a section tag, only elements with that tag (at any depth)
// and their content are kept, each outermost one in a tree of its own (its node 0); every
// finished element with the tag is queued in `finished`. Without, the whole document is one
// tree and `finished` gets its root.
class TreeBuilder : public TokenSink {
public:
    // Told of each tree of sections once it is complete (the outermost section ended), before
    // the tree is handed out: in the scanning thread, without the interpreter's lock when the
    // builder runs without it. It must touch no Python object.
    struct Watcher {
        virtual void completed(Tree &tree) = 0;
        virtual ~Watcher() = default;
    };
    Watcher *watcher = nullptr;

    explicit TreeBuilder(std::string section_tag = {});
    // For a whole document of `bytes` bytes: room reserved up front (pages untouched until
    // used) saves the copies, and the doubled peak, of growing the arrays.
    void expect_document_size(size_t bytes);

    using TokenSink::start;
    void start(const char *name, const char **attributes, uint32_t name_id) override;
    void end() override;
    void leaf(const char *name, uint32_t name_id, size_t text_at) override;
    bool runs_without_gil() const override;

    std::vector<ElementRef> finished;  // consumed by the caller from `finished_head`
    size_t finished_head = 0;
    bool has_finished() const { return finished_head < finished.size(); }
    ElementRef pop_finished();

private:
    void append_text(Span &s, const char *data, size_t length);
    void settle_text() {
        if (indent || chars->size() != text_from) settle_pending_text();
    }
    void settle_pending_text();
    void settle_blank(Span &s);
    void share_blank(Span &s);
    uint32_t tag_of(const char *name, uint32_t name_id, uint32_t &raw);
    uint32_t add_child(const char *name, uint32_t name_id, uint32_t &raw);
    void ended_kept(uint32_t node);
    void leaf_in_steps(const char *name, uint32_t name_id, size_t text_at);
    uint32_t lookup_raw(const char *name);
    void begin_tree();

    std::string section_tag_;
    bool whole_document_;
    TreePtr tree_;
    uint32_t section_tag_id_ = kNone;
    struct Open {
        uint32_t node;
        uint32_t last_child;  // kNone: none yet
        uint32_t raw;         // raw tag (kNone: not kept)
    };
    std::vector<Open> open_;            // open elements, innermost last
    uint32_t text_node_ = kNone;        // where character data goes now
    bool text_is_tail_ = false;
    size_t last_nodes_ = 0;             // size of the last finished section
    size_t last_chars_ = 0;
    size_t last_tags_ = 0;
    // The last finished section's tree, until the next one starts with its names. Read only
    // here, where nothing but reading its names happens to it meanwhile (a consumer may clear
    // it, which leaves the names).
    std::shared_ptr<const Tree> last_tree_;
    CharArena dropped_;                 // character data outside the kept elements, until dropped

    // Names the tokenizer numbered (see TokenSink::start): the tag id in tree_ of each number,
    // kNone while no element of the tree had it (`ids_seen_` of them used). No name is looked
    // at twice.
    std::unique_ptr<uint32_t[]> tag_of_id_;
    uint32_t ids_seen_ = 0;

    // Tag names as expat hands them out, kept for the whole parse (up to a number that keeps
    // a walk's memory flat whatever the document's names). Documents repeat the same sequence
    // of tags over and over: remembering which name followed an element's start, and which
    // followed its end, the last time lets one string comparison stand in for hashing the
    // name on almost every start tag. Names past the limit are interned the slow way.
    static constexpr size_t kMaxRawTags = 4096;
    struct RawTag {
        std::string raw;
        uint32_t after_start = kNone;  // raw tag of the first child seen last time
        uint32_t after_end = kNone;    // raw tag of the next sibling seen last time
    };
    std::vector<RawTag> raw_tags_;
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> raw_tag_ids_;
    uint32_t previous_raw_ = kNone;         // raw tag of the last start or end event
    bool previous_was_start_ = false;
    std::vector<uint32_t> tree_tag_;        // raw tag -> tag id in tree_ (kNone: not there yet)

    // Texts made only of blanks repeat endlessly in indented documents; one copy each, found
    // by length (an indented document has about one blank text per length): a text found
    // there is taken back out of the arena as soon as it is complete.
    static constexpr uint32_t kMaxSharedBlank = 64;
    static constexpr size_t kBlanksPerLength = 8;
    std::vector<Span> blank_texts_[kMaxSharedBlank + 1];
};

}  // namespace quillon::xml
