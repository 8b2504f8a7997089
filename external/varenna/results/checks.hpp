// Reading the checks of a section: for each extreme, the check's result element read into a
// dictionary by the check's read function (None where there is none), and the lists of all
// checks zipped into extremes()' dictionaries. The checks themselves are the rows of
// check_table.hpp.
#pragma once

#include "check_table.hpp"
#include "xml_tree.hpp"

#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

namespace quillon::varenna::checks {

namespace nb = nanobind;
using xml::ElementRef;

// The Reader of the tree read last: the checks of one section share it, and with it the
// lookups of their tags and paths.
struct ReaderCache {
    std::unique_ptr<Reader> reader;
    Reader &of(const xml::Tree &tree);
    ReaderCache();
    ~ReaderCache();
};

// Check `k` over the extremes; `all_checks` when every check runs on them, so the result
// elements of all checks can be found in one walk.
nb::list run(size_t k, const std::vector<ElementRef> &extremes, ReaderCache &readers,
             bool all_checks);
nb::list run(size_t k, const std::vector<ElementRef> &extremes);

// The children of the section's ExtremeResults element.
std::vector<ElementRef> extremes_of_section(const xml::TreePtr &tree, uint32_t section);

// The lists of all checks, in the table's order, zipped into one dictionary per extreme.
nb::list combine(const std::vector<nb::list> &lists);

// dict[key] = value
void set(nb::handle d, nb::handle key, nb::handle value);

}  // namespace quillon::varenna::checks
