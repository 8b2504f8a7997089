// A validating scanner for the documents our programs write: UTF-16 (either byte order) or
// UTF-8, no DOCTYPE, names in ASCII. It checks everything expat checks on such a document and
// reports the same elements, attributes and (joined) texts to a TokenSink, several times
// faster, because it does less: no line and column tracking, no name hashing, no entity
// machinery, and UTF-16 text narrowed eight characters at a time.
//
// It never reports an error. Whatever it does not accept, malformed or merely unusual, makes
// it give up (feed() or close() returns false) and the caller hands the document to expat,
// whose verdict and messages are the interpreter's. Being stricter than expat costs only
// speed; accepting less strictly would change results, so every rule errs on the strict side.
//
// The scanner touches no Python object and can run without the interpreter's lock.
#pragma once

#include "xml_token_sink.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillon::xml {

class Scanner {
public:
    explicit Scanner(TokenSink &sink) : sink_(sink) {}
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    // The next piece of the document, split anywhere. False: the scanner gave up; nothing
    // more will be reported, and what was reported is a prefix of what expat reports.
    bool feed(const char *data, size_t length);
    // The end of the document. False unless the document was complete and accepted.
    bool close();

    bool gave_up() const { return bad_; }
    // Start and end events reported so far.
    size_t events() const { return events_; }

private:
    enum class Encoding : uint8_t { Unknown, Utf8, Utf16LE, Utf16BE };
    enum class Stage : uint8_t { Start, Prolog, Content, Epilog };
    enum class R : uint8_t { Ok, More, Bad };

    // A growable byte buffer. Growing it zeroes the new room once; taking room does not.
    struct Buffer {
        std::unique_ptr<char[]> data;
        size_t size = 0;
        size_t capacity = 0;
        void reserve_more(size_t n) {
            if (capacity - size >= n) return;
            grow(n);
        }
        void grow(size_t n);
        void push(char c) {
            reserve_more(1);
            data[size++] = c;
        }
        void append(const char *p, size_t n);
        void push_code_point(uint32_t cp);
        void clear() { size = 0; }
    };

    struct Open {
        uint32_t name_at;    // raw qualified name in names_ (null-terminated)
        uint32_t name_length;
        uint32_t bindings;   // size of bindings_ before this element's declarations
    };
    struct Binding {
        std::string prefix;  // empty for the default namespace
        std::string uri;     // empty: the default namespace undeclared
    };
    struct RawAttribute {
        uint32_t name_at, name_length, colon;  // colon: offset of ':' in the name, 0 if none
        uint32_t value_at, value_length;
    };

    bool run(const uint8_t *data, size_t length, bool final);
    bool detect(const uint8_t *data, size_t length, size_t &skip);
    size_t dispatch(const uint8_t *data, size_t length, bool final);

    template <class E> size_t scan(const uint8_t *begin, const uint8_t *end, bool final);
    template <class E> R markup(const uint8_t *&p, const uint8_t *end);
    template <class E> R text(const uint8_t *&p, const uint8_t *end);
    template <class E> R start_tag(const uint8_t *&p, const uint8_t *end);
    template <class E> R end_tag(const uint8_t *&p, const uint8_t *end);
    template <class E> R comment(const uint8_t *&p, const uint8_t *end);
    // One character of a comment's or a processing instruction's data.
    template <class E> static R data_character(const uint8_t *&q, const uint8_t *end);
    template <class E> R processing_instruction(const uint8_t *&p, const uint8_t *end);
    template <class E> R declaration(const uint8_t *&p, const uint8_t *end);
    template <class E> R cdata(const uint8_t *&p, const uint8_t *end);
    template <class E> R attribute_value(const uint8_t *&p, const uint8_t *end);
    template <class E> R reference(const uint8_t *&p, const uint8_t *end, Buffer &out);

    bool report_start(uint32_t name_at, uint32_t name_length, uint32_t colon, bool empty);
    bool report_end();
    void flush_text();
    void keep_indent();
    const std::string *lookup(const char *prefix, size_t length) const;

    TokenSink &sink_;
    Encoding encoding_ = Encoding::Unknown;
    Stage stage_ = Stage::Start;
    bool bad_ = false;
    bool need_declaration_ = false;  // UTF-16 without a byte order mark
    size_t events_ = 0;
    std::string carry_;              // the start of a token cut by the end of a piece
    Buffer text_;                    // character data not yet reported
    uint32_t indent_ = 0;            // or an indentation, by its length (text_ is empty then)
    Buffer names_;                   // raw names of the open elements
    std::vector<Open> open_;
    std::vector<Binding> bindings_;
    size_t defaults_ = 0;            // bindings of the default namespace among them
    std::vector<RawAttribute> raw_attributes_;
    Buffer attribute_bytes_;
    std::string resolved_;           // names and values as reported
    std::vector<size_t> offsets_;
    std::vector<const char *> attribute_pointers_;
};

}  // namespace quillon::xml
