// What the differential tests and the fuzzers reach for, kept off the module's public face:
// one private namespace object, `_testing`, and the switch of the fast scanner.
#include "binder.hpp"
#include "xml_etree.hpp"
#include "xml_path.hpp"
#include "xml_tokenizer.hpp"

#include <nanobind/stl/optional.h>

#include <optional>

namespace quillon::varenna {

using namespace quillon::bind;
using xml::kNone;
using xml::Path;
using xml::TreePtr;

void init_testing_hooks(nb::module_ &m) {
    // Compares the fast scanner with expat alone.
    m.def("_xml_scanner", [](std::optional<bool> enabled) {
        const bool before = xml::scanner_enabled();
        if (enabled) xml::set_scanner_enabled(*enabled);
        return before;
    }, nb::arg("enabled").none() = nb::none(),
       "Whether result files are parsed with the fast scanner first; sets it when given.");

    nb::object hooks = nb::module_::import_("types").attr("SimpleNamespace")();
    // For the differential tests of the path subset: the matches of `path` below an
    // ElementTree element, found natively, as the elements themselves.
    FunctionSpec select;
    select.name = "xml_select";
    select.qualname = "xml_select";
    select.module = nb::cast<std::string>(m.attr("__name__"));
    select.params = {arg("element"), arg("path"), arg("first")};
    select.impl = [](Arg<"element"> element, Arg<"path"> path_text, Arg<"first"> first) -> nb::object {
        Path path = [&] {
            try {
                return Path(nb::cast<std::string>(path_text));
            } catch (std::invalid_argument &) {
                raise(PyExc_ValueError, "unsupported path");
            }
        }();
        TreePtr tree = xml::from_etree(element);
        nb::list preorder = nb::list(element.attr("iter")());
        nb::list out;
        if (nb::cast<bool>(first)) {
            const uint32_t n = path.first(*tree, 0);
            return n == kNone ? nb::none() : nb::object(preorder[n]);
        }
        for (uint32_t n : path.all(*tree, 0)) out.append(preorder[n]);
        return out;
    };

    hooks.attr("xml_select") = make_function(std::move(select));
    m.attr("_testing") = hooks;
}

}  // namespace quillon::varenna
