// Inflate and CRC-32 speed, run by bench/inflate-bench.py:
//
//     vum-bench-inflate STREAM SIZE
//
// STREAM is a zlib stream that inflates to SIZE bytes; it is decoded into a
// buffer of that size (best of five). Then CRC-32 runs over 256 MB. Each
// measure prints as "NAME SECONDS BYTES" on a line of its own.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "io/checksum.h"
#include "io/deflate.h"

using namespace vum;

namespace {

std::vector<uint8_t> read_file(const char* path) {
    std::vector<uint8_t> data;
    FILE* f = std::fopen(path, "rb");
    if (!f) return data;
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    return data;
}

template <typename Work>
double best_of_five(Work work) {
    double best = 1e30;
    for (int round = 0; round < 5; round++) {
        auto start = std::chrono::steady_clock::now();
        work();
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds < best) best = seconds;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ZLIB-STREAM SIZE\n", argv[0]);
        return 64;
    }
    std::vector<uint8_t> stream = read_file(argv[1]);
    std::vector<uint8_t> out(std::strtoull(argv[2], nullptr, 10));
    int status = 0;
    double inflate_seconds = best_of_five([&] {
        size_t size = out.size();
        status = compression::zlib_decompress(out.data(), &size, stream.data(), stream.size());
    });
    if (status != compression::ok) {
        std::fprintf(stderr, "zlib_decompress failed with %d\n", status);
        return 1;
    }
    std::printf("inflate %.6f %zu\n", inflate_seconds, out.size());

    std::vector<uint8_t> block(256u << 20);
    for (size_t i = 0; i < block.size(); i++) block[i] = uint8_t(i * 2654435761u >> 24);
    volatile uint32_t sink = 0;
    double crc_seconds = best_of_five([&] { sink = checksum::crc32(block.data(), block.size()); });
    std::printf("crc32 %.6f %zu\n", crc_seconds, block.size());
    return 0;
}
