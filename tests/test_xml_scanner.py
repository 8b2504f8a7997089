"""The fast XML scanner against expat alone: same sections, trees, texts and errors.

Every result file goes through the native scanner first and through expat only when the scanner
gives up, so each test here parses the same bytes twice, with the scanner and with it turned
off, and requires the same outcome: the tree, the walk's sections and their results, and the
parse error with its message, code and position.
"""

import contextlib
import io
import pathlib
import threading
import xml.etree.ElementTree as ET

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quillon.errors import ParsingError
from test_xml_layer import BAD_DOCUMENTS
from quillon.external.varenna import varenna

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"


@contextlib.contextmanager
def scanner(enabled):
    before = varenna._xml_scanner(enabled)
    try:
        yield
    finally:
        varenna._xml_scanner(before)


class Pieces(io.BytesIO):
    """A stream that hands out at most the given piece sizes, in turn, whatever is asked for."""

    def __init__(self, data, sizes):
        super().__init__(data)
        self.sizes = list(sizes) or [1 << 30]
        self.reads = 0

    def read(self, n=-1):
        size = self.sizes[self.reads % len(self.sizes)]
        self.reads += 1
        return super().read(size if n is None or n < 0 else min(n, size))


def error_of(e):
    return (type(e).__name__, str(e), getattr(e, "code", None), getattr(e, "position", None))


def tree_outcome(data):
    try:
        root = varenna.OutputFileParser(io.BytesIO(data))._root
    except ParsingError as e:
        return ("error", error_of(e), error_of(e.__cause__))
    except Exception as e:  # noqa: BLE001 - the interpreter's own errors, compared the same way
        return ("error", error_of(e))
    return ("ok", [(e.tag, sorted(e.attrib.items()), e.text, e.tail) for e in root.iter()])


def results_of(section):
    try:
        return section.extremes(), section.capacity()
    except Exception as e:  # noqa: BLE001
        return error_of(e)


def walk_outcome(data, sizes=()):
    stream = Pieces(data, sizes)
    stream.seek(3 if len(data) > 3 else 0)
    out = []
    try:
        for section in varenna.RcsOutputFileParser(stream).section_results():
            out.append((section.id_, results_of(section), len(section._element)))
    except Exception as e:  # noqa: BLE001 - compared as type, message, code and position
        out.append(error_of(e))
    else:
        out.append(("position", stream.tell()))
    return out


def both(function, *args):
    with scanner(True):
        fast = function(*args)
    with scanner(False):
        slow = function(*args)
    return fast, slow


def assert_same(data, sizes=()):
    fast, slow = both(tree_outcome, data)
    assert fast == slow
    fast, slow = both(walk_outcome, data, sizes)
    assert fast == slow


def section(i, body=""):
    return (f"<SectionConcreteCheckResult><SectionId>{i}</SectionId><ExtremeResults><E>"
            f"<R><ResultType>Capacity</ResultType><CheckResults><ConcreteCheckResultBase>"
            f"<Fu>{i}.5</Fu><CheckValue>0.{i}</CheckValue>{body}</ConcreteCheckResultBase></CheckResults></R></E></ExtremeResults>"
            f"</SectionConcreteCheckResult>\n")


def document(*sections, encoding="utf-16", declaration=True, bodies=(), declared=None):
    text = "".join(section(i, bodies[k] if k < len(bodies) else "") for k, i in enumerate(sections))
    head = f'<?xml version="1.0" encoding="{declared or encoding}"?>\n' if declaration else ""
    return (head + f"<Doc>\n{text}</Doc>\n").encode(encoding)


def test_the_scanner_is_on_by_default():
    assert varenna._xml_scanner() is True


# --- every hostile and malformed case: the same outcome with the scanner as without --------------

