#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "engine/lexer.h"
#include "memory/collector.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"

using namespace vum;

namespace {

class LexerTest : public DatatypeTest {
protected:
    // Loads text into `loaded` (a protected member, so the values survive
    // the allocations the test makes afterwards).
    const Cell& load(const std::string& text) {
        loaded = {type_none, 0, 0, 0};
        lexer::load_utf8(text.data(), int32_t(text.size()), &loaded);
        return loaded;
    }
    int32_t length() const { return block::length_from_head(&loaded); }
    Cell at(int32_t i) const { return series::cells_head(loaded.w2)[i]; }

    // The error loading text raises (none when it loads).
    Cell error_of(const std::string& text) {
        return caught([&] { load(text); });
    }
    static std::string arg_text(const Cell& e, error::Field field) {
        const Cell* a = error::field(&e, field);
        return string::is_text_kind(cell::type(a)) ? string::to_utf8(a) : std::string();
    }
    static int32_t arg_type(const Cell& e) {
        const Cell* a = error::field(&e, error::field_arg1);
        return cell::type(a) == type_datatype ? int32_t(a->w1) : -1;
    }

    void SetUp() override {
        DatatypeTest::SetUp();
        keep = std::make_unique<gc::Protect>(&loaded);
    }
    void TearDown() override {
        keep.reset();
        DatatypeTest::TearDown();
    }

