#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/base-codecs.h"
#include "datatypes/binary.h"
#include "datatypes/string-text.h"
#include "memory/memory-manager.h"
#include "memory/series.h"
#include "memory/unicode.h"

using namespace vum;

namespace {

// ---- Codecs: no runtime needed ----

using Encoder = char* (*)(char*, const uint8_t*, int32_t);
using Decoder = bool (*)(const uint8_t*, int32_t, uint32_t, std::string&);

struct Codec {
    int32_t base;
    Encoder encode;
    Decoder decode;
};

const Codec codecs[] = {
    {2, binary::encode_base2, binary::decode_base2},
    {16, binary::encode_base16, binary::decode_base16},
    {58, binary::encode_base58, binary::decode_base58},
    {64, binary::encode_base64, binary::decode_base64},
};

std::string encode(const Codec& c, const std::string& bytes) {
    std::string out(size_t(binary::encoded_size(c.base, int64_t(bytes.size()))), '\0');
    char* end = c.encode(out.data(), reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
    EXPECT_LE(end - out.data(), int64_t(out.size())) << "base " << c.base << " overran its size";
    out.resize(size_t(end - out.data()));
    return out;
}

// The text in a string buffer's unit: each character widened to 1, 2 or 4
// bytes, as a string of that unit holds it.
std::vector<uint8_t> in_unit(const std::u32string& text, uint32_t unit) {
    std::vector<uint8_t> out(text.size() * unit);
    for (size_t i = 0; i < text.size(); i++) unicode::put_unit(out.data(), unit, uint32_t(i), text[i]);
    return out;
}

// Decodes the text at every unit that can hold it (a string keeps text in
// 1, 2 or 4 bytes per character); all units must agree. A refused text
// must leave the output as it was.
bool decode(const Codec& c, const std::u32string& text, std::string& out) {
    bool decided = false, answer = false;
    std::string first;
    for (uint32_t unit : {1u, 2u, 4u}) {
        bool fits = true;
        for (char32_t ch : text) fits = fits && (unit == 4 || uint32_t(ch) < (1u << (8 * unit)));
        if (!fits) continue;
        std::vector<uint8_t> units = in_unit(text, unit);
        std::string got = "kept";
        bool ok = c.decode(units.data(), int32_t(text.size()), unit, got);
        if (!ok) {
            EXPECT_EQ(got, "kept") << "base " << c.base << " unit " << unit;
        }
        if (!decided) {
            decided = true;
            answer = ok;
            first = got;
        } else {
            EXPECT_EQ(ok, answer) << "base " << c.base << " unit " << unit;
            EXPECT_EQ(got, first) << "base " << c.base << " unit " << unit;
        }
    }
    out = first.substr(4);
    return answer;
}

std::u32string wide(const std::string& ascii) { return std::u32string(ascii.begin(), ascii.end()); }

TEST(BaseCodecs, RoundTripsRandomBytesInEveryBase) {
    std::mt19937 gen(20240501);
    for (int trial = 0; trial < 300; trial++) {
        size_t n = trial < 40 ? size_t(trial) : size_t(gen() % 300);
        std::string bytes(n, '\0');
        // Some runs start with zero bytes: base 58 writes those apart.
        size_t zeros = trial % 5 == 0 ? std::min<size_t>(n, gen() % 4) : 0;
        for (size_t i = zeros; i < n; i++) bytes[i] = char(gen() & 0xFF);
        for (const Codec& c : codecs) {
            std::string text = encode(c, bytes);
            std::string back;
            ASSERT_TRUE(decode(c, wide(text), back)) << "base " << c.base << " refused its own text: " << text;
            ASSERT_EQ(back, bytes) << "base " << c.base << " text " << text;
        }
    }
}

TEST(BaseCodecs, KnownTexts) {
    struct Case {
        int32_t base;
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {
        {64, "", ""},
        {64, "f", "Zg=="},
        {64, "fo", "Zm8="},
        {64, "foo", "Zm9v"},
        {64, "foobar", "Zm9vYmFy"},
        {64, std::string("\xFB\xFF\xBF", 3), "+/+/"},
        {58, "Hello World!", "2NEpo7TZRRrLZSi2U"},
        {58, "hello", "Cn8eVZg"},
        {58, std::string("\0\0\0\1", 4), "1112"},
        {58, std::string("\0", 1), "1"},
        {58, std::string("\x00\x00\x28\x7f\xb4\xcd", 6), "11233QC4"},
        {16, std::string("\x00\xAB\x10", 3), "00AB10"},
        {2, "A\x80", "0100000110000000"},
    };
    const Codec* by_base[65] = {};
    for (const Codec& c : codecs) by_base[c.base] = &c;
    for (const Case& k : cases) {
        const Codec& c = *by_base[k.base];
        EXPECT_EQ(encode(c, k.bytes), k.text) << "base " << k.base;
        std::string back;
        EXPECT_TRUE(decode(c, wide(k.text), back)) << k.text;
        EXPECT_EQ(back, k.bytes) << k.text;
    }
}

TEST(BaseCodecs, RefusedTextsAnswerNothing) {
    struct Case {
        int32_t base;
        std::u32string text;
    };
    const Case cases[] = {
        {64, U"Y"},            // one digit holds no byte
        {64, U"YWJjZ"},        // nor does a last group of one
        {64, U"=YWJj"},        // padding before any digit
        {64, U"YW=J"},         // data after the end
        {64, U"YQ==YQ=="},     // a second text after the first
        {64, U"YW*J"},         // not in the alphabet
        {64, U"YW\u00E9J"},    // above 127
        {64, U"YW\U0001F600J"},
        {58, U"0"},            // 0, O, I and l are not digits
        {58, U"Cn8\u0100eVZg"},
        {16, U"414"},          // a digit without its pair
        {16, U"4G"},
        {16, U"\u00C11"},      // low seven bits would read "A"
        {16, U"\u01301"},
        {2, U"0100000"},       // seven bits
        {2, U"01000002"},
    };
    const Codec* by_base[65] = {};
    for (const Codec& c : codecs) by_base[c.base] = &c;
    for (const Case& k : cases) {
        std::string out;
        EXPECT_FALSE(decode(*by_base[k.base], k.text, out)) << "base " << k.base << " case " << &k - cases;
    }
}

TEST(BaseCodecs, SkipsSpaceAndComments) {
    const Codec& b64 = codecs[3];
    std::string out;
    ASSERT_TRUE(decode(b64, U"; heading\nZm9v ; trailing\n\tYm\rFy '", out));
    EXPECT_EQ(out, "foobar");
    ASSERT_TRUE(decode(b64, U"Zm9v;to the end without a line feed", out));
    EXPECT_EQ(out, "foo");
    const Codec& b16 = codecs[1];
    ASSERT_TRUE(decode(b16, U" 0a\x1F ; x\n FF", out));
    EXPECT_EQ(out, "\x0A\xFF");
}

TEST(BaseCodecs, EncodedSizeCoversLongInputs) {
    // enbase sizes with these; the encoder must never write past them.
    for (int64_t n : {0, 1, 2, 3, 31, 32, 33, 95, 96, 1000})
        for (const Codec& c : codecs) {
            std::string bytes(size_t(n), '\xFF');
            encode(c, bytes);
        }
    EXPECT_EQ(binary::encoded_size(10, 5), -1);
    EXPECT_GT(binary::encoded_size(2, 0x7FFFFFFF), int64_t(0x7FFFFFFF));
}

// ---- Byte helpers: the runtime's values ----

class BinaryTest : public DatatypeTest {
protected:
    static Cell* bytes(const std::string& b) {
        return binary::push_bytes(reinterpret_cast<const uint8_t*>(b.data()), int32_t(b.size()));
    }
    static Cell* text(const char* utf8) { return keep(string::from_utf8(utf8)); }
};

TEST_F(BinaryTest, CompareBytesInPrefixAndNormalMode) {
    using namespace actions;
    Cell* abc = bytes("abc");
    Cell* ab = bytes("ab");
    Cell* empty = bytes("");
    // Prefix mode: only the second's length counts.
    EXPECT_EQ(binary::compare_bytes(abc, ab, op_equal, true), 0);
    EXPECT_EQ(binary::compare_bytes(ab, abc, op_equal, true), -1);  // too short to hold it
    EXPECT_EQ(binary::compare_bytes(abc, empty, op_equal, true), 0);
    EXPECT_EQ(binary::compare_bytes(abc, empty, op_find, true), 0);
    EXPECT_EQ(binary::compare_bytes(abc, empty, op_lesser, true), 1);
    EXPECT_EQ(binary::compare_bytes(abc, text("ab"), op_equal, true), 0);
    EXPECT_EQ(binary::compare_bytes(bytes("h\xC3\xA9!"), text("hé"), op_equal, true), 0);  // text as UTF-8
    // Normal mode.
    EXPECT_EQ(binary::compare_bytes(ab, abc, op_equal, false), 1);
    EXPECT_EQ(binary::compare_bytes(ab, abc, op_lesser, false), -1);
    EXPECT_EQ(binary::compare_bytes(bytes("\x80"), bytes("\x7F"), op_lesser, false), 1);  // unsigned
    EXPECT_EQ(binary::compare_bytes(abc, abc, op_same, false), 0);
    EXPECT_EQ(binary::compare_bytes(abc, bytes("abc"), op_same, false), -1);
    Cell one = {type_integer, 0, 1, 0};
    EXPECT_EQ(binary::compare_bytes(abc, &one, op_equal, false), not_comparable);
}

TEST_F(BinaryTest, MatchAtAndByteInBitset) {
    Cell* b = bytes("\x03xyz");
    Cell c3 = {type_char, 0, 3, 0};
    Cell c4 = {type_char, 0, 4, 0};
    EXPECT_TRUE(binary::match_at(b, &c3));
    EXPECT_FALSE(binary::match_at(b, &c4));
    EXPECT_TRUE(binary::match_at(b, bytes("\x03x")));
    EXPECT_FALSE(binary::match_at(b, bytes("\x03xyz!")));
    Cell one = {type_integer, 0, 3, 0};
    EXPECT_FALSE(binary::match_at(b, &one));
    EXPECT_FALSE(binary::match_at(bytes(""), &c3));

    // Bits of bytes 0 to 15, first bit the highest: byte 3 is in, 9 is not;
    // bytes past the bits answer the complement flag.
    Cell* bits = keep({type_bitset, 0, memory::alloc_bytes(2), 0});
    uint8_t* p = series::alloc_tail_bytes(bits->w2, 2);
    p[0] = 0x10;
    p[1] = 0x00;
    EXPECT_TRUE(binary::byte_in_bitset(b, bits));
    EXPECT_FALSE(binary::byte_in_bitset(bytes("\x09"), bits));
    EXPECT_FALSE(binary::byte_in_bitset(bytes("\x20"), bits));
    memory::set_flags(bits->w2, series_flags::complemented);
    EXPECT_TRUE(binary::byte_in_bitset(bytes("\x20"), bits));
    EXPECT_FALSE(binary::byte_in_bitset(bytes(""), bits));
}

TEST_F(BinaryTest, WritersGrowAndCopyRunsFromTheirOwnBuffer) {
    Cell* b = bytes("abcdefghijklmnop");  // a full buffer
    ASSERT_EQ(nodes::buffer(b->w2)->size, 16u);
    b->w1 = 1;
    // The run lies in the buffer that grows.
    uint8_t* at = binary::insert_bytes(b, 1, binary::position_pointer(b), 3);
    EXPECT_EQ(at, nodes::buffer(b->w2)->head_ptr() + 2);
    b->w1 = 0;
    EXPECT_EQ(binary::to_bytes(b), "abbcdcdefghijklmnop");
    for (int i = 0; i < 100; i++) binary::append_bytes_raw(b->w2, binary::position_pointer(b), 7);
    EXPECT_EQ(binary::length_from_index(b), 19 + 7 * 100);
    EXPECT_EQ(binary::to_bytes(b).substr(19 + 7 * 99), "abbcdcd");

    Cell* block = B({});
    Cell* loaded = binary::load_bytes(reinterpret_cast<const uint8_t*>("xy"), 2, block);
    EXPECT_EQ(loaded, series::cells_head(block->w2));
    EXPECT_EQ(mold(*block), "[#{7879}]");
    EXPECT_EQ(binary::value_to_byte(keep({type_integer, 0, 0x1FF, 0})), 0xFF);
    EXPECT_EQ(error_id(caught([] { binary::value_to_byte(keep({type_none, 0, 0, 0})); })), "invalid-arg");
}

// Text types share string!'s make; a binary! target hands every spec that
// is not a size on to binary!'s own conversion.
TEST_F(BinaryTest, StringMakeOfABinaryTakesTheBytesOfTheSpec) {
    Cell* out = keep({type_none, 0, 0, 0});
    string::make(nullptr, text("h\xC3\xA9"), type_binary, out);
    EXPECT_EQ(mold(*out), "#{68C3A9}");
    string::make(nullptr, B({I(1), *text("a")}), type_binary, out);
    EXPECT_EQ(mold(*out), "#{0161}");
    Cell none = {type_none, 0, 0, 0};
    EXPECT_EQ(error_id(caught([&] { string::make(nullptr, &none, type_binary, out); })), "bad-to-arg");
}

}  // namespace
