// Reading a section's checks ahead, while the walk scans it and without the interpreter's
// lock: the tags of our names, the result element of each check below each extreme, what the
// checks' lookups find below those (as the check table declares them), and the numbers of the
// texts that are plain decimals. What the checks then do under the lock is mostly making the
// Python objects, so that walks in several threads wait less for each other. Each reader
// checks that what it is given was read from its tree as it is: any clear() of the tree drops
// it.
#pragma once

#include "check_search.hpp"
#include "xml_tree.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace quillon::varenna::checks {

// Set by the first reader of a section's checks: from then on the walk reads every section
// ahead.
using Demand = std::shared_ptr<std::atomic<bool>>;

struct ReadAhead;

// Left on each section tree of a walk, so that its reader can tell the walk that the checks
// are read; the tree's read-ahead, when there is one.
struct WalkNote : xml::TreeNotes {
    Demand demand;
    explicit WalkNote(Demand d) : demand(std::move(d)) {}
    virtual const ReadAhead *read_ahead() const { return nullptr; }
};

// Kept flat (a few arrays, sorted where they are searched): it is made in the scanning thread
// but freed with the section, under the interpreter's lock.
struct ReadAhead final : WalkNote {
    TreeNames names;
    // The result elements of the checks below each extreme of the section, as find_checks
    // finds them; by extreme.
    std::vector<std::pair<uint32_t, std::array<uint32_t, kCheckCount>>> checks;
    std::unique_ptr<double[]> numbers;  // by node, set where `numeric` says
    std::vector<uint64_t> numeric;      // a bit by node: numbers[node] is float() of its text
    size_t count = 0;                   // nodes
    // What the checks' lookups find: the first match of a `first` lookup below an element, and
    // every match of each of a check's `all` lookups below its result element (ranges of
    // `matched`, lookup `all.begin + i` from bounds[i] to bounds[i + 1]).
    // Both sorted by element, then by lookup or check.
    struct First {
        uint32_t context;
        Lookup lookup;
        uint32_t found;
        bool operator<(const First &o) const {
            return context != o.context ? context < o.context : lookup < o.lookup;
        }
    };
    struct All {
        uint32_t context;
        uint8_t check;
        uint32_t bounds[kMostAll + 1];
        bool operator<(const All &o) const { return context != o.context ? context < o.context : check < o.check; }
    };
    std::vector<First> firsts;
    std::vector<All> alls;
    std::vector<uint32_t> matched;

    ReadAhead(const Tree &t, Demand d) : WalkNote(std::move(d)), names(t) {}
    const ReadAhead *read_ahead() const override { return this; }
    bool number(uint32_t node, double &out) const {
        if (node >= count || !(numeric[node >> 6] >> (node & 63) & 1)) return false;
        out = numbers[node];
        return true;
    }
    const std::array<uint32_t, kCheckCount> *checks_of(uint32_t extreme) const {
        auto it = std::lower_bound(checks.begin(), checks.end(), extreme,
                                   [](const auto &c, uint32_t x) { return c.first < x; });
        return it != checks.end() && it->first == extreme ? &it->second : nullptr;
    }
    bool first(Lookup l, uint32_t context, uint32_t &found) const {
        auto it = std::lower_bound(firsts.begin(), firsts.end(), First{context, l, 0});
        if (it == firsts.end() || it->context != context || it->lookup != l) return false;
        found = it->found;
        return true;
    }
    const All *all(size_t check, uint32_t context) const {
        auto it = std::lower_bound(alls.begin(), alls.end(), All{context, (uint8_t) check, {}});
        return it != alls.end() && it->context == context && it->check == check ? &*it : nullptr;
    }
    std::span<const uint32_t> range(uint32_t begin, uint32_t end) const {
        return std::span<const uint32_t>(matched.data() + begin, end - begin);
    }
};

// What the walk read ahead of the tree, if anything; tells the walk that its checks are read.
inline const ReadAhead *read_ahead_of(const Tree &tree) {
    const auto *note = dynamic_cast<const WalkNote *>(tree.notes.get());
    if (!note) return nullptr;
    note->demand->store(true, std::memory_order_relaxed);
    return note->read_ahead();
}

// The read-ahead of a complete tree of strings whose node 0 is a section; null for any other.
std::unique_ptr<ReadAhead> read_ahead(const Tree &tree, Demand demand);

// The walk's watcher. It reads the first few sections ahead on trial, and every one once the
// checks of any section have been read; a walk whose sections nobody checks costs only the
// trial.
class SectionsReadAhead final : public xml::TreeBuilder::Watcher {
public:
    void completed(Tree &tree) override;

private:
    static constexpr size_t kTrial = 16;
    size_t tried_ = 0;
    Demand demand_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace quillon::varenna::checks
