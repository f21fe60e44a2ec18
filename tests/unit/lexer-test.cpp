#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/number-scanners.h"
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
    int32_t length() const { return series::length_from_head(&loaded); }
    Cell at(int32_t i) const { return series::cells_head(loaded.w2)[i]; }

    // The error loading text raises (none when it loads).
    Cell error_of(const std::string& text) {
        return caught([&] { load(text); });
    }
    static std::string arg_text(const Cell& e, error::Field field) {
        const Cell* a = error::field(&e, field);
        return string::is_text_kind(cell::type(a)) ? string::to_utf8(a) : std::string();
    }
    // The datatype an invalid error names, as it forms: a datatype! value, or
    // the name of one the runtime does not have yet.
    static std::string arg_type(const Cell& e) {
        const Cell* a = error::field(&e, error::field_arg1);
        if (cell::type(a) == type_datatype) return std::string(datatype::names[a->w1].name, size_t(datatype::names[a->w1].length));
        if (cell::type(a) == type_word) return symbols::text(int32_t(a->w2));
        return "";
    }
    // What loading the text gives, as one line: the molded block, or "!"
    // and the error's id (and the type an invalid error names).
    std::string outcome(const std::string& text) {
        Cell e = error_of(text);
        if (cell::type(&e) != type_error) return mold(loaded);
        std::string id = error_id(e);
        if (id == "invalid") return "!invalid " + arg_type(e);
        if (id == "missing") return "!missing " + arg_text(e, error::field_arg1);
        return "!" + id;
    }

    // The datatype a scan or prescan run finds, by name; "none" for none.
    std::string found(const std::string& text, bool prescan) {
        gc::Local src(string::from_utf8(text.c_str()));
        gc::Local out({type_none, 0, 0, 0});
        lexer::Options options;
        (prescan ? options.prescan : options.scan) = true;
        lexer::transcode(&src, options, &out);
        if (cell::type(&out) == type_none) return "none";
        const char* name = datatype::names[out.w1].name;
        return name ? name : "#" + std::to_string(out.w1);
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

struct Case {
    const char* text;
    const char* expected;  // the molded block, or "!" and the error
};

// Where tokens end and what each kind of token may hold, case by case as
// the token grammar has them.
TEST_F(LexerTest, TokenBoundaries) {
    const Case cases[] = {
        // What ends a word, and what a word may hold.
        {"a\"b\"", "[a \"b\"]"}, {"a[b]", "[a [b]]"}, {"a(b)", "[a (b)]"}, {"a{b}", "[a \"b\"]"},
        {"a;c", "[a]"}, {"a#b", "[a #b]"}, {"a\\b", "!bad-char"}, {"a<b", "!invalid tag"},
        {"a,b", "!invalid word"}, {"a%b", "!invalid word"}, {"a'b", "[a'b]"}, {"a^b", "[a^b]"},
        {"a=b?!*&|~_`", "[a=b?!*&|~_`]"}, {"a>b", "[a>b]"}, {"a$", "!invalid money"}, {"a\x01" "b", "[a b]"},
        {"a\tb\rc", "[a b c]"}, {"\xC3\xA9t\xC3\xA9", "[\xC3\xA9t\xC3\xA9]"},
        {"a\xC2\xA0" "b", "[a b]"}, {"\xC2\xA0" "a", "[a]"}, {"\xE3\x80\x80", "[]"}, {"\xC2\xA0" "1", "[1]"},
        // Signs, dots and digits.
        {"+ - +a -a -- +1 -1 +.5 -.5", "[+ - +a -a -- 1 -1 0.5 -0.5]"}, {". .. .a", "[. .. .a]"},
        {"1\"x\" 1[2] 1;c", "[1 \"x\" 1 [2] 1]"}, {"1a", "!invalid integer"}, {"1,2", "!invalid point2D"},
        {"1. .5 1e5 1E5 1.5e-3", "[1.0 0.5 100000.0 100000.0 0.0015]"}, {"1.5E", "!invalid float"},
        {"1.e5", "!invalid float"}, {"1'000 00012 0000000042", "[1000 12 42]"}, {"1''0", "!invalid integer"},
        {"1'", "!invalid integer"}, {"0Ah ABh 7FFFFFFFh", "[10 171 2147483647]"}, {"abh", "[abh]"},
        {"1h", "!invalid integer"}, {"FFFFFFFFFh", "!invalid integer"}, {"1A", "!invalid integer"},
        {"1:30 1:02:03.5 -0:30", "[1:30:00 1:02:03.5 -0:30:00]"}, {"1:", "!invalid time"},
        {"1:3a", "!invalid time"}, {"1.#INF -1.#inf", "[1.#INF -1.#INF]"}, {"1.#INX", "!invalid float"},
        // Prefixes and the colon.
        {"'a :a a: 'a/b :a/b", "['a :a a: 'a/b :a/b]"}, {"'a:", "!invalid lit-word"}, {":a:", "!invalid get-word"},
        {"a:b", "[a:b]"}, {":a:b", "!invalid get-word"}, {"'a:b", "!invalid lit-word"}, {"'1", "!invalid lit-word"},
        {"'", "!invalid lit-word"}, {":", "!invalid get-word"}, {"::a", "!invalid get-word"},
        {"'+ '. '= '< '<> ':<", "!invalid lit-word"}, {"'+ '. '= '< '<>", "['+ '. '= '< '<>]"},
        {"=: ==: <: >: <=: %: /: +: **: <>: =?:", "[=: ==: <: >: <=: %: /: +: **: <>: =?:]"},
        {"x:<", "!invalid word"}, {"a:/", "[a:/]"},
        // Slashes: words, refinements, paths.
        {"/ // /// /a /1", "[/ // /// /a /1]"}, {"/a/b", "[/a /b]"}, {"/a:", "!invalid refinement"},
        {"/,", "!invalid refinement"}, {"//a", "[//a]"},
        {"a/b/c: x/(1)/2 a/\"s\"/c a/#i a/1.5 a/:b a/'c a/-1", "[a/b/c: x/(1)/2 a/\"s\"/c a/#i a/1.5 a/:b a/'c a/-1]"},
        {"a/b c", "[a/b c]"}, {"a/b[c]", "[a/b [c]]"}, {"a/", "!bad-char"}, {"a/b/", "!bad-char"},
        {"a//b", "!bad-char"}, {"a/ b", "!bad-char"}, {"a/[b]", "!bad-char"}, {"a/b:c", "!bad-char"},
        {"'a/b:", "!bad-char"}, {":a/b:", "!bad-char"}, {"a/b:/c", "!bad-char"},
        // `#` forms.
        {"#a #1 #a<b #a,b", "[#a #1 #a<b #a,b]"}, {"#", "!invalid issue"}, {"# a", "!invalid issue"},
        {"#a:b", "!invalid issue"}, {"#a/b", "!invalid issue"}, {"#\"a\" #\"^/\" #\"^(41)\"", "[#\"a\" #\"^/\" #\"A\"]"},
        {"#\"ab\"", "!invalid char"}, {"#\"\"", "!invalid char"}, {"#(none) #(TRUE) #(integer!) #(Integer)", "[none true integer! integer!]"},
        {"#(foo)", "!malconstruct"}, {"#(none", "!malconstruct"}, {"#[a 1]", "[#[\n    a: 1\n]]"}, {"#[a]", "!invalid map"},
        {"#{0F}", "[#{0F}]"}, {"1#a", "!invalid issue"},
        // `%` forms.
        {"% %% %%%", "[% %% %%%]"}, {"%a %\"a b\" %a/b.c %a%20b", "[%a %\"a b\" %a/b.c %\"a b\"]"},
        {"%a:b", "[%a :b]"}, {"%a\"b", "!invalid file"}, {"%\"a", "!invalid file"}, {"%:", "[%:]"},
        {"%{a}% %%{a}% b}%%", "[\"a\" \"a}% b\"]"}, {"%{a}%b", "!invalid string"}, {"%{a}%%", "!invalid string"},
        {"%{a", "!invalid string"}, {"%%{a}%b}%%", "[\"a}%b\"]"}, {"%%{a}%%b", "!invalid string"},
        {"%%{a}%%%", "!invalid string"},
        // `<`: a word or a tag.
        {"< <> <= << <- < a>", "[< <> <= << <- < a>]"}, {"<a>", "[<a>]"}, {"<a \"x>\" >", "[<a \"x>\" >]"},
        {"<a", "!invalid tag"}, {"<:", "[<:]"},
        // Other value kinds the runtime does not have yet name their type.
        {"1.2.3", "[1.2.3]"}, {"1..2", "!invalid tuple"}, {"1x2", "[1x2]"}, {"50%", "[50%]"},
        {"$1.50", "[$1.50]"}, {"EUR$1", "[EUR$1.00]"}, {"XYZ$1", "!invalid money"}, {"a@b.com", "[a@b.com]"}, {"@r", "[@r]"},
        {"1-Jan-2000", "[1-Jan-2000]"}, {"1/2/99", "[1-Feb-1999]"}, {"(1, 2)", "[(1, 2)]"},
        {"(1, 2, 3)", "[(1, 2, 3)]"}, {"(1 , 2)", "[(1, 2)]"}, {"[1, 2]", "!invalid point2D"},
        {"(1 2)", "[(1 2)]"}, {"(a, b)", "!invalid point2D"}, {"(x, 2)", "!invalid word"}, {"(x , 2)", "!invalid point2D"}, {"(, 1 2)", "!invalid point2D"},
        // Brackets and strings.
        {"}", "!bad-char"}, {"\\", "!bad-char"}, {"\x80", "!bad-char"}, {"a \xC0 b", "!bad-char"},
        {"{a", "!missing }"}, {"[a", "!missing ]"}, {"(a", "!missing )"}, {"a]", "!missing ["}, {"[a)", "!missing ]"},
        {"{a {b} c}", "[\"a {b} c\"]"}, {"\"a", "!invalid string"}, {"\"a\nb\"", "!invalid string"},
        {"\"^(XYZ)\"", "!invalid string"}, {"\"^(110000)\"", "!invalid string"}, {"ab\xE2\x82", "!invalid word"},
        {"; only a comment", "[]"}, {"", "[]"},
    };
    for (const Case& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << c.text;
}

TEST_F(LexerTest, PathsOfEveryKind) {
    load("a/b/c: 'a/b :a/b x/(1)/2");
    ASSERT_EQ(length(), 4);
    Cell set = at(0), lit = at(1), get = at(2), mixed = at(3);
    EXPECT_EQ(cell::type(&set), type_set_path);
    EXPECT_EQ(series::length_from_head(&set), 3);
    EXPECT_EQ(cell::type(&lit), type_lit_path);
    EXPECT_EQ(cell::type(&get), type_get_path);
    EXPECT_EQ(series::length_from_head(&get), 2);
    EXPECT_EQ(cell::type(&mixed), type_path);
    EXPECT_EQ(cell::type(&series::cells_head(mixed.w2)[1]), type_paren);
}

TEST_F(LexerTest, ErrorsReportTheNearTextAndLine) {
    Cell e = error_of("x\n[1 2\n3");
    EXPECT_EQ(error_id(e), "missing");
    EXPECT_EQ(arg_text(e, error::field_arg1), "]");
    EXPECT_EQ(arg_text(e, error::field_arg2), "[1 2");
    EXPECT_EQ(arg_text(e, error::field_arg3), "(line 2)");

    e = error_of("ok\n\"abc\nx");
    EXPECT_EQ(arg_type(e), "string");
    EXPECT_EQ(arg_text(e, error::field_arg2), "\"abc");
    EXPECT_EQ(arg_text(e, error::field_arg3), "(line 2)");

    e = error_of("1a2 " + std::string(40, 'z'));
    EXPECT_EQ(arg_text(e, error::field_arg2), "1a2 " + std::string(26, 'z'));
    EXPECT_EQ(arg_type(error_of(std::string("\"a\0b\"", 5))), "string");  // NUL inside a string
    EXPECT_EQ(outcome(std::string("a\0b c", 5)), "[a]");                    // NUL between tokens ends the input
}

// Scan runs check a token without making it; prescan runs only delimit it.
TEST_F(LexerTest, ScanAndPrescanFindTheFirstTokensType) {
    struct Probe {
        const char* text;
        const char* scan;
        const char* prescan;
    };
    const Probe probes[] = {
        {"1 two", "integer!", "integer!"},   {"a: 1", "set-word!", "word!"},       {"'a", "lit-word!", "word!"},
        {"[1 2] x", "block!", "block!"},     {"a/b c", "path!", "path!"},         {"a/b: 1", "set-path!", "set-path!"},
        {"1.2.3", "tuple!", "tuple!"},       {"1.2.256", "error!", "tuple!"},    {"2#{00001111}", "binary!", "binary!"},
        {"64#{AQID}", "binary!", "binary!"}, {"8#{12}", "error!", "binary!"},   {"#{0}", "error!", "binary!"},
        {"64#{AQI}", "error!", "binary!"},     {"1x2", "pair!", "pair!"},           {"1.5x2", "error!", "pair!"},
        {"50%", "percent!", "percent!"},   {"5x%", "error!", "error!"},         {"$1.50", "money!", "money!"},
        {"-EUR$1'000.00", "money!", "money!"}, {"$1.", "error!", "money!"},         {"(1, 2)", "point2D!", "point2D!"},
        {"(1, 2, 3)", "point3D!", "point2D!"}, {"(1, 2, 3, 4)", "error!", "point2D!"},   {"#[a 1]", "map!", "map!"},
        {"\"open", "error!", "error!"},      {"[1 2", "error!", "error!"},        {"{a {b}", "error!", "error!"},
        {"", "none", "none"},                {" ; note", "none", "none"},         {"\"a^(XYZ)\"", "error!", "error!"},
        {"1'x", "error!", "error!"},         {"a@b", "email!", "email!"},               {"<a b=\">\">", "tag!", "tag!"},
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(found(p.text, false), p.scan) << p.text;
        EXPECT_EQ(found(p.text, true), p.prescan) << p.text;
    }
}

// Date literals are checked by the date scanner and made by the date
// datatype's maker: the fields the scanner finds, or "error" when it (and so
// the lexer) refuses the token.
TEST_F(LexerTest, DateForms) {
    auto fields_of = [](const char* text) {
        scan::DateFields f;
        const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
        if (!scan::date_text(s, s + std::strlen(text), &f)) return std::string("error");
        std::string fields = std::to_string(f.year) + "-" + std::to_string(f.month) + "-" + std::to_string(f.day);
        if (f.has_time) fields += "/" + std::to_string(f.seconds);
        if (f.has_zone) fields += " z" + std::to_string(f.zone);
        return fields;
    };
    struct Date {
        const char* text;
        const char* fields;
    };
    const Date dates[] = {
        {"1-Jan-2000", "2000-1-1"},        {"1-janu-2000", "2000-1-1"},          {"1-JANUARY-2000", "2000-1-1"},
        {"31/12/1999", "1999-12-31"},      {"1/2/99", "1999-2-1"},               {"1/2/49", "2049-2-1"},
        {"2000-01-02", "2000-1-2"},        {"2000-Feb-29", "2000-2-29"},         {"2020-W01-1", "2019-12-30"},
        {"2020-W53-7", "2021-1-3"},        {"2021-W01", "2021-1-4"},             {"2000-366", "2000-12-31"},
        {"-2000-03-01", "-2000-3-1"},      {"1-Jan-2000/10:20", "2000-1-1/37200.000000"},
        {"2000-01-01T10:20:30Z", "2000-1-1/37230.000000 z0"},
        {"2000-01-01/1:02:03.5+05:30", "2000-1-1/3723.500000 z22"},
        {"20200102T102030-0800", "2020-1-2/37230.000000 z-32"},
        {"1-Jan-2000/10:00+2:00", "2000-1-1/36000.000000 z8"},  {"1-Jan-2000/10:00+2", "error"},
        {"15/Mar/-0044", "-44-3-15"},      {"15/Mar/-44", "error"},              {"15-Mar--0044", "error"},
        {"1-Ja-2000", "error"},            {"29-Feb-2001", "error"},             {"31-4-2000", "error"},
        {"1-13-2000", "error"},            {"2021-W53", "error"},                {"2001-366", "error"},
        {"1-Jan/2000", "error"},           {"2000-01-01T", "error"},             {"1/2/99/24:00", "error"},
        {"1/2/99/10:00+16", "error"},      {"1-Jan-2000x", "error"},
    };
    for (const Date& d : dates) {
        Cell e = error_of(d.text);
        EXPECT_EQ(fields_of(d.text), d.fields) << d.text;
        EXPECT_EQ(error_id(e), std::string(d.fields) == "error" ? "invalid" : "") << d.text;
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
        "< > <= >= <> + - * // / =: <:",
        "unicodé 日本",
    };
    for (const char* text : samples) {
        SCOPED_TRACE(text);
        load(text);
        gc::Local first(loaded);
        load(text);
        EXPECT_TRUE(actions::compare(&first, &loaded, actions::op_equal));
        std::string molded = mold(first);
        load(molded);
        ASSERT_EQ(length(), 1) << molded;
        Cell again = at(0);
        EXPECT_TRUE(actions::compare(&first, &again, actions::op_equal)) << molded << " -> " << mold(again);
    }
}

// Every input line of every transcript: loading it twice gives equal
// blocks, and loading the mold of what it loaded gives an equal block.
TEST_F(LexerTest, TranscriptInputsRoundTrip) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(__FILE__).parent_path().parent_path() / "transcripts";
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    CoarserTorture coarser(16);  // thousands of lines; the lexer has tests of its own under full torture
    int32_t checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".transcript") continue;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(">> ", 0) != 0) continue;
            std::string text = line.substr(3);
            SCOPED_TRACE(entry.path().filename().string() + ": " + text);
            Cell failure = error_of(text);
            if (cell::type(&failure) == type_error) continue;  // not loadable: the transcript's own point
            gc::Local first(loaded);
            load(text);
            EXPECT_TRUE(actions::compare(&first, &loaded, actions::op_equal));
            std::string molded = actions::mold_text(&first, true);  // with constructions for logic, none ...
            Cell e = error_of(molded);
            ASSERT_NE(cell::type(&e), type_error) << molded;
            ASSERT_EQ(length(), 1) << molded;
            Cell again = at(0);
            // A time molds to whole microseconds: what it drops must not
            // change the text a second mold gives.
            bool equal = actions::compare(&first, &again, actions::op_equal) ||
                         actions::mold_text(&again, true) == molded;
            EXPECT_TRUE(equal) << molded << " -> " << mold(again);
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
}

