#include "io/lz-codec.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace vum::lz {

namespace {

constexpr size_t header_size = 8;
constexpr size_t block_header_size = 4;
constexpr uint32_t min_match = 3;
constexpr uint32_t max_match = 566;

uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void store_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// ---------------------------------------------------------------- decoding

// Takes one byte at a time, and only when the bits held run short, so the
// bytes consumed are exactly the bit stream's bytes and the next block
// header starts right after them.
class BitReader {
public:
    BitReader(const uint8_t* at, const uint8_t* end) : at_(at), end_(end) {}

    // The next n bits (n <= 24), first bit lowest; false when the input
    // ends first.
    bool read(unsigned n, uint32_t& value) {
        while (count_ < n) {
            if (at_ == end_) return false;
            bits_ |= uint32_t(*at_++) << count_;
            count_ += 8;
        }
        value = bits_ & ((1u << n) - 1);
        bits_ >>= n;
        count_ -= n;
        return true;
    }

    const uint8_t* position() const { return at_; }

private:
    const uint8_t* at_;
    const uint8_t* end_;
    uint32_t bits_ = 0;
    unsigned count_ = 0;
};

// The length code's groups: after `group` zero prefix bits and a one, `bits`
// bits are added to `base`; after five zeros, nine bits are added to 52.
struct LengthGroup {
    unsigned bits;
    uint32_t base;
};
constexpr LengthGroup length_groups[] = {{2, 0}, {2, 4}, {2, 8}, {3, 12}, {5, 20}, {9, 52}};
constexpr unsigned length_prefixes = 5;

// n, where the match copies n + 3 bytes.
bool read_length_code(BitReader& in, uint32_t& n) {
    unsigned group = 0;
    for (; group < length_prefixes; group++) {
        uint32_t bit;
        if (!in.read(1, bit)) return false;
        if (bit) break;
    }
    uint32_t v;
    if (!in.read(length_groups[group].bits, v)) return false;
    n = v + length_groups[group].base;
    return true;
}

// d, where the match source starts d + 1 bytes back.
bool read_distance_code(BitReader& in, uint32_t& d) {
    uint32_t k;
    if (!in.read(4, k)) return false;
    const unsigned w = k + 2;
    if (w == 2) return in.read(3, d);
    uint32_t v;
    if (!in.read(w, v)) return false;
    d = v + (1u << w);
    return true;
}

// Decodes one block's bit stream into out[0, length).
bool decode_block(BitReader& in, uint8_t* out, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        uint32_t is_match;
        if (!in.read(1, is_match)) return false;
        if (!is_match) {
            uint32_t byte;
            if (!in.read(8, byte)) return false;
            out[done++] = uint8_t(byte);
            continue;
        }
        uint32_t n, d;
        if (!read_length_code(in, n) || !read_distance_code(in, d)) return false;
        const uint32_t count = n + min_match;
        if (d >= done || count > length - done) return false;
        const uint8_t* from = out + done - d - 1;
        for (uint32_t i = 0; i < count; i++) out[done + i] = from[i];
        done += count;
    }
    return true;
}

// ---------------------------------------------------------------- encoding

// Collects bits first bit lowest and writes whole bytes into the
// destination; running out of room is remembered, not an immediate stop,
// so the caller checks once per block.
class BitWriter {
public:
    BitWriter(uint8_t* dest, size_t capacity, size_t at) : dest_(dest), capacity_(capacity), at_(at) {}

    void write(uint32_t value, unsigned n) {
        bits_ |= uint64_t(value) << count_;
        count_ += n;
        while (count_ >= 8) {
            put(uint8_t(bits_));
            bits_ >>= 8;
            count_ -= 8;
        }
    }

    // Pads the last byte with zero bits.
    void flush() {
        if (count_ > 0) write(0, 8 - count_);
    }

    void write_le32(uint32_t v) {
        for (int i = 0; i < 4; i++) put(uint8_t(v >> (8 * i)));
    }

    size_t position() const { return at_; }
    bool overflowed() const { return overflowed_; }

private:
    void put(uint8_t byte) {
        if (at_ < capacity_)
            dest_[at_] = byte;
        else
            overflowed_ = true;
        at_++;
    }

    uint8_t* dest_;
    size_t capacity_;
    size_t at_;
    uint64_t bits_ = 0;
    unsigned count_ = 0;
    bool overflowed_ = false;
};

