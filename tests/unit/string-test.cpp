#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string-type.h"
#include "datatypes/string.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/unicode.h"

using namespace vum;
using actions::FindOptions;

namespace {

class StringTest : public DatatypeTest {
protected:
    // Values live on the value stack: the collector sees them there and
    // they never move.
    static Cell* push(const Cell& c) {
        Cell* slot = stack::push_cell();
        *slot = c;
        return slot;
    }
    static Cell* text(const char* utf8) { return push(string::from_utf8(utf8)); }
    static Cell* integer(int32_t n) { return push({type_integer, 0, uint32_t(n), 0}); }
    static Cell* character(uint32_t cp) { return push({type_char, 0, cp, 0}); }
    static Cell* result() { return push({type_none, 0, 0, 0}); }
    static std::string utf8(const Cell* c) { return string::to_utf8(c); }
    static uint32_t unit(const Cell* c) { return nodes::buffer(c->w2)->unit(); }

    static Cell* append(Cell* s, const Cell* v, const Cell* part = nullptr, const Cell* dup = nullptr) {
        Cell* r = result();
        actions::lookup<actions::slot_append>(s)(s, v, part, false, dup, true, r);
        return r;
    }
    static Cell* insert(Cell* s, const Cell* v, const Cell* part = nullptr, const Cell* dup = nullptr) {
        Cell* r = result();
        actions::lookup<actions::slot_insert>(s)(s, v, part, false, dup, false, r);
        return r;
    }
    static Cell* find(const Cell* s, const Cell* v, const FindOptions& o = {}) {
        Cell* r = result();
        actions::lookup<actions::slot_find>(s)(s, v, o, r);
        return r;
    }
    // The head index a find answered, or -1 for none.
    static int32_t found(const Cell* s, const char* needle, const FindOptions& o = {}) {
        Cell* r = find(s, text(needle), o);
        return cell::type(r) == type_none ? -1 : int32_t(r->w1);
    }
    static std::string trim(const char* input, bool head, bool tail, bool lines, bool all, const Cell* with) {
        Cell* s = text(input);
        Cell* r = result();
        actions::lookup<actions::slot_trim>(s)(s, head, tail, false, lines, all, with, r);
        return utf8(r);
    }
    static std::string sorted(const char* input, bool case_sensitive = false, const Cell* skip = nullptr,
                              bool reverse = false, bool all = false) {
        Cell* s = text(input);
        Cell* r = result();
        actions::lookup<actions::slot_sort>(s)(s, case_sensitive, skip, nullptr, nullptr, all, reverse, false, r);
        s->w1 = 0;
        return utf8(s);
    }
};

TEST_F(StringTest, AppendingWidensByTheAppendRuleAndKeepsEveryCharacter) {
    struct Case {
        const char* start;
        uint32_t added;
        uint32_t unit;
    } cases[] = {
        {"abc", 'd', 1},
        {"abc", 0xE9, 2},      // Latin-1 still widens when appended
        {"abc", 0x1F600, 4},
        {"ab\xC4\x80", 0x1F600, 4},  // unit 2 to 4
    };
    for (const Case& c : cases) {
        Cell* s = text(c.start);
        std::string before = utf8(s);
        append(s, character(c.added));
        EXPECT_EQ(unit(s), c.unit) << c.start << " + " << c.added;
        char encoded[4];
        std::string expected = before + std::string(encoded, size_t(unicode::encode_utf8_char(c.added, encoded)));
        EXPECT_EQ(utf8(s), expected);
    }
}

// A block's values formed straight into the text: a form that raises half
// way leaves the text as it was, as forming into a text of its own did.
TEST_F(StringTest, AppendingABlockWhoseFormRaisesLeavesTheTextAsItWas) {
    datatype::Handler saved = datatype::handler(type_percent, actions::slot_form);
    actions::fill<actions::slot_form>(type_percent, [](const Cell*, uint32_t buffer, const Cell*, int32_t) -> int32_t {
        string::append_ascii(buffer, "half");
        errors::raise(err::script::invalid_arg);
    });
    Cell* block = push({type_block, 0, memory::alloc_cells(3), 0});
    for (Cell c : {Cell{type_integer, 0, 12, 0}, string::from_utf8("\xC3\xA9"), Cell{type_percent, 0, 0, 0}})
        *series::alloc_tail(block) = c;
    Cell* s = text("ab");
    Cell e = caught([&] { append(s, block); });
    datatype::set_handler(type_percent, actions::slot_form, saved);
    EXPECT_EQ(error_id(e), "invalid-arg");
    EXPECT_EQ(utf8(s), "ab");
    block = push({type_block, 0, memory::alloc_cells(2), 0});
    *series::alloc_tail(block) = {type_integer, 0, uint32_t(-7), 0};
    *series::alloc_tail(block) = {type_percent, 0, 0, 0};
    EXPECT_EQ(utf8(append(s, block)), "ab-70%");
}

TEST_F(StringTest, PokingLatin1KeepsOneByteUnits) {
    Cell* s = text("abc");
    string::poke_char(s->w2, 1, 0xE9);
    EXPECT_EQ(unit(s), 1u);
    EXPECT_EQ(string::char_at(s->w2, 1), 0xE9u);
    string::put_char_at(s->w2, 5, 0x100);
    EXPECT_EQ(unit(s), 2u);
    EXPECT_EQ(utf8(s), "a\xC3\xA9" "c  \xC4\x80");
    string::insert_char_at(s->w2, 0, 0x1F600);
    string::remove_at(s->w2, 1, 2);
    EXPECT_EQ(utf8(s), "\xF0\x9F\x98\x80" "c  \xC4\x80");
}

TEST_F(StringTest, InsertAppendAndChange) {
    Cell* s = text("hello");
    // Appending a string to itself must not read text the splice moved.
    append(s, s);
    EXPECT_EQ(utf8(s), "hellohello");

    Cell* t = text("abcdef");
    t->w1 = 2;
    Cell* r = insert(t, text("XY"), integer(1), integer(3));
    t->w1 = 0;
    EXPECT_EQ(utf8(t), "abXXXcdef");
    EXPECT_EQ(r->w1, 5u);  // past the inserted text

    Cell* u = text("abcdef");
    u->w1 = 1;
    Cell* c = result();
    actions::lookup<actions::slot_change>(u)(u, text("\xC3\xA9\xC3\xA9\xC3\xA9"), integer(2), false, nullptr, c);
    u->w1 = 0;
    EXPECT_EQ(utf8(u), "a\xC3\xA9\xC3\xA9\xC3\xA9" "def");
    EXPECT_EQ(c->w1, 4u);

    // At the tail change appends, and the head moves to the new tail.
    Cell* v = text("ab");
    v->w1 = 2;
    actions::lookup<actions::slot_change>(v)(v, character('z'), nullptr, false, nullptr, c);
    EXPECT_EQ(c->w1, 3u);
    c->w1 = 0;
    EXPECT_EQ(utf8(c), "abz");
}

TEST_F(StringTest, AppendFormsOtherValuesAndHonoursPart) {
    Cell* s = text("n=");
    append(s, integer(12345), integer(3));
    EXPECT_EQ(utf8(s), "n=123");
    Cell* a = text("abcdef");
    Cell* part = push(*a);
    part->w1 = 2;
    append(s, a, part);  // a position in the appended value counts from its head
    EXPECT_EQ(utf8(s), "n=123ab");
    Cell* r = append(s, character('!'), nullptr, integer(0));
    EXPECT_EQ(utf8(r), "n=123ab");
    EXPECT_EQ(error_id(caught([&] { append(s, character('x'), nullptr, text("2")); })), "invalid-refine-arg");
}

TEST_F(StringTest, ManyAppendsSurviveCollections) {
    gc::state.enabled = 1;
    Cell* s = text("");
    Cell* piece = text("\xC3\xA9z");
    for (int i = 0; i < 2000; i++) {
        append(s, piece);
        if (i % 100 == 0) gc::collect();
    }
    EXPECT_EQ(string::length(s->w2), 4000);
    for (int i = 0; i < 4000; i += 2) {
        ASSERT_EQ(string::char_at(s->w2, i), 0xE9u);
        ASSERT_EQ(string::char_at(s->w2, i + 1), uint32_t('z'));
    }
}

TEST_F(StringTest, TrimVariants) {
    const char* spaced = "  a  \n  b  \n";
    Cell* with = text("ab");
    struct Case {
        const char* input;
        bool head, tail, lines, all;
        const Cell* with;
        const char* expected;
    } cases[] = {
        {spaced, false, false, false, false, nullptr, "a\nb\n"},
        {spaced, true, false, false, false, nullptr, "a  \n  b  \n"},
        {spaced, false, true, false, false, nullptr, "  a  \n  b"},
        {spaced, true, true, false, false, nullptr, "a  \n  b"},
        {spaced, false, false, true, false, nullptr, "a b"},
        {" a\tb\r\nc ", false, false, false, true, nullptr, "abc"},
        {"abcab", false, false, false, false, with, "c"},
        {"  no line feed  ", false, false, false, false, nullptr, "no line feed"},
        {"\xE3\x80\x80wide\xC2\xA0", false, false, false, false, nullptr, "wide"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(trim(c.input, c.head, c.tail, c.lines, c.all, c.with), c.expected) << c.input;
    EXPECT_EQ(error_id(caught([&] {
                  Cell* s = text("x");
                  actions::lookup<actions::slot_trim>(s)(s, false, false, true, false, false, nullptr, s);
              })),
              "not-done");
}

TEST_F(StringTest, ComparisonFoldsCaseUnlessStrict) {
    Cell* a = text("abc");
    Cell* b = text("ABC");
    EXPECT_TRUE(actions::compare(a, b, actions::op_equal));
    EXPECT_FALSE(actions::compare(a, b, actions::op_strict_equal));
    Cell* e1 = text("\xC3\xA9t\xC3\xA9");
    Cell* e2 = text("\xC3\x89T\xC3\x89");
    EXPECT_TRUE(actions::compare(e1, e2, actions::op_equal));
    EXPECT_TRUE(actions::compare(text("abc"), text("abd"), actions::op_lesser));
    EXPECT_TRUE(actions::compare(text("ab"), text("abc"), actions::op_lesser));
    Cell block = {type_block, 0, memory::alloc_cells(1), 0};
    EXPECT_EQ(actions::call_compare(a, push(block), actions::op_equal), actions::not_comparable);
    Cell* f = text("abc");
    cell::set_type(f, type_file);
    EXPECT_TRUE(actions::compare(a, f, actions::op_equal));
    EXPECT_FALSE(actions::compare(a, f, actions::op_strict_equal));
}

TEST_F(StringTest, FindWithRefinements) {
    Cell* s = text("abcABCabc");
    Cell* skip2 = integer(2);
    Cell* part4 = integer(4);
    FindOptions plain, strict, last, tail, match, skip, part;
    strict.case_sensitive = true;
    last.last = true;
    tail.tail = true;
    match.match = true;
    skip.skip = skip2;
    part.part = part4;
    struct Case {
        const char* needle;
        const FindOptions* options;
        int32_t expected;
    } cases[] = {
        {"ABC", &plain, 0}, {"ABC", &strict, 3}, {"abc", &last, 6}, {"bc", &tail, 3}, {"ab", &match, 0},
        {"bc", &match, -1}, {"b", &skip, 4}, {"CAB", &part, -1}, {"cab", &plain, 2}, {"zz", &plain, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(found(s, c.needle, *c.options), c.expected) << c.needle;

    Cell* at_end = push(*s);
    at_end->w1 = 9;
    FindOptions reverse;
    reverse.reverse = true;
    EXPECT_EQ(found(at_end, "abc", reverse), 6);
    at_end->w1 = 6;
    EXPECT_EQ(found(at_end, "abc", reverse), 3);
    EXPECT_EQ(found(at_end, "abc", plain), 6);

    Cell* r = find(s, character('C'), strict);
    EXPECT_EQ(r->w1, 5u);
    FindOptions bad_skip, any;
    bad_skip.skip = integer(0);
    any.any = true;
    EXPECT_EQ(error_id(caught([&] { find(s, text("a"), bad_skip); })), "out-of-range");
    EXPECT_EQ(error_id(caught([&] { find(s, text("a"), any); })), "not-done");
}

TEST_F(StringTest, SelectGivesTheCharacterAfterTheMatch) {
    Cell* s = text("key=v");
    Cell* r = result();
    actions::lookup<actions::slot_select>(s)(s, text("KEY="), FindOptions{}, r);
    EXPECT_EQ(cell::type(r), type_char);
    EXPECT_EQ(r->w2, uint32_t('v'));
    actions::lookup<actions::slot_select>(s)(s, character('v'), FindOptions{}, r);
    EXPECT_EQ(cell::type(r), type_none);
}

TEST_F(StringTest, SortOrdersCodePointsAndRecords) {
    EXPECT_EQ(sorted("dBca"), "aBcd");
    EXPECT_EQ(sorted("dBca", true), "Bacd");
    EXPECT_EQ(sorted("dBca", false, nullptr, true), "dcBa");
    EXPECT_EQ(sorted("\xC3\xA9" "e\xC3\x80" "a"), "ae\xC3\x80\xC3\xA9");
    EXPECT_EQ(sorted("c1a2b3", false, integer(2)), "a2b3c1");
    EXPECT_EQ(error_id(caught([&] { sorted("abcdef", false, integer(4)); })), "invalid-refine-arg");
    EXPECT_EQ(error_id(caught([&] { sorted("abc", false, nullptr, false, true); })), "bad-refines");
}

TEST_F(StringTest, TakeAndSwap) {
    Cell* s = text("abc");
    Cell* r = result();
    actions::lookup<actions::slot_take>(s)(s, nullptr, false, false, r);
    EXPECT_EQ(cell::type(r), type_char);
    EXPECT_EQ(r->w2, uint32_t('a'));
    actions::lookup<actions::slot_take>(s)(s, integer(1), false, false, r);
    EXPECT_EQ(cell::type(r), type_string);
    EXPECT_EQ(utf8(r), "b");
    EXPECT_EQ(utf8(s), "c");

    Cell* a = text("xyz");
    Cell* b = text("\xE2\x82\xAC" "12");
    actions::lookup<actions::slot_swap>(a)(a, b, r);
    EXPECT_EQ(utf8(a), "\xE2\x82\xAC" "yz");
    EXPECT_EQ(utf8(b), "x12");
    EXPECT_EQ(error_id(caught([&] { actions::lookup<actions::slot_swap>(a)(a, integer(1), r); })),
              "invalid-arg");
}

TEST_F(StringTest, MoldChoosesDelimitersAndEscapes) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {"abc", "\"abc\""},
        {"a\nb\nc\nd", "{a^/b^/c^/d}"},
        {"a\nb", "\"a^/b\""},
        {"a\"", "{a\"}"},
        {"\x1E", "\"^(1E)\""},
        {"\x7F", "\"^~\""},
        {"\xC2\x96", "\"^(96)\""},
        {"^\t", "\"^^^-\""},
        {"\xC3\xA9", "\"\xC3\xA9\""},
        {"{\"", "{^{\"}"},
        {"}\"", "{^}\"}"},
        {"{x}\"", "{{x}\"}"},
        {"", "\"\""},
    };
    for (const Case& c : cases) EXPECT_EQ(mold(*text(c.input)), c.expected) << c.input;
    std::string fifty(50, 'x');
    EXPECT_EQ(mold(*text(fifty.c_str())), "{" + fifty + "}");
    EXPECT_EQ(actions::mold_text(text("\xC3\xA9"), true), "\"^(E9)\"");

    Cell* out = push(string::make_cell(8));
    int32_t left = actions::call_mold(text("abcdef"), out->w2, false, false, false, true, 3, 0);
    EXPECT_EQ(utf8(out), "\"abc\"");
    EXPECT_EQ(left, -2);
}

TEST_F(StringTest, EscapesReadBackToTheSameCodePoint) {
    for (uint32_t cp : {0u, 9u, 10u, 30u, 31u, 34u, 94u, 127u, 133u, 0xE9u, 0x1F600u}) {
        Cell* out = push(string::make_cell(8));
        string::append_escaped(out->w2, cp, true);
        std::u32string written;
        for (int32_t i = 0; i < string::length(out->w2); i++) written += char32_t(string::char_at(out->w2, i));
        uint32_t back = 0;
        if (written.size() == 1) {
            back = uint32_t(written[0]);
        } else {
            EXPECT_EQ(string::read_escape(written.data(), written.data() + written.size(), &back),
                      int32_t(written.size()));
        }
        EXPECT_EQ(back, cp);
    }
}

TEST_F(StringTest, MakeAndTo) {
    auto make = [&](const Cell* spec, actions::SlotOf<actions::MakeFn> slot) {
        Cell proto = {type_datatype, type_string, 0, 0};
        Cell* r = result();
        actions::handler(type_string, slot)(&proto, spec, type_string, r);
        return r;
    };
    Cell* empty = make(integer(100), actions::slot_make);
    EXPECT_EQ(utf8(empty), "");
    EXPECT_GE(nodes::buffer(empty->w2)->size, 100u);
    EXPECT_EQ(error_id(caught([&] { make(integer(-1), actions::slot_make); })), "out-of-range");

    Cell block = {type_block, 0, memory::alloc_cells(4), 0};
    Cell* b = push(block);
    *series::alloc_tail(b) = context::load_word("ab");
    *series::alloc_tail(b) = {type_integer, 0, 1, 0};
    *series::alloc_tail(b) = string::from_utf8("cd");
    EXPECT_EQ(utf8(make(b, actions::slot_to)), "ab1cd");

    Cell bytes = {type_binary, 0, memory::alloc_bytes(4), 0};
    Cell* bin = push(bytes);
    uint8_t* p = series::alloc_tail_bytes(bin->w2, 3);
    p[0] = 'o';
    p[1] = 'k';
    p[2] = 0xC3;  // a sequence the end cuts short
    EXPECT_EQ(error_id(caught([&] { make(bin, actions::slot_to); })), "invalid-utf8");
    nodes::buffer(bin->w2)->tail -= 1;
    EXPECT_EQ(utf8(make(bin, actions::slot_to)), "ok");

    Cell none = {type_none, 0, 0, 0};
    EXPECT_EQ(error_id(caught([&] { make(push(none), actions::slot_to); })), "bad-to-arg");
}

TEST_F(StringTest, PathAccess) {
    Cell* s = text("a=1;b=2");
    Cell* r = result();
    auto path = [&](const Cell* element, const Cell* value) {
        actions::PathStep step{};
        step.parent = s;
        step.element = element;
        step.value = value;
        step.index = -1;
        actions::lookup<actions::slot_eval_path>(s)(step, r);
        return r;
    };
    EXPECT_EQ(path(integer(3), nullptr)->w2, uint32_t('1'));
    EXPECT_EQ(path(text("b="), nullptr)->w2, uint32_t('2'));
    path(text("b="), character('9'));
    EXPECT_EQ(utf8(s), "a=1;b=9");
    path(integer(1), character(0x100));
    EXPECT_EQ(utf8(s), "\xC4\x80=1;b=9");
    Cell* word = push(context::load_word("b"));
    EXPECT_EQ(error_id(caught([&] { path(word, nullptr); })), "invalid-path");
    EXPECT_EQ(error_id(caught([&] { path(text("zz"), character('x')); })), "bad-path-set");
}

TEST_F(StringTest, SetOperations) {
    struct Case {
        string::SetOp op;
        const char* a;
        const char* b;
        const char* expected;
    } cases[] = {
        {string::set_unique, "abacab", "", "abc"},
        {string::set_union, "abc", "cdA", "abcd"},
        {string::set_intersect, "abcd", "dBx", "bd"},
        {string::set_exclude, "abcd", "dBx", "ac"},
        {string::set_difference, "abc", "bcd", "ad"},
    };
    for (const Case& c : cases) {
        Cell* r = result();
        string::set_operation(text(c.a), text(c.b), nullptr, false, c.op, r);
        EXPECT_EQ(utf8(r), c.expected) << c.a << " " << c.b;
    }
    Cell* r = result();
    string::set_operation(text("a1b2a3"), nullptr, integer(2), false, string::set_unique, r);
    EXPECT_EQ(utf8(r), "a1b2");
    string::set_operation(text("aA"), nullptr, nullptr, true, string::set_unique, r);
    EXPECT_EQ(utf8(r), "aA");
}

TEST_F(StringTest, SearchPrimitives) {
    Cell* s = text("Hello");
    EXPECT_EQ(string::find_char(s, 'l'), 2);
    EXPECT_EQ(string::find_char(s, 'z'), -1);
    EXPECT_TRUE(string::find_char_skip(s, 'L', 2, false));   // at 0, 2, 4: "H", "l", "o"
    EXPECT_FALSE(string::find_char_skip(s, 'e', 2, false));
    EXPECT_TRUE(string::starts_with_ascii(s, "Hel"));
    EXPECT_FALSE(string::starts_with_ascii(s, "Help"));
    EXPECT_TRUE(string::match_at(s, text("hell"), false));
    EXPECT_FALSE(string::match_at(s, text("hell"), true));
    EXPECT_TRUE(string::tag_delimited(text("<a>")));
    EXPECT_EQ(string::compare_strings(s, text("he"), actions::op_equal, true), 0);
    EXPECT_NE(string::compare_strings(text("h"), text("he"), actions::op_equal, true), 0);
}

std::vector<std::string> heard;
void record(const Cell*, const Cell*, const Cell*, const Cell* action, const Cell*, int32_t, int32_t) {
    heard.push_back(symbols::text(int32_t(action->w2)));
}

TEST_F(StringTest, EditsTellTheOwnerBeforeAndAfter) {
    uint32_t ctx = context::make(1, false, true, 0, context::kind_object);
    Cell* owner = push({type_object, ctx, 1, 0});
    Cell none = {type_none, 0, 0, 0};
    context::put_word_value(ctx, symbols::make("data"), &none);
    owner->w3 = memory::alloc_bytes(16);  // its change record: owners without one hear nothing
    Cell* s = text("b a c");
    *context::value_of_symbol(ctx, symbols::make("data")) = *s;
    Cell word = {type_word, 0, uint32_t(symbols::make("data")), uint32_t(-1)};
    ownership::bind(context::value_of_symbol(ctx, symbols::make("data")), owner, &word);
    services::current.deep_change_handler = record;
    heard.clear();
    Cell* r = result();
    append(s, character('!'));
    insert(s, character('?'));
    actions::lookup<actions::slot_change>(s)(s, character('x'), nullptr, false, nullptr, r);
    actions::lookup<actions::slot_trim>(s)(s, false, false, false, false, true, nullptr, r);
    actions::lookup<actions::slot_sort>(s)(s, false, nullptr, nullptr, nullptr, false, false, false, r);
    actions::lookup<actions::slot_take>(s)(s, nullptr, false, false, r);
    actions::lookup<actions::slot_swap>(s)(s, text("z"), r);
    partial_services::fill();
    std::vector<std::string> expected = {"append", "appended", "insert", "inserted", "change", "changed",
                                         "trim",   "trimmed",  "sort",   "sorted",   "take",   "taken",
                                         "swap",   "swaped"};
    EXPECT_EQ(heard, expected);
    EXPECT_EQ(utf8(s), "zbcx");
}

}  // namespace
