// BMP, our own: reads the uncompressed layouts (1, 4 and 8 bits through a
// palette, 16 and 32 bits with or without bit masks, 24 bits), bottom-up or
// top-down; writes 32 bits with an alpha mask in a version 4 header so that
// readers keep the alpha.
#include <bit>
#include <cstring>

#include "platform/image-codec-formats.h"

namespace vum::imaging::detail {

namespace {

constexpr size_t file_header_size = 14;
constexpr uint32_t bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3, bi_alphabitfields = 6;

uint32_t u16_at(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32_at(const uint8_t* p) { return u16_at(p) | u16_at(p + 2) << 16; }

void put16(std::vector<uint8_t>* out, uint32_t v) {
    out->push_back(uint8_t(v));
    out->push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>* out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// One channel of a bit-mask layout, scaled to 8 bits.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    bool set(uint32_t m) {
        mask = m;
        if (m == 0) return true;
        shift = std::countr_zero(m);
        const uint32_t run = m >> shift;
        if ((run & (run + 1)) != 0) return false;  // not one run of bits
        bits = std::popcount(run);
        return true;
    }
    uint8_t take(uint32_t pixel, uint8_t absent) const {
        if (mask == 0) return absent;
        const uint32_t v = (pixel & mask) >> shift;
        if (bits >= 8) return uint8_t(v >> (bits - 8));
        const uint32_t top = (1u << bits) - 1;
        return uint8_t((v * 255 + top / 2) / top);
    }
};

struct Layout {
    int64_t width = 0;
    int64_t height = 0;  // rows, always positive
    bool top_down = false;
    uint32_t bits = 0;
    uint32_t compression = bi_rgb;
    size_t palette_at = 0;
    size_t palette_entry = 4;
    uint32_t palette_count = 0;
    Channel red, green, blue, alpha;
};

bool fail(std::string* why, const char* reason) {
    *why = reason;
    return false;
}

bool read_layout(const uint8_t* b, size_t n, Layout* l, std::string* why) {
    if (n < file_header_size + 4) return fail(why, "truncated BMP header");
    const uint32_t header = u32_at(b + 14);
    const bool core = header == 12;
    if (!core && header != 40 && header != 52 && header != 56 && header != 64 && header != 108 && header != 124)
        return fail(why, "unknown BMP header size");
    if (n < file_header_size + header) return fail(why, "truncated BMP header");
    const uint8_t* h = b + file_header_size;
    if (core) {
        l->width = u16_at(h + 4);
        l->height = u16_at(h + 6);
        l->bits = u16_at(h + 10);
        l->palette_entry = 3;
    } else {
        l->width = int32_t(u32_at(h + 4));
        const int32_t height = int32_t(u32_at(h + 8));
        l->top_down = height < 0;
        l->height = height < 0 ? -int64_t(height) : height;
        l->bits = u16_at(h + 14);
        l->compression = u32_at(h + 16);
        l->palette_count = u32_at(h + 32);
    }
    l->palette_at = file_header_size + header;
    if (l->compression == bi_rle8 || l->compression == bi_rle4)
        return fail(why, "run-length compressed BMP is not supported");
    const bool masked = l->compression == bi_bitfields || l->compression == bi_alphabitfields;
    if (!masked && l->compression != bi_rgb) return fail(why, "unsupported BMP compression");
    if (masked && header == 64) return fail(why, "unsupported BMP compression");
    if (masked && l->bits != 16 && l->bits != 32) return fail(why, "BMP bit masks need 16 or 32 bits a pixel");

    switch (l->bits) {
        case 1:
        case 4:
        case 8:
            if (l->palette_count == 0 || l->palette_count > (1u << l->bits)) l->palette_count = 1u << l->bits;
            if (l->palette_at + size_t(l->palette_count) * l->palette_entry > n)
                return fail(why, "truncated BMP palette");
            break;
        case 16:
        case 32: {
            uint32_t masks[4] = {0, 0, 0, 0};
            if (masked) {
                // Masks sit in the larger headers, or after the 40-byte one.
                const size_t count = header == 40 ? (l->compression == bi_alphabitfields ? 4 : 3)
                                     : (header >= 56 ? 4 : 3);
                const uint8_t* at = h + 40;
                if (header == 40) {
                    if (n < l->palette_at + count * 4) return fail(why, "truncated BMP bit masks");
                    l->palette_at += count * 4;
                }
                for (size_t i = 0; i < count; i++) masks[i] = u32_at(at + 4 * i);
            } else if (l->bits == 16) {
                masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
            } else {
                masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
            }
            if (!l->red.set(masks[0]) || !l->green.set(masks[1]) || !l->blue.set(masks[2]) ||
                !l->alpha.set(masks[3]))
                return fail(why, "BMP bit masks are not runs of bits");
            break;
        }
        case 24: break;
        default: return fail(why, "unsupported BMP bit depth");
    }
    return true;
}

void decode_row(const Layout& l, const uint8_t* b, const uint8_t* row, uint8_t* dst) {
    for (int64_t x = 0; x < l.width; x++, dst += 4) {
        switch (l.bits) {
            case 1:
            case 4:
            case 8: {
                const uint64_t bit = uint64_t(x) * l.bits;
                const uint32_t index = (row[bit / 8] >> (8 - l.bits - bit % 8)) & ((1u << l.bits) - 1);
                if (index < l.palette_count) {
                    std::memcpy(dst, b + l.palette_at + size_t(index) * l.palette_entry, 3);
                } else {
                    dst[0] = dst[1] = dst[2] = 0;
                }
                dst[3] = 255;
                break;
            }
            case 24:
                std::memcpy(dst, row + x * 3, 3);
                dst[3] = 255;
                break;
            default: {
                const uint32_t pixel = l.bits == 16 ? u16_at(row + x * 2) : u32_at(row + x * 4);
                dst[0] = l.blue.take(pixel, 0);
                dst[1] = l.green.take(pixel, 0);
                dst[2] = l.red.take(pixel, 0);
                dst[3] = l.alpha.take(pixel, 255);
            }
        }
    }
}

}  // namespace

bool decode_bmp(const uint8_t* b, size_t n, Pixels* out, std::string* why) {
    Layout l;
    if (!read_layout(b, n, &l, why)) return false;
    if (!size_is_acceptable(l.width, l.height, n, 8, why)) return false;
    const size_t stride = size_t((l.width * l.bits + 31) / 32 * 4);
    const size_t data_at = u32_at(b + 10);
    if (data_at > n || (n - data_at) / stride < size_t(l.height)) return fail(why, "truncated BMP pixel data");
    if (!allocate_pixels(int32_t(l.width), int32_t(l.height), out, why)) return false;
    for (int64_t y = 0; y < l.height; y++) {
        const int64_t stored = l.top_down ? y : l.height - 1 - y;
        decode_row(l, b, b + data_at + size_t(stored) * stride, out->bgra.data() + size_t(y * l.width * 4));
    }
    return true;
}

bool encode_bmp(const Pixels& in, std::vector<uint8_t>* out) {
    constexpr uint32_t info_size = 108;
    const uint32_t data_at = file_header_size + info_size;
    const uint64_t data_size = uint64_t(in.bgra.size());
    if (data_at + data_size > 0xFFFFFFFFu) return false;
    out->reserve(size_t(data_at + data_size));
    out->push_back('B');
    out->push_back('M');
    put32(out, uint32_t(data_at + data_size));
    put32(out, 0);
    put32(out, data_at);
    put32(out, info_size);
    put32(out, uint32_t(in.width));
    put32(out, uint32_t(in.height));  // positive: rows bottom-up, as most readers expect
    put16(out, 1);
    put16(out, 32);
    put32(out, bi_bitfields);
    put32(out, uint32_t(data_size));
    put32(out, 2835);  // 72 dots an inch
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0x00FF0000);
    put32(out, 0x0000FF00);
    put32(out, 0x000000FF);
    put32(out, 0xFF000000);
    put32(out, 0x73524742);  // colour space: sRGB
    out->resize(data_at, 0);  // no end points or gamma
    const size_t row = size_t(in.width) * 4;
    for (int32_t y = in.height - 1; y >= 0; y--) {
        const uint8_t* src = in.bgra.data() + size_t(y) * row;
        out->insert(out->end(), src, src + row);
    }
    return true;
}

}  // namespace vum::imaging::detail
