// The LZ codec. Containers are built here from the format's codes with a
// bit writer of the test's own, so the decoder is checked against the
// format rather than against the encoder, and the encoder's exact output is
// checked for sources whose best matches can be worked out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "io/lz-codec.h"

using namespace vum;

namespace {

using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------ building streams

class BitStream {
public:
    void put(uint32_t value, unsigned n) {
        for (unsigned i = 0; i < n; i++) {
            if (count_ % 8 == 0) bytes_.push_back(0);
            bytes_.back() |= uint8_t(((value >> i) & 1) << (count_ % 8));
            count_++;
        }
    }

    void literal(uint8_t byte) {
        put(0, 1);
        put(byte, 8);
    }

    void match(uint32_t length, uint32_t distance) {
        put(1, 1);
        // Zero prefix bits, then value bits added to a base.
        struct Group {
            unsigned zeros, bits;
            uint32_t base;
        };
        static const Group groups[] = {{0, 2, 0}, {1, 2, 4}, {2, 2, 8}, {3, 3, 12}, {4, 5, 20}, {5, 9, 52}};
        const uint32_t n = length - 3;
        const Group* g = groups;
        while (g + 1 != std::end(groups) && n >= g[1].base) g++;
        put(0, g->zeros);
        if (g->zeros < 5) put(1, 1);
        put(n - g->base, g->bits);
        const uint32_t d = distance - 1;
        unsigned w = 2;
        while (d >= (2u << w)) w++;
        put(w - 2, 4);
        if (w == 2)
            put(d, 3);
        else
            put(d - (1u << w), w);
    }

    // One literal and then matches at distance 1 until `length` bytes
    // (1, or 4 and more).
    void run(uint8_t byte, uint32_t length) {
        literal(byte);
        for (uint32_t left = length - 1; left > 0;) {
            uint32_t n = std::min<uint32_t>(left, 566);
            if (left - n > 0 && left - n < 3) n -= 3;
            match(n, 1);
            left -= n;
        }
    }

    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
    size_t count_ = 0;
};

void put_le32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; i++) out.push_back(uint8_t(v >> (8 * i)));
}

struct Block {
    uint32_t length;
    Bytes stream;
};

