#include "memory/unicode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/system-throw.h"
#include "memory-fixture.h"
#include "memory/raise-error.h"

using namespace vum;

namespace {


// A heap block of exactly the given bytes, so that reading one byte past
// them is an overread the address sanitizer reports.
struct Exact {
    std::unique_ptr<uint8_t[]> bytes;
    int32_t size;
    explicit Exact(std::initializer_list<int> list) : bytes(new uint8_t[list.size()]), size(int32_t(list.size())) {
        int32_t i = 0;
        for (int b : list) bytes[i++] = uint8_t(b);
    }
    explicit Exact(const std::string& s) : bytes(new uint8_t[s.size()]), size(int32_t(s.size())) {
        std::memcpy(bytes.get(), s.data(), s.size());
    }
    const uint8_t* begin() const { return bytes.get(); }
    const uint8_t* end() const { return bytes.get() + size; }
};

std::string utf8(const std::u32string& text) {
    std::string out;
    char buffer[4];
    for (char32_t c : text) out.append(buffer, size_t(unicode::encode_utf8_char(uint32_t(c), buffer)));
    return out;
}

// A string buffer of the given unit holding text.
uint32_t make_text(const std::u32string& text, uint32_t unit) {
    uint32_t node = memory::alloc_series(int32_t(text.size()) + 1, int32_t(unit), 0);
    SeriesBuffer* b = nodes::buffer(node);
    for (size_t i = 0; i < text.size(); i++) unicode::put_unit(b->data(), unit, uint32_t(i), uint32_t(text[i]));
    b->tail = uint32_t(text.size()) * unit;
    return node;
}

std::u32string text_of(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    std::u32string out;
    for (uint32_t i = 0; i < b->count(); i++) out += char32_t(unicode::get_unit(b->head_ptr(), b->unit(), i));
    return out;
}

Cell string_cell(uint32_t node, uint32_t head = 0) {
    Cell c{};
    cell::make_series(&c, type_string, node, head);
    return c;
}

// ---- Decoding ----

TEST(UnicodeDecode, EveryScalarValueRoundTripsThroughBothDecoders) {
    char buffer[4];
    for (uint32_t cp = 0; cp <= 0x10FFFF; cp++) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        int n = unicode::encode_utf8_char(cp, buffer);
        ASSERT_EQ(n, unicode::utf8_length(cp));
        auto* p = reinterpret_cast<const uint8_t*>(buffer);
        int32_t decoded = 0;
        ASSERT_EQ(unicode::decode_utf8_char(p, p + n, &decoded), p + n);
        ASSERT_EQ(decoded, int32_t(cp));
        if (cp == 0xFFFE) continue;
        int32_t count = n;
        ASSERT_EQ(unicode::decode_utf8_checked(p, &count), int32_t(cp));
        ASSERT_EQ(count, n);
    }
}

TEST(UnicodeDecode, AutomatonConsumesTheMaximalSubpartWithoutReadingPastTheEnd) {
    struct Case {
        std::initializer_list<int> bytes;
        int32_t consumed;
    } cases[] = {
        {{0xC3, 0x41}, 1},              // the breaking byte starts the next character
        {{0x80}, 1},                    // a stray continuation byte
        {{0xC0, 0x80}, 1},              // overlong NUL: C0 starts nothing
        {{0xE0, 0x80, 0x80}, 1},        // overlong three-byte form
        {{0xED, 0xA0, 0x80}, 1},        // encoded surrogate
        {{0xF4, 0x90, 0x80, 0x80}, 1},  // above U+10FFFF
        {{0xF5, 0x80, 0x80, 0x80}, 1},
        {{0xFF}, 1},
        {{0xE9, 0x20}, 1},              // a Latin-1 byte before a space
        {{0xF0, 0x9F, 0x98, 0x41}, 3},  // a valid start broken off
        {{0xE2, 0x82}, 2},              // cut short by the end
        {{0xF0, 0x9F, 0x98}, 3},
    };
    for (const Case& c : cases) {
        Exact in(c.bytes);
        int32_t cp = 0;
        const uint8_t* after = unicode::decode_utf8_char(in.begin(), in.end(), &cp);
        EXPECT_EQ(cp, -1) << "first byte " << int(in.bytes[0]);
        EXPECT_EQ(after - in.begin(), c.consumed) << "first byte " << int(in.bytes[0]);
    }
}

