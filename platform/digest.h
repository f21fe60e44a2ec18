// Message digests (MD5 and the SHA family) and their HMAC over the system's
// cryptographic library. The library is large and digests are rare, so it
// lives in a module of our own loaded on first use (module-loader.h) and
// start-up does not map it. Nothing here knows the language's values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace vum::platform::digest {

// The algorithms, in the order the module's entry numbers them.
enum class Kind : int { md5, sha1, sha256, sha384, sha512 };

// The largest digest, in bytes.
constexpr size_t max_size = 64;

// The module and its entry: int vum_digest(int kind, const uint8_t* key,
// size_t key_length, int keyed, const uint8_t* bytes, size_t length,
// uint8_t out[max_size], unsigned* out_length), 1 when it computed the
// digest (the HMAC under the key when keyed), 0 when the library failed
// (it fails only when it cannot allocate).
constexpr const char* module_name = "libvum-digest.so";
constexpr const char* module_entry = "vum_digest";

enum class Outcome { done, failed, unavailable };

// The digest of the bytes, or their HMAC under the key, into *out. A
// module that cannot be loaded is `unavailable`, with the loader's reason
// in *why.
Outcome compute(Kind kind, const uint8_t* key, size_t key_length, bool keyed, const uint8_t* bytes, size_t length,
                std::string* out, std::string* why);

}  // namespace vum::platform::digest
