// Arbitrary bytes through the decoders, and through the encoders and back.
// The first byte chooses: 0 raw deflate, 1 zlib, 2 gzip decoding, 3 a round
// trip through all three formats; the second gives a small capacity to try
// besides the full one. Each decoder runs a sizing pass, a pass into a
// buffer of exactly the size it gave and a pass into the small capacity; the
// three must agree (same result, same size, the small output a prefix of
// the full one). Buffers are exact heap allocations so that the sanitizer
// sees any access past them. A disagreement aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "io/deflate.h"

using namespace vum::compression;

namespace {

using Routine = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

// A gzip trailer may claim any size up to 4 GB; larger claims are only
// checked for their answer, not allocated.
constexpr size_t max_allocation = 64u << 20;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "inflate-fuzz: %s\n", what);
        std::abort();
    }
}

struct Run {
    int status;
    size_t size;
    std::unique_ptr<uint8_t[]> out;
};

Run run(Routine routine, const uint8_t* data, size_t length, size_t capacity) {
    Run r{0, capacity, capacity ? std::make_unique<uint8_t[]>(capacity) : nullptr};
    r.status = routine(r.out.get(), &r.size, data, length);
    return r;
}

// `lenient_check`: the frame may fail its checksum or length only once the
// data is decoded, after a sizing pass that measured the stream alone.
void check_decoder(Routine routine, const uint8_t* data, size_t length, size_t small, bool lenient_check) {
    Run sizing = run(routine, data, length, 0);
    if (sizing.status == malformed || sizing.status == bad_distance) {
        Run again = run(routine, data, length, small);
        require(again.status == sizing.status, "a refusal that depends on the capacity");
        return;
    }
    require(sizing.status == ok || sizing.status == too_small, "an unknown result");
    if (sizing.size > max_allocation) return;
    Run full = run(routine, data, length, sizing.size);
    if (full.status != ok) {
        require(lenient_check && (full.status == malformed || full.status == bad_distance),
                "the measured size did not fit");
        return;
    }
    require(full.size == sizing.size, "the size differs from the measured one");
    if (small >= full.size) return;
    Run part = run(routine, data, length, small);
    require(part.status == too_small && part.size == full.size, "a small buffer got no size");
    if (routine != gzip_decompress)
        require(std::memcmp(part.out.get(), full.out.get(), small) == 0, "a small buffer got other bytes");
}

// Compresses with a sizing pass first; the frame encoders answer a capacity
// below their frame with an estimate that may itself be short.
Run compress_sized(Routine routine, const uint8_t* data, size_t length) {
    Run r = run(routine, data, length, 0);
    for (int pass = 0; pass < 2 && r.status != ok; pass++) {
        require(r.status == too_small || r.status == malformed, "the encoder failed");
        r = run(routine, data, length, r.size);
    }
    require(r.status == ok, "the encoder's size did not fit");
    return r;
}

void check_round_trip(Routine compress, Routine decompress, const uint8_t* data, size_t length, size_t small) {
    Run packed = compress_sized(compress, data, length);
    // gzip data is passed through as it is and need not be valid.
    if (compress == gzip_compress && length > 2 && data[0] == 0x1F && data[1] == 0x8B && data[2] == 8) return;
    Run unpacked = run(decompress, packed.out.get(), packed.size, length);
    require(unpacked.status == ok && unpacked.size == length, "the round trip failed");
    require(length == 0 || std::memcmp(unpacked.out.get(), data, length) == 0, "the round trip changed the data");
    if (small < packed.size) {
        Run part = run(compress, data, length, small);
        require(part.status == too_small || part.status == malformed, "a small buffer fitted the encoder");
        if (part.status == too_small)
            require(part.size == packed.size && std::memcmp(part.out.get(), packed.out.get(), small) == 0,
                    "the encoder's small buffer differs");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const unsigned mode = data[0] % 4;
    const size_t small = data[1];
    data += 2;
    size -= 2;
    switch (mode) {
        case 0: check_decoder(deflate_decompress, data, size, small, false); break;
        case 1: check_decoder(zlib_decompress, data, size, small, true); break;
        case 2: check_decoder(gzip_decompress, data, size, small, true); break;
        default:
            check_round_trip(deflate_compress, deflate_decompress, data, size, small);
            check_round_trip(zlib_compress, zlib_decompress, data, size, small);
            check_round_trip(gzip_compress, gzip_decompress, data, size, small);
    }
    return 0;
}
