"""The model store: its lists, project data and code settings, identifiers, default names,
reference records, and a store left untouched by every failing creator."""

import pytest

from quillon.external.varenna import varenna
from quillon.external.varenna.objects import (
    BarSurface, CodeSettings, ConcAggregateType, ConcCementClass, ConcDiagramType,
    ConcreteMaterial, CrossSectionType, MemberType, ProjectData, ReinfClass,
    ReinfDiagramType, ReinfFabrication, ReinforcementMaterial, ReinfType, ThermalState,
    TwoWaySlabType, _MATERIAL_NAMES, _MATERIAL_PROPERTIES)

LISTS = ["_mat_concrete_list", "_mat_reinforcement_list", "_cross_section_list",
         "_reinforced_cross_section_list", "_check_member_list", "_check_section_list",
         "_attribute_list"]

C = ConcreteMaterial.C30_37
B = ReinforcementMaterial.B_500B


@pytest.fixture
def model():
    return varenna._Model()


def snapshot(model):
    return [list(getattr(model, name)) for name in LISTS]


class Falsy:
    def __bool__(self):
        return False


class TestConstruction:
    def test_new_model_has_seven_empty_lists_in_order(self, model):
        assert [k for k in vars(model) if k.endswith("_list")] == LISTS
        assert all(getattr(model, name) == [] for name in LISTS)
        assert list(vars(model))[-2:] == ["_project_data", "_code_settings"]

    def test_defaults_are_built_once_and_returned_by_identity(self, model):
        assert type(model.project_data) is ProjectData
        assert model.project_data is model.project_data
        assert type(model.code_settings) is CodeSettings
        assert model.code_settings is model.code_settings

    def test_caller_objects_are_kept_by_reference(self):
        data, settings = ProjectData(name="p"), CodeSettings()
        model = varenna._Model(data, code_settings=settings)
        assert model.project_data is data and model.code_settings is settings

    @pytest.mark.parametrize("value", [None, Falsy(), 0, ""])
    def test_falsy_project_data_and_settings_are_replaced(self, value):
        model = varenna._Model(value, value)
        assert type(model.project_data) is ProjectData
        assert type(model.code_settings) is CodeSettings

    def test_properties_are_read_only(self, model):
        with pytest.raises(AttributeError):
            model.project_data = ProjectData()

    def test_too_many_arguments(self):
        with pytest.raises(TypeError, match=r"__init__\(\) takes at most 3 positional"):
            varenna._Model(None, None, None)

    def test_class_holds_no_data(self):
        own = {k for k in vars(varenna._Model) if not k.startswith("__")}
        assert own == {"project_data", "code_settings", "_create_matconcrete_ec2",
                       "_create_matreinforcement_ec2", "_create_cross_section_component",
                       "_create_cross_section_parameter", "_create_reinforced_cross_section",
                       "_create_check_member1d", "_add_check_section", "_add_member_data_ec2",
                       "_serialize", "generate_xml_input"}
        assert varenna._Model.__bases__ == (object,)
        assert "_Model" not in varenna.__all__


class TestIdentifiers:
    def test_material_sequences_are_separate(self, model):
        assert model._create_matconcrete_ec2(C).id == 1
        assert model._create_matreinforcement_ec2(B).id == 1
        assert model._create_matconcrete_ec2(C).id == 2

    def test_both_cross_section_kinds_share_one_sequence(self, model):
        mat = model._create_matconcrete_ec2(C)
        ids = [model._create_cross_section_parameter(CrossSectionType.RECT, mat).id,
               model._create_cross_section_parameter(CrossSectionType.O, mat, D=1).id,
               model._create_cross_section_component().id]
        assert ids == [1, 2, 3]

    def test_identifier_follows_list_length(self, model):
        model._check_member_list.append("placeholder")
        assert model._create_check_member1d().id == 2

    def test_member_data_takes_no_identifier(self, model):
        member = model._create_check_member1d()
        model._add_member_data_ec2(member, MemberType.BEAM, TwoWaySlabType.SLAB)
        assert model._create_check_member1d().id == 2
        assert not hasattr(model._attribute_list[0], "id")