CASES = {
    # Declarations and encodings.
    "utf-16 le with bom": document(1, 2),
    "utf-16 be with bom": b"\xfe\xff" + document(1, 2, encoding="utf-16-be", declared="utf-16"),
    "utf-16 le without bom": document(1, encoding="utf-16-le", declared="UTF-16"),
    "utf-16 be without bom": document(1, encoding="utf-16-be", declared="utf-16"),
    "utf-16 be declared as such": b"\xfe\xff" + document(1, encoding="utf-16-be"),
    "utf-16 le without bom or declaration": "<Doc/>".encode("utf-16-le"),
    "utf-16 declaring utf-8": b"\xff\xfe" + '<?xml version="1.0" encoding="utf-8"?><a/>'.encode("utf-16-le"),
    "utf-16 declaring utf-16le": b"\xff\xfe" + '<?xml version="1.0" encoding="UTF-16LE"?><a/>'.encode("utf-16-le"),
    "utf-8 declaring utf-16": b'<?xml version="1.0" encoding="utf-16"?><a/>',
    "utf-8 with bom": b"\xef\xbb\xbf" + document(1, encoding="utf-8"),
    "utf-8 no declaration": document(1, 2, encoding="utf-8", declaration=False),
    "latin-1 declared": '<?xml version="1.0" encoding="iso-8859-1"?><a>\xe9</a>'.encode("latin-1"),
    "version 1.1": b'<?xml version="1.1"?><a/>',
    "standalone": b'<?xml version="1.0" standalone="yes"?><a/>',
    "standalone bad": b'<?xml version="1.0" standalone="maybe"?><a/>',
    "declaration out of order": b'<?xml encoding="utf-8" version="1.0"?><a/>',
    "declaration after space": b' <?xml version="1.0"?><a/>',
    "declaration twice": b'<?xml version="1.0"?><?xml version="1.0"?><a/>',
    "declaration unterminated": b'<?xml version="1.0"',
    "doctype": b'<!DOCTYPE a><a/>',
    "internal entity": b'<!DOCTYPE a [<!ENTITY e "x">]><a>&e;</a>',
    "external entity": b'<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]><a>&e;</a>',
    "bomb": BAD_DOCUMENTS["bomb"],
    # Structure.
    "empty": b"",
    "blank": b"  \n",
    "one byte": b"<",
    "mismatched": b"<a><b></a>",
    "end tag longer": b"<a></ab>",
    "end tag shorter": b"<ab></a>",
    "truncated": b"<a><b>text",
    "truncated section": document(1, 2, 3)[:-40],
    "junk after root": b"<a/><b/>",
    "text after root": b"<a/>x",
    "text before root": b"x<a/>",
    "misc after root": b"<a/><!-- c --><?p d?>\n ",
    "end tag outside": b"</a>",
    "attribute without space": b'<a b="1"c="2"/>',
    "attribute unquoted": b"<a b=1/>",
    "attribute duplicate": b'<a b="1" b="2"/>',
    "attribute with lt": b'<a b="<"/>',
    "attribute with gt": b'<a b=">"/>',
    "attribute normalised": b'<a b="x\r\ny\tz&#10;&#13;\n" c=\'"\'/>',
    "many attributes": b"<a " + b" ".join(b'k%d="%d"' % (i, i) for i in range(40)) + b"/>",
    "empty element with space": b"<a  / >",
    "space before gt": b"<a ></a  >",
    # Character data and references.
    "line ends": b"<a>x\r\ny\rz&#13;\r</a>",
    "cr at the end of a piece": b"<a>x\r</a>",
    "cdata end in text": b"<a>]]></a>",
    "brackets in text": b"<a>]] ]>]</a>",
    "predefined entities": b"<a>&lt;&gt;&amp;&quot;&apos;</a>",
    "undefined entity": b"<a>&nope;</a>",
    "entity without semicolon": b"<a>&amp</a>",
    "char refs": b"<a>&#65;&#x42;&#x10FFFF;&#0065;</a>",
    "char ref nul": b"<a>&#0;</a>",
    "char ref surrogate": b"<a>&#xD800;</a>",
    "char ref fffe": b"<a>&#xFFFE;</a>",
    "char ref too big": b"<a>&#x110000;</a>",
    "char ref capital x": b"<a>&#X41;</a>",
    "char ref empty": b"<a>&#;</a>",
    "char ref long": b"<a>&#00000000065;</a>",
    "nul": b"<a>\x00</a>",
    "control": b"<a>\x01</a>",
    "del": b"<a>\x7f</a>",
    "utf-8 fffe": "<a>\ufffe</a>".encode("utf-8"),
    "utf-8 overlong": b"<a>\xc0\xaf</a>",
    "utf-8 surrogate": b"<a>\xed\xa0\x80</a>",
    "utf-8 cut": b"<a>\xe2\x82</a>",
    "bad utf-8": b"<a>\xff</a>",
    "utf-8 astral": "<a b='\U0001F600'>\U0001F600 é €</a>".encode("utf-8"),
    "utf-16 astral": "<a b='\U0001F600'>\U0001F600 é €</a>".encode("utf-16"),
    "utf-16 lone low surrogate": b"\xff\xfe<\x00a\x00>\x00\x00\xdc<\x00/\x00a\x00>\x00",
    "utf-16 fffe": "<a>\ufffe</a>".encode("utf-16"),
    "utf-16 odd length": "<a/>".encode("utf-16") + b"\x00",
    "invalid utf-16": b"\xff\xfe<\x00a\x00>\x00\x00\xd8>\x00",
    # Comments, processing instructions, CDATA.
    "comments": b"<!-- x --><a><!--y-->t<!---->u</a><!--z-->",
    "comment with dashes": b"<a><!-- x -- y --></a>",
    "comment ending in three dashes": b"<a><!-- x ---></a>",
    "comment unterminated": b"<a><!-- x </a>",
    "pi": b"<?p x?><a><?q?>t<?r  y ?></a>",
    "pi named xml": b"<a><?xml x?></a>",
    "pi named XmL": b"<a><?XmL x?></a>",
    "pi named xml-stylesheet": b"<?xml-stylesheet href='x'?><a/>",
    "pi with colon": b"<a><?p:q x?></a>",
    "pi without space": b"<a><?px-?></a>",
    "pi target then question mark": b"<a><?x?y ?></a>",
    "cdata": b"<a>x<![CDATA[<b>&amp;]]]]>y\r\n</a>",
    "cdata outside": b"<![CDATA[x]]><a/>",
    "cdata unterminated": b"<a><![CDATA[x</a>",
    "cdata misspelt": b"<a><![CDAT[x]]></a>",
    # Names and namespaces.
    "name with digit start": b"<1a/>",
    "name non-ascii": "<é/>".encode("utf-8"),
    "name non-ascii utf-16": "<Doc><é>1</é></Doc>".encode("utf-16"),
    "name with dot and dash": b"<a.b-c_d/>",
    "namespaces": b'<a xmlns="u" xmlns:p="v"><p:b p:k="1" k="2"><c xmlns=""/></p:b></a>',
    "xml prefix": b'<a xml:lang="en"><xml:b/></a>',
    "unbound prefix": b"<p:a/>",
    "unbound attribute prefix": b'<a p:k="1"/>',
    "two colons": b'<a:b:c xmlns:a="u"/>',
    "colon first": b"<:a/>",
    "colon last": b"<a:/>",
    "local part with digit": b'<a xmlns:p="u"><p:1/></a>',
    "prefix with digit": b"<a xmlns:0p='v'/>",
    "undeclaring a prefix": b'<a xmlns:p="u"><b xmlns:p=""/></a>',
    "declaring xmlns": b'<a xmlns:xmlns="u"/>',
    "declaring xml": b'<a xmlns:xml="http://www.w3.org/XML/1998/namespace"/>',
    "reserved namespace": b'<a xmlns:p="http://www.w3.org/2000/xmlns/"/>',
    "xmlns element prefix": b"<xmlns:a/>",
    "same attribute in two prefixes": b'<a xmlns:p="u" xmlns:q="u" p:x="1" q:x="2"/>',
    "separator in a namespace": b'<a xmlns:p="x}y"><p:b/></a>',
    "separator in the default namespace": b'<a xmlns="x}y"/>',
    "namespace ends with scope": b'<r><a xmlns:p="u"/><p:b/></r>',
    "default namespace with attributes": b'<a xmlns="u" k="1"><b xmlns="v" k="2"/></a>',
    "xsi attributes": (b'<Doc xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
                       b'xmlns:xsd="http://www.w3.org/2001/XMLSchema"><SectionConcreteCheckResult>'
                       b'<SectionId>3</SectionId><X xsi:nil="true"/></SectionConcreteCheckResult></Doc>'),
    # Walk-specific: the scanner gives up after sections were handed out.
    "late doctype-free error": document(1, 2, 3)[:-14] + "<oops></Doc>\n".encode("utf-16-le"),
    "late non-ascii name": document(1, 2, 3, bodies=("", "", "<Größe>1</Größe>")),
    "late undefined entity": document(1, 2, 3, encoding="utf-8", bodies=("", "", "&ok;")),
    "nested sections": (b"<Doc><SectionConcreteCheckResult><SectionId>1</SectionId>"
                        b"<SectionConcreteCheckResult><SectionId>2</SectionId></SectionConcreteCheckResult>"
                        b"</SectionConcreteCheckResult></Doc>"),
    "deep": b"<a>" * 500 + b"x" + b"</a>" * 500,
}


