// quillon.external.excel: runs a spreadsheet workbook with macros on a worker.
#include "binder.hpp"

namespace nb = nanobind;
using namespace quillon::bind;

namespace quillon::excel {
void init_macro(nb::module_ &m);
void init_excel(nb::module_ &m);
}  // namespace quillon::excel

QUILLON_MODULE(excel, m) {
    using namespace quillon::excel;
    m.attr("__doc__") = "Runs spreadsheet workbooks with macros on a worker and reads back cells.";
    nb::module_::import_("quillon.core");
    nb::module_::import_("quillon.errors");
    nb::module_::import_("quillon.external.external_program");
    nb::module_::import_("quillon.external.spreadsheet");
    // What the annotations of the methods name, as the module's imports.
    import_into(m, "typing", {"Any", "List", "Optional", "Union"});
    import_into(m, "io", {"BytesIO"});
    import_into(m, "quillon.core", {"File"});
    import_into(m, "quillon.external.external_program", {"_JobContent"});
    import_into(m, "quillon.external.spreadsheet",
                {"DirectInputCell", "DirectOutputCell", "NamedInputCell", "NamedOutputCell"});
    init_macro(m);
    init_excel(m);
    nb::list all;
    for (const char *name : {"Excel", "Macro"}) all.append(nb::str(name));
    m.attr("__all__") = all;
}