class TestDefaultNames:
    @pytest.mark.parametrize("name", [None, ""])
    def test_reinforced_cross_section(self, model, name):
        cs = model._create_cross_section_component()
        model._create_reinforced_cross_section(cs)
        model._create_reinforced_cross_section(cs)
        assert model._create_reinforced_cross_section(cs, name).name == "R3"

    def test_check_member_given_name_then_default(self, model):
        assert model._create_check_member1d("M 1").name == "M 1"
        assert model._create_check_member1d().name == "M 2"

    def test_check_member_default_then_same_name(self, model):
        assert model._create_check_member1d().name == "M 1"
        assert model._create_check_member1d("M 1").name == "M 1"

    def test_check_section_description(self, model):
        member = model._create_check_member1d()
        rcs = model._create_reinforced_cross_section(model._create_cross_section_component())
        for _ in range(4):
            model._add_check_section(member, rcs)
        assert model._add_check_section(member, rcs).description == "S5"
        assert model._add_check_section(member, rcs, "mine").description == "mine"

    @pytest.mark.parametrize("name", [None, ""])
    def test_cross_sections_default_to_empty_name(self, model, name):
        mat = model._create_matconcrete_ec2(C)
        assert model._create_cross_section_component(name).name == ""
        assert model._create_cross_section_parameter(CrossSectionType.RECT, mat, name).name == ""

    @pytest.mark.parametrize("name", [None, ""])
    def test_materials_default_to_table_name(self, model, name):
        assert model._create_matconcrete_ec2(C, name).name == _MATERIAL_NAMES[C]["name"]
        assert model._create_matreinforcement_ec2(B, name).name == _MATERIAL_NAMES[B]["name"]


class TestReferences:
    def test_kind_strings_and_target_ids(self, model):
        model._create_matconcrete_ec2(C)
        mat = model._create_matconcrete_ec2(C)
        cs = model._create_cross_section_parameter(CrossSectionType.RECT, mat)
        rcs = model._create_reinforced_cross_section(cs)
        member = model._create_check_member1d()
        section = model._add_check_section(member, rcs)
        model._add_member_data_ec2(member, MemberType.BEAM, TwoWaySlabType.SLAB)
        assert (cs.material.id, cs.material.kind) == (2, "MatConcrete")
        assert (rcs.cross_section.id, rcs.cross_section.kind) == (1, "CrossSection")
        assert (section.member.id, section.member.kind) == (1, "CheckMember")
        assert (section.reinforced_cross_section.id,
                section.reinforced_cross_section.kind) == (1, "ReinforcedCrossSection")
        data = model._attribute_list[0]
        assert (data.member.id, data.member.kind) == (1, "CheckMember")

    def test_any_object_with_an_id_is_accepted(self, model):
        class Anything:
            id = 42
        rcs = model._create_reinforced_cross_section(Anything())
        assert rcs.cross_section.id == 42

    def test_id_is_read_at_creation(self, model):
        class Moving:
            id = 1
        target = Moving()
        member = model._create_check_member1d()
        section = model._add_check_section(member, target)
        target.id = 9
        assert section.reinforced_cross_section.id == 1