def kept(folder, strip_first_byte=False):
    return {f"{folder}/{p.name}": (p.read_bytes()[1:] if strip_first_byte else p.read_bytes())
            for p in sorted((FUZZ / folder).glob("*")) if p.is_file()}


KEPT = {**kept("corpus/results"), **kept("regressions/results"),
        **kept("regressions/scanner", strip_first_byte=True)}


@pytest.mark.parametrize("name", sorted(CASES))
def test_every_case_same_with_and_without_the_scanner(name):
    assert_same(CASES[name])


@pytest.mark.parametrize("name", sorted(KEPT))
def test_kept_fuzz_inputs_same_with_and_without_the_scanner(name):
    assert_same(KEPT[name], sizes=(7, 1, 300))


@pytest.mark.parametrize("name", ["late doctype-free error", "late non-ascii name", "late undefined entity"])
def test_sections_before_the_scanner_gives_up_come_once(name):
    fast, slow = both(walk_outcome, CASES[name], (64,))
    assert fast == slow
    ids = [entry[0] for entry in fast if isinstance(entry[0], int)]
    assert ids == sorted(set(ids)) and len(ids) >= 2


def test_unpaired_high_surrogate_is_rejected_by_the_scanner():
    # A high surrogate followed by an ordinary character: expat alone takes the two as a pair.
    data = b"\xff\xfe" + "<a>".encode("utf-16-le") + b"\x00\xd8" + "x</a>".encode("utf-16-le")
    assert_same(data)


