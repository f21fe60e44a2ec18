// The deflate decoder: stored, fixed and dynamic blocks, Huffman codes
// decoded through two-level tables. Output goes only into the caller's
// buffer; once it is full, decoding goes on counting so that the caller
// learns the size it needs.
#include <bit>
#include <cstring>

#include "io/deflate-tables.h"
#include "io/deflate.h"

namespace vum::compression {

namespace {

// A table entry packs what a code stands for with the bits it takes:
//   bits 0-7   code bits to drop (for a subtable link: the root's bits)
//   bits 8-11  extra bits that follow the code (for a link: the
//              subtable's index bits)
//   bits 12-15 kind
//   bits 16-31 literal byte, length or distance base, or subtable offset
enum Kind : uint32_t { kind_literal = 0, kind_base = 1, kind_end = 2, kind_link = 3, kind_invalid = 4 };

constexpr uint32_t make_entry(Kind kind, uint32_t value, unsigned extra = 0, unsigned bits = 0) {
    return value << 16 | uint32_t(kind) << 12 | extra << 8 | bits;
}
inline unsigned entry_bits(uint32_t e) { return e & 0xFF; }
inline unsigned entry_extra(uint32_t e) { return (e >> 8) & 0xF; }
inline Kind entry_kind(uint32_t e) { return Kind((e >> 12) & 0xF); }
inline uint32_t entry_value(uint32_t e) { return e >> 16; }

constexpr uint32_t invalid_entry = make_entry(kind_invalid, 0);

constexpr unsigned max_code_bits = 15;
constexpr unsigned litlen_root = 10;
constexpr unsigned distance_root = 8;
constexpr unsigned code_length_root = 7;

// A complete code's subtable of s index bits holds at least s + 1 codes, so
// the subtables take at most 2^s / (s + 1) entries per code: 32/6 for 286
// literal/length codes under a 10-bit root, 128/8 for 30 distance codes
// under an 8-bit root.
constexpr size_t litlen_table_size = (1u << litlen_root) + 286 * 32 / 6 + 1;
constexpr size_t distance_table_size = (1u << distance_root) + 30 * 128 / 8;
constexpr size_t code_length_table_size = 1u << code_length_root;

constexpr unsigned max_litlen_codes = 286;
constexpr unsigned max_distance_codes = 30;

inline uint32_t low_bits(uint64_t bits, unsigned n) { return uint32_t(bits) & ((1u << n) - 1); }

uint32_t reverse_bits(uint32_t code, unsigned length) {
    uint32_t r = 0;
    for (unsigned i = 0; i < length; i++, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

uint32_t litlen_meaning(unsigned symbol) {
    if (symbol < 256) return make_entry(kind_literal, symbol);
    if (symbol == 256) return make_entry(kind_end, 0);
    unsigned i = symbol - 257;
    if (i < format::length_symbols) return make_entry(kind_base, format::length_base[i], format::length_extra[i]);
    return invalid_entry;  // 286 and 287 have fixed codes but no meaning
}

uint32_t distance_meaning(unsigned symbol) {
    if (symbol < format::distance_symbols)
        return make_entry(kind_base, format::distance_base[symbol], format::distance_extra[symbol]);
    return invalid_entry;  // 30 and 31, likewise
}

uint32_t code_length_meaning(unsigned symbol) { return make_entry(kind_literal, symbol); }

// Fills `table` with the canonical code the lengths give. Over-subscribed
// sets are refused, and incomplete ones too except a single one-bit code
// where `lone_code_allowed` (a block may use a single distance, or none).
// A set with no codes at all makes a table of invalid entries.
bool build_table(uint32_t* table, size_t table_size, unsigned root, const uint8_t* lengths, unsigned n,
                 uint32_t (*meaning)(unsigned), bool lone_code_allowed) {
    unsigned count[max_code_bits + 1] = {};
    for (unsigned s = 0; s < n; s++) count[lengths[s]]++;
    count[0] = 0;
    int left = 1;
    unsigned longest = 0;
    for (unsigned len = 1; len <= max_code_bits; len++) {
        left = left * 2 - int(count[len]);
        if (left < 0) return false;
        if (count[len]) longest = len;
    }
    const size_t root_size = size_t(1) << root;
    if (longest == 0 || left > 0) {
        if (longest != 0 && !(lone_code_allowed && longest == 1)) return false;
        for (size_t i = 0; i < root_size; i++) table[i] = invalid_entry;
        if (longest == 0) return true;
    }
    unsigned next_code[max_code_bits + 1] = {};
    for (unsigned len = 1, code = 0; len <= max_code_bits; len++) {
        code = (code + count[len - 1]) << 1;
        next_code[len] = code;
    }

    // Codes longer than the root share a subtable per root prefix, as wide
    // as the longest code under that prefix needs.
    uint8_t sub_bits[1u << litlen_root];
    uint16_t sub_offset[1u << litlen_root];
    bool has_long = longest > root;
    if (has_long) {
        std::memset(sub_bits, 0, root_size);
        std::memset(sub_offset, 0, root_size * sizeof(uint16_t));
        unsigned probe[max_code_bits + 1];
        std::memcpy(probe, next_code, sizeof probe);
        for (unsigned s = 0; s < n; s++) {
            unsigned len = lengths[s];
            if (len <= root) {
                if (len) probe[len]++;
                continue;
            }
            uint32_t prefix = reverse_bits(probe[len]++, len) & (root_size - 1);
            if (len - root > sub_bits[prefix]) sub_bits[prefix] = uint8_t(len - root);
        }
    }

    size_t used = root_size;
    for (unsigned s = 0; s < n; s++) {
        unsigned len = lengths[s];
        if (!len) continue;
        uint32_t rev = reverse_bits(next_code[len]++, len);
        uint32_t meaning_of = meaning(s);
        if (len <= root) {
            for (size_t i = rev; i < root_size; i += size_t(1) << len) table[i] = meaning_of | len;
            continue;
        }
        uint32_t prefix = rev & (root_size - 1);
        unsigned width = sub_bits[prefix];
        if (!sub_offset[prefix]) {
            if (used + (size_t(1) << width) > table_size) return false;
            sub_offset[prefix] = uint16_t(used);
            table[prefix] = make_entry(kind_link, uint32_t(used), width, root);
            used += size_t(1) << width;
        }
        uint32_t* sub = table + sub_offset[prefix];
        unsigned sub_len = len - root;
        for (size_t i = rev >> root; i < (size_t(1) << width); i += size_t(1) << sub_len) sub[i] = meaning_of | sub_len;
    }
    return true;
}

struct FixedTables {
    uint32_t litlen[litlen_table_size];
    uint32_t distance[distance_table_size];
};

FixedTables build_fixed_tables() {
    FixedTables t{};
    uint8_t lengths[288];
    for (unsigned s = 0; s < 288; s++) lengths[s] = uint8_t(format::fixed_litlen_length(s));
    build_table(t.litlen, litlen_table_size, litlen_root, lengths, 288, litlen_meaning, false);
    uint8_t distance_lengths[32];
    std::memset(distance_lengths, format::fixed_distance_bits, sizeof distance_lengths);
    build_table(t.distance, distance_table_size, distance_root, distance_lengths, 32, distance_meaning, false);
    return t;
}

const FixedTables& fixed_tables() {
    static const FixedTables tables = build_fixed_tables();
    return tables;
}

static_assert(std::endian::native == std::endian::little, "the bit reader loads little-endian words");

inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Bits are read least significant first into a 64-bit word. Past the end of
// the input the reader supplies zero bytes and counts them (`overrun`):
// consuming any of them means the stream was cut short. Keeping that check
// out of the refill lets the hot loop refill eight bytes at a time.
struct BitReader {
    const uint8_t* in;
    const uint8_t* end;
    uint64_t bits = 0;
    unsigned count = 0;
    size_t overrun = 0;
};

// Leaves at least 56 bits buffered. The fast path loads a whole word and
// keeps the whole bytes of it that fit; the bits above `count` then hold the
// next byte's low bits, which the next load ORs in again at the same place.
// It takes its state by reference so that the hot loop can keep it in
// registers.
__attribute__((always_inline)) inline void refill_bits(const uint8_t*& in, const uint8_t* end, uint64_t& bits,
                                                  unsigned& count, size_t& overrun) {
    if (end - in >= 8) {
        bits |= load_le64(in) << count;
        in += (63 - count) >> 3;
        count |= 56;
        return;
    }
    while (count < 56) {
        if (in < end)
            bits |= uint64_t(*in++) << count;
        else
            overrun++;
        count += 8;
    }
}

class Inflater {
public:
    Inflater(uint8_t* out, size_t capacity, const uint8_t* data, size_t length)
        : out_(out), capacity_(capacity) {
        r_.in = data;
        r_.end = data + length;
    }

    int run() {
        for (;;) {
            refill();
            if (truncated()) return malformed;
            unsigned final_block = take(1);
            unsigned type = take(2);
            if (truncated()) return malformed;
            int status = type == 0   ? stored_block()
                         : type == 1 ? huffman_block(fixed_tables().litlen, fixed_tables().distance)
                         : type == 2 ? dynamic_block()
                                     : int(malformed);
            if (status != ok) return status;
            if (final_block) break;
        }
        // Only the final byte's padding may be left.
        size_t left_bits = size_t(r_.end - r_.in) * 8 + r_.count - r_.overrun * 8;
        return left_bits < 8 ? ok : malformed;
    }

    size_t produced() const { return pos_; }

private:
    void refill() { refill_bits(r_.in, r_.end, r_.bits, r_.count, r_.overrun); }
    bool truncated() const { return r_.count < r_.overrun * 8; }

    // At most 32 bits, which must be buffered.
    uint32_t take(unsigned n) {
        uint32_t v = low_bits(r_.bits, n);
        r_.bits >>= n;
        r_.count -= n;
        return v;
    }

    size_t room() const { return pos_ < capacity_ ? capacity_ - pos_ : 0; }

    int stored_block() {
        unsigned drop = r_.count & 7;
        take(drop);
        // Give back the whole bytes still buffered, then read plainly.
        size_t buffered = r_.count / 8 - r_.overrun;
        r_.in -= buffered;
        r_.bits = 0;
        r_.count = 0;
        r_.overrun = 0;
        if (r_.end - r_.in < 4) return malformed;
        unsigned len = r_.in[0] | r_.in[1] << 8;
        unsigned nlen = r_.in[2] | r_.in[3] << 8;
        if (len != (~nlen & 0xFFFF)) return malformed;
        r_.in += 4;
        if (size_t(r_.end - r_.in) < len) return malformed;
        size_t stored = len < room() ? len : room();
        if (stored) std::memcpy(out_ + pos_, r_.in, stored);
        pos_ += len;
        r_.in += len;
        return ok;
    }

    int dynamic_block() {
        refill();
        unsigned litlen_count = take(5) + 257;
        unsigned distance_count = take(5) + 1;
        unsigned code_length_count = take(4) + 4;
        if (litlen_count > max_litlen_codes || distance_count > max_distance_codes) return malformed;

        uint8_t code_length_lengths[19] = {};
        for (unsigned i = 0; i < code_length_count; i++) {
            if (r_.count < 3) refill();
            code_length_lengths[format::code_length_order[i]] = uint8_t(take(3));
        }
        if (truncated()) return malformed;
        uint32_t code_length_table[code_length_table_size];
        if (!build_table(code_length_table, code_length_table_size, code_length_root, code_length_lengths, 19,
                         code_length_meaning, false))
            return malformed;

        uint8_t lengths[max_litlen_codes + max_distance_codes];
        const unsigned total = litlen_count + distance_count;
        for (unsigned i = 0; i < total;) {
            if (r_.count < code_length_root + 7) refill();
            uint32_t e = code_length_table[low_bits(r_.bits, code_length_root)];
            if (entry_kind(e) == kind_invalid) return malformed;
            take(entry_bits(e));
            unsigned symbol = entry_value(e);
            unsigned repeat = 1;
            uint8_t value = uint8_t(symbol);
            if (symbol == 16) {
                if (i == 0) return malformed;
                value = lengths[i - 1];
                repeat = 3 + take(2);
            } else if (symbol == 17) {
                value = 0;
                repeat = 3 + take(3);
            } else if (symbol == 18) {
                value = 0;
                repeat = 11 + take(7);
            }
            if (truncated() || repeat > total - i) return malformed;
            std::memset(lengths + i, value, repeat);
            i += repeat;
        }
        if (lengths[256] == 0) return malformed;  // no end-of-block code

        uint32_t litlen[litlen_table_size];
        uint32_t distance[distance_table_size];
        if (!build_table(litlen, litlen_table_size, litlen_root, lengths, litlen_count, litlen_meaning, true) ||
            !build_table(distance, distance_table_size, distance_root, lengths + litlen_count, distance_count,
                         distance_meaning, true))
            return malformed;
        return huffman_block(litlen, distance);
    }

    // The hot loop keeps the reader and the output position in locals: the
    // output is bytes, which the compiler must assume may alias members.
    int huffman_block(const uint32_t* litlen, const uint32_t* distance) {
        const uint8_t* in = r_.in;
        const uint8_t* const end = r_.end;
        uint64_t bits = r_.bits;
        unsigned count = r_.count;
        size_t overrun = r_.overrun;
        uint8_t* const out = out_;
        const size_t capacity = capacity_;
        size_t pos = pos_;
        // A match needs at most 258 bytes and the fast copies overshoot by
        // less than 16.
        constexpr size_t fast_room = format::max_length + 16;

        for (;;) {
            // 56 bits cover a length code with its extra bits (20) and a
            // distance code with its extra bits (28).
            refill_bits(in, end, bits, count, overrun);
            uint32_t e = litlen[low_bits(bits, litlen_root)];
            if (entry_kind(e) == kind_link) {
                bits >>= litlen_root;
                count -= litlen_root;
                e = litlen[entry_value(e) + low_bits(bits, entry_extra(e))];
            }
            bits >>= entry_bits(e);
            count -= entry_bits(e);
            if (__builtin_expect(overrun != 0, 0) && count < overrun * 8) return malformed;
            Kind kind = entry_kind(e);
            if (kind == kind_literal) {
                if (pos < capacity) out[pos] = uint8_t(entry_value(e));
                pos++;
                continue;
            }
            if (kind != kind_base) {
                if (kind == kind_end) break;
                return malformed;
            }
            unsigned extra = entry_extra(e);
            size_t length = entry_value(e) + low_bits(bits, extra);
            bits >>= extra;
            count -= extra;

            e = distance[low_bits(bits, distance_root)];
            if (entry_kind(e) == kind_link) {
                bits >>= distance_root;
                count -= distance_root;
                e = distance[entry_value(e) + low_bits(bits, entry_extra(e))];
            }
            bits >>= entry_bits(e);
            count -= entry_bits(e);
            if (entry_kind(e) != kind_base) return malformed;
            extra = entry_extra(e);
            size_t dist = entry_value(e) + low_bits(bits, extra);
            bits >>= extra;
            count -= extra;
            if (__builtin_expect(overrun != 0, 0) && count < overrun * 8) return malformed;
            if (dist > pos) return bad_distance;

            if (pos <= capacity && capacity - pos >= fast_room) {
                copy_match(out + pos, dist, length);
            } else {
                size_t stored = pos < capacity ? (capacity - pos < length ? capacity - pos : length) : 0;
                for (size_t i = 0; i < stored; i++) out[pos + i] = out[pos + i - dist];
            }
            pos += length;
        }
        r_.in = in;
        r_.bits = bits;
        r_.count = count;
        r_.overrun = overrun;
        pos_ = pos;
        return ok;
    }

    // Copies a match where the buffer has room for 16 bytes past its end.
    static void copy_match(uint8_t* dst, size_t dist, size_t length) {
        const uint8_t* src = dst - dist;
        uint8_t* const stop = dst + length;
        if (dist >= 16) {
            do {
                std::memcpy(dst, src, 16);
                dst += 16;
                src += 16;
            } while (dst < stop);
        } else if (dist >= 8) {
            do {
                std::memcpy(dst, src, 8);
                dst += 8;
                src += 8;
            } while (dst < stop);
        } else if (dist == 1) {
            std::memset(dst, *src, length);
        } else {
            // Short periods: byte by byte, each byte already written.
            while (dst < stop) *dst++ = *src++;
        }
    }

    uint8_t* out_;
    size_t capacity_;
    size_t pos_ = 0;
    BitReader r_;
};

}  // namespace

int deflate_decompress(uint8_t* out, size_t* size, const uint8_t* data, size_t length) {
    Inflater inflater(out, *size, data, length);
    int status = inflater.run();
    if (status != ok) return status;
    bool fits = inflater.produced() <= *size;
    *size = inflater.produced();
    return fits ? ok : too_small;
}

}  // namespace vum::compression
