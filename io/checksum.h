// Checksums and message digests over plain bytes: CRC-32, Adler-32 and the
// internet checksum are computed here; MD5 and the SHA family, and their
// HMAC, come from the system's cryptographic library through the digest
// module (platform/digest.h), loaded on first use.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace vum::checksum {

// CRC-32 with the reflected polynomial 0xEDB88320, as gzip frames it.
// Passing a previous result as `crc` continues that computation.
uint32_t crc32(const uint8_t* bytes, size_t length, uint32_t crc = 0);

// Adler-32 as zlib frames it (starts from 1).
uint32_t adler32(const uint8_t* bytes, size_t length);

// The internet checksum: the complemented ones'-complement sum of the
// input's big-endian 16-bit words, an odd last byte padded with a zero.
uint16_t internet(const uint8_t* bytes, size_t length);

enum class Digest { md5, sha1, sha256, sha384, sha512 };

// The digest's size in bytes.
size_t digest_size(Digest kind);

// The digest of the bytes, or its HMAC under the key. The library fails
// only when it cannot allocate, which raises no-memory; a digest module
// that cannot be loaded raises cannot-open with the loader's reason.
std::string digest(Digest kind, const uint8_t* bytes, size_t length);
std::string hmac(Digest kind, const uint8_t* key, size_t key_length, const uint8_t* bytes, size_t length);

}  // namespace vum::checksum
