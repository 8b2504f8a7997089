"""The eight per-check extractions and extremes(): differential against the plain
ElementTree implementation on random sections, and the documented rules one by one."""

import io
import math
import os
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings, strategies as st

from quillon.external.varenna import varenna

import baseline_parsers

Native = varenna.RcsOutputFileParser
Baseline = baseline_parsers.RcsOutputFileParser
OPERATIONS = ["capacity", "shear", "torsion", "interaction", "crack_width", "detailing",
              "stress_limitation", "fatigue", "extremes"]
WHOLE_OPERATIONS = ["capacity_results", "shear_results", "crack_width_results", "detailing_results",
                    "stress_limitation_results", "fatigue_results"]


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:  # noqa: BLE001 - compared as type and message
        return type(e), str(e)


def same(a, b):
    """Equality that also holds for NaN in the same places."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def native_sections(xml):
    """(native section from a walk, native section built on an ET element) for each section."""
    parser = Native(io.BytesIO(xml.encode("utf-16")))
    return parser, parser.section_results()


def compare_section(xml):
    root = ET.fromstring(xml)
    section_el = root if root.tag == "SectionConcreteCheckResult" else root.find(
        "SectionConcreteCheckResult")
    reference = Baseline.SectionResult(1, section_el)
    direct = Native.SectionResult(1, section_el)
    walk = Native(io.BytesIO(xml.encode("utf-16"))).section_results()
    walked = next(walk)
    for op in OPERATIONS:
        expected = outcome(getattr(reference, op))
        for candidate in (direct, walked):
            got = outcome(getattr(candidate, op))
            assert got[0] == expected[0] and same(got[1], expected[1]), (op, got, expected)
    if root is not section_el:
        # The whole-document parser reads one check per call, from its own tree.
        whole = varenna.OutputFileParser(io.StringIO(xml))
        whole_reference = baseline_parsers.OutputFileParser(io.StringIO(xml))
        for op in WHOLE_OPERATIONS:
            expected = outcome(lambda: getattr(whole_reference, op)(1))
            got = outcome(lambda: getattr(whole, op)(1))
            assert got[0] == expected[0] and same(got[1], expected[1]), (op, got, expected)


# --- random sections -------------------------------------------------------------------------

NUMBER = st.sampled_from(["1", " -2.5 ", "1e3", "+.5", "7.", "nan", "NaN", "-inf", "Infinity",
                          "1_000", "١٢", "", None, "abc", "0x1", "1e400", "4e-320", "\t3\n",
                          "123456789.123456789123"])
TEXT = st.sampled_from(["OK", "", None, "NotOK"])


@st.composite
def leaf(draw, tag, values=NUMBER):
    if draw(st.integers(0, 9)) == 0:
        return ""  # element absent
    text = draw(values)
    return f"<{tag}/>" if text is None else f"<{tag}>{text}</{tag}>"


def keys_xml(draw, keys):
    return "".join(draw(leaf(k)) for k in keys) + draw(leaf("Result", TEXT))


@st.composite
def check_base(draw, result_type):
    parts = []
    check = draw(st.sampled_from({
        "CrackWidth": ["CrackWidthShort", "CrackWidthLong", "Other"],
        "StressLimitation": ["StressLimitationShort", "StressLimitationLong", "Odd"],
        "Fatigue": ["Fatigue", "Shear", "Shear"],
    }.get(result_type, ["X"])))
    parts.append(f"<Check>{check}</Check>")
    if result_type == "Capacity":
        for group in ("Fu", "Fu1", "Fu2"):
            kind = draw(st.integers(0, 3))
            if kind == 1:
                parts.append(f"<{group}/>")
            elif kind >= 2:
                parts.append(f"<{group}>" + "".join(draw(leaf(f, st.sampled_from(["1", "2.5", "-0"])))
                                                    for f in ("N", "Qy", "My", "N")) + f"</{group}>")
        parts.append(keys_xml(draw, ["CheckValue"]))
    elif result_type in ("Shear", "Torsion", "Interaction"):
        keys = {"Shear": baseline_parsers._SHEAR_KEYS, "Torsion": baseline_parsers._TORSION_KEYS,
                "Interaction": baseline_parsers._INTERACTION_KEYS}[result_type]
        parts.append(keys_xml(draw, keys))
    elif result_type == "CrackWidth":
        parts.append(keys_xml(draw, baseline_parsers._CRACK_KEYS))
    elif result_type == "Detailing":
        parts.append(keys_xml(draw, ["CheckValueLongReinf", "CheckValueShearReinf", "CheckValue"]))
    elif result_type == "StressLimitation":
        name = draw(st.sampled_from(list(baseline_parsers._STRESS_CHECKS[:3]) + ["Other"]))
        if draw(st.integers(0, 5)):
            parts.append(f"<TypeCheck>{name}</TypeCheck>")
        parts.append(draw(leaf("Stress", st.sampled_from(["1.5", "NaN", "nan", "", None, " NaN ", "x"]))))
        parts.append(keys_xml(draw, ["CheckValue"]))
    elif result_type == "Fatigue":
        forces = st.sampled_from(["1", "2", "", None])
        if check == "Fatigue":
            for tag in ("InternalForceMax", "InternalForceMin"):
                if draw(st.integers(0, 6)):
                    parts.append(f"<{tag}>" + "".join(draw(leaf(f, forces)) for f in
                                                      baseline_parsers._FORCES) + f"</{tag}>")
            parts.append(keys_xml(draw, ["CheckValue"]))
            parts.append(draw(leaf("DecissionMethod", TEXT)))
        else:
            inner = "".join(draw(leaf(f, forces)) for f in baseline_parsers._FORCES)
            wrap = draw(st.integers(0, 2))
            parts.append("<F>" * wrap + inner + "</F>" * wrap)
            parts.append(keys_xml(draw, baseline_parsers._SHEAR_KEYS))
    return "<ConcreteCheckResultBase>" + "".join(parts) + "</ConcreteCheckResultBase>"


RESULT_TYPES = ["Capacity", "Shear", "Torsion", "Interaction", "CrackWidth", "Detailing",
                "StressLimitation", "Fatigue"]


@st.composite
def result_of_check(draw):
    rtype = draw(st.sampled_from(RESULT_TYPES))
    bases = "".join(draw(check_base(rtype)) for _ in range(draw(st.integers(0, 3))))
    shown = draw(st.sampled_from([rtype, rtype, rtype + "X", f"{rtype[:3]}<!--c-->{rtype[3:]}"]))
    nested = draw(result_of_check()) if draw(st.integers(0, 6)) == 0 else ""
    return (f"<R><ResultType>{shown}</ResultType>{nested}<CheckResults>{bases}</CheckResults></R>")


@st.composite
def section_element(draw, id_=1):
    extremes = []
    for _ in range(draw(st.integers(0, 3))):
        checks = "".join(draw(result_of_check()) for _ in range(draw(st.integers(0, 5))))
        extremes.append(f"<Extreme><Results>{checks}</Results></Extreme>")
    body = "<ExtremeResults>" + "".join(extremes) + "</ExtremeResults>"
    return f"<SectionConcreteCheckResult><SectionId>{id_}</SectionId>{body}</SectionConcreteCheckResult>"


@st.composite
def sections(draw):
    return f"<Doc>{draw(section_element())}</Doc>"


@given(sections())
@settings(max_examples=400, deadline=None)
def test_extractions_match_elementtree_implementation(xml):
    compare_section(xml)


# --- walks of many sections ------------------------------------------------------------------
# The walk works out part of what the checks read while it scans a section. Whichever sections
# that covers (the first ones on trial, then all once the checks are read), and whichever it
# does not, the results are those of the plain implementation.

class Trickle(io.BytesIO):
    """A stream that gives a few sections at a time, as a big file gives a walk its pieces."""

    def read(self, size=-1):
        return super().read(min(size, 4096) if size is not None and size >= 0 else 4096)


def walk_outcomes(parser_class, xml, read_from, ops):
    out = []
    for i, s in enumerate(parser_class(Trickle(xml.encode("utf-16"))).section_results()):
        if i >= read_from:
            out.append([outcome(getattr(s, op)) for op in ops])
    return out


def same_outcomes(got, expected):
    assert len(got) == len(expected)
    for g_section, e_section in zip(got, expected):
        for g, e in zip(g_section, e_section):
            assert g[0] == e[0] and same(g[1], e[1]), (g, e)


@given(st.lists(section_element(), min_size=20, max_size=40), st.sampled_from([0, 18, 30]),
       st.sampled_from([["extremes"], ["shear", "stress_limitation", "extremes"]]))
@settings(max_examples=25, deadline=None)
def test_walk_of_many_sections_matches_elementtree_implementation(elements, read_from, ops):
    xml = "<Doc>" + "".join(elements) + "</Doc>"
    same_outcomes(walk_outcomes(Native, xml, read_from, ops), walk_outcomes(Baseline, xml, read_from, ops))


@given(section_element(1), section_element(2), section_element(3))
@settings(max_examples=40, deadline=None)
def test_nested_sections_in_a_walk_match_elementtree_implementation(outer, inner, innermost):
    # The inner sections are handed out, and emptied, before the outer one is complete.
    inner = inner.replace("</SectionId>", "</SectionId>" + innermost, 1)
    xml = "<Doc>" + outer.replace("<Results>", "<Results>" + inner, 1) + "</Doc>"
    same_outcomes(walk_outcomes(Native, xml, 0, OPERATIONS), walk_outcomes(Baseline, xml, 0, OPERATIONS))


def test_walks_in_threads_read_what_one_walk_reads(tmp_path):
    import threading
    import gen_results

    path = tmp_path / "results.xml"
    gen_results.generate(str(path), 0.6, extremes=1)
    data = path.read_bytes()

    def walk():
        return [(s.id_, s.extremes()) for s in Native(Trickle(data)).section_results()]

    expected = walk()
    assert len(expected) > 16  # past the sections read ahead on trial
    results = [None] * 4

    def work(i):
        results[i] = walk()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same(r, expected) for r in results)


# What the module keeps of the interpreter (keys, dictionary shapes, classes) is made when it
# is imported. Were any of it made on first use under a C++ static's guard, Python code running
# there (an import, the finalisers of a collection) would let another thread run, which would
# wait for the guard while holding the interpreter's lock: neither would go on. Here the threads
# meet the module first all at once, and every collection lets them switch.
THREADS_FROM_IMPORT = """
import gc, io, sys, threading, time
sys.path.insert(0, {tests!r})
import gen_results
gen_results.generate({path!r}, 0.05, extremes=1)
data = open({path!r}, "rb").read()

