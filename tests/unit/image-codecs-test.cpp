// The image codec layer: round trips through every format, the signatures,
// zero sizes, a table of damaged files that must all be refused (cut short,
// sizes that the data does not back, sizes past the limits), the BMP layouts
// we read ourselves, and the pixel operations. The interop test holds the
// codecs against another implementation; here they are held against the
// formats' own fields, patched in files our encoders wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io/checksum.h"
#include "platform/image-codecs.h"

using namespace vum::imaging;

namespace {

using Bytes = std::vector<uint8_t>;

const Format all_formats[] = {Format::bmp, Format::png, Format::gif, Format::jpeg, Format::tiff};

const char* name_of(Format f) {
    switch (f) {
        case Format::bmp: return "bmp";
        case Format::png: return "png";
        case Format::gif: return "gif";
        case Format::jpeg: return "jpeg";
        case Format::tiff: return "tiff";
    }
    return "?";
}

Pixels make_pixels(int32_t w, int32_t h, const std::vector<uint32_t>& argb) {
    Pixels p;
    p.width = w;
    p.height = h;
    for (uint32_t v : argb) {
        p.bgra.push_back(uint8_t(v));
        p.bgra.push_back(uint8_t(v >> 8));
        p.bgra.push_back(uint8_t(v >> 16));
        p.bgra.push_back(uint8_t(v >> 24));
    }
    return p;
}

// 3x2, every pixel distinct, alpha partial (and one fully transparent).
Pixels sample() {
    return make_pixels(3, 2, {0xFF102030, 0x80FF0000, 0x4000FF80, 0xC0A0B0C0, 0x00000000 | 0x123456, 0xFFFFFFFF});
}

// A larger image whose pixels vary smoothly, opaque.
Pixels smooth(int32_t w, int32_t h) {
    Pixels p;
    p.width = w;
    p.height = h;
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) {
            p.bgra.push_back(uint8_t(x * 255 / std::max(w - 1, 1)));
            p.bgra.push_back(uint8_t(y * 255 / std::max(h - 1, 1)));
            p.bgra.push_back(uint8_t((x + y) * 127 / (w + h)));
            p.bgra.push_back(255);
        }
    return p;
}

Bytes encoded(const Pixels& p, Format f) {
    Bytes out;
    EXPECT_TRUE(encode(p, f, &out)) << name_of(f);
    return out;
}

bool decodes(const Bytes& data, Pixels* out = nullptr, std::string* why = nullptr) {
    Pixels scratch;
    return decode(data.data(), data.size(), out ? out : &scratch, why);
}

int max_channel_error(const Pixels& a, const Pixels& b, int channels = 4) {
    int worst = 0;
    for (size_t i = 0; i < a.bgra.size(); i++)
        if (int(i % 4) < channels) worst = std::max(worst, std::abs(int(a.bgra[i]) - int(b.bgra[i])));
    return worst;
}

// ---------------------------------------------------------------- round trips

TEST(ImageCodecs, LosslessFormatsKeepEveryPixelAndAlpha) {
    for (Format f : {Format::png, Format::bmp, Format::tiff})
        for (const Pixels& p : {sample(), smooth(3, 2), smooth(301, 77)}) {
            Pixels back;
            std::string why;
            ASSERT_TRUE(decodes(encoded(p, f), &back, &why)) << name_of(f) << ": " << why;
            EXPECT_EQ(back.width, p.width);
            EXPECT_EQ(back.height, p.height);
            EXPECT_EQ(back.bgra, p.bgra) << name_of(f) << " " << p.width << "x" << p.height;
        }
}

TEST(ImageCodecs, JpegDropsAlphaAndKeepsColoursClosely) {
    for (const Pixels& p : {sample(), smooth(64, 48)}) {
        Pixels back;
        ASSERT_TRUE(decodes(encoded(p, Format::jpeg), &back));
        ASSERT_EQ(back.width, p.width);
        ASSERT_EQ(back.height, p.height);
        for (size_t i = 3; i < back.bgra.size(); i += 4) EXPECT_EQ(back.bgra[i], 255);
        // Six unrelated colours in one 8x8 block blur into each other more
        // than a smooth image does.
        EXPECT_LE(max_channel_error(back, p, 3), p.width > 3 ? 6 : 32);
    }
}

