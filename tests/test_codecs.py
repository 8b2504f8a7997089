"""Differential tests of the JSON text, Base64 and gzip the model sends and receives, against
the interpreter's json, base64 and gzip modules, end to end through generate_xml_input."""

import base64
import binascii
import enum
import gzip
import io
import json
import struct
import zlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quillon.external.excel import Excel
from quillon.external.varenna import varenna
from quillon.external.varenna.objects import CodeSettings

from model_support import Carrier, template_service  # noqa: F401  (fixture)

SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])


class Colour(enum.Enum):
    RED = "red"
    NUMBER = 7
    REAL = 2.5
    NESTED = ("a", 1)


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 10 ** 30


class Tag(str, enum.Enum):
    A = "tag-\u00e9"


class Text(str):
    pass


class Number(int):
    pass


class Real(float):
    pass


class Mapping(dict):
    pass


class Backwards(list):
    """A list whose own iteration runs backwards, as json honours it."""

    def __iter__(self):
        return iter(list.__getitem__(self, slice(None, None, -1)))


class Doubled(tuple):
    """A tuple whose own iteration yields each item twice."""

    def __iter__(self):
        for item in tuple.__iter__(self):
            yield item
            yield item


class Hollow(list):
    """A list that iterates as empty whatever it holds."""

    def __iter__(self):
        return iter(())


class Refusing(list):
    def __iter__(self):
        raise KeyError("no iteration")


class Itself(list):
    """A list whose iteration yields the list itself: a circle only iteration shows."""

    def __iter__(self):
        yield self


def reference_default(o):
    if isinstance(o, enum.Enum):
        return o.value
    return o._serialize()


def outcome(function):
    """The result of ``function()``, or the type and message of what it raised."""
    try:
        return ("ok", function())
    except Exception as exc:  # compared as type and text
        return ("error", type(exc), str(exc))


def expected_json(value):
    """The request JSON the interpreter's json module gives for a model carrying ``value``."""
    full = {key: [] for key in ("mat_concrete_list", "mat_reinforcement_list",
                                "cross_section_list", "reinforced_cross_section_list",
                                "check_member_list", "check_section_list", "attribute_list")}
    full["project_data"] = Carrier(value)
    full["code_settings"] = CodeSettings()
    return json.dumps(json.loads(json.dumps(full, default=reference_default)))


def sent_json(install, value):
    spy = install()
    model = varenna.OpenModel(project_data=Carrier(value))
    model.generate_xml_input()
    return spy.sent_json()


texts = st.text(st.characters(exclude_categories=()), max_size=12)
floats = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
scalars = (st.none() | st.booleans() | st.integers() | floats | texts
           | st.sampled_from([0.0, -0.0, 1e16, 1e-7, 5e-324, 1.7976931348623157e308,
                              "\ud83d\ude00", "\udc00\ud800", "\x7f", "\"\\/\b\f\n\r\t"])
           | st.sampled_from(list(Colour) + list(Level) + list(Tag))
           | texts.map(Text) | st.integers().map(Number) | floats.map(Real))
keys = st.none() | st.booleans() | st.integers() | floats | texts


def containers(children):
    return (st.lists(children, max_size=4)
            | st.lists(children, max_size=4).map(tuple)
            | st.dictionaries(keys, children, max_size=4)
            | st.dictionaries(texts, children, max_size=3).map(Mapping)
            | st.lists(children, max_size=4).map(Backwards)
            | st.lists(children, max_size=3).map(Doubled)
            | children.map(Carrier))


values = st.recursive(scalars, containers, max_leaves=20)


