#include "gzip.hpp"

#include "binder.hpp"
#include "python_ops.hpp"

#include <zlib.h>

#include <ctime>
#include <limits>

namespace quillon::gzip {

namespace {

constexpr unsigned char FHCRC = 2, FEXTRA = 4, FNAME = 8, FCOMMENT = 16;

[[noreturn]] void raise_bad_gzip(const std::string &message) {
    bind::raise(ops::import_name("gzip", "BadGzipFile"), message);
}

[[noreturn]] void raise_truncated() {
    bind::raise(nb::handle(PyExc_EOFError),
                "Compressed file ended before the end-of-stream marker was reached");
}

// zlib's complaint in the words of the interpreter's zlib module.
[[noreturn]] void raise_zlib(const z_stream &zs, int err, const char *what) {
    const char *zmsg = err == Z_VERSION_ERROR ? "library version mismatch" : zs.msg;
    if (!zmsg) {
        switch (err) {
            case Z_BUF_ERROR: zmsg = "incomplete or truncated stream"; break;
            case Z_STREAM_ERROR: zmsg = "inconsistent stream state"; break;
            case Z_DATA_ERROR: zmsg = "invalid input data"; break;
            default: break;
        }
    }
    std::string message = "Error " + std::to_string(err) + " " + what;
    if (zmsg) message += std::string(": ") + std::string(zmsg).substr(0, 200);
    bind::raise(ops::import_name("zlib", "error"), message);
}

// Reads the header of a member starting at `pos`; returns the offset of the deflate data.
size_t read_header(std::string_view data, size_t pos) {
    const size_t n = data.size();
    auto need = [&](size_t count) {
        if (n - pos < count) raise_truncated();
    };
    if (n - pos < 2 || (unsigned char) data[pos] != 0x1f || (unsigned char) data[pos + 1] != 0x8b) {
        std::string_view magic = data.substr(pos, 2);
        nb::bytes b(magic.data(), magic.size());
        raise_bad_gzip("Not a gzipped file (" + nb::cast<std::string>(nb::repr(b)) + ")");
    }
    pos += 2;
    need(8);
    const unsigned char method = (unsigned char) data[pos];
    const unsigned char flag = (unsigned char) data[pos + 1];
    pos += 8;
    if (method != 8) raise_bad_gzip("Unknown compression method");
    if (flag & FEXTRA) {
        need(2);
        const size_t extra = (unsigned char) data[pos] | (size_t) (unsigned char) data[pos + 1] << 8;
        pos += 2;
        need(extra);
        pos += extra;
    }
    // A name or comment that runs to the end of the data is not an error in itself.
    for (unsigned char f : {FNAME, FCOMMENT}) {
        if (!(flag & f)) continue;
        while (pos < n && data[pos++] != '\0') {
        }
    }
    if (flag & FHCRC) {
        need(2);
        pos += 2;
    }
    return pos;
}

}  // namespace

// zlib keeps a pointer to the header it is given, so the two live together.
struct Compressor::Stream {
    z_stream zs{};
    gz_header header{};
};

Compressor::Compressor(int level, std::optional<uint32_t> mtime)
    : stream_(std::make_unique<Stream>()), level_(level) {
    // zlib's own gzip wrapper (window bits 16 + 15) writes the header, the CRC and the length;
    // only the header fields the interpreter sets differently from zlib's defaults are given.
    gz_header &header = stream_->header;
    header.time = mtime ? *mtime : (uLong) (uint32_t) std::time(nullptr);
    header.os = 255;  // "unknown", as gzip.compress writes it
    z_stream &zs = stream_->zs;
    int err = deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (err != Z_OK) raise_zlib(zs, err, "while compressing data");
    err = deflateSetHeader(&zs, &header);
    if (err != Z_OK) {
        deflateEnd(&zs);
        raise_zlib(zs, err, "while compressing data");
    }
}

Compressor::~Compressor() { deflateEnd(&stream_->zs); }

// Deflates all the input given, growing the output as it fills.
void Compressor::run(int flush) {
    z_stream &zs = stream_->zs;
    for (;;) {
        if (out_.capacity() - out_.size() < 4096)
            out_.reserve(std::max<size_t>(out_.size() * 2, 65536));
        const size_t before = out_.size();
        const size_t room =
            std::min<size_t>(out_.capacity() - before, std::numeric_limits<uInt>::max());
        out_.resize(before + room);
        zs.next_out = (Bytef *) out_.data() + before;
        zs.avail_out = (uInt) room;
        const int err = deflate(&zs, flush);
        out_.resize(before + (room - zs.avail_out));
        if (err == Z_STREAM_END) return;
        if (err != Z_OK && err != Z_BUF_ERROR) raise_zlib(zs, err, "while compressing data");
        // Without Z_FINISH, done once the input is used up with room to spare: deflate then
        // holds back only what it needs more input to decide.
        if (flush != Z_FINISH && zs.avail_in == 0 && zs.avail_out != 0) return;
    }
}

void Compressor::feed(std::string_view data) {
    // zlib counts in 32-bit units; feed huge inputs in slices.
    constexpr size_t slice = std::numeric_limits<uInt>::max() / 2;
    while (!data.empty()) {
        const size_t chunk = std::min(data.size(), slice);
        stream_->zs.next_in = (Bytef *) data.data();
        stream_->zs.avail_in = (uInt) chunk;
        run(Z_NO_FLUSH);
        data.remove_prefix(chunk);
    }
}

std::string Compressor::finish() {
    stream_->zs.avail_in = 0;
    run(Z_FINISH);
    // The extra-flags byte as the interpreter writes it: zlib marks level 0 as "fastest" too.
    out_[8] = (char) (level_ == 9 ? 2 : level_ == 1 ? 4 : 0);
    return std::move(out_);
}

std::string compress(std::string_view data, int level, std::optional<uint32_t> mtime) {
    Compressor member(level, mtime);
    member.feed(data);
    return member.finish();
}

std::string decompress(std::string_view data) {
    std::string out;
    size_t pos = 0;
    while (pos < data.size()) {
        pos = read_header(data, pos);
        const size_t member_start = out.size();

        z_stream zs{};
        int err = inflateInit2(&zs, -MAX_WBITS);
        if (err != Z_OK) raise_zlib(zs, err, "while creating decompression object");
        zs.next_in = (Bytef *) data.data() + pos;
        size_t in_left = data.size() - pos;
        bool done = false;
        try {
            for (;;) {
                if (zs.avail_in == 0 && in_left) {
                    const size_t chunk = std::min<size_t>(in_left, std::numeric_limits<uInt>::max());
                    zs.avail_in = (uInt) chunk;
                    in_left -= chunk;
                }
                if (out.capacity() - out.size() < 65536)
                    out.reserve(std::max<size_t>(out.size() * 2, out.size() + 65536));
                const size_t before = out.size();
                const size_t room = std::min<size_t>(out.capacity() - before,
                                                     std::numeric_limits<uInt>::max());
                out.resize(before + room);
                zs.next_out = (Bytef *) out.data() + before;
                zs.avail_out = (uInt) room;
                err = inflate(&zs, Z_SYNC_FLUSH);
                out.resize(before + (room - zs.avail_out));
                if (err == Z_STREAM_END) {
                    done = true;
                    break;
                }
                if (err == Z_BUF_ERROR) {
                    // No progress possible: the input is used up (or nothing was produced).
                    if (zs.avail_in == 0 && in_left == 0) break;
                    if (zs.avail_out != 0) break;
                    continue;
                }
                if (err != Z_OK) raise_zlib(zs, err, "while decompressing data");
                if (zs.avail_in == 0 && in_left == 0 && zs.avail_out != 0) break;
            }
        } catch (...) {
            inflateEnd(&zs);
            throw;
        }
        const size_t consumed = (size_t) ((const char *) zs.next_in - data.data());
        inflateEnd(&zs);
        if (!done || data.size() - consumed < 8) raise_truncated();

        const auto *t = (const unsigned char *) data.data() + consumed;
        const uint32_t crc = t[0] | t[1] << 8 | t[2] << 16 | (uint32_t) t[3] << 24;
        const uint32_t size = t[4] | t[5] << 8 | t[6] << 16 | (uint32_t) t[7] << 24;
        const size_t produced = out.size() - member_start;
        uLong actual = crc32(0L, Z_NULL, 0);
        for (size_t off = 0; off < produced;) {
            const size_t chunk = std::min<size_t>(produced - off, std::numeric_limits<uInt>::max());
            actual = crc32(actual, (const Bytef *) out.data() + member_start + off, (uInt) chunk);
            off += chunk;
        }
        if (crc != (uint32_t) actual) raise_bad_gzip("CRC check failed");
        if (size != (uint32_t) produced) raise_bad_gzip("Incorrect length of data produced");
        pos = consumed + 8;
        while (pos < data.size() && data[pos] == '\0') ++pos;
    }
    return out;
}

}  // namespace quillon::gzip