TEST_F(LexerTest, NumbersAtTheirLimits) {
    load("12345678901 -2147483648 2147483648 -2147483649 00000000000000000042 FFFFFFFFh");
    ASSERT_EQ(length(), 6);
    Cell big = at(0), min = at(1), over = at(2), under = at(3), padded = at(4), hex = at(5);
    EXPECT_EQ(cell::type(&big), type_float);
    EXPECT_EQ(cell::get_double(&big), 12345678901.0);
    EXPECT_EQ(cell::type(&min), type_integer);
    EXPECT_EQ(cell::get_integer(&min), INT32_MIN);
    EXPECT_EQ(cell::type(&over), type_float);
    EXPECT_EQ(cell::get_double(&over), 2147483648.0);
    EXPECT_EQ(cell::get_double(&under), -2147483649.0);
    EXPECT_EQ(cell::type(&padded), type_float);  // more than ten digits, leading zeros or not
    EXPECT_EQ(cell::get_double(&padded), 42.0);
    EXPECT_EQ(cell::get_integer(&hex), -1);
    load("1.#NaN 10:20 2:30.5");
    Cell nan = at(0), t1 = at(1), t2 = at(2);
    EXPECT_TRUE(std::isnan(cell::get_double(&nan)));
    EXPECT_EQ(cell::type(&t1), type_time);
    EXPECT_DOUBLE_EQ(cell::get_double(&t1), 10 * 3600 + 20 * 60);
    EXPECT_DOUBLE_EQ(cell::get_double(&t2), 150.5);
}

