// What a tokenizer hands its consumer. Kept apart from the tokenizer so that code with no
// interpreter around (the scanner, and the native fuzz target that drives it) can use it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace quillon::xml {

// A line break and then spaces: the indentation between the tags of a written document, about
// half of all its texts. A sink keeps it as its length, pointing into this array.
inline constexpr unsigned kMaxIndent = 65;
inline constexpr char kIndentChars[kMaxIndent + 1] = "\n                                                                ";

// Characters in one growing array. Grows as a string would, but appends the short texts of a
// result file (numbers, names) with a few moves rather than a call, and leaves the room it
// grows by unwritten (pages untouched until used), so a large reservation costs nothing yet.
class CharArena {
public:
    size_t size() const { return size_; }
    const char *data() const { return data_ ? data_.get() : ""; }  // never null, as a string's
    void reserve(size_t n) {
        if (n > capacity_) grow_to(n);
    }
    // At least `n` characters of room at the end, to write into before set_size().
    char *room(size_t n) {
        if (capacity_ - size_ < n) grow_to(std::max(capacity_ * 2, size_ + n));
        return data_.get() + size_;
    }
    // Keeps what was written into the room up to `n`, or drops the characters from `n` on.
    void set_size(size_t n) { size_ = n; }
    void append(const char *p, size_t n) {
        if (!n) return;
        char *out = room(n);
        if (n >= 8 && n <= 16) {
            std::memcpy(out, p, 8);
            std::memcpy(out + n - 8, p + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(out, p, 4);
            std::memcpy(out + n - 4, p + n - 4, 4);
        } else {
            std::memcpy(out, p, n);
        }
        size_ += n;
    }
    void release() {
        data_.reset();
        size_ = capacity_ = 0;
    }

private:
    void grow_to(size_t n) {
        std::unique_ptr<char[]> bigger(new char[n]);
        if (size_) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = n;
    }
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Receives the document's elements and character data in document order. Names are in
// expat's namespace form ("uri}local" for a namespaced name, the plain name otherwise);
// attributes are a null-terminated array of name/value pairs. Comments, processing
// instructions and the DOCTYPE are not reported.
//
// Character data takes no call of its own: it is written at the end of `*chars` (by text(),
// or by a tokenizer straight into the room there), and at its next event (start, end, leaf)
// the sink takes what lies from `text_from` on as the text before that event, pieces split by
// comments already joined. An indentation may instead come as its length in `indent`, with
// nothing written. take_text() does both; a sink may point `chars` at storage of its own,
// and sets `text_from` to the end of it after each event.
// A sink may throw; the tokenizer stops reporting and rethrows after the parse call.
class TokenSink {
public:
    // Numbers a tokenizer may give the names it reports, see start().
    static constexpr uint32_t kNoNameId = 0xFFFFFFFFu;
    static constexpr uint32_t kMaxNameIds = 4096;

    virtual ~TokenSink() = default;
    // `name_id`, unless kNoNameId, stands for `name` alone, the same for the same name all
    // through the document and below kMaxNameIds, so that names can be told apart by it.
    virtual void start(const char *name, const char **attributes, uint32_t name_id) = 0;
    void start(const char *name, const char **attributes) { start(name, attributes, kNoNameId); }
    virtual void end() = 0;
    // An element without attributes or children, its start and end at once: what lies in
    // `*chars` from `text_at` on is its text (none when nothing does), and what lies from
    // `text_from` up to `text_at` (or `indent`) the character data before it.
    virtual void leaf(const char *name, uint32_t name_id, size_t text_at) = 0;
    void text(const char *data, int length) { chars->append(data, (size_t) length); }
    // True while the sink may be called without the interpreter's lock: it touches no Python
    // object and nothing another thread could be reading. Lets the tokenizer scan with the
    // lock released, so that several threads parse several documents at once.
    virtual bool runs_without_gil() const { return false; }

    CharArena *chars = &own_chars_;
    size_t text_from = 0;
    uint32_t indent = 0;

protected:
    // The character data since the last event, for a sink that keeps it nowhere else: valid
    // until the next write, and dropped from `chars`.
    std::string_view take_text() {
        std::string_view t;
        if (indent) t = std::string_view(kIndentChars, indent);
        else t = std::string_view(chars->data() + text_from, chars->size() - text_from);
        chars->set_size(text_from);
        indent = 0;
        return t;
    }

private:
    CharArena own_chars_;
};

}  // namespace quillon::xml
