// Macro: names one workbook macro; the worker runs the macros in list order.
#include "binder.hpp"

namespace nb = nanobind;
using namespace quillon::bind;

namespace quillon::excel {

void init_macro(nb::module_ &m) {
    ClassBuilder cls(m, "Macro", {},
                     "A macro of the workbook, run by the worker after the input cells are "
                     "filled.");
    cls.method(
        "__init__", {arg("self"), arg("command").ann("str")},
        [](Self self, Arg<"command"> command) { self.attr("command") = command; },
        nullptr, nb::none());
    cls.method(
        "serialize", {arg("self")},
        [](Self self) {
            nb::dict d;
            d["name"] = self.attr("command");
            return nb::object(d);
        },
        nullptr, ann("dict"));
    cls.finish();
}

}  // namespace quillon::excel