TEST(ImageCodecs, GifKeepsFewColoursExactlyWithOneTransparentEntry) {
    Pixels p = sample();
    Pixels back;
    ASSERT_TRUE(decodes(encoded(p, Format::gif), &back));
    ASSERT_EQ(back.bgra.size(), p.bgra.size());
    for (size_t i = 0; i < p.bgra.size(); i += 4) {
        if (p.bgra[i + 3] < 128) {
            EXPECT_EQ(back.bgra[i + 3], 0) << "pixel " << i / 4;
        } else {
            EXPECT_EQ(0, std::memcmp(&back.bgra[i], &p.bgra[i], 3)) << "pixel " << i / 4;
            EXPECT_EQ(back.bgra[i + 3], 255);
        }
    }
}

TEST(ImageCodecs, GifOfManyColoursTakesTheNearestCubeColour) {
    // 64x48 smooth pixels hold far more than 256 colours.
    Pixels p = smooth(64, 48);
    Pixels back;
    ASSERT_TRUE(decodes(encoded(p, Format::gif), &back));
    ASSERT_EQ(back.bgra.size(), p.bgra.size());
    for (size_t i = 0; i < p.bgra.size(); i += 4) {
        EXPECT_LE(std::abs(back.bgra[i] - p.bgra[i]), 26);          // blue: 6 levels
        EXPECT_LE(std::abs(back.bgra[i + 1] - p.bgra[i + 1]), 22);  // green: 7 levels
        EXPECT_LE(std::abs(back.bgra[i + 2] - p.bgra[i + 2]), 26);  // red: 6 levels
    }
}

TEST(ImageCodecs, DecodeFileReadsWhatEncodeWrote) {
    const std::string path = ::testing::TempDir() + "vum-image-codecs-test.png";
    const Bytes png = encoded(sample(), Format::png);
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(png.data(), 1, png.size(), f);
    std::fclose(f);
    Pixels back;
    EXPECT_TRUE(decode_file(path, &back));
    EXPECT_EQ(back.bgra, sample().bgra);
    std::remove(path.c_str());
    std::string why;
    EXPECT_FALSE(decode_file(path, &back, &why));
    EXPECT_EQ(why, "cannot read the file");
}

// ------------------------------------------------------------------ signatures

TEST(ImageCodecs, SignaturesNameTheirFormat) {
    struct Case {
        Bytes bytes;
        bool known;
        Format format;
    };
    const Case cases[] = {
        {{0x89, 'P', 'N', 'G'}, true, Format::png},
        {{0xFF, 0xD8, 0xFF, 0xE0}, true, Format::jpeg},
        {{0xFF, 0xD8}, false, Format::jpeg},
        {{'B', 'M'}, true, Format::bmp},
        {{'G', 'I', 'F', '8', '7', 'a'}, true, Format::gif},
        {{'G', 'I', 'F', '8', '9', 'a', 0}, true, Format::gif},
        {{'G', 'I', 'F', '8', '9', 'b'}, false, Format::gif},
        {{'G', 'I', 'F', '8', '8', 'a'}, false, Format::gif},
        {{'G', 'I', 'F', '8', '9'}, false, Format::gif},
        {{'I', 'I', 0x2A, 0x00}, true, Format::tiff},
        {{'I', 'I', 0x2A, 0x01}, false, Format::tiff},
        {{'M', 'M', 0x00, 0x2A}, true, Format::tiff},
        {{'M', 'M', 0x2A, 0x00}, false, Format::tiff},
        {{}, false, Format::bmp},
        {{'B'}, false, Format::bmp},
    };
    for (const Case& c : cases) {
        Format found = Format::bmp;
        EXPECT_EQ(sniff(c.bytes.data(), c.bytes.size(), &found), c.known) << ::testing::PrintToString(c.bytes);
        if (c.known) {
            EXPECT_EQ(found, c.format);
        }
    }
}

TEST(ImageCodecs, GifWhoseSixthByteIsNotAIsNotDecoded) {
    Bytes gif = encoded(sample(), Format::gif);
    ASSERT_TRUE(decodes(gif));
    gif[5] = 'b';
    std::string why;
    EXPECT_FALSE(decodes(gif, nullptr, &why));
    EXPECT_EQ(why, "not a known image format");
}

// ------------------------------------------------------------------ zero sizes

TEST(ImageCodecs, ZeroWidthOrHeightEncodesToNothing) {
    for (Format f : all_formats)
        for (auto [w, h] : {std::pair{5, 0}, std::pair{0, 5}, std::pair{0, 0}}) {
            Pixels empty;
            empty.width = w;
            empty.height = h;
            Bytes out = {1, 2, 3};
            EXPECT_TRUE(encode(empty, f, &out)) << name_of(f);
            EXPECT_TRUE(out.empty());
        }
}

