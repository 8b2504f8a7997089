"""The Model facade: material creators with their defaults and strength resolution, the member
creators and the assembly of one section in the store."""

import inspect

import pytest

from quillon.external.varenna import varenna
from quillon.external.varenna.objects import (
    CalculationSetup, CodeSettings, ConcCementClass, ConcreteMaterial, CrossSectionComponent,
    CrossSectionParameter, CrossSectionType, ExposureClassesDataEc2, MemberType, ProjectData,
    ReinfDiagramType, ReinforcementMaterial, TwoWaySlabType, _MATERIAL_PROPERTIES)

C = ConcreteMaterial.C12_15
B = ReinforcementMaterial.B_400A
LISTS = ["_cross_section_list", "_reinforced_cross_section_list", "_check_member_list",
         "_check_section_list", "_attribute_list"]


@pytest.fixture
def model():
    return varenna.Model()


@pytest.fixture
def concrete(model):
    return model.create_concrete_material(C)


class Recording(varenna.Model):
    """Records the store creators' calls, then lets the store do its work."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.calls = []

    def _recorded(name):
        def method(self, *args, **kwargs):
            self.calls.append((name, args, kwargs))
            return getattr(varenna.Model, name)(self, *args, **kwargs)
        return method

    for _name in ["_create_matconcrete_ec2", "_create_matreinforcement_ec2",
                  "_create_cross_section_component", "_create_cross_section_parameter",
                  "_create_reinforced_cross_section", "_create_check_member1d",
                  "_add_check_section", "_add_member_data_ec2"]:
        locals()[_name] = _recorded(_name)
    del _name


class TestConstruction:
    def test_keyword_only(self):
        data, settings = ProjectData(), CodeSettings()
        model = varenna.Model(project_data=data, code_settings=settings)
        assert model.project_data is data and model.code_settings is settings
        with pytest.raises(TypeError, match="positional argument"):
            varenna.Model(data)

    def test_class(self):
        assert varenna.Model.__bases__ == (varenna._Model,)
        assert "create_beam" in varenna.Model.__doc__ and "by hand" in varenna.Model.__doc__


class TestMaterials:
    def test_concrete_call(self):
        model = Recording()
        model.create_concrete_material(C, "c", fck=30)
        [(name, args, kwargs)] = model.calls
        assert (name, args) == ("_create_matconcrete_ec2", (C, "c"))
        assert list(kwargs) == ["unit_mass", "fck_28", "stone_diameter", "cement_class",
                                "aggregate_type", "diagram_type", "silica_fume",
                                "plain_concrete_diagram", "dep_params"]
        assert kwargs["fck_28"] == 30 and kwargs["unit_mass"] == 2500
        assert kwargs["cement_class"] is ConcCementClass.R

    def test_concrete_values(self, model):
        mat = model.create_concrete_material(C, fck=30)
        assert mat.fck == 30e6 and mat.e_modulus == 32800e6 and mat.name == "C12/15"

    @pytest.mark.parametrize("fyk, k, expect_fyk, expect_k", [
        (None, None, 400, 1.05), (500, None, 500, 1.05), (0, 0.0, 400, 1.05),
        (None, 1.2, 400, 1.2), (450, 1.1, 450, 1.1)])
    def test_reinforcement_strength_resolution(self, fyk, k, expect_fyk, expect_k):
        model = Recording()
        mat = model.create_reinforcement_material(B, fyk=fyk, ftk_by_fyk=k)
        [(name, args, kwargs)] = model.calls
        assert list(kwargs) == ["unit_mass", "e_modulus", "fyk", "ftk_by_fyk", "ftk", "epsuk",
                                "type_", "bar_surface", "class_", "fabrication", "diagram_type"]
        assert (kwargs["fyk"], kwargs["ftk_by_fyk"]) == (expect_fyk, expect_k)
        assert kwargs["ftk"] == expect_fyk * expect_k and kwargs["epsuk"] is None
        assert mat.ftk == expect_fyk * expect_k * 1e6
        assert kwargs["diagram_type"] is ReinfDiagramType.BILINEAR_INCLINED

    def test_table_lookup_error_creates_nothing(self, model, monkeypatch):
        monkeypatch.delitem(_MATERIAL_PROPERTIES, B)
        with pytest.raises(KeyError):
            model.create_reinforcement_material(B)
        assert model._mat_reinforcement_list == []

    def test_positional_limits(self, model):
        with pytest.raises(TypeError, match="positional argument"):
            model.create_concrete_material(C, "c", 2400)
        with pytest.raises(TypeError, match="positional argument"):
            model.create_reinforcement_material(B, "s", 7850)


MEMBER_CREATORS = [("create_beam", varenna.Beam, MemberType.BEAM),
                   ("create_compression_member", varenna.CompressionMember, MemberType.COLUMN),
                   ("create_one_way_slab", varenna.OneWaySlab, MemberType.BEAM_SLAB)]


class TestMemberCreators:
    @pytest.mark.parametrize("creator, cls, member_type", MEMBER_CREATORS)
    def test_builds_five_objects_and_returns_member(self, model, concrete, creator, cls,
                                                    member_type):
        member = getattr(model, creator)(varenna.RectSection(0.5, 1.0), concrete)
        assert type(member) is cls
        assert member.bars == member.stirrups == member.extremes == []
        [cs] = model._cross_section_list
        assert type(cs) is CrossSectionParameter
        assert (cs.id, cs.name, cs.cross_section_type) == (1, "", CrossSectionType.RECT)
        assert cs.parameters == {"Width": 0.5, "Height": 1.0}
        [rcs], [check_member], [section], [data] = (getattr(model, n) for n in LISTS[1:])
        assert member._rcs is rcs and member._check_section is section
        assert (rcs.name, check_member.name, section.description) == ("R1", "M 1", "S1")
        assert (data.member.id, data.member_type, data.two_way_slab_type) == (
            1, member_type, TwoWaySlabType.SLAB)

    def test_second_member_gets_next_identifiers(self, model, concrete):
        model.create_beam(varenna.RectSection(0.5, 1.0), concrete)
        model.create_one_way_slab(varenna.RectSection(0.2, 1.0), concrete)
        assert [getattr(model, n)[-1].id for n in LISTS[:4]] == [2, 2, 2, 2]
        assert model._check_section_list[-1].description == "S2"

    def test_names_and_settings_reach_the_store(self, model, concrete):
        setup, exposure = CalculationSetup(torsion=True), ExposureClassesDataEc2()
        member = model.create_beam(varenna.RectSection(0.5, 1.0), concrete, name="S 1",
                                   rcs_name="R x", design_member_name="Girder",
                                   calculation_control=setup, exposure_classes=exposure,
                                   coeff_kx=1.5, creep_coefficient=2.0, relative_humidity=80)
        assert member._check_section.description == "S 1"
        assert member._rcs.name == "R x" and model._cross_section_list[0].name == ""
        assert model._check_member_list[0].name == "Girder"
        data = model._attribute_list[0]
        assert data.calculation_setup is setup and data.exposure_class_data is exposure
        assert (data.coeff_kx_for_wmax, data.creep_coefficient, data.relative_humidity) == (
            1.5, 2.0, 80)

    def test_general_shape_becomes_component_section(self, concrete):
        model = Recording()
        outline = [(0, 0), (1, 0), (1, 1)]

        class Shape(varenna.GeneralShape):
            @property
            def _type(self):
                raise AssertionError("not read")
            _parameters = _type
        member = model.create_compression_member(Shape(outline), concrete)
        [cs] = model._cross_section_list
        assert type(cs) is CrossSectionComponent and cs.name == ""
        assert cs.components[0].outline == [[0, 0], [1, 0], [1, 1], [0, 0]]
        assert cs.components[0].openings == []
        assert model.calls[0] == ("_create_cross_section_component", (), {})
        assert type(member) is varenna.CompressionMember

    def test_store_calls_in_order_with_argument_kinds(self, concrete):
        model = Recording()
        model.create_beam(varenna.RectSection(0.5, 1.0), concrete, rcs_name="r")
        names = [c[0] for c in model.calls]
        assert names == ["_create_cross_section_parameter", "_create_reinforced_cross_section",
                         "_create_check_member1d", "_add_check_section", "_add_member_data_ec2"]
        assert model.calls[0][1] == (CrossSectionType.RECT, concrete, None)
        assert model.calls[0][2] == {"Width": 0.5, "Height": 1.0}
        assert model.calls[1][1][1] == "r" and model.calls[2][1] == (None,)
        name, args, kwargs = model.calls[4]
        assert args[1:] == (MemberType.BEAM, TwoWaySlabType.SLAB)
        assert list(kwargs) == ["calculation_setup", "coeff_kx_for_wmax", "exposure_class_data",
                                "creep_coefficient", "relative_humidity"]

    def test_signature(self):
        sig = inspect.signature(varenna.Model.create_beam)
        assert str(sig).startswith("(self, cs: quillon.external.varenna.varenna.SectionPrototype1D"
                                   ", material")
        assert [p.kind for p in sig.parameters.values()][3:] == \
            [inspect.Parameter.KEYWORD_ONLY] * 8
        with pytest.raises(TypeError, match="positional argument"):
            varenna.Model().create_beam(1, 2, None)


class LoggedShape(varenna.GeneralShape):
    """A general shape whose cross-section logs the lookups made to build it."""

    def __init__(self, log):
        super().__init__([(0, 0), (1, 0), (1, 1)])
        self.log = log

    def __getattribute__(self, name):
        if name in ("_outline", "_openings", "_type", "_parameters"):
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)


class LoggedRect(varenna.RectSection):
    def __init__(self, log):
        super().__init__(0.5, 1.0)
        self.log = log

    def __getattribute__(self, name):
        if name in ("_type", "_parameters"):
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)


class LoggingModel(varenna.Model):
    def __init__(self):
        super().__init__()
        self.log = []

    def __getattribute__(self, name):
        if name in ("_create_cross_section_parameter",):
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)

    def _create_cross_section_component(self, name=None):
        log = self.log
        section = super()._create_cross_section_component(name)

        class Logged:
            id = section.id

            @property
            def create_component(self):
                log.append("create_component")
                return section.create_component
        return Logged()


class TestLookupOrder:
    """The prototype is read as the call `method(cs._a, material, k=cs._b)` reads it."""

    @pytest.mark.parametrize("shape, expected", [
        (LoggedShape, ["create_component", "_outline", "_openings"]),
        (LoggedRect, ["_create_cross_section_parameter", "_type", "_parameters"]),
    ])
    def test_method_before_its_arguments(self, shape, expected):
        model = LoggingModel()
        concrete = model.create_concrete_material(C)
        model.create_beam(shape(model.log), concrete)
        assert model.log == expected


class Overriding(varenna.Model):
    def _create_1d_section(self, *args, **kwargs):
        self.seen = (args, kwargs)
        return "rcs", "section"


class TestCreate1dSection:
    @pytest.mark.parametrize("creator, cls, member_type", MEMBER_CREATORS)
    def test_subclass_override_is_called(self, creator, cls, member_type):
        model = Overriding()
        member = getattr(model, creator)("cs", "mat", coeff_kx=1.1, design_member_name="d")
        args, kwargs = model.seen
        assert args == (member_type, "cs", "mat", None, None, None, None, 1.1, None, None)
        assert kwargs == {"design_member_name": "d"}
        assert type(member) is cls and (member._rcs, member._check_section) == ("rcs", "section")

    @pytest.mark.parametrize("result, error, message", [
        (("a",), ValueError, "not enough values to unpack"),
        (("a", "b", "c"), ValueError, "too many values to unpack"),
        (None, TypeError, "cannot unpack non-iterable NoneType object"),
    ])
    def test_result_must_be_a_pair(self, result, error, message):
        class Bad(varenna.Model):
            def _create_1d_section(self, *args, **kwargs):
                return result
        with pytest.raises(error, match=message):
            Bad().create_beam("cs", "mat")

    def test_signature(self):
        sig = inspect.signature(varenna.Model._create_1d_section)
        assert list(sig.parameters)[-1] == "design_member_name"
        assert sig.parameters["design_member_name"].kind is inspect.Parameter.KEYWORD_ONLY
        assert sig.return_annotation == "Tuple[ReinforcedCrossSection, CheckSection]"


class TestFailures:
    def test_none_parameters(self, model, concrete):
        class NoParameters(varenna.SectionPrototype1D):
            def __init__(self):
                pass
            _type = CrossSectionType.RECT
            _parameters = None
        with pytest.raises(TypeError, match=r"argument after \*\* must be a mapping, "
                                            r"not NoneType"):
            model.create_beam(NoParameters(), concrete)
        assert model._cross_section_list == []

    def test_missing_attribute(self, model, concrete):
        with pytest.raises(AttributeError, match="_type"):
            model.create_beam(object(), concrete)

    def test_no_rollback_when_a_step_fails(self, model, concrete):
        class Failing(varenna.Model):
            def _add_check_section(self, *args):
                raise RuntimeError("step 4")
        model = Failing()
        concrete = model.create_concrete_material(C)
        with pytest.raises(RuntimeError, match="step 4"):
            model.create_beam(varenna.RectSection(0.5, 1.0), concrete)
        assert [len(getattr(model, n)) for n in LISTS] == [1, 1, 1, 0, 0]

    def test_store_errors_pass_unchanged(self, model):
        class NoId:
            pass
        with pytest.raises(AttributeError, match="id"):
            model.create_beam(varenna.RectSection(0.5, 1.0), NoId())
        assert all(getattr(model, n) == [] for n in LISTS)


def test_typical_road_generates_xml():
    from quillon.external.varenna.objects import LoadingSLS, LoadingULS, ResultOfInternalForces
    model = varenna.Model()
    concrete = model.create_concrete_material(ConcreteMaterial.C12_15)
    steel = model.create_reinforcement_material(ReinforcementMaterial.B_400A)
    beam = model.create_beam(varenna.RectSection(0.5, 1.0), concrete)
    for point in [(-0.101, -0.175), (0.101, -0.175), (0.101, 0.175), (-0.101, 0.175)]:
        beam.create_bar(point, 0.016, steel)
    beam.create_extreme(frequent=LoadingSLS(ResultOfInternalForces(N=-100000, My=210000)),
                        fundamental=LoadingULS(ResultOfInternalForces(N=-99999, My=200000)))
    xml = model.generate_xml_input().getvalue()
    assert xml.startswith(b"<?xml") and xml.count(b"<ReinforcedBar>") + xml.count(
        b"<item>") >= 4
    assert b"S1 - E 1" in xml
