#include "read_ahead.hpp"

#include <algorithm>
#include <new>

namespace quillon::varenna::checks {

namespace {

// The node after the subtree of `node`: nodes are numbered in document order, so a subtree is
// the range from its root up to there.
uint32_t subtree_end(const Tree &t, uint32_t node) {
    for (uint32_t n = node; n != kNone; n = t.nodes[n].parent)
        if (t.nodes[n].next_sibling != kNone) return t.nodes[n].next_sibling;
    return (uint32_t) t.nodes.size();
}

// The numbers of the texts in nodes [begin, end) that the checks read as numbers.
void read_numbers(const Tree &t, ReadAhead &ahead, uint32_t begin, uint32_t end) {
    const char *readable = t.chars.data() + t.chars.size();
    const std::vector<uint8_t> &name_of = ahead.names.name_of;
    for (uint32_t i = begin; i < end; ++i) {
        const xml::Node &node = t.nodes[i];
        if (!(kNumberNames >> name_of[node.tag] & 1)) continue;
        // The entries read numbers of the children of our elements (a result element, a force
        // group), not the internal forces the program writes beside them.
        if (node.parent == kNone || name_of[t.nodes[node.parent].tag] == NameCount) continue;
        const Span s = node.text;
        // None, a foreign text and indentation all sit at the top of the offsets.
        if (s.offset >= Span::kIndent || s.length == 0) continue;
        double v;
        if (!plain_float(t.view(s), v, readable)) continue;
        ahead.numbers[i] = v;
        ahead.numeric[i >> 6] |= uint64_t(1) << (i & 63);
    }
}

}  // namespace

std::unique_ptr<ReadAhead> read_ahead(const Tree &t, Demand demand) {
    if (t.nodes.empty() || !xml::only_strings(t)) return nullptr;
    auto ahead = std::make_unique<ReadAhead>(t, std::move(demand));
    const uint32_t extremes = t.child(0, ahead->names.ids[ExtremeResults]);
    if (extremes == kNone) return ahead;
    TreePaths bound(t);
    auto first = [&](Lookup l, uint32_t context) {
        ahead->firsts.push_back(ReadAhead::First{context, l, bound.lookup(l).first(context)});
    };
    std::vector<uint32_t> selected[kMostAll];
    std::vector<std::pair<uint32_t, uint32_t>> read;  // the subtrees of the result elements
    for (uint32_t x = t.nodes[extremes].first_child; x != kNone; x = t.nodes[x].next_sibling) {
        const std::array<uint32_t, kCheckCount> found =
            find_checks(t, ahead->names.ids[ResultType], x, bound);
        ahead->checks.emplace_back(x, found);
        // What each check's row says its read function looks up below its result element.
        for (size_t k = 0; k < kCheckCount; ++k) {
            const uint32_t e = found[k];
            if (e == kNone) continue;
            read.emplace_back(e, subtree_end(t, e));
            const CheckRow &c = kChecks[k];
            for (unsigned l = c.first.begin; l < c.first.end; ++l) first(Lookup(l), e);
            if (!c.all.size()) continue;
            if (c.select) c.select(t, ahead->names, e, selected);
            else
                for (unsigned l = c.all.begin; l < c.all.end; ++l)
                    selected[l - c.all.begin] = bound.lookup(Lookup(l)).all(e);
            ReadAhead::All all{e, (uint8_t) k, {(uint32_t) ahead->matched.size()}};
            for (size_t i = 0; i < c.all.size(); ++i) {
                ahead->matched.insert(ahead->matched.end(), selected[i].begin(), selected[i].end());
                all.bounds[i + 1] = (uint32_t) ahead->matched.size();
                for (uint32_t match : selected[i])
                    for (unsigned l = c.first_below_all.begin; l < c.first_below_all.end; ++l)
                        first(Lookup(l), match);
            }
            ahead->alls.push_back(all);
        }
    }
    // Searched by element: extremes come in document order, the others are sorted.
    std::sort(ahead->firsts.begin(), ahead->firsts.end());
    std::sort(ahead->alls.begin(), ahead->alls.end());
    // Every number the entries read is below a result element. The subtrees of some contain
    // others; each node is read once.
    const size_t count = t.nodes.size();
    ahead->numbers.reset(new double[count]);
    ahead->numeric.assign((count + 63) / 64, 0);
    ahead->count = count;
    std::sort(read.begin(), read.end());
    uint32_t done = 0;
    for (auto [begin, end] : read) {
        begin = std::max(begin, done);
        if (begin < end) read_numbers(t, *ahead, begin, end);
        done = std::max(done, end);
    }
    return ahead;
}

void SectionsReadAhead::completed(Tree &tree) {
    if (tree.notes) return;
    try {
        if (tried_ < kTrial || demand_->load(std::memory_order_relaxed)) {
            ++tried_;
            tree.notes = read_ahead(tree, demand_);
        }
        if (!tree.notes) tree.notes = std::make_unique<WalkNote>(demand_);
    } catch (const std::bad_alloc &) {
        // Reading ahead only saves time: without it the section is read as any other.
    }
}

}  // namespace quillon::varenna::checks