TEST(ImageCodecs, PixelsThatDoNotMatchTheirSizeAreNotEncoded) {
    Pixels wrong = sample();
    wrong.bgra.pop_back();
    Pixels negative;
    negative.width = -1;
    negative.height = 2;
    for (Format f : all_formats) {
        Bytes out;
        EXPECT_FALSE(encode(wrong, f, &out)) << name_of(f);
        EXPECT_FALSE(encode(negative, f, &out)) << name_of(f);
    }
}

// ------------------------------------------------------ patching size fields

void put_be32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) (*b)[at + i] = uint8_t(v >> (24 - 8 * i));
}
void put_be16(Bytes* b, size_t at, uint32_t v) {
    (*b)[at] = uint8_t(v >> 8);
    (*b)[at + 1] = uint8_t(v);
}
void put_le16(Bytes* b, size_t at, uint32_t v) {
    (*b)[at] = uint8_t(v);
    (*b)[at + 1] = uint8_t(v >> 8);
}
void put_le32(Bytes* b, size_t at, uint32_t v) {
    put_le16(b, at, v & 0xFFFF);
    put_le16(b, at + 2, v >> 16);
}
uint32_t le16(const Bytes& b, size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8; }
uint32_t le32(const Bytes& b, size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

// Where each format keeps the size of its image (of frame 0 for GIF), and a
// way to write it back; PNG's header chunk gets its CRC again, so that the
// size, not the checksum, is what the decoder meets.
void set_size(Format f, Bytes* b, uint32_t w, uint32_t h) {
    switch (f) {
        case Format::png:
            put_be32(b, 16, w);
            put_be32(b, 20, h);
            put_be32(b, 29, vum::checksum::crc32(b->data() + 12, 17));
            break;
        case Format::bmp:
            put_le32(b, 18, w);
            put_le32(b, 22, h);
            break;
        case Format::gif: {
            // The screen, then frame 0's descriptor past the colour table and
            // the extensions.
            put_le16(b, 6, w);
            put_le16(b, 8, h);
            size_t at = 13 + ((*b)[10] & 0x80 ? 3u << (((*b)[10] & 7) + 1) : 0);
            while ((*b)[at] == 0x21) {
                at += 2;
                while ((*b)[at]) at += (*b)[at] + 1;
                at++;
            }
            ASSERT_EQ((*b)[at], 0x2C);
            put_le16(b, at + 5, w);
            put_le16(b, at + 7, h);
            break;
        }
        case Format::jpeg:
            for (size_t at = 2; at + 9 < b->size(); at++)
                if ((*b)[at] == 0xFF && ((*b)[at + 1] == 0xC0 || (*b)[at + 1] == 0xC2)) {
                    put_be16(b, at + 5, h);
                    put_be16(b, at + 7, w);
                    return;
                }
            FAIL() << "no frame header";
            break;
        case Format::tiff: {
            // Our encoder writes little-endian; the sizes are SHORT or LONG.
            const size_t ifd = le32(*b, 4);
            for (uint32_t i = 0; i < le16(*b, ifd); i++) {
                const size_t entry = ifd + 2 + 12 * i;
                const uint32_t tag = le16(*b, entry), type = le16(*b, entry + 2);
                if (tag != 256 && tag != 257) continue;
                const uint32_t v = tag == 256 ? w : h;
                if (type == 3)
                    put_le16(b, entry + 8, std::min<uint32_t>(v, 0xFFFF));
                else
                    put_le32(b, entry + 8, v);
            }
            break;
        }
    }
}

// ---------------------------------------------------------- damaged files

TEST(ImageCodecs, EveryShortenedFileIsRefused) {
    for (Format f : all_formats) {
        const Bytes whole = encoded(smooth(9, 7), f);
        ASSERT_TRUE(decodes(whole)) << name_of(f);
        // Frame 0 is complete before a GIF's trailer byte, which is the only
        // byte the decoder does not need.
        const size_t needed = f == Format::gif ? whole.size() - 1 : whole.size();
        for (size_t n = 0; n < needed; n++) {
            Bytes cut(whole.begin(), whole.begin() + n);
            std::string why;
            EXPECT_FALSE(decodes(cut, nullptr, &why)) << name_of(f) << " cut to " << n << " of " << whole.size();
            EXPECT_FALSE(why.empty());
        }
    }
}

TEST(ImageCodecs, SizesTheDataDoesNotBackAreRefused) {
    struct Case {
        uint32_t width, height;
        const char* what;
    };
    const Case cases[] = {
        {0, 7, "zero width"},
        {9, 0, "zero height"},
        {18, 7, "twice as wide as the data"},
        {9, 70, "ten times as high"},
        {100000, 100000, "past the side limit"},
        {65535, 65535, "past the byte limit"},
        {20000, 20000, "more than the data can expand to"},
    };
    for (Format f : all_formats)
        for (const Case& c : cases) {
            // GIF and JPEG hold sizes in 16 bits: the largest case comes out
            // as whatever its low bits give, refused all the same.
            Bytes b = encoded(smooth(9, 7), f);
            set_size(f, &b, c.width, c.height);
            std::string why;
            EXPECT_FALSE(decodes(b, nullptr, &why)) << name_of(f) << ": " << c.what;
            EXPECT_FALSE(why.empty());
            // Refused from the header, before the pixels are allocated.
            if (c.width == 20000) {
                EXPECT_EQ(why, "image dimensions larger than the data can hold") << name_of(f);
            }
        }
}

TEST(ImageCodecs, HugeDeclaredPngFailsAtTheHeader) {
    Bytes b = encoded(sample(), Format::png);
    set_size(Format::png, &b, 100000, 100000);
    std::string why;
    EXPECT_FALSE(decodes(b, nullptr, &why));
    EXPECT_EQ(why, "Invalid IHDR data");  // libpng's own check, past our side limit
    set_size(Format::png, &b, 20000, 20000);
    EXPECT_FALSE(decodes(b, nullptr, &why));
    EXPECT_EQ(why, "image dimensions larger than the data can hold");
}

TEST(ImageCodecs, CorruptedBytesAreRefusedOrDecodedButNeverOverrun) {
    // Flip each byte in turn: the decoder either refuses or gives pixels of
    // a consistent size (some bytes, like colour values, are not checked).
    for (Format f : all_formats) {
        const Bytes whole = encoded(smooth(9, 7), f);
        for (size_t i = 0; i < whole.size(); i++) {
            Bytes b = whole;
            b[i] ^= 0xA5;
            Pixels out;
            if (decodes(b, &out)) {
                EXPECT_EQ(out.bgra.size(), size_t(out.width) * size_t(out.height) * 4) << name_of(f) << " byte " << i;
            }
        }
    }
}

TEST(ImageCodecs, AFailedDecodeLeavesTheOutputAlone) {
    Pixels out = sample();
    Bytes b = encoded(smooth(9, 7), Format::png);
    b.resize(b.size() / 2);
    EXPECT_FALSE(decodes(b, &out));
    EXPECT_EQ(out.bgra, sample().bgra);
}

// -------------------------------------------------------------- BMP layouts

struct BmpSpec {
    uint32_t header = 40;
    int32_t width = 2;
    int32_t height = 2;  // negative: top-down
    uint16_t bits = 24;
    uint32_t compression = 0;
    uint32_t colours = 0;         // palette entries; 0 for all the depth allows
    std::vector<uint32_t> masks = {};  // written after a 40-byte header, inside larger ones
    Bytes palette = {};
    Bytes rows = {};
};

Bytes bmp(const BmpSpec& s) {
    Bytes info;
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) info.push_back(uint8_t(v >> (8 * i)));
    };
    put32(s.header);
    put32(uint32_t(s.width));
    put32(uint32_t(s.height));
    info.push_back(1), info.push_back(0);
    info.push_back(uint8_t(s.bits)), info.push_back(0);
    put32(s.compression);
    put32(uint32_t(s.rows.size()));
    put32(2835), put32(2835), put32(s.colours), put32(0);
    for (uint32_t m : s.masks) put32(m);
    if (s.header > 40) info.resize(s.header, 0);
    const uint32_t offset = uint32_t(14 + info.size() + s.palette.size());
    Bytes out = {'B', 'M'};
    for (uint32_t v : {uint32_t(offset + s.rows.size()), 0u, offset})
        for (int i = 0; i < 4; i++) out.push_back(uint8_t(v >> (8 * i)));
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), s.palette.begin(), s.palette.end());
    out.insert(out.end(), s.rows.begin(), s.rows.end());
    return out;
}

