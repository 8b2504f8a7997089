// Section prototypes: the shape of a concrete cross-section without material, name or place
// in a model. The facade reads one while it builds a member and keeps no reference to it.
#include "model.hpp"
#include "python_ops.hpp"

namespace quillon::varenna {

using namespace bind;

namespace {

nb::object not_implemented(Self) { raise_no_args(nb::handle(PyExc_NotImplementedError)); }

// `_type` and `_parameters`, abstract and unimplemented, as every abstract prototype has them.
void add_abstract_members(ClassBuilder &cls) {
    const ModelNames &n = names();
    cls.abstract_property("_type", not_implemented, nullptr, n.CrossSectionType);
    cls.abstract_property("_parameters", not_implemented, nullptr, ann("Dict[str, Any]"));
}

}  // namespace

void init_section_prototypes(nb::module_ &m) {
    const ModelNames &n = names();
    nb::object ABC = ops::import_name("abc", "ABC");

    ClassBuilder base(m, "_SectionPrototype", {ABC}, "Abstract base class of all section prototypes.");
    base.abstract_method("__init__", {arg("self")}, [](Self) {});
    add_abstract_members(base);
    nb::object prototype = base.finish();

    ClassBuilder one_d(m, "SectionPrototype1D", {prototype},
                       "Abstract base class of all 1D (beam-like) section prototypes.");
    one_d.abstract_method("__init__", {arg("self")}, not_implemented);
    add_abstract_members(one_d);
    nb::object prototype_1d = one_d.finish();

    ClassBuilder rect(m, "RectSection", {prototype_1d},
                      "Rectangular section, with the origin of its coordinate system at the "
                      "centroid.\n\n"
                      ":param width: width of the section [m]\n"
                      ":param height: height of the section [m]\n");
    rect.method("__init__", {arg("self"), arg("width").ann("float"), arg("height").ann("float")},
                [](Self self, Arg<"width"> width, Arg<"height"> height) {
                    self.attr("_width") = width;
                    self.attr("_height") = height;
                });
    rect.property(
        "_type", [](Self) { return names().section_RECT; }, nullptr, n.CrossSectionType);
    rect.property(
        "_parameters",
        [](Self self) -> nb::object {
            nb::dict parameters;
            parameters["Width"] = self.attr("_width");
            parameters["Height"] = self.attr("_height");
            return parameters;
        },
        nullptr, ann("Dict[str, Any]"));
    rect.finish();

    ClassBuilder general(m, "GeneralShape", {prototype_1d},
                         "General section shape: a polygon outline with optional openings.\n\n"
                         ":param outline: vertices (Y, Z) of the outline [m]. A minimum of 3 "
                         "vertices is required. The outline is automatically closed, so do not "
                         "repeat the first vertex.\n"
                         ":param openings: list of openings, each a list of vertices (Y, Z) [m]. "
                         "A minimum of 3 vertices is required per opening. Each opening is "
                         "automatically closed.\n");
    general.method("__init__",
                   {arg("self"), arg("outline").ann("Sequence[Tuple[float, float]]"),
                    kwonly("openings").def_none().ann("Sequence[Sequence[Tuple[float, float]]]")},
                   [](Self self, Arg<"outline"> outline, Arg<"openings"> openings) {
                       self.attr("_outline") = outline;
                       self.attr("_openings") = openings;
                   });
    general.property(
        "_type", [](Self) { return names().section_GENERAL; }, nullptr, n.CrossSectionType);
    general.property(
        "_parameters", [](Self) -> nb::object { return nb::dict(); }, nullptr,
        ann("Dict[str, Any]"));
    general.finish();

    ClassBuilder two_d(m, "_SectionPrototype2D", {prototype},
                       "Abstract base class of all 2D (plate-like) section prototypes.");
    two_d.abstract_method("__init__", {arg("self"), arg("thickness").ann("float")},
                          [](Self self, Arg<"thickness"> thickness) {
                              self.attr("_thickness") = thickness;
                          });
    add_abstract_members(two_d);
    two_d.finish();
}

}  // namespace quillon::varenna
