"""The parsers' and jobs' classes behave as the Python classes they document: user code that
runs inside a call (comparisons, finalisers, overrides, patches) is honoured and cannot crash
the interpreter; copies, pickles, generators and the documents' text behave as they do for the
plain classes over ElementTree elements."""
import contextlib
import copy
import enum
import gc
import io
import pickle
import subprocess
import sys
import textwrap
import weakref
import xml.etree.ElementTree as ET
from unittest import mock

import pytest

from quillon.errors import ParsingError
from quillon.external.varenna import varenna
from quillon.external.varenna.varenna import OutputFileParser, RcsOutputFileParser

SectionResult = RcsOutputFileParser.SectionResult
SHEAR_KEYS = ["Ved", "Vrd", "Vrdc", "Vrdmax", "Vrdr", "Vrds", "CheckValue"]


def extreme(value):
    values = "".join(f"<{k}>{value}</{k}>" for k in SHEAR_KEYS)
    return (f"<E><X><ResultType>Shear</ResultType><CheckResults><ConcreteCheckResultBase>"
            f"{values}<Result>OK</Result></ConcreteCheckResultBase></CheckResults></X></E>")


def section(i, extremes=1):
    body = "".join(extreme(i * 10 + k) for k in range(extremes))
    return (f"<SectionConcreteCheckResult><SectionId>{i}</SectionId>"
            f"<ExtremeResults>{body}</ExtremeResults></SectionConcreteCheckResult>")


DOC = f"<R>{section(1, 2)}tail one\n{section(2)}  {section(3)}</R>"


def whole():
    return OutputFileParser(io.BytesIO(DOC.encode("utf-16")))


def streaming():
    return RcsOutputFileParser(io.BytesIO(DOC.encode("utf-16")))


