// Differential fuzz target: the native XML scanner against expat, configured as the tokenizer
// configures it (namespace mode, "}" separator). The first input byte seeds the places where
// the document is cut into pieces for the scanner; the rest is the document.
//
// Required: when the scanner accepts a document, expat accepts it too and reports the same
// starts, ends, attributes and joined texts; when the scanner gives up, what it reported is a
// prefix of what expat reports (the tokenizer then lets expat finish, from the start), and the
// character data it wrote since its last event is gone again. A name the scanner numbers has
// one number, and a number one name. Any difference aborts, and libFuzzer keeps the input.
//
// fuzz/native/run builds it twice: with the block runs of the processor (SSE2 on x86-64) and
// with the portable ones (QUILLON_SCANNER_PORTABLE).
#include "xml_scanner.hpp"

#include <expat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "scanner fault: %s\n", what);
    std::abort();
}

// Events in one comparable form: texts joined up to the next tag, as the tree joins them.
struct Recorder : quillon::xml::TokenSink {
    std::vector<std::string> events;
    std::map<uint32_t, std::string> names;  // the scanner's numbers, both ways
    std::map<std::string, uint32_t> numbers;
    void settle() {
        const std::string_view text = take_text();
        if (!text.empty()) events.push_back("T" + std::string(text));
    }
    using TokenSink::start;
    void start(const char *name, const char **attributes, uint32_t name_id) override {
        settle();
        if (name_id != kNoNameId) {
            if (name_id >= kMaxNameIds) fail("name number out of range");
            if (names.emplace(name_id, name).first->second != name) fail("one number for two names");
            if (numbers.emplace(name, name_id).first->second != name_id) fail("two numbers for one name");
        }
        std::string e = "S";
        e += name;
        for (const char **a = attributes; *a; a += 2) {
            e += '\x01';
            e += a[0];
            e += '=';
            e += a[1];
        }
        events.push_back(std::move(e));
    }
    void end() override {
        settle();
        events.push_back("E");
    }
    void leaf(const char *name, uint32_t name_id, size_t text_at) override {
        const std::string own(chars->data() + text_at, chars->size() - text_at);
        chars->set_size(text_at);
        const char *no_attributes[] = {nullptr};
        start(name, no_attributes, name_id);
        if (!own.empty()) events.push_back("T" + own);
        end();
    }
};

void XMLCALL on_start(void *user, const XML_Char *name, const XML_Char **atts) {
    ((Recorder *) user)->start(name, atts);
}
void XMLCALL on_end(void *user, const XML_Char *) { ((Recorder *) user)->end(); }
void XMLCALL on_text(void *user, const XML_Char *data, int length) { ((Recorder *) user)->text(data, length); }
// Unknown entity references are errors for the tokenizer; here they only have to be seen.
bool g_entity = false;
void XMLCALL on_default(void *, const XML_Char *data, int length) {
    if (length >= 2 && data[0] == '&') g_entity = true;
}

[[noreturn]] void differ(const char *what, const Recorder &scanner, const Recorder &expat) {
    std::fprintf(stderr, "scanner and expat differ: %s\n", what);
    const size_t n = std::max(scanner.events.size(), expat.events.size());
    for (size_t i = 0; i < n; ++i) {
        const std::string a = i < scanner.events.size() ? scanner.events[i] : "-";
        const std::string b = i < expat.events.size() ? expat.events[i] : "-";
        if (a != b) {
            std::fprintf(stderr, "first difference at event %zu:\n  scanner: %.200s\n  expat:   %.200s\n", i,
                         a.c_str(), b.c_str());
            break;
        }
    }
    std::abort();
}

size_t g_accepted = 0, g_runs = 0;

// The scanner against expat on one document, fed in pieces the seed picks (0: in one piece).
void check(const char *doc, size_t length, uint32_t seed) {
    Recorder expat_events;
    XML_Parser parser = XML_ParserCreateNS(nullptr, '}');
    XML_SetUserData(parser, &expat_events);
    XML_SetElementHandler(parser, on_start, on_end);
    XML_SetCharacterDataHandler(parser, on_text);
    XML_SetDefaultHandlerExpand(parser, on_default);
    g_entity = false;
    const bool expat_ok = XML_Parse(parser, doc, (int) length, 1) == XML_STATUS_OK && !g_entity;
    XML_ParserFree(parser);
    expat_events.settle();

    Recorder scanner_events;
    quillon::xml::Scanner scanner(scanner_events);
    bool ok = true;
    for (size_t at = 0; ok && at < length;) {
        const bool whole = seed == 0;
        seed = seed * 1103515245u + 12345u;
        // Mostly short pieces, now and then a long one: cuts land inside every kind of token.
        const size_t piece = whole || (seed >> 16) % 4 == 0 ? length : 1 + (seed >> 8) % 17;
        const size_t n = std::min(piece, length - at);
        ok = scanner.feed(doc + at, n);
        at += n;
    }
    if (ok) ok = scanner.close();
    if (!ok && (scanner_events.chars->size() != scanner_events.text_from || scanner_events.indent))
        fail("character data left behind after giving up");

    ++g_runs;
    if (ok) {
        ++g_accepted;
        scanner_events.settle();
        if (!expat_ok) differ("the scanner accepted what expat rejects", scanner_events, expat_events);
        if (scanner_events.events != expat_events.events) differ("different events", scanner_events, expat_events);
    } else {
        // What was reported before giving up (texts are reported only with the next tag).
        const auto &got = scanner_events.events;
        if (got.size() > expat_events.events.size())
            differ("more events before giving up than expat has", scanner_events, expat_events);
        for (size_t i = 0; i < got.size(); ++i)
            if (got[i] != expat_events.events[i]) differ("different events before giving up", scanner_events, expat_events);
    }
    if (getenv("SCANNER_FUZZ_VERBOSE"))
        std::fprintf(stderr, "scanner %s, expat %s, %zu events\n", ok ? "accepts" : "gives up",
                     expat_ok ? "accepts" : "rejects", expat_events.events.size());
}