// Every input path replaces what the automaton marks bad by U+FFFD: one per
// maximal subpart, and every good character kept.
TEST(UnicodeDecode, OneReplacementPerMaximalSubpart) {
    auto replaced = [](const std::string& bytes) {
        std::u32string out;
        auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
        const uint8_t* end = p + bytes.size();
        while (p < end) {
            int32_t cp;
            p = unicode::decode_utf8_char(p, end, &cp);
            out += cp < 0 ? U'\uFFFD' : char32_t(cp);
        }
        return out;
    };
    EXPECT_EQ(replaced("caf\xE9 au lait"), U"caf\uFFFD au lait");
    EXPECT_EQ(replaced("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
              U"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd");
    EXPECT_EQ(replaced("\xED\xA0\x80z"), U"\uFFFD\uFFFD\uFFFDz");
    EXPECT_EQ(replaced("\xF0\x9F\x98\x80\xF0\x9F\x98"), U"\U0001F600\uFFFD");
}

TEST(UnicodeDecode, CountingAndSkippingStopAtTheEnd) {
    Exact text(utf8(U"a\u00E9\u20AC\U0001F600") + "\xE2\x82");  // ends inside a sequence
    EXPECT_EQ(unicode::count_utf8_chars(text.begin(), text.end()), 5);
    EXPECT_EQ(unicode::count_utf8_chars(text.begin(), text.begin()), 0);
    EXPECT_EQ(unicode::skip_utf8_chars(text.begin(), text.end(), 3) - text.begin(), 6);
    EXPECT_EQ(unicode::skip_utf8_chars(text.begin(), text.end(), 100), text.end());
    // A range that ends inside the emoji counts it once.
    EXPECT_EQ(unicode::count_utf8_chars(text.begin(), text.begin() + 8), 4);
}

TEST(UnicodeDecode, LeadLength) {
    struct Case {
        int byte, length;
    } cases[] = {{0x00, 0}, {0x7F, 0}, {0x80, 0}, {0xBF, 0}, {0xC0, 2}, {0xDF, 2},
                 {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xF7, 4}, {0xFF, 4}};
    for (const Case& c : cases) EXPECT_EQ(unicode::utf8_lead_length(uint8_t(c.byte)), c.length) << c.byte;
}

TEST(UnicodeDecode, CheckedDecodingRejectsMalformedText) {
    std::initializer_list<int> malformed[] = {
        {0x80}, {0xBF, 0x41},                          // stray continuation bytes
        {0xC0, 0x80}, {0xC1, 0xBF},                    // overlong two-byte forms
        {0xE0, 0x80, 0x80}, {0xE0, 0x9F, 0xBF},        // overlong three-byte forms
        {0xF0, 0x80, 0x80, 0x80}, {0xF0, 0x8F, 0xBF, 0xBF},
        {0xED, 0xA0, 0x80}, {0xED, 0xB0, 0x80}, {0xED, 0xBF, 0xBF},  // surrogates
        {0xF4, 0x90, 0x80, 0x80},                      // above U+10FFFF
        {0xF5, 0x80, 0x80, 0x80}, {0xF8}, {0xFE}, {0xFF},
        {0xC3, 0x41}, {0xE2, 0x82, 0x41}, {0xF0, 0x9F, 0x98, 0x41},  // broken off
        {0xE2, 0x41},                                  // broken off before the end
        {0xEF, 0xBF, 0xBE},                            // U+FFFE
    };
    for (const auto& bytes : malformed) {
        Exact in(bytes);
        int32_t count = in.size;
        EXPECT_STREQ(raised([&] { unicode::decode_utf8_checked(in.begin(), &count); }), "invalid-utf8")
            << "first bytes " << int(in.bytes[0]) << " " << (in.size > 1 ? int(in.bytes[1]) : -1);
    }
}

TEST(UnicodeDecode, CheckedDecodingWaitsForTheRestOfACutSequence) {
    std::initializer_list<int> cut[] = {{0xC3}, {0xE2, 0x82}, {0xF0, 0x9F}, {0xF0, 0x9F, 0x98}, {0xE0}};
    for (const auto& bytes : cut) {
        Exact in(bytes);
        int32_t count = in.size;
        EXPECT_EQ(unicode::decode_utf8_checked(in.begin(), &count), -1);
        EXPECT_EQ(count, in.size);
    }
    int32_t none = 0;
    EXPECT_EQ(unicode::decode_utf8_checked(nullptr, &none), -1);
}

// ---- Loading UTF-8 ----

using UnicodeLoad = MemoryTest;

TEST_F(UnicodeLoad, ByteOrderMarkAndCutSequences) {
    struct Case {
        std::string bytes;
        std::u32string text;
        int32_t remainder;
    } cases[] = {
        {"\xEF\xBB\xBF", U"", 0},
        {"\xEF\xBB\xBF" "ab", U"ab", 0},
        {"a\xEF\xBB\xBF", U"a\uFEFF", 0},  // only a leading mark is skipped
        {"\xEF\xBB", U"", 2},              // a mark cut short is a cut sequence
        {"\xE2\x82", U"", 2},
        {"ab\xF0\x9F\x98", U"ab", 3},
        {"", U"", 0},
    };
    for (const Case& c : cases) {
        Exact in(c.bytes);
        int32_t remainder = -1;
        uint32_t node = unicode::load_utf8_buffer(in.begin(), in.size, 0, &remainder, false);
        EXPECT_EQ(text_of(node), c.text) << c.bytes;
        EXPECT_EQ(remainder, c.remainder) << c.bytes;
    }
}

TEST_F(UnicodeLoad, UnitGrowsWithTheWidestCharacter) {
    struct Case {
        std::u32string text;
        uint32_t unit;
    } cases[] = {
        {U"a\u00E9", 1},
        {U"a\u00E9\u20AC", 2},
        {U"a\u00E9\u20AC\U0001F600", 4},
        {U"\U0001F600a", 4},
        {U"\u00FF", 1},
        {U"\u0100", 2},
    };
    for (const Case& c : cases) {
        Exact in(utf8(c.text));
        uint32_t node = unicode::load_utf8_new(in.begin(), in.size);
        EXPECT_EQ(nodes::buffer(node)->unit(), c.unit);
        EXPECT_EQ(text_of(node), c.text);
    }
}

TEST_F(UnicodeLoad, LineFlagTurnsCarriageReturnsIntoLineFeeds) {
    Exact in("a\r\nb\rc\r");
    int32_t remainder = -1;
    EXPECT_EQ(text_of(unicode::load_utf8_buffer(in.begin(), in.size, 0, &remainder, true)), U"a\nb\nc\n");
    EXPECT_EQ(text_of(unicode::load_utf8_buffer(in.begin(), in.size, 0, &remainder, false)), U"a\r\nb\rc\r");
}

TEST_F(UnicodeLoad, TargetIsRefilledAndKeepsAWiderUnit) {
    uint32_t target = make_text(U"old text that is longer", 2);
    Exact ascii("new");
    EXPECT_EQ(unicode::load_utf8_buffer(ascii.begin(), ascii.size, target, nullptr, false), target);
    EXPECT_EQ(nodes::buffer(target)->unit(), 2u);
    EXPECT_EQ(text_of(target), U"new");

    uint32_t small = make_text(U"x", 1);
    Exact wide(utf8(U"\u20AC and \U0001F600 and more text than the buffer has room for"));
    Cell s = string_cell(small);
    unicode::load_utf8_into_string(wide.begin(), wide.size, &s, nullptr);
    EXPECT_EQ(nodes::buffer(small)->unit(), 4u);
    EXPECT_EQ(text_of(small), U"\u20AC and \U0001F600 and more text than the buffer has room for");
}

TEST_F(UnicodeLoad, InvalidTextRaisesAndLeavesTheTargetAlone) {
    uint32_t target = make_text(U"keep", 1);
    Exact bad("ok\xC0\x80");
    EXPECT_STREQ(raised([&] { unicode::load_utf8_buffer(bad.begin(), bad.size, target, nullptr, false); }),
                 "invalid-utf8");
    EXPECT_EQ(text_of(target), U"keep");
}

TEST_F(UnicodeLoad, SourceInsideAMovingSeriesIsFoundAgain) {
    gc::state.enabled = 1;
    gc::set_torture(1);
    std::string text = utf8(U"moving \u20AC text \U0001F600 with a line\r\nbreak");
    uint32_t source = memory::alloc_bytes(int32_t(text.size()));
    gc::ProtectNode keep_source(&source);
    SeriesBuffer* b = nodes::buffer(source);
    std::memcpy(b->data(), text.data(), text.size());
    b->tail = uint32_t(text.size());
    uint32_t target = make_text(U"a", 1);
    gc::ProtectNode keep_target(&target);
    int collections = gc::state.collections;

    unicode::load_utf8_buffer(nodes::buffer(source)->data(), int32_t(text.size()), target, nullptr, true, source);
    EXPECT_EQ(text_of(target), U"moving \u20AC text \U0001F600 with a line\nbreak");
    uint32_t fresh = unicode::load_utf16le(nullptr, 0, 0, false);
    gc::ProtectNode keep_fresh(&fresh);
    EXPECT_EQ(nodes::buffer(fresh)->count(), 0u);
    EXPECT_GT(gc::state.collections, collections);
    gc::set_torture(saved_torture);
}

// ---- Encoding UTF-8 ----

using UnicodeEncode = MemoryTest;

TEST_F(UnicodeEncode, LengthsAndTheLimitOfCodePoints) {
    struct Case {
        uint32_t cp;
        int length;
    } cases[] = {{0, 1}, {0x7F, 1}, {0x80, 2}, {0x7FF, 2}, {0x800, 3}, {0xFFFF, 3}, {0x10000, 4}, {0x10FFFF, 4}};
    for (const Case& c : cases) EXPECT_EQ(unicode::utf8_length(c.cp), c.length) << c.cp;
    char out[4];
    for (uint32_t bad : {0x110000u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(raised([&] { unicode::utf8_length(bad); }), "invalid-char");
        EXPECT_STREQ(raised([&] { unicode::encode_utf8_char_bounded(bad, out, 4); }), "invalid-char");
    }
    // The console's encoder writes a replacement character instead.
    EXPECT_EQ(unicode::encode_utf8_char(0x110000, out), 3);
    EXPECT_EQ(std::string(out, 3), "\xEF\xBF\xBD");
}

TEST_F(UnicodeEncode, BoundedCharacterWritesOnlyWhatFits) {
    char out[4] = {0, 0, 0, 0};
    EXPECT_EQ(unicode::encode_utf8_char_bounded(0x20AC, out, 2), 2);
    EXPECT_EQ(std::string(out, 3), std::string("\xE2\x82\0", 3));
    EXPECT_EQ(unicode::encode_utf8_char_bounded(0x20AC, out, 0), 0);
    EXPECT_EQ(unicode::encode_utf8_char_bounded(0x1F600, out, 9), 4);
}

TEST_F(UnicodeEncode, SizeOfRangeByUnit) {
    std::u32string text = U"a\u00E9\u20AC\U0001F600";
    for (uint32_t unit : {1u, 2u, 4u}) {
        std::u32string fitting;
        for (char32_t c : text)
            if (c <= (unit == 1 ? 0xFFu : unit == 2 ? 0xFFFFu : 0x10FFFFu)) fitting += c;
        uint32_t node = make_text(fitting, unit);
        SeriesBuffer* b = nodes::buffer(node);
        EXPECT_EQ(unicode::utf8_size_of_range(b->head_ptr(), b->tail_ptr(), unit), int64_t(utf8(fitting).size()));
    }
    uint32_t bad = make_text(U"a", 4);
    unicode::put_unit(nodes::buffer(bad)->data(), 4, 0, 0x110000);
    SeriesBuffer* b = nodes::buffer(bad);
    EXPECT_STREQ(raised([&] { unicode::utf8_size_of_range(b->head_ptr(), b->tail_ptr(), 4); }), "invalid-char");
}

TEST_F(UnicodeEncode, ScratchTextFromTheHeadWithLimitsAndLineBreaks) {
    gc::state.enabled = 1;
    std::u32string text = U"x\u00E9\n\u20AC\U0001F600";
    for (uint32_t unit : {1u, 2u, 4u}) {
        std::u32string fitting;
        for (char32_t c : text)
            if (unit == 4 || (unit == 2 && c <= 0xFFFF) || c <= 0xFF) fitting += c;
        gc::Local s(string_cell(make_text(fitting, unit), 1));
        int32_t length = -1;
        char* out = unicode::to_utf8_data(&s, &length);
        EXPECT_EQ(std::string(out), utf8(fitting.substr(1)));
        EXPECT_EQ(length, int32_t(utf8(fitting.substr(1)).size()));
        length = -1;
        out = unicode::to_utf8_part_data(&s, &length, true);
        std::string with_cr = utf8(fitting.substr(1));
        with_cr.insert(with_cr.find('\n'), "\r");
        EXPECT_EQ(std::string(out, size_t(length) + 1), with_cr + '\0');
        length = 2;
        out = unicode::to_utf8_data(&s, &length);
        EXPECT_EQ(std::string(out), utf8(fitting.substr(1, 2)));
        EXPECT_NE(s.w3, 0u);
    }
}

TEST_F(UnicodeEncode, ScratchIsReusedAndGrown) {
    Cell s = string_cell(make_text(U"ab", 1));
    int32_t length = -1;
    unicode::to_utf8_data(&s, &length);
    uint32_t scratch = s.w3;
    length = -1;
    unicode::to_utf16(&s, &length, false);
    EXPECT_EQ(s.w3, scratch);  // one scratch per cell for both forms
    Cell big = string_cell(make_text(std::u32string(5000, U'\u20AC'), 2));
    big.w3 = scratch;
    length = -1;
    char* out = unicode::to_utf8_data(&big, &length);
    EXPECT_EQ(length, 15000);
    EXPECT_EQ(big.w3, scratch);
    EXPECT_GE(nodes::buffer(scratch)->size, 15001u);
    EXPECT_EQ(out[15000], 0);
}

TEST_F(UnicodeEncode, IntoCallerBuffers) {
    Cell s = string_cell(make_text(U"a\u20ACb\U0001F600", 4));
    char out[16];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(unicode::encode_utf8_into(&s, out, -1, true), 9);
    EXPECT_EQ(std::string(out), utf8(U"a\u20ACb\U0001F600"));
    EXPECT_EQ(unicode::encode_utf8_into(&s, out, 2, false), 4);

    struct Case {
        int32_t room;
        bool nul;
        std::string text;
    } cases[] = {
        {16, true, utf8(U"a\u20ACb\U0001F600")},
        {8, false, utf8(U"a\u20ACb")},  // the emoji does not fit whole
        {5, true, utf8(U"a\u20ACb").substr(0, 4)},
        {3, false, "a"},
        {1, true, ""},
        {0, true, ""},
    };
    for (const Case& c : cases) {
        std::memset(out, 'z', sizeof out);
        int32_t n = unicode::encode_utf8_bounded(&s, out, c.room, -1, c.nul);
        EXPECT_EQ(std::string(out, size_t(n)), c.text) << c.room;
        if (c.nul && c.room > 0) {
            EXPECT_EQ(out[n], 0) << c.room;
        }
        if (c.room < 16) {
            EXPECT_EQ(out[c.room], 'z') << "wrote past the room of " << c.room;
        }
    }
}

TEST_F(UnicodeEncode, CodePointsBeyondUnicodeRaise) {
    uint32_t node = make_text(U"ab", 4);
    unicode::put_unit(nodes::buffer(node)->data(), 4, 1, 0x110000);
    Cell s = string_cell(node);
    int32_t length = -1;
    EXPECT_STREQ(raised([&] { unicode::to_utf8_data(&s, &length); }), "invalid-char");
    length = -1;
    EXPECT_STREQ(raised([&] { unicode::to_utf16(&s, &length, true); }), "invalid-char");
    char out[8];
    EXPECT_STREQ(raised([&] { unicode::encode_utf8_bounded(&s, out, 8, -1, true); }), "invalid-char");
}

TEST_F(UnicodeEncode, UnknownUnitIsAFatalError) {
    uint32_t node = memory::alloc_series(2, 16, 0);
    Cell s = string_cell(node);
    int32_t length = -1;
    EXPECT_EXIT(unicode::to_utf8_data(&s, &length), testing::ExitedWithCode(101), "");
}

// ---- UTF-16 ----

using UnicodeUtf16 = MemoryTest;

std::string utf16le(const std::u16string& units) {
    std::string out;
    for (char16_t u : units) {
        out += char(u & 0xFF);
        out += char(u >> 8);
    }
    return out;
}

TEST_F(UnicodeUtf16, UnitNeeded) {
    struct Case {
        std::u16string units;
        uint32_t unit;
    } cases[] = {{u"", 1}, {u"ab\u00FF", 1}, {u"a\u0100", 2}, {u"\uD7FF\uE000", 2},
                 {u"a\xDC00", 4}, {u"\xD83D\xDE00", 4}};
    for (const Case& c : cases) {
        Exact in(utf16le(c.units));
        EXPECT_EQ(unicode::utf16_unit_needed(in.begin(), int32_t(c.units.size())), c.unit);
    }
}

TEST_F(UnicodeUtf16, LoadingPairsLoneSurrogatesAndLines) {
    struct Case {
        std::u16string units;
        bool lines;
        std::u32string text;
        uint32_t unit;
    } cases[] = {
        {u"a\r\nb", false, U"a\r\nb", 1},
        {u"a\r\nb", true, U"a\nb", 1},
        {u"\u0416\r\n", true, U"\u0416\n", 2},
        {u"\u0416\r\n", false, U"\u0416\r\n", 2},
        {u"\xD83D\xDE00!", false, U"\U0001F600!", 4},
        {u"\r\xD83D\xDE00", true, U"\U0001F600", 4},
        {u"a\xDC00" u"b", false, U"a\xDC00" U"b", 4},  // lone low surrogate kept
        {u"a\xD800" u"b", false, U"a\xD800" U"b", 4},  // lone high surrogate kept
        {u"a\xD800", false, U"a\xD800", 4},            // high surrogate at the very end
        {u"", false, U"", 1},
    };
    for (const Case& c : cases) {
        Exact in(utf16le(c.units));
        uint32_t node = unicode::load_utf16le(in.begin(), int32_t(c.units.size()), 0, c.lines);
        EXPECT_EQ(text_of(node), c.text);
        EXPECT_EQ(nodes::buffer(node)->unit(), c.unit);
    }
    uint32_t target = make_text(U"\U0001F600\U0001F600\U0001F600", 4);
    Exact in(utf16le(u"ok"));
    EXPECT_EQ(unicode::load_utf16le(in.begin(), 2, target, false), target);
    EXPECT_EQ(text_of(target), U"ok");
    EXPECT_EQ(nodes::buffer(target)->unit(), 1u);
}

TEST_F(UnicodeUtf16, OutputWithPairsAndLineBreaks) {
    struct Case {
        std::u32string text;
        uint32_t unit;
        bool lines;
        std::u16string units;
    } cases[] = {
        {U"\U0001F600", 4, false, u"\xD83D\xDE00"},
        {U"a\n", 1, true, u"a\r\n"},
        {U"a\n", 1, false, u"a\n"},
        {U"\u0416\n", 2, false, u"\u0416\n"},
        {U"\u0416\n", 2, true, u"\u0416\r\n"},
        {U"\n\U00010000\n\U0010FFFF", 4, true, u"\r\n\xD800\xDC00\r\n\xDBFF\xDFFF"},
        {U"", 1, true, u""},
    };
    gc::state.enabled = 1;
    for (const Case& c : cases) {
        gc::Local s(string_cell(make_text(c.text, c.unit)));
        int32_t length = -1;
        uint16_t* out = unicode::to_utf16(&s, &length, c.lines);
        EXPECT_EQ(length, int32_t(c.units.size()));
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out), size_t(length) + 1), c.units + u'\0');
    }
    Cell s = string_cell(make_text(U"a\nb", 1));
    uint16_t* whole = unicode::to_utf16_whole(&s);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(whole)), u"a\r\nb");
    int32_t length = 1;
    unicode::to_utf16(&s, &length, true);
    EXPECT_EQ(length, 1);
}

