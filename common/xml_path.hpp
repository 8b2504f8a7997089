// The part of ElementTree's path language that result extraction uses: "." , child steps,
// "*", "//" descendant steps and the `[tag="text"]` / `[tag='text']` condition. Matches come
// in exactly the order (duplicates included) of ElementTree's chained selectors, which is
// not always document order: every step runs to completion for one input element before
// the previous step moves to its next one.
#pragma once

#include "xml_tree.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quillon::xml {

class Path {
public:
    // Throws std::invalid_argument for a path outside the subset.
    explicit Path(std::string_view text);

    uint32_t first(const Tree &tree, uint32_t context) const;
    std::vector<uint32_t> all(const Tree &tree, uint32_t context) const;

    struct Step {
        enum Kind { Self, Child, Descendant, Condition } kind;
        std::string tag;  // empty: "*"
        std::string value;
    };
    const std::vector<Step> &steps() const { return steps_; }

private:
    std::vector<Step> steps_;
};

// A path with its tags looked up in one tree, for running it on many elements of that tree
// without looking them up each time. The path must outlive it, and the tree must gain no tags
// meanwhile (a built tree never does).
class BoundPath {
public:
    BoundPath(const Path &path, const Tree &tree);

    uint32_t first(uint32_t context) const;
    std::vector<uint32_t> all(uint32_t context) const;

    struct Resolved {
        const Path::Step *step;
        uint32_t tag;  // kNone: "*" (or, with a name, absent from the tree: nothing matches)
        bool any;
    };

private:
    const Tree *tree_;
    std::vector<Resolved> steps_;
};

// "".join(element.itertext()) == value, without building the joined text.
bool complete_text_equals(const Tree &tree, uint32_t node, std::string_view value);

// Preorder successor of `node` inside the subtree of `root` (kNone at the end).
inline uint32_t next_in_subtree(const Tree &tree, uint32_t node, uint32_t root) {
    const Node *n = &tree.nodes[node];
    if (n->first_child != kNone) return n->first_child;
    while (node != root) {
        if (n->next_sibling != kNone) return n->next_sibling;
        node = n->parent;
        n = &tree.nodes[node];
    }
    return kNone;
}

}  // namespace quillon::xml
