// quillon.external.strand: runs a user script that drives the structural-analysis program.
#include "binder.hpp"

namespace nb = nanobind;
using namespace quillon::bind;

namespace quillon::strand {
void init_strand_analysis(nb::module_ &m);
}

QUILLON_MODULE(strand, m) {
    m.attr("__doc__") = "Runs scripts for the structural-analysis program on a worker.";
    quillon::strand::init_strand_analysis(m);
    nb::list all;
    all.append(nb::str("StrandAnalysis"));
    m.attr("__all__") = all;
}
