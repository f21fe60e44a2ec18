#include <gtest/gtest.h>

#include <string>

#include "base/runtime-init.h"
#include "datatype-fixture.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/symbol-context.h"
#include "datatypes/word.h"

using namespace vum;

namespace {

using Words = DatatypeTest;

Cell make_word(uint8_t type, const char* text) {
    Cell w = word::load(text);
    w.header = type;
    return w;
}

// The frame handler run on (a, b); the frame's result. The stack is put
// back only on a normal return: an error must stay on it for the try frame.
Cell run_frame(actions::FrameFn fn, const Cell& a, const Cell& b) {
    Cell name = context::load_word("set");
    stack::State saved = stack::s;
    stack::push_native_frame(&name);
    *stack::push_cell() = a;
    *stack::push_cell() = b;
    fn();
    Cell result = *stack::arg(0);
    stack::s = saved;
    return result;
}

Cell convert(uint8_t target, const Cell& spec) {
    Cell proto = {type_datatype, target, 0, 0}, s = spec, out = {type_none, 0, 0, 0};
    gc::Protect keep(&s);
    actions::handler<actions::slot_to>(target)(&proto, &s, target, &out);
    return out;
}

Cell text(const char* utf8) { return string::from_utf8(utf8); }

TEST_F(Words, EveryKindMoldsWithItsSigilAndFormsBare) {
    struct Case {
        uint8_t type;
        const char* mold;
    } cases[] = {
        {type_word, "fooBar"},      {type_lit_word, "'fooBar"},    {type_set_word, "fooBar:"},
        {type_get_word, ":fooBar"}, {type_refinement, "/fooBar"},  {type_issue, "#fooBar"},
    };
    for (const Case& c : cases) {
        Cell w = make_word(c.type, "fooBar");
        EXPECT_EQ(mold(w), c.mold) << int(c.type);
        EXPECT_EQ(form(w), "fooBar") << int(c.type);
    }
    // Non-ASCII spellings come out as written.
    EXPECT_EQ(mold(make_word(type_lit_word, "gr\xC3\xBC\xC3\x9F")), "'gr\xC3\xBC\xC3\x9F");
}

TEST_F(Words, MoldStopsAtThePartLimitAndTheSigilCounts) {
    struct Case {
        uint8_t type;
        int32_t limit;
        const char* text;
        int32_t left;
    } cases[] = {
        {type_lit_word, 3, "'ab", 0}, {type_set_word, 3, "abc", 0}, {type_set_word, 5, "abc:", 1},
        {type_refinement, 1, "/", 0}, {type_word, 0, "", 0},
    };
    for (const Case& c : cases) {
        Cell w = make_word(c.type, "abc");
        uint32_t buffer = string::make(8);
        gc::ProtectNode keep(&buffer);
        int32_t left = actions::call_mold(&w, buffer, false, false, false, true, c.limit, 0);
        EXPECT_EQ(string::node_to_utf8(buffer), c.text) << int(c.type) << " " << c.limit;
        EXPECT_EQ(left, c.left);
    }
}

TEST_F(Words, ComparisonUsesTheCanonicalSymbolExceptWhenStrict) {
    using namespace actions;
    Cell lit_foo = make_word(type_lit_word, "Foo"), lit_lower = make_word(type_lit_word, "foo");
    Cell word_lower = make_word(type_word, "foo"), set_lower = make_word(type_set_word, "foo");
    Cell word_upper = make_word(type_word, "FOO"), other = make_word(type_word, "bar");
    EXPECT_TRUE(compare(&lit_foo, &lit_lower, op_equal));
    EXPECT_FALSE(compare(&lit_foo, &lit_lower, op_strict_equal));
    EXPECT_TRUE(compare(&word_lower, &lit_foo, op_equal));   // any kinds, any case
    EXPECT_TRUE(compare(&set_lower, &word_upper, op_equal));
    EXPECT_FALSE(compare(&word_lower, &lit_lower, op_strict_equal));  // kinds differ
    EXPECT_FALSE(compare(&word_lower, &other, op_equal));
    EXPECT_TRUE(compare(&word_lower, &other, op_not_equal));

    struct Case {
        const Cell* a;
        const Cell* b;
        int32_t op;
        int32_t expected;
    } cases[] = {
        {&word_lower, &lit_lower, op_equal_path_10, 0},  // word and lit-word by exact symbol
        {&word_lower, &lit_foo, op_equal_path_10, 1},
        {&word_lower, &set_lower, op_equal_path_10, 1},  // otherwise strict
        {&word_lower, &lit_foo, op_equal_path_11, 0},   // word and lit-word as equal
        {&word_lower, &set_lower, op_equal_path_11, 1},  // otherwise same kind, canonical
        {&word_lower, &word_upper, op_equal_path_11, 0},
        {&word_lower, &word_lower, op_same, 0},
        {&word_lower, &word_upper, op_same, 1},
        {&word_lower, &lit_lower, op_same, 1},
        {&other, &word_lower, op_lesser, -1},           // by name
        {&word_upper, &other, op_sort, 1},              // FOO after bar, case folded
        {&word_upper, &other, op_case_sort, -1},        // F before b by code point
    };
    for (const Case& c : cases) EXPECT_EQ(call_compare(c.a, c.b, c.op), c.expected) << c.op;

    // Upper case sorts first only when case counts.
    Cell upper_b = make_word(type_word, "B"), lower_a = make_word(type_word, "a");
    EXPECT_EQ(call_compare(&upper_b, &lower_a, op_sort), 1);
    EXPECT_EQ(call_compare(&upper_b, &lower_a, op_case_sort), -1);
}

TEST_F(Words, IssuesCompareOnlyWithIssues) {
    using namespace actions;
    Cell issue = make_word(type_issue, "abc"), upper = make_word(type_issue, "ABC");
    Cell w = make_word(type_word, "abc");
    Cell none = core_types::none_cell;
    EXPECT_EQ(call_compare(&issue, &w, op_equal), not_comparable);
    EXPECT_EQ(call_compare(&w, &issue, op_equal), not_comparable);
    EXPECT_EQ(call_compare(&w, &none, op_equal), not_comparable);
    EXPECT_TRUE(compare(&issue, &upper, op_equal));
    EXPECT_FALSE(compare(&issue, &upper, op_strict_equal));
}

TEST_F(Words, ACaseVariantOfAGlobalWordSharesTheFirstSpellingsSlot) {
    Cell lower = word::load("counter"), upper = word::load("COUNTER");
    EXPECT_NE(lower.w2, upper.w2);  // each keeps its spelling
    EXPECT_EQ(lower.w3, upper.w3);
    EXPECT_EQ(mold(upper), "COUNTER");
    Cell one, two;
    cell::make_integer(&one, 1);
    cell::make_integer(&two, 2);
    run_frame(word::set_from_stack, lower, one);
    EXPECT_EQ(word::value_of(&upper).w2, 1u);
    Cell result = run_frame(word::set_from_stack, upper, two);
    EXPECT_EQ(result.w2, 2u);
    EXPECT_EQ(word::value_of(&lower).w2, 2u);
    // make-at of the variant's symbol reaches the same slot.
    Cell made;
    word::make_at(int32_t(upper.w2), &made);
    EXPECT_EQ(made.w3, lower.w3);
}

TEST_F(Words, ReadingAndSettingRefuseUnsetValuesAndMissingSlots) {
    Cell w = word::load("never-set");
    Cell unset = core_types::unset_cell;
    EXPECT_EQ(error_id(caught([&] { word::get(&w); })), "no-value");
    EXPECT_EQ(error_id(caught([&] { run_frame(word::set_from_stack, w, unset); })), "need-value");
    // The kinds' set does not check.
    Cell lit = make_word(type_lit_word, "never-set");
    Cell stored = run_frame(word::set_unchecked, lit, unset);
    EXPECT_EQ(cell::type(&stored), type_unset);
    EXPECT_EQ(cell::type(word::push_value(&w)), type_unset);

    // No context, a slot index past the table, and an unbound word.
    Cell loose = {type_word, 0, w.w2, 0};
    Cell wild = {type_word, context::global, w.w2, 1u << 30};
    Cell unbound = {type_word, context::global, w.w2, uint32_t(-1)};
    Cell one;
    cell::make_integer(&one, 1);
    EXPECT_EQ(error_id(caught([&] { word::get(&loose); })), "not-defined");
    EXPECT_EQ(error_id(caught([&] { run_frame(word::set_from_stack, loose, one); })), "not-defined");
    EXPECT_EQ(error_id(caught([&] { word::get(&wild); })), "not-defined");
    EXPECT_EQ(error_id(caught([&] { word::get(&unbound); })), "no-value");
    EXPECT_EQ(error_id(caught([&] { word::push_from_context(context::global, -1); })), "out-of-range");

    // A function's context has no values while no call of it runs.
    uint32_t fn = context::make(2, true, false, 0, context::kind_function);
    gc::ProtectNode keep(&fn);
    context::add_word(fn, symbols::make("arg"));
    Cell e = caught([&] { word::get_in_context(fn, 0); });
    EXPECT_EQ(error_id(e), "not-defined");
}

TEST_F(Words, IndexedAccessMarksObjectSlotsAndKeepsTheOldValue) {
    uint32_t obj = context::make(2, false, true, 0, context::kind_object);
    gc::ProtectNode keep(&obj);
    int32_t a = context::add_word(obj, symbols::make("a"));
    int32_t b = context::add_word(obj, symbols::make("b"));
    stack::Mark mark;
    Cell name = context::load_word("set");
    stack::push_native_frame(&name);
    Cell* result = stack::push_cell();
    cell::make_integer(result, 7);
    cell::make_integer(stack::push_cell(), 5);
    Cell* old = word::set_by_index(obj, a);
    EXPECT_EQ(cell::type(old), type_unset);
    EXPECT_EQ(word::get_in_context(obj, a)->w2, 5u);
    EXPECT_TRUE(context::word_at(obj, a)->header & cell::flag_slot_changed);
    EXPECT_FALSE(context::word_at(obj, b)->header & cell::flag_slot_changed);

    EXPECT_EQ(word::set_from_result(obj, b)->w2, 7u);
    EXPECT_EQ(word::value_slot(obj, b)->w2, 7u);
    EXPECT_TRUE(context::word_at(obj, b)->header & cell::flag_slot_changed);

    Cell pushed = *word::push_from_context_as(type_set_word, obj, b);
    EXPECT_EQ(mold(pushed), "b:");
    EXPECT_EQ(pushed.w1, obj);

    Cell destination = core_types::none_cell;
    word::check_set_value(&destination);
    EXPECT_EQ(destination.w2, 7u);
    Cell e = caught([&] {
        *stack::result() = core_types::unset_cell;
        word::check_set_value(&destination);
    });
    EXPECT_EQ(error_id(e), "need-value");
    EXPECT_EQ(destination.w2, 7u);
}

TEST_F(Words, IndexOfAWordIsItsSlotPlusOne) {
    uint32_t ctx = context::make(2, false, false, 0, context::kind_object);
    gc::ProtectNode keep(&ctx);
    context::add_word(ctx, symbols::make("first"));
    Cell first = *context::word_at(ctx, 0);
    Cell none = core_types::none_cell;
    Cell bound = run_frame(actions::lookup<actions::slot_index_q>(&first), first, none);
    EXPECT_EQ(cell::type(&bound), type_integer);
    EXPECT_EQ(cell::get_integer(&bound), 1);
    Cell unbound = make_word(type_get_word, "x");
    unbound.w3 = uint32_t(-1);
    Cell index = run_frame(actions::lookup<actions::slot_index_q>(&unbound), unbound, none);
    EXPECT_EQ(cell::type(&index), type_none);
    Cell refinement = make_word(type_refinement, "x");
    EXPECT_EQ(error_id(caught([&] { actions::lookup<actions::slot_index_q>(&refinement); })),
              "expect-arg");
}

TEST_F(Words, MakeAndToBetweenKindsAndFromOtherValues) {
    struct Case {
        uint8_t target;
        Cell spec;
        const char* mold;  // or the error id when error is set
        bool error;
    };
    Cell hash_abc = make_word(type_issue, "abc"), hash_123 = make_word(type_issue, "123");
    Cell hash_space = make_word(type_issue, "a b");
    Cell get_x = make_word(type_get_word, "x"), slash_y = make_word(type_refinement, "y");
    Cell one, x_char = {type_char, 0, 'x', 0};
    cell::make_integer(&one, 1);
    const Case cases[] = {
        {type_word, {type_datatype, type_integer, 0, 0}, "integer!", false},
        {type_set_word, core_types::false_cell, "false:", false},
        {type_word, hash_abc, "abc", false},
        {type_word, hash_123, "bad-to-arg", true},     // reads as a number
        {type_word, hash_space, "bad-to-arg", true},   // reads as two values
        {type_lit_word, get_x, "'x", false},
        {type_refinement, get_x, "/x", false},
        {type_get_word, slash_y, ":y", false},
        {type_word, x_char, "x", false},
        {type_word, one, "bad-to-arg", true},
        {type_issue, get_x, "#x", false},
        {type_issue, {type_datatype, type_logic, 0, 0}, "#logic!", false},
        {type_issue, one, "bad-to-arg", true},
    };
    for (const Case& c : cases) {
        if (c.error) {
            EXPECT_EQ(error_id(caught([&] { convert(c.target, c.spec); })), c.mold) << c.mold;
        } else {
            EXPECT_EQ(mold(convert(c.target, c.spec)), c.mold);
        }
    }
    // Retyping keeps the context and the slot.
    Cell lit = convert(type_lit_word, get_x);
    EXPECT_EQ(lit.w1, get_x.w1);
    EXPECT_EQ(lit.w3, get_x.w3);
    // An issue never names a slot, whatever it came from.
    Cell issue = convert(type_issue, get_x);
    EXPECT_EQ(issue.w1, context::global);
    EXPECT_EQ(int32_t(issue.w3), -1);
    // A word made from an issue is bound to the global word of its name.
    Cell abc = word::load("abc");
    EXPECT_EQ(convert(type_word, hash_abc).w3, abc.w3);
}

TEST_F(Words, MakeFromTextLoadsOneWord) {
    struct Case {
        uint8_t target;
        const char* text;
        const char* result;  // a mold, or the error id
    } cases[] = {
        {type_word, "foo:", "foo"},          {type_word, "  'bar baz", "bar"},
        {type_set_word, "/ref", "ref:"},     {type_word, "12", "invalid-chars"},
        {type_word, "", "invalid-chars"},    {type_word, "[a]", "invalid-chars"},
        {type_word, "a/b", "invalid-chars"}, {type_lit_word, "<", "'<"},
        {type_issue, "1 2", "#1 2"},        // issues are not checked
        {type_issue, "", "#"},
    };
    for (const auto& c : cases) {
        gc::Local s(text(c.text));
        bool is_error = std::string(c.result) == "invalid-chars";
        if (is_error) {
            EXPECT_EQ(error_id(caught([&] { convert(c.target, s); })), c.result) << c.text;
        } else {
            EXPECT_EQ(mold(convert(c.target, s)), c.result) << c.text;
        }
    }
    // From the string's position, not its buffer start.
    gc::Local s(text("xyz"));
    s.w1 = 1;
    EXPECT_EQ(mold(convert(type_issue, s)), "#yz");
    EXPECT_EQ(mold(convert(type_word, s)), "yz");
}

TEST_F(Words, StartUpRecordingKeepsTheMadeKind) {
    auto root_tail = [] { return *(series::cells_tail(gc::roots.root_block.w2) - 1); };
    int32_t before = series::length_from_head(&gc::roots.root_block);
    runtime::word_recording = 1;
    Cell lit = word::load_as(type_lit_word, "recorded");
    Cell recorded = root_tail();
    EXPECT_EQ(cell::type(&recorded), type_lit_word);
    Cell issue = issue::make("tag");
    Cell last = root_tail();
    EXPECT_EQ(mold(last), "#tag");
    runtime::word_recording = 0;
    EXPECT_EQ(series::length_from_head(&gc::roots.root_block), before + 2);
    EXPECT_EQ(lit.w2, uint32_t(symbols::make("recorded")));
    // Not recording: the issue goes on the value stack.
    stack::Mark mark;
    issue::make("other");
    EXPECT_EQ(mold(*stack::top_cell()), "#other");
    EXPECT_EQ(series::length_from_head(&gc::roots.root_block), before + 2);
    EXPECT_EQ(issue.w3, uint32_t(-1));

    Cell r = word::append_refinement_symbol("only");
    EXPECT_EQ(r.w1, 0u);
    EXPECT_EQ(mold(root_tail()), "/only");
}

TEST_F(Words, BlocksAndTheStackReceiveGlobalWords) {
    uint32_t node = memory::alloc_cells(2);
    Cell block;
    cell::make_series(&block, type_block, node);
    gc::Protect keep(&block);
    // Enough new spellings to outgrow the block and the stack's first use.
    for (int32_t i = 0; i < 40; i++) {
        std::string name = "w" + std::to_string(i);
        word::load_into_block(symbols::make(name.c_str()), &block);
        word::load_into_block_as(type_set_word, name.c_str(), &block);
        issue::append_to_block(name.c_str(), &block);
    }
    ASSERT_EQ(series::length_from_head(&block), 120);
    for (int32_t i = 0; i < 40; i++) {
        std::string name = "w" + std::to_string(i);
        Cell w = series::cells_head(node)[i * 3];
        Cell s = series::cells_head(node)[i * 3 + 1];
        Cell h = series::cells_head(node)[i * 3 + 2];
        EXPECT_EQ(mold(w), name);
        EXPECT_EQ(mold(s), name + ":");
        EXPECT_EQ(mold(h), "#" + name);
        EXPECT_EQ(w.w3, s.w3);
        EXPECT_EQ(w.w1, context::global);
    }
    stack::Mark mark;
    Cell* pushed = word::push_symbol(symbols::make("pushed"));
    EXPECT_EQ(word::word_for_symbol(context::global, int32_t(pushed->w2)).w3, pushed->w3);
    Cell* as_issue = issue::push(pushed);
    EXPECT_EQ(mold(*as_issue), "#pushed");
    EXPECT_EQ(int32_t(as_issue->w3), -1);
}

TEST_F(Words, SymbolsCompareByNameAndShareTheirString) {
    using namespace actions;
    int32_t lower = symbols::make("name"), upper = symbols::make("NAME"), other = symbols::make("names");
    Cell a = *symbols::entry(lower), b = *symbols::entry(upper), c = *symbols::entry(other);
    EXPECT_TRUE(compare(&a, &b, op_equal));
    EXPECT_FALSE(compare(&a, &b, op_strict_equal));
    EXPECT_FALSE(compare(&a, &c, op_equal));
    EXPECT_EQ(call_compare(&a, &c, op_sort), -1);  // a prefix sorts first
    Cell none = core_types::none_cell;
    EXPECT_EQ(call_compare(&a, &none, op_equal), not_comparable);
    EXPECT_EQ(datatype::handler(type_context, slot_compare), nullptr);

    stack::Mark mark;
    Cell w = word::load("NAME");
    Cell first = *symbol_type::push_string(&w);
    Cell second = *symbol_type::push_string(&w);
    EXPECT_EQ(first.w2, second.w2);  // the cached name, not a copy
    EXPECT_EQ(string::to_utf8(&first), "NAME");
}

}  // namespace