TEST(ImageCodecs, BmpLayoutsReadAsTheirFieldsSay) {
    struct Case {
        const char* what;
        BmpSpec spec;
        std::vector<uint32_t> argb;  // top row first
    };
    const Bytes palette = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 9, 9, 9, 0};  // red, green, blue, 9s
    const Case cases[] = {
        {"24-bit bottom-up, rows padded to 4",
         {.rows = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}},
         {0xFF090807, 0xFF0C0B0A, 0xFF030201, 0xFF060504}},
        {"24-bit top-down",
         {.height = -2, .rows = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}},
         {0xFF030201, 0xFF060504, 0xFF090807, 0xFF0C0B0A}},
        {"1-bit through the palette",
         {.bits = 1, .palette = palette, .rows = {0x40, 0, 0, 0, 0x80, 0, 0, 0}},
         {0xFF00FF00, 0xFFFF0000, 0xFFFF0000, 0xFF00FF00}},
        {"4-bit, an index past the palette is black",
         {.bits = 4, .colours = 4, .palette = palette, .rows = {0x23, 0, 0, 0, 0x1F, 0, 0, 0}},
         {0xFF00FF00, 0xFF000000, 0xFF0000FF, 0xFF090909}},
        {"8-bit",
         {.width = 1, .bits = 8, .colours = 4, .palette = palette, .rows = {2, 0, 0, 0, 3, 0, 0, 0}},
         {0xFF090909, 0xFF0000FF}},
        {"16-bit 555 without masks",
         {.width = 1, .height = 1, .bits = 16, .rows = {0xE0, 0x7F, 0, 0}},  // 0x7FE0: red 31, green 31
         {0xFFFFFF00}},
        {"16-bit 565 masks after the header",
         {.width = 1, .height = 1, .bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F},
          .rows = {0x1F, 0x84, 0, 0}},  // 0x841F: red 16, green 32, blue 31
         {0xFF8482FF}},
        {"32-bit without masks is opaque",
         {.width = 1, .height = 1, .bits = 32, .rows = {1, 2, 3, 4}},
         {0xFF030201}},
        {"32-bit with an alpha mask in a version 4 header",
         {.header = 108, .width = 1, .height = 1, .bits = 32, .compression = 3,
          .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, .rows = {1, 2, 3, 4}},
         {0x04030201}},
        {"32-bit with red and blue masks swapped",
         {.header = 56, .width = 1, .height = 1, .bits = 32, .compression = 3,
          .masks = {0xFF, 0xFF00, 0xFF0000, 0}, .rows = {1, 2, 3, 4}},
         {0xFF010203}},
    };
    for (const Case& c : cases) {
        Pixels out;
        std::string why;
        ASSERT_TRUE(decodes(bmp(c.spec), &out, &why)) << c.what << ": " << why;
        const int32_t h = c.spec.height < 0 ? -c.spec.height : c.spec.height;
        EXPECT_EQ(out.width, c.spec.width) << c.what;
        EXPECT_EQ(out.height, h) << c.what;
        EXPECT_EQ(out.bgra, make_pixels(c.spec.width, h, c.argb).bgra) << c.what;
    }
}