class Pending:
    # Garbage there always is, whose finaliser lets other threads run and leaves the next.
    def __init__(self):
        self.me = self
    def __del__(self):
        time.sleep(0)
        Pending()

sys.setswitchinterval(1e-6)
gc.set_threshold(1)
Pending()
from quillon.external.varenna import varenna

def work():
    out = []
    parser = varenna.RcsOutputFileParser(io.BytesIO(data))
    for s in parser.section_results():
        out.append((s.id_, s.extremes(), s.fatigue()))
    whole = varenna.OutputFileParser(io.BytesIO(data))
    ids = whole.section_ids
    out.append([whole.stress_limitation_results(i) for i in ids[:3]] + [whole.raw_results()])
    out.append(parser.section_result(ids[-1]).crack_width())
    element = whole._section_element(ids[0])
    out.append(varenna.RcsOutputFileParser.SectionResult(1, element).extremes())
    return out

results = [None] * 4
start = threading.Barrier(4)
def run(i):
    start.wait()
    results[i] = work()
threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
gc.set_threshold(700)
print(all(r == results[0] for r in results) and results[0] == work() and len(results[0]) > 3)
"""


def test_walks_and_lookups_in_threads_from_a_fresh_import(tmp_path):
    code = THREADS_FROM_IMPORT.format(tests=os.path.dirname(os.path.abspath(__file__)),
                                      path=str(tmp_path / "results.xml"))
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        pytest.fail("threads using a freshly imported module made no progress (a deadlock)")
    assert done.returncode == 0 and done.stdout.strip() == "True", done.stderr[-3000:]


def test_walked_section_reads_its_elementtree_element_once_it_exists():
    xml = "<Doc>" + "".join(section(check("Shear", base(**SHEAR))).replace("<Doc>", "").replace("</Doc>", "")
                            for _ in range(3)) + "</Doc>"
    for s in Native(io.BytesIO(xml.encode("utf-16"))).section_results():
        assert s.shear()[0]["Ved"] == 1.0
        s._element.find(".//Ved").text = "9"
        assert s.shear()[0]["Ved"] == 9.0 and s.extremes()[0]["shear"]["Ved"] == 9.0


# --- documented rules ------------------------------------------------------------------------

def section(*extremes):
    body = "".join(f"<E>{e}</E>" for e in extremes)
    return ("<Doc><SectionConcreteCheckResult><SectionId>1</SectionId><ExtremeResults>"
            f"{body}</ExtremeResults></SectionConcreteCheckResult></Doc>")


def check(rtype, *bases):
    return f"<R><ResultType>{rtype}</ResultType><CheckResults>{''.join(bases)}</CheckResults></R>"


def base(**children):
    inner = "".join(f"<{k}/>" if v is None else f"<{k}>{v}</{k}>" for k, v in children.items())
    return f"<ConcreteCheckResultBase>{inner}</ConcreteCheckResultBase>"


def native(xml):
    return Native.SectionResult(1, ET.fromstring(xml).find("SectionConcreteCheckResult"))


SHEAR = dict(Ved=1, Vrd=2, Vrdc=3, Vrdmax=4, Vrdr=5, Vrds=6, CheckValue=0.5, Result="OK")


def test_entries_line_up_per_extreme():
    s = native(section(check("Shear", base(**SHEAR)), check("Capacity", base(CheckValue=1, Result="OK"))))
    assert s.capacity() == [None, {"Fu": None, "Fu1": None, "Fu2": None, "CheckValue": 1.0,
                                   "Result": "OK"}]
    assert s.shear()[0] == {k: float(v) if k != "Result" else v for k, v in SHEAR.items()}
    assert s.shear()[1] is None
    assert [list(e) for e in s.extremes()] == [["capacity", "shear", "torsion", "interaction",
                                                "crack_width", "detailing", "stress_limitation",
                                                "fatigue"]] * 2


CAP = "<ConcreteCheckResultBase><CheckValue>{}</CheckValue><Result>OK</Result></ConcreteCheckResultBase>"


@pytest.mark.parametrize("extreme", [
    # an element whose ResultType follows an inner element with its own: the outer one first
    f"<A><B><ResultType>Capacity</ResultType><CheckResults>{CAP.format(2)}</CheckResults></B>"
    f"<ResultType>Capacity</ResultType><CheckResults>{CAP.format(1)}</CheckResults></A>",
    # the first element of the type has nothing where the check reads: the next one counts
    f"<R><ResultType>Capacity</ResultType></R>{check('Capacity', CAP.format(3))}",
    # a ResultType of the extreme itself is not below it
    f"<ResultType>Capacity</ResultType><CheckResults>{CAP.format(4)}</CheckResults>",
    # two ResultType children, the second of the type; a type split by a comment
    f"<R><ResultType>Shear</ResultType><ResultType>Capacity</ResultType>"
    f"<CheckResults>{CAP.format(5)}</CheckResults></R>",
    f"<R><ResultType>Capa<!-- c -->city<X/></ResultType><CheckResults>{CAP.format(6)}</CheckResults></R>",
    f"<R><ResultType>Capa<X>ci</X>ty</ResultType><CheckResults>{CAP.format(7)}</CheckResults></R>",
    # deep below the extreme, after the other checks
    f"{check('Shear')}<P><Q>{check('Capacity', CAP.format(8))}</Q></P>",
])
def test_check_elements_are_found_as_elementtree_finds_them(extreme):
    compare_section(section(extreme, extreme.replace("Capacity", "Shear")))


@pytest.mark.parametrize("xml, expected", [
    (base(), None),
    (base(Fu="<N>1</N><N>2</N><My>3</My>", Fu1=None, CheckValue=1, Result="OK"),
     {"Fu": {"N": 2.0, "My": 3.0}, "Fu1": None, "Fu2": None, "CheckValue": 1.0, "Result": "OK"}),
])
def test_capacity_entries(xml, expected):
    assert native(section(check("Capacity", xml))).capacity() == [expected]


FORCE_NAMES = list(baseline_parsers._FORCES)


@pytest.mark.parametrize("names", [
    FORCE_NAMES, FORCE_NAMES[::-1], FORCE_NAMES[:5], FORCE_NAMES + ["N"], ["N"] + FORCE_NAMES[1:3]
    + ["N"] + FORCE_NAMES[3:], FORCE_NAMES[:2] + ["Other"] + FORCE_NAMES[3:],
])
@pytest.mark.parametrize("last", ["7", "x"])
def test_force_groups_of_any_forces_in_any_order(names, last):
    values = [f"{i}.5" for i in range(len(names) - 1)] + [last]
    group = "".join(f"<{n}>{v}</{n}>" for n, v in zip(names, values))
    compare_section(section(check("Capacity", base(Fu=group, Fu2=group, CheckValue=1, Result="OK"))))


def test_crack_width_with_only_the_long_term():
    long = base(Check="CrackWidthLong", N=1, My=2, Mz=3, W=4, Wlim=5, CheckValue=6, Result="OK")
    assert native(section(check("CrackWidth", long))).crack_width() == [{
        "short": None,
        "long": {"N": 1.0, "My": 2.0, "Mz": 3.0, "W": 4.0, "Wlim": 5.0, "CheckValue": 6.0,
                 "Result": "OK"}}]


def test_detailing_without_shear_reinforcement():
    d = native(section(check("Detailing", base(CheckValueLongReinf=2, CheckValue=1, Result="OK"))))
    assert d.detailing() == [{"longitudinal": 2.0, "shear": None, "CheckValue": 1.0,
                              "CheckValueLongReinf": 2.0, "CheckValueShearReinf": None,
                              "Result": "OK"}]


def stress(check_, type_check, value, cv=1):
    return base(Check=check_, TypeCheck=type_check, Stress=value, CheckValue=cv, Result="OK")


@pytest.mark.parametrize("value, summary, per_check", [
    ("NaN", None, None), ("", None, None), (None, None, None), ("2.5", 2.5, 2.5),
])
def test_stress_limitation_values(value, summary, per_check):
    s = native(section(check("StressLimitation",
                             stress("StressLimitationShort", "Check_7_2_2_Concrete_fck", value))))
    entry = s.stress_limitation()[0]
    assert list(entry) == ["short", "long"] + list(baseline_parsers._STRESS_CHECKS)
    assert entry["short"] == {"Check_7_2_2_Concrete_fck": summary}
    assert entry["long"] is None
    assert entry["Check_7_2_2_Concrete_fck"] == {"short": {"Stress": per_check, "CheckValue": 1.0,
                                                           "Result": "OK"}}
    assert all(entry[n] is None for n in baseline_parsers._STRESS_CHECKS[1:])


def test_later_stress_element_of_the_same_check_wins():
    s = native(section(check("StressLimitation",
                             stress("StressLimitationShort", "Check_7_2_2_Concrete_fck", 1, cv=1),
                             stress("StressLimitationShort", "Check_7_2_2_Concrete_fck", 2, cv=2))))
    entry = s.stress_limitation()[0]
    assert entry["short"] == {"Check_7_2_2_Concrete_fck": 2.0}
    assert entry["Check_7_2_2_Concrete_fck"]["short"]["CheckValue"] == 2.0


CHECKS = list(baseline_parsers._STRESS_CHECKS)


def stresses(term, names, values=None):
    values = values or ["1.5"] * len(names)
    return [stress(term, n, v) for n, v in zip(names, values)]


@pytest.mark.parametrize("bases", [
    stresses("StressLimitationShort", CHECKS) + stresses("StressLimitationLong", CHECKS),
    stresses("StressLimitationShort", CHECKS, ["1", "NaN", "", None, " nan ", "-0"]),
    stresses("StressLimitationShort", CHECKS[::-1]),
    stresses("StressLimitationShort", CHECKS[:5]),
    stresses("StressLimitationShort", CHECKS + CHECKS[:1]),
    stresses("StressLimitationShort", CHECKS[:3] + CHECKS[2:5]),
    stresses("StressLimitationShort", CHECKS[:3] + ["Other"] + CHECKS[3:]),
    [base(Check="StressLimitationShort", TypeCheck=CHECKS[0], CheckValue=1, Result="OK")]
    + stresses("StressLimitationShort", CHECKS),
    stresses("StressLimitationShort", CHECKS, ["1", "2", "x", "4", "5", "6"]),
])
def test_stress_summaries_of_any_checks_in_any_order(bases):
    compare_section(section(check("StressLimitation", *bases)))


def fatigue(max_forces, min_forces, *shears):
    forces = "".join(f"<{k}>{v}</{k}>" for k, v in max_forces.items())
    forces_min = "".join(f"<{k}>{v}</{k}>" for k, v in min_forces.items())
    f = (f'<ConcreteCheckResultBase><Check>Fatigue</Check><InternalForceMax>{forces}'
         f'</InternalForceMax><InternalForceMin>{forces_min}</InternalForceMin><CheckValue>1'
         f'</CheckValue><DecissionMethod>M</DecissionMethod><Result>OK</Result>'
         f'</ConcreteCheckResultBase>')
    return check("Fatigue", f, *shears)


def shear_element(forces, depth=1):
    inner = "".join(f"<{k}>{v}</{k}>" for k, v in forces.items())
    values = "".join(f"<{k}>{v}</{k}>" for k, v in SHEAR.items())
    return (f"<ConcreteCheckResultBase><Check>Shear</Check>{'<F>' * depth}{inner}{'</F>' * depth}"
            f"{values}</ConcreteCheckResultBase>")


FORCES = dict(N=1, Qy=2, Qz=3, Mx=4, My=5, Mz=6)
OTHER = dict(FORCES, Mz=7)
NO_N = {k: v for k, v in FORCES.items() if k != "N"}
EMPTY_N = dict(FORCES, N="")
SHEAR_VALUES = {k: float(v) if k != "Result" else v for k, v in SHEAR.items()}


@pytest.mark.parametrize("max_f, min_f, shears, expected", [
    (FORCES, FORCES, [shear_element(FORCES, depth=2)], {"max": SHEAR_VALUES, "min": SHEAR_VALUES}),
    (FORCES, OTHER, [shear_element(OTHER)], {"min": SHEAR_VALUES}),
    (FORCES, FORCES, [shear_element(OTHER)], {}),
    # a missing force equals a missing one, an empty one equals an empty one, but not each other
    (NO_N, FORCES, [shear_element(NO_N)], {"max": SHEAR_VALUES}),
    (NO_N, EMPTY_N, [shear_element(EMPTY_N)], {"min": SHEAR_VALUES}),
])
def test_fatigue_shear_matching(max_f, min_f, shears, expected):
    entry = native(section(fatigue(max_f, min_f, *shears))).fatigue()[0]
    assert entry["fatigue"] == {"CheckValue": 1.0, "DecisionMethod": "M", "Result": "OK"}
    assert entry["shear"] == expected


def exact(call):
    """The outcome, with a float as its bits (so -0.0 and 0.0 differ)."""
    got = outcome(call)
    return got if got[0] != "ok" else ("ok", struct.pack("<d", got[1]))


def walked_ved(text):
    """The Ved of a shear check holding `text`, read from a section of a walk (our own tree)."""
    xml = section(check("Shear", base(**dict(SHEAR, Ved=text))))
    walked = next(Native(io.BytesIO(xml.encode("utf-16"))).section_results())
    return exact(lambda: walked.shear()[0]["Ved"])


@pytest.mark.parametrize("text", [
    "0", "-0", "+0", "-0.0", "0e999", "5", "+5", " 5 ", "\t-5\n", "5.", ".5", "-.5", ".", "-", "",
    "0.1", "0.3", "1e22", "1e23", "9007199254740993", "123456789012345", "1234567890123456",
    "123456789012345678901234567890", "1.00000000000000000000", "100000000000000000000000",
    "0.000000000000000000001", "1e-22", "1e-23", "4.35", "2.2250738585072014e-308", "1e308",
    "1e309", "4e-320", "1e", "1e+", "1e-5", "1E5", "1.5e+3", "1.2.3", "1e5.0", "nan", "-inf",
    "inf", "-nan", "+NaN", " nan ", "NAN", "Infinity", "-INFINITY", "infinit", "nana", "in", "n",
    "1_0", "1__0", "0x10", "12345678.87654321", "99999999999999999999", "00000001.5",
    "-121960.371161613", "470000.000000000000", "9999999999999999", "0.30000000000000004",
])
def test_numbers_are_read_exactly_as_float_reads_them(text):
    # An empty element has no text at all: float(None).
    assert walked_ved(text) == exact(lambda: float(text or None))


DECIMALS = st.builds(
    lambda sign, whole, fraction, exponent: sign + whole + fraction + exponent,
    st.sampled_from(["", "-", "+"]),
    st.from_regex(r"[0-9]{0,20}", fullmatch=True),
    st.sampled_from(["", "."]) | st.from_regex(r"\.[0-9]{0,20}", fullmatch=True),
    st.sampled_from([""]) | st.from_regex(r"[eE][+-]?[0-9]{1,3}", fullmatch=True))


@given(DECIMALS)
@settings(max_examples=300, deadline=None)
def test_random_decimals_are_read_exactly_as_float_reads_them(text):
    assert walked_ved(text) == exact(lambda: float(text or None))


@pytest.mark.parametrize("xml, error", [
    (check("Shear", base(Ved=1)), (AttributeError, "'NoneType' object has no attribute 'text'")),
    (check("Shear", base(**dict(SHEAR, Vrd=None))),
     (TypeError, "float() argument must be a string or a real number, not 'NoneType'")),
    (check("Shear", base(**dict(SHEAR, Vrd="x"))),
     (ValueError, "could not convert string to float: 'x'")),
    (check("StressLimitation", stress("Odd", "Check_5_10_3_2_Tendons", 1)), (NotImplementedError, "")),
    (check("Fatigue", base(Check="Fatigue", CheckValue=1, DecissionMethod="M", Result="OK"),
           shear_element(FORCES)),
     (AttributeError, "'NoneType' object has no attribute 'findtext'")),
])
def test_errors_are_the_interpreters(xml, error):
    s = native(section(xml))
    assert outcome(s.extremes)[:2] == error


def test_extremes_runs_the_eight_operations_in_order():
    # capacity() fails on the second extreme before shear() would fail on the first.
    s = native(section(check("Shear", base(Ved="bad")), check("Capacity", base(CheckValue="zz"))))
    assert outcome(s.extremes) == (ValueError, "could not convert string to float: 'zz'")


def test_a_subclass_override_is_used_by_extremes():
    class Custom(Native.SectionResult):
        def shear(self):
            return ["mine"] * len(super().shear())

    s = Custom(1, ET.fromstring(section(check("Shear", base(**SHEAR)))).find("SectionConcreteCheckResult"))
    assert [e["shear"] for e in s.extremes()] == ["mine"]


def test_extremes_asks_an_overridden_extreme_iteration_once_per_check():
    calls = []

    class Counting(Native.SectionResult):
        def _iter_extreme_results(self):
            calls.append(1)
            # a different answer on every call: each check must use its own
            yield from self._element.find("ExtremeResults")[:len(calls) % 2 + 1]

    element = ET.fromstring(section(check("Shear", base(**SHEAR)), check("Shear", base(**SHEAR))))
    s = Counting(1, element.find("SectionConcreteCheckResult"))
    assert len(s.extremes()) == 1 and len(calls) == 8


def test_element_given_directly_is_read_at_call_time():
    element = ET.fromstring(section(check("Shear", base(**SHEAR)))).find("SectionConcreteCheckResult")
    s = Native.SectionResult(3, element)
    assert s._element is element and s.id_ == 3
    assert s.shear()[0]["Ved"] == 1.0
    element.find(".//Ved").text = "9"
    assert s.shear()[0]["Ved"] == 9.0
    element.clear()
    assert s.extremes() == []


def test_section_without_extreme_results_gives_empty_lists():
    s = Native.SectionResult(1, ET.fromstring("<SectionConcreteCheckResult/>"))
    assert [getattr(s, op)() for op in OPERATIONS] == [[]] * len(OPERATIONS)
    assert list(s._iter_extreme_results()) == []


def test_extreme_results_are_looked_up_when_first_asked_for():
    s = Native.SectionResult(1, None)
    extremes = s._iter_extreme_results()
    s._element = ET.fromstring("<S><ExtremeResults><a/><b/></ExtremeResults></S>")
    assert [e.tag for e in extremes] == ["a", "b"] and list(extremes) == []
    failing = Native.SectionResult(1, None)._iter_extreme_results()
    with pytest.raises(AttributeError):
        next(failing)
    assert list(failing) == []


def set_text(tag, value, index=0):
    def change(element):
        element.findall(".//" + tag)[index].text = value
    return change


@pytest.mark.parametrize("xml, change", [
    # texts that user code put into the tree: falsy ones count as no text
    (check("StressLimitation", stress("StressLimitationShort", "Check_7_2_2_Concrete_fck", 1)),
     set_text("Stress", 0)),
    (check("StressLimitation", stress("StressLimitationLong", "Check_5_10_3_2_Tendons", 1)),
     set_text("Stress", 0.0)),
    (check("StressLimitation", stress("StressLimitationLong", "Check_5_10_3_2_Tendons", 1)),
     set_text("Stress", 3)),
    (fatigue(FORCES, FORCES, shear_element(dict(FORCES, N=""))), set_text("N", 0)),
    (fatigue(dict(FORCES, N=""), FORCES, shear_element(FORCES)), set_text("N", 0, index=2)),
    (check("Shear", base(**SHEAR)), set_text("Ved", 5)),
])
def test_non_string_texts_behave_as_in_elementtree(xml, change):
    element = ET.fromstring(section(xml)).find("SectionConcreteCheckResult")
    change(element)
    for op in OPERATIONS:
        expected = outcome(getattr(Baseline.SectionResult(1, element), op))
        got = outcome(getattr(Native.SectionResult(1, element), op))
        assert got[0] == expected[0] and same(got[1], expected[1]), (op, got, expected)
