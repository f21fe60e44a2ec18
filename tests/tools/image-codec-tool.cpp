// The image codecs on standard input and output, for tests that hold them
// against another implementation:
//
//     vum-image-codec-tool decode < image > pixels
//     vum-image-codec-tool encode bmp|png|gif|jpeg|tiff < pixels > image
//
// "pixels" is the width and the height as 32-bit little-endian words, then
// straight BGRA rows top to bottom. A refusal prints the reason on standard
// error and exits with status 1 (64 for a usage error).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/image-codecs.h"

using namespace vum::imaging;

namespace {

std::vector<uint8_t> read_all(FILE* f) {
    std::vector<uint8_t> data;
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    return data;
}

uint32_t u32_at(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; i++) out->push_back(uint8_t(v >> (8 * i)));
}

int refuse(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
}

bool write_all(const std::vector<uint8_t>& bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
}

int decode_command() {
    const std::vector<uint8_t> input = read_all(stdin);
    Pixels pixels;
    std::string why;
    if (!decode(input.data(), input.size(), &pixels, &why)) return refuse(why);
    std::vector<uint8_t> out;
    put32(&out, uint32_t(pixels.width));
    put32(&out, uint32_t(pixels.height));
    out.insert(out.end(), pixels.bgra.begin(), pixels.bgra.end());
    return write_all(out) ? 0 : refuse("cannot write the output");
}

int encode_command(const char* name) {
    static const struct {
        const char* name;
        Format format;
    } formats[] = {{"bmp", Format::bmp}, {"png", Format::png}, {"gif", Format::gif}, {"jpeg", Format::jpeg},
                   {"tiff", Format::tiff}};
    const Format* format = nullptr;
    for (const auto& f : formats)
        if (std::strcmp(f.name, name) == 0) format = &f.format;
    if (!format) return 64;
    const std::vector<uint8_t> input = read_all(stdin);
    if (input.size() < 8) return refuse("no size");
    Pixels pixels;
    pixels.width = int32_t(u32_at(input.data()));
    pixels.height = int32_t(u32_at(input.data() + 4));
    pixels.bgra.assign(input.begin() + 8, input.end());
    std::vector<uint8_t> out;
    if (!encode(pixels, *format, &out)) return refuse("the encoder refused");
    return write_all(out) ? 0 : refuse("cannot write the output");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "decode") == 0) return decode_command();
    if (argc == 3 && std::strcmp(argv[1], "encode") == 0) return encode_command(argv[2]);
    std::fprintf(stderr, "usage: vum-image-codec-tool decode | encode bmp|png|gif|jpeg|tiff\n");
    return 64;
}
