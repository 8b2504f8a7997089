// Base64 of RFC 4648 (standard alphabet, "=" padding, no line breaks).
//
// Decoding gives what the running interpreter's `base64.b64decode` (without `validate`) gives,
// results and errors alike: canonical text is decoded here, anything else goes to
// `base64.b64decode` itself, whose leniency differs between interpreter versions.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace quillon::base64 {

namespace nb = nanobind;

// Encodes `data`; the result is ASCII.
std::string encode(std::string_view data);

// The same as a str, made without a copy in between.
nb::str encode_text(std::string_view data);

// The Base64 text of a bytes-like object's whole content, as a str (b64encode(data).decode()).
nb::str encode_object(nb::handle data);

// Decodes `text` as b64decode(text) does; throws nb::python_error carrying its error.
std::string decode(std::string_view text);

// b64decode(value) for a Python value (str, bytes or any other buffer); everything it refuses
// is refused with its exception and message. Returns bytes.
nb::bytes decode_object(nb::handle value);

}  // namespace quillon::base64
