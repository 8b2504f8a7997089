#include "base64.hpp"

#include "binder.hpp"
#include "python_ops.hpp"

#include <array>

namespace quillon::base64 {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for alphabet characters, 64 for everything else.
constexpr std::array<unsigned char, 256> make_table() {
    std::array<unsigned char, 256> t{};
    for (auto &v : t) v = 64;
    for (unsigned char i = 0; i < 64; ++i) t[(unsigned char) alphabet[i]] = i;
    return t;
}
constexpr auto table = make_table();

}  // namespace

namespace {

// Writes the (n + 2) / 3 * 4 characters of the encoding of `data` at `o`.
void encode_into(std::string_view data, char *o) {
    const auto *in = reinterpret_cast<const unsigned char *>(data.data());
    const size_t n = data.size();
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const unsigned v = (unsigned) in[i] << 16 | (unsigned) in[i + 1] << 8 | in[i + 2];
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = alphabet[v & 63];
    }
    if (n - i == 1) {
        const unsigned v = (unsigned) in[i] << 16;
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (n - i == 2) {
        const unsigned v = (unsigned) in[i] << 16 | (unsigned) in[i + 1] << 8;
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = '=';
    }
}

size_t encoded_size(size_t n) { return (n + 2) / 3 * 4; }

}  // namespace

std::string encode(std::string_view data) {
    std::string out;
    out.resize(encoded_size(data.size()));
    encode_into(data, out.data());
    return out;
}

nb::str encode_text(std::string_view data) {
    // Written straight into the string object: the text can be several megabytes.
    nb::object text = nb::steal(PyUnicode_New((Py_ssize_t) encoded_size(data.size()), 127));
    if (!text.is_valid()) bind::raise_pending();
    encode_into(data, (char *) PyUnicode_1BYTE_DATA(text.ptr()));
    return nb::borrow<nb::str>(text);
}

namespace {

// Canonical text only: the standard alphabet in whole quanta, at most two "=" that end the
// last one, and zero bits where the padding discards them. Anything else is the interpreter's
// to judge, because what its decoder forgives and how it words a refusal change between
// versions; this path only has to be fast for what workers actually send.
bool decode_canonical(std::string_view text, std::string &out) {
    const auto *in = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    if (n % 4 != 0) return false;
    out.clear();
    if (n == 0) return true;
    size_t pads = 0;
    if (in[n - 1] == '=') pads = in[n - 2] == '=' ? 2 : 1;
    const size_t whole = n - 4;  // the last quantum is handled with its padding
    out.resize(whole / 4 * 3 + 3 - pads);
    char *o = out.data();
    for (size_t i = 0; i < whole; i += 4) {
        const unsigned a = table[in[i]], b = table[in[i + 1]], c = table[in[i + 2]],
                       d = table[in[i + 3]];
        if ((a | b | c | d) >= 64) return false;
        const unsigned v = a << 18 | b << 12 | c << 6 | d;
        *o++ = (char) (v >> 16);
        *o++ = (char) (v >> 8);
        *o++ = (char) v;
    }
    const unsigned char *q = in + whole;
    const unsigned a = table[q[0]], b = table[q[1]];
    const unsigned c = pads == 2 ? 0 : table[q[2]];
    const unsigned d = pads >= 1 ? 0 : table[q[3]];
    if ((a | b | c | d) >= 64) return false;
    if (pads == 2 && (b & 0x0f) != 0) return false;
    if (pads == 1 && (c & 0x03) != 0) return false;
    const unsigned v = a << 18 | b << 12 | c << 6 | d;
    *o++ = (char) (v >> 16);
    if (pads < 2) *o++ = (char) (v >> 8);
    if (pads < 1) *o++ = (char) v;
    return true;
}

nb::bytes interpreter_decode(nb::handle value) {
    return nb::borrow<nb::bytes>(ops::import_name("base64", "b64decode")(value));
}

}  // namespace

std::string decode(std::string_view text) {
    std::string out;
    if (decode_canonical(text, out)) return out;
    nb::bytes decoded = interpreter_decode(nb::bytes(text.data(), text.size()));
    return std::string(decoded.c_str(), decoded.size());
}

nb::str encode_object(nb::handle data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) bind::raise_pending();
    nb::str encoded;
    try {
        encoded = encode_text(std::string_view(static_cast<const char *>(view.buf), (size_t) view.len));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return encoded;
}

nb::bytes decode_object(nb::handle value) {
    PyObject *o = value.ptr();
    std::string_view text;
    nb::object flat;  // owns the text of a buffer that is not bytes
    if (PyUnicode_Check(o)) {
        if (!PyUnicode_IS_ASCII(o)) return interpreter_decode(value);
        text = std::string_view((const char *) PyUnicode_DATA(o), (size_t) PyUnicode_GET_LENGTH(o));
    } else if (PyBytes_Check(o)) {
        text = std::string_view(PyBytes_AS_STRING(o), (size_t) PyBytes_GET_SIZE(o));
    } else if (PyObject_CheckBuffer(o)) {
        // Any buffer layout, contiguous or not, as memoryview(value).tobytes() reads it.
        flat = nb::borrow(nb::handle((PyObject *) &PyMemoryView_Type))(value).attr("tobytes")();
        text = std::string_view(PyBytes_AS_STRING(flat.ptr()), (size_t) PyBytes_GET_SIZE(flat.ptr()));
    } else {
        return interpreter_decode(value);  // its TypeError, in its words
    }
    std::string decoded;
    if (!decode_canonical(text, decoded)) return interpreter_decode(value);
    return nb::bytes(decoded.data(), decoded.size());
}

}  // namespace quillon::base64
