"""Serialisation of the store and generation of the input XML through the add-on service."""

import base64
import enum
import gzip
import inspect
import io
import json
import xml.etree.ElementTree as ET
import zlib

import pytest

from quillon import core
from quillon.errors import ExecutionError, InternalError
from quillon.external.varenna import varenna
from quillon.external.varenna.objects import (
    CodeSettings, ConcreteMaterial, CrossSectionType, LoadingULS, MatConcreteEc2, MemberType,
    ProjectData, ReinforcementMaterial, ResultOfInternalForces, TwoWaySlabType)

from model_support import Carrier, template_service, xml_answer  # noqa: F401  (fixture)

KEYS = ["mat_concrete_list", "mat_reinforcement_list", "cross_section_list",
        "reinforced_cross_section_list", "check_member_list", "check_section_list",
        "attribute_list", "project_data", "code_settings"]


def full_model():
    model = varenna.OpenModel()
    concrete = model.create_matconcrete_ec2(ConcreteMaterial.C30_37)
    steel = model.create_matreinforcement_ec2(ReinforcementMaterial.B_500B)
    cs = model.create_cross_section_parameter(CrossSectionType.RECT, concrete, Width=0.3,
                                              Height=0.6)
    rcs = model.create_reinforced_cross_section(cs)
    rcs.create_bar((0.1, 0.2), 0.02, steel)
    rcs.create_stirrup([(0, 0), (0.1, 0), ((0.1, 0.1), (0.12, 0.05))], 0.01, steel, 0.2)
    member = model.create_check_member1d()
    section = model.add_check_section(member, rcs)
    section.create_extreme()
    model.add_member_data_ec2(member, MemberType.BEAM, TwoWaySlabType.SLAB)
    return model


class TestSerialize:
    def test_empty_model(self):
        result = varenna.OpenModel()._serialize()
        assert list(result) == KEYS
        assert all(result[k] == [] for k in KEYS[:7])
        assert result["project_data"] == json.loads(json.dumps(ProjectData()._serialize()))
        assert result["code_settings"] == CodeSettings()._serialize()

    def test_pairs_of_class_name_and_encoding(self):
        model = varenna.OpenModel()
        mat = model.create_matconcrete_ec2(ConcreteMaterial.C12_15)
        [pair] = model._serialize()["mat_concrete_list"]
        assert type(pair) is list and pair[0] == "MatConcreteEc2"
        expected = json.loads(json.dumps(mat._serialize(), default=lambda o: (
            o.value if isinstance(o, enum.Enum) else o._serialize())))
        assert pair[1] == expected
        assert pair[1]["cement_class"] == "R" and pair[1]["thermal_state"]["expansion"] == "Code"

    def test_subclass_gives_its_own_class_name(self):
        class MyConcrete(MatConcreteEc2):
            pass
        model = varenna.OpenModel()
        mat = model.create_matconcrete_ec2(ConcreteMaterial.C12_15)
        mat.__class__ = MyConcrete
        assert model._serialize()["mat_concrete_list"][0][0] == "MyConcrete"

    def test_references_appear_where_the_vocabulary_puts_them(self):
        result = full_model()._serialize()
        section = result["check_section_list"][0][1]
        assert section["member"] == {"id": 1, "kind": "CheckMember"}
        assert result["cross_section_list"][0][1]["material"] == {"id": 1, "kind": "MatConcrete"}

    def test_result_is_plain_and_store_unchanged(self):
        model = full_model()
        before = {k: list(v) for k, v in vars(model).items() if k.endswith("_list")}
        result = model._serialize()
        assert json.loads(json.dumps(result)) == result
        assert {k: list(v) for k, v in vars(model).items() if k.endswith("_list")} == before
        assert model._serialize() == result

    def test_missing_serialize_fails(self):
        model = varenna.OpenModel()
        model._check_member_list.append(object())
        with pytest.raises(AttributeError, match="_serialize"):
            model._serialize()

    def test_signature(self):
        assert inspect.signature(varenna._Model._serialize).return_annotation == \
            "Dict[str, Tuple[str, dict]]"


def _replace_encoder(monkeypatch):
    class Loud(varenna._EnumEncoder):
        def default(self, o):
            return o.name if isinstance(o, enum.Enum) else super().default(o)
    monkeypatch.setattr(varenna, "_EnumEncoder", Loud)


