// TIFF through libtiff, over memory. Plain 8-bit RGB, RGBA, grey and grey
// with alpha in strips are read line by line so that alpha comes through
// exactly; every other layout goes through the library's RGBA reader, whose
// premultiplied result is turned back into straight alpha. Writing gives
// 8-bit RGB or RGBA (unassociated alpha) in LZW-compressed strips.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/image-codec-formats.h"

namespace vum::imaging::detail {

namespace {

// The most pixels one byte of the file can stand for, from the greatest
// expansion of the compression and the bits a pixel.
int64_t pixels_per_byte(TIFF* tif) {
    uint16_t compression = COMPRESSION_NONE, bits = 1, samples = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    int64_t bytes_per_byte;
    switch (compression) {
        case COMPRESSION_NONE: bytes_per_byte = 1; break;
        case COMPRESSION_PACKBITS: bytes_per_byte = 64; break;  // 2 bytes for a run of 128
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE: bytes_per_byte = 1032; break;
        case COMPRESSION_JPEG:
        case COMPRESSION_OJPEG: return 1024;  // as for JPEG files
        default: bytes_per_byte = 4096;  // LZW's longest string; fax codes are bits per run
    }
    const int64_t bits_per_pixel = int64_t(std::max<uint16_t>(bits, 1)) * std::max<uint16_t>(samples, 1);
    return std::max<int64_t>(bytes_per_byte * 8 / bits_per_pixel, 1);
}

// Bytes in memory, read or written through the library's client calls.
struct Memory {
    const uint8_t* bytes = nullptr;  // reading
    size_t length = 0;
    std::vector<uint8_t>* sink = nullptr;  // writing
    uint64_t at = 0;
    char message[200] = "";
};

Memory* memory_of(thandle_t h) { return static_cast<Memory*>(h); }

size_t size_of(Memory* m) { return m->sink ? m->sink->size() : m->length; }

tmsize_t read_proc(thandle_t h, void* into, tmsize_t count) {
    Memory* m = memory_of(h);
    const uint8_t* base = m->sink ? m->sink->data() : m->bytes;
    const size_t size = size_of(m);
    if (count <= 0 || m->at >= size) return 0;
    const size_t take = std::min<uint64_t>(uint64_t(count), size - m->at);
    std::memcpy(into, base + m->at, take);
    m->at += take;
    return tmsize_t(take);
}

tmsize_t write_proc(thandle_t h, void* from, tmsize_t count) {
    Memory* m = memory_of(h);
    if (!m->sink || count < 0) return -1;
    if (count == 0) return 0;
    try {
        const uint64_t end = m->at + uint64_t(count);
        if (end > uint64_t(max_bytes) * 2) return -1;
        if (end > m->sink->size()) m->sink->resize(size_t(end));
        std::memcpy(m->sink->data() + m->at, from, size_t(count));
        m->at = end;
        return count;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

toff_t seek_proc(thandle_t h, toff_t offset, int whence) {
    Memory* m = memory_of(h);
    uint64_t base = whence == SEEK_CUR ? m->at : whence == SEEK_END ? size_of(m) : 0;
    if (offset > UINT64_MAX - base) return toff_t(-1);
    m->at = base + offset;
    return m->at;
}

int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t h) { return size_of(memory_of(h)); }
int map_proc(thandle_t, void**, toff_t*) { return 0; }
void unmap_proc(thandle_t, void*, toff_t) {}

// Keeps the first error as the reason; warnings are dropped.
int on_error(TIFF*, void* user, const char*, const char* format, va_list args) {
    Memory* m = static_cast<Memory*>(user);
    if (m->message[0] == 0) std::vsnprintf(m->message, sizeof m->message, format, args);
    return 1;
}

int on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Messages the library gives before a handle exists go to its process-wide
// handlers; nothing else here uses the library, so those are silenced.
void silence_global_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
}

struct Handle {
    TIFF* tif = nullptr;
    ~Handle() {
        if (tif) TIFFClose(tif);
    }
};

TIFF* open_memory(Memory* m, const char* mode, tmsize_t max_allocation) {
    silence_global_handlers();
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, on_error, m);
    TIFFOpenOptionsSetWarningHandlerExtR(options, on_warning, m);
    if (max_allocation) TIFFOpenOptionsSetMaxSingleMemAlloc(options, max_allocation);
    TIFF* tif = TIFFClientOpenExt("memory", mode, m, read_proc, write_proc, seek_proc, close_proc, size_proc,
                                  map_proc, unmap_proc, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

inline uint8_t unpremultiply(uint32_t c, uint32_t a) { return uint8_t(std::min<uint32_t>(255, (c * 255 + a / 2) / a)); }

// What a plain layout needs: samples a pixel (1 to 4), where alpha sits
// (-1 for none) and whether it is premultiplied.
struct PlainLayout {
    int samples = 0;
    bool grey = false;
    bool has_alpha = false;
    bool associated = false;
};

bool plain_layout(TIFF* tif, PlainLayout* p) {
    uint16_t bits = 0, samples = 0, photometric = 0, planar = 0, format = 0, orientation = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    if (TIFFIsTiled(tif) || bits != 8 || planar != PLANARCONFIG_CONTIG || format != SAMPLEFORMAT_UINT ||
        orientation != ORIENTATION_TOPLEFT)
        return false;
    if (photometric == PHOTOMETRIC_RGB && (samples == 3 || samples == 4))
        p->grey = false;
    else if (photometric == PHOTOMETRIC_MINISBLACK && (samples == 1 || samples == 2))
        p->grey = true;
    else
        return false;
    p->samples = samples;
    uint16_t extra_count = 0;
    uint16_t* extra = nullptr;
    if (samples == 2 || samples == 4) {
        TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
        if (extra_count == 1 && extra && extra[0] != EXTRASAMPLE_UNSPECIFIED) {
            p->has_alpha = true;
            p->associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
        }
    }
    return true;
}

bool read_plain(TIFF* tif, const PlainLayout& p, Pixels* out) {
    if (TIFFScanlineSize64(tif) != uint64_t(out->width) * uint64_t(p.samples)) return false;
    std::vector<uint8_t> line(size_t(out->width) * size_t(p.samples));
    for (int32_t y = 0; y < out->height; y++) {
        if (TIFFReadScanline(tif, line.data(), uint32_t(y), 0) < 0) return false;
        uint8_t* dst = out->bgra.data() + size_t(y) * size_t(out->width) * 4;
        const uint8_t* src = line.data();
        for (int32_t x = 0; x < out->width; x++, dst += 4, src += p.samples) {
            const uint8_t r = src[0], g = p.grey ? src[0] : src[1], b = p.grey ? src[0] : src[2];
            const uint8_t a = p.has_alpha ? src[p.samples - 1] : 255;
            if (p.associated && a < 255) {
                dst[0] = a ? unpremultiply(b, a) : 0;
                dst[1] = a ? unpremultiply(g, a) : 0;
                dst[2] = a ? unpremultiply(r, a) : 0;
            } else {
                dst[0] = b, dst[1] = g, dst[2] = r;
            }
            dst[3] = a;
        }
    }
    return true;
}

// The library's reader gives packed A B G R words (red lowest), alpha
// premultiplied.
bool read_through_rgba(TIFF* tif, Pixels* out) {
    uint32_t* raster = reinterpret_cast<uint32_t*>(out->bgra.data());
    if (!TIFFReadRGBAImageOriented(tif, uint32_t(out->width), uint32_t(out->height), raster, ORIENTATION_TOPLEFT, 1))
        return false;
    uint8_t* p = out->bgra.data();
    for (size_t i = 0; i < out->bgra.size() / 4; i++, p += 4) {
        const uint32_t v = raster[i];
        const uint32_t r = v & 0xFF, g = (v >> 8) & 0xFF, b = (v >> 16) & 0xFF, a = v >> 24;
        if (a == 255) {
            p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r);
        } else if (a == 0) {
            p[0] = p[1] = p[2] = 0;
        } else {
            p[0] = unpremultiply(b, a), p[1] = unpremultiply(g, a), p[2] = unpremultiply(r, a);
        }
        p[3] = uint8_t(a);
    }
    return true;
}

}  // namespace

bool decode_tiff(const uint8_t* bytes, size_t length, Pixels* out, std::string* why) {
    Memory m;
    m.bytes = bytes;
    m.length = length;
    // The library's own buffers (strips, tiles) are bounded like the pixels.
    const int64_t max_allocation = std::min<int64_t>(max_bytes, (int64_t(16) << 20) + int64_t(length) * 1032);
    Handle h;
    h.tif = open_memory(&m, "rm", tmsize_t(max_allocation));
    auto failed = [&](const char* fallback) {
        *why = m.message[0] ? m.message : fallback;
        return false;
    };
    if (!h.tif) return failed("damaged TIFF data");
    uint32_t width = 0, height = 0;
    if (!TIFFGetField(h.tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(h.tif, TIFFTAG_IMAGELENGTH, &height))
        return failed("TIFF without a size");
    if (!size_is_acceptable(width, height, length, pixels_per_byte(h.tif), why)) return false;
    if (!allocate_pixels(int32_t(width), int32_t(height), out, why)) return false;
    PlainLayout plain;
    const bool ok = plain_layout(h.tif, &plain) ? read_plain(h.tif, plain, out) : read_through_rgba(h.tif, out);
    return ok || failed("damaged TIFF data");
}

bool encode_tiff(const Pixels& in, std::vector<uint8_t>* out) {
    Memory m;
    m.sink = out;
    Handle h;
    h.tif = open_memory(&m, "w", 0);
    if (!h.tif) return false;
    const bool alpha = any_alpha_below_opaque(in);
    const uint16_t samples = alpha ? 4 : 3;
    TIFFSetField(h.tif, TIFFTAG_IMAGEWIDTH, uint32_t(in.width));
    TIFFSetField(h.tif, TIFFTAG_IMAGELENGTH, uint32_t(in.height));
    TIFFSetField(h.tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(h.tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(h.tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(h.tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(h.tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(h.tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(h.tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(h.tif, 0));
    if (alpha) {
        const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(h.tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    std::vector<uint8_t> line(size_t(in.width) * samples);
    for (int32_t y = 0; y < in.height; y++) {
        const uint8_t* src = in.bgra.data() + size_t(y) * size_t(in.width) * 4;
        uint8_t* dst = line.data();
        for (int32_t x = 0; x < in.width; x++, src += 4, dst += samples) {
            dst[0] = src[2], dst[1] = src[1], dst[2] = src[0];
            if (alpha) dst[3] = src[3];
        }
        if (TIFFWriteScanline(h.tif, line.data(), uint32_t(y), 0) < 0) return false;
    }
    if (!TIFFFlush(h.tif)) return false;
    TIFFClose(h.tif);
    h.tif = nullptr;
    return m.message[0] == 0;
}

}  // namespace vum::imaging::detail
