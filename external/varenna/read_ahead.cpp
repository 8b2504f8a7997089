#include "read_ahead.hpp"

#include "check_reader.hpp"
#include "xml_text.hpp"

#include <algorithm>
#include <initializer_list>
#include <new>

namespace quillon::varenna::checks {

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

}  // namespace

TreeNames::TreeNames(const Tree &t) {
    for (unsigned i = 0; i < NameCount; ++i) ids[i] = t.find_tag(kNames[i]);
    name_of.assign(t.tags.size(), NameCount);
    for (unsigned i = 0; i < NameCount; ++i)
        if (ids[i] != kNone) name_of[ids[i]] = (uint8_t) i;
    pure = xml::only_strings(t);
}

std::unique_ptr<ReadAhead> read_ahead(const Tree &t, Demand demand) {
    if (t.nodes.empty() || !xml::only_strings(t)) return nullptr;
    auto ahead = std::make_unique<ReadAhead>(t, std::move(demand));
    const size_t count = t.nodes.size();
    ahead->numbers.resize(count);
    ahead->numeric.assign((count + 63) / 64, 0);
    const char *readable = t.chars.data() + t.chars.size();
    const std::vector<uint8_t> &name_of = ahead->names.name_of;
    for (size_t i = 0; i < count; ++i) {
        const xml::Node &node = t.nodes[i];
        if (!(kNumberNames >> name_of[node.tag] & 1)) continue;
        const Span s = node.text;
        // None, a foreign text and indentation all sit at the top of the offsets.
        if (s.offset >= Span::kIndent || s.length == 0) continue;
        double v;
        if (!plain_float(t.view(s), v, readable)) continue;
        ahead->numbers[i] = v;
        ahead->numeric[i >> 6] |= uint64_t(1) << (i & 63);
    }
    const uint32_t extremes = t.child(0, ahead->names.ids[ExtremeResults]);
    if (extremes == kNone) return ahead;
    std::vector<BoundPath> tails;
    tails.reserve(kChecks);
    for (size_t k = 0; k < kChecks; ++k) tails.emplace_back(paths().check_tails[k], t);
    for (uint32_t x = t.nodes[extremes].first_child; x != kNone; x = t.nodes[x].next_sibling)
        ahead->checks.emplace(x, find_checks(t, ahead->names.ids[ResultType], x,
                                             [&](size_t k) -> const BoundPath & { return tails[k]; }));
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
