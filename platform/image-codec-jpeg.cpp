// JPEG through libjpeg-turbo. The library reports errors by calling an exit
// routine that must not return; ours longjmps back into the small C-style
// function that made the call, which holds nothing with a destructor. The
// C++ side (the output buffer, the decompressor's lifetime) stays in the
// callers.
#include <cstdio>  // jpeglib.h needs FILE and size_t first

#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "platform/image-codec-formats.h"

namespace vum::imaging::detail {

namespace {

// Progressive files may hold any number of scans; each one costs a pass
// over the whole image, so a file of many tiny scans is refused.
constexpr int max_scans = 1000;

// Huffman coding needs at least a bit a block per scan, which holds 64
// pixels at most; twice that allows for the odd arithmetic-coded file.
constexpr int64_t pixels_per_byte = 1024;

struct Errors {
    jpeg_error_mgr base;  // first, so the library's pointer is ours too
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_error_exit(j_common_ptr c) {
    Errors* e = reinterpret_cast<Errors*>(c->err);
    (*c->err->format_message)(c, e->message);
    std::longjmp(e->jump, 1);
}

// Warnings stay quiet, but data that ends early, in the file or in a
// segment, is an error: the library would pad the image with grey and call
// it done.
void on_emit(j_common_ptr c, int level) {
    if (level < 0 && (c->err->msg_code == JWRN_JPEG_EOF || c->err->msg_code == JWRN_HIT_MARKER)) on_error_exit(c);
}

void on_output(j_common_ptr) {}

void on_progress(j_common_ptr c) {
    if (c->is_decompressor && reinterpret_cast<j_decompress_ptr>(c)->input_scan_number > max_scans) {
        Errors* e = reinterpret_cast<Errors*>(c->err);
        std::strcpy(e->message, "too many JPEG scans");
        std::longjmp(e->jump, 1);
    }
}

void init_errors(Errors* e) {
    jpeg_std_error(&e->base);
    e->base.error_exit = on_error_exit;
    e->base.emit_message = on_emit;
    e->base.output_message = on_output;
    std::strcpy(e->message, "damaged JPEG data");
}

int read_header(j_decompress_ptr c, Errors* e, jpeg_progress_mgr* progress, const uint8_t* bytes, size_t length) {
    if (setjmp(e->jump)) return 0;
    jpeg_create_decompress(c);
    progress->progress_monitor = on_progress;
    c->progress = progress;
    jpeg_mem_src(c, bytes, static_cast<unsigned long>(length));
    jpeg_read_header(c, TRUE);
    return 1;
}

// Rounds a * b / 255 as the common image libraries do.
inline uint32_t mul255(uint32_t a, uint32_t b) {
    const uint32_t t = a * b + 128;
    return ((t >> 8) + t) >> 8;
}

// Four-channel ink to BGRA, in place. Files that carry the Adobe marker
// store the inks inverted, as Photoshop writes them.
void cmyk_row_to_bgra(uint8_t* row, uint32_t width, int inverted) {
    for (uint32_t x = 0; x < width; x++, row += 4) {
        uint32_t ink[4] = {row[0], row[1], row[2], row[3]};
        if (inverted)
            for (uint32_t& v : ink) v = 255 - v;
        const uint32_t paper = 255 - ink[3];
        const uint8_t r = uint8_t(paper - mul255(ink[0], paper));
        const uint8_t g = uint8_t(paper - mul255(ink[1], paper));
        const uint8_t b = uint8_t(paper - mul255(ink[2], paper));
        row[0] = b, row[1] = g, row[2] = r, row[3] = 255;
    }
}

int read_pixels(j_decompress_ptr c, Errors* e, uint8_t* data, int cmyk) {
    if (setjmp(e->jump)) return 0;
    jpeg_start_decompress(c);
    if (c->output_width != c->image_width || c->output_height != c->image_height || c->output_components != 4) {
        std::strcpy(e->message, "unexpected JPEG output layout");
        return 0;
    }
    while (c->output_scanline < c->output_height) {
        JSAMPROW row = data + size_t(c->output_scanline) * c->output_width * 4;
        if (jpeg_read_scanlines(c, &row, 1) != 1) {
            std::strcpy(e->message, "truncated JPEG data");
            return 0;
        }
        if (cmyk) cmyk_row_to_bgra(row, c->output_width, c->saw_Adobe_marker);
    }
    jpeg_finish_decompress(c);
    return 1;
}

int write_image(j_compress_ptr c, Errors* e, const uint8_t* data, uint32_t width, uint32_t height,
                unsigned char** buffer, unsigned long* size) {
    if (setjmp(e->jump)) return 0;
    jpeg_create_compress(c);
    jpeg_mem_dest(c, buffer, size);
    c->image_width = width;
    c->image_height = height;
    c->input_components = 4;
    c->in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(c);
    // Full-resolution colour at quality 90: small images and sharp edges
    // keep their colours.
    jpeg_set_quality(c, 90, TRUE);
    for (int i = 0; i < c->num_components; i++) c->comp_info[i].h_samp_factor = c->comp_info[i].v_samp_factor = 1;
    jpeg_start_compress(c, TRUE);
    while (c->next_scanline < c->image_height) {
        // The library only reads the rows it is given.
        JSAMPROW row = const_cast<uint8_t*>(data) + size_t(c->next_scanline) * width * 4;
        jpeg_write_scanlines(c, &row, 1);
    }
    jpeg_finish_compress(c);
    return 1;
}

struct Decompressor {
    jpeg_decompress_struct c;
    Decompressor() { std::memset(&c, 0, sizeof c); }
    ~Decompressor() { jpeg_destroy_decompress(&c); }
};

struct Compressor {
    jpeg_compress_struct c;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    Compressor() { std::memset(&c, 0, sizeof c); }
    ~Compressor() {
        jpeg_destroy_compress(&c);
        std::free(buffer);
    }
};

}  // namespace

bool decode_jpeg(const uint8_t* bytes, size_t length, Pixels* out, std::string* why) {
    Errors errors;
    init_errors(&errors);
    jpeg_progress_mgr progress{};
    Decompressor d;
    d.c.err = &errors.base;
    if (!read_header(&d.c, &errors, &progress, bytes, length)) {
        *why = errors.message;
        return false;
    }
    bool cmyk = false;
    switch (d.c.jpeg_color_space) {
        case JCS_GRAYSCALE:
        case JCS_RGB:
        case JCS_YCbCr: d.c.out_color_space = JCS_EXT_BGRA; break;
        case JCS_CMYK:
        case JCS_YCCK:
            d.c.out_color_space = JCS_CMYK;
            cmyk = true;
            break;
        default: *why = "unsupported JPEG colour space"; return false;
    }
    if (!size_is_acceptable(d.c.image_width, d.c.image_height, length, pixels_per_byte, why)) return false;
    if (!allocate_pixels(int32_t(d.c.image_width), int32_t(d.c.image_height), out, why)) return false;
    if (!read_pixels(&d.c, &errors, out->bgra.data(), cmyk)) {
        *why = errors.message;
        return false;
    }
    return true;
}

bool encode_jpeg(const Pixels& in, std::vector<uint8_t>* out) {
    Errors errors;
    init_errors(&errors);
    Compressor k;
    k.c.err = &errors.base;
    if (!write_image(&k.c, &errors, in.bgra.data(), uint32_t(in.width), uint32_t(in.height), &k.buffer, &k.size))
        return false;
    out->assign(k.buffer, k.buffer + k.size);
    return true;
}

}  // namespace vum::imaging::detail
