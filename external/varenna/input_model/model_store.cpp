// `_Model`: the store of one input model. Seven lists that only grow, identifiers from the list
// length, default names, and reference records that name the target's identifier and kind.
#include "model.hpp"
#include "python_ops.hpp"

#include <algorithm>
#include <stdexcept>

namespace quillon::varenna {

using namespace bind;

namespace {

const char *const list_names[] = {
    "_mat_concrete_list",  "_mat_reinforcement_list", "_cross_section_list",
    "_reinforced_cross_section_list", "_check_member_list", "_check_section_list",
    "_attribute_list"};

// The identifier of the next object of a list: its length plus one. Taken before anything
// else, so that a creator that fails uses up nothing.
nb::object next_id(nb::handle self, const char *list_name) {
    nb::object list = self.attr(list_name);
    const Py_ssize_t n = PyObject_Size(list.ptr());
    if (n < 0) raise_pending();
    return nb::int_(n + 1);
}

// Appends only once the object exists; the list is read afresh, as `self.x.append(o)` would.
nb::object append(nb::handle self, const char *list_name, nb::handle object) {
    nb::object list = self.attr(list_name);
    if (PyList_CheckExact(list.ptr())) {
        if (PyList_Append(list.ptr(), object.ptr()) < 0) raise_pending();
    } else {
        list.attr(names().s_append)(object);
    }
    return nb::borrow(object);
}

// `value` if it is truthy, else the name formed from the identifier.
nb::object name_or(nb::handle value, const char *prefix, nb::handle id) {
    if (ops::truthy(value)) return nb::borrow(value);
    return nb::str((std::string(prefix) + ops::text_of(nb::str(id))).c_str());
}

nb::object table_entry(nb::handle table, nb::handle base, const char *key) {
    return nb::object(table[base])[key];
}

nb::object material_name(nb::handle name, nb::handle base) {
    return ops::truthy(name) ? nb::borrow(name) : table_entry(names().MATERIAL_NAMES, base, "name");
}

nb::object thermal_state_or_default(nb::handle thermal_state) {
    return ops::truthy(thermal_state) ? nb::borrow(thermal_state) : names().ThermalState();
}

// The parameters both material creators start with, in the order of material_params.
using MaterialHead =
    Group<Self, Arg<"base_material">, Arg<"name">, Arg<"e_modulus">, Arg<"g_modulus">,
          Arg<"poisson">, Arg<"unit_mass">, Arg<"specific_heat">, Arg<"thermal_expansion">,
          Arg<"thermal_conductivity">, Arg<"is_default">, Arg<"order_in_code">,
          Arg<"thermal_state">>;

// The values a material's constructor takes after its identifier and name, up to and with its
// thermal state, in their order; the moduli come in MPa and are passed in Pa.
nb::tuple physical_values(const MaterialHead &head, nb::handle thermal_state) {
    nb::object e_modulus = times(head.get<"e_modulus">(), 1e6);
    nb::object g_modulus = times(head.get<"g_modulus">(), 1e6);
    return nb::make_tuple(e_modulus, g_modulus, head.get<"poisson">(), head.get<"unit_mass">(),
                          head.get<"specific_heat">(), head.get<"thermal_expansion">(),
                          head.get<"thermal_conductivity">(), head.get<"is_default">(),
                          head.get<"order_in_code">(), thermal_state);
}

// `type(id, name, *physical, *rest)`
nb::object construct(nb::handle type, nb::handle id, nb::handle name, nb::handle physical,
                     std::initializer_list<nb::handle> rest) {
    nb::list args;
    args.append(id);
    args.append(name);
    for (nb::handle value : physical) args.append(value);
    for (nb::handle value : rest) args.append(value);
    nb::object positional = nb::steal(PyList_AsTuple(args.ptr()));
    if (!positional.is_valid()) raise_pending();
    nb::object result = nb::steal(PyObject_Call(type.ptr(), positional.ptr(), nullptr));
    if (!result.is_valid()) raise_pending();
    return result;
}

nb::object create_matconcrete(MaterialHead head, Arg<"fck_28"> fck_28,
                              Arg<"stone_diameter"> stone_diameter,
                              Arg<"cement_class"> cement_class,
                              Arg<"aggregate_type"> aggregate_type,
                              Arg<"diagram_type"> diagram_type, Arg<"silica_fume"> silica_fume,
                              Arg<"plain_concrete_diagram"> plain_concrete_diagram,
                              Arg<"dep_params"> dep_params) {
    const ModelNames &n = names();
    nb::handle self = head.get<"self">(), base = head.get<"base_material">();
    nb::object id = next_id(self, "_mat_concrete_list");
    nb::object name = material_name(head.get<"name">(), base);
    nb::object fck = times(ops::truthy(fck_28) ? nb::borrow(fck_28)
                                          : table_entry(n.MATERIAL_PROPERTIES, base, "fck"),
                           1e6);
    nb::object thermal_state = thermal_state_or_default(head.get<"thermal_state">());
    nb::object material = construct(
        n.MatConcreteEc2, id, name, physical_values(head, thermal_state),
        {fck, stone_diameter, cement_class, aggregate_type, diagram_type, silica_fume,
         plain_concrete_diagram, dep_params});
    return append(self, "_mat_concrete_list", material);
}

nb::object create_matreinforcement(MaterialHead head, Arg<"bar_surface"> bar_surface,
                                   Arg<"fyk"> given_fyk, Arg<"ftk_by_fyk"> given_ftk_by_fyk,
                                   Arg<"epsuk"> given_epsuk, Arg<"ftk"> given_ftk,
                                   Arg<"class_"> class_, Arg<"type_"> type_,
                                   Arg<"fabrication"> fabrication,
                                   Arg<"diagram_type"> diagram_type) {
    const ModelNames &n = names();
    nb::handle self = head.get<"self">(), base = head.get<"base_material">();
    auto property = [&](const char *key) { return table_entry(n.MATERIAL_PROPERTIES, base, key); };
    nb::object id = next_id(self, "_mat_reinforcement_list");
    nb::object name = material_name(head.get<"name">(), base);
    nb::object thermal_state = thermal_state_or_default(head.get<"thermal_state">());
    nb::object fyk = times(ops::truthy(given_fyk) ? nb::borrow(given_fyk) : property("fyk"), 1e6);
    nb::object ftk_by_fyk = ops::truthy(given_ftk_by_fyk) ? nb::borrow(given_ftk_by_fyk)
                                                      : property("ftk_by_fyk");
    nb::object ftk;
    if (ops::truthy(given_ftk)) {
        ftk = times(given_ftk, 1e6);
    } else {
        // From the table alone, also when the caller gave fyk or the ratio.
        nb::object table_fyk = property("fyk"), table_ratio = property("ftk_by_fyk");
        nb::object product = nb::steal(PyNumber_Multiply(table_fyk.ptr(), table_ratio.ptr()));
        if (!product.is_valid()) raise_pending();
        ftk = times(product, 1e6);
    }
    nb::object epsuk = times(ops::truthy(given_epsuk) ? nb::borrow(given_epsuk) : property("epsuk"),
                             1e-4);
    nb::object material = construct(
        n.MatReinforcementEc2, id, name, physical_values(head, thermal_state),
        {bar_surface, fyk, ftk_by_fyk, epsuk, ftk, class_, type_, fabrication, diagram_type});
    return append(self, "_mat_reinforcement_list", material);
}

}  // namespace

void add_keyword_only_constructor(ClassBuilder &cls) {
    const ModelNames &n = names();
    cls.method("__init__",
               {arg("self"), kwonly("project_data").def_none().ann(n.ProjectData),
                kwonly("code_settings").def_none().ann(n.CodeSettings)},
               [cls_ref = cls.class_ref()](Self self, Arg<"project_data"> project_data,
                                           Arg<"code_settings"> code_settings) {
                   super(cls_ref, self).attr("__init__")(project_data, code_settings);
               });
}

namespace {

// self, base_material, name and the eleven physical and code parameters both material
// creators share, in their order; the defaults that differ are given.
std::vector<Param> material_params(bool keyword_only_tail, nb::handle base_material_type,
                                   int e_modulus, int g_modulus, int unit_mass) {
    const ModelNames &n = names();
    auto opt = [&](const char *name) { return keyword_only_tail ? kwonly(name) : arg(name); };
    return {
        arg("self"),
        arg("base_material").ann(base_material_type),
        arg("name").def_none().ann("str"),
        opt("e_modulus").def(nb::int_(e_modulus)).ann("float"),
        opt("g_modulus").def(nb::int_(g_modulus)).ann("float"),
        opt("poisson").def(nb::float_(0.2)).ann("float"),
        opt("unit_mass").def(nb::int_(unit_mass)).ann("float"),
        opt("specific_heat").def(nb::float_(0.6)).ann("float"),
        opt("thermal_expansion").def(nb::float_(1e-05)).ann("float"),
        opt("thermal_conductivity").def(nb::int_(45)).ann("float"),
        opt("is_default").def(Py_False).ann("bool"),
        opt("order_in_code").def(nb::int_(1)).ann("int"),
        opt("thermal_state").def_none().ann(n.ThermalState),
    };
}

}  // namespace

std::vector<Param> matconcrete_params(bool keyword_only_tail) {
    const ModelNames &n = names();
    auto opt = [&](const char *name) { return keyword_only_tail ? kwonly(name) : arg(name); };
    std::vector<Param> params =
        material_params(keyword_only_tail, n.ConcreteMaterial, 32800, 13667, 2500);
    for (Param &p : std::vector<Param>{
             opt("fck_28").def_none().ann("float"),
             opt("stone_diameter").def(nb::float_(0.016)).ann("float"),
             opt("cement_class").def(n.cement_class_R).ann(n.ConcCementClass),
             opt("aggregate_type").def(n.aggregate_QUARTZITE).ann(n.ConcAggregateType),
             opt("diagram_type").def(n.conc_diagram_PARABOLIC).ann(n.ConcDiagramType),
             opt("silica_fume").def(Py_False).ann("bool"),
             opt("plain_concrete_diagram").def(Py_False).ann("bool"),
             opt("dep_params").def_none().ann(n.ConcDependentParams),
         })
        params.push_back(std::move(p));
    return params;
}

std::vector<Param> matreinforcement_params(bool keyword_only_tail) {
    const ModelNames &n = names();
    auto opt = [&](const char *name) { return keyword_only_tail ? kwonly(name) : arg(name); };
    std::vector<Param> params =
        material_params(keyword_only_tail, n.ReinforcementMaterial, 200000, 83333, 7850);
    for (Param &p : std::vector<Param>{
             opt("bar_surface").def(n.bar_surface_RIBBED).ann(n.BarSurface),
             opt("fyk").def_none().ann("float"),
             opt("ftk_by_fyk").def_none().ann("float"),
             opt("epsuk").def_none().ann("float"),
             opt("ftk").def_none().ann("float"),
             opt("class_").def(n.reinf_class_B).ann(n.ReinfClass),
             opt("type_").def(n.reinf_type_BARS).ann(n.ReinfType),
             opt("fabrication").def(n.fabrication_HOT_ROLLED).ann(n.ReinfFabrication),
             opt("diagram_type").def(n.reinf_diagram_BILINEAR_INCLINED).ann(n.ReinfDiagramType),
         })
        params.push_back(std::move(p));
    return params;
}

std::vector<Param> facade_material_params(
    std::vector<Param> store_params,
    std::initializer_list<std::pair<const char *, const char *>> keywords) {
    std::vector<Param> params(store_params.begin(), store_params.begin() + 3);
    for (const auto &[name, store_name] : keywords) {
        auto found = std::find_if(store_params.begin(), store_params.end(),
                                  [&](const Param &p) { return p.name == store_name; });
        if (found == store_params.end())
            throw std::logic_error(std::string("no material parameter ") + store_name);
        Param p = *found;
        p.name = name;
        p.kind = Kind::KeywordOnly;
        params.push_back(std::move(p));
    }
    return params;
}

void add_store_members(ClassBuilder &model) {
    const ModelNames &n = names();

    model.method(
        "__init__",
        {arg("self"), arg("project_data").def_none().ann(n.ProjectData),
         arg("code_settings").def_none().ann(n.CodeSettings)},
        [](Self self, Arg<"project_data"> project_data, Arg<"code_settings"> code_settings) {
            const ModelNames &n = names();
            for (const char *list : list_names) self.attr(list) = nb::list();
            self.attr("_project_data") =
                ops::truthy(project_data) ? nb::borrow(project_data) : n.ProjectData();
            self.attr("_code_settings") =
                ops::truthy(code_settings) ? nb::borrow(code_settings) : n.CodeSettings();
        });

    model.property(
        "project_data", [](Self self) { return self.attr("_project_data"); },
        "The project data of the model.", n.ProjectData);
    model.property(
        "code_settings", [](Self self) { return self.attr("_code_settings"); },
        "The code and calculation settings of the model.", n.CodeSettings);

    model.method("_create_matconcrete_ec2", matconcrete_params(false), create_matconcrete,
                 nullptr, n.MatConcreteEc2);
    model.method("_create_matreinforcement_ec2", matreinforcement_params(false),
                 create_matreinforcement, nullptr, n.MatReinforcementEc2);

    model.method(
        "_create_cross_section_component", {arg("self"), arg("name").def_none().ann("str")},
        [](Self self, Arg<"name"> given_name) {
            nb::object id = next_id(self, "_cross_section_list");
            nb::object name = ops::truthy(given_name) ? nb::borrow(given_name) : nb::str("");
            return append(self, "_cross_section_list", names().CrossSectionComponent(id, name));
        },
        nullptr, n.CrossSectionComponent);

    model.method(
        "_create_cross_section_parameter",
        {arg("self"), arg("cross_section_type").ann(n.CrossSectionType),
         arg("material").ann(n.MatConcrete), arg("name").def_none().ann("str"),
         kwargs("parameters").ann("Any")},
        [](Self self, Arg<"cross_section_type"> cross_section_type, Arg<"material"> material,
           Arg<"name"> given_name, Arg<"parameters"> parameters) {
            nb::object id = next_id(self, "_cross_section_list");
            nb::object name = ops::truthy(given_name) ? nb::borrow(given_name) : nb::str("");
            nb::object material_ref = reference(material, "MatConcrete");
            nb::object args = nb::make_tuple(id, name, cross_section_type, material_ref);
            nb::object keywords = nb::steal(PyDict_Copy(parameters.ptr()));
            if (!keywords.is_valid()) raise_pending();
            nb::object section = nb::steal(
                PyObject_Call(names().CrossSectionParameter.ptr(), args.ptr(), keywords.ptr()));
            if (!section.is_valid()) raise_pending();
            return append(self, "_cross_section_list", section);
        },
        nullptr, n.CrossSectionParameter);

    model.method(
        "_create_reinforced_cross_section",
        {arg("self"), arg("cross_section").ann(n.CrossSection), arg("name").def_none().ann("str")},
        [](Self self, Arg<"cross_section"> cross_section, Arg<"name"> given_name) {
            nb::object id = next_id(self, "_reinforced_cross_section_list");
            nb::object name = name_or(given_name, "R", id);
            nb::object section = reference(cross_section, "CrossSection");
            return append(self, "_reinforced_cross_section_list",
                          names().ReinforcedCrossSection(id, name, section));
        },
        nullptr, n.ReinforcedCrossSection);

    model.method(
        "_create_check_member1d", {arg("self"), arg("name").def_none().ann("str")},
        [](Self self, Arg<"name"> given_name) {
            nb::object id = next_id(self, "_check_member_list");
            nb::object name = name_or(given_name, "M ", id);
            return append(self, "_check_member_list", names().CheckMember1D(id, name));
        },
        nullptr, n.CheckMember1D);

    model.method(
        "_add_check_section",
        {arg("self"), arg("check_member").ann(n.CheckMember),
         arg("reinf_section").ann(n.ReinforcedCrossSection),
         arg("description").def_none().ann("str")},
        [](Self self, Arg<"check_member"> check_member, Arg<"reinf_section"> reinf_section,
           Arg<"description"> given_description) {
            nb::object id = next_id(self, "_check_section_list");
            nb::object description = name_or(given_description, "S", id);
            nb::object member = reference(check_member, "CheckMember");
            nb::object section = reference(reinf_section, "ReinforcedCrossSection");
            return append(self, "_check_section_list",
                          names().StandardCheckSection(id, description, member, section));
        },
        nullptr, n.CheckSection);

    model.method(
        "_add_member_data_ec2",
        {arg("self"), arg("member").ann(n.CheckMember), arg("member_type").ann(n.MemberType),
         arg("two_way_slab_type").ann(n.TwoWaySlabType),
         arg("calculation_setup").def_none().ann(n.CalculationSetup),
         arg("coeff_kx_for_wmax").def_none().ann("float"),
         arg("exposure_class_data").def_none().ann(n.ExposureClassesDataEc2),
         arg("creep_coefficient").def_none().ann("float"),
         arg("relative_humidity").def_none().ann("float")},
        [](Self self, Arg<"member"> member, Arg<"member_type"> member_type,
           Arg<"two_way_slab_type"> two_way_slab_type, Arg<"calculation_setup"> calculation_setup,
           Arg<"coeff_kx_for_wmax"> coeff_kx_for_wmax,
           Arg<"exposure_class_data"> exposure_class_data,
           Arg<"creep_coefficient"> creep_coefficient,
           Arg<"relative_humidity"> relative_humidity) {
            nb::object member_ref = reference(member, "CheckMember");
            nb::object data = names().ConcreteMemberDataEc2(
                member_ref, member_type, two_way_slab_type, calculation_setup, coeff_kx_for_wmax,
                exposure_class_data, creep_coefficient, relative_humidity);
            append(self, "_attribute_list", data);
        },
        nullptr, nb::none());
}

}  // namespace quillon::varenna