TEST(UnicodeUtf16Char, EncodeAndAsciiWidening) {
    uint16_t out[2] = {0, 0};
    EXPECT_EQ(unicode::encode_utf16_char(0xFFFF, out), 1);
    EXPECT_EQ(out[0], 0xFFFF);
    EXPECT_EQ(unicode::encode_utf16_char(0x1F600, out), 2);
    EXPECT_EQ(out[0], 0xD83D);
    EXPECT_EQ(out[1], 0xDE00);
    out[0] = 7;
    EXPECT_EQ(unicode::encode_utf16_char(0x110000, out), 0);
    EXPECT_EQ(out[0], 7);

    uint8_t wide[8];
    std::memset(wide, 0xAA, sizeof wide);
    unicode::ascii_to_utf16("ab", wide);
    const uint8_t expected[] = {'a', 0, 'b', 0, 0, 0, 0xAA};
    EXPECT_EQ(std::memcmp(wide, expected, sizeof expected), 0);
}

TEST_F(UnicodeUtf16, Windows1251) {
    Exact in({0xCF, 0xF0, 0xE8, 0x98, 0x0D, 0x0A, 0x41, 0x0D});
    EXPECT_EQ(text_of(unicode::load_cp1251(in.begin(), in.size, 0, true)), U"\u041F\u0440\u0438\u0098\nA\n");
    EXPECT_EQ(text_of(unicode::load_cp1251(in.begin(), in.size, 0, false)), U"\u041F\u0440\u0438\u0098\r\nA\r");
    Exact latin({0x41, 0xA0, 0xA9});
    uint32_t node = unicode::load_cp1251(latin.begin(), latin.size, 0, false);
    EXPECT_EQ(nodes::buffer(node)->unit(), 1u);
    EXPECT_EQ(text_of(node), U"A\u00A0\u00A9");
}

