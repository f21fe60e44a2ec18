// GIF through giflib (which reports errors by return codes). Decoding takes
// the first frame at its own size; encoding writes one frame with a palette
// made exactly from the colours when there are few enough, else from a
// fixed 6x7x6 colour cube.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>

#include "platform/image-codec-formats.h"

namespace vum::imaging::detail {

namespace {

// An LZW code stands for one pixel more than the code before it at most,
// until the table's 4096 entries are full; codes are 12 bits by then. So
// the first ~4096 codes give at most 4096 * 4097 / 2 pixels, and every
// later 12 bits at most 4096.
constexpr int64_t pixels_per_byte = 4096 * 8 / 12 + 1;
constexpr int64_t head_start = int64_t(4096) * 4097 / 2;

struct Input {
    const uint8_t* bytes;
    size_t length;
    size_t at;
};

int read_input(GifFileType* gif, GifByteType* into, int count) {
    Input* in = static_cast<Input*>(gif->UserData);
    const size_t take = std::min(size_t(std::max(count, 0)), in->length - in->at);
    std::memcpy(into, in->bytes + in->at, take);
    in->at += take;
    return int(take);
}

int write_output(GifFileType* gif, const GifByteType* data, int count) {
    try {
        auto* sink = static_cast<std::vector<uint8_t>*>(gif->UserData);
        sink->insert(sink->end(), data, data + count);
        return count;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

struct Reader {
    GifFileType* gif = nullptr;
    ~Reader() {
        int error;
        if (gif) DGifCloseFile(gif, &error);
    }
};

bool gif_fail(GifFileType* gif, std::string* why) {
    const char* text = gif ? GifErrorString(gif->Error) : nullptr;
    *why = text ? text : "damaged GIF data";
    return false;
}

// Reads up to frame 0's descriptor; the last graphic control extension
// before it gives the transparent index (-1 for none).
bool find_first_frame(GifFileType* gif, int* transparent, std::string* why) {
    *transparent = -1;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return gif_fail(gif, why);
        if (type == IMAGE_DESC_RECORD_TYPE) return DGifGetImageDesc(gif) == GIF_OK || gif_fail(gif, why);
        if (type != EXTENSION_RECORD_TYPE) {
            *why = "GIF without an image";
            return false;
        }
        int code;
        GifByteType* block;
        if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return gif_fail(gif, why);
        if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4)
            *transparent = (block[1] & 1) ? block[4] : -1;
        while (block)
            if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return gif_fail(gif, why);
    }
}

}  // namespace

bool decode_gif(const uint8_t* bytes, size_t length, Pixels* out, std::string* why) {
    Input input{bytes, length, 0};
    int error = 0;
    Reader r;
    r.gif = DGifOpen(&input, read_input, &error);
    if (!r.gif) {
        const char* text = GifErrorString(error);
        *why = text ? text : "damaged GIF data";
        return false;
    }
    int transparent;
    if (!find_first_frame(r.gif, &transparent, why)) return false;
    const GifImageDesc& frame = r.gif->Image;
    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : r.gif->SColorMap;
    if (!map || !map->Colors) {
        *why = "GIF without a colour table";
        return false;
    }
    if (!size_is_acceptable(frame.Width, frame.Height, length, pixels_per_byte, why, head_start)) return false;
    if (!allocate_pixels(frame.Width, frame.Height, out, why)) return false;
    std::vector<GifPixelType> line(size_t(frame.Width));
    // Interlaced frames store every 8th row from 0, every 8th from 4, every
    // 4th from 2, then every 2nd from 1.
    static constexpr int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
    const int passes = frame.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; pass++) {
        const int start = frame.Interlace ? starts[pass] : 0, step = frame.Interlace ? steps[pass] : 1;
        for (int y = start; y < frame.Height; y += step) {
            if (DGifGetLine(r.gif, line.data(), frame.Width) == GIF_ERROR) return gif_fail(r.gif, why);
            uint8_t* dst = out->bgra.data() + size_t(y) * size_t(frame.Width) * 4;
            for (int x = 0; x < frame.Width; x++, dst += 4) {
                const int index = line[size_t(x)];
                if (index < map->ColorCount) {
                    const GifColorType& c = map->Colors[index];
                    dst[0] = c.Blue, dst[1] = c.Green, dst[2] = c.Red;
                    dst[3] = index == transparent ? 0 : 255;
                } else {
                    dst[0] = dst[1] = dst[2] = 0;
                    dst[3] = 255;
                }
            }
        }
    }
    return true;
}