// A document of code points (lone surrogates too) in UTF-16 with either byte order mark, or in
// UTF-8 (a lone surrogate as the three bytes a codec that lets it pass writes).
std::string encode(const std::u32string &text, int encoding) {
    std::string out = encoding == 0 ? "\xFF\xFE" : encoding == 1 ? "\xFE\xFF" : "";
    auto unit = [&](uint32_t u) {
        const char lo = (char) (u & 0xFF), hi = (char) (u >> 8);
        out += encoding == 0 ? lo : hi;
        out += encoding == 0 ? hi : lo;
    };
    for (const char32_t c : text) {
        const uint32_t cp = c;
        if (encoding < 2) {
            if (cp >= 0x10000) {
                unit(0xD800 + ((cp - 0x10000) >> 10));
                unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                unit(cp);
            }
        } else if (cp < 0x80) {
            out += (char) cp;
        } else if (cp < 0x800) {
            out += (char) (0xC0 | (cp >> 6));
            out += (char) (0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char) (0xE0 | (cp >> 12));
            out += (char) (0x80 | ((cp >> 6) & 0x3F));
            out += (char) (0x80 | (cp & 0x3F));
        } else {
            out += (char) (0xF0 | (cp >> 18));
            out += (char) (0x80 | ((cp >> 12) & 0x3F));
            out += (char) (0x80 | ((cp >> 6) & 0x3F));
            out += (char) (0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// The scanner reads runs a block at a time (8 UTF-16 units or 16 UTF-8 bytes with SSE2, half
// that in the portable build): runs of text, attribute values, names and blanks of every length
// around one and two blocks, and every character that ends a run at every offset within them.
std::vector<std::u32string> block_edges() {
    std::vector<std::u32string> bodies;
    const auto times = [](size_t n, char32_t c) { return std::u32string(n, c); };
    for (size_t n = 1; n <= 34; ++n) {
        const std::u32string x = times(n, U'x'), name = times(n, U'N'), blank = times(n, U' ');
        bodies.push_back(U"<T>" + x + U"</T><U>" + x + U"<V/></U>");
        bodies.push_back(U"<" + name + U">1</" + name + U"><" + name + U"><V/></" + name + U" >");
        bodies.push_back(U"<T a='" + x + U"' b=\"" + x + U"\">1</T>");
        bodies.push_back(U"<T>\n" + blank + U"<V/>\n" + blank + U"</T>");
        bodies.push_back(U"<T" + blank + U"a='1'" + blank + U"/><U" + times(n, U'\t') + U">1</U" + blank + U">");
    }
    const std::u32string specials[] = {std::u32string(1, (char32_t) 0xD800), std::u32string(1, (char32_t) 0xDC00),
                                       U"&amp;", U"&#x20AC;", U"<", U"]]>", U"]", U"\r", U"\r\n", U"\u00E9",
                                       U"\U0001F600", U"\x01"};
    for (const std::u32string &c : specials) {
        for (size_t offset = 0; offset < 34; ++offset) {
            const std::u32string run = times(offset, U'x') + c + times(33 - offset, U'y');
            bodies.push_back(U"<T>" + run + U"</T>");
            bodies.push_back(U"<T a='" + run + U"'/>");
        }
    }
    std::vector<std::u32string> documents;
    for (const std::u32string &body : bodies)
        documents.push_back(U"<Doc>\n  <Section>\n    <Id>1</Id>\n    " + body + U"\n  </Section>\n</Doc>\n");
    return documents;
}

}  // namespace

// Before any fuzzing: the block edges, in each encoding, whole and in two ways of pieces.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    size_t count = 0;
    for (const std::u32string &text : block_edges()) {
        for (int encoding = 0; encoding < 3; ++encoding) {
            const std::string doc = encode(text, encoding);
            for (uint32_t seed : {0u, 7u, 200u}) {
                check(doc.data(), doc.size(), seed);
                ++count;
            }
        }
    }
    std::fprintf(stderr, "INFO: %zu block-edge documents checked\n", count);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    check((const char *) data + 1, size - 1, data[0] * 2654435761u + 1);
    return 0;
}
