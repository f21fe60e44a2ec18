// What the per-format codec files share: their entry points, called by
// image-codecs.cpp once it has sniffed the format, and the checks every
// decoder makes before it allocates pixels.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/image-codecs.h"

namespace vum::imaging::detail {

// Each decoder gets the whole input (its signature already checked) and
// fills `out` on success; on failure it sets *why (never null here). BMP is
// in the runtime; the others are in the codec module (libvum-image-codecs.so,
// over Debian's libraries), reached through its table.
bool decode_bmp(const uint8_t* bytes, size_t length, Pixels* out, std::string* why);
bool decode_png(const uint8_t* bytes, size_t length, Pixels* out, std::string* why);
bool decode_gif(const uint8_t* bytes, size_t length, Pixels* out, std::string* why);
bool decode_jpeg(const uint8_t* bytes, size_t length, Pixels* out, std::string* why);
bool decode_tiff(const uint8_t* bytes, size_t length, Pixels* out, std::string* why);

// Each encoder gets pixels of nonzero size whose buffer matches it.
bool encode_bmp(const Pixels& in, std::vector<uint8_t>* out);
bool encode_png(const Pixels& in, std::vector<uint8_t>* out);
bool encode_gif(const Pixels& in, std::vector<uint8_t>* out);
bool encode_jpeg(const Pixels& in, std::vector<uint8_t>* out);
bool encode_tiff(const Pixels& in, std::vector<uint8_t>* out);

// The codec module's table, returned by its one exported entry.
using DecodeFn = bool (*)(const uint8_t* bytes, size_t length, Pixels* out, std::string* why);
using EncodeFn = bool (*)(const Pixels& in, std::vector<uint8_t>* out);
struct LibraryCodecs {
    DecodeFn decode_png, decode_gif, decode_jpeg, decode_tiff;
    EncodeFn encode_png, encode_gif, encode_jpeg, encode_tiff;
};
constexpr const char* library_codecs_module = "libvum-image-codecs.so";
constexpr const char* library_codecs_entry = "vum_image_library_codecs";

// A declared size is accepted only when both sides are 1..max_side, the
// pixels fit in max_bytes, and the input is long enough to hold them at the
// format's greatest expansion: `pixels_per_byte` is the most pixels one
// input byte can stand for (deflate's 1032:1 for PNG, and so on), so a few
// bytes cannot make us allocate gigabytes; `head_start` is what a format
// can give before its steady rate applies. Sets *why when it refuses.
bool size_is_acceptable(int64_t width, int64_t height, size_t length, int64_t pixels_per_byte,
                        std::string* why, int64_t head_start = 0);

// Sizes out->bgra for the accepted size (false with a reason when the
// allocation itself fails).
bool allocate_pixels(int32_t width, int32_t height, Pixels* out, std::string* why);

// True when the pixels' buffer matches their size and the size is within
// the limits.
bool pixels_are_consistent(const Pixels& in);

bool any_alpha_below_opaque(const Pixels& in);

}  // namespace vum::imaging::detail
