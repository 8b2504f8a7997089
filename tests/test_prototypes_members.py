"""Section prototypes and members: abstract classes, shapes, snapshots and forwarding."""

import abc
import inspect

import pytest

from quillon.external.varenna import varenna
from quillon.external.varenna.objects import (
    ConcreteMaterial, CrossSectionType, LoadingSLS, LoadingULS, ReinforcementMaterial,
    ResultOfInternalForces)

ABSTRACT = [varenna._SectionPrototype, varenna.SectionPrototype1D, varenna._SectionPrototype2D]


class TestAbstractPrototypes:
    @pytest.mark.parametrize("cls", ABSTRACT)
    def test_cannot_be_instantiated(self, cls):
        assert issubclass(cls, abc.ABC)
        with pytest.raises(TypeError, match="Can't instantiate abstract class"):
            cls() if cls is not varenna._SectionPrototype2D else cls(0.2)

    @pytest.mark.parametrize("cls", ABSTRACT)
    def test_abstract_members(self, cls):
        assert cls.__abstractmethods__ == {"__init__", "_type", "_parameters"}

    @pytest.mark.parametrize("cls", ABSTRACT)
    @pytest.mark.parametrize("member", ["_type", "_parameters"])
    def test_unimplemented_members_raise_without_message(self, cls, member):
        class Half(cls):
            def __init__(self):
                pass
        Half.__abstractmethods__ = frozenset()  # keep the inherited, unimplemented members
        with pytest.raises(NotImplementedError) as info:
            getattr(Half(), member)
        assert info.value.args == ()

    def test_constructors(self):
        class Base(varenna._SectionPrototype):
            _type = _parameters = None

            def __init__(self):
                self.result = super().__init__()
        assert Base().result is None  # the root constructor does nothing

        class OneD(varenna.SectionPrototype1D):
            _type = _parameters = None

            def __init__(self):
                super().__init__()
        with pytest.raises(NotImplementedError):
            OneD()

        class TwoD(varenna._SectionPrototype2D):
            _type = _parameters = None

            def __init__(self, thickness):
                super().__init__(thickness)
        assert TwoD(0.25)._thickness == 0.25

    def test_documentation_and_hierarchy(self):
        assert varenna._SectionPrototype.__doc__ == \
            "Abstract base class of all section prototypes."
        assert varenna.SectionPrototype1D.__doc__ == \
            "Abstract base class of all 1D (beam-like) section prototypes."
        assert varenna._SectionPrototype2D.__doc__ == \
            "Abstract base class of all 2D (plate-like) section prototypes."
        assert varenna.RectSection.__mro__[1:3] == (varenna.SectionPrototype1D,
                                                    varenna._SectionPrototype)
        assert varenna.GeneralShape.__bases__ == (varenna.SectionPrototype1D,)


class TestRectSection:
    def test_type_and_parameters(self):
        rect = varenna.RectSection(0.5, 1.0)
        assert rect._type is CrossSectionType.RECT
        assert rect._parameters == {"Width": 0.5, "Height": 1.0}

    @pytest.mark.parametrize("width, height", [(1, 2), (0, -3.5)])
    def test_values_are_kept_unchanged(self, width, height):
        rect = varenna.RectSection(height=height, width=width)
        assert (rect._width, rect._height) == (width, height)
        assert type(rect._parameters["Width"]) is type(width)

    def test_parameters_is_a_new_dict_each_read(self):
        rect = varenna.RectSection(0.5, 1.0)
        first = rect._parameters
        first["Width"] = 9
        assert rect._parameters == {"Width": 0.5, "Height": 1.0}
        assert rect._parameters is not rect._parameters


class TestGeneralShape:
    def test_type_parameters_and_fields(self):
        outline = [(0, 0), (1, 0), (1, 1)]
        shape = varenna.GeneralShape(outline)
        assert shape._type is CrossSectionType.GENERAL
        assert shape._parameters == {} and shape._parameters is not shape._parameters
        assert shape._outline is outline and shape._openings is None

    def test_openings_are_keyword_only_and_kept(self):
        openings = [[(0.1, 0.1), (0.2, 0.1), (0.2, 0.2)]]
        shape = varenna.GeneralShape(outline=[], openings=openings)
        assert shape._openings is openings
        with pytest.raises(TypeError, match="positional argument"):
            varenna.GeneralShape([], openings)

    def test_documents_the_outline_rules(self):
        assert "A minimum of 3 vertices" in varenna.GeneralShape.__doc__
        assert "automatically closed" in varenna.GeneralShape.__doc__


class FakeRcs:
    def __init__(self):
        self.bars, self.stirrups, self.calls = [], [], []

    def create_bar(self, *args, **kwargs):
        self.calls.append(("create_bar", args, kwargs))
        self.bars.append(args)
        return "bar"

    def create_bar_layer(self, *args, **kwargs):
        self.calls.append(("create_bar_layer", args, kwargs))
        return "layer"

    def create_stirrup(self, *args, **kwargs):
        self.calls.append(("create_stirrup", args, kwargs))
        return "stirrup"


