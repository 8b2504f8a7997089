#include "utf16_check.hpp"

namespace quillon::xml {

namespace {

bool is_high(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

Utf16Check::Pieces Utf16Check::feed(const char *data, size_t length) {
    if (cut_) return {};
    if (mode_ == Mode::Off) return Pieces{data, length};
    if (mode_ == Mode::Unknown) {
        // Decided as the library decides a document's encoding from its first two bytes: a
        // byte-order mark, or "<" as a 16-bit unit. They are looked at where they stand, so
        // a document given in one piece is never copied.
        if (held_.size() + length < 2) {
            held_.append(data, length);
            return {};
        }
        const auto byte = [&](size_t i) {
            return (unsigned char) (i < held_.size() ? held_[i] : data[i - held_.size()]);
        };
        const unsigned b0 = byte(0), b1 = byte(1);
        if ((b0 == 0xFE && b1 == 0xFF) || (b0 == 0x00 && b1 == 0x3C)) mode_ = Mode::BigEndian;
        else if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0x3C && b1 == 0x00)) mode_ = Mode::LittleEndian;
        else mode_ = Mode::Off;
        if (mode_ == Mode::Off) {
            if (held_.empty()) return Pieces{data, length};
            joined_ = held_;
            held_.clear();
            joined_.append(data, length);
            return Pieces{joined_.data(), joined_.size()};
        }
    }
    if (held_.empty()) return scan(data, length);
    joined_ = held_;
    held_.clear();
    joined_.append(data, length);
    return scan(joined_.data(), joined_.size());
}

Utf16Check::Pieces Utf16Check::scan(const char *data, size_t length) {
    const bool little = mode_ == Mode::LittleEndian;
    auto unit = [&](size_t at) -> uint16_t {
        const auto a = (unsigned char) data[at], b = (unsigned char) data[at + 1];
        return little ? (uint16_t) (a | (b << 8)) : (uint16_t) ((a << 8) | b);
    };
    size_t at = 0;
    while (at + 2 <= length) {
        const uint16_t u = unit(at);
        if (!is_high(u)) {
            at += 2;
            continue;
        }
        if (at + 4 > length) break;  // its partner is still to come
        if (!is_low(unit(at + 2))) {
            cut_ = true;
            const uint16_t lone = 0xDC00;
            replacement_[0] = (char) (little ? (lone & 0xFF) : (lone >> 8));
            replacement_[1] = (char) (little ? (lone >> 8) : (lone & 0xFF));
            return Pieces{data, at, replacement_, 2};
        }
        at += 4;
    }
    held_.assign(data + at, length - at);
    return Pieces{data, at};
}

Utf16Check::Pieces Utf16Check::finish() {
    if (cut_ || held_.empty()) return {};
    joined_ = held_;
    held_.clear();
    return Pieces{joined_.data(), joined_.size()};
}

}  // namespace quillon::xml
