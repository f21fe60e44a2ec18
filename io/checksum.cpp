#include "io/checksum.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>

#include "memory/raise-error.h"

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

const EVP_MD* message_digest(Digest kind) {
    switch (kind) {
        case Digest::md5: return EVP_md5();
        case Digest::sha1: return EVP_sha1();
        case Digest::sha256: return EVP_sha256();
        case Digest::sha384: return EVP_sha384();
        case Digest::sha512: return EVP_sha512();
    }
    return nullptr;
}

// An empty series may have no buffer; the library wants an address anyway.
const uint8_t* non_null(const uint8_t* bytes) {
    static const uint8_t empty = 0;
    return bytes ? bytes : &empty;
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

size_t digest_size(Digest kind) { return size_t(EVP_MD_get_size(message_digest(kind))); }

std::string digest(Digest kind, const uint8_t* bytes, size_t length) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_Digest(non_null(bytes), length, out, &n, message_digest(kind), nullptr))
        errors::raise(err::internal::no_memory);
    return std::string(reinterpret_cast<const char*>(out), n);
}

std::string hmac(Digest kind, const uint8_t* key, size_t key_length, const uint8_t* bytes, size_t length) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    // A key counted in 32 bits, as series are, fits the library's int.
    if (!HMAC(message_digest(kind), non_null(key), int(key_length), non_null(bytes), length, out, &n))
        errors::raise(err::internal::no_memory);
    return std::string(reinterpret_cast<const char*>(out), n);
}

}  // namespace vum::checksum
