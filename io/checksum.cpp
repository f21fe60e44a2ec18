#include "io/checksum.h"

#include <array>

#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "platform/digest.h"

namespace vum::checksum {

namespace {

// Slicing-by-16: table[k][b] is the CRC of byte b followed by k zero bytes,
// so sixteen input bytes are folded in with sixteen independent look-ups.
constexpr size_t crc_slices = 16;
using CrcTables = std::array<std::array<uint32_t, 256>, crc_slices>;

CrcTables build_crc_tables() {
    CrcTables t{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; b++)
        for (size_t k = 1; k < crc_slices; k++) t[k][b] = t[0][t[k - 1][b] & 0xFF] ^ (t[k - 1][b] >> 8);
    return t;
}

const CrcTables& crc_tables() {
    static const CrcTables tables = build_crc_tables();
    return tables;
}

uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

platform::digest::Kind kind_of(Digest kind) {
    switch (kind) {
        case Digest::md5: return platform::digest::Kind::md5;
        case Digest::sha1: return platform::digest::Kind::sha1;
        case Digest::sha256: return platform::digest::Kind::sha256;
        case Digest::sha384: return platform::digest::Kind::sha384;
        case Digest::sha512: return platform::digest::Kind::sha512;
    }
    return platform::digest::Kind::md5;
}

std::string compute(Digest kind, const uint8_t* key, size_t key_length, bool keyed, const uint8_t* bytes,
                    size_t length) {
    std::string out, why;
    switch (platform::digest::compute(kind_of(kind), key, key_length, keyed, bytes, length, &out, &why)) {
        case platform::digest::Outcome::done: break;
        case platform::digest::Outcome::failed: errors::raise(err::internal::no_memory);
        case platform::digest::Outcome::unavailable: {
            gc::Local reason(string::from_utf8(why.c_str()));
            errors::raise(err::access::cannot_open, &reason);
        }
    }
    return out;
}

}  // namespace

uint32_t crc32(const uint8_t* bytes, size_t length, uint32_t crc) {
    const CrcTables& t = crc_tables();
    uint32_t c = ~crc;
    while (length >= 16) {
        uint32_t w0 = load_le32(bytes) ^ c;
        uint32_t w1 = load_le32(bytes + 4);
        uint32_t w2 = load_le32(bytes + 8);
        uint32_t w3 = load_le32(bytes + 12);
        c = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
            t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
            t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
            t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
        bytes += 16;
        length -= 16;
    }
    while (length--) c = t[0][(c ^ *bytes++) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t adler32(const uint8_t* bytes, size_t length) {
    // 3854 bytes is the longest run whose sums cannot overflow 32 bits
    // before they are reduced.
    constexpr uint32_t modulus = 65521;
    constexpr size_t run = 3854;
    uint32_t a = 1, b = 0;
    while (length > 0) {
        size_t n = length < run ? length : run;
        length -= n;
        while (n--) {
            a += *bytes++;
            b += a;
        }
        a %= modulus;
        b %= modulus;
    }
    return b << 16 | a;
}

uint16_t internet(const uint8_t* bytes, size_t length) {
    // A 64-bit sum cannot overflow for any input a series can hold; the
    // folds below bring it back to 16 bits.
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum += uint32_t(bytes[i]) << 8 | bytes[i + 1];
    if (i < length) sum += uint32_t(bytes[i]) << 8;
    while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
    return uint16_t(~sum);
}

size_t digest_size(Digest kind) {
    switch (kind) {
        case Digest::md5: return 16;
        case Digest::sha1: return 20;
        case Digest::sha256: return 32;
        case Digest::sha384: return 48;
        case Digest::sha512: return 64;
    }
    return 0;
}

std::string digest(Digest kind, const uint8_t* bytes, size_t length) {
    return compute(kind, nullptr, 0, false, bytes, length);
}

std::string hmac(Digest kind, const uint8_t* key, size_t key_length, const uint8_t* bytes, size_t length) {
    return compute(kind, key, key_length, true, bytes, length);
}

}  // namespace vum::checksum
