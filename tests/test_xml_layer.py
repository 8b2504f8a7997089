"""The native XML layer against xml.etree.ElementTree: same tree, same path matches, same
parse errors for the same bytes."""

import io
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings, strategies as st

from quillon.errors import ParsingError
from quillon.external.varenna import varenna

select = varenna._testing.xml_select


def native_root(document):
    """The document as the native layer parsed it, turned into an ElementTree element."""
    return varenna.OutputFileParser(io.BytesIO(document) if isinstance(document, bytes)
                                    else io.StringIO(document))._root


def error_of(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the error itself is what is compared
        return type(e), str(e), getattr(e, "code", None), getattr(e, "position", None)
    return None


def shape(e):
    """Everything ElementTree keeps of an element, as plain values (iteratively: deep trees)."""
    out, stack = [], [(e, True)]
    while stack:
        node, is_root = stack.pop()
        out.append((node.tag, dict(node.attrib), node.text, None if is_root else node.tail,
                    len(node)))
        stack.extend((c, False) for c in reversed(list(node)))
    return out


# --- random documents ------------------------------------------------------------------------

TAGS = ["a", "b", "c", "ResultType", "CheckResults"]
TEXTS = st.sampled_from(["", "x", "Capacity", " 1.5 ", "a&amp;b", "é€", "\n  ", "<![CDATA[<k>]]>",
                         "<!--note-->", "<?pi data?>", "&#65;"])


@st.composite
def documents(draw, max_depth=4):
    def element(depth):
        tag = draw(st.sampled_from(TAGS))
        attrs = draw(st.sampled_from(["", ' k="v"', ' xmlns:p="urn:p" p:k="1"']))
        parts = [f"<{tag}{attrs}>", draw(TEXTS)]
        if depth < max_depth:
            for _ in range(draw(st.integers(0, 3))):
                parts.append(element(depth + 1))
                parts.append(draw(TEXTS))
        parts.append(f"</{tag}>")
        return "".join(parts)
    prolog = draw(st.sampled_from(["", "<?xml version='1.0'?>", "<!-- head -->\n"]))
    return prolog + element(0)


@given(documents(), st.sampled_from(["utf-8", "utf-16", "utf-16-le", "iso-8859-1", "str"]))
@settings(max_examples=150, deadline=None)
def test_tree_equals_elementtree(doc, encoding):
    if encoding == "str":
        data = doc
    else:
        if not doc.startswith("<?xml"):
            doc = f"<?xml version='1.0' encoding='{encoding}'?>" + doc
        try:
            data = doc.encode(encoding)
        except UnicodeEncodeError:
            data = doc.encode("utf-8").replace(encoding.encode(), b"utf-8", 1)
    expected = error_of(lambda: ET.fromstring(data))
    if expected:  # declarations that ElementTree refuses (utf-16-le without a BOM, ...)
        assert native_error(data) == expected
    else:
        assert shape(native_root(data)) == shape(ET.fromstring(data))


# --- path subset -----------------------------------------------------------------------------

STEP = st.sampled_from(TAGS + ["*"])
VALUE = st.sampled_from(["", "x", "Capacity", "xx", "xCapacity", " 1.5 "])


@st.composite
def paths(draw):
    steps = []
    for i in range(draw(st.integers(1, 4))):
        sep = draw(st.sampled_from(["/", "//"])) if i else draw(st.sampled_from(["", ".//", "./"]))
        step = draw(STEP)
        if draw(st.booleans()):
            step += f'[{draw(st.sampled_from(TAGS))}="{draw(VALUE)}"]'
        steps.append(sep + step)
    return "".join(steps)


@given(documents(max_depth=5), paths())
@settings(max_examples=300, deadline=None)
def test_path_matches_elementtree(doc, path):
    root = ET.fromstring(doc)
    assert select(root, path, False) == root.findall(path)
    assert select(root, path, True) is root.find(path)


def test_path_order_follows_chained_selectors_not_document_order():
    # Both <a> match; the outer one's <c> comes after the inner <a>'s in the document, yet
    # ElementTree yields it first.
    root = ET.fromstring("<r><a><b>x</b><a><b>x</b><c>2</c></a><c>1</c></a></r>")
    path = './/*[b="x"]/c'
    assert [e.text for e in root.findall(path)] == ["1", "2"]
    assert select(root, path, False) == root.findall(path)


def test_condition_compares_the_complete_text():
    root = ET.fromstring("<r><a><b>Cap<i>ac</i>ity</b></a><a><b>Capacity<i/></b></a></r>")
    assert select(root, './/*[b="Capacity"]', False) == root.findall('.//*[b="Capacity"]')
    assert len(root.findall('.//*[b="Capacity"]')) == 2


# --- parse errors ----------------------------------------------------------------------------

BAD_DOCUMENTS = {
    "mismatched": b"<a><b></a>",
    "truncated": b"<a><b>text",
    "empty": b"",
    "junk after root": b"<a/><b/>",
    "undefined entity": b"<a>&nope;</a>",
    "external entity": b'<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]><a>&e;</a>',
    "skipped entity": b'<!DOCTYPE a SYSTEM "x.dtd"><a>&e;</a>',
    "unbound prefix": b"<p:a/>",
    "invalid utf-16": b"\xff\xfe<\x00a\x00>\x00\x00\xd8>\x00",
    "bad utf-8": b"<a>\xff</a>",
    "unknown encoding": b"<?xml version='1.0' encoding='no-such-codec'?><a/>",
    "bomb": (b'<!DOCTYPE a [<!ENTITY x0 "' + b"x" * 100 + b'">'
             + b"".join(b'<!ENTITY x%d "%s">' % (i, (b"&x%d;" % (i - 1)) * 10) for i in range(1, 9))
             + b"]><a>&x8;</a>"),
}


def native_error(data):
    def parse():
        try:
            native_root(data)
        except ParsingError as e:
            raise e.__cause__
    return error_of(parse)


# The standard parser takes an unpaired high surrogate and the unit after it as one character;
# ours refuses it as the standard parser refuses a lone low surrogate in its place.
AS_REFUSED = {"invalid utf-16": b"\xff\xfe<\x00a\x00>\x00\x00\xdc>\x00"}


@pytest.mark.parametrize("name", sorted(BAD_DOCUMENTS))
def test_parse_errors_are_elementtrees(name):
    data = BAD_DOCUMENTS[name]
    reference = AS_REFUSED.get(name, data)
    expected = error_of(lambda: ET.fromstring(reference))
    assert expected is not None

    assert native_error(data) == expected


def test_bomb_fails_with_the_amplification_error():
    err = native_error(BAD_DOCUMENTS["bomb"])
    assert err[0] is ET.ParseError and "amplification" in err[1]


def test_text_input_is_parsed_as_utf8_whatever_it_declares():
    doc = "<?xml version='1.0' encoding='utf-16'?><a>é</a>"
    assert native_root(doc).text == ET.fromstring(doc).text == "é"


def test_million_levels_deep_does_not_crash():
    depth = 1_000_000
    data = b"<a>" * depth + b"x" + b"</a>" * depth
    root = native_root(data)
    assert root.tag == "a"
    assert root.find(".//*[a='x']") is not None
