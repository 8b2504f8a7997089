// The eight per-check extractions of a section: for each extreme, the check's result element
// read into a dictionary (None where there is none).
#pragma once

#include "xml_path.hpp"
#include "xml_tree.hpp"

#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

namespace quillon::varenna::checks {

namespace nb = nanobind;
using xml::ElementRef;

struct Reader;

// In the order of the SectionResult methods.
struct Operation {
    const char *name;
    nb::object (*entry)(Reader &, uint32_t);
};
inline constexpr size_t kOperationCount = 8;
extern const Operation kOperations[kOperationCount];

// The index of the extraction called `name`.
size_t operation(const char *name);
// The operation's name as an interned Python string.
PyObject *operation_key(size_t k);

// The Reader of the tree read last: the checks of one section share it, and with it the
// lookups of their tags and paths.
struct ReaderCache {
    std::unique_ptr<Reader> reader;
    Reader &of(const xml::Tree &tree);
    ReaderCache();
    ~ReaderCache();
};

// Extraction `k` over the extremes; `all_checks` when every extraction runs on them, so the
// result elements of all checks can be found in one walk.
nb::list run(size_t k, const std::vector<ElementRef> &extremes, ReaderCache &readers,
             bool all_checks);
nb::list run(size_t k, const std::vector<ElementRef> &extremes);

// The children of the section's ExtremeResults element.
std::vector<ElementRef> extremes_of_section(const xml::TreePtr &tree, uint32_t section);

// The per-check lists zipped into one dictionary per extreme.
nb::list combine(const std::vector<nb::list> &lists);

// dict[key] = value
void set(nb::handle d, PyObject *key, nb::handle value);

}  // namespace quillon::varenna::checks
