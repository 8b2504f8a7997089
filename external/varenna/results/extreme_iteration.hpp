// SectionResult._iter_extreme_results(): a generator over the extremes of a section.
#pragma once

#include <nanobind/nanobind.h>

namespace quillon::varenna {

namespace nb = nanobind;

// Registers the generator type (`_ExtremeIteration`) on the module.
void register_extreme_iteration(nb::module_ &m);
// A new generator over the extremes of `section` (a SectionResult).
nb::object new_extreme_iteration(nb::handle section);

}  // namespace quillon::varenna
