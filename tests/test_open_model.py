"""OpenModel: the public faces of the store creators, their signatures, keyword-only
parameters and forwarding."""

import inspect

import pytest

from quillon.external.varenna import varenna
from quillon.external.varenna.objects import (
    CodeSettings, ConcCementClass, ConcreteMaterial, CrossSectionType, MatConcreteEc2,
    MemberType, ProjectData, ReinforcementMaterial, TwoWaySlabType)

C = ConcreteMaterial.C25_30
B = ReinforcementMaterial.B_400A


@pytest.fixture
def model():
    return varenna.OpenModel()


class Recorder(varenna.OpenModel):
    """Records how the public faces call the store creators (looked up on self)."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.calls = []

    def _record(name):
        def method(self, *args, **kwargs):
            self.calls.append((name, args, kwargs))
            return name
        return method

    _create_matconcrete_ec2 = _record("_create_matconcrete_ec2")
    _create_matreinforcement_ec2 = _record("_create_matreinforcement_ec2")
    _create_cross_section_component = _record("_create_cross_section_component")
    _create_cross_section_parameter = _record("_create_cross_section_parameter")
    _create_reinforced_cross_section = _record("_create_reinforced_cross_section")
    _create_check_member1d = _record("_create_check_member1d")
    _add_check_section = _record("_add_check_section")
    _add_member_data_ec2 = _record("_add_member_data_ec2")


class TestClass:
    def test_public_class_over_the_store(self):
        assert varenna.OpenModel.__bases__ == (varenna._Model,)
        assert varenna.OpenModel.__module__ == "quillon.external.varenna.varenna"
        assert "OpenModel" in varenna.__all__
        assert "validate" in varenna.OpenModel.__doc__

    def test_constructor_is_keyword_only(self):
        data, settings = ProjectData(), CodeSettings()
        model = varenna.OpenModel(project_data=data, code_settings=settings)
        assert model.project_data is data and model.code_settings is settings
        with pytest.raises(TypeError, match="positional argument"):
            varenna.OpenModel(data)

    @pytest.mark.parametrize("method", [
        "create_matconcrete_ec2", "create_matreinforcement_ec2",
        "create_cross_section_component", "create_cross_section_parameter",
        "create_reinforced_cross_section", "create_check_member1d", "add_check_section",
        "add_member_data_ec2"])
    def test_public_methods_are_documented(self, method):
        assert getattr(varenna.OpenModel, method).__doc__


class TestSignatures:
    @pytest.mark.parametrize("public, private", [
        ("create_matconcrete_ec2", "_create_matconcrete_ec2"),
        ("create_matreinforcement_ec2", "_create_matreinforcement_ec2"),
    ])
    def test_material_tail_is_keyword_only_with_same_defaults(self, public, private):
        mine = inspect.signature(getattr(varenna.OpenModel, public)).parameters
        base = inspect.signature(getattr(varenna._Model, private)).parameters
        assert list(mine) == list(base)
        kinds = [p.kind for p in mine.values()]
        assert kinds[:3] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 3
        assert set(kinds[3:]) == {inspect.Parameter.KEYWORD_ONLY}
        assert [p.default for p in mine.values()] == [p.default for p in base.values()]

    def test_store_defaults_are_the_enum_members(self):
        params = inspect.signature(varenna._Model._create_matconcrete_ec2).parameters
        assert params["cement_class"].default is ConcCementClass.R
        assert params["e_modulus"].default == 32800 and params["fck_28"].default is None
        assert len(params) == 21
        assert len(inspect.signature(varenna._Model._create_matreinforcement_ec2).parameters) == 22

    def test_two_positional_arguments_at_most_for_materials(self, model):
        with pytest.raises(TypeError, match="positional argument"):
            model.create_matconcrete_ec2(C, "name", 30000)
        with pytest.raises(TypeError, match="positional argument"):
            model.create_matreinforcement_ec2(B, "name", 200000)

    def test_member_data_takes_exactly_four_positional(self, model):
        with pytest.raises(TypeError) as info:
            model.add_member_data_ec2(1, 2, 3, None)
        assert str(info.value) == ("add_member_data_ec2() takes exactly 4 positional "
                                   "arguments (5 given)")

    def test_parameters_collects_free_keywords(self):
        params = inspect.signature(varenna.OpenModel.create_cross_section_parameter).parameters
        assert list(params) == ["self", "cross_section_type", "material", "name", "parameters"]
        assert params["parameters"].kind is inspect.Parameter.VAR_KEYWORD


class TestForwarding:
    def test_materials_pass_every_value_positionally(self):
        model = Recorder()
        assert model.create_matconcrete_ec2(C, fck_28=40) == "_create_matconcrete_ec2"
        name, args, kwargs = model.calls[-1]
        assert kwargs == {} and len(args) == 20
        assert args[:4] == (C, None, 32800, 13667) and args[12] == 40
        model.create_matreinforcement_ec2(B, "s", fyk=500)
        name, args, kwargs = model.calls[-1]
        assert kwargs == {} and len(args) == 21 and args[:2] == (B, "s") and args[13] == 500

    def test_simple_creators(self):
        model = Recorder()
        model.create_cross_section_component("c")
        model.create_reinforced_cross_section("cs")
        model.create_check_member1d()
        model.add_check_section("m", "r", description="d")
        assert model.calls == [
            ("_create_cross_section_component", ("c",), {}),
            ("_create_reinforced_cross_section", ("cs", None), {}),
            ("_create_check_member1d", (None,), {}),
            ("_add_check_section", ("m", "r", "d"), {}),
        ]

    def test_member_data_passes_eight_values_and_returns_none(self):
        model = Recorder()
        assert model.add_member_data_ec2("m", "t", "s", relative_humidity=70) is None
        assert model.calls == [("_add_member_data_ec2",
                                ("m", "t", "s", None, None, None, None, 70), {})]

    def test_shape_parameters_pass_unchanged(self):
        model = Recorder()
        model.create_cross_section_parameter(CrossSectionType.TG, "mat", Height=1, Odd=2)
        assert model.calls == [("_create_cross_section_parameter",
                                (CrossSectionType.TG, "mat", None), {"Height": 1, "Odd": 2})]


class TestRoad:
    def test_documented_order_builds_a_linked_model(self, model):
        concrete = model.create_matconcrete_ec2(C)
        cs = model.create_cross_section_parameter(CrossSectionType.RECT, concrete,
                                                  Width=2.0, Height=2.0)
        rcs = model.create_reinforced_cross_section(cs)
        steel = model.create_matreinforcement_ec2(B)
        rcs.create_bar((0.1, 0.1), 0.02, steel)
        member = model.create_check_member1d()
        section = model.add_check_section(member, rcs)
        section.create_extreme()
        assert model.add_member_data_ec2(member, MemberType.BEAM, TwoWaySlabType.SLAB) is None
        assert type(concrete) is MatConcreteEc2
        assert cs.parameters == {"Width": 2.0, "Height": 2.0}
        assert (section.description, section.member.id) == ("S1", 1)
        assert len(model._attribute_list) == 1
        serialised = model._serialize()
        assert serialised["reinforced_cross_section_list"][0][1]["bars"][0]["diameter"] == 0.02
        assert serialised["check_section_list"][0][1]["extremes"][0]["description"] == "S1 - E 1"