TEST_F(LexerTest, StringEscapesAndWidths) {
    struct Text {
        const char* text;
        std::u32string expected;
        uint32_t unit;
    };
    const Text cases[] = {
        {"\"a^/b\"", U"a\nb", 1},          {"\"^(41)\"", U"A", 1},            {"\"^(line)\"", U"\n", 1},
        {"\"^(1F600)\"", U"\U0001F600", 4}, {"\"^\"q^\"\"", U"\"q\"", 1},     {"\"^-^^^@\"", std::u32string(U"\t^") + char32_t(0), 1},
        {"\"^A^z^[\"", U"\x01\x1A\x1B", 1}, {"{a {b} c}", U"a {b} c", 1},     {"{x\ny}", U"x\ny", 1},
        {"%{a\"b}%", U"a\"b", 1},           {"%%{a}% b}%%", U"a}% b", 1},     {"\"é日\"", U"é日", 2},
        {"{^}}", U"}", 1},                  {"%{^/}%", U"^/", 1},             {"\"^(041)\"", U"A", 2},
        {"\"^(00041)\"", U"A", 4},          {"\"^(e9)\"", U"\u00E9", 2},
    };
    for (const Text& c : cases) {
        SCOPED_TRACE(c.text);
        load(c.text);
        ASSERT_EQ(length(), 1);
        Cell s = at(0);
        ASSERT_EQ(cell::type(&s), type_string);
        EXPECT_EQ(nodes::buffer(s.w2)->unit(), c.unit);
        ASSERT_EQ(string::length(s.w2), int32_t(c.expected.size()));
        for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(string::char_at(s.w2, int32_t(i)), c.expected[i]);
    }
}