TEST(ImageCodecs, BmpLayoutsWeDoNotReadAreRefusedWithAReason) {
    const Bytes palette(16, 0);
    const struct {
        BmpSpec spec;
        const char* why;
    } cases[] = {
        {{.bits = 8, .compression = 1, .palette = palette, .rows = {2, 0, 0, 1}},
         "run-length compressed BMP is not supported"},
        {{.bits = 4, .compression = 2, .palette = palette, .rows = {2, 0, 0, 1}},
         "run-length compressed BMP is not supported"},
        {{.bits = 24, .compression = 4, .rows = Bytes(16)}, "unsupported BMP compression"},
        {{.bits = 24, .compression = 3, .masks = {1, 2, 4}, .rows = Bytes(16)},
         "BMP bit masks need 16 or 32 bits a pixel"},
        {{.width = 1, .height = 1, .bits = 32, .compression = 3, .masks = {0xF0F, 0xF0, 0xF000}, .rows = Bytes(4)},
         "BMP bit masks are not runs of bits"},
        {{.bits = 2, .rows = Bytes(8)}, "unsupported BMP bit depth"},
        {{.header = 20, .rows = Bytes(16)}, "unknown BMP header size"},
        {{.rows = Bytes(15)}, "truncated BMP pixel data"},
        {{.width = -2, .rows = Bytes(16)}, "empty or negative image size"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(decodes(bmp(c.spec), nullptr, &why)) << c.why;
        EXPECT_EQ(why, c.why);
    }
}

// --------------------------------------------------------- pixel operations

// A w x h image whose pixel at (x, y) reads x | y << 8 | 0xFF000000.
Pixels numbered(int32_t w, int32_t h) {
    std::vector<uint32_t> argb;
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) argb.push_back(0xFF000000u | uint32_t(x) | uint32_t(y) << 8);
    return make_pixels(w, h, argb);
}