void write_literal(BitWriter& out, uint8_t byte) {
    out.write(0, 1);
    out.write(byte, 8);
}

void write_length_code(BitWriter& out, uint32_t n) {
    unsigned group = 0;
    while (group < length_prefixes && n >= length_groups[group + 1].base) group++;
    for (unsigned i = 0; i < group; i++) out.write(0, 1);
    if (group < length_prefixes) out.write(1, 1);
    out.write(n - length_groups[group].base, length_groups[group].bits);
}

void write_distance_code(BitWriter& out, uint32_t d) {
    unsigned w = 2;
    while (d >= (2u << w)) w++;
    out.write(w - 2, 4);
    if (w == 2)
        out.write(d, 3);
    else
        out.write(d - (1u << w), w);
}

void write_match(BitWriter& out, uint32_t length, uint32_t distance) {
    out.write(1, 1);
    write_length_code(out, length - min_match);
    write_distance_code(out, distance - 1);
}

// The match finder's tables. Rolling hashes of the 3 and 4 bytes at a
// position index one head table: the 3-byte heads first, then the 4-byte
// heads. Only the 4-byte heads are chained, through positions modulo the
// window.
constexpr uint32_t hash3_mask = 0x7FFFF;
constexpr uint32_t hash4_mask = 0xFFFFF;
constexpr size_t hash4_offset = hash3_mask + 1;
constexpr size_t head_entries = hash4_offset + hash4_mask + 1;
constexpr uint32_t window = 262144;
constexpr uint32_t far_short_match = 65536;
constexpr int max_chain_steps = 256;
// The block copy carries this many zero bytes after its end so the hashes
// can look four bytes ahead of any position.
constexpr size_t lookahead = 4;

uint32_t roll3(uint32_t h, uint8_t byte) { return (h * 128 + byte) & hash3_mask; }
uint32_t roll4(uint32_t h, uint8_t byte) { return (h * 32 + byte) & hash4_mask; }

struct Match {
    uint32_t length;
    uint32_t distance;
};

class MatchFinder {
public:
    // The tables are about 8 MB, so they live on the heap; they are left
    // uninitialised because start_block sets what is read: the heads and
    // the block copy. A chain entry is read only for a position entered
    // since.
    explicit MatchFinder(uint32_t longest_block)
        : head_(std::make_unique_for_overwrite<int32_t[]>(head_entries)),
          chain_(std::make_unique_for_overwrite<int32_t[]>(window)),
          block_(std::make_unique_for_overwrite<uint8_t[]>(longest_block + lookahead)) {}

    void start_block(const uint8_t* source, uint32_t length) {
        std::memset(head_.get(), 0xFF, head_entries * sizeof head_[0]);  // every entry -1
        std::memcpy(block_.get(), source, length);
        std::memset(block_.get() + length, 0, lookahead);
        length_ = length;
        h3_ = h4_ = 0;
        for (size_t i = 0; i < 3; i++) h3_ = roll3(h3_, block_[i]);
        for (size_t i = 0; i < 4; i++) h4_ = roll4(h4_, block_[i]);
    }

    // The best match at `pos`; a length below 3 means none.
    Match find(uint32_t pos) const {
        const uint32_t limit = std::min(max_match, length_ - pos);
        Match best{2, 0};
        const int32_t near = head_[h3_];
        if (in_window(near, pos)) {
            const uint32_t length = match_length(uint32_t(near), pos, limit);
            if (length > 2) best = {length, pos - uint32_t(near)};
        }
        int32_t candidate = head_[hash4_offset + h4_];
        for (int steps = 0; steps < max_chain_steps && best.length < limit && in_window(candidate, pos);
             steps++) {
            const uint32_t from = uint32_t(candidate);
            candidate = chain_[from % window];
            if (block_[from + best.length] != block_[pos + best.length]) continue;
            const uint32_t length = match_length(from, pos, limit);
            const uint32_t distance = pos - from;
            if (length > best.length + distance_penalty(distance, best.distance)) best = {length, distance};
        }
        return best;
    }

    // Enters `pos` in both tables and moves the hashes on to pos + 1.
    void insert(uint32_t pos) {
        head_[h3_] = int32_t(pos);
        int32_t& head4 = head_[hash4_offset + h4_];
        chain_[pos % window] = head4;
        head4 = int32_t(pos);
        h3_ = roll3(h3_, block_[pos + 3]);
        h4_ = roll4(h4_, block_[pos + 4]);
    }

