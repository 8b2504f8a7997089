// A validating scanner for the documents our programs write: UTF-16 (either byte order) or
// UTF-8, no DOCTYPE, names in ASCII. It checks everything expat checks on such a document and
// reports the same elements, attributes and (joined) texts to a TokenSink, several times
// faster, because it does less: no line and column tracking, no entity machinery, names known
// by number, and runs of text, names and blanks read a block of code units at a time, texts
// written straight where the sink keeps them.
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

    // Start and end events reported so far.
    size_t events() const { return events_; }

private:
    enum class Encoding : uint8_t { Unknown, Utf8, Utf16LE, Utf16BE };
    enum class Stage : uint8_t { Start, Prolog, Content, Epilog };
    enum class R : uint8_t { Ok, More, Bad };

    // A growable byte buffer, with the interface of the sink's CharArena. Growing it zeroes
    // the new room once, so that reading a whole block past a name never reads bytes nobody
    // wrote; taking room does not.
    class Buffer {
    public:
        size_t size() const { return size_; }
        char *data() const { return data_.get(); }
        char *room(size_t n) {
            if (capacity_ - size_ < n) grow(n);
            return data_.get() + size_;
        }
        void set_size(size_t n) { size_ = n; }
        void push(char c) {
            *room(1) = c;
            ++size_;
        }
        void clear() { size_ = 0; }

    private:
        void grow(size_t n);
        std::unique_ptr<char[]> data_;
        size_t size_ = 0;
        size_t capacity_ = 0;
    };

    struct Open {
        uint32_t name_at;    // raw qualified name in known_chars_ when known, else in names_
        uint32_t name_length;
        uint32_t bindings;   // size of bindings_ before this element's declarations
        uint32_t known;      // number of the known name, or kNoNameId
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
    // A reference at `p`, its character appended to `out`.
    template <class E, class Out> R reference(const uint8_t *&p, const uint8_t *end, Out &out);

    // The common tokens of an element's content, as long as they come.
    template <class E> void content(const uint8_t *&p, const uint8_t *end);
    template <class E> uint32_t plain_start(const uint8_t *q, const uint8_t *end, const uint8_t *&after);

    bool report_start(const Open &o, uint32_t colon, bool empty);
    void report_end();
    const char *name_of(const Open &o) const {
        return (o.known != TokenSink::kNoNameId ? known_chars_.data() : names_.data()) + o.name_at;
    }
    // Indentation that more character data joins is written out after all.
    void keep_indent() {
        if (!sink_.indent) return;
        sink_.chars->append(kIndentChars, sink_.indent);
        sink_.indent = 0;
    }
    void drop_text();
    const std::string *lookup(const char *prefix, size_t length) const;
    uint32_t number_name(const char *name, uint32_t length);
    uint32_t find_name(const char *name, uint32_t length);

    TokenSink &sink_;
    Encoding encoding_ = Encoding::Unknown;
    Stage stage_ = Stage::Start;
    bool bad_ = false;
    bool need_declaration_ = false;  // UTF-16 without a byte order mark
    size_t events_ = 0;
    std::string carry_;              // the start of a token cut by the end of a piece
    Buffer names_;                   // raw names of the open elements that are not known
    std::vector<Open> open_;

    // Element names without a colon, numbered as first seen (up to the sink's limit, and to
    // kMaxNameBytes of names, so that memory stays flat whatever the document). Documents
    // repeat the same sequence of tags over and over: the name that followed an element's start,
    // and the one that followed its end, the last time are compared first, and a hash table
    // looked into only when that guess is wrong.
    static constexpr size_t kMaxNameBytes = 1 << 20;
    struct KnownName {
        uint32_t at, length;  // in known_chars_, null-terminated
        uint32_t tag_at;      // in known_tags_
        uint32_t after_start = TokenSink::kNoNameId;
        uint32_t after_end = TokenSink::kNoNameId;
    };
    std::vector<KnownName> known_;
    Buffer known_chars_;
    Buffer known_tags_;  // "/name>" of each, in the document's encoding: compared as it stands
    std::vector<uint32_t> name_slots_;  // open addressing by hash: a number, or kNoNameId
    uint32_t previous_name_ = TokenSink::kNoNameId;  // of the last start or end event
    bool previous_was_start_ = false;

    std::vector<Binding> bindings_;
    size_t defaults_ = 0;            // bindings of the default namespace among them
    std::vector<RawAttribute> raw_attributes_;
    Buffer attribute_bytes_;
    std::string resolved_;           // names and values as reported
    std::vector<size_t> offsets_;
    std::vector<const char *> attribute_pointers_;
};

}  // namespace quillon::xml