// ---- Widening ----

using UnicodeWiden = MemoryTest;

TEST_F(UnicodeWiden, EveryCharacterIsKept) {
    std::u32string bytes;
    for (char32_t c = 0; c < 256; c++) bytes += c;
    std::u32string bmp = bytes + U"\u0100\u20AC\uFFFF";
    struct Case {
        SeriesBuffer* (*widen)(uint32_t);
        const std::u32string& text;
        uint32_t from, to;
    } cases[] = {
        {unicode::widen_1_to_2, bytes, 1, 2},
        {unicode::widen_1_to_4, bytes, 1, 4},
        {unicode::widen_2_to_4, bmp, 2, 4},
    };
    gc::state.enabled = 1;
    for (const Case& c : cases) {
        uint32_t node = make_text(c.text, c.from);
        gc::ProtectNode guard(&node);
        SeriesBuffer* b = c.widen(node);
        EXPECT_EQ(b, nodes::buffer(node));
        EXPECT_EQ(b->unit(), c.to);
        EXPECT_GE(b->size, b->tail + c.to);
        EXPECT_EQ(text_of(node), c.text);
    }
}

TEST_F(UnicodeWiden, HeadOffsetsAndEmptyBuffers) {
    uint32_t node = make_text(U"xyzabc", 1);
    nodes::buffer(node)->head = 3;  // "abc" from an odd offset
    unicode::widen_1_to_4(node);
    EXPECT_EQ(text_of(node), U"abc");
    EXPECT_EQ(nodes::buffer(node)->head % 4, 0u);

    uint32_t empty = make_text(U"", 2);
    unicode::widen_2_to_4(empty);
    EXPECT_EQ(nodes::buffer(empty)->unit(), 4u);
    EXPECT_EQ(nodes::buffer(empty)->count(), 0u);

    uint32_t wide = make_text(U"ab", 4);
    EXPECT_EQ(unicode::widen_1_to_2(wide), nodes::buffer(wide));
    EXPECT_EQ(nodes::buffer(wide)->unit(), 4u);  // never narrows
}

