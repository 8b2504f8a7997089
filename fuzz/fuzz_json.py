"""Fuzz target: the JSON text a model sends to the template service, against the json module.

The input is read as a little program that builds a nested value (see ``Builder``): dicts with
str, int, float, bool and None keys, lists, tuples, strings with any code point (lone
surrogates too), big ints, any float bit pattern, enum members, subclasses of the plain types
and objects with ``_serialize()``, shared and circular references, and the odd unsupported key
or object. The value goes into a model as its project data; the JSON the service receives must
be ``json.dumps(json.loads(json.dumps(model, default=...)))`` of the same model, or the native
side must fail with the same exception type and message and send nothing. A second road
hands the value to the JSON writer as it is (a model whose ``_serialize()`` returns it), where
the text must be exactly ``json.dumps(value)``. The value itself must come out unchanged.
Run through ./run (bounded time) or directly: python3 fuzz/fuzz_json.py -runs=10000
"""

import base64
import enum
import gzip
import json
import struct
import sys

try:
    import atheris
except ImportError:  # the regression tests replay inputs without the fuzzing engine
    atheris = None

from quillon import core
from quillon.external.varenna import varenna
from quillon.external.varenna.objects import CodeSettings

TEMPLATE_PATH = "fillvarennatemplate/v3/jobs/"
MAX_DEPTH = 60          # far below the recursion limit, so that depth never decides the outcome
DEEP = 5000             # far above it: both sides must raise RecursionError


class Colour(enum.Enum):
    RED = "red"
    NUMBER = 7
    REAL = 2.5
    NESTED = ("a", 1)
    NONE = None


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 10 ** 30


class Tag(str, enum.Enum):
    A = "tag-\u00e9"
    B = "\ud800"


class Ratio(float, enum.Enum):
    HALF = 0.5
    NAN = float("nan")


ENUM_MEMBERS = list(Colour) + list(Level) + list(Tag) + list(Ratio)


class Text(str):
    pass


class Number(int):
    pass


class Real(float):
    pass


class Mapping(dict):
    pass


class OddItems(dict):
    """A dict subclass whose items() are not pairs."""

    def items(self):
        return [(k,) for k in self]


class ReversedItems(dict):
    """A dict subclass whose items() come in another order than iteration."""

    def items(self):
        return list(reversed(list(super().items())))


class Carrier:
    """A vocabulary-like object whose ``_serialize()`` hands back an arbitrary value."""

    def __init__(self, value=None):
        self.value = value

    def _serialize(self):
        return self.value


class Failing:
    """An object whose ``_serialize()`` raises."""

    def _serialize(self):
        raise KeyError("no serialisation")


FLOATS = [0.0, -0.0, float("nan"), float("inf"), float("-inf"), 5e-324, -5e-324,
          2.2250738585072014e-308, 1.7976931348623157e308, 1e16, 1e-7, 0.1, 1e22, 123456789.0]


