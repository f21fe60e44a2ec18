// The LZ codec on arbitrary bytes. The first byte picks what the rest
// becomes: a whole container; a container whose Z fits the input, so the
// blocks are reached; one block's bit stream with a length the input names;
// a source to compress as it is; or a program that builds a repetitive
// source (literals and copies from far back, over block bounds) to
// compress. The decoder must refuse or succeed without reading outside its
// input, and what it returns must be exactly U bytes. Every compressed
// source must come back unchanged; compress must succeed in the worst-case
// capacity and, in one a byte or two larger or smaller than the container,
// write the same container or refuse.
//
// Compressing sets up several megabytes of tables, which the sanitizers
// make slow, so the decoding modes are picked more often, and
// FUZZ_DECODE_ONLY=1 leaves the compressing modes out altogether.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/lz-codec.h"

using namespace vum;

namespace {

using Bytes = std::vector<uint8_t>;

void check(bool ok) {
    if (!ok) std::abort();
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

// Decodes from an allocation of exactly the container's size.
void decode(const Bytes& container) {
    const Bytes exact(container);
    const auto out = lz::decompress(exact.data(), exact.size());
    if (out) check(exact.size() >= 8 && out->size() == le32(exact.data() + 4));
}

void round_trip(const Bytes& source, uint8_t capacity_choice) {
    Bytes dest(lz::max_compressed_size(source.size()));
    const int64_t n = lz::compress(source.data(), source.size(), dest.data(), dest.size());
    if (source.size() < lz::min_source_size) {
        check(n == -1);
        return;
    }
    check(n > 8 && size_t(n) <= dest.size());
    dest.resize(size_t(n));
    const auto out = lz::decompress(dest.data(), dest.size());
    check(out && *out == source);

    // A smaller destination either holds the same container or is refused
    // (checked for a quarter of the choices, to save compressing twice).
    if (capacity_choice & 0x0C) return;
    const size_t capacity = size_t(n) - capacity_choice % 4 + 1;  // n + 1 ... n - 2
    Bytes small(capacity);
    const int64_t m = lz::compress(source.data(), source.size(), small.data(), small.size());
    if (capacity >= size_t(n))
        check(m == n && std::memcmp(small.data(), dest.data(), size_t(n)) == 0);
    else
        check(m == -1);
}

// Two bytes per step: an even first byte appends literals, an odd one
// copies up to 4 KiB from as far back as the second byte and the step
// count reach. Sources stop at 32 KiB, at 300 KB (past the window) for a
// few choices and at 1.2 MiB (past a block) for one: compressing a large
// source under the sanitizers takes a good part of a second.
Bytes build_source(const uint8_t* data, size_t size, uint8_t choice) {
    Bytes source;
    const size_t limit = choice == 0xFF ? lz::max_block_length * 6 / 5 : choice >= 0xF0 ? 300000 : 32768;
    for (size_t i = 0; i + 1 < size && source.size() < limit; i += 2) {
        const uint8_t op = data[i], arg = data[i + 1];
        if (!(op & 1) || source.empty()) {
            source.insert(source.end(), size_t(op >> 1) + 1, arg);
            continue;
        }
        const size_t distance = 1 + (size_t(arg) << (op >> 4)) % source.size();
        const size_t length = 3 + (size_t(op >> 1) & 7) * 512 + arg;
        for (size_t k = 0; k < length; k++) source.push_back(source[source.size() - distance]);
    }
    return source;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool decode_only = [] {
        const char* v = std::getenv("FUZZ_DECODE_ONLY");
        return v && std::strcmp(v, "1") == 0;
    }();
    if (size < 2) return 0;
    const uint8_t mode = data[0] % (decode_only ? 6 : 8), choice = data[1];
    const Bytes rest(data + 2, data + size);
    switch (mode) {
        case 0:
        case 1:
            decode(rest);
            break;
        case 2:
        case 3: {
            if (rest.size() < 8) return 0;
            Bytes container = rest;
            put_le32(container.data(), uint32_t(container.size() - 8));
            decode(container);
            break;
        }
        case 4:
        case 5: {
            // rest: a 24-bit block length (1 MiB + 1 reachable), then the
            // block's bit stream; U matches the block.
            if (rest.size() < 3) return 0;
            const uint32_t length = uint32_t(rest[0]) | uint32_t(rest[1]) << 8 | uint32_t(rest[2] & 0x1F) << 16;
            Bytes container(12);
            put_le32(container.data(), uint32_t(4 + rest.size() - 3));
            put_le32(container.data() + 4, length);
            put_le32(container.data() + 8, length);
            container.insert(container.end(), rest.begin() + 3, rest.end());
            decode(container);
            break;
        }
        case 6:
            round_trip(rest, choice);
            break;
        case 7:
            round_trip(build_source(rest.data(), rest.size(), choice), choice);
            break;
    }
    return 0;
}