// ---- Display width ----

TEST(UnicodeWidth, ColumnsOfCharacters) {
    struct Case {
        uint32_t cp;
        int width, display;
    } cases[] = {
        {0, 0, 0},          {0x07, 1, 1},        {0x7F, 1, 1},        {0x9F, 1, 1},
        {'a', 1, 1},        {0x00A1, 1, 2},      {0x00AD, 1, 1},      {0x0300, 0, 0},
        {0x036F, 0, 0},     {0x0370, 1, 1},      {0x0600, 0, 0},      {0x06DD, 0, 0},
        {0x1160, 0, 0},     {0x11FF, 0, 0},      {0x1100, 2, 2},      {0x200B, 1, 1},
        {0x2614, 2, 2},     {0x302A, 0, 0},      {0x3029, 2, 2},      {0x4E00, 2, 2},
        {0xD7B0, 0, 0},     {0xFA6E, 2, 2},      {0xFF01, 2, 2},      {0xFFFD, 1, 2},
        {0x16FE4, 0, 0},    {0x1F600, 2, 2},     {0x20000, 2, 2},     {0x2FFFE, 1, 1},
        {0x3FFFD, 2, 2},    {0xE0100, 0, 0},     {0xE01F0, 1, 1},     {0x10FFFD, 1, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(unicode::char_width(c.cp), c.width) << std::hex << c.cp;
        EXPECT_EQ(unicode::display_width(c.cp), c.display) << std::hex << c.cp;
    }
}

TEST(UnicodeWidth, RangeSearchAndTables) {
    const uint32_t list[] = {10, 12, 20, 20, 30, 35};
    struct Case {
        uint32_t cp;
        bool in;
    } cases[] = {{9, false}, {10, true}, {12, true}, {13, false}, {19, false}, {20, true},
                 {21, false}, {30, true}, {35, true}, {36, false}, {0xFFFFFFFF, false}};
    for (const Case& c : cases) EXPECT_EQ(unicode::in_ranges(c.cp, list, 6), c.in) << c.cp;
    EXPECT_FALSE(unicode::in_ranges(5, list, 0));

    struct Table {
        const uint32_t* values;
        int32_t count;
    } tables[] = {{unicode::zero_width_ranges, unicode::zero_width_ranges_values},
                  {unicode::wide_ranges, unicode::wide_ranges_values},
                  {unicode::ambiguous_ranges, unicode::ambiguous_ranges_values}};
    for (const Table& t : tables) {
        for (int32_t i = 0; i < t.count; i += 2) {
            EXPECT_LE(t.values[i], t.values[i + 1]);
            if (i > 0) {
                EXPECT_LT(t.values[i - 1], t.values[i]);  // sorted, apart
            }
        }
    }
}

// ---- Case mapping ----

TEST(CaseMap, CharactersMapThroughTheTables) {
    struct Case {
        uint32_t cp;
        int upper;
        uint32_t mapped;
    } cases[] = {
        {'a', 1, 'A'},         {'A', 1, 'A'},          {'A', 0, 'a'},          {'1', 1, '1'},
        {0x00DF, 1, 0x00DF},   {0x0130, 0, 0x0069},    {0x0131, 1, 0x0049},    {0x017F, 1, 0x0053},
        {0x0149, 1, 0x0149},   {0x1F80, 1, 0x1F88},    {0x01C5, 1, 0x01C4},    {0x01C6, 1, 0x01C4},
        {0x01C5, 0, 0x01C6},   {0x03C2, 1, 0x03A3},    {0x2126, 0, 0x03C9},    {0x212A, 0, 0x006B},
        {0x1E9E, 0, 0x00DF},   {0x00FF, 1, 0x0178},    {0xFF5A, 1, 0xFF3A},    {0xFF3A, 0, 0xFF5A},
        {0xFB01, 1, 0xFB01},   {0x01F0, 1, 0x01F0},    {0x1F88, 1, 0x1F88},    {0x0390, 1, 0x0390},
        {0xFFFF, 1, 0xFFFF},   {0x10428, 1, 0x10400},  {0x10400, 0, 0x10428},  {0x1E943, 1, 0x1E921},
        {0x1E944, 1, 0x1E944}, {0x10427, 1, 0x10427},  {0x10FFFF, 0, 0x10FFFF}, {0x110000, 1, 0x110000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(case_map::map_char(c.cp, c.upper), c.mapped) << std::hex << c.cp;
        EXPECT_EQ(unicode::map_char(c.cp, c.upper), c.mapped) << std::hex << c.cp;
    }
    EXPECT_EQ(case_map::swap_char('a'), uint32_t('A'));
    EXPECT_EQ(case_map::swap_char('A'), uint32_t('a'));
    EXPECT_EQ(case_map::swap_char(0x10400), 0x10428u);
    EXPECT_EQ(case_map::upper_char(0x00DF), 0xDFu);
    EXPECT_EQ(case_map::upper_char(0x1E922), 0x1E900u);
}

using CaseMapConvert = MemoryTest;

TEST_F(CaseMapConvert, CharValues) {
    Cell c{};
    c.header = type_char;
    c.w2 = 0x00E9;
    EXPECT_EQ(case_map::convert_value(&c, nullptr, 1), &c);
    EXPECT_EQ(c.w2, 0x00C9u);
    case_map::convert_value(&c, nullptr, 0);
    EXPECT_EQ(c.w2, 0x00E9u);
}

TEST_F(CaseMapConvert, StringsFromTheHeadWithinThePart) {
    Cell integer{};
    Cell none{};
    cell::make_none(&none);
    struct Case {
        std::u32string text;
        uint32_t unit, head;
        int part;  // -1000: none given
        int upper;
        std::u32string result;
    } cases[] = {
        {U"Stra\u00DFe", 1, 0, -1000, 1, U"STRA\u00DFE"},  // one for one: ß has no single capital
        {U"abcd", 1, 1, 2, 1, U"aBCd"},
        {U"abcd", 1, 0, -3, 1, U"abcd"},            // a negative count changes nothing
        {U"abcd", 1, 2, 99, 1, U"abCD"},            // never past the tail
        {U"ABCD", 1, 9, -1000, 0, U"ABCD"},         // head past the tail: clamped, nothing to do
        {U"\u0130X", 2, 0, -1000, 0, U"ix"},
        {U"\U00010400\U00010401z", 4, 0, -1000, 0, U"\U00010428\U00010429z"},
    };
    for (const Case& c : cases) {
        Cell s = string_cell(make_text(c.text, c.unit), c.head);
        cell::make_integer(&integer, c.part);
        case_map::convert_value(&s, c.part == -1000 ? (c.head ? &none : nullptr) : &integer, c.upper);
        EXPECT_EQ(text_of(s.w2), c.result);
        EXPECT_EQ(nodes::buffer(s.w2)->unit(), c.unit);
        EXPECT_LE(s.w1, uint32_t(c.text.size()));
    }
}

TEST_F(CaseMapConvert, WideningWhenTheMappedCharacterDoesNotFit) {
    gc::state.enabled = 1;
    gc::Local s(string_cell(make_text(U"a\u00FF\u00B5b", 1)));
    case_map::convert_value(&s, nullptr, 1);
    EXPECT_EQ(nodes::buffer(s.w2)->unit(), 2u);
    EXPECT_EQ(text_of(s.w2), U"A\u0178\u039CB");
}

TEST_F(CaseMapConvert, PartAsAPositionOrAWrongValue) {
    uint32_t node = make_text(U"abcdef", 1);
    Cell s = string_cell(node, 1);
    Cell end = string_cell(node, 4);
    case_map::convert_value(&s, &end, 1);
    EXPECT_EQ(text_of(node), U"aBCDef");
    Cell before = string_cell(node, 0);
    case_map::convert_value(&s, &before, 1);
    EXPECT_EQ(text_of(node), U"aBCDef");

    Cell other_buffer = string_cell(make_text(U"abcdef", 1), 3);
    Cell other_type = end;
    other_type.header = type_file;
    Cell block{};
    cell::make_series(&block, type_block, memory::alloc_cells(1));
    for (const Cell* part : {&other_buffer, &other_type, &block})
        EXPECT_STREQ(raised([&] { case_map::convert_value(&s, part, 1); }), "invalid-refine-arg");
    EXPECT_EQ(text_of(node), U"aBCDef");
}

}  // namespace
