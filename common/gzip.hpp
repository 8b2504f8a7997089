// gzip (RFC 1952) through zlib, with the interpreter's `gzip` module as the reference.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::gzip {

namespace nb = nanobind;

// One gzip member holding `data`, byte for byte what gzip.compress(data, level, mtime=...)
// writes (the time stamp is the current time unless `mtime` is given).
std::string compress(std::string_view data, int level = 9,
                     std::optional<uint32_t> mtime = std::nullopt);

// One gzip member made piece by piece, for data too large to hold whole (compress() is this
// with one piece): the pieces are deflated as they come, only the compressed bytes are kept.
class Compressor {
public:
    explicit Compressor(int level = 9, std::optional<uint32_t> mtime = std::nullopt);
    ~Compressor();
    Compressor(const Compressor &) = delete;
    Compressor &operator=(const Compressor &) = delete;

    void feed(std::string_view data);
    // Ends the member and returns it whole; nothing can be fed after.
    std::string finish();

private:
    struct Stream;
    void run(int flush);
    std::unique_ptr<Stream> stream_;
    std::string out_;
    int level_;
};

// gzip.decompress(data): every member in turn, zero bytes between members skipped. Bad data
// raises what the interpreter raises, with its messages: gzip.BadGzipFile, zlib.error or
// EOFError (as nb::python_error). Output grows with the data actually inflated, never with
// sizes the input claims.
std::string decompress(std::string_view data);

}  // namespace quillon::gzip
