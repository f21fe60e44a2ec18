// Image codecs: PNG, JPEG, GIF and TIFF through Debian's libraries, BMP our
// own. Pixels cross this boundary as straight (not premultiplied) 32-bit
// BGRA, byte order blue, green, red, alpha, rows top to bottom, no padding.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vum::imaging {

enum class Format : int32_t { bmp = 0, png = 1, gif = 2, jpeg = 3, tiff = 4 };

struct Pixels {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bgra;  // width * height * 4 bytes
};

// Largest width and height accepted from any decoder: 16 bits each, and
// width * height * 4 must fit in 31 bits.
constexpr int32_t max_side = 65535;
constexpr int64_t max_bytes = int64_t(1) << 31;

// The format whose signature starts `bytes`, or false when none does.
bool sniff(const uint8_t* bytes, size_t length, Format* format);

// Decodes frame 0 of an image held in memory. false (with a short reason in
// *why) for data no decoder accepts, truncated or inconsistent data, and
// declared sizes past the limits above; never reads outside the input and
// never allocates a declared size before the data has backed it.
bool decode(const uint8_t* bytes, size_t length, Pixels* out, std::string* why = nullptr);

// Reads a whole file and decodes it (false when it cannot be read or decoded).
bool decode_file(const std::string& path, Pixels* out, std::string* why = nullptr);

// Encodes into the container; false on failure. Width or height 0 gives an
// empty output and true. PNG, TIFF and BMP keep alpha exactly (BMP as 32-bit
// with alpha); JPEG drops alpha; GIF quantises to a palette of at most 256
// colours with one fully transparent entry when any alpha is below 128.
bool encode(const Pixels& in, Format format, std::vector<uint8_t>* out);

// Nearest-neighbour scaling, vertical flip, crop: pure pixel operations
// (crop clips the rectangle to the image).
Pixels scale_nearest(const Pixels& in, int32_t width, int32_t height);
Pixels flip_vertical(const Pixels& in);
Pixels crop(const Pixels& in, int32_t x, int32_t y, int32_t width, int32_t height);

}  // namespace vum::imaging