TEST_F(LexerTest, NewLineMarkersAndLineCounts) {
    load("a\nb c\n\n[d] ; x\n{e\n} \"f\"\n%{g\n}%\nh");
    ASSERT_EQ(length(), 8);
    std::vector<bool> marks;
    for (int32_t i = 0; i < length(); ++i) {
        Cell c = at(i);
        marks.push_back(cell::has_new_line(&c));
    }
    EXPECT_EQ(marks, (std::vector<bool>{false, true, false, true, true, false, true, true}));
    // Lines inside strings count too.
    Cell e = error_of("{a\nb} %{c\n}% #\"\n\" \"x");
    EXPECT_EQ(arg_text(e, error::field_arg3), "(line 4)");
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
    gc::Local src(string::from_utf8("1 two [3]"));
    gc::Local out({type_none, 0, 0, 0});

    lexer::Options next;
    next.next = true;
    lexer::transcode(&src, next, &out);
    ASSERT_EQ(series::length_from_head(&out), 2);
    Cell first = series::cells_head(out.w2)[0], rest = series::cells_head(out.w2)[1];
    EXPECT_EQ(cell::get_integer(&first), 1);
    EXPECT_EQ(rest.w1, 1u);
    // /one asks for the value alone, with /next as well.
    for (bool with_next : {false, true}) {
        lexer::Options one;
        one.one = true;
        one.next = with_next;
        lexer::transcode(&src, one, &out);
        ASSERT_EQ(cell::type(&out), type_integer) << with_next;
        EXPECT_EQ(cell::get_integer(&out), 1);
    }

    struct Part {
        int32_t length;
        const char* expected;
    };
    for (const Part& p : {Part{0, "[]"}, Part{1, "[1]"}, Part{5, "[1 two]"}, Part{99, "[1 two [3]]"}}) {
        lexer::Options part;
        part.part = p.length;
        lexer::transcode(&src, part, &out);
        EXPECT_EQ(mold(out), p.expected) << p.length;
    }

    Cell into = {type_none, 0, 0, 0};
    block_actions::make_at(&into, 4);
    gc::Protect keep_into(&into);
    lexer::Options append;
    append.into = &into;
    lexer::transcode(&src, append, &out);
    lexer::transcode(&src, append, &out);
    EXPECT_EQ(mold(into), "[1 two [3] 1 two [3]]");
}