class TestCreatorValues:
    def test_concrete_defaults(self, model):
        mat = model._create_matconcrete_ec2(C)
        assert (mat.id, mat.name) == (1, "C30/37")
        assert mat.e_modulus == 32800 * 1e6 and type(mat.e_modulus) is float
        assert mat.g_modulus == 13667 * 1e6
        assert mat.fck == _MATERIAL_PROPERTIES[C]["fck"] * 1e6
        assert type(mat.thermal_state) is ThermalState
        assert mat.stone_diameter == 0.016
        assert (mat.cement_class, mat.aggregate_type, mat.diagram_type) == (
            ConcCementClass.R, ConcAggregateType.QUARTZITE, ConcDiagramType.PARABOLIC)
        assert (mat.poisson, mat.unit_mass, mat.specific_heat, mat.thermal_expansion,
                mat.thermal_conductivity, mat.is_default, mat.order_in_code, mat.silica_fume,
                mat.plain_concrete_diagram, mat.dep_params) == (
            0.2, 2500, 0.6, 1e-05, 45, False, 1, False, False, None)
        assert model._mat_concrete_list == [mat]

    def test_each_concrete_gets_a_fresh_thermal_state(self, model):
        first, second = model._create_matconcrete_ec2(C), model._create_matconcrete_ec2(C)
        assert first.thermal_state is not second.thermal_state
        state = ThermalState()
        assert model._create_matconcrete_ec2(C, thermal_state=state).thermal_state is state

    @pytest.mark.parametrize("fck, expected", [(None, 30), (0, 30), (45, 45)])
    def test_concrete_strength(self, model, fck, expected):
        assert model._create_matconcrete_ec2(C, fck_28=fck).fck == expected * 1e6

    def test_reinforcement_defaults(self, model):
        mat = model._create_matreinforcement_ec2(B)
        p = _MATERIAL_PROPERTIES[B]
        assert (mat.id, mat.name) == (1, "B 500B")
        assert mat.e_modulus == 200000 * 1e6 and mat.g_modulus == 83333 * 1e6
        assert mat.fyk == p["fyk"] * 1e6
        assert mat.ftk_by_fyk == p["ftk_by_fyk"]
        assert mat.epsuk == p["epsuk"] * 1e-4
        assert mat.ftk == p["fyk"] * p["ftk_by_fyk"] * 1e6
        assert (mat.bar_surface, mat.class_, mat.type_, mat.fabrication, mat.diagram_type) == (
            BarSurface.RIBBED, ReinfClass.B, ReinfType.BARS, ReinfFabrication.HOT_ROLLED,
            ReinfDiagramType.BILINEAR_INCLINED)
        assert (mat.unit_mass, mat.poisson) == (7850, 0.2)

    # Parameters the creators store unchanged, each given its own marker: a value that lands in
    # another parameter's field shows up as the wrong marker.
    SHARED = ["poisson", "unit_mass", "specific_heat", "thermal_expansion",
              "thermal_conductivity", "is_default", "order_in_code", "thermal_state"]
    PASSED = {
        "_create_matconcrete_ec2": ["stone_diameter", "cement_class", "aggregate_type",
                                    "diagram_type", "silica_fume", "plain_concrete_diagram",
                                    "dep_params"],
        "_create_matreinforcement_ec2": ["bar_surface", "class_", "type_", "fabrication",
                                         "diagram_type"],
    }
    ORDER = {
        "_create_matconcrete_ec2": SHARED + ["fck_28"] + PASSED["_create_matconcrete_ec2"],
        "_create_matreinforcement_ec2": SHARED + ["bar_surface", "fyk", "ftk_by_fyk", "epsuk",
                                                  "ftk", "class_", "type_", "fabrication",
                                                  "diagram_type"],
    }

    @pytest.mark.parametrize("creator, base", [("_create_matconcrete_ec2", C),
                                               ("_create_matreinforcement_ec2", B)])
    @pytest.mark.parametrize("by_keyword", [True, False], ids=["keywords", "positions"])
    def test_every_value_reaches_its_own_field(self, model, creator, base, by_keyword):
        markers = {name: type(name, (), {})() for name in self.SHARED + self.PASSED[creator]}
        numbers = {"e_modulus": 3, "g_modulus": 5, "fck_28": 7, "fyk": 11, "ftk_by_fyk": 13,
                   "epsuk": 17, "ftk": 19}
        order = ["e_modulus", "g_modulus"] + self.ORDER[creator]
        values = {**markers, **{k: v for k, v in numbers.items() if k in order}}
        if by_keyword:
            mat = getattr(model, creator)(base, "N", **values)
        else:
            mat = getattr(model, creator)(base, "N", *[values[name] for name in order])
        assert mat.name == "N" and (mat.e_modulus, mat.g_modulus) == (3e6, 5e6)
        for name, marker in markers.items():
            assert getattr(mat, name) is marker, name
        if creator == "_create_matconcrete_ec2":
            assert mat.fck == 7e6
        else:
            assert (mat.fyk, mat.ftk_by_fyk, mat.epsuk, mat.ftk) == (11e6, 13, 17 * 1e-4, 19e6)

    @pytest.mark.parametrize("creator, store_creator", [
        ("create_matconcrete_ec2", "_create_matconcrete_ec2"),
        ("create_matreinforcement_ec2", "_create_matreinforcement_ec2")])
    def test_open_model_hands_every_value_on_in_order(self, creator, store_creator,
                                                      monkeypatch):
        calls = []
        monkeypatch.setattr(varenna._Model, store_creator,
                            lambda self, *args, **kwargs: calls.append((args, kwargs)))
        order = ["e_modulus", "g_modulus"] + self.ORDER[store_creator]
        values = {name: type(name, (), {})() for name in order}
        getattr(varenna.OpenModel(), creator)("base", "N", **values)
        assert calls == [(("base", "N", *[values[name] for name in order]), {})]

    def test_tensile_strength_default_ignores_given_strengths(self, model):
        p = _MATERIAL_PROPERTIES[B]
        mat = model._create_matreinforcement_ec2(B, fyk=600, ftk_by_fyk=1.3)
        assert mat.fyk == 600 * 1e6 and mat.ftk_by_fyk == 1.3
        assert mat.ftk == p["fyk"] * p["ftk_by_fyk"] * 1e6

    @pytest.mark.parametrize("field", ["fyk", "ftk_by_fyk", "epsuk", "ftk"])
    def test_zero_strengths_fall_back_to_table(self, model, field):
        assert getattr(model._create_matreinforcement_ec2(B, **{field: 0}), field) == getattr(
            model._create_matreinforcement_ec2(B), field)

    def test_given_values_are_converted(self, model):
        mat = model._create_matreinforcement_ec2(B, epsuk=75, ftk=700, e_modulus=1)
        assert mat.epsuk == 75 * 1e-4 and mat.ftk == 700 * 1e6 and mat.e_modulus == 1e6

    def test_parameters_are_passed_as_keywords(self, model):
        mat = model._create_matconcrete_ec2(C)
        cs = model._create_cross_section_parameter(CrossSectionType.RECT, mat, "r",
                                                   Width=2.0, Height=2.0, Unknown=3)
        assert cs.parameters == {"Width": 2.0, "Height": 2.0, "Unknown": 3}
        assert (cs.name, cs.cross_section_type) == ("r", CrossSectionType.RECT)

    @pytest.mark.parametrize("cls, creator", [
        (varenna._Model, "_create_cross_section_parameter"),
        (varenna.OpenModel, "create_cross_section_parameter")])
    def test_keyword_named_like_the_collector_is_a_shape_parameter(self, cls, creator):
        model = cls()
        mat = model._create_matconcrete_ec2(C)
        cs = getattr(model, creator)(CrossSectionType.RECT, mat, parameters=5, Width=1)
        assert cs.parameters == {"parameters": 5, "Width": 1}

    def test_member_data_passes_settings_unchanged(self, model):
        member = model._create_check_member1d()
        assert model._add_member_data_ec2(member, MemberType.COLUMN, TwoWaySlabType.WALL,
                                          None, 2.0, None, 1.5, 80) is None
        data = model._attribute_list[0]
        assert (data.member_type, data.two_way_slab_type, data.coeff_kx_for_wmax,
                data.creep_coefficient, data.relative_humidity) == (
            MemberType.COLUMN, TwoWaySlabType.WALL, 2.0, 1.5, 80)
        model._add_member_data_ec2(member, MemberType.BEAM, TwoWaySlabType.SLAB)
        assert len(model._attribute_list) == 2

    def test_creators_return_the_appended_object(self, model):
        mat = model._create_matconcrete_ec2(C)
        assert model._mat_concrete_list[-1] is mat
        rcs = model._create_reinforced_cross_section(model._create_cross_section_component())
        rcs.create_bar((0, 0), 0.01, model._create_matreinforcement_ec2(B))
        assert model._reinforced_cross_section_list[0].bars == rcs.bars


