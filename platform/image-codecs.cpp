// Placeholder until the codecs land: every operation fails.
#include "platform/image-codecs.h"

namespace vum::imaging {

bool sniff(const uint8_t*, size_t, Format*) { return false; }

bool decode(const uint8_t*, size_t, Pixels*, std::string* why) {
    if (why) *why = "no image decoders yet";
    return false;
}

bool decode_file(const std::string&, Pixels*, std::string* why) {
    if (why) *why = "no image decoders yet";
    return false;
}

bool encode(const Pixels&, Format, std::vector<uint8_t>*) { return false; }

Pixels scale_nearest(const Pixels&, int32_t, int32_t) { return {}; }
Pixels flip_vertical(const Pixels&) { return {}; }
Pixels crop(const Pixels&, int32_t, int32_t, int32_t, int32_t) { return {}; }

}  // namespace vum::imaging
