"""Plain-Python section-check model: the store, the `Model` facade's member road and
``generate_xml_input``, written the straightforward way.

The baseline the native model is measured against in ``bench_road.py``: the same creators
with the same defaults, identifiers and names (only what the benchmark's members use), and
input-XML generation as the plain round trip (``json.dumps`` with an enum-aware encoder,
``json.loads``, ``json.dumps``, gzip level 9, Base64, the add-on service, and back). A model
built here serialises to the same JSON as the native one built the same way.
"""

import base64
import enum
import gzip
import io
import json
from typing import Any

from quillon import core
from quillon.errors import InternalError
from quillon.external.external_program import _JobContent
from quillon.external.varenna.objects import (
    _MATERIAL_NAMES, _MATERIAL_PROPERTIES, BarSurface, CheckMember1D, CodeSettings,
    ConcAggregateType, ConcCementClass, ConcDiagramType, ConcreteMemberDataEc2,
    CrossSectionParameter, CrossSectionType, MatConcreteEc2, MatReinforcementEc2, MemberType,
    ProjectData, ReinfClass, ReinfDiagramType, ReinfFabrication, ReinforcedCrossSection,
    ReinfType, StandardCheckSection, ThermalState, TwoWaySlabType, _ReferenceElement)

LISTS = ("mat_concrete_list", "mat_reinforcement_list", "cross_section_list",
         "reinforced_cross_section_list", "check_member_list", "check_section_list",
         "attribute_list")


class _EnumEncoder(json.JSONEncoder):
    def default(self, o: Any) -> Any:
        try:
            return super().default(o)
        except TypeError:
            if isinstance(o, enum.Enum):
                return o.value
            return o._serialize()


def _ref(target, kind):
    return _ReferenceElement(target.id, kind)


class _Model:
    def __init__(self, project_data=None, code_settings=None):
        for key in LISTS:
            setattr(self, "_" + key, [])
        self._project_data = project_data or ProjectData()
        self._code_settings = code_settings or CodeSettings()

    def _create_matconcrete_ec2(self, base_material, name=None, *, unit_mass=2500, fck_28=None,
                                stone_diameter=0.016, cement_class=ConcCementClass.R,
                                aggregate_type=ConcAggregateType.QUARTZITE,
                                diagram_type=ConcDiagramType.PARABOLIC, silica_fume=False,
                                plain_concrete_diagram=False, dep_params=None):
        i = len(self._mat_concrete_list) + 1
        name = name or _MATERIAL_NAMES[base_material]["name"]
        fck = (fck_28 or _MATERIAL_PROPERTIES[base_material]["fck"]) * 1e6
        material = MatConcreteEc2(i, name, 32800 * 1e6, 13667 * 1e6, 0.2, unit_mass, 0.6, 1e-05,
                                  45, False, 1, ThermalState(), fck, stone_diameter,
                                  cement_class, aggregate_type, diagram_type, silica_fume,
                                  plain_concrete_diagram, dep_params)
        self._mat_concrete_list.append(material)
        return material

    def _create_matreinforcement_ec2(self, base_material, name=None, *, unit_mass=7850,
                                     e_modulus=200000, fyk=None, ftk_by_fyk=None, ftk=None,
                                     epsuk=None, type_=ReinfType.BARS,
                                     bar_surface=BarSurface.RIBBED, class_=ReinfClass.B,
                                     fabrication=ReinfFabrication.HOT_ROLLED,
                                     diagram_type=ReinfDiagramType.BILINEAR_INCLINED):
        table = _MATERIAL_PROPERTIES[base_material]
        i = len(self._mat_reinforcement_list) + 1
        name = name or _MATERIAL_NAMES[base_material]["name"]
        material = MatReinforcementEc2(
            i, name, e_modulus * 1e6, 83333 * 1e6, 0.2, unit_mass, 0.6, 1e-05, 45, False, 1,
            ThermalState(), bar_surface, (fyk or table["fyk"]) * 1e6,
            ftk_by_fyk or table["ftk_by_fyk"], (epsuk or table["epsuk"]) * 1e-4,
            (ftk or table["fyk"] * table["ftk_by_fyk"]) * 1e6, class_, type_, fabrication,
            diagram_type)
        self._mat_reinforcement_list.append(material)
        return material

    def _create_cross_section_parameter(self, cross_section_type, material, name=None,
                                        **parameters):
        i = len(self._cross_section_list) + 1
        section = CrossSectionParameter(i, name or "", cross_section_type,
                                        _ref(material, "MatConcrete"), **parameters)
        self._cross_section_list.append(section)
        return section

    def _create_reinforced_cross_section(self, cross_section, name=None):
        i = len(self._reinforced_cross_section_list) + 1
        rcs = ReinforcedCrossSection(i, name or f"R{i}", _ref(cross_section, "CrossSection"))
        self._reinforced_cross_section_list.append(rcs)
        return rcs

    def _create_check_member1d(self, name=None):
        i = len(self._check_member_list) + 1
        member = CheckMember1D(i, name or f"M {i}")
        self._check_member_list.append(member)
        return member

    def _add_check_section(self, check_member, reinf_section, description=None):
        i = len(self._check_section_list) + 1
        section = StandardCheckSection(i, description or f"S{i}",
                                       _ref(check_member, "CheckMember"),
                                       _ref(reinf_section, "ReinforcedCrossSection"))
        self._check_section_list.append(section)
        return section

    def _add_member_data_ec2(self, member, member_type, two_way_slab_type,
                             calculation_setup=None, coeff_kx_for_wmax=None,
                             exposure_class_data=None, creep_coefficient=None,
                             relative_humidity=None):
        self._attribute_list.append(ConcreteMemberDataEc2(
            _ref(member, "CheckMember"), member_type, two_way_slab_type, calculation_setup,
            coeff_kx_for_wmax, exposure_class_data, creep_coefficient, relative_humidity))

    def _serialize(self):
        mapping = {key: [(type(o).__name__, o) for o in getattr(self, "_" + key)]
                   for key in LISTS}
        mapping["project_data"] = self._project_data
        mapping["code_settings"] = self._code_settings
        return json.loads(json.dumps(mapping, cls=_EnumEncoder))

    def generate_xml_input(self, *, as_file=False):
        serialized_model_ = self._serialize()
        serialized_model_bytes_string = json.dumps(serialized_model_).encode("utf-8")
        serialized_model = base64.b64encode(
            gzip.compress(serialized_model_bytes_string, compresslevel=9)).decode("utf-8")
        body = {"input": serialized_model}
        try:
            result = core._post_on_addon_endpoint("fillvarennatemplate/v3/jobs/", body,
                                                  timeout=60)
        except InternalError as e:
            raise Exception("Input file could not be generated, please check your model") from e
        input_file = gzip.decompress(base64.b64decode(result["input_file"]))
        return core.File.from_data(input_file) if as_file else io.BytesIO(input_file)


