"""RcsOutputFileParser: the walk, its stream handling, its generator behaviour and bad input."""

import gc
import inspect
import io
import xml.etree.ElementTree as ET

import pytest

from quillon.errors import ParsingError
from quillon.external.varenna import varenna

Parser = varenna.RcsOutputFileParser

SHEAR = ("<R><ResultType>Shear</ResultType><CheckResults><ConcreteCheckResultBase>"
         "<Ved>1</Ved><Vrd>2</Vrd><Vrdc>3</Vrdc><Vrdmax>4</Vrdmax><Vrdr>5</Vrdr><Vrds>6</Vrds>"
         "<CheckValue>0.5</CheckValue><Result>OK</Result></ConcreteCheckResultBase></CheckResults></R>")


def section(id_, extremes=1):
    body = "".join(f"<E>{SHEAR}</E>" for _ in range(extremes))
    return (f"<SectionConcreteCheckResult><SectionId>{id_}</SectionId>"
            f"<ExtremeResults>{body}</ExtremeResults></SectionConcreteCheckResult>")


def document(*ids, encoding="utf-16"):
    text = f'<?xml version="1.0" encoding="{encoding}"?><Doc>' + "".join(map(section, ids)) + "</Doc>"
    return text.encode(encoding)


def stream(*ids, at=0, **kw):
    s = io.BytesIO(document(*ids, **kw))
    s.seek(at)
    return s


# --- the walk --------------------------------------------------------------------------------

def test_sections_in_document_order_with_results_inside_the_loop():
    parser = Parser(stream(4, 7, 9))
    seen = [(s.id_, len(s.shear())) for s in parser.section_results()]
    assert seen == [(4, 1), (7, 1), (9, 1)]


def test_collected_sections_are_emptied_the_last_included():
    sections = list(Parser(stream(1, 2)).section_results())
    assert [s.id_ for s in sections] == [1, 2]
    for s in sections:
        assert s.extremes() == [] and s.shear() == [] and len(s._element) == 0


def test_resuming_empties_the_elementtree_element_handed_out():
    walk = Parser(stream(1, 2)).section_results()
    first = next(walk)
    element = first._element
    assert isinstance(element, ET.Element) and len(element) == 2
    next(walk)
    assert len(element) == 0 and element.text is None


@pytest.mark.parametrize("start", [0, 100])
def test_walk_starts_at_byte_zero_and_puts_the_stream_back(start):
    s = stream(1, 2, at=start)
    parser = Parser(s)
    assert parser._pos == start and parser._file is s
    assert [x.id_ for x in parser.section_results()] == [1, 2]
    assert s.tell() == start


def test_break_keeps_the_current_section_and_a_new_walk_restarts():
    s = stream(1, 2, 3)
    parser = Parser(s)
    for sec in parser.section_results():
        if sec.id_ == 2:
            break
    assert sec.shear()[0]["Ved"] == 1.0
    assert s.tell() != 0
    assert [x.id_ for x in parser.section_results()] == [1, 2, 3]


def test_nothing_happens_before_the_first_request():
    s = stream(1, at=5)
    walk = Parser(s).section_results()
    assert s.tell() == 5
    assert iter(walk) is walk
    next(walk)
    walk.close()
    with pytest.raises(StopIteration):
        next(walk)


def end_by_close(walk):
    walk.close()


def end_by_throw(walk):
    with pytest.raises(KeyError):
        walk.throw(KeyError("stop"))


@pytest.mark.parametrize("end", [end_by_close, end_by_throw])
def test_ending_a_walk_from_outside_keeps_the_current_section(end):
    s = stream(1, 2, at=3)
    walk = Parser(s).section_results()
    current = next(walk)
    position = s.tell()
    end(walk)
    assert len(current._element) == 2 and current.shear()[0]["Vrd"] == 2.0
    assert s.tell() == position != 3  # an abandoned walk does not put the stream back
    with pytest.raises(StopIteration):
        next(walk)


def test_send_resumes_like_next():
    walk = Parser(stream(1, 2)).section_results()
    with pytest.raises(TypeError, match="just-started generator"):
        walk.send(1)
    walk = Parser(stream(1, 2)).section_results()
    first = walk.send(None)
    assert walk.send("ignored").id_ == 2 and first.shear() == []


