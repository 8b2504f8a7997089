// What a tokenizer hands its consumer. Kept apart from the tokenizer so that code with no
// interpreter around (the scanner, and the native fuzz target that drives it) can use it.
#pragma once

namespace quillon::xml {

// A line break and then spaces: the indentation between the tags of a written document, about
// half of all its texts. A tokenizer may hand over such a text as a pointer into this array,
// which tells the sink what it is without looking at it.
inline constexpr unsigned kMaxIndent = 65;
inline constexpr char kIndentChars[kMaxIndent + 1] = "\n                                                                ";

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
    // True while the sink may be called without the interpreter's lock: it touches no Python
    // object and nothing another thread could be reading. Lets the tokenizer scan with the
    // lock released, so that several threads parse several documents at once.
    virtual bool runs_without_gil() const { return false; }
};

}  // namespace quillon::xml
