// Deflate, zlib and gzip: the encoder's exact bytes, round trips, streams
// built bit by bit to reach each of the decoder's refusals, cut-short
// input, and buffers too small for the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "io/checksum.h"
#include "io/deflate.h"

using namespace vum;
using namespace vum::compression;

namespace {

using Bytes = std::vector<uint8_t>;
using Routine = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Method {
    const char* name;
    Routine compress;
    Routine decompress;
};
const Method methods[] = {{"deflate", deflate_compress, deflate_decompress},
                          {"zlib", zlib_compress, zlib_decompress},
                          {"gzip", gzip_compress, gzip_decompress}};

struct Result {
    int status;
    size_t size;
    Bytes out;
};

// Runs a routine into a buffer of exactly `capacity` bytes followed by a
// guard that must come back untouched.
Result run(Routine routine, const Bytes& in, size_t capacity) {
    constexpr size_t guard = 64;
    Bytes buffer(capacity + guard, 0xA5);
    size_t size = capacity;
    int status = routine(capacity ? buffer.data() : nullptr, &size, in.data(), in.size());
    for (size_t i = capacity; i < buffer.size(); i++)
        if (buffer[i] != 0xA5) ADD_FAILURE() << "wrote past the capacity of " << capacity;
    buffer.resize(capacity);
    if (status == ok) buffer.resize(size);
    return {status, size, buffer};
}

// A sizing pass, then a pass into a buffer of the size it gave. The frame
// encoders answer a capacity below their frame's size with an estimate.
Result run_sized(Routine routine, const Bytes& in) {
    Result sizing = run(routine, in, 0);
    if (sizing.status == ok) return sizing;
    Result r = run(routine, in, sizing.size);
    return r.status == too_small ? run(routine, in, r.size) : r;
}

// Deterministic data: xorshift bytes, and text with long repeated lines.
Bytes random_bytes(size_t n, uint64_t seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; i++) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        v[i] = uint8_t(seed >> 24);
    }
    return v;
}

Bytes text_with_repeats() {
    const char* words[] = {"the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog", "and", "runs"};
    std::string text;
    Bytes noise = random_bytes(4000, 99);
    for (size_t i = 0; text.size() < 200000; i++) {
        std::string line;
        for (size_t k = 0; k < 12; k++) line += std::string(words[(noise[(i * 12 + k) % noise.size()]) % 10]) + " ";
        text += line + "\n";
        if (i % 7 == 3) text += text.substr(text.size() / 3, 3000);  // a long repeat from far back
    }
    return bytes_of(text);
}