TEST_F(LexerTest, BinarySourceSkipsByteOrderMark) {
    const char text[] = "\xEF\xBB\xBF" "a 1";
    uint32_t node = memory::alloc_units(8, 1);
    gc::ProtectNode keep_node(&node);
    std::memcpy(series::alloc_tail_bytes(node, 6), text, 6);
    Cell bin;
    cell::make_series(&bin, type_binary, node);
    gc::Local out({type_none, 0, 0, 0});
    lexer::transcode(&bin, lexer::Options{}, &out);
    load("a 1");
    EXPECT_TRUE(actions::compare(&out, &loaded, actions::op_equal));
}

// What a watcher sees: "event type start-end" per report (the type as a
// datatype id, negative for a kind without one).
class WatchedLexerTest : public LexerTest {
protected:
    std::vector<std::string> watch(const std::string& text, uint32_t mask, bool answer = true) {
        std::vector<std::string> seen;
        lexer::Watch w;
        w.mask = mask;
        w.fn = [&](lexer::Report& r) {
            static const char* names[] = {"prescan", "scan", "load", "open", "close", "error"};
            int bit = 0;
            while ((1u << bit) != uint32_t(r.event)) ++bit;
            seen.push_back(std::string(names[bit]) + " " + std::to_string(r.type) + " " + std::to_string(r.start) +
                           "-" + std::to_string(r.end));
            return answer;
        };
        run(text, w);
        return seen;
    }
    void run(const std::string& text, const lexer::Watch& w) {
        gc::Local src(string::from_utf8(text.c_str()));
        lexer::Options options;
        options.trace = &w;
        lexer::transcode(&src, options, &loaded);
    }
    using V = std::vector<std::string>;
};

