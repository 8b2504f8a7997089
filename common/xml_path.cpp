#include "xml_path.hpp"
#include "xml_text.hpp"

#include <array>
#include <stdexcept>

namespace quillon::xml {

namespace {

bool name_char(char c) {
    return c != '/' && c != '[' && c != ']' && c != '(' && c != ')' && c != '@' && c != '!' &&
           c != '=' && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\'' && c != '"';
}

using Resolved = BoundPath::Resolved;

struct Evaluator {
    const Tree &tree;
    const std::vector<Resolved> &steps;
    std::vector<uint32_t> *out;  // null: stop at the first match
    uint32_t found = kNone;

    // Runs steps[i..] on one input element; true means "stop".
    bool run(size_t i, uint32_t elem) {
        if (i == steps.size()) {
            found = elem;
            if (!out) return true;
            out->push_back(elem);
            return false;
        }
        const Resolved &r = steps[i];
        switch (r.step->kind) {
            case Path::Step::Self:
                return run(i + 1, elem);
            case Path::Step::Child:
                if (!r.any && r.tag == kNone) return false;
                for (uint32_t c = tree.nodes[elem].first_child; c != kNone; c = tree.nodes[c].next_sibling)
                    if ((r.any || tree.nodes[c].tag == r.tag) && run(i + 1, c)) return true;
                return false;
            case Path::Step::Descendant:
                if (!r.any && r.tag == kNone) return false;
                for (uint32_t d = next_in_subtree(tree, elem, elem); d != kNone;
                     d = next_in_subtree(tree, d, elem))
                    if ((r.any || tree.nodes[d].tag == r.tag) && run(i + 1, d)) return true;
                return false;
            case Path::Step::Condition:
                if (r.tag == kNone) return false;
                for (uint32_t c = tree.nodes[elem].first_child; c != kNone; c = tree.nodes[c].next_sibling)
                    if (tree.nodes[c].tag == r.tag && complete_text_equals(tree, c, r.step->value))
                        return run(i + 1, elem);
                return false;
        }
        return false;
    }
};

}  // namespace

Path::Path(std::string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    if (n == 0 || text[0] == '/') throw std::invalid_argument("unsupported path");
    bool descendant = false;
    bool expect_step = true;
    while (i < n) {
        if (expect_step) {
            if (text[i] == '.' && (i + 1 == n || text[i + 1] == '/')) {
                if (descendant) throw std::invalid_argument("unsupported path");
                steps_.push_back(Step{Step::Self, {}, {}});
                ++i;
            } else {
                size_t j = i;
                if (text[i] == '*') ++j;
                else
                    while (j < n && name_char(text[j])) ++j;
                if (j == i) throw std::invalid_argument("unsupported path");
                std::string tag = text[i] == '*' ? std::string() : std::string(text.substr(i, j - i));
                steps_.push_back(Step{descendant ? Step::Descendant : Step::Child, tag, {}});
                i = j;
                // Conditions: [tag="text"] or [tag='text'].
                while (i < n && text[i] == '[') {
                    size_t k = i + 1;
                    while (k < n && name_char(text[k])) ++k;
                    if (k == i + 1 || k + 1 >= n || text[k] != '=') throw std::invalid_argument("unsupported path");
                    std::string cond_tag(text.substr(i + 1, k - i - 1));
                    const char quote = text[k + 1];
                    if (quote != '"' && quote != '\'') throw std::invalid_argument("unsupported path");
                    const size_t close = text.find(quote, k + 2);
                    if (close == std::string_view::npos || close + 1 >= n || text[close + 1] != ']')
                        throw std::invalid_argument("unsupported path");
                    steps_.push_back(Step{Step::Condition, cond_tag,
                                          std::string(text.substr(k + 2, close - k - 2))});
                    i = close + 2;
                }
            }
            descendant = false;
            expect_step = false;
        } else {
            if (text[i] != '/') throw std::invalid_argument("unsupported path");
            if (i + 1 < n && text[i + 1] == '/') {
                descendant = true;
                i += 2;
            } else {
                ++i;
            }
            expect_step = true;
        }
    }
    if (expect_step) throw std::invalid_argument("unsupported path");
}

uint32_t Path::first(const Tree &tree, uint32_t context) const { return BoundPath(*this, tree).first(context); }

std::vector<uint32_t> Path::all(const Tree &tree, uint32_t context) const {
    return BoundPath(*this, tree).all(context);
}

BoundPath::BoundPath(const Path &path, const Tree &tree) : tree_(&tree) {
    steps_.reserve(path.steps().size());
    for (const Path::Step &s : path.steps())
        steps_.push_back(Resolved{&s, s.tag.empty() ? kNone : tree.find_tag(s.tag), s.tag.empty()});
}

uint32_t BoundPath::first(uint32_t context) const {
    Evaluator e{*tree_, steps_, nullptr};
    return e.run(0, context) ? e.found : kNone;
}

std::vector<uint32_t> BoundPath::all(uint32_t context) const {
    std::vector<uint32_t> out;
    Evaluator e{*tree_, steps_, &out};
    e.run(0, context);
    return out;
}

bool complete_text_equals(const Tree &tree, uint32_t node, std::string_view value) {
    size_t pos = 0;
    size_t pieces = 0;
    auto piece = [&](Span s) -> bool {
        const Text text = text_of(tree, s);
        if (text.is_none()) return true;
        if (text.is_object()) {
            nb::handle obj = text.object;
            const int truthy = PyObject_IsTrue(obj.ptr());
            if (truthy < 0) throw nb::python_error();
            if (!truthy) return true;
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         (Py_ssize_t) pieces, Py_TYPE(obj.ptr())->tp_name);
            throw nb::python_error();
        }
        if (text.chars.empty()) return true;
        ++pieces;
        std::string_view v = text.chars;
        if (value.size() - pos < v.size() || value.compare(pos, v.size(), v) != 0) return false;
        pos += v.size();
        return true;
    };
    // Preorder: an element's text on entry, each child's tail after that child's subtree.
    if (!piece(tree.nodes[node].text)) return false;
    uint32_t cur = tree.nodes[node].first_child;
    while (cur != kNone) {
        if (!piece(tree.nodes[cur].text)) return false;
        if (tree.nodes[cur].first_child != kNone) {
            cur = tree.nodes[cur].first_child;
            continue;
        }
        // Leave `cur` and every ancestor whose last child it was.
        while (true) {
            if (!piece(tree.nodes[cur].tail)) return false;
            if (tree.nodes[cur].next_sibling != kNone) {
                cur = tree.nodes[cur].next_sibling;
                break;
            }
            cur = tree.nodes[cur].parent;
            if (cur == node) {
                cur = kNone;
                break;
            }
        }
    }
    return pos == value.size();
}

}  // namespace quillon::xml
