#include "read_ahead.hpp"

#include "check_reader.hpp"
#include "xml_text.hpp"

#include <algorithm>
#include <initializer_list>
#include <new>

namespace quillon::varenna::checks {

TreeNames::TreeNames(const Tree &t) {
    for (unsigned i = 0; i < NameCount; ++i) ids[i] = t.find_tag(kNames[i]);
    name_of.assign(t.tags.size(), NameCount);
    for (unsigned i = 0; i < NameCount; ++i)
        if (ids[i] != kNone) name_of[ids[i]] = (uint8_t) i;
    pure = xml::only_strings(t);
}

namespace {

// The names whose texts the checks read as numbers.
constexpr uint64_t numbers_named(std::initializer_list<Name> names) {
    uint64_t bits = 0;
    for (Name n : names) bits |= uint64_t(1) << n;
    return bits;
}
constexpr uint64_t kNumberNames = numbers_named(
    {CheckValue, Ved, Vrd, Vrdc, Vrdmax, Vrdr, Vrds, Ted, Trdc, Trdmax, Trds, Trd, Ned, Medy, Medz,
     CheckValueShearAndTorsion, CheckValueShearTorsionAndBending, N, Qy, Qz, Mx, My, Mz, W, Wlim,
     CheckValueLongReinf, CheckValueShearReinf, Stress});
static_assert(NameCount <= 64);

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
    const Paths &p = paths();
    BoundPaths bind(t);
    auto first = [&](const Path &path, uint32_t context) {
        ahead->firsts.push_back(ReadAhead::First{context, &path, bind(path).first(context)});
    };
    auto add_matches = [&](const std::vector<uint32_t> &nodes) {
        ahead->matched.insert(ahead->matched.end(), nodes.begin(), nodes.end());
        return (uint32_t) ahead->matched.size();
    };
    StressSelections selections;
    std::vector<std::pair<uint32_t, uint32_t>> read;  // the subtrees of the result elements
    for (uint32_t x = t.nodes[extremes].first_child; x != kNone; x = t.nodes[x].next_sibling) {
        const std::array<uint32_t, kChecks> found = find_checks(
            t, ahead->names.ids[ResultType], x,
            [&](size_t k) -> const BoundPath & { return bind(p.check_tails[k]); });
        ahead->checks.emplace_back(x, found);
        for (uint32_t e : found)
            if (e != kNone) read.emplace_back(e, subtree_end(t, e));
        // The lookups the crack-width, stress-limitation and fatigue entries make.
        if (const uint32_t e = found[kCrackWidthCheck]; e != kNone) {
            first(p.crack_short, e);
            first(p.crack_long, e);
        }
        if (const uint32_t e = found[kStressLimitationCheck]; e != kNone) {
            select_stresses(t, ahead->names, e, selections);
            ReadAhead::Stress stress{e, {(uint32_t) ahead->matched.size()}};
            for (size_t i = 0; i < kStressSelections; ++i) stress.bounds[i + 1] = add_matches(selections[i]);
            ahead->stresses.push_back(stress);
        }
        if (const uint32_t e = found[kFatigueCheck]; e != kNone) {
            for (const Path *path : {&p.fatigue_max, &p.fatigue_min, &p.fatigue_value, &p.fatigue_method,
                                     &p.fatigue_result})
                first(*path, e);
            const std::vector<uint32_t> shears = bind(p.fatigue_shear).all(e);
            const auto begin = (uint32_t) ahead->matched.size();
            ahead->alls.push_back(ReadAhead::All{e, &p.fatigue_shear, begin, add_matches(shears)});
            for (uint32_t shear : shears)
                for (const Path &forces : p.any_depth_forces) first(forces, shear);
        }
    }
    // Searched by element: extremes come in document order, the others are sorted.
    auto by_key = [](const auto &a, const auto &b) {
        return a.context != b.context ? a.context < b.context : std::less<const Path *>()(a.path, b.path);
    };
    std::sort(ahead->firsts.begin(), ahead->firsts.end(), by_key);
    std::sort(ahead->alls.begin(), ahead->alls.end(), by_key);
    std::sort(ahead->stresses.begin(), ahead->stresses.end(),
              [](const auto &a, const auto &b) { return a.element < b.element; });
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
