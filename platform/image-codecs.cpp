// The codec layer's front: signatures, dispatch to the format's codec, the
// shared size checks and the pure pixel operations.
#include "platform/image-codecs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "platform/image-codec-formats.h"
#include "platform/module-loader.h"

namespace vum::imaging {

namespace {

// The codecs over Debian's libraries live in a module loaded on first use
// (start-up maps none of those libraries); null when it cannot be loaded.
const detail::LibraryCodecs* library_codecs(std::string* why) {
    static std::string failure;
    static const detail::LibraryCodecs* codecs = [] {
        auto entry = reinterpret_cast<const detail::LibraryCodecs* (*)()>(
            platform::module_symbol(detail::library_codecs_module, detail::library_codecs_entry, &failure));
        return entry ? entry() : nullptr;
    }();
    if (!codecs && why) *why = "image codecs unavailable: " + failure;
    return codecs;
}

}  // namespace

bool sniff(const uint8_t* b, size_t n, Format* format) {
    auto starts = [&](std::initializer_list<uint8_t> sig) {
        return n >= sig.size() && std::memcmp(b, sig.begin(), sig.size()) == 0;
    };
    Format found;
    if (starts({0x89, 'P', 'N', 'G'}))
        found = Format::png;
    else if (starts({0xFF, 0xD8, 0xFF}))
        found = Format::jpeg;
    else if (starts({'B', 'M'}))
        found = Format::bmp;
    else if (starts({'G', 'I', 'F', '8', '7', 'a'}) || starts({'G', 'I', 'F', '8', '9', 'a'}))
        found = Format::gif;
    else if (starts({'I', 'I', 0x2A, 0x00}) || starts({'M', 'M', 0x00, 0x2A}))
        found = Format::tiff;
    else
        return false;
    if (format) *format = found;
    return true;
}

bool decode(const uint8_t* bytes, size_t length, Pixels* out, std::string* why) {
    std::string reason;
    Pixels result;
    Format format;
    bool ok = false;
    if (!bytes || !sniff(bytes, length, &format)) {
        reason = "not a known image format";
    } else {
        const detail::LibraryCodecs* codecs = format == Format::bmp ? nullptr : library_codecs(&reason);
        switch (format) {
            case Format::bmp: ok = detail::decode_bmp(bytes, length, &result, &reason); break;
            case Format::png: ok = codecs && codecs->decode_png(bytes, length, &result, &reason); break;
            case Format::gif: ok = codecs && codecs->decode_gif(bytes, length, &result, &reason); break;
            case Format::jpeg: ok = codecs && codecs->decode_jpeg(bytes, length, &result, &reason); break;
            case Format::tiff: ok = codecs && codecs->decode_tiff(bytes, length, &result, &reason); break;
        }
    }
    if (!ok) {
        if (why) *why = reason.empty() ? "damaged image data" : reason;
        return false;
    }
    *out = std::move(result);
    return true;
}

bool decode_file(const std::string& path, Pixels* out, std::string* why) {
    std::vector<uint8_t> data;
    bool read_ok = false;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        try {
            uint8_t chunk[1 << 16];
            size_t n;
            // Even uncompressed 64-bit pixels at the pixel limit fit in
            // twice its bytes; a longer file (or a device that never ends)
            // is not read to its end.
            const int64_t longest = 2 * max_bytes + (int64_t(1) << 20);
            while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && int64_t(data.size()) <= longest)
                data.insert(data.end(), chunk, chunk + n);
            read_ok = !std::ferror(f) && int64_t(data.size()) <= longest;
        } catch (const std::bad_alloc&) {
        }
        std::fclose(f);
    }
    if (!read_ok) {
        if (why) *why = "cannot read the file";
        return false;
    }
    return decode(data.data(), data.size(), out, why);
}

bool encode(const Pixels& in, Format format, std::vector<uint8_t>* out) {
    out->clear();
    if (!detail::pixels_are_consistent(in)) return false;
    if (in.width == 0 || in.height == 0) return true;
    std::vector<uint8_t> bytes;
    bool ok = false;
    try {
        const detail::LibraryCodecs* codecs = format == Format::bmp ? nullptr : library_codecs(nullptr);
        switch (format) {
            case Format::bmp: ok = detail::encode_bmp(in, &bytes); break;
            case Format::png: ok = codecs && codecs->encode_png(in, &bytes); break;
            case Format::gif: ok = codecs && codecs->encode_gif(in, &bytes); break;
            case Format::jpeg: ok = codecs && codecs->encode_jpeg(in, &bytes); break;
            case Format::tiff: ok = codecs && codecs->encode_tiff(in, &bytes); break;
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (ok) *out = std::move(bytes);
    return ok;
}

namespace {

// A result of the given size, its buffer sized to match; an empty area
// keeps the size with no pixels.
bool make_result(int64_t width, int64_t height, Pixels* result) {
    if (width < 0 || height < 0 || width > max_side || height > max_side || width * height * 4 > max_bytes)
        return false;
    result->width = int32_t(width);
    result->height = int32_t(height);
    result->bgra.assign(size_t(width * height * 4), 0);
    return true;
}

}  // namespace

Pixels scale_nearest(const Pixels& in, int32_t width, int32_t height) {
    Pixels result;
    if (!detail::pixels_are_consistent(in) || !make_result(width, height, &result)) return {};
    if (result.bgra.empty() || in.bgra.empty()) return result;
    // Each target pixel takes the source pixel under its centre.
    std::vector<size_t> column(static_cast<size_t>(width));
    for (int64_t x = 0; x < width; x++) column[x] = size_t((2 * x + 1) * in.width / (2 * int64_t(width))) * 4;
    for (int64_t y = 0; y < height; y++) {
        const int64_t sy = (2 * y + 1) * in.height / (2 * int64_t(height));
        const uint8_t* src = in.bgra.data() + size_t(sy) * size_t(in.width) * 4;
        uint8_t* dst = result.bgra.data() + size_t(y) * size_t(width) * 4;
        for (int64_t x = 0; x < width; x++) std::memcpy(dst + x * 4, src + column[x], 4);
    }
    return result;
}

Pixels flip_vertical(const Pixels& in) {
    Pixels result;
    if (!detail::pixels_are_consistent(in) || !make_result(in.width, in.height, &result)) return {};
    if (result.bgra.empty()) return result;
    const size_t row = size_t(in.width) * 4;
    for (int32_t y = 0; y < in.height; y++)
        std::memcpy(result.bgra.data() + size_t(y) * row, in.bgra.data() + size_t(in.height - 1 - y) * row, row);
    return result;
}

Pixels crop(const Pixels& in, int32_t x, int32_t y, int32_t width, int32_t height) {
    if (!detail::pixels_are_consistent(in)) return {};
    const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
    const int64_t x1 = std::min<int64_t>(int64_t(x) + std::max(width, 0), in.width);
    const int64_t y1 = std::min<int64_t>(int64_t(y) + std::max(height, 0), in.height);
    Pixels result;
    make_result(std::max<int64_t>(x1 - x0, 0), std::max<int64_t>(y1 - y0, 0), &result);
    if (result.bgra.empty()) return result;
    const size_t row = size_t(result.width) * 4;
    for (int32_t r = 0; r < result.height; r++)
        std::memcpy(result.bgra.data() + size_t(r) * row,
                    in.bgra.data() + (size_t(y0 + r) * size_t(in.width) + size_t(x0)) * 4, row);
    return result;
}

}  // namespace vum::imaging