class Unknown:
    pass


def failing_calls(model):
    """Creator calls that fail at different steps, each with the error it raises."""
    mat = model._create_matconcrete_ec2(C)
    member = model._create_check_member1d()
    rcs = model._create_reinforced_cross_section(model._create_cross_section_component())
    return [
        (lambda: model._create_matconcrete_ec2("no such grade"), KeyError),
        (lambda: model._create_matconcrete_ec2(C, e_modulus="x"), TypeError),
        (lambda: model._create_matreinforcement_ec2("no such grade"), KeyError),
        (lambda: model._create_matreinforcement_ec2(B, "named", fyk=1, ftk_by_fyk=1, epsuk=1,
                                                    ftk=[1]), TypeError),
        (lambda: model._create_cross_section_parameter(CrossSectionType.RECT, Unknown()),
         AttributeError),
        (lambda: model._create_cross_section_parameter(CrossSectionType.RECT, mat,
                                                       material=1), TypeError),
        (lambda: model._create_reinforced_cross_section(Unknown()), AttributeError),
        (lambda: model._add_check_section(member, Unknown()), AttributeError),
        (lambda: model._add_check_section(Unknown(), rcs), AttributeError),
        (lambda: model._add_member_data_ec2(Unknown(), MemberType.BEAM, None), AttributeError),
    ]