def test_unpaired_high_surrogate_is_a_parse_error():
    data = b"\xff\xfe" + "<a>".encode("utf-16-le") + b"\x00\xd8" + "x</a>".encode("utf-16-le")
    assert tree_outcome(data)[0] == "error"


# --- pieces cut at every byte position ----------------------------------------------------------

SMALL = {
    "utf-16": document(1, 2, bodies=("<T a='&amp;x&#x20AC;' b=\"\r\n\">\U0001F600&lt;\r\nq</T>",
                                     "<!-- c --><?p x?><![CDATA[]]>]]>]]><Z/>")),
    "utf-16-be": b"\xfe\xff" + '<?xml version="1.0" encoding="utf-16"?><Doc xmlns:p="u"><p:SectionConcreteCheckResult/>'
                 '<SectionConcreteCheckResult><SectionId> 4 </SectionId><p:x p:k="é"/></SectionConcreteCheckResult></Doc>'.encode("utf-16-be"),
    "utf-8": document(1, 2, encoding="utf-8", bodies=("<T a='&amp;'>é€\U0001F600&#65;\r</T>", "<![CDATA[x\r\ny]]>")),
    "utf-8 error": document(1, 2, encoding="utf-8")[:-8] + b"<x></Doc>",
    "utf-16 error": document(1, 2)[:-8] + b"<\x00/\x00x\x00>\x00",
    "indented": ("<Doc>\n  <SectionConcreteCheckResult>\n    <SectionId>1</SectionId>\n    <!-- c -->\n"
                 "    <E>\n      <F/>  \n    </E>\n  </SectionConcreteCheckResult>\n</Doc>\n").encode("utf-16"),
}
# Names, texts, values and indentation of about a block (8 UTF-16 units, 16 UTF-8 bytes), so
# that the cuts fall inside and between the blocks the scanner reads.
BLOCKS = ("<Doc>\n  <SectionConcreteCheckResult>\n    <SectionId>1</SectionId>\n"
          "    <ABCDEFG>1234567</ABCDEFG>\n    <ABCDEFGH>12345678</ABCDEFGH><ABCDEFGHI>123456789</ABCDEFGHI>\n"
          "                <ABCDEFGHIJKLMNO a='123456789012345'>0123456789abcdef</ABCDEFGHIJKLMNO>\n"
          "               <ABCDEFGHIJKLMNOP>0123456789abcdefg</ABCDEFGHIJKLMNOP>\n"
          "                 <E><ABCDEFG>é</ABCDEFG><ABCDEFG></ABCDEFG></E>\n  </SectionConcreteCheckResult>\n</Doc>\n")