class TestJsonText:
    @SETTINGS
    @given(value=values)
    def test_request_json_matches_json_module(self, template_service, value):
        expected = outcome(lambda: expected_json(value))
        actual = outcome(lambda: sent_json(template_service, value))
        assert actual == expected

    @pytest.mark.parametrize("value", [
        {1: "int key", 2.5: "float", True: "t", None: "n", float("nan"): "nan"},
        {"1": "a", 1: "b"},                      # keys that collide once written
        [float("inf"), float("-inf"), -0.0, 1e22, 123456789012345678901234567890],
        "\ud83d\ude00 \ud83d alone \ude00",        # surrogates, paired and lone
        {"level": Level.HIGH, "tag": Tag.A, "colour": Colour.NESTED},
    ])
    def test_corner_values(self, template_service, value):
        assert sent_json(template_service, value) == expected_json(value)

    @pytest.mark.parametrize("value, error, message", [
        ({(1, 2): "x"}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
        ([object()], AttributeError, "'object' object has no attribute '_serialize'"),
        (10 ** 5000, ValueError, "Exceeds the limit"),
    ], ids=["tuple-key", "no-serialize", "huge-int"])
    def test_errors_match_json_module(self, template_service, value, error, message):
        with pytest.raises(error, match=message):
            expected_json(value)
        spy = template_service()
        with pytest.raises(error, match=message):
            varenna.OpenModel(project_data=Carrier(value)).generate_xml_input()
        assert spy.requests == []

    @pytest.mark.parametrize("value", [
        Backwards([1, "two", [3, Backwards([4, 5])]]),
        Doubled(("a", Colour.RED)),
        {"empty": Hollow([1, 2]), "kept": [Hollow([3])]},
        Carrier(Backwards([Carrier(Doubled((1,)))])),
    ], ids=["list-subclass", "tuple-subclass", "iterates-empty", "nested-in-objects"])
    def test_sequence_subclasses_are_read_through_their_iteration(self, template_service, value):
        assert sent_json(template_service, value) == expected_json(value)
        model = varenna.OpenModel(project_data=Carrier(value))
        assert model._serialize()["project_data"] == json.loads(expected_json(value))[
            "project_data"]

    @pytest.mark.parametrize("value, error, message", [
        (Refusing([1]), KeyError, "no iteration"),
        (Itself([1]), ValueError, "^Circular reference detected"),
    ], ids=["iteration-fails", "iteration-circles"])
    def test_sequence_subclass_iteration_errors_are_json_errors(self, template_service, value,
                                                                 error, message):
        # Newer interpreters add notes naming the path to the failing value: the message
        # itself is compared exactly.
        with pytest.raises(error, match=message) as expected:
            expected_json(value)
        spy = template_service()
        model = varenna.OpenModel(project_data=Carrier(value))
        with pytest.raises(error, match=message) as serialised:
            model._serialize()
        with pytest.raises(error, match=message) as generated:
            model.generate_xml_input()
        assert str(serialised.value) == str(generated.value) == str(expected.value)
        assert spy.requests == []

    def test_text_of_an_overridden_serialize_reads_subclasses_through_iteration(
            self, template_service):
        # generate_xml_input writes whatever _serialize returns, as json.dumps would.
        class Custom(varenna.OpenModel):
            def _serialize(self):
                return {"items": Backwards([1, Doubled(("x",))])}
        spy = template_service()
        Custom().generate_xml_input()
        assert spy.sent_json() == json.dumps({"items": Backwards([1, Doubled(("x",))])})

    def test_circular_list_raises_value_error(self, template_service):
        spy = template_service()
        loop = []
        loop.append(loop)
        with pytest.raises(ValueError, match="^Circular reference detected$"):
            varenna.OpenModel(project_data=Carrier(loop)).generate_xml_input()
        assert spy.requests == []

    def test_circular_object_raises_value_error(self, template_service):
        carrier = Carrier(None)
        carrier.value = {"again": carrier}
        with pytest.raises(ValueError, match="^Circular reference detected$"):
            varenna.OpenModel(project_data=carrier).generate_xml_input()

    def test_shared_but_not_circular_values_are_written_twice(self, template_service):
        shared = [1, 2]
        value = {"a": shared, "b": shared}
        assert sent_json(template_service, value) == expected_json(value)

    @pytest.mark.parametrize("make", [
        lambda deep: [deep], lambda deep: {"k": deep}, lambda deep: Carrier(deep)])
    def test_deep_nesting_raises_recursion_error(self, template_service, make):
        deep = None
        for _ in range(100_000):
            deep = make(deep)
        with pytest.raises(RecursionError):
            varenna.OpenModel(project_data=Carrier(deep)).generate_xml_input()


def gzip_parts(packed):
    """mtime of a single-member gzip stream written with no optional header fields."""
    return struct.unpack("<I", packed[4:8])[0]


class TestRequestEncoding:
    @SETTINGS
    @given(value=st.recursive(scalars, containers, max_leaves=40))
    def test_body_is_base64_of_gzip_level_9(self, template_service, value):
        try:
            expected_json(value)
        except Exception:
            return
        spy = template_service()
        varenna.OpenModel(project_data=Carrier(value)).generate_xml_input()
        text = spy.requests[-1]["input"]
        packed = base64.b64decode(text, validate=True)
        # Byte for byte what the interpreter writes for the same JSON and time stamp.
        reference = gzip.compress(spy.sent_json().encode("utf-8"), 9,
                                  mtime=gzip_parts(packed))
        assert packed[:4] == b"\x1f\x8b\x08\x00" and packed[8:10] == b"\x02\xff"
        assert packed[10:] == reference[10:]
        assert base64.b64encode(packed).decode("ascii") == text

    def test_large_model_text_round_trips(self, template_service):
        value = {"blob": "x" * 3_000_000, "numbers": list(range(50_000))}
        assert sent_json(template_service, value) == expected_json(value)


def reference_decode(text):
    return gzip.decompress(base64.b64decode(text))


def answered_xml(install, text):
    install(lambda payload: {"input_file": text})
    return varenna.OpenModel().generate_xml_input().getvalue()


base64_noise = st.text(st.sampled_from("AQgw+/=!- \n\t\u00e9"), max_size=6)


@st.composite
def mangled_base64(draw):
    """Base64 of a gzip member, with junk, padding and cuts thrown in."""
    data = draw(st.binary(max_size=64))
    text = base64.b64encode(gzip.compress(data, mtime=0)).decode("ascii")
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(base64_noise) + text[at:]
    if draw(st.booleans()):
        text = text[:draw(st.integers(0, len(text)))]
    return text


def native_b64decode(value):
    """The module's Base64 decoder on its own, reached through a spreadsheet job's answer."""
    job = Excel(io.BytesIO(b""))
    job._result_content = {"result_v2": {"filled_template": value}, "success": True}
    job._process_result()
    return job.filled_template.getvalue()


class TestBase64AsTheInterpreter:
    """The decoder gives what the running interpreter's base64.b64decode gives: bytes, or the
    same exception type and message. Never compared with recorded outputs, which differ
    between interpreter versions."""

    @pytest.mark.parametrize("value", [
        "", "QUJD", "QUI=", "QQ==", "QUJDRA==", "QR==", "QUJ=", "QUK=",
        "QQ==QUJD", "AA==A", "QQ=", "QQ", "QQ===", "Q===", "=QUJD", "QUJD====", "QUJD=",
        "QU=JD", "QU==JD", "QUJDR", "ab!c", "QU JD", "QUJD\n", " QUJD", "-_-_", "QUJD\x00",
        "QUJD\u00e9", b"QUJD", b"QQ==QUJD", b"\xffQUJD", bytearray(b"QQ=="),
        memoryview(b"QQ==QUJD"), memoryview(b"QxQx=x=x")[::2], memoryview(b"=QJDU")[::-1],
        42, None, ["QUJD"], 1.5,
    ], ids=repr)
    def test_listed_cases(self, value):
        assert outcome(lambda: native_b64decode(value)) == outcome(lambda: base64.b64decode(value))

    @SETTINGS
    @given(text=st.text(st.sampled_from("ABQUw+/=_- \n!\u00e9"), max_size=16))
    def test_any_text(self, text):
        assert outcome(lambda: native_b64decode(text)) == outcome(lambda: base64.b64decode(text))

    @SETTINGS
    @given(data=st.binary(max_size=300), as_bytes=st.booleans())
    def test_canonical_text_round_trips(self, data, as_bytes):
        encoded = base64.b64encode(data)
        assert native_b64decode(encoded if as_bytes else encoded.decode("ascii")) == data

    @SETTINGS
    @given(data=st.binary(min_size=1, max_size=40), at=st.integers(0, 60),
           junk=st.sampled_from(["=", "==", "A", "AA", "AAA", "\n", "!", "=A", "A=="]))
    def test_canonical_text_with_one_flaw(self, data, at, junk):
        text = base64.b64encode(data).decode("ascii")
        at = min(at, len(text))
        text = text[:at] + junk + text[at:]
        assert outcome(lambda: native_b64decode(text)) == outcome(lambda: base64.b64decode(text))


class TestResponseDecoding:
    @SETTINGS
    @given(text=mangled_base64() | st.text(st.sampled_from("AB+/=x\n"), max_size=12))
    def test_base64_decoding_matches_base64_module(self, template_service, text):
        expected = outcome(lambda: reference_decode(text))
        actual = outcome(lambda: answered_xml(template_service, text))
        assert actual == expected

    @pytest.mark.parametrize("text", ["QUJDR", "QQ", "QQ=", "ab!c", "QQ==QUJD", "AA==A"])
    def test_padding_outcomes_are_the_interpreters(self, template_service, text):
        # What counts as bad padding, and its wording, is the running interpreter's: these
        # decode on some versions and are refused on others.
        expected = outcome(lambda: reference_decode(text))
        assert outcome(lambda: answered_xml(template_service, text)) == expected

    def test_non_ascii_text_is_refused(self, template_service):
        with pytest.raises(ValueError, match="string argument should contain only ASCII"):
            answered_xml(template_service, "QUJD\u00e9")

    def test_non_text_value_is_refused(self, monkeypatch):
        from quillon import core
        monkeypatch.setattr(core, "_post_on_addon_endpoint",
                            lambda *args, **kwargs: {"input_file": 42})
        with pytest.raises(TypeError, match="bytes-like object or ASCII string, not 'int'"):
            varenna.OpenModel().generate_xml_input()

    def test_bytes_value_is_decoded_too(self, monkeypatch):
        from quillon import core
        packed = base64.b64encode(gzip.compress(b"<x/>"))
        monkeypatch.setattr(core, "_post_on_addon_endpoint",
                            lambda *args, **kwargs: {"input_file": bytearray(packed)})
        assert varenna.OpenModel().generate_xml_input().getvalue() == b"<x/>"


def gzip_member(data, flags=0, extra=b"", name=b"", comment=b""):
    header = struct.pack("<BBBBLBB", 0x1F, 0x8B, 8, flags, 0, 2, 255)
    if flags & 4:
        header += struct.pack("<H", len(extra)) + extra
    if flags & 8:
        header += name + b"\0"
    if flags & 16:
        header += comment + b"\0"
    if flags & 2:
        header += b"\xab\xcd"
    body = zlib.compress(data, 9, wbits=-15)
    return header + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


@st.composite
def mangled_gzip(draw):
    members = [gzip_member(draw(st.binary(max_size=300)), flags=draw(st.sampled_from(
        [0, 2, 4, 8, 16, 30])), extra=b"ex", name=b"name", comment=b"c")
        for _ in range(draw(st.integers(1, 3)))]
    data = (b"\0" * draw(st.integers(0, 2))).join(members)
    data = bytearray(data)
    for _ in range(draw(st.integers(0, 2))):
        if data:
            at = draw(st.integers(0, len(data) - 1))
            data[at] ^= draw(st.integers(1, 255))
    if draw(st.booleans()):
        data = data[:draw(st.integers(0, len(data)))]
    return bytes(data)


class TestGzipDecoding:
    @SETTINGS
    @given(data=mangled_gzip())
    def test_decompression_matches_gzip_module(self, template_service, data):
        text = base64.b64encode(data).decode("ascii")
        expected = outcome(lambda: gzip.decompress(data))
        actual = outcome(lambda: answered_xml(template_service, text))
        assert actual == expected

    @pytest.mark.parametrize("data, error, message", [
        (b"\x1f", gzip.BadGzipFile, "Not a gzipped file (b'\\x1f')"),
        (b"<xml/>", gzip.BadGzipFile, "Not a gzipped file (b'<x')"),
        (b"\x1f\x8b\x09" + b"\0" * 7, gzip.BadGzipFile, "Unknown compression method"),
        (b"\x1f\x8b\x08" + b"\0" * 7, EOFError,
         "Compressed file ended before the end-of-stream marker was reached"),
        (b"\x1f\x8b\x08" + b"\0" * 7 + b"\xff\xff", zlib.error,
         "Error -3 while decompressing data: invalid block type"),
    ])
    def test_bad_data_raises_gzip_errors(self, template_service, data, error, message):
        with pytest.raises(error) as info:
            answered_xml(template_service, base64.b64encode(data).decode("ascii"))
        assert type(info.value) is error and str(info.value) == message

    def test_empty_answer_is_empty_xml(self, template_service):
        assert answered_xml(template_service, "") == b""

    def test_large_answer_is_decoded_whole(self, template_service):
        xml = b"<r>" + b"<a>1</a>" * 1_000_000 + b"</r>"
        text = base64.b64encode(gzip.compress(xml)).decode("ascii")
        assert answered_xml(template_service, text) == xml