// A container with Z counted from the blocks; U as given.
Bytes container(uint32_t u, const std::vector<Block>& blocks) {
    Bytes body;
    for (const Block& b : blocks) {
        put_le32(body, b.length);
        body.insert(body.end(), b.stream.begin(), b.stream.end());
    }
    Bytes out;
    put_le32(out, uint32_t(body.size()));
    put_le32(out, u);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// The first n bytes in an allocation of exactly n bytes, so the sanitizer
// build reports any read past them.
std::optional<Bytes> decompress_exact(const Bytes& data, size_t n) {
    const Bytes exact(data.begin(), data.begin() + std::ptrdiff_t(n));
    return lz::decompress(exact.data(), exact.size());
}

std::optional<Bytes> decompress(const Bytes& data) { return decompress_exact(data, data.size()); }

// A deterministic byte source: an LCG's high bits, over `alphabet` values.
Bytes noise(size_t n, uint32_t seed, unsigned alphabet = 256) {
    Bytes v(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        v[i] = uint8_t((seed >> 16) % alphabet);
    }
    return v;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// --------------------------------------------------------------------- decoder

TEST(LzDecompress, ZeroBlocksGiveZeroBytes) {
    const auto out = decompress(container(0, {}));
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->empty());
}

TEST(LzDecompress, OverlappingMatchRepeatsTheByte) {
    BitStream s;
    s.literal('q');
    s.match(566, 1);
    const auto out = decompress(container(567, {{567, s.bytes()}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, Bytes(567, 'q'));
}

TEST(LzDecompress, EveryDistanceCodeWidthReachesItsSource) {
    // A random prefix, then for each distance band's ends a 3-byte match
    // from that far back.
    const Bytes prefix = noise(262144, 7);
    BitStream s;
    for (uint8_t b : prefix) s.literal(b);
    Bytes expected = prefix;
    for (uint32_t distance : {1u, 8u, 9u, 16u, 17u, 4096u, 65536u, 65537u, 131073u, 262144u}) {
        s.match(3, distance);
        for (int i = 0; i < 3; i++) expected.push_back(expected[expected.size() - distance]);
    }
    const uint32_t length = uint32_t(expected.size());
    const auto out = decompress(container(length, {{length, s.bytes()}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, expected);
}

TEST(LzDecompress, BlockLengthsRunFromOneToOneMiB) {
    for (uint32_t length : {1u, lz::max_block_length}) {
        BitStream s;
        s.run('r', length);
        const auto out = decompress(container(length, {{length, s.bytes()}}));
        ASSERT_TRUE(out) << length;
        EXPECT_EQ(*out, Bytes(length, 'r')) << length;
    }
    BitStream over;
    over.run('r', lz::max_block_length + 1);
    EXPECT_FALSE(decompress(container(lz::max_block_length + 1, {{lz::max_block_length + 1, over.bytes()}})));
    EXPECT_FALSE(decompress(container(0, {{0, {}}})));
}

TEST(LzDecompress, MatchesStayInsideTheirBlock) {
    BitStream first;
    first.run('a', 10);
    struct Case {
        const char* what;
        std::vector<Block> blocks;
        uint32_t u;
    };
    BitStream starts_with_match, reaches_back, runs_past_length, at_start;
    starts_with_match.match(3, 1);
    reaches_back.literal('b');
    reaches_back.match(3, 2);  // the source would be the first block's last byte
    runs_past_length.literal('c');
    runs_past_length.match(5, 1);  // the block holds only 5 bytes
    at_start.literal('c');
    at_start.match(4, 1);  // reaches exactly the block's start and end
    const Case rejected[] = {
        {"first code a match", {{4, starts_with_match.bytes()}}, 4},
        {"into the earlier block", {{10, first.bytes()}, {4, reaches_back.bytes()}}, 14},
        {"past the block's length", {{5, runs_past_length.bytes()}}, 5},
    };
    for (const Case& c : rejected) EXPECT_FALSE(decompress(container(c.u, c.blocks))) << c.what;
    const auto out = decompress(container(15, {{10, first.bytes()}, {5, at_start.bytes()}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, text("aaaaaaaaaaccccc"));
}

TEST(LzDecompress, OutputMustComeToExactlyU) {
    BitStream s;
    s.run('u', 40);
    for (uint32_t u : {0u, 39u, 41u, 0xFFFFFFFFu})
        EXPECT_FALSE(decompress(container(u, {{40, s.bytes()}}))) << u;
    EXPECT_TRUE(decompress(container(40, {{40, s.bytes()}})));
}

TEST(LzDecompress, InputCutShortIsRejectedWithoutReadingPastIt) {
    BitStream s;
    s.run('t', 2000);
    s.literal('!');
    const Bytes whole = container(2001, {{2001, s.bytes()}});
    ASSERT_TRUE(decompress(whole));
    // Every cut, once with the header's Z (now past the bytes present) and
    // once with Z brought down to the cut: the container then ends inside
    // the first block's header or bit stream.
    for (size_t n = 0; n < whole.size(); n++) {
        EXPECT_FALSE(decompress_exact(whole, n)) << n;
        if (n < 8) continue;
        Bytes cut(whole.begin(), whole.begin() + std::ptrdiff_t(n));
        const uint32_t z = uint32_t(n - 8);
        std::memcpy(cut.data(), &z, 4);
        EXPECT_FALSE(decompress(cut)) << n;
    }
    // A last block header with no bit stream after it.
    EXPECT_FALSE(decompress(container(2002, {{2001, s.bytes()}, {1, {}}})));
    // Z one byte short, with that byte still present: Z bounds the reads.
    Bytes short_z = whole;
    const uint32_t z = uint32_t(whole.size() - 9);
    std::memcpy(short_z.data(), &z, 4);
    EXPECT_FALSE(decompress(short_z));
}

// --------------------------------------------------------------------- encoder

// A source and the codes its best matches come to, worked out by hand,
// written side by side.
struct Token {
    uint32_t length;  // 0: a literal
    uint32_t value;   // the literal byte, or the match distance
};

struct Script {
    explicit Script(const char* what) : what(what) {}

    const char* what;
    Bytes source;
    std::vector<Token> tokens;

    Script& literals(const Bytes& bytes) {
        for (uint8_t b : bytes) {
            source.push_back(b);
            tokens.push_back({0, b});
        }
        return *this;
    }
    Script& literals(const std::string& s) { return literals(text(s)); }
    // Distinct bytes from `first` on until the source is `size` long.
    Script& fill(uint8_t first, size_t size) {
        for (uint8_t b = first; source.size() < size; b++) literals(Bytes{b});
        return *this;
    }
    Script& match(uint32_t length, uint32_t distance) {
        for (uint32_t i = 0; i < length; i++) source.push_back(source[source.size() - distance]);
        tokens.push_back({length, distance});
        return *this;
    }
};

TEST(LzCompress, WritesTheExpectedCodes) {
    Bytes sixty_four(64);
    for (size_t i = 0; i < 64; i++) sixty_four[i] = uint8_t(i);
    const Script scripts[] = {
        Script("a run").literals("a").match(127, 1),
        Script("a run past the longest match").literals("a").match(566, 1).match(133, 1),
        Script("a repeat").literals(sixty_four).match(64, 64),
        // "abcd" 9 back beats "abc" 4 back while both are near.
        Script("longer near match").literals("abcdX").match(3, 5).literals("Y").match(4, 9).literals("Z").fill(
            0x80, 128),
        // With "abcd" 89 back, one more byte does not pay for the distance.
        Script("far match one byte longer")
            .literals("abcdX")
            .fill(0x80, 85)
            .match(3, 85)
            .literals("Y")
            .match(3, 4)
            .literals("dZ")
            .fill(0xD0, 128),
        // 70 back against 4 back: 70 / 16 is no more than 4, so one more
        // byte pays.
        Script("one byte longer, 70 back")
            .literals("abcdX")
            .literals(noise(61, 41))
            .match(3, 66)
            .literals("Y")
            .match(4, 70)
            .literals("Z")
            .fill(0x80, 128),
        // 485 back against 5 back: 485 / 16 = 30 needs one division by 8 to
        // come to 5 or less, so two more bytes pay.
        Script("two bytes longer, 485 back")
            .literals("abcdeX")
            .literals(noise(474, 31))
            .match(3, 480)
            .literals("YZ")
            .match(5, 485)
            .literals("W"),
        // 965 / 16 = 60 needs two divisions, so two more bytes do not pay.
        Script("two bytes longer, 965 back")
            .literals("abcdeX")
            .literals(noise(954, 51))
            .match(3, 960)
            .literals("YZ")
            .match(3, 5)
            .literals("deW"),
        // The nearest "abcd" stops a byte short; the chain's next one is
        // longer.
        Script("second chain candidate").literals("abcdefgh").match(4, 8).literals("XY").match(8, 14).fill(0x80,
                                                                                                           128),
    };
    for (const Script& c : scripts) {
        BitStream s;
        for (const Token& t : c.tokens) {
            if (t.length == 0)
                s.literal(uint8_t(t.value));
            else
                s.match(t.length, t.value);
        }
        const Bytes expected = container(uint32_t(c.source.size()), {{uint32_t(c.source.size()), s.bytes()}});
        Bytes dest(lz::max_compressed_size(c.source.size()));
        const int64_t n = lz::compress(c.source.data(), c.source.size(), dest.data(), dest.size());
        ASSERT_GT(n, 0) << c.what;
        dest.resize(size_t(n));
        EXPECT_EQ(dest, expected) << c.what;
    }
}

// Compresses into a buffer of the worst-case size, checks the round trip,
// and returns the container.
Bytes round_trip(const Bytes& source) {
    Bytes dest(lz::max_compressed_size(source.size()));
    const int64_t n = lz::compress(source.data(), source.size(), dest.data(), dest.size());
    EXPECT_GT(n, 0);
    if (n <= 0) return {};
    dest.resize(size_t(n));
    const auto out = decompress(dest);
    EXPECT_TRUE(out && *out == source);
    return dest;
}

TEST(LzCompress, RoundTrips) {
    struct Case {
        const char* what;
        Bytes source;
        double max_ratio;  // compressed / source size
    };
    std::string prose;
    for (int i = 0; prose.size() < 200000; i++)
        prose += "Line " + std::to_string(i % 97) + ": the quick brown fox jumps over the lazy dog, again.\n";
    // A random stretch repeated with a period inside the window, over three
    // whole blocks and part of a fourth: each block has to find its own
    // first copy.
    const Bytes unit = noise(200000, 3);
    Bytes periodic;
    while (periodic.size() < 3 * lz::max_block_length + 1000)
        periodic.insert(periodic.end(), unit.begin(), unit.end());
    periodic.resize(3 * lz::max_block_length + 1000);
    Bytes one_over(lz::max_block_length + 1, 0);
    one_over.back() = 1;

    const Case cases[] = {
        {"smallest source", noise(128, 1), 1.25},
        {"prose", text(prose), 0.1},
        {"periodic over four blocks", periodic, 0.3},
        {"a block and one byte", one_over, 0.01},
        {"small alphabet", noise(50000, 5, 4), 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes packed = round_trip(c.source);
        EXPECT_LE(double(packed.size()), c.max_ratio * double(c.source.size()));
    }
}

TEST(LzCompress, RefusesShortSourcesAndFullDestinations) {
    const Bytes short_source = noise(127, 2);
    Bytes dest(1000);
    EXPECT_EQ(lz::compress(short_source.data(), short_source.size(), dest.data(), dest.size()), -1);

    // Random bytes grow; they fit only the worst-case size.
    const Bytes random = noise(4096, 9);
    dest.assign(random.size(), 0);
    EXPECT_EQ(lz::compress(random.data(), random.size(), dest.data(), dest.size()), -1);
    const Bytes packed = round_trip(random);
    EXPECT_GT(packed.size(), random.size());

    // One byte short of what a container needs is refused, wherever that
    // byte falls.
    for (const Bytes& source : {random, Bytes(300, 'x')}) {
        const size_t needed = round_trip(source).size();
        dest.assign(needed - 1, 0);
        EXPECT_EQ(lz::compress(source.data(), source.size(), dest.data(), dest.size()), -1);
        dest.assign(needed, 0);
        EXPECT_EQ(lz::compress(source.data(), source.size(), dest.data(), dest.size()), int64_t(needed));
    }
}

// Reads a container's codes back as (length, distance) pairs, literals
// left out.
std::vector<Token> matches_in(const Bytes& container) {
    std::vector<Token> found;
    size_t at = 8;
    while (at < container.size()) {
        uint32_t length;
        std::memcpy(&length, container.data() + at, 4);
        at += 4;
        size_t bit = at * 8;
        auto take = [&](unsigned n) {
            uint32_t v = 0;
            for (unsigned i = 0; i < n; i++, bit++) v |= uint32_t((container[bit / 8] >> (bit % 8)) & 1) << i;
            return v;
        };
        static const unsigned bits[] = {2, 2, 2, 3, 5, 9};
        static const uint32_t bases[] = {0, 4, 8, 12, 20, 52};
        for (uint32_t done = 0; done < length;) {
            if (!take(1)) {
                take(8);
                done++;
                continue;
            }
            unsigned g = 0;
            while (g < 5 && !take(1)) g++;
            const uint32_t n = take(bits[g]) + bases[g] + 3;
            const unsigned w = take(4) + 2;
            const uint32_t d = w == 2 ? take(3) : take(w) + (1u << w);
            found.push_back({n, d + 1});
            done += n;
        }
        at = (bit + 7) / 8;
    }
    return found;
}

TEST(LzCompress, DropsThreeByteMatchesFartherThan64K) {
    // A small alphabet repeats many 3- and 4-byte strings at every distance.
    const Bytes source = noise(300000, 11, 48);
    const std::vector<Token> matches = matches_in(round_trip(source));
    size_t short_near = 0, long_far = 0;
    for (const Token& m : matches) {
        EXPECT_FALSE(m.length == 3 && m.value > 65536) << m.value;
        EXPECT_LE(m.value, 262144u);
        short_near += m.length == 3;
        long_far += m.length > 3 && m.value > 65536;
    }
    EXPECT_GT(short_near, 0u);
    EXPECT_GT(long_far, 0u);
}

TEST(LzCompress, MatchesReachBackExactlyTheWindow) {
    // A random stretch seen again `distance` bytes later, random bytes
    // between.
    for (uint32_t distance : {262144u, 262145u}) {
        const Bytes stretch = noise(600, 21);
        Bytes source = stretch;
        const Bytes between = noise(distance - stretch.size(), 22);
        source.insert(source.end(), between.begin(), between.end());
        source.insert(source.end(), stretch.begin(), stretch.end());
        size_t reaching = 0;
        for (const Token& m : matches_in(round_trip(source))) reaching += m.value == distance;
        EXPECT_EQ(reaching > 0, distance == 262144u) << distance;
    }
}

TEST(LzCompress, ChainSearchStopsAfter256Candidates) {
    // "abcdefgh", then `units` times "abcd" and a byte (each byte but 'e'
    // once, the last unit's unlike any other), then "abcdefgh" again: the
    // long match is the oldest "abcd", one chain step past the units.
    for (uint32_t units : {255u, 256u}) {
        Bytes source = text("abcdefgh");
        const auto add_unit = [&](uint8_t tail) {
            const Bytes unit = {'a', 'b', 'c', 'd', tail};
            source.insert(source.end(), unit.begin(), unit.end());
        };
        if (units == 256) add_unit(0);
        for (unsigned b = 0; b < 256; b++)
            if (b != 'e') add_unit(uint8_t(b));
        const size_t last_start = source.size();
        const Bytes tail = text("abcdefgh");
        source.insert(source.end(), tail.begin(), tail.end());
        const std::vector<Token> matches = matches_in(round_trip(source));
        ASSERT_GE(matches.size(), 2u);
        const Token before = matches[matches.size() - 2], last = matches.back();
        if (units == 255) {
            EXPECT_EQ(last.length, 8u);
            EXPECT_EQ(last.value, last_start);
        } else {
            // "abcd" from the last unit, then "efgh" from the start.
            EXPECT_EQ(before.length, 4u);
            EXPECT_EQ(before.value, 5u);
            EXPECT_EQ(last.length, 4u);
            EXPECT_EQ(last.value, last_start);
        }
    }
}

}  // namespace
