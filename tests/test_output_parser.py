"""OutputFileParser: construction, identifiers, raw results and the per-section lists."""

import io
import xml.etree.ElementTree as ET

import pytest

from quillon.errors import ParsingError
from quillon.external.varenna import varenna

import baseline_parsers
import gen_results

Parser = varenna.OutputFileParser

SHEAR = ("<R><ResultType>Shear</ResultType><CheckResults><ConcreteCheckResultBase>"
         "<Ved>{v}</Ved><Vrd>2</Vrd><Vrdc>3</Vrdc><Vrdmax>4</Vrdmax><Vrdr>5</Vrdr><Vrds>6</Vrds>"
         "<CheckValue>0.5</CheckValue><Result>OK</Result></ConcreteCheckResultBase></CheckResults></R>")


def section(id_, ved=1):
    return (f"<SectionConcreteCheckResult><SectionId>{id_}</SectionId><ExtremeResults><E>"
            f"{SHEAR.format(v=ved)}</E></ExtremeResults></SectionConcreteCheckResult>")


def parser(*parts, wrap=io.BytesIO):
    text = "<Doc>" + "".join(parts) + "</Doc>"
    return Parser(wrap(text.encode() if wrap is io.BytesIO else text))


class Once(io.BytesIO):
    calls = 0

    def getvalue(self):
        Once.calls += 1
        return super().getvalue()


def test_getvalue_once_and_the_stream_is_not_kept():
    p = Parser(Once(b"<Doc/>"))
    assert Once.calls == 1
    assert all(not isinstance(v, io.IOBase) for v in vars(p).values())


@pytest.mark.parametrize("data", [b"<a><b></a></b>", b"", b"<a>", "<a><b></a>"])
def test_invalid_documents(data):
    with pytest.raises(ParsingError) as info:
        Parser(io.BytesIO(data) if isinstance(data, bytes) else io.StringIO(data))
    assert info.value.args == ("Provided 'xml_file' is not a valid XML file.",)
    assert type(info.value.__cause__) is ET.ParseError


def test_other_errors_pass_through():
    with pytest.raises(AttributeError):
        Parser(object())


def test_section_ids_text_and_bytes_input():
    for wrap in (io.BytesIO, io.StringIO):
        p = parser(section(1), f"<W>{section(5)}</W>", section(2), wrap=wrap)
        assert p.section_ids == [1, 2]  # only direct children of the root


@pytest.mark.parametrize("wanted", ["1", 3, None])
def test_missing_section_message(wanted):
    p = parser(section(1), section(2))
    with pytest.raises(ParsingError) as info:
        p.capacity_results(wanted)
    assert info.value.args == (f"section with id 'section_id = {wanted}' is not available in the result file.",)


@pytest.mark.parametrize("wanted", [1, 1.0, True])
def test_identifiers_compare_with_the_interpreters_equality(wanted):
    assert parser(section(1))._section_element(wanted).find("SectionId").text == "1"


def test_first_section_with_an_identifier_wins():
    p = parser(section(1, ved=10), section(1, ved=20))
    assert p.shear_results(1)[0]["Ved"] == 10.0


def test_malformed_section_before_the_match_raises_after_it_does_not():
    bad = "<SectionConcreteCheckResult><SectionId>x</SectionId></SectionConcreteCheckResult>"
    p = parser(section(1), bad, section(2))
    assert p.shear_results(1)[0]["Ved"] == 1.0
    with pytest.raises(ValueError, match="invalid literal for int"):
        p.shear_results(2)
    with pytest.raises(ValueError):
        p.section_ids


def test_raw_results():
    p = Parser(io.BytesIO(b"<R><S><SectionId>1</SectionId></S><E/><T>lost<x>1</x></T></R>"))
    assert p.raw_results() == {"R": [{"S": [{"SectionId": "1"}]}, {"E": None},
                                     {"T": [{"x": "1"}]}]}


