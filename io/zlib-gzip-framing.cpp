// The zlib and gzip frames around a deflate stream: their headers, and the
// checksum and length trailers that the decoders verify.
#include <cstring>

#include "io/checksum.h"
#include "io/deflate.h"

namespace vum::compression {

namespace {

constexpr size_t zlib_header_size = 2;
constexpr size_t zlib_trailer_size = 4;
constexpr size_t zlib_frame_size = zlib_header_size + zlib_trailer_size;

constexpr size_t gzip_header_size = 10;
constexpr size_t gzip_trailer_size = 8;
constexpr size_t gzip_frame_size = gzip_header_size + gzip_trailer_size;

constexpr uint8_t gzip_magic[3] = {0x1F, 0x8B, 0x08};  // with the method, deflate
enum GzipFlag : uint8_t { gzip_fhcrc = 0x02, gzip_fextra = 0x04, gzip_fname = 0x08, gzip_fcomment = 0x10 };
constexpr uint8_t gzip_reserved_flags = 0xE0;

uint32_t load_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Writes the four bytes where they fit; the rest of the buffer is the
// caller's to measure.
void store_be32(uint8_t* out, size_t capacity, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; i++)
        if (at + i < capacity) out[at + i] = uint8_t(v >> (24 - 8 * i));
}
void store_le32(uint8_t* out, size_t capacity, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; i++)
        if (at + i < capacity) out[at + i] = uint8_t(v >> (8 * i));
}

// Deflates `data` into out[header, capacity) and reports the whole frame's
// size in *size: header, deflate stream and trailer. Returns whether the
// deflate stream and `trailer` bytes after it fit.
bool deflate_between(uint8_t* out, size_t capacity, size_t header, size_t trailer, const uint8_t* data,
                     size_t length, size_t* size) {
    size_t stream = capacity - header;
    deflate_compress(stream ? out + header : nullptr, &stream, data, length);
    *size = header + stream + trailer;
    return *size <= capacity;
}

// Skips one of gzip's zero-terminated header fields that starts at *at and
// must end before `limit`.
bool skip_zero_terminated(const uint8_t* data, size_t limit, size_t* at) {
    const void* nul = *at < limit ? std::memchr(data + *at, 0, limit - *at) : nullptr;
    if (!nul) return false;
    *at = size_t(static_cast<const uint8_t*>(nul) - data) + 1;
    return true;
}

// The offset of the deflate stream after a gzip header whose optional
// fields all lie before `limit` (the trailer); 0 when the header is bad.
size_t gzip_header_end(const uint8_t* data, size_t limit) {
    uint8_t flags = data[3];
    size_t at = gzip_header_size;
    if (flags & gzip_fextra) {
        if (limit - at < 2) return 0;
        size_t extra = data[at] | size_t(data[at + 1]) << 8;
        at += 2;
        if (limit - at < extra) return 0;
        at += extra;
    }
    if ((flags & gzip_fname) && !skip_zero_terminated(data, limit, &at)) return 0;
    if ((flags & gzip_fcomment) && !skip_zero_terminated(data, limit, &at)) return 0;
    if (flags & gzip_fhcrc) {
        if (limit - at < 2) return 0;
        uint32_t crc = checksum::crc32(data, at) & 0xFFFF;
        if ((data[at] | uint32_t(data[at + 1]) << 8) != crc) return 0;
        at += 2;
    }
    return at;
}

}  // namespace

int zlib_compress(uint8_t* out, size_t* size, const uint8_t* data, size_t length) {
    const size_t capacity = *size;
    if (capacity < zlib_frame_size) {
        *size = length + zlib_frame_size;
        return malformed;
    }
    out[0] = 0x78;  // deflate with a 32 KB window
    out[1] = 0x01;  // fastest level; the check bits make the pair a multiple of 31
    bool fits = deflate_between(out, capacity, zlib_header_size, zlib_trailer_size, data, length, size);
    store_be32(out, capacity, *size - zlib_trailer_size, checksum::adler32(data, length));
    return fits ? ok : too_small;
}

int zlib_decompress(uint8_t* out, size_t* size, const uint8_t* data, size_t length) {
    if (length < zlib_frame_size) return malformed;
    uint8_t cmf = data[0], flg = data[1];
    bool header_ok = (cmf * 256u + flg) % 31 == 0 && (cmf & 0x0F) == 8 && !(cmf & 0x80) && !(flg & 0x20);
    if (!header_ok) return malformed;
    size_t produced = *size;
    int status = deflate_decompress(out, &produced, data + zlib_header_size, length - zlib_frame_size);
    if (status == too_small) *size = produced;
    if (status != ok) return status;
    if (checksum::adler32(out, produced) != load_be32(data + length - zlib_trailer_size)) return malformed;
    *size = produced;
    return ok;
}

int gzip_compress(uint8_t* out, size_t* size, const uint8_t* data, size_t length) {
    const size_t capacity = *size;
    if (length > 2 && std::memcmp(data, gzip_magic, 3) == 0) {
        *size = length;
        if (capacity < length) return too_small;
        std::memcpy(out, data, length);
        return ok;
    }
    if (capacity < gzip_frame_size) {
        *size = length + gzip_frame_size;
        return malformed;
    }
    // No flags, no time, extra flags and system as our format gives them.
    const uint8_t header[gzip_header_size] = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 4, 4};
    std::memcpy(out, header, sizeof header);
    bool fits = deflate_between(out, capacity, gzip_header_size, gzip_trailer_size, data, length, size);
    store_le32(out, capacity, *size - gzip_trailer_size, checksum::crc32(data, length));
    store_le32(out, capacity, *size - 4, uint32_t(length));
    return fits ? ok : too_small;
}

int gzip_decompress(uint8_t* out, size_t* size, const uint8_t* data, size_t length) {
    if (length < gzip_frame_size || data[0] != 0x1F || data[1] != 0x8B || data[2] != 8 ||
        (data[3] & gzip_reserved_flags))
        return malformed;
    const size_t trailer = length - gzip_trailer_size;
    size_t start = gzip_header_end(data, trailer);
    if (!start) return malformed;
    const uint32_t expected_size = load_le32(data + length - 4);
    if (expected_size > *size) {
        *size = expected_size;
        return too_small;
    }
    // The recorded size bounds the output: a stream that inflates to more,
    // as to less, does not match its trailer.
    size_t produced = expected_size;
    int status = deflate_decompress(out, &produced, data + start, trailer - start);
    if (status == too_small) return malformed;
    if (status != ok) return status;
    if (produced != expected_size || checksum::crc32(out, produced) != load_le32(data + trailer)) return malformed;
    *size = produced;
    return ok;
}

}  // namespace vum::compression