@pytest.mark.parametrize("wanted, found", [(2, 2), (2.0, 2), ("2", None), (5, None)])
def test_section_result_uses_the_interpreters_equality(wanted, found):
    s = stream(1, 2, 3, at=3)
    parser = Parser(s)
    if found is None:
        with pytest.raises(ParsingError) as info:
            parser.section_result(wanted)
        assert info.value.args == (f"section with id '{wanted}' is not available in the result file.",)
    else:
        sec = parser.section_result(wanted)
        assert sec.id_ == found and sec.shear()[0]["Vrd"] == 2.0
    assert s.tell() == 3


class Shown(str):
    def __str__(self):
        return "shown"


@pytest.mark.parametrize("wanted, text", [("\ud800", "\ud800"), (Shown("raw"), "raw"), (None, "None")])
def test_missing_section_message_holds_any_identifier_text(wanted, text):
    with pytest.raises(ParsingError) as info:
        Parser(stream(1)).section_result(wanted)
    assert info.value.args == (f"section with id '{text}' is not available in the result file.",)


class Verdict:
    """An identifier whose equality answers `verdict`, even against itself."""

    def __init__(self, verdict):
        self.verdict = verdict

    def __eq__(self, other):
        return self.verdict

    __hash__ = object.__hash__


@pytest.mark.parametrize("verdict, found", [(False, False), ("", False), ("yes", True), (1, True)])
def test_section_result_takes_the_comparison_as_written(verdict, found):
    wanted = Verdict(verdict)

    class Mine(Parser):
        class SectionResult(Parser.SectionResult):
            @property
            def id_(self):
                return wanted  # the very object asked for: no identity shortcut

    parser = Mine(stream(1, 2))
    if found:
        assert parser.section_result(wanted)._id == 1
    else:
        with pytest.raises(ParsingError):
            parser.section_result(wanted)


def test_sections_at_any_depth_and_identifier_blanks():
    xml = f"<Doc><Wrap><Deeper>{section(' 12 ')}</Deeper></Wrap>{section(3)}</Doc>".encode()
    assert [s.id_ for s in Parser(io.BytesIO(xml)).section_results()] == [12, 3]


def test_nested_sections_are_both_handed_out():
    inner = section(2)
    outer = f"<SectionConcreteCheckResult><SectionId>1</SectionId>{inner}</SectionConcreteCheckResult>"
    ids = [(s.id_, len(s._element)) for s in Parser(io.BytesIO(f"<D>{outer}</D>".encode())).section_results()]
    # the outer section still holds the inner one, emptied by the resumption
    assert ids == [(2, 2), (1, 2)]


def test_subclass_section_class_is_used_and_gets_an_elementtree_element():
    class Mine(Parser):
        class SectionResult(Parser.SectionResult):
            pass

    sections = []
    for s in Mine(stream(1, 2)).section_results():
        assert type(s) is Mine.SectionResult
        assert type(vars(s)["_element"]) is ET.Element
        sections.append((s.id_, s.shear()[0]["Vrds"]))
    assert sections == [(1, 6.0), (2, 6.0)]


def test_signatures_and_names():
    assert str(inspect.signature(Parser.section_result)) == "(self, id_: 'int') -> \"'RcsOutputFileParser.SectionResult'\""
    assert Parser.SectionResult.__qualname__ == "RcsOutputFileParser.SectionResult"
    assert "RcsOutputFileParser" in varenna.__all__
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
        Parser(io.BytesIO(), 1)


# --- bad input -------------------------------------------------------------------------------

def walk_error(data):
    with pytest.raises(Exception) as info:
        list(Parser(io.BytesIO(data)).section_results())
    return info.value


@pytest.mark.parametrize("data, reference", [
    (b"", None), (b"<Doc>", None), (b"<Doc><a></Doc>", None), (document(1)[:-7], None),
    (b'<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]><a>&e;</a>', None),
    # An unpaired high surrogate, refused as the standard parser refuses a lone low one.
    (b"\xff\xfe<\x00a\x00>\x00\x00\xd8>\x00", b"\xff\xfe<\x00a\x00>\x00\x00\xdc>\x00"),
])
def test_malformed_input_raises_elementtrees_parse_error(data, reference):
    err = walk_error(data)
    with pytest.raises(ET.ParseError) as expected:
        list(ET.iterparse(io.BytesIO(reference or data), events=("end",)))
    assert type(err) is ET.ParseError
    assert (str(err), err.code, err.position) == (str(expected.value), expected.value.code,
                                                  expected.value.position)