SMALL.update({"blocks utf-16": BLOCKS.encode("utf-16"), "blocks utf-8": BLOCKS.encode("utf-8")})


@pytest.mark.parametrize("name", sorted(SMALL))
def test_pieces_cut_at_every_byte_position(name):
    data = SMALL[name]
    with scanner(False):
        expected = walk_outcome(data)
    with scanner(True):
        for cut in range(1, len(data)):
            assert walk_outcome(data, (cut, len(data))) == expected, cut
        assert walk_outcome(data, (1,)) == expected
        assert walk_outcome(data, (3, 2)) == expected


# --- the block runs -----------------------------------------------------------------------------
# Runs of text, attribute values, names and blanks are read 8 UTF-16 units or 16 UTF-8 bytes at
# a time: runs of every length around one and two blocks, and every character that ends a run
# at every offset within them, give the same outcome as expat alone.

def encoded(encoding, text):
    prefix = b"\xfe\xff" if encoding == "utf-16-be" else b""
    return prefix + text.encode(encoding, "surrogatepass")


def result_with(body):
    return f"<Doc>\n  {section(1, body)}</Doc>\n"


RUNS = {
    "text": lambda n: f"<T>{'x' * n}</T><U>{'1' * n}<V/></U>",
    "name": lambda n: f"<{'N' * n}>1</{'N' * n}><{'M' * n}><V/></{'M' * n} >",
    "attribute value": lambda n: f"<T a='{'v' * n}' b=\"{'w' * n}\">1</T>",
    "indentation": lambda n: f"<T>\n{' ' * n}<V/>\n{' ' * n}</T>",
    "blanks in tags": lambda n: f"<T{' ' * n}a='1'{' ' * n}/><U{chr(9) * n}>1</U{' ' * n}>",
}
BLOCK_ENCODINGS = ["utf-16", "utf-16-be", "utf-8"]


@pytest.mark.parametrize("encoding", BLOCK_ENCODINGS)
@pytest.mark.parametrize("kind", sorted(RUNS))
def test_runs_of_every_length_around_a_block(kind, encoding):
    for n in range(1, 35):
        assert_same(encoded(encoding, result_with(RUNS[kind](n))))


SPECIALS = {
    "lone high surrogate": "\ud800", "lone low surrogate": "\udc00", "reference": "&amp;",
    "character reference": "&#x20AC;", "less than": "<", "cdata end": "]]>", "bracket": "]",
    "carriage return": "\r", "crlf": "\r\n", "non-ascii": "é", "astral": "\U0001F600", "control": "\x01",
}


@pytest.mark.parametrize("encoding", BLOCK_ENCODINGS)
@pytest.mark.parametrize("special", sorted(SPECIALS))
def test_run_ending_character_at_every_offset_within_a_block(special, encoding):
    c = SPECIALS[special]
    for offset in range(0, 34):
        before, after = "x" * offset, "y" * (33 - offset)
        for body in (f"<T>{before}{c}{after}</T>", f"<T a='{before}{c}{after}'/>"):
            assert_same(encoded(encoding, result_with(body)))


# --- indentation ------------------------------------------------------------------------------
# Indentation is kept apart from other texts; these are its edges, in texts and tails, whole or
# in pieces (expat hands over a line break apart from the spaces after it).

INDENTS = ["\n", "\n  ", "\n" + " " * 64, "\n" + " " * 65, "\n" + " " * 200, "\n\n  ", " \n  ",
           "\r\n  ", "\n\t", "\n  <!--c-->  ", "\n  <!--c-->x", "\n  <?p?>\t", "\n  &#32;",
           "\n  &#10;  ", "\n <![CDATA[ ]]>", "\n  x", "x\n  "]


ENCODE = {"utf-16": lambda text: text.encode("utf-16"),
          "utf-16-be": lambda text: b"\xfe\xff" + text.encode("utf-16-be"),
          "utf-8": lambda text: text.encode("utf-8")}


