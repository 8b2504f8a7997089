// Base64 of RFC 4648 (standard alphabet, "=" padding, no line breaks).
//
// Decoding follows the interpreter's `base64.b64decode` without `validate`: characters outside
// the alphabet are skipped, decoding stops at the first complete padding, and malformed input
// raises `binascii.Error` with the interpreter's own messages.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace quillon::base64 {

namespace nb = nanobind;

// Encodes `data`; the result is ASCII.
std::string encode(std::string_view data);

// The Base64 text of a bytes-like object's whole content, as a str (b64encode(data).decode()).
nb::str encode_object(nb::handle data);

// Decodes `text` as b64decode(text) would; throws nb::python_error carrying binascii.Error.
std::string decode(std::string_view text);

// b64decode for a Python value: a str (ASCII only, else ValueError) or a bytes-like object
// (else TypeError), with the interpreter's messages. Returns bytes.
nb::bytes decode_object(nb::handle value);

}  // namespace quillon::base64
