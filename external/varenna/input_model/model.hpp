// The section-check input model: the store `_Model` with its creators, `OpenModel`, the JSON
// serialisation and input-XML generation, section prototypes, members and the `Model` facade.
// `init_model` registers all of them on the module; the rest is shared between their files.
#pragma once

#include "binder.hpp"
#include "json.hpp"

#include <nanobind/nanobind.h>

namespace quillon::varenna {

namespace nb = nanobind;

void init_model(nb::module_ &m);

// Everything the model classes look up once, at import: host names, the vocabulary, enum
// defaults, and the classes built here. Created by init_model and kept for the life of the
// process (never destroyed, so nothing is released after the interpreter has gone).
struct ModelNames {
    // Host modules and the standard library.
    nb::object core;  // quillon.core, for _post_on_addon_endpoint and File at call time
    nb::object InternalError, Exception, Enum, BytesIO, JSONEncoder;
    // json itself and the encoder methods as imported, to tell whether someone has replaced
    // them since (model_serialisation.cpp).
    nb::object json_module, json_default, json_init, json_encode, json_iterencode;
    // Enum's own `value` property, the function it runs and that function's code, and the
    // property class's __get__, as imported: while they are unchanged, a member's value is its
    // `_value_` (model_serialisation.cpp). Unset when this interpreter's enum is made otherwise.
    nb::object Enum_value, Enum_value_fget, Enum_value_code, enum_property_get;

    // The object vocabulary.
    nb::object objects;
    nb::object ReferenceElement, MatConcrete, MatConcreteEc2, MatReinforcement,
        MatReinforcementEc2, CrossSection, CrossSectionParameter, CrossSectionComponent,
        ReinforcedCrossSection, ReinforcedBar, Stirrup, CheckMember, CheckMember1D,
        CheckSection, StandardCheckSection, CheckSectionExtreme, ConcreteMemberDataEc2,
        ExposureClassesDataEc2, CalculationSetup, ThermalState, ConcDependentParams,
        ProjectData, CodeSettings, LoadingSLS, LoadingULS, FatigueLoading;
    nb::object ConcreteMaterial, ReinforcementMaterial, CrossSectionType, MemberType,
        TwoWaySlabType, BarSurface, ReinfClass, ReinfType, ReinfDiagramType, ReinfFabrication,
        ConcDiagramType, ConcAggregateType, ConcCementClass;
    nb::object MATERIAL_NAMES, MATERIAL_PROPERTIES;

    // Enum members used as defaults or fixed values.
    nb::object cement_class_R, aggregate_QUARTZITE, conc_diagram_PARABOLIC, bar_surface_RIBBED,
        reinf_class_B, reinf_type_BARS, fabrication_HOT_ROLLED, reinf_diagram_BILINEAR_INCLINED,
        member_BEAM, member_COLUMN, member_BEAM_SLAB, slab_SLAB, section_RECT, section_GENERAL;

    // This module, and the classes made by this subsystem.
    nb::object module;
    nb::object Model_, EnumEncoder, GeneralShape, Beam, CompressionMember, OneWaySlab;
    nb::object EnumEncoder_default;  // _EnumEncoder.default as built
    nb::object Model_serialize;      // _Model._serialize as built

    // Often used strings.
    nb::object s_id, s_append, s_serialize, s_value, s_value_;
};

const ModelNames &names();

// Class registration, in the order init_model calls them.
void add_store_members(bind::ClassBuilder &model);          // model_store.cpp
void add_serialisation_members(bind::ClassBuilder &model);  // model_serialisation.cpp
void init_enum_encoder(nb::module_ &m);                     // model_serialisation.cpp
void init_open_model(nb::module_ &m);                       // open_model.cpp
// `__init__(self, *, project_data=None, code_settings=None)` of the public faces, which hands
// both to the store's constructor by position.
void add_keyword_only_constructor(bind::ClassBuilder &cls);  // model_store.cpp
void init_section_prototypes(nb::module_ &m);               // section_prototypes.cpp
void init_members(nb::module_ &m);                          // members.cpp
void init_model_facade(nb::module_ &m);                     // model_facade.cpp

// Small helpers shared by the model files.
nb::object times(nb::handle value, double factor);  // value * factor, as Python computes it
nb::object reference(nb::handle target, const char *kind);  // _ReferenceElement(target.id, kind)

}  // namespace quillon::varenna

namespace quillon::varenna {
// The parameters of the two material creators after the instance: `base_material`, `name` and
// the rest, which are keyword-only when `keyword_only_tail` is set (the public faces).
std::vector<bind::Param> matconcrete_params(bool keyword_only_tail);
std::vector<bind::Param> matreinforcement_params(bool keyword_only_tail);
// `self`, `base_material` and `name` of a material creator's parameters, then the named ones
// ({facade name, store name}) keyword-only, with the store's defaults and annotations: the
// facade's material creators take their defaults from here, so each is written once.
std::vector<bind::Param> facade_material_params(
    std::vector<bind::Param> store_params,
    std::initializer_list<std::pair<const char *, const char *>> keywords);
}  // namespace quillon::varenna
