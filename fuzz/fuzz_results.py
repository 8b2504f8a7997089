"""Fuzz target: the native XML layer and the result extraction against ElementTree.

Any input is a document; the native parsers must agree with xml.etree.ElementTree and the
plain-Python parsers (same tree, same path matches, same results, same errors) and never crash.
Run through ./run (bounded time) or directly: python3 fuzz/fuzz_results.py -runs=10000
"""

import contextlib
import io
import os
import sys
import xml.etree.ElementTree as ET

try:
    import atheris
except ImportError:  # the regression tests replay inputs without the fuzzing engine
    atheris = None

# Coverage of the plain-Python parsers guides the engine; only when fuzzing, not when replaying.
with (atheris.instrument_imports() if atheris and __name__ == "__main__"
      else contextlib.nullcontext()):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    import baseline_parsers
    from quillon.errors import ParsingError
    from quillon.external.varenna import varenna

PATHS = ['.//*[ResultType="Capacity"]/CheckResults/ConcreteCheckResultBase', ".//*", ".//N",
         'ConcreteCheckResultBase[Check="Shear"]', "./*/*", ".//a[b='x']//c"]
OPS = ("capacity", "shear", "torsion", "interaction", "crack_width", "detailing",
       "stress_limitation", "fatigue", "extremes")


def outcome(call):
    try:
        return "ok", repr(call())
    except RecursionError:
        return "recursion", None
    except Exception as e:  # noqa: BLE001 - compared as type and message
        return type(e).__name__, str(e)


def walk(module, data):
    out = []
    try:
        for section in module.RcsOutputFileParser(io.BytesIO(data)).section_results():
            out.append((section.id_, [outcome(getattr(section, op)) for op in OPS]))
    except Exception as e:  # noqa: BLE001
        out.append((type(e).__name__, str(e)))
    return out


def native_tree(data):
    try:
        return varenna.OutputFileParser(io.BytesIO(data))._root
    except ParsingError as e:
        raise e.__cause__


def as_refused(data: bytes) -> bytes:
    """What the standard parser must see to refuse what ours refuses.

    The standard parser takes an unpaired high surrogate and the unit after it as one
    character; ours refuses it as the standard parser refuses a lone low surrogate in its
    place. UTF-16 is told as ours tells it: by the byte order mark or the first "<".
    """
    head = data[:2]
    if head in (b"\xff\xfe", b"<\x00"):
        order = "little"
    elif head in (b"\xfe\xff", b"\x00<"):
        order = "big"
    else:
        return data
    units = [int.from_bytes(data[i:i + 2], order) for i in range(0, len(data) - 1, 2)]
    for i, unit in enumerate(units):
        if 0xD800 <= unit <= 0xDBFF and i + 1 < len(units) and not 0xDC00 <= units[i + 1] <= 0xDFFF:
            return data[:2 * i] + (0xDC00).to_bytes(2, order) + data[2 * i + 2:]
    return data


def TestOneInput(data: bytes):
    reference = as_refused(data)
    expected = outcome(lambda: ET.tostring(ET.fromstring(reference)))
    got = outcome(lambda: ET.tostring(native_tree(data)))
    assert got == expected, (got, expected)
    if expected[0] == "ok":
        root = ET.fromstring(data)
        for path in PATHS:
            assert varenna._testing.xml_select(root, path, False) == root.findall(path)
    assert walk(varenna, data) == walk(baseline_parsers, reference)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
