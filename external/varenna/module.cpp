// quillon.external.varenna.varenna: input models, the analysis job and the result parsers of
// the reinforced-concrete section-check program. This file only assembles the module.
#include "binder.hpp"

namespace nb = nanobind;
using namespace quillon::bind;

namespace quillon::varenna {
// Each subsystem registers its classes on the module.
void init_model(nb::module_ &m);
void init_parsers(nb::module_ &m);
void init_analysis_job(nb::module_ &m);
// The private hooks of the differential tests and fuzzers (results/testing_hooks.cpp).
void init_testing_hooks(nb::module_ &m);
}  // namespace quillon::varenna

QUILLON_MODULE(varenna, m) {
    using namespace quillon::varenna;
    m.attr("__doc__") = "Input models, analysis job and result parsers of the section-check program.";
    // The host modules this module relies on; a missing one makes the import fail.
    nb::module_::import_("quillon.core");
    nb::module_::import_("quillon.errors");
    nb::module_::import_("quillon.external.external_program");
    nb::module_::import_("quillon.external.varenna.objects");
    // What the annotations of the methods name, as the module's imports.
    import_into(m, "typing", {"Any", "BinaryIO", "Dict", "Iterator", "List", "Optional",
                              "Sequence", "Tuple", "Union"});
    import_into(m, "io", {"BytesIO", "StringIO"});
    import_module_as(m, "xml.etree.ElementTree", "ET");
    import_into(m, "quillon.core", {"File"});
    import_into(m, "quillon.external.external_program", {"_JobContent"});
    // The vocabulary's names come in with the model (init_model).

    init_model(m);
    init_parsers(m);
    init_analysis_job(m);
    init_testing_hooks(m);

    static const char *const public_names[] = {
        "Beam", "CompressionMember", "GeneralShape", "VarennaAnalysis", "Model", "OneWaySlab",
        "OpenModel", "OutputFileParser", "RcsOutputFileParser", "RectSection",
        "SectionPrototype1D"};
    nb::list all;
    for (const char *name : public_names) all.append(nb::str(name));
    m.attr("__all__") = all;
}
