// The XML tokenizer: the interpreter's own expat, reached through the pyexpat C API capsule,
// configured exactly as the standard `xml.etree.ElementTree.XMLParser` configures it. Sharing
// the library and the configuration is what makes our errors, limits and accepted encodings
// the interpreter's: the same bytes give the same `ParseError` (message, `code`, `position`).
//
// Everything downstream sees only `TokenSink`. For the documents our programs write, the
// faster scanner of xml_scanner.hpp takes expat's place; at the first thing it does not accept
// it gives up and expat parses the document again from its first byte, the events already
// reported left out, so that results and errors are exactly expat's either way.
#pragma once

#include "xml_token_sink.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>

namespace quillon::xml {

namespace nb = nanobind;

class Tokenizer {
public:
    explicit Tokenizer(TokenSink &sink);
    ~Tokenizer();
    Tokenizer(const Tokenizer &) = delete;
    Tokenizer &operator=(const Tokenizer &) = delete;

    // One piece of the document, taken as the standard parser's `feed()` takes it: a `str` is
    // parsed as UTF-8 (and forces that encoding when it is the first piece), anything else
    // through the buffer protocol. Throws nb::python_error: `ParseError` for a malformed
    // document, the interpreter's own errors otherwise (TypeError, OverflowError, ...).
    void feed(nb::handle data);
    void feed_bytes(const char *data, size_t length);
    // The end of the document (the standard parser's `close()`).
    void close();

    // True after feed() or close() when the scanner gave up on the document: the caller must
    // feed it again from its first byte (expat then parses it, without repeating the events
    // already reported), and close() does nothing until then.
    bool wants_restart() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Whether new tokenizers use the scanner (the QUILLON_XML_SCANNER=0 environment variable,
// read once, turns it off). Tests and fuzzing turn it off to compare with expat alone.
bool scanner_enabled();
void set_scanner_enabled(bool enabled);

// Looks up what the tokenizer uses of the interpreter (the pyexpat C API, ParseError); the
// module that parses calls it once, when it is imported, before any tokenizer is made.
void load_tokenizer();

// `xml.etree.ElementTree.ParseError`, the class the standard parser raises.
nb::handle parse_error_type();

}  // namespace quillon::xml