def _patch_encoder_method(monkeypatch):
    original = varenna._EnumEncoder.default

    def default(self, o):
        return o.name if isinstance(o, enum.Enum) else original(self, o)
    monkeypatch.setattr(varenna._EnumEncoder, "default", default)


def _patch_standard_default(monkeypatch):
    monkeypatch.setattr(json.JSONEncoder, "default",
                        lambda self, o: o.name if isinstance(o, enum.Enum) else
                        o._serialize())


class Shade(enum.Enum):
    DARK = "dark"


class TestSerializeUsesTheCurrentEncoder:
    """_serialize encodes with whatever _EnumEncoder is when it is called."""

    @pytest.mark.parametrize("patch", [_replace_encoder, _patch_encoder_method,
                                       _patch_standard_default])
    def test_replaced_or_patched_encoder_has_its_say(self, monkeypatch, patch):
        model = varenna.OpenModel(project_data=Carrier({"shade": Shade.DARK,
                                                        "inner": Carrier([Shade.DARK])}))
        model.create_check_member1d()
        plain = model._serialize()
        assert plain["project_data"] == {"shade": "dark", "inner": ["dark"]}
        patch(monkeypatch)
        patched = model._serialize()
        assert patched["project_data"] == {"shade": "DARK", "inner": ["DARK"]}
        assert patched["check_member_list"] == plain["check_member_list"]
        monkeypatch.undo()
        assert model._serialize() == plain

    def test_encoder_changes_reach_the_service(self, monkeypatch, template_service):
        spy = template_service()
        model = varenna.OpenModel(project_data=Carrier({"shade": Shade.DARK}))
        _replace_encoder(monkeypatch)
        model.generate_xml_input()
        assert json.loads(spy.sent_json())["project_data"] == {"shade": "DARK"}

    def test_patched_constructor_has_its_say(self, monkeypatch):
        original = varenna._EnumEncoder.__init__

        def strict(self, **kwargs):
            original(self, **{**kwargs, "allow_nan": False})
        model = varenna.OpenModel(project_data=Carrier(float("nan")))
        model._serialize()
        monkeypatch.setattr(varenna._EnumEncoder, "__init__", strict)
        with pytest.raises(ValueError, match="not JSON compliant"):
            model._serialize()

    def test_missing_encoder_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(varenna, "_EnumEncoder")
        with pytest.raises(NameError, match="_EnumEncoder"):
            varenna.OpenModel()._serialize()


class TestEnumEncoder:
    class Shade(enum.Enum):
        DARK = "dark"

    def test_class(self):
        assert varenna._EnumEncoder.__bases__ == (json.JSONEncoder,)
        assert varenna._EnumEncoder.__doc__ == " To auto-serialize Enum type. "
        sig = inspect.signature(varenna._EnumEncoder.default)
        assert str(sig) == "(self, o: 'Any') -> 'Any'"

    def test_writes_enum_values_and_serialized_objects(self):
        value = {"shade": self.Shade.DARK, "thing": Carrier([self.Shade.DARK, 1])}
        assert json.dumps(value, cls=varenna._EnumEncoder) == \
            '{"shade": "dark", "thing": ["dark", 1]}'

    @pytest.mark.parametrize("o, expected", [
        (Shade.DARK, "dark"), (Carrier({"a": 1}), {"a": 1})])
    def test_default(self, o, expected):
        assert varenna._EnumEncoder().default(o) == expected

    def test_default_without_serialize(self):
        with pytest.raises(AttributeError, match="_serialize"):
            varenna._EnumEncoder().default(object())