    const uint8_t* block() const { return block_.get(); }

private:
    // A chain entry older than the window may have been overwritten by a
    // newer position sharing its slot; candidates stop there.
    static bool in_window(int32_t candidate, uint32_t pos) {
        return candidate >= 0 && uint32_t(candidate) < pos && pos - uint32_t(candidate) <= window;
    }

    uint32_t match_length(uint32_t from, uint32_t pos, uint32_t limit) const {
        uint32_t n = 0;
        while (n < limit && block_[from + n] == block_[pos + n]) n++;
        return n;
    }

    // A farther match costs more distance bits; it must be longer by one
    // byte for each factor of 8 by which its distance / 16 exceeds the
    // current best's distance.
    static uint32_t distance_penalty(uint32_t distance, uint32_t best_distance) {
        uint32_t scaled = distance / 16, k = 0;
        while (scaled > best_distance) {
            scaled /= 8;
            k++;
        }
        return k;
    }

    std::unique_ptr<int32_t[]> head_;
    std::unique_ptr<int32_t[]> chain_;
    std::unique_ptr<uint8_t[]> block_;
    uint32_t length_ = 0;
    uint32_t h3_ = 0, h4_ = 0;
};

void encode_block(MatchFinder& finder, const uint8_t* source, uint32_t length, BitWriter& out) {
    finder.start_block(source, length);
    out.write_le32(length);
    const uint8_t* block = finder.block();
    uint32_t pos = 0;
    while (pos < length) {
        Match m = finder.find(pos);
        if (m.length == min_match && m.distance > far_short_match) m.length = 0;
        uint32_t consumed = 1;
        if (m.length < min_match) {
            write_literal(out, block[pos]);
        } else {
            write_match(out, m.length, m.distance);
            consumed = m.length;
        }
        for (uint32_t i = 0; i < consumed; i++) finder.insert(pos + i);
        pos += consumed;
    }
    out.flush();
}

}  // namespace

std::optional<std::vector<uint8_t>> decompress(const uint8_t* container, size_t length) {
    if (length < header_size) return std::nullopt;
    const uint32_t z = load_le32(container);
    const uint32_t u = load_le32(container + 4);
    if (z > length - header_size) return std::nullopt;
    const uint8_t* blocks = container + header_size;
    const uint8_t* end = blocks + z;

    std::vector<uint8_t> out;
    // A forged U must not claim memory the input cannot fill: one input
    // byte yields at most a few hundred output bytes.
    out.reserve(std::min<size_t>(u, size_t(z) * 256));
    const uint8_t* at = blocks;
    while (at < end) {
        if (size_t(end - at) < block_header_size) return std::nullopt;
        const uint32_t block_length = load_le32(at);
        at += block_header_size;
        if (block_length == 0 || block_length > max_block_length) return std::nullopt;
        const size_t start = out.size();
        if (block_length > u - start) return std::nullopt;
        out.resize(start + block_length);
        BitReader in(at, end);
        if (!decode_block(in, out.data() + start, block_length)) return std::nullopt;
        at = in.position();
    }
    if (out.size() != u) return std::nullopt;
    return out;
}

size_t max_compressed_size(size_t size) {
    const size_t blocks = (size + max_block_length - 1) / max_block_length;
    return header_size + blocks * (block_header_size + 1) + size + size / 8 + 1;
}

int64_t compress(const uint8_t* source, size_t size, uint8_t* dest, size_t capacity) {
    if (size < min_source_size || size > UINT32_MAX || capacity < header_size) return -1;
    MatchFinder finder(uint32_t(std::min<size_t>(size, max_block_length)));
    BitWriter out(dest, capacity, header_size);
    for (size_t done = 0; done < size; done += max_block_length) {
        const uint32_t length = uint32_t(std::min<size_t>(max_block_length, size - done));
        encode_block(finder, source + done, length, out);
        if (out.overflowed()) return -1;
    }
    const size_t z = out.position() - header_size;
    if (z > UINT32_MAX) return -1;
    store_le32(dest, uint32_t(z));
    store_le32(dest + 4, uint32_t(size));
    return int64_t(out.position());
}

}  // namespace vum::lz