namespace {

// The palette and each pixel's index into it.
struct Quantised {
    std::vector<GifColorType> colours;
    std::vector<GifPixelType> indices;
    int transparent = -1;
};

inline uint32_t rgb_of(const uint8_t* p) { return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }

bool exact_palette(const Pixels& in, size_t room, Quantised* q) {
    std::unordered_map<uint32_t, GifPixelType> index_of;
    for (size_t i = 0; i < in.bgra.size(); i += 4) {
        const uint8_t* p = in.bgra.data() + i;
        if (p[3] < 128) continue;
        const uint32_t rgb = rgb_of(p);
        if (index_of.count(rgb)) continue;
        if (index_of.size() == room) return false;
        index_of.emplace(rgb, GifPixelType(q->colours.size()));
        q->colours.push_back(GifColorType{p[2], p[1], p[0]});
    }
    for (size_t i = 0; i < in.bgra.size(); i += 4) {
        const uint8_t* p = in.bgra.data() + i;
        q->indices[i / 4] = p[3] < 128 ? GifPixelType(q->transparent) : index_of[rgb_of(p)];
    }
    return true;
}

// 6 levels of red, 7 of green, 6 of blue: 252 colours, the nearest level
// of each channel.
void cube_palette(const Pixels& in, Quantised* q) {
    static constexpr int levels[3] = {6, 7, 6};  // red, green, blue
    q->colours.clear();
    for (int r = 0; r < levels[0]; r++)
        for (int g = 0; g < levels[1]; g++)
            for (int b = 0; b < levels[2]; b++)
                q->colours.push_back(GifColorType{uint8_t((r * 255 + 2) / (levels[0] - 1)),
                                                  uint8_t((g * 255 + 3) / (levels[1] - 1)),
                                                  uint8_t((b * 255 + 2) / (levels[2] - 1))});
    auto level = [](int value, int count) { return (value * (count - 1) + 127) / 255; };
    for (size_t i = 0; i < in.bgra.size(); i += 4) {
        const uint8_t* p = in.bgra.data() + i;
        if (p[3] < 128) {
            q->indices[i / 4] = GifPixelType(q->transparent);
            continue;
        }
        const int r = level(p[2], levels[0]), g = level(p[1], levels[1]), b = level(p[0], levels[2]);
        q->indices[i / 4] = GifPixelType((r * levels[1] + g) * levels[2] + b);
    }
}

Quantised quantise(const Pixels& in) {
    Quantised q;
    q.indices.resize(in.bgra.size() / 4);
    bool any_transparent = false;
    for (size_t i = 3; i < in.bgra.size() && !any_transparent; i += 4) any_transparent = in.bgra[i] < 128;
    const size_t room = any_transparent ? 255 : 256;
    // The transparent entry goes last; its index is known once the
    // palette's size is.
    q.transparent = any_transparent ? 255 : -1;
    if (!exact_palette(in, room, &q)) cube_palette(in, &q);
    if (any_transparent) {
        q.transparent = int(q.colours.size());
        for (size_t i = 0; i < q.indices.size(); i++)
            if (in.bgra[i * 4 + 3] < 128) q.indices[i] = GifPixelType(q.transparent);
        q.colours.push_back(GifColorType{0, 0, 0});
    }
    return q;
}

struct Writer {
    GifFileType* gif = nullptr;
    ColorMapObject* map = nullptr;
    ~Writer() {
        int error;
        if (gif) EGifCloseFile(gif, &error);
        if (map) GifFreeMapObject(map);
    }
};

}  // namespace

bool encode_gif(const Pixels& in, std::vector<uint8_t>* out) {
    Quantised q = quantise(in);
    int size = 2;
    while (size < int(q.colours.size())) size *= 2;
    q.colours.resize(size_t(size), GifColorType{0, 0, 0});
    Writer w;
    int error = 0;
    w.map = GifMakeMapObject(size, q.colours.data());
    w.gif = EGifOpen(out, write_output, &error);
    if (!w.map || !w.gif) return false;
    EGifSetGifVersion(w.gif, q.transparent >= 0);
    if (EGifPutScreenDesc(w.gif, in.width, in.height, 8, 0, w.map) == GIF_ERROR) return false;
    if (q.transparent >= 0) {
        const GifByteType control[4] = {0x01, 0, 0, GifByteType(q.transparent)};  // transparent flag, no delay
        if (EGifPutExtension(w.gif, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_ERROR) return false;
    }
    if (EGifPutImageDesc(w.gif, 0, 0, in.width, in.height, false, nullptr) == GIF_ERROR) return false;
    for (int32_t y = 0; y < in.height; y++)
        if (EGifPutLine(w.gif, q.indices.data() + size_t(y) * size_t(in.width), in.width) == GIF_ERROR) return false;
    const bool closed = EGifCloseFile(w.gif, &error) == GIF_OK;
    w.gif = nullptr;  // closing frees it, even when the last write fails
    return closed;
}

}  // namespace vum::imaging::detail