class TestGenerate:
    def test_request_and_bytes_io_answer(self, template_service):
        spy = template_service(xml_answer(b"<doc>1</doc>"))
        model = full_model()
        stream = model.generate_xml_input()
        assert type(stream) is io.BytesIO and stream.tell() == 0
        assert stream.read() == b"<doc>1</doc>"
        [request] = spy.requests
        assert list(request) == ["input"]
        assert json.loads(spy.sent_json()) == model._serialize()
        assert spy.sent_json() == json.dumps(model._serialize())

    def test_as_file(self, template_service):
        template_service(xml_answer(b"<doc/>"))
        result = varenna.OpenModel().generate_xml_input(as_file=True)
        assert isinstance(result, core.File) and result.getvalue_binary() == b"<doc/>"

    def test_as_file_is_keyword_only(self):
        with pytest.raises(TypeError, match="positional argument"):
            varenna.OpenModel().generate_xml_input(True)
        sig = inspect.signature(varenna._Model.generate_xml_input)
        assert sig.parameters["as_file"].kind is inspect.Parameter.KEYWORD_ONLY
        assert sig.return_annotation == "Union[BytesIO, File]"

    def test_host_call(self, monkeypatch):
        calls = []

        def post(*args, **kwargs):
            calls.append((args, kwargs))
            return {"input_file": base64.b64encode(gzip.compress(b"x")).decode()}
        monkeypatch.setattr(core, "_post_on_addon_endpoint", post)
        varenna.OpenModel().generate_xml_input()
        [(args, kwargs)] = calls
        assert args[0] == "fillvarennatemplate/v3/jobs/" and list(args[1]) == ["input"]
        assert kwargs == {"timeout": 60} and type(kwargs["timeout"]) is int

    def test_repeated_calls_send_equal_json(self, template_service):
        spy = template_service()
        model = full_model()
        model.generate_xml_input()
        model.generate_xml_input()
        assert spy.sent_json(0) == spy.sent_json(1)

    def test_each_call_sends_the_current_content(self, template_service):
        spy = template_service()
        model = varenna.OpenModel()
        model.generate_xml_input()
        model.create_check_member1d()
        model.generate_xml_input()
        assert json.loads(spy.sent_json(1))["check_member_list"] == [
            ["CheckMember1D", {"id": 1, "name": "M 1"}]]


class Tint(int, enum.Enum):
    LOW = 1


class Letter(str, enum.Enum):
    A = "\u00e9t\u00e9"


class Loud(enum.Enum):
    """A member class whose `value` is its own."""
    QUIET = "quiet"

    @enum.property
    def value(self):
        return self._value_.upper()


class Text(str):
    pass


class Ints(list):
    def __iter__(self):
        return iter([1, 2])


class Pair(tuple):
    pass


class Backwards(dict):
    def items(self):
        return list(reversed(list(super().items())))


def _beams(count):
    model = varenna.Model()
    concrete = model.create_concrete_material(ConcreteMaterial.C30_37)
    steel = model.create_reinforcement_material(ReinforcementMaterial.B_500B)
    for i in range(count):
        beam = model.create_beam(varenna.RectSection(0.3, 0.6 + i / 7), concrete,
                                 name=f"B\u00e4m {i}")
        beam.create_bar_layer(origin=(-0.1, -0.25), diameter=0.02, material=steel,
                              number_of_bars=4, delta_y=0.2)
        beam.create_stirrup([(-0.12, -0.27), (0.12, -0.27), (0.12, 0.27)], 0.008, steel, 0.15)
        beam.create_extreme(fundamental=LoadingULS(ResultOfInternalForces(N=-i, My=i / 3)))
    return model


# Values a model can carry (as project data and as an entry of a store list), each written
# straight from the store and compared with the text of the plain copy _serialize() returns.
WRITTEN_VALUES = {
    "enum members": [Shade.DARK, Tint.LOW, Letter.A, Loud.QUIET, [MemberType.BEAM] * 3],
    "nested vocabulary": Carrier({"inner": Carrier([Carrier(Shade.DARK), ProjectData()])}),
    "non-ASCII": {"\u00e9\u20ac": "\U0001f600 \ud83d\ude00 \ud800 \x00\n\"\\"},
    "non-finite and repeated floats": [float("nan"), float("inf"), -float("inf"), -0.0, 0.1,
                                       0.1, 1e16, 5e-324, 1.7976931348623157e308] * 2,
    "plain subclasses": [Text("t"), Ints([7]), Pair((3, Text("p"))), Backwards(a=1, b=2),
                         True, 10 ** 40],
    "keys that come out alike": [{1: "int", "1": "str", True: "bool", "true": "text"},
                                 {None: 1, 1.5: 2, "null": 3, "1.5": 4, "x": {2: 5, "2": 6}},
                                 {"\U0001f600": "one", "\ud83d\ude00": "pair", "k": 0}],
    "shared, not circular": [[Carrier(1)] * 2] * 2,
}


def _reference_text(model):
    """The text by the rule, in plain Python: the store's pairs through json with the
    encoder's rule, parsed back and written again."""
    def default(o):
        return o.value if isinstance(o, enum.Enum) else o._serialize()
    mapping = {key: [(type(o).__name__, o) for o in getattr(model, "_" + key)]
               for key in KEYS[:7]}
    mapping["project_data"] = model.project_data
    mapping["code_settings"] = model.code_settings
    return json.dumps(json.loads(json.dumps(mapping, default=default)))