// Writes a deflate stream bit by bit: fields least significant bit first,
// Huffman codes most significant bit first.
class BitStream {
public:
    BitStream& bits(uint32_t value, unsigned count) {
        for (unsigned i = 0; i < count; i++) bit((value >> i) & 1);
        return *this;
    }
    BitStream& code(uint32_t code, unsigned length) {
        for (unsigned i = length; i-- > 0;) bit((code >> i) & 1);
        return *this;
    }
    BitStream& align() {
        while (filled_) bit(0);
        return *this;
    }
    BitStream& raw(const Bytes& b) {
        align();
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    Bytes finish() {
        align();
        return bytes_;
    }

private:
    void bit(unsigned b) {
        if (!filled_) bytes_.push_back(0);
        bytes_.back() |= uint8_t(b << filled_);
        filled_ = (filled_ + 1) % 8;
    }
    Bytes bytes_;
    unsigned filled_ = 0;
};

// The canonical codes for a set of lengths.
std::vector<uint32_t> canonical_codes(const std::vector<uint8_t>& lengths) {
    unsigned count[16] = {}, next[16] = {};
    for (uint8_t l : lengths) count[l]++;
    count[0] = 0;
    for (unsigned len = 1, code = 0; len < 16; len++) next[len] = code = (code + count[len - 1]) << 1;
    std::vector<uint32_t> codes(lengths.size());
    for (size_t s = 0; s < lengths.size(); s++)
        if (lengths[s]) codes[s] = next[lengths[s]]++;
    return codes;
}

// Fixed-code symbols.
void fixed_literal(BitStream& s, uint8_t b) {
    if (b < 144)
        s.code(0x30 + b, 8);
    else
        s.code(0x190 + b - 144, 9);
}
void fixed_litlen(BitStream& s, unsigned symbol) {
    if (symbol < 280)
        s.code(symbol - 256, 7);
    else
        s.code(0xC0 + symbol - 280, 8);
}

// A code-length symbol and its extra bits.
struct LengthSymbol {
    unsigned symbol;
    unsigned extra;
};

// A dynamic block header: counts, then the code-length code (by default a
// complete one over all 19 symbols), then the code-length symbols as given.
void dynamic_header(BitStream& s, bool final, unsigned hlit, unsigned hdist, const std::vector<LengthSymbol>& symbols,
                    std::vector<uint8_t> cl_lengths = {}) {
    static const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    if (cl_lengths.empty()) {
        cl_lengths.assign(19, 4);
        for (unsigned sym = 13; sym < 19; sym++) cl_lengths[sym] = 5;  // 13/16 + 6/32
    }
    s.bits(final, 1).bits(2, 2).bits(hlit - 257, 5).bits(hdist - 1, 5).bits(19 - 4, 4);
    for (unsigned i = 0; i < 19; i++) s.bits(cl_lengths[order[i]], 3);
    std::vector<uint32_t> codes = canonical_codes(cl_lengths);
    for (const LengthSymbol& ls : symbols) {
        s.code(codes[ls.symbol], cl_lengths[ls.symbol]);
        if (ls.symbol == 16) s.bits(ls.extra, 2);
        if (ls.symbol == 17) s.bits(ls.extra, 3);
        if (ls.symbol == 18) s.bits(ls.extra, 7);
    }
}

// The code-length symbols for a list of lengths, zero runs as code 18 or 17.
std::vector<LengthSymbol> length_symbols(const std::vector<uint8_t>& lengths) {
    std::vector<LengthSymbol> out;
    for (size_t i = 0; i < lengths.size();) {
        size_t run = 0;
        while (i + run < lengths.size() && lengths[i + run] == 0 && run < 138) run++;
        if (run >= 11) {
            out.push_back({18, unsigned(run - 11)});
        } else if (run >= 3) {
            out.push_back({17, unsigned(run - 3)});
        } else {
            out.push_back({lengths[i], 0});
            run = 1;
        }
        i += run;
    }
    return out;
}

// A small dynamic block: 'a', 'b', end and length 3 take two bits each; the
// distance code is a lone one-bit code for distance 1. The block holds 'a',
// 'b' and a match of 3 at distance 1: "abbbb". The refusal cases change
// its lengths or the way they are sent, keeping that content, so that the
// rule they break is all that is wrong with them.
struct DynamicBlock {
    std::vector<uint8_t> litlen = std::vector<uint8_t>(258, 0);
    std::vector<uint8_t> distance = {1};
    std::vector<LengthSymbol> symbols;  // default: derived from the lengths
    std::vector<uint8_t> code_length_lengths;  // default: complete over all 19

    DynamicBlock() { litlen['a'] = litlen['b'] = litlen[256] = litlen[257] = 2; }

    std::vector<uint8_t> all_lengths() const {
        std::vector<uint8_t> v = litlen;
        v.insert(v.end(), distance.begin(), distance.end());
        return v;
    }

