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
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                    "benchmarks"))
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


def TestOneInput(data: bytes):
    expected = outcome(lambda: ET.tostring(ET.fromstring(data)))
    got = outcome(lambda: ET.tostring(native_tree(data)))
    assert got == expected, (got, expected)
    if expected[0] == "ok":
        root = ET.fromstring(data)
        for path in PATHS:
            assert varenna._testing.xml_select(root, path, False) == root.findall(path)
    assert walk(varenna, data) == walk(baseline_parsers, data)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
