#include "platform/digest.h"

#include "platform/module-loader.h"

namespace vum::platform::digest {

namespace {

using Entry = int (*)(int, const uint8_t*, size_t, int, const uint8_t*, size_t, uint8_t*, unsigned*);

// An empty series may have no buffer; the library wants an address anyway.
const uint8_t* non_null(const uint8_t* bytes) {
    static const uint8_t empty = 0;
    return bytes ? bytes : &empty;
}

}  // namespace

Outcome compute(Kind kind, const uint8_t* key, size_t key_length, bool keyed, const uint8_t* bytes, size_t length,
                std::string* out, std::string* why) {
    static std::string failure;
    static const Entry entry = reinterpret_cast<Entry>(module_symbol(module_name, module_entry, &failure));
    if (!entry) {
        if (why) *why = failure;
        return Outcome::unavailable;
    }
    uint8_t made[max_size];
    unsigned n = 0;
    if (!entry(int(kind), non_null(key), key_length, keyed ? 1 : 0, non_null(bytes), length, made, &n) ||
        n > max_size)
        return Outcome::failed;
    out->assign(reinterpret_cast<const char*>(made), n);
    return Outcome::done;
}

}  // namespace vum::platform::digest
