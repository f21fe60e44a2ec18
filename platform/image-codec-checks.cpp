// The checks every decoder makes before it allocates pixels: compiled into
// the runtime (for BMP, our own) and into the codec module.
#include <new>

#include "platform/image-codec-formats.h"

namespace vum::imaging {

namespace detail {

bool size_is_acceptable(int64_t width, int64_t height, size_t length, int64_t pixels_per_byte,
                        std::string* why, int64_t head_start) {
    if (width <= 0 || height <= 0) {
        *why = "empty or negative image size";
        return false;
    }
    if (width > max_side || height > max_side || width * height * 4 > max_bytes) {
        *why = "image dimensions too large";
        return false;
    }
    if (width * height > int64_t(length) * pixels_per_byte + head_start) {
        *why = "image dimensions larger than the data can hold";
        return false;
    }
    return true;
}

bool allocate_pixels(int32_t width, int32_t height, Pixels* out, std::string* why) {
    try {
        out->bgra.assign(size_t(width) * size_t(height) * 4, 0);
    } catch (const std::bad_alloc&) {
        *why = "out of memory for the image";
        return false;
    }
    out->width = width;
    out->height = height;
    return true;
}

bool pixels_are_consistent(const Pixels& in) {
    if (in.width < 0 || in.height < 0 || in.width > max_side || in.height > max_side) return false;
    return in.bgra.size() == size_t(in.width) * size_t(in.height) * 4;
}

bool any_alpha_below_opaque(const Pixels& in) {
    for (size_t i = 3; i < in.bgra.size(); i += 4)
        if (in.bgra[i] != 255) return true;
    return false;
}

}  // namespace detail

}  // namespace vum::imaging
