// PNG through libpng. libpng reports errors by longjmp, so each call into it
// runs inside a small function that sets the jump point and holds nothing
// with a destructor; the C++ state (buffers, the output) lives in the
// callers, outside the jump's path.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <new>

#include "platform/image-codec-formats.h"

namespace vum::imaging::detail {

namespace {

struct Io {
    const uint8_t* bytes = nullptr;  // reading
    size_t length = 0;
    size_t at = 0;
    std::vector<uint8_t>* sink = nullptr;  // writing
    char message[160] = "damaged PNG data";
};

Io* io_of(png_structp png) { return static_cast<Io*>(png_get_io_ptr(png)); }

[[noreturn]] void on_error(png_structp png, png_const_charp message) {
    Io* io = static_cast<Io*>(png_get_error_ptr(png));
    std::strncpy(io->message, message, sizeof io->message - 1);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void read_bytes(png_structp png, png_bytep data, size_t count) {
    Io* io = io_of(png);
    if (count > io->length - io->at) png_error(png, "truncated PNG data");
    std::memcpy(data, io->bytes + io->at, count);
    io->at += count;
}

void write_bytes(png_structp png, png_bytep data, size_t count) {
    bool full = false;
    try {
        io_of(png)->sink->insert(io_of(png)->sink->end(), data, data + count);
    } catch (const std::bad_alloc&) {
        full = true;
    }
    if (full) png_error(png, "out of memory");
}

void flush_nothing(png_structp) {}

// Reads the header and sets the transforms that give 8-bit BGRA from every
// colour type and depth. Returns the stored bits a pixel, 0 on error.
int read_header(png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return 0;
    png_set_user_limits(png, max_side, max_side);
    png_read_info(png, info);
    const int color = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);
    const int stored_bits = depth * png_get_channels(png, info);
    const bool has_trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (depth == 16) png_set_strip_16(png);
    if (color == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (color == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (has_trns) png_set_tRNS_to_alpha(png);
    if (color == PNG_COLOR_TYPE_GRAY || color == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    png_set_bgr(png);
    if (!(color & PNG_COLOR_MASK_ALPHA) && !has_trns) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t(png_get_image_width(png, info)) * 4)
        png_error(png, "unexpected PNG row layout");
    return stored_bits;
}

int read_rows(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return 0;
    png_read_image(png, rows);
    // Through the end chunk, so that a file cut short is refused.
    png_read_end(png, nullptr);
    return 1;
}

int write_image(png_structp png, png_infop info, png_uint_32 width, png_uint_32 height, int alpha,
                png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return 0;
    png_set_IHDR(png, info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    if (!alpha) png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_image(png, rows);
    png_write_end(png, info);
    return 1;
}

// Row pointers into a top-to-bottom BGRA buffer.
std::vector<png_bytep> row_pointers(uint8_t* data, int32_t width, int32_t height) {
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int32_t y = 0; y < height; y++) rows[size_t(y)] = data + size_t(y) * size_t(width) * 4;
    return rows;
}

struct ReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadStructs() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

struct WriteStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteStructs() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

}  // namespace

bool decode_png(const uint8_t* bytes, size_t length, Pixels* out, std::string* why) {
    Io io;
    io.bytes = bytes;
    io.length = length;
    ReadStructs s;
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &io, on_error, on_warning);
    if (s.png) s.info = png_create_info_struct(s.png);
    if (!s.info) {
        *why = "out of memory";
        return false;
    }
    png_set_read_fn(s.png, &io, read_bytes);
    const int stored_bits = read_header(s.png, s.info);
    if (stored_bits == 0) {
        *why = io.message;
        return false;
    }
    // Deflate turns one byte into at most 1032.
    const int64_t per_byte = std::max<int64_t>(1032 * 8 / stored_bits, 1);
    const int64_t width = png_get_image_width(s.png, s.info), height = png_get_image_height(s.png, s.info);
    if (!size_is_acceptable(width, height, length, per_byte, why)) return false;
    if (!allocate_pixels(int32_t(width), int32_t(height), out, why)) return false;
    std::vector<png_bytep> rows = row_pointers(out->bgra.data(), out->width, out->height);
    if (!read_rows(s.png, rows.data())) {
        *why = io.message;
        return false;
    }
    return true;
}

bool encode_png(const Pixels& in, std::vector<uint8_t>* out) {
    Io io;
    io.sink = out;
    WriteStructs s;
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &io, on_error, on_warning);
    if (s.png) s.info = png_create_info_struct(s.png);
    if (!s.info) return false;
    png_set_write_fn(s.png, &io, write_bytes, flush_nothing);
    // libpng reads the rows it writes; it never changes them.
    std::vector<png_bytep> rows = row_pointers(const_cast<uint8_t*>(in.bgra.data()), in.width, in.height);
    return write_image(s.png, s.info, png_uint_32(in.width), png_uint_32(in.height), any_alpha_below_opaque(in),
                       rows.data()) != 0;
}

}  // namespace vum::imaging::detail
