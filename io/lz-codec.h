// Our own dictionary compressor: a container of independent blocks, each an
// LSB-first bit stream of literals and back-references into the block's own
// output.
//
// Container: bytes 0-3 hold Z, the size of the blocks that follow byte 8;
// bytes 4-7 hold U, the uncompressed size (both little-endian). Each block
// is a 32-bit little-endian output length L (1 ... 1 MiB) and then a bit
// stream producing exactly L bytes, padded with zero bits to a whole byte.
//
// In the bit stream a 0 bit is followed by an 8-bit literal; a 1 bit by a
// length code (3 ... 566 bytes) and a distance code (1 ... 262,144 bytes
// back). A match never reaches before its own block's output; an
// overlapping match repeats bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vum::lz {

// The most output one block may produce.
constexpr uint32_t max_block_length = 0x100000;

// Sources this short or shorter are not worth a container; compress refuses
// them.
constexpr size_t min_source_size = 128;

// The uncompressed bytes of a whole container, or nullopt when it is
// malformed: shorter than its 8-byte header, Z beyond the bytes present, a
// block length out of range, a bit stream that runs past Z or the input, a
// match that reaches before its block or past the block's length, or
// output that does not come to exactly U bytes. Nothing past `length` is
// ever read.
std::optional<std::vector<uint8_t>> decompress(const uint8_t* container, size_t length);

// Writes a container for the source into dest and returns its size (Z + 8).
// Returns -1, with dest's contents unspecified, when the source is shorter
// than min_source_size, too large for the 32-bit sizes, or when the
// container would not fit `capacity` bytes. Sources that do not compress
// are still written when they fit; the caller decides whether to keep them.
int64_t compress(const uint8_t* source, size_t size, uint8_t* dest, size_t capacity);

// The capacity that always suffices for a source of `size` bytes: a 9-bit
// literal for every byte, plus each block's header and padding.
size_t max_compressed_size(size_t size);

}  // namespace vum::lz
