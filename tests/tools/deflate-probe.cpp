// Runs one of the compression routines on standard input so that other
// implementations can check it from outside:
//
//     vum-deflate-probe deflate|zlib|gzip compress|decompress < in > out
//
// A sizing pass first, then the real one into a buffer of the size it gave.
// The exit status is the routine's result code (64 for a usage error).
#include <cstdio>
#include <cstring>
#include <vector>

#include "io/deflate.h"

using namespace vum;

namespace {

using Routine = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

struct Method {
    const char* name;
    Routine compress;
    Routine decompress;
};

const Method methods[] = {
    {"deflate", compression::deflate_compress, compression::deflate_decompress},
    {"zlib", compression::zlib_compress, compression::zlib_decompress},
    {"gzip", compression::gzip_compress, compression::gzip_decompress},
};

std::vector<uint8_t> read_all(FILE* f) {
    std::vector<uint8_t> data;
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    Routine routine = nullptr;
    for (const Method& m : methods)
        if (argc == 3 && !std::strcmp(argv[1], m.name)) {
            if (!std::strcmp(argv[2], "compress")) routine = m.compress;
            if (!std::strcmp(argv[2], "decompress")) routine = m.decompress;
        }
    if (!routine) {
        std::fprintf(stderr, "usage: %s deflate|zlib|gzip compress|decompress < input > output\n", argv[0]);
        return 64;
    }
    std::vector<uint8_t> input = read_all(stdin);
    std::vector<uint8_t> output;
    size_t size = 0;
    int status = routine(nullptr, &size, input.data(), input.size());
    // The frame encoders refuse a capacity below their own size with an
    // estimate that may still be short; the second real pass then fits.
    if (status == compression::malformed && size > 0) status = compression::too_small;
    for (int pass = 0; pass < 2 && status == compression::too_small; pass++) {
        output.resize(size);
        status = routine(output.data(), &size, input.data(), input.size());
    }
    if (status == compression::ok && size > 0) std::fwrite(output.data(), 1, size, stdout);
    return status;
}