def _carrying(value):
    model = varenna.OpenModel(project_data=Carrier(value))
    model._check_member_list.append(Carrier(value))
    return model


def _patch_enum_value(monkeypatch):
    monkeypatch.setattr(vars(enum.Enum)["value"], "fget", lambda self: self.name)


def _change_value_midway(monkeypatch):
    """An object whose _serialize() changes a member's value."""
    class Changer:
        def _serialize(self):
            monkeypatch.setattr(Shade.DARK, "_value_", "changed")
            return 0
    return Changer()


class TestWrittenStraightFromTheStore:
    """generate_xml_input sends the text of _serialize()'s result without making it."""

    @pytest.mark.parametrize("make", [
        *[(lambda v=v: _carrying(v)) for v in WRITTEN_VALUES.values()],
        full_model, lambda: _beams(300)], ids=[*WRITTEN_VALUES, "full model", "300 beams"])
    def test_text_is_that_of_serialize(self, template_service, make):
        spy = template_service()
        model = make()
        model.generate_xml_input()
        assert spy.sent_json() == json.dumps(model._serialize()) == _reference_text(model)
        packed = base64.b64decode(spy.requests[0]["input"])
        member = zlib.decompressobj(31)
        member.decompress(packed)
        assert member.eof and member.unused_data == b""  # one gzip member

    def test_replaced_serialize_has_its_say(self, template_service):
        class Own(varenna.OpenModel):
            def _serialize(self):
                return {"own": [Text("x"), (1, 2)]}
        spy = template_service()
        Own().generate_xml_input()
        assert spy.sent_json() == '{"own": ["x", [1, 2]]}'

    @pytest.mark.parametrize("patch, expected", [
        (_patch_enum_value, ["DARK", 0, "DARK"]),
        (_change_value_midway, ["dark", 0, "changed"]),
    ], ids=["Enum.value patched", "_value_ changed midway"])
    def test_member_values_as_the_members_give_them(self, monkeypatch, template_service,
                                                    patch, expected):
        spy = template_service()
        changer = patch(monkeypatch)
        model = varenna.OpenModel(project_data=Carrier([Shade.DARK, changer or 0, Shade.DARK]))
        model.generate_xml_input()
        assert json.loads(spy.sent_json())["project_data"] == expected


class TestServiceFailures:
    def test_internal_error_becomes_exception_with_cause(self, template_service):
        failure = InternalError("service down")

        def fail(payload):
            raise failure
        template_service(fail)
        with pytest.raises(Exception) as info:
            varenna.OpenModel().generate_xml_input()
        assert type(info.value) is Exception
        assert info.value.args == ("Input file could not be generated, please check your model",)
        assert info.value.__cause__ is failure

    @pytest.mark.parametrize("error", [ExecutionError("no"), ValueError("bad"), KeyError("k")])
    def test_other_errors_pass_unchanged(self, monkeypatch, error):
        def post(*args, **kwargs):
            raise error
        monkeypatch.setattr(core, "_post_on_addon_endpoint", post)
        with pytest.raises(type(error)) as info:
            varenna.OpenModel().generate_xml_input()
        assert info.value is error

    def test_answer_without_input_file(self, template_service):
        template_service(lambda payload: {"other": 1})
        with pytest.raises(KeyError, match="input_file"):
            varenna.OpenModel().generate_xml_input()

    def test_failures_leave_the_store_unchanged(self, template_service):
        template_service(lambda payload: {"input_file": "not base64!"})
        model = full_model()
        before = model._serialize()
        with pytest.raises(Exception):
            model.generate_xml_input()
        assert model._serialize() == before


class TestLocalService:
    def test_road_to_input_xml(self):
        model = full_model()
        xml = model.generate_xml_input().getvalue()
        root = ET.fromstring(xml)
        assert root.tag == "OpenModel"
        assert root.findtext("mat_concrete_list/MatConcreteEc2/name") == "C30/37"
        assert root.findtext("check_section_list/StandardCheckSection/description") == "S1"
        assert root.findtext("cross_section_list/CrossSectionParameter/parameters/Width") == "0.3"
        assert model.generate_xml_input(as_file=True).getvalue_binary() == xml
