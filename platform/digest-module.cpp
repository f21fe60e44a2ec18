// The digest module: MD5, the SHA family and their HMAC over libcrypto,
// behind the one entry platform/digest.h describes (the module is built
// with hidden symbols but that one).
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "platform/digest.h"

namespace {

using vum::platform::digest::Kind;

const EVP_MD* message_digest(int kind) {
    switch (Kind(kind)) {
        case Kind::md5: return EVP_md5();
        case Kind::sha1: return EVP_sha1();
        case Kind::sha256: return EVP_sha256();
        case Kind::sha384: return EVP_sha384();
        case Kind::sha512: return EVP_sha512();
    }
    return nullptr;
}

static_assert(EVP_MAX_MD_SIZE >= vum::platform::digest::max_size);

}  // namespace

extern "C" __attribute__((visibility("default"))) int vum_digest(int kind, const uint8_t* key, size_t key_length,
                                                                  int keyed, const uint8_t* bytes, size_t length,
                                                                  uint8_t* out, unsigned* out_length) {
    const EVP_MD* md = message_digest(kind);
    if (!md || size_t(EVP_MD_get_size(md)) > vum::platform::digest::max_size) return 0;
    unsigned char made[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    // A key counted in 32 bits, as series are, fits the library's int.
    bool ok = keyed ? HMAC(md, key, int(key_length), bytes, length, made, &n) != nullptr
                    : EVP_Digest(bytes, length, made, &n, md, nullptr) != 0;
    if (!ok) return 0;
    for (unsigned i = 0; i < n; i++) out[i] = made[i];
    *out_length = n;
    return 1;
}
