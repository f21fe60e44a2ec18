// The deflate encoder: one fixed-Huffman block, matches found through a
// small hash table of recent positions. It trades ratio for speed and a
// fixed stack footprint, and its output depends on nothing but the input.
#include <array>
#include <cstring>

#include "io/deflate-tables.h"
#include "io/deflate.h"

namespace vum::compression {

namespace {

constexpr size_t bucket_count = 1024;
constexpr size_t bucket_slots = 4;
constexpr size_t min_match = 3;

// Reverses the low `length` bits: Huffman codes go out most significant
// bit first while everything else in the stream goes least significant
// first.
constexpr uint32_t reverse_bits(uint32_t code, unsigned length) {
    uint32_t r = 0;
    for (unsigned i = 0; i < length; i++, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

struct Code {
    uint16_t bits;  // already reversed
    uint8_t length;
};

// The fixed literal/length code, built by the canonical rule from the fixed
// lengths.
constexpr std::array<Code, 288> make_fixed_litlen() {
    std::array<Code, 288> codes{};
    unsigned count[10] = {};
    for (unsigned s = 0; s < 288; s++) count[format::fixed_litlen_length(s)]++;
    unsigned next[10] = {};
    for (unsigned len = 1, code = 0; len < 10; len++) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    for (unsigned s = 0; s < 288; s++) {
        unsigned len = format::fixed_litlen_length(s);
        codes[s] = {uint16_t(reverse_bits(next[len]++, len)), uint8_t(len)};
    }
    return codes;
}
constexpr std::array<Code, 288> fixed_litlen = make_fixed_litlen();

// Index into the length tables for each match length 3 to 258.
constexpr std::array<uint8_t, format::max_length + 1> make_length_index() {
    std::array<uint8_t, format::max_length + 1> index{};
    for (unsigned i = 0; i < format::length_symbols; i++) {
        unsigned top = i + 1 < format::length_symbols ? format::length_base[i + 1] : format::max_length + 1;
        for (unsigned len = format::length_base[i]; len < top; len++) index[len] = uint8_t(i);
    }
    return index;
}
constexpr std::array<uint8_t, format::max_length + 1> length_index = make_length_index();

// The distance symbol: two per power of two past the first four.
unsigned distance_symbol(uint32_t distance) {
    uint32_t x = distance - 1;
    if (x < 4) return x;
    unsigned k = 31 - unsigned(__builtin_clz(x));
    return 2 * k + ((x >> (k - 1)) & 1);
}

uint32_t hash_bucket(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x & (bucket_count - 1);
}

uint32_t three_bytes(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

// Bits go in least significant first; whole bytes are stored while they fit
// and only counted after that, so an overflow still measures the output.
class BitWriter {
public:
    BitWriter(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}

    // Up to 32 bits at a time.
    void put(uint32_t bits, unsigned count) {
        pending_ |= uint64_t(bits) << filled_;
        filled_ += count;
        while (filled_ >= 8) {
            byte(uint8_t(pending_));
            pending_ >>= 8;
            filled_ -= 8;
        }
    }

    void pad_to_byte() {
        if (filled_ > 0) byte(uint8_t(pending_));
        pending_ = 0;
        filled_ = 0;
    }

    size_t produced() const { return produced_; }

private:
    void byte(uint8_t b) {
        if (produced_ < capacity_) out_[produced_] = b;
        produced_++;
    }

    uint8_t* out_;
    size_t capacity_;
    size_t produced_ = 0;
    uint64_t pending_ = 0;
    unsigned filled_ = 0;
};

void put_literal(BitWriter& w, uint8_t byte) { w.put(fixed_litlen[byte].bits, fixed_litlen[byte].length); }

void put_match(BitWriter& w, unsigned length, uint32_t distance) {
    unsigned li = length_index[length];
    const Code& lc = fixed_litlen[257 + li];
    w.put(lc.bits, lc.length);
    w.put(length - format::length_base[li], format::length_extra[li]);
    unsigned ds = distance_symbol(distance);
    w.put(reverse_bits(ds, format::fixed_distance_bits), format::fixed_distance_bits);
    w.put(distance - format::distance_base[ds], format::distance_extra[ds]);
}

// Positions are kept in 32 bits; distances are taken modulo 2^32 so that
// past 4 GB of input a stale entry only costs a failed byte comparison.
// Every candidate is checked byte by byte, so an entry only ever costs or
// saves bytes of output, never correctness: position 0 reading as an empty
// slot loses at most one match.
using Table = uint32_t[bucket_count][bucket_slots];

// The length of the match for position p in the first usable slot of its
// bucket, with its distance; 0 when there is none.
unsigned find_match(const Table& table, const uint8_t* data, size_t length, size_t p, uint32_t* distance) {
    const uint32_t* bucket = table[hash_bucket(three_bytes(data + p))];
    for (size_t slot = 0; slot < bucket_slots; slot++) {
        uint32_t entry = bucket[slot];
        if (entry == 0) continue;
        uint32_t d = uint32_t(p) - entry;
        if (d == 0 || d >= format::window_size) continue;
        const uint8_t* candidate = data + p - d;
        if (std::memcmp(candidate, data + p, min_match) != 0) continue;
        size_t limit = length - p < format::max_length ? length - p : format::max_length;
        size_t n = min_match;
        while (n < limit && candidate[n] == data[p + n]) n++;
        *distance = d;
        return unsigned(n);
    }
    return 0;
}

}  // namespace

int deflate_compress(uint8_t* out, size_t* size, const uint8_t* data, size_t length) {
    Table table;
    std::memset(table, 0, sizeof table);
    BitWriter w(out, *size);
    w.put(0b011, 3);  // final block, fixed Huffman codes
    size_t p = 0;
    while (p < length) {
        uint32_t distance = 0;
        unsigned match = p >= min_match && length - p >= min_match ? find_match(table, data, length, p, &distance) : 0;
        if (match) {
            put_match(w, match, distance);
        } else {
            put_literal(w, data[p]);
            match = 1;
        }
        // The step's start goes into the bucket of its own bytes; the
        // bytes after the step only pick the slot. Where fewer than three
        // bytes follow the step no later position can look it up.
        size_t next = p + match;
        if (length - next >= min_match) {
            uint32_t v = three_bytes(data + next);
            table[hash_bucket(three_bytes(data + p))][((v >> 14) - v) & (bucket_slots - 1)] = uint32_t(p);
        }
        p = next;
    }
    w.put(fixed_litlen[256].bits, fixed_litlen[256].length);
    w.pad_to_byte();
    bool fits = w.produced() <= *size;
    *size = w.produced();
    return fits ? ok : too_small;
}

}  // namespace vum::compression