// The (x, y) each pixel came from, as numbered() wrote it.
std::vector<std::pair<int, int>> origins(const Pixels& p) {
    std::vector<std::pair<int, int>> out;
    for (size_t i = 0; i < p.bgra.size(); i += 4) out.emplace_back(p.bgra[i], p.bgra[i + 1]);
    return out;
}

using Origins = std::vector<std::pair<int, int>>;

TEST(ImageCodecs, ScaleTakesThePixelUnderEachCentre) {
    const struct {
        int32_t from_w, from_h, to_w, to_h;
        Origins expected;
    } cases[] = {
        {3, 2, 6, 2, {{0, 0}, {0, 0}, {1, 0}, {1, 0}, {2, 0}, {2, 0}, {0, 1}, {0, 1}, {1, 1}, {1, 1}, {2, 1}, {2, 1}}},
        {4, 4, 2, 2, {{1, 1}, {3, 1}, {1, 3}, {3, 3}}},
        {3, 2, 1, 1, {{1, 1}}},
        {1, 1, 2, 3, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}},
        {3, 2, 3, 2, {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}},
    };
    for (const auto& c : cases) {
        Pixels out = scale_nearest(numbered(c.from_w, c.from_h), c.to_w, c.to_h);
        EXPECT_EQ(out.width, c.to_w);
        EXPECT_EQ(out.height, c.to_h);
        EXPECT_EQ(origins(out), c.expected) << c.from_w << "x" << c.from_h << " to " << c.to_w << "x" << c.to_h;
    }
    Pixels flat = scale_nearest(numbered(3, 2), 5, 0);
    EXPECT_EQ(flat.width, 5);
    EXPECT_EQ(flat.height, 0);
    EXPECT_TRUE(flat.bgra.empty());
    EXPECT_EQ(scale_nearest(numbered(3, 2), 70000, 1).width, 0);  // past the limits: nothing
}

TEST(ImageCodecs, FlipReversesTheRows) {
    EXPECT_EQ(origins(flip_vertical(numbered(2, 3))), (Origins{{0, 2}, {1, 2}, {0, 1}, {1, 1}, {0, 0}, {1, 0}}));
    EXPECT_TRUE(flip_vertical(Pixels{}).bgra.empty());
}

TEST(ImageCodecs, CropClipsTheRectangleToTheImage) {
    const struct {
        int32_t x, y, w, h;
        int32_t out_w, out_h;
        Origins expected;
    } cases[] = {
        {1, 1, 2, 1, 2, 1, {{1, 1}, {2, 1}}},
        {-1, -1, 2, 2, 1, 1, {{0, 0}}},
        {2, 0, 5, 5, 2, 3, {{2, 0}, {3, 0}, {2, 1}, {3, 1}, {2, 2}, {3, 2}}},
        {0, 0, 4, 3, 4, 3, origins(numbered(4, 3))},
        {5, 0, 2, 2, 0, 2, {}},
        {0, 0, -3, 2, 0, 2, {}},
        {0, 4, 2, 2, 2, 0, {}},
    };
    for (const auto& c : cases) {
        Pixels out = crop(numbered(4, 3), c.x, c.y, c.w, c.h);
        EXPECT_EQ(out.width, c.out_w) << c.x << "," << c.y << " " << c.w << "x" << c.h;
        EXPECT_EQ(out.height, c.out_h) << c.x << "," << c.y << " " << c.w << "x" << c.h;
        EXPECT_EQ(origins(out), c.expected) << c.x << "," << c.y << " " << c.w << "x" << c.h;
    }
}

TEST(ImageCodecs, PixelOperationsRefuseInconsistentInput) {
    Pixels wrong = numbered(3, 2);
    wrong.bgra.resize(5);
    EXPECT_EQ(scale_nearest(wrong, 2, 2).width, 0);
    EXPECT_EQ(flip_vertical(wrong).width, 0);
    EXPECT_EQ(crop(wrong, 0, 0, 1, 1).width, 0);
}

}  // namespace
