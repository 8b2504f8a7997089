// Reading a section's checks ahead, while the walk scans it and without the interpreter's
// lock: the tags of our names, the result element of each check below each extreme, and the
// numbers of the texts that are plain decimals. What the checks then do under the lock is
// mostly making the Python objects, so that walks in several threads wait less for each other.
#pragma once

#include "check_paths.hpp"
#include "xml_tree.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace quillon::varenna::checks {

using xml::Tree;

// Our names in one tree: their tag ids, and the reverse.
struct TreeNames {
    uint32_t ids[NameCount];
    std::vector<uint8_t> name_of;  // tag id -> our name (NameCount: none)
    // Only strings in the tree (always so in a parsed one): looking through it runs no user
    // code and cannot fail, so the order of the lookups is free.
    bool pure = false;
    explicit TreeNames(const Tree &t);
};

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

struct ReadAhead final : WalkNote {
    TreeNames names;
    // The result elements of the checks below each extreme of the section, as
    // Reader::find_checks finds them.
    std::unordered_map<uint32_t, std::array<uint32_t, kChecks>> checks;
    std::vector<double> numbers;    // by node
    std::vector<uint64_t> numeric;  // a bit by node: numbers[node] is float() of its text

    ReadAhead(const Tree &t, Demand d) : WalkNote(std::move(d)), names(t) {}
    const ReadAhead *read_ahead() const override { return this; }
    bool number(uint32_t node, double &out) const {
        if (node >= numbers.size() || !(numeric[node >> 6] >> (node & 63) & 1)) return false;
        out = numbers[node];
        return true;
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