def run_child(code, prelude=True):
    """Runs `code` in a child interpreter, so that a crash fails one test, not the run."""
    done = subprocess.run([sys.executable, "-c", (PRELUDE if prelude else "") + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


PRELUDE = f"""
import gc, io, sys
import xml.etree.ElementTree as ET
from quillon.external.varenna.varenna import OutputFileParser, RcsOutputFileParser
DOC = {DOC!r}
def whole():
    return OutputFileParser(io.BytesIO(DOC.encode("utf-16")))
def streaming():
    return RcsOutputFileParser(io.BytesIO(DOC.encode("utf-16")))
"""

# --- memory safety where user code runs ------------------------------------------------------

LOOKUPS = ["p.shear_results(wanted)", "p._section_element(wanted)", "p.capacity_results(wanted)",
           "p.fatigue_results(wanted)"]


@pytest.mark.parametrize("lookup", LOOKUPS)
@pytest.mark.parametrize("mutation", ["del p._root", "p.__dict__.clear()"])
def test_an_eq_that_frees_the_document_during_a_lookup(lookup, mutation):
    out = run_child(f"""
        p = whole()
        class Wanted:
            def __eq__(self, other):
                {mutation}
                gc.collect()
                junk = [bytearray(64) for _ in range(20000)]
                return other == 3
            __hash__ = None
        wanted = Wanted()
        try:
            result = {lookup}
        except Exception as e:
            result = type(e).__name__
        print("done", type(result).__name__)
    """)
    assert out.startswith("done")


@pytest.mark.parametrize("read", ["p._root", "s._element"])
def test_a_finaliser_that_deletes_the_attribute_while_it_is_built(read):
    out = run_child(f"""
        p = whole()
        s = streaming().section_result(1)
        class Trap:
            def __del__(self):
                for o, name in ((p, "_root"), (s, "_element")):
                    o.__dict__.pop(name, None)
                junk = [bytearray(64) for _ in range(1000)]
        def arm():
            t = Trap()
            t.me = t  # only the collector frees it, during the build below
        arm()
        gc.set_threshold(1)
        e = {read}
        gc.set_threshold(700)
        print("done", e.tag, len(list(e.iter())))
    """)
    assert out.startswith("done")


@pytest.mark.parametrize("read", ["s.extremes()", "s.shear()", "s._element", "copy.deepcopy(s)"])
def test_a_finaliser_that_resumes_the_walk_while_the_section_is_read(read):
    out = run_child(f"""
        import copy
        walk = streaming().section_results()
        s = next(walk)
        class Trap:
            def __del__(self):
                try:
                    next(walk)
                except (StopIteration, ValueError):
                    pass
        def arm():
            for _ in range(50):
                t = Trap()
                t.me = t
        arm()
        gc.set_threshold(1)
        r = {read}
        gc.set_threshold(700)
        print("done")
    """)
    assert out.startswith("done")


# --- garbage collection -----------------------------------------------------------------------

def collected(make):
    gc.collect()
    ref = make()
    gc.collect()
    return ref() is None


CYCLES = {
    "document element holding its parser": lambda: (
        lambda p: (p._root.attrib.__setitem__("o", p), weakref.ref(p))[1])(whole()),
    "document never read as elements": lambda: (
        lambda p: (setattr(p, "me", p), weakref.ref(p))[1])(whole()),
    "section holding its own extreme iterator": lambda: (
        lambda s: (setattr(s, "it", s._iter_extreme_results()), weakref.ref(s))[1])(
            streaming().section_result(1)),
    "section element holding its section": lambda: (
        lambda s: (s._element.attrib.__setitem__("s", s), weakref.ref(s))[1])(
            streaming().section_result(1)),
    "walk held by its own section": lambda: (
        lambda w: (lambda s: (setattr(s, "walk", w), weakref.ref(s))[1])(next(w)))(
            streaming().section_results()),
}


@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
def test_cycles_through_native_holders_are_collected(make):
    assert collected(make)


# --- no SystemError ---------------------------------------------------------------------------

class RaisingIter:
    def __iter__(self):
        raise KeyError("from __iter__")


class TypeErrorIter:
    def __iter__(self):
        raise TypeError("from __iter__")


@pytest.mark.parametrize("result, error", [(RaisingIter(), KeyError), (TypeErrorIter(), TypeError)])
def test_create_1d_section_result_whose_iteration_raises(result, error):
    class Bad(varenna.Model):
        def _create_1d_section(self, *args, **kwargs):
            return result
    with pytest.raises(error, match="from __iter__"):
        Bad().create_beam("cs", "mat")


def reference_walk(parser):
    """What section_results() is, written as the generator function it stands for."""
    def walk():
        parser._file.seek(0)
        for _, element in ET.iterparse(parser._file, events=("end",)):
            if element.tag == "SectionConcreteCheckResult":
                yield SectionResult(int(element.find("SectionId").text), element)
                element.clear()
        parser._reset_file()
    return walk()


def reference_extremes(s):
    def iterate():
        found = s._element.find("ExtremeResults")
        if found is not None:
            yield from found
    return iterate()


def outcome(call):
    try:
        value = call()
    except BaseException as e:  # noqa: BLE001 - compared as type and message
        assert not isinstance(e, SystemError), e
        return type(e), str(e)
    return getattr(value, "id_", getattr(value, "tag", value))


# Made afresh for each throw: a raised exception keeps the traceback of its last raise, and
# with it the generators of that test, for as long as the exception lives.
THROWS = {
    "int": lambda: (5,), "str": lambda: ("text",), "class": lambda: (ValueError,),
    "instance": lambda: (ValueError("v"),), "class and value": lambda: (ValueError, "given"),
    "instance and value": lambda: (ValueError("v"), "second"),
    "bad traceback": lambda: (ValueError, None, 5), "StopIteration": lambda: (StopIteration,),
    "GeneratorExit": lambda: (GeneratorExit,), "tuple value": lambda: (KeyError, ("a", "b")),
}


@pytest.mark.parametrize("make_args", THROWS.values(), ids=THROWS.keys())
@pytest.mark.parametrize("started", [False, True])
def test_throw_into_the_walk_behaves_as_a_generator(make_args, started):
    ours, ref = streaming().section_results(), reference_walk(streaming())
    if started:
        assert next(ours).id_ == next(ref).id_ == 1
    assert outcome(lambda: ours.throw(*make_args())) == outcome(lambda: ref.throw(*make_args()))
    assert outcome(lambda: next(ours)) == outcome(lambda: next(ref))
    assert outcome(lambda: next(ours)) == outcome(lambda: next(ref))


STEPS = {
    "next": lambda g: next(g),
    "send None": lambda g: g.send(None),
    "send 1": lambda g: g.send(1),
    "close": lambda g: g.close(),
    "throw 5": lambda g: g.throw(5),
    "throw KeyError": lambda g: g.throw(KeyError("k")),
    "throw class": lambda g: g.throw(ValueError),
    "throw StopIteration": lambda g: g.throw(StopIteration),
}


@pytest.mark.parametrize("first", STEPS, ids=str)
@pytest.mark.parametrize("second", STEPS, ids=str)
def test_extreme_iteration_is_a_generator(first, second):
    s = streaming().section_result(1)
    ours, ref = s._iter_extreme_results(), reference_extremes(s)
    for step in (first, second, "next", "next", "next"):
        mine, theirs = outcome(lambda: STEPS[step](ours)), outcome(lambda: STEPS[step](ref))
        if isinstance(theirs, tuple) and theirs[0] is AttributeError:
            theirs = (AttributeError, mine[1] if isinstance(mine, tuple) else None)
        assert mine == theirs, step


# --- calls go through the object --------------------------------------------------------------

def patched_on_class(cls, name, value):
    return mock.patch.object(cls, name, value)


class Patch:
    """Three ways to replace a method: on the class, on the instance, in a subclass."""
    def __init__(self, how):
        self.how = how

    def parser(self, make, name, value):
        base = make()
        if self.how == "instance":
            setattr(base, name, value.__get__(base))
            return base, contextlib.nullcontext()
        if self.how == "subclass":
            sub = type("Sub", (type(base),), {name: value})
            p = sub.__new__(sub)
            p.__dict__.update(base.__dict__)
            return p, contextlib.nullcontext()
        return base, patched_on_class(type(base), name, value)


HOWS = ["class", "instance", "subclass"]


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("query", ["capacity_results", "shear_results", "fatigue_results"])
def test_replaced_section_element_is_called(how, query):
    calls = []

    def mine(self, section_id):
        calls.append(section_id)
        return ET.fromstring(section(7))
    p, patch = Patch(how).parser(whole, "_section_element", mine)
    with patch:
        result = getattr(p, query)(1)
    assert calls == [1]
    if query == "shear_results":
        assert result[0]["Vrd"] == 70.0


@pytest.mark.parametrize("name", ["shear", "_iter_extreme_results", "__init__"])
def test_replaced_section_result_methods_are_called_by_the_whole_document_parser(name):
    calls = []
    original = vars(SectionResult)[name]

    def spy(self, *args):
        calls.append(name)
        return original(self, *args)
    with mock.patch.object(SectionResult, name, spy):
        assert whole().shear_results(1)[0]["Vrd"] == 10.0
    assert calls


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("name", ["shear", "_iter_extreme_results"])
def test_replaced_section_methods_are_called_by_extremes(how, name):
    calls = []
    original = vars(SectionResult)[name]

    def spy(self):
        calls.append(name)
        return original(self)
    s = streaming().section_result(1)
    if how == "class":
        with mock.patch.object(SectionResult, name, spy):
            rows = s.extremes()
    elif how == "instance":
        setattr(s, name, spy.__get__(s))
        rows = s.extremes()
    else:
        sub = type("Sub", (SectionResult,), {name: spy})
        rows = sub(s.id_, s._element).extremes()
    assert calls and len(rows) == 2 and rows[1]["shear"]["Vrd"] == 11.0


@pytest.mark.parametrize("how", HOWS)
def test_replaced_element_to_dict_is_called_by_raw_results(how):
    def mine(cls, e):
        return {"mine": e.tag}
    p = whole()
    if how == "class":
        with mock.patch.object(OutputFileParser, "_element_to_dict", classmethod(mine)):
            assert p.raw_results() == {"mine": "R"}
    elif how == "instance":
        p._element_to_dict = lambda e: {"mine": e.tag}
        assert p.raw_results() == {"mine": "R"}
    else:
        sub = type("Sub", (OutputFileParser,), {"_element_to_dict": classmethod(mine)})
        assert sub(io.BytesIO(DOC.encode())).raw_results() == {"mine": "R"}


@pytest.mark.parametrize("query, expected", [
    (lambda p: p.section_ids, [9]),
    (lambda p: p.shear_results(9)[0]["Vrd"], 90.0),
    (lambda p: p.raw_results()["R"][0]["SectionConcreteCheckResult"][0], {"SectionId": "9"}),
])
def test_a_patched_root_is_read(query, expected):
    p = whole()
    other = ET.fromstring(f"<R>{section(9)}</R>")
    with mock.patch.object(OutputFileParser, "_root", property(lambda self: other)):
        assert query(p) == expected
    assert p.section_ids == [1, 2, 3]


# --- copy and pickle --------------------------------------------------------------------------

COPIES = {
    "deepcopy": copy.deepcopy,
    **{f"pickle {n}": (lambda n: lambda o: pickle.loads(pickle.dumps(o, protocol=n)))(n)
       for n in (2, pickle.HIGHEST_PROTOCOL)},  # elements need protocol 2
}


@pytest.mark.parametrize("duplicate", COPIES.values(), ids=COPIES.keys())
def test_copies_keep_every_result(duplicate):
    p = whole()
    q = duplicate(p)
    assert q.raw_results() == p.raw_results() and q.shear_results(1) == p.shear_results(1)
    s = streaming().section_result(1)
    t = duplicate(s)
    assert type(t) is SectionResult and t.id_ == 1 and t.extremes() == s.extremes()
    kept = [duplicate(x) for x in streaming().section_results()]
    assert [k.shear()[0]["Vrd"] for k in kept] == [10.0, 20.0, 30.0]


def test_copies_share_what_the_original_shares():
    p = whole()
    e = p._section_element(2)
    q, f = copy.deepcopy((p, e))
    assert f in list(q._root) and f is not e


# --- the tree is the document -----------------------------------------------------------------

@pytest.mark.parametrize("first", [1, 2, 3])
def test_lookups_leave_the_document_unchanged(first):
    p = whole()
    e = p._section_element(first)
    reference = ET.fromstring(DOC.encode("utf-16"))
    assert e.tail == reference[first - 1].tail
    assert ET.tostring(p._root) == ET.tostring(reference)
    assert p._section_element(first) is e and list(p._root)[first - 1] is e


# --- text of a value --------------------------------------------------------------------------

class Kind(str, enum.Enum):
    A = "seven"


class Loud(str):
    def __str__(self):
        return "LOUD"


@pytest.mark.parametrize("wanted", [Kind.A, Loud("seven")])
def test_str_subclasses_appear_as_their_text(wanted):
    with pytest.raises(ParsingError) as info:
        whole().capacity_results(wanted)
    assert info.value.args == ("section with id 'section_id = seven' is not available in the result file.",)
    with pytest.raises(ParsingError) as info:
        streaming().section_result(wanted)
    assert info.value.args == ("section with id 'seven' is not available in the result file.",)


@pytest.mark.parametrize("wanted", [Kind.A, Loud("seven")])
def test_spreadsheet_messages_show_str_subclasses_as_their_text(wanted):
    from quillon.external.excel import Excel
    job = Excel(io.BytesIO(b"template"))
    job._result_content = {}
    with pytest.raises(RuntimeError, match="Cell with name seven could"):
        job.get_named_cell_result(wanted)
    with pytest.raises(RuntimeError, match=r"signature \(seven, seven, seven\)"):
        job.get_direct_cell_result(wanted, wanted, wanted)
    assert Excel._create_error_string({"warning_message": wanted, "error_message": wanted}) == (
        "Warning: seven \nError: seven")


# --- import -----------------------------------------------------------------------------------

VOCABULARY = ["_OpenObject", "_ReferenceElement", "CheckMember", "CheckMember1D", "MatConcrete",
              "MatConcreteEc2", "MatReinforcement", "MatReinforcementEc2", "CrossSection",
              "CrossSectionParameter", "CrossSectionComponent", "ReinforcedCrossSection",
              "ReinforcedBar", "Stirrup", "CheckSection", "StandardCheckSection",
              "CheckSectionExtreme", "ConcreteMemberDataEc2", "ExposureClassesDataEc2",
              "CalculationSetup", "ThermalState", "ConcDependentParams", "LoadingSLS",
              "LoadingULS", "FatigueLoading", "ProjectData", "CodeSettings", "ConcreteMaterial",
              "ReinforcementMaterial", "CrossSectionType", "MemberType", "TwoWaySlabType",
              "BarSurface", "ReinfClass", "ReinfType", "ReinfDiagramType", "ReinfFabrication",
              "ConcDiagramType", "ConcAggregateType", "ConcCementClass", "_MATERIAL_NAMES",
              "_MATERIAL_PROPERTIES"]


def test_the_vocabulary_names_are_module_attributes():
    from quillon.external.varenna import objects
    for name in VOCABULARY:
        assert getattr(varenna, name) is getattr(objects, name), name


@pytest.mark.parametrize("module, name", [
    ("quillon.external.varenna.objects", "CodeSettings"),
    ("quillon.external.varenna.objects", "_MATERIAL_NAMES"),
    ("quillon.core", "_post_on_addon_endpoint"),
    ("quillon.errors", "ParsingError"),
    ("quillon.external.external_program", "_JobContent"),
])
def test_a_missing_host_name_fails_the_import_as_from_import_does(module, name):
    out = run_child(f"""
        import importlib, {module} as host
        delattr(host, {name!r})
        def error(run):
            try:
                run()
            except BaseException as e:
                return type(e).__name__, str(e), getattr(e, "name", None)
        expected = error(lambda: exec("from {module} import {name}"))
        got = error(lambda: importlib.import_module("quillon.external.varenna.varenna"))
        print(expected == got, expected, got)
    """, prelude=False)
    assert out.startswith("True"), out


# --- malformed UTF-16 -------------------------------------------------------------------------

BAD_UTF16 = {
    "high then letter in text": "<R><a>x\ud800y</a></R>",
    "two highs in text": "<R><a>\ud800\ud800\udc00</a></R>",
    "high then letter in attribute": '<R><a v="\udbffz"/></R>',
    "high then tag": "<R>\ud801<a/></R>",
    "high in a name": "<R><a\ud800b/></R>",
    "high at the very start": "\ud800<R/>",
}


def lone_low_error(doc, encoding):
    """The standard parser's error for a lone low surrogate where the bad unit stands."""
    index = next(i for i, c in enumerate(doc) if "\ud800" <= c <= "\udbff")
    reference = doc[:index] + "\udc00" + doc[index + 1:]
    with pytest.raises(ET.ParseError) as info:
        ET.fromstring(reference.encode(encoding, "surrogatepass"))
    return str(info.value), info.value.code, info.value.position


@pytest.mark.parametrize("encoding", ["utf-16", "utf-16-le", "utf-16-be"])
@pytest.mark.parametrize("doc", BAD_UTF16.values(), ids=BAD_UTF16.keys())
# Paddings that put the bad unit at and around the ends of pieces of 64 KiB, 1 MiB and 2 MiB
# (the walk's).
@pytest.mark.parametrize("padding", [0, 65534, 65535, 65536, 524280, 524284, 524285, 1048568, 1048572, 1048573],
                         ids=lambda n: f"pad{n}")
def test_unpaired_high_surrogates_are_refused_by_both_parsers(encoding, doc, padding):
    doc = doc.replace("<R>", "<R>" + " " * padding, 1) if doc.startswith("<R>") else doc
    expected = lone_low_error(doc, encoding)
    data = doc.encode(encoding, "surrogatepass")
    with pytest.raises(ParsingError) as info:
        OutputFileParser(io.BytesIO(data))
    cause = info.value.__cause__
    assert (str(cause), cause.code, cause.position) == expected
    with pytest.raises(ET.ParseError) as info:
        list(RcsOutputFileParser(io.BytesIO(data)).section_results())
    assert (str(info.value), info.value.code, info.value.position) == expected


@pytest.mark.parametrize("doc", ["<R><a>\ud83d\ude00 \U0001F600</a></R>", "<R>\udbff\udfff</R>"])
@pytest.mark.parametrize("padding", [0, 65535])
def test_well_paired_surrogates_still_read_as_the_standard_parser_reads_them(doc, padding):
    doc = doc.replace("<R>", "<R>" + " " * padding, 1)
    data = doc.encode("utf-16", "surrogatepass")
    assert varenna.OutputFileParser(io.BytesIO(data)).raw_results() == \
        OutputFileParser._element_to_dict(ET.fromstring(data))