class RectSection:
    def __init__(self, width, height):
        self._type = CrossSectionType.RECT
        self._parameters = {"Width": width, "Height": height}


class Beam:
    def __init__(self, rcs, check_section):
        self._rcs = rcs
        self._check_section = check_section

    def create_bar(self, coordinates, diameter, material):
        self._rcs.create_bar(coordinates, diameter, material)

    def create_bar_layer(self, *, origin, diameter, material, number_of_bars, delta_y=None,
                         delta_z=None):
        self._rcs.create_bar_layer(origin=origin, diameter=diameter, material=material,
                                   number_of_bars=number_of_bars, delta_y=delta_y,
                                   delta_z=delta_z)

    def create_stirrup(self, points, diameter, material, distance, *, shear_check=None,
                       torsion_check=None, mandrel_diameter_factor=None, anchorage_length=None):
        self._rcs.create_stirrup(points, diameter, material, distance, shear_check,
                                 torsion_check, mandrel_diameter_factor, anchorage_length)

    def create_extreme(self, **loadings):
        self._check_section.create_extreme(**loadings)


class Model(_Model):
    def __init__(self, *, project_data=None, code_settings=None):
        super().__init__(project_data, code_settings)

    def create_concrete_material(self, base_material, name=None, **settings):
        return self._create_matconcrete_ec2(base_material, name, **settings)

    def create_reinforcement_material(self, base_material, name=None, **settings):
        return self._create_matreinforcement_ec2(base_material, name, **settings)

    def create_beam(self, cs, material, *, name=None, rcs_name=None, design_member_name=None):
        section = self._create_cross_section_parameter(cs._type, material, None,
                                                       **cs._parameters)
        rcs = self._create_reinforced_cross_section(section, rcs_name)
        member = self._create_check_member1d(design_member_name)
        check_section = self._add_check_section(member, rcs, name)
        self._add_member_data_ec2(member, MemberType.BEAM, TwoWaySlabType.SLAB)
        return Beam(rcs, check_section)


def job_content(input_file):
    """VarennaAnalysis(input_file=...)._generate_job_content() in plain Python."""
    return _JobContent(body=base64.b64encode(input_file.getvalue_binary()).decode("ascii"),
                       return_result_xml=True, return_rcs_file=False)