def test_element_to_dict_goes_through_the_class_it_was_called_on():
    class Mine(Parser):
        @classmethod
        def _element_to_dict(cls, e):
            d = super()._element_to_dict(e)
            return {k.upper(): v for k, v in d.items()}

    p = Mine(io.BytesIO(b"<r><a>1</a><b/></r>"))
    assert p.raw_results() == {"R": [{"A": "1"}, {"B": None}]}
    assert Parser._element_to_dict(ET.fromstring("<r><a>1</a></r>")) == {"r": [{"a": "1"}]}


def test_root_is_an_elementtree_element_and_sections_are_its_children():
    p = parser(section(1), section(2))
    s2 = p._section_element(2)
    root = p._root
    assert isinstance(root, ET.Element) and root is p._root
    assert root[1] is s2 and p._section_element(1) is root[0]


def edit_root(p):
    root = p._root
    root.find("SectionConcreteCheckResult/ExtremeResults//Ved").text = "77"
    root.remove(root[1])


def edit_section(p):
    p._section_element(2).find("SectionId").text = "5"


def replace_root(p):
    p._root = ET.fromstring("<D><SectionConcreteCheckResult><SectionId>x</SectionId>"
                            "</SectionConcreteCheckResult></D>")


@pytest.mark.parametrize("edit", [edit_root, edit_section, replace_root])
def test_elements_handed_out_are_what_later_queries_read(edit):
    data = ("<Doc>" + section(1) + section(2) + "</Doc>").encode()
    ours, ref = Parser(io.BytesIO(data)), baseline_parsers.OutputFileParser(io.BytesIO(data))
    edit(ours)
    edit(ref)

    def outcome(call):
        try:
            return repr(call())
        except Exception as e:  # noqa: BLE001 - compared as type and message
            return type(e), str(e)

    for query in (lambda p: p.section_ids, lambda p: p.raw_results(),
                  lambda p: p.shear_results(1), lambda p: p.shear_results(5),
                  lambda p: p.shear_results(2)):
        assert outcome(lambda: query(ours)) == outcome(lambda: query(ref))


class Shown(str):
    def __str__(self):
        return "shown"


@pytest.mark.parametrize("wanted, text", [("\ud800", "\ud800"), (Shown("raw"), "raw")])
def test_missing_section_message_holds_any_identifier_text(wanted, text):
    with pytest.raises(ParsingError) as info:
        parser(section(1)).fatigue_results(wanted)
    assert info.value.args == (f"section with id 'section_id = {text}' is not available in the result file.",)


def test_queries_do_not_consume_the_tree():
    p = parser(section(1))
    assert p.shear_results(1) == p.shear_results(1)
    assert p.fatigue_results(1) == [None]


def test_overridden_section_element_is_used():
    class Mine(Parser):
        def _section_element(self, section_id):
            return ET.fromstring(section(section_id, ved=42))

    assert Mine(io.BytesIO(b"<Doc/>")).shear_results(8)[0]["Ved"] == 42.0


def test_all_six_operations_match_the_elementtree_implementation(tmp_path):
    path = tmp_path / "r.xml"
    gen_results.generate(str(path), 0.3)
    data = path.read_bytes()
    ours, ref = Parser(io.BytesIO(data)), baseline_parsers.OutputFileParser(io.BytesIO(data))
    assert ours.section_ids == ref.section_ids
    assert ours.raw_results() == ref.raw_results()
    for sid in ours.section_ids:
        for op in ("capacity_results", "shear_results", "crack_width_results",
                   "detailing_results", "stress_limitation_results", "fatigue_results"):
            assert repr(getattr(ours, op)(sid)) == repr(getattr(ref, op)(sid))


def test_deep_document_raw_results_no_crash():
    depth = 200_000
    p = Parser(io.BytesIO(b"<a>" * depth + b"</a>" * depth))
    try:
        p.raw_results()
    except RecursionError:
        pass
