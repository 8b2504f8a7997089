#include "base64.hpp"

#include "binder.hpp"

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

[[noreturn]] void raise_binascii(const std::string &message) {
    bind::raise(bind::import_name("binascii", "Error"), message);
}

}  // namespace

std::string encode(std::string_view data) {
    const auto *in = reinterpret_cast<const unsigned char *>(data.data());
    const size_t n = data.size();
    std::string out;
    out.resize((n + 2) / 3 * 4);
    char *o = out.data();
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
    return out;
}

std::string decode(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    int quad_pos = 0;
    int pads = 0;
    unsigned leftchar = 0;
    for (unsigned char c : text) {
        if (c == '=') {
            // Padding ends the data once consecutive pads complete a quantum of at least two
            // characters; other pads are ignored.
            if (quad_pos >= 2 && quad_pos + ++pads >= 4) return out;
            continue;
        }
        const unsigned v = table[c];
        if (v >= 64) continue;
        pads = 0;  // only pads that directly end a quantum count
        switch (quad_pos) {
            case 0:
                quad_pos = 1;
                leftchar = v;
                break;
            case 1:
                quad_pos = 2;
                out.push_back((char) ((leftchar << 2) | (v >> 4)));
                leftchar = v & 0x0f;
                break;
            case 2:
                quad_pos = 3;
                out.push_back((char) ((leftchar << 4) | (v >> 2)));
                leftchar = v & 0x03;
                break;
            default:
                quad_pos = 0;
                out.push_back((char) ((leftchar << 6) | v));
                leftchar = 0;
                break;
        }
    }
    if (quad_pos == 1)
        raise_binascii("Invalid base64-encoded string: number of data characters (" +
                       std::to_string(out.size() / 3 * 4 + 1) +
                       ") cannot be 1 more than a multiple of 4");
    if (quad_pos != 0) raise_binascii("Incorrect padding");
    return out;
}

nb::str encode_object(nb::handle data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) bind::raise_pending();
    std::string encoded;
    try {
        encoded = encode(std::string_view(static_cast<const char *>(view.buf), (size_t) view.len));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return nb::str(encoded.c_str(), encoded.size());
}

nb::bytes decode_object(nb::handle value) {
    PyObject *o = value.ptr();
    std::string decoded;
    if (PyUnicode_Check(o)) {
        if (!PyUnicode_IS_ASCII(o))
            bind::raise(nb::handle(PyExc_ValueError),
                        "string argument should contain only ASCII characters");
        decoded = decode(std::string_view((const char *) PyUnicode_DATA(o),
                                          (size_t) PyUnicode_GET_LENGTH(o)));
    } else if (PyBytes_Check(o)) {
        decoded = decode(std::string_view(PyBytes_AS_STRING(o), (size_t) PyBytes_GET_SIZE(o)));
    } else if (PyObject_CheckBuffer(o)) {
        // Any buffer layout, contiguous or not, as memoryview(value).tobytes() reads it.
        nb::object flat = nb::borrow(nb::handle((PyObject *) &PyMemoryView_Type))(value)
                              .attr("tobytes")();
        decoded = decode(std::string_view(PyBytes_AS_STRING(flat.ptr()),
                                          (size_t) PyBytes_GET_SIZE(flat.ptr())));
    } else {
        nb::object name = nb::handle((PyObject *) Py_TYPE(o)).attr("__name__");
        bind::raise(nb::handle(PyExc_TypeError),
                    "argument should be a bytes-like object or ASCII string, not " +
                        nb::cast<std::string>(nb::repr(name)));
    }
    return nb::bytes(decoded.data(), decoded.size());
}

}  // namespace quillon::base64
