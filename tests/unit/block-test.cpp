// block!: registration, make/to, form and mold (line breaks, indentation,
// cycles), comparison, copy, take, swap, trim and path steps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datatype-fixture.h"
#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "memory/hash-table.h"

using namespace vum;

namespace {

class BlockTest : public DatatypeTest {
protected:
    static Cell at(const Cell* b, int32_t i) { return *block_actions::cell_at(b->w2, int32_t(b->w1) + i); }
    static void new_line(const Cell* b, int32_t i) {
        block_actions::cell_at_mut(b->w2, int32_t(b->w1) + i)->header |= cell::flag_new_line;
    }
    static std::string mold_with(const Cell* v, bool only, bool all, bool flat) {
        uint32_t buffer = string::make(16);
        gc::ProtectNode keep_buffer(&buffer);
        actions::call_mold(v, buffer, only, all, flat, false, -1, 0);
        return string::node_to_utf8(buffer);
    }
};

TEST_F(BlockTest, RegistersWithTheSeriesRow) {
    EXPECT_STREQ(datatype::names[type_block].name, "block!");
    EXPECT_EQ(datatype::handler(type_block, actions::slot_mold), actions::erased<actions::slot_mold>(block_actions::mold));
    // Inherited slots carry series!'s handler; slots series! leaves empty stay empty.
    EXPECT_EQ(datatype::handler(type_block, actions::slot_next), datatype::handler(type_series, actions::slot_next));
    EXPECT_EQ(datatype::handler(type_block, actions::slot_create), nullptr);
    EXPECT_EQ(datatype::handler(type_block, actions::slot_add), nullptr);
}

TEST_F(BlockTest, MoldFollowsNewLineMarkers) {
    struct Case {
        const char* name;
        bool first_marked, second_marked, only, flat;
        const char* text;
    } cases[] = {
        {"plain", false, false, false, false, "[a b]"},
        {"second on a new line", false, true, false, false, "[a\nb]"},
        {"flat ignores markers", true, true, false, true, "[a b]"},
        {"new-line/all", true, true, false, false, "[\n    a\n    b\n]"},
        {"only, no brackets nor first break", true, true, true, false, "a\nb"},
        {"only, plain", false, false, true, false, "a b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell* b = B({W("a"), W("b")});
        if (c.first_marked) new_line(b, 0);
        if (c.second_marked) new_line(b, 1);
        EXPECT_EQ(mold_with(b, c.only, false, c.flat), c.text);
    }
}

TEST_F(BlockTest, NestedBlocksIndentByLevel) {
    Cell* inner = B({W("c"), W("d")});
    new_line(inner, 0);
    new_line(inner, 1);
    Cell* outer = B({W("a"), *inner});
    new_line(outer, 0);
    new_line(outer, 1);
    EXPECT_EQ(mold(*outer), "[\n    a\n    [\n        c\n        d\n    ]\n]");
}

TEST_F(BlockTest, FormJoinsElementsWithSpaces) {
    Cell* inner = B({I(2), I(3)});
    Cell* b = B({I(1), *inner, W("x")});
    EXPECT_EQ(form(*b), "1 2 3 x");
    // An element that ends a line is not followed by a space.
    Cell* lines = B({W("a\n"), W("b")});
    EXPECT_EQ(form(*lines), "a\nb");
    Cell* empty = B({});
    EXPECT_EQ(form(*empty), "");
    EXPECT_EQ(mold(*empty), "[]");
}

TEST_F(BlockTest, BlockHoldingItselfShowsTheCycleMarker) {
    Cell* b = B({I(1)});
    block_actions::append_copy(b, b);
    EXPECT_EQ(mold(*b), "[1 [...]]");
    EXPECT_EQ(form(*b), "1 ...");
    Cell* p = keep(*b);
    cell::set_type(p, type_paren);
    EXPECT_EQ(mold(*p), "(1 [...])");  // the inner reference is a block!
    // Comparing it with itself through another reference ends as well.
    Cell* other = B({I(1)});
    block_actions::append_copy(other, other);
    EXPECT_EQ(actions::call_compare(b, other, actions::op_equal), 0);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(BlockTest, MoldAllAndPartLimits) {
    Cell none = core_types::none_cell;
    EXPECT_EQ(actions::mold_text(&none, true), "#(none)");
    Cell* b = B({none, W("none")});
    EXPECT_EQ(mold_with(b, false, true, false), "[#(none) none]");
    // A part limit stops molding once it is used up, and counts the brackets.
    Cell* long_block = B({I(100), I(200), I(300), I(400)});
    uint32_t buffer = string::make(16);
    gc::ProtectNode keep_buffer(&buffer);
    Cell part = none;
    int32_t left = block_actions::mold(long_block, buffer, false, false, false, &part, 6, 0);
    std::string text = string::node_to_utf8(buffer);
    EXPECT_EQ(text.substr(0, 6), "[100 2");
    EXPECT_LT(text.size(), std::string("[100 200 300 400]").size());
    EXPECT_EQ(left, 6 - int32_t(text.size()));
}

TEST_F(BlockTest, Comparison) {
    using actions::compare;
    Cell* one_two = B({I(1), I(2)});
    Cell* one_two_three = B({I(1), I(2), I(3)});
    Cell* empty = B({});
    Cell* one = B({I(1)});
    Cell* word = B({W("x")});
    Cell* again = B({I(1), I(2)});
    EXPECT_FALSE(compare(one_two, one_two_three, actions::op_equal));
    EXPECT_TRUE(compare(one_two, again, actions::op_equal));
    EXPECT_FALSE(compare(one_two, again, actions::op_same));
    EXPECT_TRUE(compare(one_two, keep(*one_two), actions::op_same));
    EXPECT_TRUE(compare(one_two, one_two_three, actions::op_lesser));
    EXPECT_TRUE(compare(empty, one, actions::op_lesser));
    // Elements of different kinds order by their type ids.
    EXPECT_EQ(actions::call_compare(one, word, actions::op_sort), type_integer < type_word ? -1 : 1);
    Cell* string_value = keep(string::from_utf8("x"));
    Cell* text = B({*string_value});
    EXPECT_EQ(actions::call_compare(one, text, actions::op_sort), type_integer < type_string ? -1 : 1);
    // A block and a value of another type cannot be compared.
    Cell n = I(1);
    EXPECT_EQ(block_actions::compare(one, &n, actions::op_equal), actions::not_comparable);
    // Equal elements found by the canonical alias of words.
    Cell* upper = B({W("X")});
    EXPECT_TRUE(compare(word, upper, actions::op_equal));
    EXPECT_FALSE(compare(word, upper, actions::op_strict_equal));
}

TEST_F(BlockTest, MakeAndTo) {
    Cell proto = {type_datatype, type_block, 0, 0};
    Cell* out = keep(core_types::none_cell);
    for (int32_t n : {0, -5}) {
        Cell spec = I(n);
        block_actions::make(&proto, &spec, type_block, out);
        EXPECT_EQ(cell::type(out), type_block);
        EXPECT_EQ(block_actions::length_from_head(out), 0);
        EXPECT_GE(nodes::buffer(out->w2)->size, 16u);
    }
    Cell* source = B({I(1), I(2)});
    block_actions::make(&proto, source, type_paren, out);
    EXPECT_EQ(mold(*out), "(1 2)");
    EXPECT_NE(out->w2, source->w2);

    Cell* text = keep(string::from_utf8("x"));
    Cell e = caught([&] { block_actions::make(&proto, text, type_block, out); });
    EXPECT_EQ(error_id(e), "bad-make-arg");

    Cell one = I(1);
    block_actions::to(&proto, &one, type_block, out);
    EXPECT_EQ(mold(*out), "[1]");
}

TEST_F(BlockTest, CopyShallowDeepAndPart) {
    Cell* inner = B({I(2)});
    Cell* b = B({I(1), *inner, I(3)});
    Cell* out = keep(core_types::none_cell);
    block_actions::copy(b, out, nullptr, false, nullptr);
    EXPECT_EQ(mold(*out), "[1 [2] 3]");
    EXPECT_NE(out->w2, b->w2);
    EXPECT_EQ(at(out, 1).w2, inner->w2);  // shallow: the nested block is shared

    block_actions::copy(b, out, nullptr, true, nullptr);
    EXPECT_EQ(mold(*out), "[1 [2] 3]");
    EXPECT_NE(at(out, 1).w2, inner->w2);

    Cell two = I(2);
    block_actions::copy(b, out, &two, false, nullptr);
    EXPECT_EQ(mold(*out), "[1 [2]]");
    Cell minus = I(-1);
    Cell* later = keep(*b);
    later->w1 = 2;
    block_actions::copy(later, out, &minus, false, nullptr);
    EXPECT_EQ(mold(*out), "[[2]]");

    // /types copies only the nested values of the kind given.
    Cell kind = {type_datatype, type_block, 0, 0};
    block_actions::copy(b, out, nullptr, false, &kind);
    EXPECT_NE(at(out, 1).w2, inner->w2);

    Cell* cyclic = B({I(1)});
    block_actions::append_copy(cyclic, cyclic);
    Cell e = caught([&] { block_actions::copy(cyclic, out, nullptr, true, nullptr); });
    EXPECT_EQ(error_id(e), "no-cycle");
    EXPECT_EQ(cycles::depth(), 0);

    Cell bad = core_types::true_cell;
    e = caught([&] { block_actions::copy(b, out, &bad, false, nullptr); });
    EXPECT_EQ(error_id(e), "invalid-refine-arg");
}

TEST_F(BlockTest, Take) {
    Cell* out = keep(core_types::none_cell);
    Cell* b = B({I(1), I(2), I(3)});
    block_actions::take(b, nullptr, false, false, out);
    EXPECT_EQ(mold(*out), "1");
    EXPECT_EQ(mold(*b), "[2 3]");

    b = B({I(1), I(2), I(3)});
    Cell two = I(2);
    block_actions::take(b, &two, false, false, out);
    EXPECT_EQ(mold(*out), "[1 2]");
    EXPECT_EQ(mold(*b), "[3]");

    b = B({I(1), I(2), I(3)});
    block_actions::take(b, nullptr, false, true, out);
    EXPECT_EQ(mold(*out), "3");
    EXPECT_EQ(mold(*b), "[1 2]");

    // A negative count takes the elements before the head.
    b = B({I(1), I(2), I(3)});
    b->w1 = 2;
    Cell minus = I(-2);
    block_actions::take(b, &minus, false, false, out);
    EXPECT_EQ(mold(*out), "[1 2]");
    b->w1 = 0;
    EXPECT_EQ(mold(*b), "[3]");

    Cell* empty = B({});
    block_actions::take(empty, nullptr, false, false, out);
    EXPECT_EQ(cell::type(out), type_none);
}

TEST_F(BlockTest, SwapAndTrim) {
    Cell* a = B({I(1), I(2)});
    Cell* b = B({I(3), I(4)});
    Cell* out = keep(core_types::none_cell);
    block_actions::swap(a, b, out);
    EXPECT_EQ(mold(*a), "[3 2]");
    EXPECT_EQ(mold(*b), "[1 4]");
    Cell n = I(1);
    Cell e = caught([&] { block_actions::swap(a, &n, out); });
    EXPECT_EQ(error_id(e), "invalid-arg");

    Cell none = core_types::none_cell;
    Cell* t = B({none, W("none"), I(1), none});
    block_actions::trim(t, false, false, false, false, false, nullptr, out);
    EXPECT_EQ(mold(*t), "[none 1]");
    EXPECT_EQ(block_actions::length_from_head(t), 2);
}

TEST_F(BlockTest, PathSteps) {
    Cell* b = B({W("a"), I(1), W("b"), I(2)});
    Cell* out = keep(core_types::none_cell);
    Cell three = I(3);
    Cell word_b = W("b");
    Cell upper_b = W("B");
    actions::PathStep get{b, &three, nullptr, nullptr, nullptr, nullptr, -1, false, false, false, false};
    block_actions::eval_path(get, out);
    EXPECT_EQ(mold(*out), "b");
    get.element = &upper_b;
    block_actions::eval_path(get, out);
    EXPECT_EQ(mold(*out), "2");
    get.case_sensitive = true;
    block_actions::eval_path(get, out);
    EXPECT_EQ(cell::type(out), type_none);

    Cell nine = I(9);
    actions::PathStep set{b, &word_b, &nine, nullptr, nullptr, nullptr, -1, false, false, false, false};
    block_actions::eval_path(set, out);
    EXPECT_EQ(mold(*b), "[a 1 b 9]");
    Cell missing = W("zz");
    set.element = &missing;
    Cell e = caught([&] { block_actions::eval_path(set, out); });
    EXPECT_EQ(error_id(e), "bad-path-set");
    Cell* zero = keep(I(0));
    set.element = zero;
    e = caught([&] { block_actions::eval_path(set, out); });
    EXPECT_EQ(error_id(e), "out-of-range");
}

TEST_F(BlockTest, CellOperations) {
    Cell* b = B({W("a"), I(1), W("b"), I(2)});
    Cell key = W("b");
    EXPECT_EQ(mold(*block_actions::select_value(b, &key)), "2");
    Cell set_word = {type_set_word, 0, key.w2, uint32_t(-1)};
    *block_actions::cell_at_mut(b->w2, 2) = set_word;
    EXPECT_EQ(mold(*block_actions::select_word(b, &key, true)), "2");
    Cell last = I(2);
    EXPECT_EQ(cell::type(block_actions::select_value(b, &last)), type_none);

    // The answer tells whether the removed cell stood at or before the head.
    Cell one = I(1), a = W("a"), absent = I(7);
    EXPECT_FALSE(block_actions::remove_value(b, &one, false));
    EXPECT_EQ(block_actions::length_from_head(b), 3);
    EXPECT_TRUE(block_actions::remove_value(b, &a, false));
    EXPECT_EQ(block_actions::length_from_head(b), 2);
    EXPECT_FALSE(block_actions::remove_value(b, &absent, false));
    EXPECT_EQ(block_actions::length_from_head(b), 2);

    Cell* target = B({I(1)});
    Cell* source = B({I(2), I(3)});
    block_actions::insert_all(target, source);
    EXPECT_EQ(target->w1, 2u);
    target->w1 = 0;
    EXPECT_EQ(mold(*target), "[2 3 1]");
    block_actions::append_all(target, target);
    EXPECT_EQ(mold(*target), "[2 3 1 2 3 1]");
    block_actions::remove_last(target);
    EXPECT_EQ(block_actions::length_from_head(target), 5);
    target->w1 = 9;
    block_actions::clip_head(target);
    EXPECT_EQ(target->w1, 5u);

    // Inserting a block into itself reads each cell where the insertions moved it.
    Cell* self = B({I(1), I(2)});
    Cell* whole = keep(*self);
    self->w1 = 1;
    block_actions::insert_all(self, whole);
    EXPECT_EQ(mold(*whole), "[1 1 2 2]");

    Cell* inner = B({I(1)});
    Cell* outer = B({*inner});
    new_line(outer, 0);
    Cell* out = keep(core_types::none_cell);
    block_actions::clone(outer, true, false, out);
    EXPECT_NE(at(out, 0).w2, inner->w2);
    EXPECT_TRUE(cell::has_new_line(block_actions::cell_at(out->w2, 0)));
}

// Every allocation collects and moves every buffer: the handlers must
// re-read their buffers and keep what they make reachable.
TEST_F(BlockTest, SurvivesCollectionsThatMoveBuffers) {
    gc::set_torture(1);
    Cell* b = B({I(0)});
    for (int32_t i = 1; i < 40; i++) {
        Cell* inner = B({I(i), W("w")});
        block_actions::append_copy(b, inner);
        stack::drop(1);
    }
    block_actions::append_copy(b, b);
    Cell* out = keep(core_types::none_cell);
    block_actions::copy(b, out, nullptr, false, nullptr);
    std::string text = mold(*b);
    gc::set_torture(saved_torture);
    EXPECT_EQ(text.substr(0, 13), "[0 [1 w] [2 w");
    EXPECT_EQ(text.substr(text.size() - 13), "[39 w] [...]]");
    EXPECT_EQ(block_actions::length_from_head(out), 41);
    EXPECT_EQ(at(out, 40).w2, b->w2);
}

}  // namespace