    Bytes stream() const {
        BitStream s;
        dynamic_header(s, true, unsigned(litlen.size()), unsigned(distance.size()),
                       symbols.empty() ? length_symbols(all_lengths()) : symbols, code_length_lengths);
        std::vector<uint32_t> codes = canonical_codes(litlen);
        for (unsigned sym : {unsigned('a'), unsigned('b'), 257u}) s.code(codes[sym], litlen[sym]);
        s.code(canonical_codes(distance)[0], distance[0]);
        s.code(codes[256], litlen[256]);
        return s.finish();
    }
};

Bytes small_dynamic_stream() { return DynamicBlock().stream(); }

// A fixed block that is not final ("ab"), then a final stored block: the
// decoder must give back the bytes its bit buffer read ahead.
Bytes fixed_then_stored(const Bytes& stored) {
    BitStream s;
    s.bits(0, 1).bits(1, 2);
    fixed_literal(s, 'a');
    fixed_literal(s, 'b');
    fixed_litlen(s, 256);
    s.bits(1, 1).bits(0, 2).align();
    uint16_t len = uint16_t(stored.size());
    s.raw({uint8_t(len), uint8_t(len >> 8), uint8_t(~len), uint8_t(~len >> 8)}).raw(stored);
    return s.finish();
}

TEST(Deflate, EncoderWritesTheExpectedBytes) {
    struct Case {
        Routine routine;
        const char* input;
        Bytes expected;
    };
    const Case cases[] = {
        {zlib_compress, "abc", {0x78, 0x01, 0x4B, 0x4C, 0x4A, 0x06, 0x00, 0x02, 0x4D, 0x01, 0x27}},
        {deflate_compress, "", {0x03, 0x00}},
        {gzip_compress, "", {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 4, 4, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        // The first three bytes are literals though they repeat; the fourth
        // starts a match of 5 at distance 1.
        {deflate_compress, "aaaaaaaa", {0x4B, 0x4C, 0x4C, 0x04, 0x03, 0x00}},
        // Too few bytes left for a match: all literals.
        {deflate_compress, "aaaa", {0x4B, 0x4C, 0x4C, 0x4C, 0x04, 0x00}},
    };
    for (const Case& c : cases) {
        Result r = run_sized(c.routine, bytes_of(c.input));
        EXPECT_EQ(r.status, ok) << c.input;
        EXPECT_EQ(r.out, c.expected) << c.input;
    }
}

TEST(Deflate, RoundTripsThroughEveryMethod) {
    struct Case {
        const char* name;
        Bytes data;
    };
    const Case cases[] = {
        {"empty", {}},
        {"one byte", {0x42}},
        {"64 KB of one byte", Bytes(65536, 0x61)},
        {"1 MB random", random_bytes(1 << 20, 7)},
        {"text with long repeats", text_with_repeats()},
    };
    for (const Case& c : cases) {
        for (const Method& m : methods) {
            Result packed = run_sized(m.compress, c.data);
            ASSERT_EQ(packed.status, ok) << c.name << " " << m.name;
            Result unpacked = run(m.decompress, packed.out, c.data.size());
            EXPECT_EQ(unpacked.status, ok) << c.name << " " << m.name;
            EXPECT_TRUE(unpacked.out == c.data) << c.name << " " << m.name;
        }
    }
    // Runs compress, and what the hash table finds is real.
    EXPECT_LT(run_sized(deflate_compress, Bytes(65536, 0x61)).size, 1000u);
}

TEST(Deflate, GzipDataIsStoredUnchanged) {
    Bytes inner = run_sized(gzip_compress, bytes_of("some text")).out;
    Result again = run_sized(gzip_compress, inner);
    EXPECT_EQ(again.status, ok);
    EXPECT_EQ(again.out, inner);
    // Two bytes of the magic are not gzip data yet.
    Result two = run_sized(gzip_compress, {0x1F, 0x8B});
    EXPECT_EQ(two.out.size(), 2u + 18u + 2u);
}

TEST(Deflate, DecodesStreamsOfEveryBlockKind) {
    struct Case {
        const char* name;
        Routine routine;
        Bytes stream;
        std::string expected;
    };
    const Case cases[] = {
        {"zlib header 78 9C with dynamic codes",
         zlib_decompress,
         {0x78, 0x9c, 0xcb, 0x48, 0xcd, 0xc9, 0xc9, 0x57, 0xc8, 0x40, 0x27, 0xb9, 0x00, 0x70, 0xbe, 0x08, 0xbb},
         "hello hello hello hello\n"},
        {"dynamic block, lone distance code", deflate_decompress, small_dynamic_stream(), "abbbb"},
        {"dynamic block, complete distance code", deflate_decompress, [] {
             DynamicBlock b;
             b.distance = {1, 2, 2};
             return b.stream();
         }(), "abbbb"},
        {"fixed then stored", deflate_decompress, fixed_then_stored(bytes_of("stored bytes, more than eight")),
         "abstored bytes, more than eight"},
        {"empty stored block", deflate_decompress, {0x01, 0x00, 0x00, 0xFF, 0xFF}, ""},
    };
    for (const Case& c : cases) {
        Result r = run(c.routine, c.stream, c.expected.size());
        EXPECT_EQ(r.status, ok) << c.name;
        EXPECT_EQ(r.out, bytes_of(c.expected)) << c.name;
    }
}

// A gzip member with the given flags and header fields around a stream.
Bytes gzip_member(uint8_t flags, const Bytes& fields, const std::string& text) {
    Bytes member = {0x1F, 0x8B, 0x08, flags, 0, 0, 0, 0, 0, 3};
    member.insert(member.end(), fields.begin(), fields.end());
    Bytes data = bytes_of(text);
    Bytes stream = run_sized(deflate_compress, data).out;
    member.insert(member.end(), stream.begin(), stream.end());
    uint32_t crc = checksum::crc32(data.data(), data.size());
    for (uint32_t v : {crc, uint32_t(data.size())})
        for (int i = 0; i < 4; i++) member.push_back(uint8_t(v >> (8 * i)));
    return member;
}

Bytes with_byte(Bytes b, size_t at, uint8_t value) {
    b.at(at) = value;
    return b;
}

TEST(Deflate, FramesAreChecked) {
    const Bytes zlib_ok = run_sized(zlib_compress, bytes_of("framed")).out;
    const Bytes gzip_ok = run_sized(gzip_compress, bytes_of("framed")).out;
    Bytes hcrc_fields = {};
    {
        Bytes header = {0x1F, 0x8B, 0x08, 0x02, 0, 0, 0, 0, 0, 3};
        uint32_t crc = checksum::crc32(header.data(), header.size());
        hcrc_fields = {uint8_t(crc), uint8_t(crc >> 8)};
    }
    struct Case {
        const char* name;
        Routine routine;
        Bytes input;
        int status;
    };
    const Case cases[] = {
        {"zlib as written", zlib_decompress, zlib_ok, ok},
        {"zlib wrong Adler-32", zlib_decompress, with_byte(zlib_ok, zlib_ok.size() - 1, zlib_ok.back() ^ 1), malformed},
        {"zlib check bits", zlib_decompress, with_byte(zlib_ok, 1, 0x02), malformed},
        {"zlib method 7", zlib_decompress, {0x77, 0x09, 0x03, 0, 0, 0, 0, 1}, malformed},
        {"zlib window bit 7", zlib_decompress, {0xF8, 0x00, 0x03, 0, 0, 0, 0, 1}, malformed},
        {"zlib preset dictionary", zlib_decompress, {0x78, 0x20, 0x03, 0, 0, 0, 0, 1}, malformed},
        {"zlib too short", zlib_decompress, {0x78, 0x01, 0x03, 0, 0}, malformed},
        {"zlib empty", zlib_decompress, {}, malformed},
        {"zlib data after the stream", zlib_decompress, {0x78, 0x01, 0x03, 0x00, 0x00, 0, 0, 0, 1}, malformed},
        {"gzip as written", gzip_decompress, gzip_ok, ok},
        {"gzip wrong CRC", gzip_decompress, with_byte(gzip_ok, gzip_ok.size() - 8, gzip_ok[gzip_ok.size() - 8] ^ 1),
         malformed},
        {"gzip size smaller than the output", gzip_decompress, with_byte(gzip_ok, gzip_ok.size() - 4, 5), malformed},
        {"gzip size larger than the output", gzip_decompress, with_byte(gzip_ok, gzip_ok.size() - 4, 7), malformed},
        {"gzip magic", gzip_decompress, with_byte(gzip_ok, 1, 0x8C), malformed},
        {"gzip method", gzip_decompress, with_byte(gzip_ok, 2, 7), malformed},
        {"gzip reserved flag", gzip_decompress, with_byte(gzip_ok, 3, 0x20), malformed},
        {"gzip too short", gzip_decompress, Bytes(gzip_ok.begin(), gzip_ok.begin() + 17), malformed},
        {"gzip name and comment", gzip_decompress, gzip_member(0x18, bytes_of(std::string("n\0c\0", 4)), "x"), ok},
        {"gzip extra field", gzip_decompress, gzip_member(0x04, {3, 0, 1, 2, 3}, "x"), ok},
        {"gzip header CRC", gzip_decompress, gzip_member(0x02, hcrc_fields, "x"), ok},
        {"gzip wrong header CRC", gzip_decompress, gzip_member(0x02, {hcrc_fields[0], uint8_t(~hcrc_fields[1])}, "x"),
         malformed},
        {"gzip extra field past the end", gzip_decompress, gzip_member(0x04, {0xFF, 0x00, 1}, "x"), malformed},
        {"gzip name without NUL", gzip_decompress,
         // every byte after the header is non-zero: no end to the name
         {0x1F, 0x8B, 0x08, 0x08, 0, 0, 0, 0, 0, 3, 'n', 'a', 'm', 'e', 1, 1, 1, 1, 1, 1, 1, 1}, malformed},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.routine, c.input, 64).status, c.status) << c.name;
}

// Streams that break one rule of the format each.
TEST(Deflate, MalformedStreamsAreRefused) {
    auto fixed = [](std::initializer_list<std::pair<unsigned, unsigned>> symbols) {
        // pairs of literal/length symbol and, after a length, distance code
        BitStream s;
        s.bits(1, 1).bits(1, 2);
        for (auto [sym, dist] : symbols) {
            if (sym < 256)
                fixed_literal(s, uint8_t(sym));
            else
                fixed_litlen(s, sym);
            if (sym > 256) s.code(dist, 5);
        }
        fixed_litlen(s, 256);
        return s.finish();
    };
    using Change = void (*)(DynamicBlock&);
    auto dynamic = [](Change change) {
        DynamicBlock block;
        change(block);
        return block.stream();
    };
    struct Case {
        const char* name;
        Bytes stream;
        int status;
    };
    const Case cases[] = {
        {"distance before the start", fixed({{'a', 0}, {257, 1}}), bad_distance},
        {"distance with no output", fixed({{257, 0}}), bad_distance},
        {"distance symbol 30", fixed({{'a', 0}, {257, 30}}), malformed},
        {"length symbol 286", fixed({{'a', 0}, {286, 0}}), malformed},
        {"block type 3", {0x07, 0x00}, malformed},
        {"stored LEN and NLEN disagree", {0x01, 0x05, 0x00, 0xFA, 0xFE, 'h', 'e', 'l', 'l', 'o'}, malformed},
        {"stored block longer than the input", {0x01, 0x05, 0x00, 0xFA, 0xFF, 'h', 'e', 'l'}, malformed},
        {"input after the final block", {0x03, 0x00, 0x00}, malformed},
        {"no final block", {0x02, 0x00}, malformed},
        {"empty input", {}, malformed},
        {"repeat with no previous length", dynamic([](DynamicBlock& b) {
             b.symbols = length_symbols(b.all_lengths());
             b.symbols.insert(b.symbols.begin(), {16, 0});
         }),
         malformed},
        {"repeat past the count", dynamic([](DynamicBlock& b) {
             // the second of two one-bit distance lengths sent as three
             b.distance = {1, 1};
             b.symbols = length_symbols(b.all_lengths());
             b.symbols.back() = {16, 0};
         }),
         malformed},
        {"over-subscribed literal code", dynamic([](DynamicBlock& b) { b.litlen['c'] = 2; }), malformed},
        {"incomplete literal code", dynamic([](DynamicBlock& b) { b.litlen[257] = 3; }), malformed},
        {"no end-of-block code", dynamic([](DynamicBlock& b) {
             b.litlen[256] = 0;
             b.litlen['c'] = 2;
         }),
         malformed},
        {"over-subscribed distance code", dynamic([](DynamicBlock& b) { b.distance = {1, 1, 1}; }), malformed},
        {"incomplete distance code", dynamic([](DynamicBlock& b) { b.distance = {2, 2, 2}; }), malformed},
        {"287 literal/length codes", dynamic([](DynamicBlock& b) { b.litlen.resize(287); }), malformed},
        {"31 distance codes", dynamic([](DynamicBlock& b) { b.distance.resize(31); }), malformed},
        {"incomplete code-length code", dynamic([](DynamicBlock& b) {
             b.code_length_lengths.assign(19, 0);
             b.code_length_lengths[1] = b.code_length_lengths[2] = b.code_length_lengths[18] = 2;
         }),
         malformed},
        {"no code-length code",
         dynamic([](DynamicBlock& b) { b.code_length_lengths.assign(19, 0); }), malformed},
    };
    for (const Case& c : cases) EXPECT_EQ(run(deflate_decompress, c.stream, 64).status, c.status) << c.name;
}

TEST(Deflate, CutShortStreamsAreMalformed) {
    const Bytes text = text_with_repeats();
    struct Case {
        Routine routine;
        Bytes stream;
    };
    const Case cases[] = {
        {deflate_decompress, small_dynamic_stream()},
        {deflate_decompress, fixed_then_stored(bytes_of("stored bytes"))},
        {deflate_decompress, run_sized(deflate_compress, Bytes(text.begin(), text.begin() + 3000)).out},
        {zlib_decompress, run_sized(zlib_compress, bytes_of("zlib framed text, zlib framed text")).out},
        {gzip_decompress, gzip_member(0x18, bytes_of(std::string("name\0comment\0", 13)), "gzip framed")},
    };
    for (const Case& c : cases) {
        Result whole = run(c.routine, c.stream, 4096);
        ASSERT_EQ(whole.status, ok);
        for (size_t n = 0; n < c.stream.size(); n++) {
            // An exact-size copy, so that a read past it is caught.
            Bytes prefix(c.stream.begin(), c.stream.begin() + n);
            Result r = run(c.routine, prefix, 4096);
            // gzip reads the size from the last four bytes before anything
            // else: cut short, they may ask for more room than there is.
            bool asks_room = c.routine == gzip_decompress && r.status == too_small && r.size > 4096;
            EXPECT_TRUE(r.status == malformed || asks_room) << n << " of " << c.stream.size();
        }
    }
}

TEST(Deflate, SmallBuffersGetTheSizeNeeded) {
    const Bytes data = text_with_repeats();
    for (const Method& m : methods) {
        const Result packed = run_sized(m.compress, data);
        const size_t n = packed.out.size();
        // The frame encoders refuse a capacity below their frame outright.
        size_t frame = m.compress == zlib_compress ? 6 : m.compress == gzip_compress ? 18 : 0;
        for (size_t capacity : {size_t(0), size_t(1), frame, n / 2, n - 1}) {
            Result r = run(m.compress, data, capacity);
            if (capacity < frame) {
                EXPECT_EQ(r.status, malformed) << m.name << " " << capacity;
                EXPECT_EQ(r.size, data.size() + frame) << m.name << " " << capacity;
                continue;
            }
            EXPECT_EQ(r.status, too_small) << m.name << " " << capacity;
            EXPECT_EQ(r.size, n) << m.name << " " << capacity;
            EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), packed.out.begin())) << m.name << " " << capacity;
        }
        for (size_t capacity : {size_t(0), size_t(1), data.size() / 2, data.size() - 1}) {
            Result r = run(m.decompress, packed.out, capacity);
            EXPECT_EQ(r.status, too_small) << m.name << " " << capacity;
            EXPECT_EQ(r.size, data.size()) << m.name << " " << capacity;
            // gzip learns the size from its trailer and decodes nothing.
            if (m.decompress != gzip_decompress) {
                EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), data.begin())) << m.name << " " << capacity;
            }
        }
    }
}

}  // namespace