TEST_F(WatchedLexerTest, EventsCarryTheirTypesAndRanges) {
    EXPECT_EQ(watch("a [b]", lexer::event_open | lexer::event_close), (V{"open 5 3-4", "close 5 5-6"}));
    EXPECT_EQ(watch("é: 1 ; c", lexer::event_prescan),
              (V{"prescan 15 1-3", "prescan 11 4-5", "prescan -11 6-9"}));
    EXPECT_EQ(watch("é: 1 ; c", lexer::event_scan), (V{"scan 16 1-3", "scan 11 4-5", "scan -11 6-9"}));
    EXPECT_EQ(watch("(1) {a}", lexer::event_prescan | lexer::event_open | lexer::event_close),
              (V{"prescan -4 1-2", "open 6 1-2", "prescan 11 2-3", "prescan -5 3-4", "close 6 3-4",
                 "prescan -6 5-6", "open 7 5-6", "close 7 5-8"}));
    EXPECT_EQ(watch("a/b", lexer::event_all),
              (V{"prescan -9 1-3", "open 25 1-3", "scan 15 1-2", "load 15 1-2", "prescan 15 3-4", "scan 15 3-4",
                 "load 15 3-4", "close 25 1-4", "load 25 1-4"}));
    EXPECT_EQ(watch("\"abc\nx", lexer::event_error, false), (V{"error 7 1-5"}));
    EXPECT_EQ(watch("[1", lexer::event_error, false), (V{"error 5 1-3"}));
    EXPECT_EQ(watch("{a", lexer::event_error, false), (V{"error 7 1-3"}));
    EXPECT_EQ(watch("a \\", lexer::event_error, false), (V{"error 15 3-3"}));
}