class FakeSection:
    def __init__(self):
        self.extremes, self.calls = [], []

    def create_extreme(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "extreme"


@pytest.fixture
def member():
    return varenna.Member(FakeRcs(), FakeSection())


class TestMemberClasses:
    def test_classes(self):
        assert varenna.Member.__doc__ == " Base class of all member types. "
        for cls in (varenna.Beam, varenna.CompressionMember, varenna.OneWaySlab):
            assert cls.__bases__ == (varenna.Member,) and "Model." in cls.__doc__
            assert cls(1, 2)._rcs == 1
        assert "Member" not in varenna.__all__

    def test_constructor_stores_both_objects(self):
        rcs, section = object(), object()
        m = varenna.Beam(check_section=section, rcs=rcs)
        assert m._rcs is rcs and m._check_section is section


class TestSnapshots:
    @pytest.mark.parametrize("prop, holder, attr", [
        ("bars", "_rcs", "bars"), ("stirrups", "_rcs", "stirrups"),
        ("extremes", "_check_section", "extremes")])
    def test_new_list_each_read(self, member, prop, holder, attr):
        getattr(getattr(member, holder), attr).extend([1, 2])
        first = getattr(member, prop)
        assert first == [1, 2] and first is not getattr(member, prop)
        first.append(3)
        assert getattr(getattr(member, holder), attr) == [1, 2]


class TestForwarding:
    def test_create_bar(self, member):
        assert member.create_bar((0, 1), 0.02, "steel") is None
        assert member._rcs.calls == [("create_bar", ((0, 1), 0.02, "steel"), {})]
        assert member.bars == [((0, 1), 0.02, "steel")]

    def test_create_bar_layer_by_keyword_with_none(self, member):
        assert member.create_bar_layer(origin=(0.0, 0.0), diameter=0.016, material="m",
                                       number_of_bars=3) is None
        assert member._rcs.calls == [("create_bar_layer", (), {
            "origin": (0.0, 0.0), "diameter": 0.016, "material": "m", "number_of_bars": 3,
            "delta_y": None, "delta_z": None})]
        assert list(member._rcs.calls[0][2]) == ["origin", "diameter", "material",
                                                 "number_of_bars", "delta_y", "delta_z"]

    def test_create_stirrup_forwards_eight_positional(self, member):
        assert member.create_stirrup([(0, 0)], 0.01, "m", 0.2) is None
        assert member._rcs.calls == [("create_stirrup",
                                      ([(0, 0)], 0.01, "m", 0.2, None, None, None, None), {})]

    def test_create_extreme_forwards_seven_keywords(self, member):
        assert member.create_extreme() is None
        [(args, kwargs)] = member._check_section.calls
        assert args == () and list(kwargs) == [
            "description", "accidental", "fatigue", "frequent", "fundamental",
            "characteristic", "quasi_permanent"]
        assert set(kwargs.values()) == {None}

    @pytest.mark.parametrize("name", ["origin", "diameter", "material", "number_of_bars"])
    def test_missing_required_keyword(self, member, name):
        kwargs = dict(origin=(0, 0), diameter=0.1, material="m", number_of_bars=2)
        del kwargs[name]
        with pytest.raises(TypeError) as info:
            member.create_bar_layer(**kwargs)
        assert str(info.value) == f"create_bar_layer() needs keyword-only argument {name}"

    @pytest.mark.parametrize("call", [
        lambda m: m.create_bar_layer((0, 0), 0.1, "m", 2),
        lambda m: m.create_extreme("d"),
        lambda m: m.create_bar((0, 0), 0.1),
        lambda m: m.create_bar((0, 0), 0.1, "m", 4),
        lambda m: m.create_stirrup([], 0.1, "m"),
        lambda m: m.create_stirrup([], 0.1, "m", 0.2, 1, 2, 3, 4, 5),
    ])
    def test_positional_count_errors(self, member, call):
        with pytest.raises(TypeError, match="positional argument"):
            call(member)
        assert member._rcs.calls == [] and member._check_section.calls == []

    def test_errors_of_the_store_objects_pass_unchanged(self):
        model = varenna.Model()
        steel = model.create_reinforcement_material(ReinforcementMaterial.B_500B)
        beam = model.create_beam(varenna.RectSection(0.3, 0.5),
                                 model.create_concrete_material(ConcreteMaterial.C30_37))
        with pytest.raises(ValueError, match="minimum of 2"):
            beam.create_bar_layer(origin=(0, 0), diameter=0.01, material=steel, number_of_bars=1)
        with pytest.raises(TypeError, match="frequent must be a LoadingSLS"):
            beam.create_extreme(frequent=LoadingULS(ResultOfInternalForces()))
        assert beam.bars == [] and beam.extremes == []

    def test_real_objects(self):
        model = varenna.Model()
        steel = model.create_reinforcement_material(ReinforcementMaterial.B_500B)
        beam = model.create_beam(varenna.RectSection(0.3, 0.5),
                                 model.create_concrete_material(ConcreteMaterial.C30_37))
        beam.create_bar_layer(origin=(-0.1, -0.2), diameter=0.016, material=steel,
                              number_of_bars=3, delta_y=0.2)
        beam.create_stirrup([(0, 0), (0.1, 0), (0.1, 0.1)], 0.008, steel, 0.15)
        beam.create_extreme(frequent=LoadingSLS(ResultOfInternalForces(N=-100000, My=210000)))
        assert [b.coordinates for b in beam.bars] == [[-0.1, -0.2], [0.0, -0.2], [0.1, -0.2]]
        assert beam.stirrups[0].mandrel_diameter_factor == 1.0
        assert beam.extremes[0].description == "S1 - E 1"
        assert model._reinforced_cross_section_list[0].bars == beam.bars

    def test_signatures(self):
        assert str(inspect.signature(varenna.Member.create_bar_layer)).startswith(
            "(self, *, origin")
        assert inspect.signature(varenna.Member.bars.fget).return_annotation == \
            "List[ReinforcedBar]"