class Reader:
    """Reads the fuzz input front to back; past the end every read gives zeros."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk.ljust(n, b"\0")

    def more(self):
        return self.pos < len(self.data)


class Builder:
    def __init__(self, data):
        self.r = Reader(data)
        self.open = []     # containers being filled: a reference to one is a cycle
        self.done = []     # finished containers: a reference to one is shared, not circular

    def code_point(self):
        b = self.r.byte()
        kind = b & 7
        if kind <= 2:
            return chr(0x20 + self.r.byte() % 0x5f)                  # printable ASCII
        if kind == 3:
            return "\"\\/\b\f\n\r\t\x00\x1f\x7f"[self.r.byte() % 11]  # escapes and controls
        if kind == 4:
            return chr(0xd800 + (self.r.byte() << 3 | b >> 3) % 0x800)  # surrogates
        if kind == 5:
            return chr(int.from_bytes(self.r.take(2), "little"))        # basic plane
        return chr(int.from_bytes(self.r.take(3), "little") % 0x110000)  # anywhere

    def text(self):
        return "".join(self.code_point() for _ in range(self.r.byte() % 12))

    def big_int(self):
        b = self.r.byte()
        kind = b & 3
        if kind == 0:
            n = int.from_bytes(self.r.take(1 + b % 16), "little", signed=True)
        elif kind == 1:
            n = 2 ** (self.r.byte() * 2 + 60) - (b >> 2)
        elif kind == 2:
            n = 10 ** (4290 + self.r.byte() % 20)   # around the digit limit of int -> str
        else:
            n = [2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 64, -1][(b >> 2) % 6]
        return -n if b & 0x80 else n

    def float_(self):
        b = self.r.byte()
        if b & 1:
            return FLOATS[(b >> 1) % len(FLOATS)]
        return struct.unpack("<d", self.r.take(8))[0]

    def key(self):
        b = self.r.byte() % 16
        if b < 8:
            return self.text()
        if b == 8:
            return None
        if b == 9:
            return bool(self.r.byte() & 1)
        if b == 10:
            return (self.r.byte() - 128) if self.r.byte() & 1 else self.big_int()
        if b == 11:
            return self.float_()
        if b == 12:
            return [Text, Number, Real][self.r.byte() % 3]("7")
        if b == 13:
            return ENUM_MEMBERS[self.r.byte() % len(ENUM_MEMBERS)]
        if b == 14:
            return (1, 2)                                           # not a valid key
        return self.text()

    def children(self, container, add):
        self.open.append(container)
        try:
            for _ in range(self.r.byte() % 6):
                add()
        finally:
            self.open.pop()
        self.done.append(container)
        return container

    def value(self, depth=0):
        if depth >= MAX_DEPTH:
            return None
        op = self.r.byte() % 24
        if op == 0:
            return None
        if op == 1:
            return bool(self.r.byte() & 1)
        if op in (2, 3):
            return self.r.byte() - 128
        if op == 4:
            return self.big_int()
        if op in (5, 6):
            return self.float_()
        if op in (7, 8, 9):
            return self.text()
        if op in (10, 11):
            items = []
            return self.children(items, lambda: items.append(self.value(depth + 1)))
        if op == 12:
            return tuple(self.value(depth + 1) for _ in range(self.r.byte() % 5))
        if op in (13, 14):
            kind = [dict, dict, dict, Mapping, ReversedItems, OddItems][self.r.byte() % 6]
            mapping = kind()

            def add():
                k = self.key()
                v = self.value(depth + 1)
                try:
                    dict.__setitem__(mapping, k, v)
                except TypeError:   # a key that cannot be hashed: leave it out
                    pass
            return self.children(mapping, add)
        if op == 15:
            return ENUM_MEMBERS[self.r.byte() % len(ENUM_MEMBERS)]
        if op == 16:
            carrier = Carrier()
            self.open.append(carrier)
            try:
                carrier.value = self.value(depth + 1)
            finally:
                self.open.pop()
            return carrier
        if op == 17:
            b = self.r.byte()
            return [Text(self.text()), Number(b - 128), Real(self.float_())][b % 3]
        if op == 18:
            # A reference to a container still being filled (a cycle) or to a finished one.
            pool = self.open if self.r.byte() & 1 else self.done
            return pool[self.r.byte() % len(pool)] if pool else None
        if op == 19:
            return [object(), Failing(), b"bytes", {1, 2}, 1j][self.r.byte() % 5]
        if op == 20:
            # Nesting far beyond the recursion limit, in one of the three container kinds.
            wrap = [lambda v: [v], lambda v: {"k": v}, Carrier][self.r.byte() % 3]
            deep = None
            for _ in range(DEEP):
                deep = wrap(deep)
            return deep
        return self.text() if op < 23 else self.float_()


def build(data):
    return Builder(data).value()


def reference_default(o):
    if isinstance(o, enum.Enum):
        return o.value
    return o._serialize()


def outcome(call):
    try:
        return "ok", call()
    except RecursionError:
        return RecursionError, None   # the depth reached and the text may differ
    except Exception as e:  # noqa: BLE001 - compared as type and message
        return type(e), str(e)


def expected_json(value):
    full = {key: [] for key in ("mat_concrete_list", "mat_reinforcement_list",
                                "cross_section_list", "reinforced_cross_section_list",
                                "check_member_list", "check_section_list", "attribute_list")}
    full["project_data"] = Carrier(value)
    full["code_settings"] = CodeSettings()
    return json.dumps(json.loads(json.dumps(full, default=reference_default)))


class Spy:
    """Stands in for the post to the template service (without the stand-in's thread per
    request, which would cost half the time): keeps each request, answers with a valid XML."""

    ANSWER = {"input_file": base64.b64encode(gzip.compress(b"<input/>", mtime=0)).decode("ascii")}

    def __init__(self):
        self.requests = []

    def __call__(self, path, payload, timeout=60):
        assert path == TEMPLATE_PATH, path
        self.requests.append(json.loads(json.dumps(payload)))
        return dict(self.ANSWER)


class ValueModel(varenna.OpenModel):
    """A model that serialises to the given value itself, so that it reaches the JSON writer
    without the conversion to plain JSON values."""

    def __init__(self, value):
        super().__init__()
        self.value = value

    def _serialize(self):
        return self.value


def sent_json(spy, model):
    xml = model.generate_xml_input().getvalue()
    assert xml == b"<input/>", xml
    assert len(spy.requests) == 1, spy.requests
    packed = base64.b64decode(spy.requests[0]["input"], validate=True)
    return gzip.decompress(packed).decode("utf-8")


def snapshot(value):
    """What the value holds, to see that writing it changed nothing."""
    try:
        return repr(value)
    except (RecursionError, ValueError):
        return None


def compare(expected, make_model):
    spy = Spy()
    post = core._post_on_addon_endpoint
    core._post_on_addon_endpoint = spy
    try:
        got = outcome(lambda: sent_json(spy, make_model()))
    finally:
        core._post_on_addon_endpoint = post
    assert got == expected, (got, expected)
    if got[0] != "ok":
        assert spy.requests == [], "a request was sent for a model that cannot be written"


def TestOneInput(data: bytes):
    value = build(data)
    before = snapshot(value)
    compare(outcome(lambda: expected_json(value)),
            lambda: varenna.OpenModel(project_data=Carrier(value)))
    compare(outcome(lambda: json.dumps(value)), lambda: ValueModel(value))
    assert snapshot(value) == before


def main():
    from instrumenting import instrument
    instrument(atheris, sys.modules[__name__], json)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