TEST_F(WatchedLexerTest, RefusalsSkipTokensAndValues) {
    struct Refusal {
        const char* text;
        uint32_t mask;
        const char* expected;
    };
    const Refusal refusals[] = {
        {"a [b] (c) x/y", lexer::event_load, "[]"},  {"a [b] 1", lexer::event_scan, "[[]]"},
        {"a [b] 1", lexer::event_prescan, "[]"},     {"a [b c] d", lexer::event_open | lexer::event_close, "[a b c d]"},
        {"\"x", lexer::event_error, "[]"},           {"a \"x", lexer::event_error, "[a]"},
        {"a \\ b", lexer::event_prescan, "[]"},
    };
    for (const Refusal& r : refusals) {
        watch(r.text, r.mask, false);
        EXPECT_EQ(mold(loaded), r.expected) << r.text;
    }
    // Refusing to close a block leaves it open until the input ends.
    Cell e = caught([&] { watch("[a] b", lexer::event_close, false); });
    EXPECT_EQ(error_id(e), "missing");
}

TEST_F(WatchedLexerTest, WatcherMayMoveTheInput) {
    // Skipping the character an error is reported at goes on after it.
    lexer::Watch skip;
    skip.mask = lexer::event_error;
    skip.fn = [](lexer::Report& r) {
        r.position += 1;
        return false;
    };
    run("a 1a b \\ c", skip);
    EXPECT_EQ(mold(loaded), "[a b c]");
    run("x \"open", skip);
    EXPECT_EQ(mold(loaded), "[x]");
    // A container still open when the input ends cannot be skipped past.
    run("[a (b", skip);
    EXPECT_EQ(mold(loaded), "[[a (b)]]");

    // A prescan watcher jumping over a token.
    lexer::Watch jump;
    jump.mask = lexer::event_prescan;
    jump.fn = [](lexer::Report& r) {
        if (r.start == 1) r.position = 4;
        return true;
    };
    run("abc def", jump);
    EXPECT_EQ(mold(loaded), "[def]");
    run("日本語 後", jump);
    EXPECT_EQ(mold(loaded), "[後]");
}

