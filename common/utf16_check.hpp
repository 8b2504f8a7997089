// Unpaired high surrogates in a UTF-16 document. The XML library takes a high surrogate and
// whatever unit follows it as one character, so a high surrogate followed by a non-surrogate
// (or by another high one) would come back silently as some other character. Everything that
// hands a document to a parser passes its bytes through a Utf16Check first; at the first such
// unit the document is cut there and followed by a lone low surrogate, which the library itself
// refuses, so the error (message, code, position) is exactly the one it gives for a lone low
// surrogate at that point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon::xml {

class Utf16Check {
public:
    // The piece of the document that may go to the parser now, as one or two byte ranges.
    // Bytes that cannot be judged yet (an odd byte, a high surrogate at the end of the piece)
    // are held back and come first in the next piece.
    struct Pieces {
        const char *first = nullptr;
        size_t first_length = 0;
        const char *second = nullptr;  // the replacement unit after a cut, else unset
        size_t second_length = 0;
    };

    // The document is text already encoded as UTF-8 (a `str` given as its first piece, which
    // fixes the encoding): nothing to check.
    void not_utf16() {
        if (mode_ == Mode::Unknown && held_.empty()) mode_ = Mode::Off;
    }

    // The next bytes of the document. After a cut, later pieces are dropped (the parser has
    // failed by then).
    Pieces feed(const char *data, size_t length);
    // The end of the document: whatever was held back, for the parser to judge.
    Pieces finish();
    bool cut() const { return cut_; }

private:
    enum class Mode : uint8_t { Unknown, Off, LittleEndian, BigEndian };
    Pieces scan(const char *data, size_t length);

    Mode mode_ = Mode::Unknown;
    bool cut_ = false;
    std::string held_;     // bytes held back from the previous piece
    std::string joined_;   // held_ and the next piece, when there was something held
    char replacement_[2] = {};
};

}  // namespace quillon::xml
