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
Body member_creator(nb::object ModelNames::*member_type, nb::object ModelNames::*member_class) {
    return [member_type, member_class](
               Self self, Arg<"cs"> cs, Arg<"material"> material,
               Arg<"calculation_control"> calculation_control, Arg<"name"> name,
               Arg<"rcs_name"> rcs_name, Arg<"design_member_name"> design_member_name,
               Arg<"exposure_classes"> exposure_classes, Arg<"coeff_kx"> coeff_kx,
               Arg<"creep_coefficient"> creep_coefficient,
               Arg<"relative_humidity"> relative_humidity) {
        const ModelNames &n = names();
        nb::object result = self.attr("_create_1d_section")(
            n.*member_type, cs, material, calculation_control, name, rcs_name, exposure_classes,
            coeff_kx, creep_coefficient, relative_humidity,
            nb::arg("design_member_name") = design_member_name);
        nb::tuple pair = ops::unpack(result, 2);
        return (n.*member_class)(pair[0], pair[1]);
    };
}

nb::object create_1d_section(Self self, Arg<"member_type"> member_type, Arg<"cs"> cs,
                             Arg<"material"> material,
                             Arg<"calculation_control"> calculation_control, Arg<"name"> name,
                             Arg<"rcs_name"> rcs_name, Arg<"exposure_classes"> exposure_classes,
                             Arg<"coeff_kx"> coeff_kx, Arg<"creep_coefficient"> creep_coefficient,
                             Arg<"relative_humidity"> relative_humidity,
                             Arg<"design_member_name"> design_member_name) {
    const ModelNames &n = names();
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
        facade_material_params(matconcrete_params(false),
                               {{"unit_mass", "unit_mass"},
                                {"fck", "fck_28"},
                                {"stone_diameter", "stone_diameter"},
                                {"cement_class", "cement_class"},
                                {"aggregate_type", "aggregate_type"},
                                {"diagram_type", "diagram_type"},
                                {"silica_fume", "silica_fume"},
                                {"plain_concrete_diagram", "plain_concrete_diagram"},
                                {"dep_params", "dep_params"}}),
        [](Self self, Arg<"base_material"> base_material, Arg<"name"> name,
           Arg<"unit_mass"> unit_mass, Arg<"fck"> fck, Arg<"stone_diameter"> stone_diameter,
           Arg<"cement_class"> cement_class, Arg<"aggregate_type"> aggregate_type,
           Arg<"diagram_type"> diagram_type, Arg<"silica_fume"> silica_fume,
           Arg<"plain_concrete_diagram"> plain_concrete_diagram, Arg<"dep_params"> dep_params) {
            return self.attr("_create_matconcrete_ec2")(
                base_material, name, nb::arg("unit_mass") = unit_mass, nb::arg("fck_28") = fck,
                nb::arg("stone_diameter") = stone_diameter, nb::arg("cement_class") = cement_class,
                nb::arg("aggregate_type") = aggregate_type,
                nb::arg("diagram_type") = diagram_type, nb::arg("silica_fume") = silica_fume,
                nb::arg("plain_concrete_diagram") = plain_concrete_diagram,
                nb::arg("dep_params") = dep_params);
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
        facade_material_params(matreinforcement_params(false),
                               {{"unit_mass", "unit_mass"},
                                {"e_modulus", "e_modulus"},
                                {"fyk", "fyk"},
                                {"ftk_by_fyk", "ftk_by_fyk"},
                                {"epsuk", "epsuk"},
                                {"type_", "type_"},
                                {"bar_surface", "bar_surface"},
                                {"class_", "class_"},
                                {"fabrication", "fabrication"},
                                {"diagram_type", "diagram_type"}}),
        [](Self self, Arg<"base_material"> base, Arg<"name"> name, Arg<"unit_mass"> unit_mass,
           Arg<"e_modulus"> e_modulus, Arg<"fyk"> given_fyk, Arg<"ftk_by_fyk"> given_ftk_by_fyk,
           Arg<"epsuk"> epsuk, Arg<"type_"> type_, Arg<"bar_surface"> bar_surface,
           Arg<"class_"> class_, Arg<"fabrication"> fabrication,
           Arg<"diagram_type"> diagram_type) {
            const ModelNames &n = names();
            nb::object fyk = nb::borrow(given_fyk), ftk_by_fyk = nb::borrow(given_ftk_by_fyk);
            if (!ops::truthy(fyk)) fyk = nb::object(n.MATERIAL_PROPERTIES[base])["fyk"];
            if (!ops::truthy(ftk_by_fyk))
                ftk_by_fyk = nb::object(n.MATERIAL_PROPERTIES[base])["ftk_by_fyk"];
            nb::object ftk = nb::steal(PyNumber_Multiply(fyk.ptr(), ftk_by_fyk.ptr()));
            if (!ftk.is_valid()) raise_pending();
            return self.attr("_create_matreinforcement_ec2")(
                base, name, nb::arg("unit_mass") = unit_mass, nb::arg("e_modulus") = e_modulus,
                nb::arg("fyk") = fyk, nb::arg("ftk_by_fyk") = ftk_by_fyk, nb::arg("ftk") = ftk,
                nb::arg("epsuk") = epsuk, nb::arg("type_") = type_,
                nb::arg("bar_surface") = bar_surface, nb::arg("class_") = class_,
                nb::arg("fabrication") = fabrication, nb::arg("diagram_type") = diagram_type);
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