def test_sections_before_a_parse_error_are_handed_out_first():
    data = document(1, 2, encoding="utf-8")[:-6] + b"<oops></Doc>"
    walk = Parser(io.BytesIO(data)).section_results()
    assert [next(walk).id_, next(walk).id_] == [1, 2]
    with pytest.raises(ET.ParseError):
        next(walk)


def test_entity_bomb_fails_fast_with_the_amplification_error():
    bomb = (b'<!DOCTYPE a [<!ENTITY x0 "' + b"x" * 100 + b'">'
            + b"".join(b'<!ENTITY x%d "%s">' % (i, (b"&x%d;" % (i - 1)) * 10) for i in range(1, 9))
            + b"]><a>&x8;</a>")
    assert "amplification" in str(walk_error(bomb))


@pytest.mark.parametrize("body, error", [
    ("<SectionConcreteCheckResult/>", AttributeError),
    ("<SectionConcreteCheckResult><SectionId/></SectionConcreteCheckResult>", TypeError),
    ("<SectionConcreteCheckResult><SectionId>x</SectionId></SectionConcreteCheckResult>", ValueError),
])
def test_bad_identifiers_raise_the_interpreters_errors(body, error):
    assert type(walk_error(f"<D>{body}</D>".encode())) is error


@pytest.mark.parametrize("text, expected", [
    ("\t12\n", 12), ("1_000", 1000), ("\u0661\u0662", 12), ("+3", 3), ("-0", 0),
    ("1.0", ValueError), ("0x10", ValueError), ("1e3", ValueError),
])
def test_identifier_texts_convert_as_int_does(text, expected):
    data = f"<D>{section(text)}</D>".encode()
    if isinstance(expected, int):
        assert [s.id_ for s in Parser(io.BytesIO(data)).section_results()] == [expected]
        assert varenna.OutputFileParser(io.BytesIO(data)).section_ids == [expected]
    else:
        assert type(walk_error(data)) is expected
        with pytest.raises(expected):
            varenna.OutputFileParser(io.BytesIO(data)).section_ids


def test_deep_nesting_does_not_crash():
    depth = 1_000_000
    data = b"<D>" + b"<a>" * depth + section(1).encode() + b"</a>" * depth + b"</D>"
    assert [s.id_ for s in Parser(io.BytesIO(data)).section_results()] == [1]


class NoTell:
    def seek(self, pos):
        pass


class NoSeek:
    def tell(self):
        return 0

    def read(self, n):
        return b""


def test_stream_without_tell_or_seek():
    with pytest.raises(AttributeError):
        Parser(NoTell())
    walk = Parser(NoSeek()).section_results()
    with pytest.raises(AttributeError):
        next(walk)


class TextStream(io.StringIO):
    """A stream whose read() gives text instead of bytes."""


def test_read_returning_text_is_parsed_as_utf8():
    text = document(5, 6, encoding="utf-8").decode()
    assert [s.id_ for s in Parser(TextStream(text)).section_results()] == [5, 6]


class Failing(io.BytesIO):
    def __init__(self, data, fail_after):
        super().__init__(data)
        self.reads = 0
        self.fail_after = fail_after

    def read(self, n=-1):
        self.reads += 1
        if self.reads > self.fail_after:
            raise OSError("disk gone")
        return super().read(min(n, 1000))


def test_stream_error_mid_walk_propagates_and_the_parser_stays_usable():
    data = document(*range(1, 40))
    s = Failing(data, fail_after=3)
    parser = Parser(s)
    with pytest.raises(OSError, match="disk gone"):
        for _ in parser.section_results():
            pass
    s.fail_after = 10**9
    assert [x.id_ for x in parser.section_results()] == list(range(1, 40))


def test_reentrant_use_of_a_running_walk_is_refused():
    class Sneaky(io.BytesIO):
        walk = None

        def read(self, n=-1):
            next(self.walk)

    s = Sneaky(document(1))
    s.walk = Parser(s).section_results()
    with pytest.raises(ValueError, match="generator already executing"):
        next(s.walk)


def test_abandoned_walks_are_freed():
    parser = Parser(stream(1, 2))
    for _ in range(50):
        walk = parser.section_results()
        next(walk)
        del walk
    gc.collect()