class TestFailuresLeaveStoreUnchanged:
    @pytest.mark.parametrize("index", range(10))
    def test_failing_creator(self, model, index):
        call, error = failing_calls(model)[index]
        before = snapshot(model)
        with pytest.raises(error):
            call()
        assert snapshot(model) == before

    def test_next_call_gets_the_identifier_of_the_failed_one(self, model, monkeypatch):
        model._create_check_member1d()
        from quillon.external.varenna import objects

        def broken(*args):
            raise RuntimeError("constructor failed")
        original = objects.CheckMember1D
        monkeypatch.setattr(objects.CheckMember1D, "__init__", broken)
        with pytest.raises(RuntimeError, match="constructor failed"):
            model._create_check_member1d()
        monkeypatch.undo()
        assert objects.CheckMember1D is original
        member = model._create_check_member1d()
        assert (member.id, member.name) == (2, "M 2")

    def test_missing_table_key_fails_only_when_needed(self, model, monkeypatch):
        from quillon.external.varenna import objects
        monkeypatch.setitem(objects._MATERIAL_PROPERTIES, B, {"fyk": 500})
        with pytest.raises(KeyError, match="ftk_by_fyk"):
            model._create_matreinforcement_ec2(B)
        mat = model._create_matreinforcement_ec2(B, ftk_by_fyk=1.1, epsuk=50, ftk=550)
        assert mat.id == 1 and mat.fyk == 500e6


class TestImport:
    """A host module that lacks a name the module relies on makes the import fail."""

    @pytest.mark.parametrize("module, name", [
        ("quillon.external.varenna.objects", "_OpenObject"),
        ("quillon.external.varenna.objects", "ThermalState"),
        ("quillon.external.varenna.objects", "_MATERIAL_PROPERTIES"),
        ("quillon.core", "_post_on_addon_endpoint"),
        ("quillon.core", "File"),
    ])
    def test_missing_host_name(self, module, name):
        import subprocess
        import sys
        code = (f"import importlib; host = importlib.import_module({module!r}); "
                f"delattr(host, {name!r})\n"
                "try:\n    import quillon.external.varenna.varenna\n"
                "except (ImportError, AttributeError) as exc:\n    print('failed:', exc)\n"
                "else:\n    print('imported')\n")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("failed:") and name in done.stdout
