// `OpenModel`: the public face of the store, one method per creator, in the shape of the
// section-check program's own object model.
#include "model.hpp"

namespace quillon::varenna {

using namespace bind;

namespace {

constexpr const char *class_doc =
    "Open model of the section-check program, built object by object.\n\n"
    "Typical order of calls (each step uses objects made by the earlier ones):\n\n"
    "1. create a concrete material (create_matconcrete_ec2);\n"
    "2. create a cross-section by parameters (create_cross_section_parameter) or by components\n"
    "   (create_cross_section_component) on that material;\n"
    "3. create a reinforced cross-section on the cross-section (create_reinforced_cross_section);\n"
    "4. create a reinforcement material (create_matreinforcement_ec2) and add bars and stirrups\n"
    "   to the reinforced cross-section with its own methods;\n"
    "5. create a check member (create_check_member1d);\n"
    "6. add a check section joining the member and the reinforced cross-section\n"
    "   (add_check_section) and add load extremes to the returned check section;\n"
    "7. add the member data for the member (add_member_data_ec2);\n"
    "8. generate the input XML (generate_xml_input).\n\n"
    "Warning: the model does not validate its input. Whether an input XML represents a valid\n"
    "model depends on the combination of parameters, and no guarantee is given on this.\n"
    "Validate your models by hand before using them in an automated way.\n\n"
    ":param project_data: project data (default: the program's default project data)\n"
    ":param code_settings: code and calculation settings (default: the program's defaults)\n";

constexpr const char *material_common_doc =
    ":param e_modulus: Young's modulus [MPa]\n"
    ":param g_modulus: shear modulus [MPa]\n"
    ":param poisson: Poisson's ratio\n"
    ":param unit_mass: unit mass [kg/m3]\n"
    ":param specific_heat: specific heat\n"
    ":param thermal_expansion: thermal expansion [1/K]\n"
    ":param thermal_conductivity: thermal conductivity\n"
    ":param is_default: whether the material is a default material of the design code\n"
    ":param order_in_code: order of the material in the design code\n"
    ":param thermal_state: collection of thermal states for expansion, conductivity, specific "
    "heat, stress-strain and strain curvatures (default: ThermalState())\n";

const std::string concrete_doc =
    std::string("Create a concrete material (EN 1992-1-1).\n\n"
                ":param base_material: base material to start with; its entry in the material "
                "tables supplies the default name and strength\n"
                ":param name: name of the material (default: the base material's name)\n") +
    material_common_doc +
    ":param fck_28: characteristic compressive cylinder strength of concrete at 28 days [MPa] "
    "(default: the base material's fck)\n"
    ":param stone_diameter: aggregate size [m]\n"
    ":param cement_class: cement class\n"
    ":param aggregate_type: aggregate type\n"
    ":param diagram_type: stress-strain diagram for the ultimate limit state\n"
    ":param silica_fume: contains silica fume (EN 1992-2:2008-07 only)\n"
    ":param plain_concrete_diagram: stress-strain diagram with a tension part\n"
    ":param dep_params: dependent parameters; None lets the section-check program derive them "
    "from the strength\n"
    ":return: the new concrete material\n";

const std::string reinforcement_doc =
    std::string("Create a reinforcement material (EN 1992-1-1).\n\n"
                ":param base_material: base material to start with; its entry in the material "
                "tables supplies the default name and strengths\n"
                ":param name: name of the material (default: the base material's name)\n") +
    material_common_doc +
    ":param bar_surface: bar surface\n"
    ":param fyk: characteristic yield strength [MPa] (default: the base material's fyk)\n"
    ":param ftk_by_fyk: ratio k = ftk / fyk (default: the base material's ftk_by_fyk)\n"
    ":param epsuk: characteristic strain at maximum load [1e-4] (default: the base material's "
    "epsuk)\n"
    ":param ftk: characteristic tensile strength [MPa] (default: the base material's ftk, that "
    "is its fyk times its ftk_by_fyk)\n"
    ":param class_: class of reinforcement (ductility)\n"
    ":param type_: type of reinforcement\n"
    ":param fabrication: fabrication\n"
    ":param diagram_type: material diagram (default: bilinear with an inclined top branch)\n"
    ":return: the new reinforcement material\n";

// Calls the store creator `creator` on self with every bound value after self, by position;
// its result is returned, or None with `result_is_none`.
Body forward_all(const char *creator, bool result_is_none = false) {
    return [creator, result_is_none](Args &a) -> nb::object {
        nb::object args = a.after_self();
        nb::object method = a.self().attr(creator);
        nb::object result = nb::steal(PyObject_Call(method.ptr(), args.ptr(), nullptr));
        if (!result.is_valid()) raise_pending();
        return result_is_none ? nb::none() : result;
    };
}

}  // namespace

void init_open_model(nb::module_ &m) {
    const ModelNames &n = names();
    ClassBuilder cls(m, "OpenModel", {n.Model_}, class_doc);

    add_keyword_only_constructor(cls);

    cls.method("create_matconcrete_ec2", matconcrete_params(true),
               forward_all("_create_matconcrete_ec2"), concrete_doc.c_str(), n.MatConcreteEc2);
    cls.method("create_matreinforcement_ec2", matreinforcement_params(true),
               forward_all("_create_matreinforcement_ec2"), reinforcement_doc.c_str(),
               n.MatReinforcementEc2);

    cls.method("create_cross_section_component", {arg("self"), arg("name").def_none().ann("str")},
               forward_all("_create_cross_section_component"),
               "Create an empty cross-section made of components; add the components with its "
               "create_component method.\n\n"
               ":param name: name of the cross-section (default: the empty string)\n"
               ":return: the new cross-section\n",
               n.CrossSectionComponent);

    cls.method(
        "create_cross_section_parameter",
        {arg("self"), arg("cross_section_type").ann(n.CrossSectionType),
         arg("material").ann(n.MatConcrete), arg("name").def_none().ann("str"),
         kwargs("parameters").ann("Any")},
        [](Self self, Arg<"cross_section_type"> cross_section_type, Arg<"material"> material,
           Arg<"name"> name, Arg<"parameters"> parameters) {
            nb::object method = self.attr("_create_cross_section_parameter");
            nb::object args = nb::make_tuple(cross_section_type, material, name);
            nb::object result =
                nb::steal(PyObject_Call(method.ptr(), args.ptr(), parameters.ptr()));
            if (!result.is_valid()) raise_pending();
            return result;
        },
        "Create a cross-section of a standard shape, given by named dimensions [m].\n\n"
        ":param cross_section_type: kind of shape\n"
        ":param material: concrete material of the cross-section\n"
        ":param name: name of the cross-section (default: the empty string)\n"
        ":param parameters: the shape's dimensions, named as the section-check program names "
        "them:\n\n"
        "    O: D\n"
        "    RECT: Width, Height\n"
        "    TRAPEZOID: H, Bb, Bt\n"
        "    IGN: H, Bh, Bs, Ts, Th, Tw\n"
        "    IGH: H, Bh, Bs, Ts, Th, Tw, Bfh, Tfh\n"
        "    BEAM_SHAPE_I_HAUNCH_CHAMFER: Bbf, Hbf, Hbfh, Bw, H, Htfh, Htf, Btf, Bwh\n"
        "    TG: Height, Width, TopFlangeWidth, WallWidth\n"
        "    TTFH: Height, Width, TopFlangeWidth, WallWidth, TopFlangeHaunch\n"
        "    TGREV: Height, Width, TopFlangeWidth, WallWidth\n"
        "    TCHAMFER_1: Height, Width, TopFlangeWidth, WallWidth, TopFlangeHaunch2, WallHaunch2\n"
        "    TCHAMFER_2: Height, Width, TopFlangeWidth, WallWidth, TopFlangeHaunch2, "
        "WallHaunch1, WallHaunch2\n"
        "    TWH: Height, Width, TopFlangeWidth, WallWidth, WallHaunch\n"
        "    TTFHREV: Height, Width, TopFlangeWidth, WallWidth, TopFlangeHaunch\n"
        "    TWHREV: Height, Width, TopFlangeWidth, WallWidth, WallHaunch\n\n"
        ":return: the new cross-section\n",
        n.CrossSectionParameter);

    cls.method("create_reinforced_cross_section",
               {arg("self"), arg("cross_section").ann(n.CrossSection),
                arg("name").def_none().ann("str")},
               forward_all("_create_reinforced_cross_section"),
               "Create a reinforced cross-section on a cross-section; add bars and stirrups "
               "with its own methods.\n\n"
               ":param cross_section: the cross-section (either kind)\n"
               ":param name: name of the reinforced cross-section (default: \"R\" and the "
               "identifier)\n"
               ":return: the new reinforced cross-section\n",
               n.ReinforcedCrossSection);

    cls.method("create_check_member1d", {arg("self"), arg("name").def_none().ann("str")},
               forward_all("_create_check_member1d"),
               "Create a beam-like check member.\n\n"
               ":param name: name of the member (default: \"M \" and the identifier)\n"
               ":return: the new check member\n",
               n.CheckMember1D);

    cls.method("add_check_section",
               {arg("self"), arg("check_member").ann(n.CheckMember),
                arg("reinf_section").ann(n.ReinforcedCrossSection),
                arg("description").def_none().ann("str")},
               forward_all("_add_check_section"),
               "Add a check section joining a check member and a reinforced cross-section; add "
               "load extremes to the returned check section with its create_extreme method.\n\n"
               ":param check_member: the check member\n"
               ":param reinf_section: the reinforced cross-section\n"
               ":param description: description or name of the section (default: \"S\" and the "
               "identifier)\n"
               ":return: the new check section\n",
               n.CheckSection);

    cls.method(
        "add_member_data_ec2",
        {arg("self"), arg("member").ann(n.CheckMember), arg("member_type").ann(n.MemberType),
         arg("two_way_slab_type").ann(n.TwoWaySlabType),
         kwonly("calculation_setup").def_none().ann(n.CalculationSetup),
         kwonly("coeff_kx_for_wmax").def_none().ann("float"),
         kwonly("exposure_class_data").def_none().ann(n.ExposureClassesDataEc2),
         kwonly("creep_coefficient").def_none().ann("float"),
         kwonly("relative_humidity").def_none().ann("float")},
        forward_all("_add_member_data_ec2", true),
        "Add the design data of a check member (EN 1992-1-1). Call it after add_check_section; "
        "member_type and two_way_slab_type must suit the reinforced cross-section given to the "
        "member's check section.\n\n"
        ":param member: the check member\n"
        ":param member_type: structural member type\n"
        ":param two_way_slab_type: kind of two-way slab\n"
        ":param calculation_setup: calculation control settings (default: capacity N-M(-M), "
        "shear, interaction, stress limitation, crack width and detailing)\n"
        ":param coeff_kx_for_wmax: coefficient kx that increases the limited concrete crack width "
        "(Dutch national annex only) (default: 1.0)\n"
        ":param exposure_class_data: exposure classes (default: no corrosion)\n"
        ":param creep_coefficient: final value of the creep coefficient (default: computed by the "
        "section-check program)\n"
        ":param relative_humidity: relative humidity [%] (default: 65)\n",
        nb::none());

    cls.finish();
}

}  // namespace quillon::varenna
