// Assembles the input-model subsystem: looks up the host and vocabulary names once, at import,
// and registers the model classes in dependency order.
#include "model.hpp"
#include "python_ops.hpp"

namespace quillon::varenna {

using namespace bind;

namespace {

ModelNames *model_names = nullptr;

// Enum.value and what it is made of; left unset (the value then always read through the
// property) on an interpreter whose Enum.value is not a property running a plain function.
void load_enum_value(ModelNames &n) {
    // A name that is missing only leaves the direct reading off.
    auto missing = [](PyObject *expected) {
        if (!PyErr_ExceptionMatches(expected)) raise_pending();
        PyErr_Clear();
    };
    auto own = [&](nb::handle cls, const char *key) {
        PyObject *v = PyMapping_GetItemString(cls.attr("__dict__").ptr(), key);
        if (!v) missing(PyExc_KeyError);
        return nb::steal(v);
    };
    nb::object value = own(n.Enum, "value");
    if (!value.is_valid()) return;
    nb::object fget = nb::steal(PyObject_GetAttrString(value.ptr(), "fget"));
    if (!fget.is_valid()) {
        missing(PyExc_AttributeError);
        return;
    }
    nb::object get = own(nb::handle((PyObject *) Py_TYPE(value.ptr())), "__get__");
    if (!get.is_valid() || !PyFunction_Check(fget.ptr())) return;
    n.Enum_value = value;
    n.Enum_value_fget = fget;
    n.Enum_value_code = nb::borrow(PyFunction_GET_CODE(fget.ptr()));
    n.enum_property_get = get;
}

void load_names(ModelNames &n, nb::module_ &m) {
    n.core = nb::module_::import_("quillon.core");
    // Fail at import when the host lacks what generate_xml_input calls. (An attribute accessor
    // is lazy: only its conversion to an object performs the lookup.)
    (void) ops::import_name("quillon.core", "_post_on_addon_endpoint");
    (void) ops::import_name("quillon.core", "File");
    n.InternalError = ops::import_name("quillon.errors", "InternalError");
    n.Exception = nb::borrow(PyExc_Exception);
    n.Enum = ops::import_name("enum", "Enum");
    n.BytesIO = ops::import_name("io", "BytesIO");
    n.JSONEncoder = ops::import_name("json", "JSONEncoder");
    n.json_module = nb::module_::import_("json");
    n.json_default = n.JSONEncoder.attr("default");
    n.json_init = n.JSONEncoder.attr("__init__");
    n.json_encode = n.JSONEncoder.attr("encode");
    n.json_iterencode = n.JSONEncoder.attr("iterencode");
    load_enum_value(n);

    n.objects = nb::module_::import_("quillon.external.varenna.objects");
    auto get = [&](const char *name) -> nb::object {
        return ops::import_name("quillon.external.varenna.objects", name);
    };
    // Every name the vocabulary promises, whether used here or not, imported as `from objects
    // import name` would: a missing one is a broken host and fails the import, and each becomes
    // an attribute of this module.
    for (const char *name :
         {"_OpenObject", "_ReferenceElement", "CheckMember", "CheckMember1D", "MatConcrete",
          "MatConcreteEc2", "MatReinforcement", "MatReinforcementEc2", "CrossSection",
          "CrossSectionParameter", "CrossSectionComponent", "ReinforcedCrossSection",
          "ReinforcedBar", "Stirrup", "CheckSection", "StandardCheckSection",
          "CheckSectionExtreme", "ConcreteMemberDataEc2", "ExposureClassesDataEc2",
          "CalculationSetup", "ThermalState", "ConcDependentParams", "LoadingSLS", "LoadingULS",
          "FatigueLoading", "ProjectData", "CodeSettings", "ConcreteMaterial",
          "ReinforcementMaterial", "CrossSectionType", "MemberType", "TwoWaySlabType",
          "BarSurface", "ReinfClass", "ReinfType", "ReinfDiagramType", "ReinfFabrication",
          "ConcDiagramType", "ConcAggregateType", "ConcCementClass", "_MATERIAL_NAMES",
          "_MATERIAL_PROPERTIES"})
        m.attr(name) = get(name);
    n.ReferenceElement = get("_ReferenceElement");
    n.MatConcrete = get("MatConcrete");
    n.MatConcreteEc2 = get("MatConcreteEc2");
    n.MatReinforcement = get("MatReinforcement");
    n.MatReinforcementEc2 = get("MatReinforcementEc2");
    n.CrossSection = get("CrossSection");
    n.CrossSectionParameter = get("CrossSectionParameter");
    n.CrossSectionComponent = get("CrossSectionComponent");
    n.ReinforcedCrossSection = get("ReinforcedCrossSection");
    n.ReinforcedBar = get("ReinforcedBar");
    n.Stirrup = get("Stirrup");
    n.CheckMember = get("CheckMember");
    n.CheckMember1D = get("CheckMember1D");
    n.CheckSection = get("CheckSection");
    n.StandardCheckSection = get("StandardCheckSection");
    n.CheckSectionExtreme = get("CheckSectionExtreme");
    n.ConcreteMemberDataEc2 = get("ConcreteMemberDataEc2");
    n.ExposureClassesDataEc2 = get("ExposureClassesDataEc2");
    n.CalculationSetup = get("CalculationSetup");
    n.ThermalState = get("ThermalState");
    n.ConcDependentParams = get("ConcDependentParams");
    n.ProjectData = get("ProjectData");
    n.CodeSettings = get("CodeSettings");
    n.LoadingSLS = get("LoadingSLS");
    n.LoadingULS = get("LoadingULS");
    n.FatigueLoading = get("FatigueLoading");

    n.ConcreteMaterial = get("ConcreteMaterial");
    n.ReinforcementMaterial = get("ReinforcementMaterial");
    n.CrossSectionType = get("CrossSectionType");
    n.MemberType = get("MemberType");
    n.TwoWaySlabType = get("TwoWaySlabType");
    n.BarSurface = get("BarSurface");
    n.ReinfClass = get("ReinfClass");
    n.ReinfType = get("ReinfType");
    n.ReinfDiagramType = get("ReinfDiagramType");
    n.ReinfFabrication = get("ReinfFabrication");
    n.ConcDiagramType = get("ConcDiagramType");
    n.ConcAggregateType = get("ConcAggregateType");
    n.ConcCementClass = get("ConcCementClass");
    n.MATERIAL_NAMES = get("_MATERIAL_NAMES");
    n.MATERIAL_PROPERTIES = get("_MATERIAL_PROPERTIES");

    n.cement_class_R = n.ConcCementClass.attr("R");
    n.aggregate_QUARTZITE = n.ConcAggregateType.attr("QUARTZITE");
    n.conc_diagram_PARABOLIC = n.ConcDiagramType.attr("PARABOLIC");
    n.bar_surface_RIBBED = n.BarSurface.attr("RIBBED");
    n.reinf_class_B = n.ReinfClass.attr("B");
    n.reinf_type_BARS = n.ReinfType.attr("BARS");
    n.fabrication_HOT_ROLLED = n.ReinfFabrication.attr("HOT_ROLLED");
    n.reinf_diagram_BILINEAR_INCLINED = n.ReinfDiagramType.attr("BILINEAR_INCLINED");
    n.member_BEAM = n.MemberType.attr("BEAM");
    n.member_COLUMN = n.MemberType.attr("COLUMN");
    n.member_BEAM_SLAB = n.MemberType.attr("BEAM_SLAB");
    n.slab_SLAB = n.TwoWaySlabType.attr("SLAB");
    n.section_RECT = n.CrossSectionType.attr("RECT");
    n.section_GENERAL = n.CrossSectionType.attr("GENERAL");

    n.s_id = nb::steal(PyUnicode_InternFromString("id"));
    n.s_append = nb::steal(PyUnicode_InternFromString("append"));
    n.s_serialize = nb::steal(PyUnicode_InternFromString("_serialize"));
    n.s_value = nb::steal(PyUnicode_InternFromString("value"));
    n.s_value_ = nb::steal(PyUnicode_InternFromString("_value_"));
}

}  // namespace

const ModelNames &names() { return *model_names; }

nb::object times(nb::handle value, double factor) {
    nb::object f = nb::steal(PyFloat_FromDouble(factor));
    nb::object product = nb::steal(PyNumber_Multiply(value.ptr(), f.ptr()));
    if (!product.is_valid()) raise_pending();
    return product;
}

nb::object reference(nb::handle target, const char *kind) {
    nb::object id = target.attr(names().s_id);
    return names().ReferenceElement(id, nb::str(kind));
}

void init_model(nb::module_ &m) {
    auto *n = new ModelNames();  // kept for the life of the process, see model.hpp
    load_names(*n, m);
    n->module = nb::borrow(m);
    model_names = n;

    init_enum_encoder(m);
    n->EnumEncoder = m.attr("_EnumEncoder");
    n->EnumEncoder_default = n->EnumEncoder.attr("default");

    ClassBuilder model(m, "_Model", {},
                       "Store of one section-check input model: materials, cross-sections, "
                       "reinforced cross-sections, check members, check sections and member "
                       "data, with the project data and code settings.");
    add_store_members(model);
    add_serialisation_members(model);
    n->Model_ = model.finish();
    n->Model_serialize = n->Model_.attr("_serialize");

    init_open_model(m);
    init_section_prototypes(m);
    n->GeneralShape = m.attr("GeneralShape");
    init_members(m);
    n->Beam = m.attr("Beam");
    n->CompressionMember = m.attr("CompressionMember");
    n->OneWaySlab = m.attr("OneWaySlab");
    init_model_facade(m);
}

}  // namespace quillon::varenna