TEST(LexerNumberScanners, IntegerFloatAndTupleTexts) {
    struct IntCase {
        const char* text;
        int32_t value;
        int32_t code;
    };
    for (const IntCase& c : {IntCase{"12'345", 12345, 0}, IntCase{"2147483648", 0, -2},
                             IntCase{"-2147483648", INT32_MIN, 0}, IntCase{"12a", 0, -1}, IntCase{"-", 0, -1}}) {
        int32_t code = 0;
        int32_t v = scan::scan_integer(reinterpret_cast<const uint8_t*>(c.text), int32_t(std::strlen(c.text)), 1, &code);
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
        double d = scan::scan_float(reinterpret_cast<const uint8_t*>(c.text.data()), int32_t(c.text.size()), 1, &code);
        if (std::isnan(c.value)) {
            EXPECT_EQ(code, -1) << c.text;
        } else {
            EXPECT_EQ(code, 0) << c.text;
            EXPECT_EQ(d, c.value) << c.text;
        }
    }
    struct TupleCase {
        const char* text;
        int32_t parts;  // 0 when it must fail
        uint8_t last;
    };
    for (const TupleCase& c : {TupleCase{"1.2.3", 3, 3}, TupleCase{"1.2.256", 0, 0}, TupleCase{"1.2.3.4.5.6.7.8.9.10.11.255", 12, 255},
                               TupleCase{"1.2.3.4.5.6.7.8.9.10.11.12.13", 0, 0}, TupleCase{"1..2", 0, 0}, TupleCase{"7", 1, 7}}) {
        int32_t code = 0;
        Cell t = {type_none, 0, 0, 0};
        scan::scan_tuple(reinterpret_cast<const uint8_t*>(c.text), int32_t(std::strlen(c.text)), 1, &code, &t);
        if (c.parts == 0) {
            EXPECT_EQ(code, -1) << c.text;
            continue;
        }
        EXPECT_EQ(code, 0) << c.text;
        EXPECT_EQ(cell::type(&t), type_tuple);
        EXPECT_EQ(int32_t(t.header >> cell::tuple_length_shift & 15), c.parts) << c.text;
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&t.w1)[c.parts - 1], c.last) << c.text;
    }
    // Two-byte units read the same characters.
    const uint8_t wide[] = {'4', 0, '2', 0};
    int32_t code = 0;
    EXPECT_EQ(scan::scan_integer(wide, 2, 2, &code), 42);
}

}  // namespace
