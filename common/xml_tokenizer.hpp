// The XML tokenizer: the interpreter's own expat, reached through the pyexpat C API capsule,
// configured exactly as the standard `xml.etree.ElementTree.XMLParser` configures it. Sharing
// the library and the configuration is what makes our errors, limits and accepted encodings
// the interpreter's: the same bytes give the same `ParseError` (message, `code`, `position`).
//
// Everything downstream sees only `TokenSink`, so a faster scanner can take expat's place for
// the common case without the tree noticing.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>

namespace quillon::xml {

namespace nb = nanobind;

// Receives the document's elements and character data in document order. Names are in
// expat's namespace form ("uri}local" for a namespaced name, the plain name otherwise);
// attributes are a null-terminated array of name/value pairs. Character data arrives in
// pieces; comments, processing instructions and the DOCTYPE are not reported.
// A sink may throw; the tokenizer stops reporting and rethrows after the parse call.
class TokenSink {
public:
    virtual ~TokenSink() = default;
    virtual void start(const char *name, const char **attributes) = 0;
    virtual void end() = 0;
    virtual void text(const char *data, int length) = 0;
};

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

    struct State;

private:
    std::unique_ptr<State> state_;
};

// `xml.etree.ElementTree.ParseError`, the class the standard parser raises.
nb::handle parse_error_type();

}  // namespace quillon::xml
