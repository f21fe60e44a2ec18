// Deflate compression and decompression, raw and in the zlib and gzip
// frames, over caller-owned buffers. Nothing here allocates: the encoder's
// match table and the decoder's Huffman tables live on the stack.
//
// Every function takes the output capacity in *size and leaves there the
// number of bytes produced, or the number needed when the buffer was too
// small (as far as it is known). `out` may be null when *size is 0, which
// makes a sizing pass. After a refusal (malformed, bad_distance) *size is
// left as it was, but for the frame encoders' answer to a capacity below
// their frame; the output buffer may then hold partial output.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vum::compression {

enum Status : int {
    ok = 0,
    // The output did not fit; *size holds the size needed where it is known:
    // the encoders' produced length, inflate's full output size, the gzip
    // decoder's recorded input size.
    too_small = 1,
    // Malformed input or a failed check (header, checksum, length). The zlib
    // and gzip encoders also answer this for a capacity below their frame's
    // fixed size, with *size set to the input length plus that size.
    malformed = 2,
    // A back reference that reaches before the start of the output.
    bad_distance = 5,
};

// A single fixed-Huffman block with hash-table matching: fast and
// deterministic, so the same input always gives the same bytes.
int deflate_compress(uint8_t* out, size_t* size, const uint8_t* data, size_t length);
// Any valid raw deflate stream; input left after the final block is
// malformed.
int deflate_decompress(uint8_t* out, size_t* size, const uint8_t* data, size_t length);

// The deflate stream between a two-byte header and the big-endian Adler-32
// of the uncompressed data.
int zlib_compress(uint8_t* out, size_t* size, const uint8_t* data, size_t length);
int zlib_decompress(uint8_t* out, size_t* size, const uint8_t* data, size_t length);

// One gzip member: a ten-byte header with no name or time, the deflate
// stream, CRC-32 and length. Input that already is gzip data is copied as it
// is. The decoder skips the optional header fields and checks their CRC.
int gzip_compress(uint8_t* out, size_t* size, const uint8_t* data, size_t length);
int gzip_decompress(uint8_t* out, size_t* size, const uint8_t* data, size_t length);

}  // namespace vum::compression
