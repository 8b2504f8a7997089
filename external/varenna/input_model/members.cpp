// Members: handles on a reinforced cross-section and a check section of the store. They own
// nothing; reinforcement and extremes go straight to those two objects.
#include "model.hpp"

namespace quillon::varenna {

using namespace bind;

namespace {

nb::object snapshot(nb::handle holder, const char *list) {
    nb::object items = holder.attr(list);
    nb::object copy = nb::steal(PySequence_List(items.ptr()));
    if (!copy.is_valid()) raise_pending();
    return copy;
}

const char *const subclass_docs[][2] = {
    {"Beam", "A beam section. Do not create it yourself: use Model.create_beam."},
    {"CompressionMember",
     "A compression member section. Do not create it yourself: use "
     "Model.create_compression_member."},
    {"OneWaySlab", "A one-way slab section. Do not create it yourself: use "
                   "Model.create_one_way_slab."},
};

}  // namespace

void init_members(nb::module_ &m) {
    const ModelNames &n = names();
    ClassBuilder member(m, "Member", {}, " Base class of all member types. ");

    member.method("__init__",
                  {arg("self"), arg("rcs").ann(n.ReinforcedCrossSection),
                   arg("check_section").ann(n.CheckSection)},
                  [](Self self, Arg<"rcs"> rcs, Arg<"check_section"> check_section) {
                      self.attr("_rcs") = rcs;
                      self.attr("_check_section") = check_section;
                  });

    member.property(
        "bars", [](Self self) { return snapshot(self.attr("_rcs"), "bars"); },
        "The reinforced bars of the member (a new list on each read).", ann("List[ReinforcedBar]"));
    member.property(
        "stirrups", [](Self self) { return snapshot(self.attr("_rcs"), "stirrups"); },
        "The stirrups of the member (a new list on each read).", ann("List[Stirrup]"));
    member.property(
        "extremes",
        [](Self self) { return snapshot(self.attr("_check_section"), "extremes"); },
        "The extremes of the member (a new list on each read).",
        ann("List[CheckSectionExtreme]"));

    member.method(
        "create_bar",
        {arg("self"), arg("coordinates").ann("Tuple[float, float]"), arg("diameter").ann("float"),
         arg("material").ann(n.MatReinforcement)},
        [](Self self, Arg<"coordinates"> coordinates, Arg<"diameter"> diameter,
           Arg<"material"> material) {
            self.attr("_rcs").attr("create_bar")(coordinates, diameter, material);
        },
        "Create a reinforced bar on the reinforced cross-section.\n\n"
        ":param coordinates: coordinates (X, Y) of the bar centre [m]\n"
        ":param diameter: diameter of the bar [m]\n"
        ":param material: reinforcement material\n",
        nb::none());

    member.method(
        "create_bar_layer",
        {arg("self"), kwonly("origin").ann("Tuple[float, float]"), kwonly("diameter").ann("float"),
         kwonly("material").ann(n.MatReinforcement), kwonly("number_of_bars").ann("int"),
         kwonly("delta_y").def_none().ann("float"), kwonly("delta_z").def_none().ann("float")},
        [](Self self, Arg<"origin"> origin, Arg<"diameter"> diameter, Arg<"material"> material,
           Arg<"number_of_bars"> number_of_bars, Arg<"delta_y"> delta_y,
           Arg<"delta_z"> delta_z) {
            self.attr("_rcs").attr("create_bar_layer")(
                nb::arg("origin") = origin, nb::arg("diameter") = diameter,
                nb::arg("material") = material, nb::arg("number_of_bars") = number_of_bars,
                nb::arg("delta_y") = delta_y, nb::arg("delta_z") = delta_z);
        },
        "Create multiple reinforced bars on the reinforced cross-section, positioned on a line.\n\n"
        ":param origin: Origin point (Y, Z) [m]\n"
        ":param diameter: diameter of the bars [m]\n"
        ":param material: reinforcement material\n"
        ":param number_of_bars: number of bars in the layer (minimum of 2)\n"
        ":param delta_y: distance from the first to the last bar in the y direction [m]\n"
        ":param delta_z: distance from the first to the last bar in the z direction [m]\n",
        nb::none());

    member.method(
        "create_stirrup",
        {arg("self"),
         arg("points").ann("Sequence[Union[Tuple[float, float], Tuple[Tuple[float, float], "
                           "Tuple[float, float]]]]"),
         arg("diameter").ann("float"), arg("material").ann(n.MatReinforcement),
         arg("distance").ann("float"), arg("shear_check").def_none().ann("bool"),
         arg("torsion_check").def_none().ann("bool"),
         arg("mandrel_diameter_factor").def_none().ann("float"),
         arg("anchorage_length").def_none().ann("float")},
        [](Self self, Arg<"points"> points, Arg<"diameter"> diameter, Arg<"material"> material,
           Arg<"distance"> distance, Arg<"shear_check"> shear_check,
           Arg<"torsion_check"> torsion_check,
           Arg<"mandrel_diameter_factor"> mandrel_diameter_factor,
           Arg<"anchorage_length"> anchorage_length) {
            self.attr("_rcs").attr("create_stirrup")(points, diameter, material, distance,
                                                     shear_check, torsion_check,
                                                     mandrel_diameter_factor, anchorage_length);
        },
        "Create a stirrup on the reinforced cross-section.\n\n"
        ":param points: vertices of the stirrup in order [m], joined by straight segments; an "
        "entry ((X_end, Y_end), (X_on_arc, Y_on_arc)) makes the segment ending at that vertex an "
        "arc through the second point\n"
        ":param diameter: diameter of the stirrup [m]\n"
        ":param material: reinforcement material\n"
        ":param distance: longitudinal distance between stirrups [m]\n"
        ":param shear_check: take the stirrup into account in the shear check (default: False)\n"
        ":param torsion_check: take the stirrup into account in the torsion check (default: "
        "False)\n"
        ":param mandrel_diameter_factor: inner diameter of the bending mandrel as a multiple of "
        "the stirrup diameter (default: 1.0)\n"
        ":param anchorage_length: anchorage length [m] (default: 0.0)\n",
        nb::none());

    member.method(
        "create_extreme",
        {arg("self"), kwonly("description").def_none().ann("str"),
         kwonly("accidental").def_none().ann(n.LoadingULS),
         kwonly("fatigue").def_none().ann(n.FatigueLoading),
         kwonly("frequent").def_none().ann(n.LoadingSLS),
         kwonly("fundamental").def_none().ann(n.LoadingULS),
         kwonly("characteristic").def_none().ann(n.LoadingSLS),
         kwonly("quasi_permanent").def_none().ann(n.LoadingSLS)},
        [](Self self, Arg<"description"> description, Arg<"accidental"> accidental,
           Arg<"fatigue"> fatigue, Arg<"frequent"> frequent, Arg<"fundamental"> fundamental,
           Arg<"characteristic"> characteristic, Arg<"quasi_permanent"> quasi_permanent) {
            self.attr("_check_section").attr("create_extreme")(
                nb::arg("description") = description, nb::arg("accidental") = accidental,
                nb::arg("fatigue") = fatigue, nb::arg("frequent") = frequent,
                nb::arg("fundamental") = fundamental, nb::arg("characteristic") = characteristic,
                nb::arg("quasi_permanent") = quasi_permanent);
        },
        "Create an extreme case with corresponding internal forces on the beam for checking.\n\n"
        ":param description: name of the extreme (default: \"{section_name} - E {i}\")\n"
        ":param accidental: accidental loading\n"
        ":param fatigue: fatigue loading\n"
        ":param frequent: frequent loading\n"
        ":param fundamental: fundamental loading\n"
        ":param characteristic: characteristic loading\n"
        ":param quasi_permanent: quasi-permanent loading\n\n"
        "Example::\n\n"
        "    member.create_extreme(\n"
        "        frequent=LoadingSLS(ResultOfInternalForces(N=-100000, My=210000)),\n"
        "        fundamental=LoadingULS(ResultOfInternalForces(N=-99999, My=200000)))\n",
        nb::none());

    nb::object member_class = member.finish();

    for (const auto &entry : subclass_docs) {
        ClassBuilder sub(m, entry[0], {member_class}, entry[1]);
        sub.finish();
    }
}

}  // namespace quillon::varenna