    Cell loaded = {type_none, 0, 0, 0};
    std::unique_ptr<gc::Protect> keep;
};

TEST_F(LexerTest, PathsOfEveryKind) {
    load("a/b/c: 'a/b :a/b x/(1)/2");
    ASSERT_EQ(length(), 4);
    EXPECT_EQ(cell::type(&loaded), type_block);
    Cell set = at(0), lit = at(1), get = at(2), mixed = at(3);
    EXPECT_EQ(cell::type(&set), type_set_path);
    EXPECT_EQ(block::length_from_head(&set), 3);
    EXPECT_EQ(cell::type(&lit), type_lit_path);
    EXPECT_EQ(cell::type(&get), type_get_path);
    EXPECT_EQ(block::length_from_head(&get), 2);
    EXPECT_EQ(cell::type(&mixed), type_path);
    EXPECT_EQ(cell::type(&series::cells_head(mixed.w2)[1]), type_paren);
    EXPECT_EQ(mold(loaded), "[a/b/c: 'a/b :a/b x/(1)/2]");
}

TEST_F(LexerTest, BadPathsAreSyntaxErrors) {
    for (const char* text : {"a/", "a/ b", "a/b:c", "'a/b:"}) {
        Cell e = error_of(text);
        EXPECT_EQ(cell::type(&e), type_error) << text;
    }
}

TEST_F(LexerTest, UnclosedBlockReportsWhereItOpened) {
    Cell e = error_of("x\n[1 2\n3");
    EXPECT_EQ(error_id(e), "missing");
    EXPECT_EQ(arg_text(e, error::field_arg1), "]");
    EXPECT_EQ(arg_text(e, error::field_arg2), "[1 2");
    EXPECT_EQ(arg_text(e, error::field_arg3), "(line 2)");

    e = error_of("(a");
    EXPECT_EQ(arg_text(e, error::field_arg1), ")");
}

TEST_F(LexerTest, MismatchedAndStrayClosersReportAtOnce) {
    struct Case {
        const char* text;
        const char* expected;
    };
    for (const Case& c : {Case{"1 ] 2 [", "["}, Case{")", "("}, Case{"[a (b] c)", ")"}, Case{"(a]", ")"}}) {
        Cell e = error_of(c.text);
        EXPECT_EQ(error_id(e), "missing") << c.text;
        EXPECT_EQ(arg_text(e, error::field_arg1), c.expected) << c.text;
    }
}

TEST_F(LexerTest, LoadingTwiceAndRoundTripGiveEqualBlocks) {
    const char* samples[] = {
        "a b: :c 'd /e #f",
        "1 -2 +3 12'345 0 -2147483648 2147483647",
        "1.5 -0.25 1e10 .5 1.5E-3 1.#INF -1.#inf",
        "\"text\" \"a^/b\" \"tab^-x\" {braced {nested} text} \"\"",
        "{multi\nline}",
        "#\"a\" #\"^/\" #\"é\"",
        "%file.txt %\"with space\" http://example.com/x?y=1",
        "10:20 1:02:03.5 -0:30",
        "[a [b (c)] ()]",
        "a/b/c a/1 'a/b :a/b a/b:",
        "x\ny\n[\n1\n]",
        "FFh 0Ah",
        "< > <= >= <> + - * // /",
        "unicodé 日本",
    };
    for (const char* text : samples) {
        SCOPED_TRACE(text);
        load(text);
        Cell first = loaded;
        gc::Protect keep_first(&first);
        load(text);
        EXPECT_TRUE(actions::compare(&first, &loaded, actions::op_equal));
        std::string molded = mold(first);
        load(molded);
        ASSERT_EQ(length(), 1) << molded;
        Cell again = at(0);
        EXPECT_TRUE(actions::compare(&first, &again, actions::op_equal)) << molded << " -> " << mold(again);
    }
}

TEST_F(LexerTest, IntegersThatOverflowLoadAsFloats) {
    load("12345678901 -2147483648 2147483648 -2147483649 00000000000000000042");
    ASSERT_EQ(length(), 5);
    Cell big = at(0), min = at(1), over = at(2), under = at(3), padded = at(4);
    EXPECT_EQ(cell::type(&big), type_float);
    EXPECT_EQ(cell::get_double(&big), 12345678901.0);
    EXPECT_EQ(cell::type(&min), type_integer);
    EXPECT_EQ(cell::get_integer(&min), INT32_MIN);
    EXPECT_EQ(cell::type(&over), type_float);
    EXPECT_EQ(cell::get_double(&over), 2147483648.0);
    EXPECT_EQ(cell::get_double(&under), -2147483649.0);
    EXPECT_EQ(cell::type(&padded), type_integer);
    EXPECT_EQ(cell::get_integer(&padded), 42);
}

TEST_F(LexerTest, SpecialFloats) {
    load("1.#INF -1.#inf 1.#NaN +1.#nan");
    ASSERT_EQ(length(), 4);
    Cell c0 = at(0), c1 = at(1), c2 = at(2), c3 = at(3);
    EXPECT_EQ(cell::get_double(&c0), INFINITY);
    EXPECT_EQ(cell::get_double(&c1), -INFINITY);
    EXPECT_TRUE(std::isnan(cell::get_double(&c2)));
    EXPECT_TRUE(std::isnan(cell::get_double(&c3)));
    EXPECT_EQ(arg_type(error_of("1.#INX")), type_float);
}

TEST_F(LexerTest, StringEscapesAndWidths) {
    struct Case {
        const char* text;
        std::u32string expected;
    };
    const Case cases[] = {
        {"\"a^/b\"", U"a\nb"},          {"\"^(41)\"", U"A"},           {"\"^(line)\"", U"\n"},
        {"\"^(1F600)\"", U"\U0001F600"}, {"\"^\"q^\"\"", U"\"q\""},    {"\"^-^^^@\"", std::u32string(U"\t^") + char32_t(0)},
        {"\"^A^z\"", U"\x01\x1A"},       {"{a {b} c}", U"a {b} c"},      {"{x\ny}", U"x\ny"},
        {"%{a\"b}%", U"a\"b"},           {"%%{a}% b}%%", U"a}% b"},      {"\"é日\"", U"é日"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        load(c.text);
        ASSERT_EQ(length(), 1);
        Cell s = at(0);
        ASSERT_EQ(cell::type(&s), type_string);
        ASSERT_EQ(string::length(s.w2), int32_t(c.expected.size()));
        for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(string::char_at(s.w2, int32_t(i)), c.expected[i]);
    }
}

TEST_F(LexerTest, TokensOfMissingDatatypesNameTheirType) {
    struct Case {
        const char* text;
        int32_t type;
    };
    const Case cases[] = {
        {"1x2", type_pair},        {"1.2.3", type_tuple},     {"1..2", type_tuple},     {"$1.50", type_money},
        {"EUR$1", type_money},     {"50%", type_percent},     {"<a href>", type_tag},   {"a@b.com", type_email},
        {"@ref", type_ref},        {"#{00FF}", type_binary},  {"2#{0000}", type_binary}, {"#[a 1]", type_map},
        {"1-Jan-2000", type_date}, {"1/2/99", type_date},     {"(1, 2)", type_point2d},
    };
    for (const Case& c : cases) {
        Cell e = error_of(c.text);
        EXPECT_EQ(error_id(e), "invalid") << c.text;
        EXPECT_EQ(arg_type(e), c.type) << c.text;
    }
}

TEST_F(LexerTest, MalformedTokensAreSyntaxErrors) {
    struct Case {
        const char* text;
        const char* id;
        int32_t type;  // -1 when the error names none
    };
    const Case cases[] = {
        {"1''2", "invalid", type_integer},        {"1a", "invalid", type_integer},
        {"\"abc\ndef\"", "invalid", type_string},  {"\"abc", "invalid", type_string},
        {"\"^(XYZ)\"", "invalid", type_string},   {"\"^(110000)\"", "invalid", type_string},
        {"%{a}%b", "invalid", type_string},       {"{a", "missing", -1},
        {"#\"ab\"", "invalid", type_char},        {"#\"\"", "invalid", type_char},
        {"'a:", "invalid", type_lit_word},        {"#(nonsense)", "malconstruct", -1},
        {"}", "bad-char", -1},                     {"a \xC0 b", "bad-char", -1},
        {"\x80", "bad-char", -1},                  {"ab\xE2\x82", "invalid", type_word},
        {"1:", "invalid", type_time},
        {"1.2e", "invalid", type_float},          {"1h", "invalid", type_integer},
    };
    for (const Case& c : cases) {
        Cell e = error_of(c.text);
        EXPECT_EQ(error_id(e), c.id) << c.text;
        if (c.type >= 0) {
            EXPECT_EQ(arg_type(e), c.type) << c.text;
        }
    }
    EXPECT_EQ(arg_type(error_of(std::string("\"a\0b\"", 5))), type_string);  // NUL inside a string
    Cell e = error_of("\"abc\nx");
    EXPECT_EQ(arg_text(e, error::field_arg2), "\"abc");
    EXPECT_EQ(arg_text(e, error::field_arg3), "(line 1)");
}

TEST_F(LexerTest, HexadecimalIntegers) {
    load("FFh 7Fh 0Ah 7FFFFFFFh FFFFFFFFh");
    ASSERT_EQ(length(), 5);
    int32_t expected[] = {255, 127, 10, INT32_MAX, -1};
    for (int i = 0; i < 5; ++i) {
        Cell n = at(i);
        EXPECT_EQ(cell::type(&n), type_integer);
        EXPECT_EQ(cell::get_integer(&n), expected[i]);
    }
    EXPECT_EQ(arg_type(error_of("1FFFFFFFFh")), type_integer);
    EXPECT_EQ(arg_type(error_of("0fh")), type_integer);
}

TEST_F(LexerTest, TimesAndCommas) {
    EXPECT_EQ(arg_type(error_of("1,5")), type_point2d);
    load("10:20 1:02:03.5 -0:30 2:30.5");
    ASSERT_EQ(length(), 4);
    double expected[] = {10 * 3600 + 20 * 60, 3600 + 120 + 3.5, -30 * 60, 150.5};
    for (int i = 0; i < 4; ++i) {
        Cell t = at(i);
        EXPECT_EQ(cell::type(&t), type_time);
        EXPECT_DOUBLE_EQ(cell::get_double(&t), expected[i]);
    }
}

TEST_F(LexerTest, WordsIssuesRefinementsAndConstructions) {
    load("a b: :c 'd /e #f // #(true) #(none) #(integer!) http://x.org %dir/f.txt a\xC2\xA0" "b");
    std::vector<int32_t> types;
    for (int32_t i = 0; i < length(); ++i) {
        Cell c = at(i);
        types.push_back(cell::type(&c));
    }
    std::vector<int32_t> expected = {type_word,  type_set_word, type_get_word, type_lit_word,
                                     type_refinement, type_issue, type_word, type_logic,
                                     type_none,  type_datatype, type_url,      type_file,
                                     type_word,  type_word};
    EXPECT_EQ(types, expected);
    Cell file = at(11);
    EXPECT_EQ(string::to_utf8(&file), "dir/f.txt");
}

TEST_F(LexerTest, NewLineMarkersAndEmptyInput) {
    load("a\nb c\n\n[d]");
    ASSERT_EQ(length(), 4);
    Cell a = at(0), b = at(1), c = at(2), d = at(3);
    EXPECT_FALSE(cell::has_new_line(&a));
    EXPECT_TRUE(cell::has_new_line(&b));
    EXPECT_FALSE(cell::has_new_line(&c));
    EXPECT_TRUE(cell::has_new_line(&d));
    for (const char* empty : {"", "   ", "; only a comment", "\n\n"}) {
        load(empty);
        EXPECT_EQ(length(), 0) << empty;
    }
    load(std::string("a\0b", 3));  // a NUL ends the input
    EXPECT_EQ(length(), 1);
}

TEST_F(LexerTest, DeepNestingLoadsOrRaisesWithoutCrashing) {
    std::string moderate = std::string(500, '[') + "x" + std::string(500, ']');
    load(moderate);
    EXPECT_EQ(length(), 1);
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    Cell e = error_of(deep);
    EXPECT_EQ(error_id(e), "too-deep");
    Cell open = error_of(std::string(100000, '('));
    EXPECT_EQ(cell::type(&open), type_error);
}

TEST_F(LexerTest, TranscodeRefinements) {
    Cell src = string::from_utf8("1 two [3]");
    gc::Protect keep_src(&src);
    Cell out = {type_none, 0, 0, 0};
    gc::Protect keep_out(&out);

    lexer::Options next;
    next.next = true;
    next.one = true;
    lexer::transcode(&src, next, &out);
    ASSERT_EQ(block::length_from_head(&out), 2);
    Cell first = series::cells_head(out.w2)[0], rest = series::cells_head(out.w2)[1];
    EXPECT_EQ(cell::get_integer(&first), 1);
    EXPECT_EQ(rest.w1, 1u);

    lexer::Options prescan;
    prescan.prescan = true;
    lexer::transcode(&src, prescan, &out);
    EXPECT_EQ(cell::type(&out), type_datatype);
    EXPECT_EQ(out.w1, uint32_t(type_integer));
    Cell bad = string::from_utf8("\"open");
    gc::Protect keep_bad(&bad);
    lexer::transcode(&bad, prescan, &out);
    EXPECT_EQ(out.w1, uint32_t(type_error));

    lexer::Options none_part;
    none_part.part = 0;
    lexer::transcode(&src, none_part, &out);
    EXPECT_EQ(block::length_from_head(&out), 0);

    lexer::Options part;
    part.part = 5;
    lexer::transcode(&src, part, &out);
    EXPECT_EQ(mold(out), "[1 two]");

    Cell into = {type_none, 0, 0, 0};
    block_actions::make_at(&into, 4);
    gc::Protect keep_into(&into);
    lexer::Options append;
    append.into = &into;
    lexer::transcode(&src, append, &out);
    lexer::transcode(&src, append, &out);
    EXPECT_EQ(block::length_from_head(&into), 6);
}

TEST_F(LexerTest, BinarySourceSkipsByteOrderMark) {
    const char text[] = "\xEF\xBB\xBF" "a 1";
    uint32_t node = memory::alloc_units(8, 1);
    gc::ProtectNode keep_node(&node);
    std::memcpy(series::alloc_tail_bytes(node, 6), text, 6);
    Cell bin;
    cell::make_series(&bin, type_binary, node);
    Cell out = {type_none, 0, 0, 0};
    gc::Protect keep_out(&out);
    lexer::transcode(&bin, lexer::Options{}, &out);
    load("a 1");
    EXPECT_TRUE(actions::compare(&out, &loaded, actions::op_equal));
}

TEST_F(LexerTest, WatcherSeesEventsAndMayRefuse) {
    std::vector<std::string> seen;
    lexer::Watch watch;
    watch.mask = lexer::event_open | lexer::event_close;
    watch.fn = [&](const Cell& event, int32_t, int32_t, int32_t start, int32_t, const Cell*) {
        seen.push_back(symbols::text(int32_t(event.w2)) + std::to_string(start));
        return true;
    };
    lexer::Options options;
    options.trace = &watch;
    Cell src = string::from_utf8("a [b]");
    gc::Protect keep_src(&src);
    Cell out = {type_none, 0, 0, 0};
    gc::Protect keep_out(&out);
    lexer::transcode(&src, options, &out);
    EXPECT_EQ(seen, (std::vector<std::string>{"open3", "close5"}));

    lexer::Watch refuse;
    refuse.mask = lexer::event_load;
    refuse.fn = [](const Cell&, int32_t, int32_t, int32_t, int32_t, const Cell*) { return false; };
    options.trace = &refuse;
    lexer::transcode(&src, options, &out);
    EXPECT_EQ(block::length_from_head(&out), 0);

    int32_t error_type = 0;
    lexer::Watch quiet;
    quiet.mask = lexer::event_error;
    quiet.fn = [&](const Cell&, int32_t type, int32_t, int32_t, int32_t, const Cell*) {
        error_type = type;
        return false;
    };
    options.trace = &quiet;
    Cell bad = string::from_utf8("\"abc\n");
    gc::Protect keep_bad(&bad);
    lexer::transcode(&bad, options, &out);  // no raise: the watcher ended the run
    EXPECT_EQ(error_type, type_string);
}

TEST(LexerNumberScanners, IntegerAndFloatTexts) {
    struct IntCase {
        const char* text;
        int32_t value;
        int32_t code;
    };
    for (const IntCase& c : {IntCase{"12'345", 12345, 0}, IntCase{"2147483648", 0, -2},
                             IntCase{"-2147483648", INT32_MIN, 0}, IntCase{"12a", 0, -1}, IntCase{"-", 0, -1}}) {
        int32_t code = 0;
        int32_t v = lexer::scan_integer(reinterpret_cast<const uint8_t*>(c.text), int32_t(std::strlen(c.text)), 1, &code);
        EXPECT_EQ(code, c.code) << c.text;
        if (c.code == 0) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    struct FloatCase {
        std::string text;
        double value;  // NaN when it must fail
    };
    for (const FloatCase& c : {FloatCase{"1,5", 1.5}, FloatCase{"1.5e3", 1500.0}, FloatCase{"1e", NAN},
                               FloatCase{std::string(313, '1'), NAN}, FloatCase{"1'000.5", 1000.5},
                               FloatCase{"--1", NAN}}) {
        int32_t code = 0;
        double d = lexer::scan_float(reinterpret_cast<const uint8_t*>(c.text.data()), int32_t(c.text.size()), 1, &code);
        if (std::isnan(c.value)) {
            EXPECT_EQ(code, -1) << c.text;
        } else {
            EXPECT_EQ(code, 0) << c.text;
            EXPECT_EQ(d, c.value) << c.text;
        }
    }
    // Two-byte units read the same characters.
    const uint8_t wide[] = {'4', 0, '2', 0};
    int32_t code = 0;
    EXPECT_EQ(lexer::scan_integer(wide, 2, 2, &code), 42);
}

}  // namespace
