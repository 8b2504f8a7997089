// `Model`: the store with engineering defaults for materials and one-call member creation from
// section prototypes. Every store object is made through the store's creators, looked up on
// self so that subclasses can take over any step.
#include "model.hpp"
#include "python_ops.hpp"

namespace quillon::varenna {

using namespace bind;

namespace {

constexpr const char *class_doc =
    "Simplified model of the section-check program, built member by member.\n\n"
    "Typical use:\n\n"
    "1. create an empty model: Model() (project data and code settings may be passed);\n"
    "2. create the materials: create_concrete_material(ConcreteMaterial.C12_15) and\n"
    "   create_reinforcement_material(ReinforcementMaterial.B_400A);\n"
    "3. create a member: create_beam(RectSection(0.5, 1.0), concrete), which returns a Beam;\n"
    "4. add bars with create_bar, for example four bars of diameter 0.016 at (-0.101, -0.175),\n"
    "   (0.101, -0.175), (0.101, 0.175) and (-0.101, 0.175);\n"
    "5. add an extreme with create_extreme(frequent=..., fundamental=...);\n"
    "6. obtain the input XML with generate_xml_input().\n\n"
    "Warning: whether an input XML represents a valid model depends on the combination of\n"
    "parameters; the model gives no guarantee on this. Validate a model by hand before using\n"
    "it in an automated way.\n\n"
    ":param project_data: project data (default: the program's default project data)\n"
    ":param code_settings: code and calculation settings (default: the program's defaults)\n";

constexpr const char *member_params_doc =
    ":param cs: section prototype, the shape of the section\n"
    ":param material: concrete material of the cross-section\n"
    ":param calculation_control: which checks to run (default: capacity N-M(-M), shear, "
    "interaction, stress limitation, crack width and detailing)\n"
    ":param name: description of the check section (default: \"S{i}\")\n"
    ":param rcs_name: name of the reinforced cross-section (default: \"R{i}\")\n"
    ":param design_member_name: name of the check member (default: \"M {i}\")\n"
    ":param exposure_classes: corrosion exposure classes (default: no corrosion)\n"
    ":param coeff_kx: coefficient k_x according to 7.3.1 (Dutch national annex only) "
    "(default: 1.0)\n"
    ":param creep_coefficient: final value of the creep coefficient (default: computed by the "
    "section-check program)\n"
    ":param relative_humidity: relative humidity [%] (default: 65)\n";

std::vector<Param> member_params(nb::handle prototype_1d) {
    const ModelNames &n = names();
    return {arg("self"),
            arg("cs").ann(prototype_1d),
            arg("material").ann(n.MatConcrete),
            kwonly("calculation_control").def_none().ann(n.CalculationSetup),
            kwonly("name").def_none().ann("str"),
            kwonly("rcs_name").def_none().ann("str"),
            kwonly("design_member_name").def_none().ann("str"),
            kwonly("exposure_classes").def_none().ann(n.ExposureClassesDataEc2),
            kwonly("coeff_kx").def_none().ann("float"),
            kwonly("creep_coefficient").def_none().ann("float"),
            kwonly("relative_humidity").def_none().ann("float")};
}

// create_beam and its siblings: one call of self._create_1d_section, then the member handle.
Impl member_creator(nb::object ModelNames::*member_type, nb::object ModelNames::*member_class) {
    return [member_type, member_class](Args &a) {
        const ModelNames &n = names();
        nb::object result = a.self().attr("_create_1d_section")(
            n.*member_type, a[1], a[2], a[3], a[4], a[5], a[7], a[8], a[9], a[10],
            nb::arg("design_member_name") = a[6]);
        nb::tuple pair = ops::unpack(result, 2);
        return (n.*member_class)(pair[0], pair[1]);
    };
}

nb::object create_1d_section(Args &a) {
    const ModelNames &n = names();
    nb::handle self = a.self(), member_type = a[1], cs = a[2], material = a[3];
    nb::handle calculation_control = a[4], name = a[5], rcs_name = a[6], exposure_classes = a[7],
               coeff_kx = a[8], creep_coefficient = a[9], relative_humidity = a[10],
               design_member_name = a[11];

    nb::object cross_section;
    const int general = PyObject_IsInstance(cs.ptr(), n.GeneralShape.ptr());
    if (general < 0) raise_pending();
    // Lookups in the order the interpreter evaluates the calls: the method, then its arguments.
    if (general) {
        cross_section = self.attr("_create_cross_section_component")();
        nb::object create_component = cross_section.attr("create_component");
        nb::object outline = cs.attr("_outline");
        nb::object openings = cs.attr("_openings");
        create_component(outline, material, nb::arg("openings") = openings);
    } else {
        nb::object create = self.attr("_create_cross_section_parameter");
        nb::object kind = cs.attr("_type");
        nb::object parameters = cs.attr("_parameters");
        cross_section =
            ops::call_with_mapping(create, nb::make_tuple(kind, material, nb::none()), parameters);
    }
    nb::object rcs = self.attr("_create_reinforced_cross_section")(cross_section, rcs_name);
    nb::object check_member = self.attr("_create_check_member1d")(design_member_name);
    nb::object check_section = self.attr("_add_check_section")(check_member, rcs, name);
    self.attr("_add_member_data_ec2")(
        check_member, member_type, n.slab_SLAB, nb::arg("calculation_setup") = calculation_control,
        nb::arg("coeff_kx_for_wmax") = coeff_kx, nb::arg("exposure_class_data") = exposure_classes,
        nb::arg("creep_coefficient") = creep_coefficient,
        nb::arg("relative_humidity") = relative_humidity);
    return nb::make_tuple(rcs, check_section);
}

}  // namespace

void init_model_facade(nb::module_ &m) {
    const ModelNames &n = names();
    ClassBuilder cls(m, "Model", {n.Model_}, class_doc);

    add_keyword_only_constructor(cls);

    cls.method(
        "create_concrete_material",
        {arg("self"), arg("base_material").ann(n.ConcreteMaterial),
         arg("name").def_none().ann("str"), kwonly("unit_mass").def(nb::int_(2500)).ann("float"),
         kwonly("fck").def_none().ann("float"),
         kwonly("stone_diameter").def(nb::float_(0.016)).ann("float"),
         kwonly("cement_class").def(n.cement_class_R).ann(n.ConcCementClass),
         kwonly("aggregate_type").def(n.aggregate_QUARTZITE).ann(n.ConcAggregateType),
         kwonly("diagram_type").def(n.conc_diagram_PARABOLIC).ann(n.ConcDiagramType),
         kwonly("silica_fume").def(Py_False).ann("bool"),
         kwonly("plain_concrete_diagram").def(Py_False).ann("bool"),
         kwonly("dep_params").def_none().ann(n.ConcDependentParams)},
        [](Args &a) {
            return a.self().attr("_create_matconcrete_ec2")(
                a[1], a[2], nb::arg("unit_mass") = a[3], nb::arg("fck_28") = a[4],
                nb::arg("stone_diameter") = a[5], nb::arg("cement_class") = a[6],
                nb::arg("aggregate_type") = a[7], nb::arg("diagram_type") = a[8],
                nb::arg("silica_fume") = a[9], nb::arg("plain_concrete_diagram") = a[10],
                nb::arg("dep_params") = a[11]);
        },
        "Create a concrete material for use with the member creators.\n\n"
        ":param base_material: the concrete grade to start from\n"
        ":param name: name of the material (default: the base material's name)\n"
        ":param unit_mass: unit mass [kg/m3]\n"
        ":param fck: characteristic cylinder compressive strength at 28 days [MPa] (default: the "
        "base material's value)\n"
        ":param stone_diameter: aggregate size [m] (default: 16 mm)\n"
        ":param cement_class: cement class\n"
        ":param aggregate_type: aggregate type\n"
        ":param diagram_type: stress-strain diagram for the ultimate limit state\n"
        ":param silica_fume: contains silica fume (EN 1992-2:2008-07 only)\n"
        ":param plain_concrete_diagram: stress-strain diagram with a tension part\n"
        ":param dep_params: dependent parameters (default: derived from fck)\n"
        ":return: the new concrete material\n",
        n.MatConcreteEc2);

    cls.method(
        "create_reinforcement_material",
        {arg("self"), arg("base_material").ann(n.ReinforcementMaterial),
         arg("name").def_none().ann("str"), kwonly("unit_mass").def(nb::int_(7850)).ann("float"),
         kwonly("e_modulus").def(nb::int_(200000)).ann("float"),
         kwonly("fyk").def_none().ann("float"), kwonly("ftk_by_fyk").def_none().ann("float"),
         kwonly("epsuk").def_none().ann("float"),
         kwonly("type_").def(n.reinf_type_BARS).ann(n.ReinfType),
         kwonly("bar_surface").def(n.bar_surface_RIBBED).ann(n.BarSurface),
         kwonly("class_").def(n.reinf_class_B).ann(n.ReinfClass),
         kwonly("fabrication").def(n.fabrication_HOT_ROLLED).ann(n.ReinfFabrication),
         kwonly("diagram_type").def(n.reinf_diagram_BILINEAR_INCLINED).ann(n.ReinfDiagramType)},
        [](Args &a) {
            const ModelNames &n = names();
            nb::handle base = a[1];
            nb::object fyk = nb::borrow(a[5]), ftk_by_fyk = nb::borrow(a[6]);
            if (!truthy(fyk)) fyk = nb::object(n.MATERIAL_PROPERTIES[base])["fyk"];
            if (!truthy(ftk_by_fyk))
                ftk_by_fyk = nb::object(n.MATERIAL_PROPERTIES[base])["ftk_by_fyk"];
            nb::object ftk = nb::steal(PyNumber_Multiply(fyk.ptr(), ftk_by_fyk.ptr()));
            if (!ftk.is_valid()) raise_pending();
            return a.self().attr("_create_matreinforcement_ec2")(
                base, a[2], nb::arg("unit_mass") = a[3], nb::arg("e_modulus") = a[4],
                nb::arg("fyk") = fyk, nb::arg("ftk_by_fyk") = ftk_by_fyk, nb::arg("ftk") = ftk,
                nb::arg("epsuk") = a[7], nb::arg("type_") = a[8], nb::arg("bar_surface") = a[9],
                nb::arg("class_") = a[10], nb::arg("fabrication") = a[11],
                nb::arg("diagram_type") = a[12]);
        },
        "Create a reinforcement material for bars and stirrups.\n\n"
        ":param base_material: the steel grade to start from\n"
        ":param name: name of the material (default: the base material's name)\n"
        ":param unit_mass: unit mass [kg/m3]\n"
        ":param e_modulus: Young's modulus [MPa]\n"
        ":param fyk: characteristic yield strength [MPa] (default: the base material's value)\n"
        ":param ftk_by_fyk: factor k, the ratio ftk / fyk (default: the base material's value)\n"
        ":param epsuk: characteristic strain at maximum load [1e-4] (default: the base "
        "material's value)\n"
        ":param type_: type of reinforcement\n"
        ":param bar_surface: bar surface\n"
        ":param class_: class of reinforcement\n"
        ":param fabrication: fabrication\n"
        ":param diagram_type: material diagram, bilinear with an inclined top branch\n"
        ":return: the new reinforcement material\n",
        n.MatReinforcementEc2);

    const std::string beam_doc = std::string("Create a beam section.\n\n") + member_params_doc +
                                 ":return: the beam\n";
    const std::string column_doc = std::string("Create a compression member section.\n\n") +
                                   member_params_doc + ":return: the compression member\n";
    const std::string slab_doc = std::string("Create a one-way slab member section.\n\n") +
                                 member_params_doc + ":return: the one-way slab\n";
    cls.method("create_beam", member_params(m.attr("SectionPrototype1D")),
               member_creator(&ModelNames::member_BEAM, &ModelNames::Beam), beam_doc.c_str(),
               n.Beam);
    cls.method("create_compression_member", member_params(m.attr("SectionPrototype1D")),
               member_creator(&ModelNames::member_COLUMN, &ModelNames::CompressionMember),
               column_doc.c_str(), n.CompressionMember);
    cls.method("create_one_way_slab", member_params(m.attr("SectionPrototype1D")),
               member_creator(&ModelNames::member_BEAM_SLAB, &ModelNames::OneWaySlab),
               slab_doc.c_str(), n.OneWaySlab);

    cls.method("_create_1d_section",
               {arg("self"), arg("member_type").ann(n.MemberType),
                arg("cs").ann(m.attr("SectionPrototype1D")), arg("material").ann(n.MatConcrete),
                arg("calculation_control").def_none().ann(n.CalculationSetup),
                arg("name").def_none().ann("str"), arg("rcs_name").def_none().ann("str"),
                arg("exposure_classes").def_none().ann(n.ExposureClassesDataEc2),
                arg("coeff_kx").def_none().ann("float"),
                arg("creep_coefficient").def_none().ann("float"),
                arg("relative_humidity").def_none().ann("float"),
                kwonly("design_member_name").def_none().ann("str")},
               create_1d_section, nullptr, ann("Tuple[ReinforcedCrossSection, CheckSection]"));

    cls.finish();
}

}  // namespace quillon::varenna