@pytest.mark.parametrize("on", [True, False], ids=["scanner", "expat"])
@pytest.mark.parametrize("encoding", sorted(ENCODE))
@pytest.mark.parametrize("indent", INDENTS)
def test_indentation_texts_are_elementtrees(indent, encoding, on):
    data = ENCODE[encoding](f"<Doc>{indent}<SectionConcreteCheckResult>{indent}<SectionId>1</SectionId>{indent}"
                            f"<E a='1'/>{indent}</SectionConcreteCheckResult>{indent}</Doc>")
    def texts(element):
        return element.text, [(e.tag, e.text, e.tail) for e in element]
    expected = ET.fromstring(data)
    with scanner(on):
        root = varenna.OutputFileParser(io.BytesIO(data))._root
        assert [texts(e) for e in root.iter()] == [texts(e) for e in expected.iter()]
        for sizes in ((), (3,), (7, 2)):
            stream = Pieces(data, sizes)
            section = next(varenna.RcsOutputFileParser(stream).section_results())
            assert texts(section._element) == texts(expected[0])


# --- random documents ---------------------------------------------------------------------------

NAMES = st.sampled_from(["a", "b", "SectionConcreteCheckResult", "SectionId", "ExtremeResults", "p:c",
                         "q:d", "xml:e", "Ab-1.x", "é"])
TEXTS = st.sampled_from(["", "x", "1", " 12 ", "\n  ", "\r\n", "\r", "&amp;", "&lt;&#65;&#x1F600;", "]]",
                         "]]>", "é€\U0001F600", "<!-- c -->", "<?p d?>", "<![CDATA[<k>&]]>", "&bad;",
                         "&#0;", "\t", "\x01", "\ufffe"])
ATTRIBUTES = st.lists(st.tuples(st.sampled_from(["k", "p:k", "q:k", "xmlns", "xmlns:p", "xmlns:q", "xml:k"]),
                                st.sampled_from(["", "u", "v", "1 2", "&amp;\r\n\t", "<", "'"])), max_size=3)


@st.composite
def elements(draw, depth=0):
    name = draw(NAMES)
    attributes = "".join(f' {k}="{v}"' for k, v in draw(ATTRIBUTES))
    if depth > 3 or draw(st.booleans()):
        children = ""
    else:
        children = "".join(draw(TEXTS) + draw(elements(depth + 1)) for _ in range(draw(st.integers(0, 3))))
    if not children and draw(st.booleans()):
        return f"<{name}{attributes}/>"
    return f"<{name}{attributes}>{children}{draw(TEXTS)}</{name}>"


@st.composite
def documents(draw):
    encoding = draw(st.sampled_from(["utf-8", "utf-16", "utf-16-le", "utf-16-be"]))
    declared = draw(st.sampled_from(["", encoding, "utf-16", "utf-8", "UTF-16"]))
    head = f'<?xml version="1.0" encoding="{declared}"?>' if declared else ""
    body = draw(elements())
    text = head + draw(st.sampled_from(["", "\n", "<!-- c -->"])) + f"<Doc xmlns:p='u' xmlns:q='u'>{body}</Doc>"
    data = text.encode(encoding, "surrogatepass")
    if encoding == "utf-16-be" and draw(st.booleans()):
        data = b"\xfe\xff" + data
    # Now and then a byte damaged or cut away, to reach the errors.
    mutation = draw(st.sampled_from(["none", "none", "flip", "cut"]))
    if data and mutation != "none":
        at = draw(st.integers(0, len(data) - 1))
        data = data[:at] + (bytes([data[at] ^ draw(st.integers(1, 255))]) + data[at + 1:] if mutation == "flip" else b"")
    return data


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(documents(), st.lists(st.integers(1, 40), min_size=1, max_size=4))
def test_random_documents_same_with_and_without_the_scanner(data, sizes):
    assert_same(data, sizes)


# --- several threads ----------------------------------------------------------------------------

def test_threads_walking_files_at_once_get_what_one_thread_gets():
    files = [document(*range(k, k + 30), bodies=("<N>é</N>",) * 30) for k in range(1, 5)]
    expected = [walk_outcome(f, (4096,)) for f in files]
    results = [None] * len(files)

    def work(i):
        for _ in range(5):
            results[i] = (walk_outcome(files[i], (4096,)), tree_outcome(files[i]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(files))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [r[0] for r in results] == expected
    assert [r[1] for r in results] == [tree_outcome(f) for f in files]
