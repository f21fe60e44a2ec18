// block! find, select, put, append, insert, change, sort and the set
// operations.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datatype-fixture.h"
#include "datatypes/block-search.h"
#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "memory/hash-table.h"

using namespace vum;

namespace {

using actions::FindOptions;

// Stands in for calling a comparison function: the function! cell's w1
// picks `lesser?` (0) or `greater?` (1) on integers.
void comparator(const Cell* function, const Cell* a, const Cell* b, Cell* result) {
    int32_t x = cell::get_integer(a), y = cell::get_integer(b);
    cell::make_logic(result, function->w1 == 0 ? x < y : x > y);
}

// A comparator over records handed over as blocks: orders by their second cell.
void record_comparator(const Cell*, const Cell* a, const Cell* b, Cell* result) {
    int32_t x = cell::get_integer(block_actions::cell_at(a->w2, int32_t(a->w1) + 1));
    int32_t y = cell::get_integer(block_actions::cell_at(b->w2, int32_t(b->w1) + 1));
    cell::make_logic(result, x < y);
}

class BlockSearchTest : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        out = stack::push_cell();
        cell::make_none(out);
    }
    void TearDown() override {
        block_search::call_comparator = block_search::call_function;
        DatatypeTest::TearDown();
    }

    Cell* out = nullptr;

    // The block from its head, as molded.
    static std::string m(const Cell* v) { return mold(*v); }
    static std::string whole(const Cell* b) {
        Cell head = *b;
        head.w1 = 0;
        return mold(head);
    }
    template <class Fn>
    std::string error_of(Fn fn) {
        return error_id(caught(fn));
    }
};

TEST_F(BlockSearchTest, FindPositions) {
    Cell* abc = B({W("a"), W("b"), W("c")});
    Cell* bc = B({W("b"), W("c")});
    Cell* nested = B({W("a"), *bc});
    Cell* text = keep(string::from_utf8("x"));
    Cell* mixed = B({W("a"), I(1), *text});
    Cell* ones = B({I(1), I(2), I(1), I(2)});
    Cell* records = B({W("a"), I(1), W("b"), I(2)});
    Cell string_type = {type_datatype, type_string, 0, 0};
    Cell any_number = {type_typeset, 0, 0, 0};
    reinterpret_cast<uint8_t*>(&any_number.w1)[type_integer >> 3] |= uint8_t(0x80 >> (type_integer & 7));
    Cell b = W("b"), a = W("a"), one = I(1), two = I(2);

    struct Case {
        const char* name;
        const Cell* series;
        const Cell* value;
        FindOptions options;
        int32_t index;  // -1: none
    };
    FindOptions only, tail, last, reverse, skip2, match, part1, part2;
    only.only = true;
    tail.tail = true;
    last.last = true;
    reverse.reverse = true;
    skip2.skip = &two;
    match.match = true;
    part1.part = &one;
    part2.part = &two;
    Cell* from_end = keep(*ones);
    from_end->w1 = 4;
    Cell* beyond = keep(*ones);  // a head left past a shortened tail
    beyond->w1 = 9;
    Case cases[] = {
        {"a sequence", abc, bc, {}, 1},
        {"a nested block with /only", nested, bc, only, 1},
        {"the sequence is not nested", nested, bc, {}, -1},
        {"by datatype", mixed, &string_type, {}, 2},
        {"by typeset", mixed, &any_number, {}, 1},
        {"/tail", abc, &b, tail, 2},
        {"/tail of a sequence", abc, bc, tail, 3},
        {"/last", ones, &one, last, 2},
        {"/reverse from the tail", from_end, &one, reverse, 2},
        {"/reverse at the head finds nothing", ones, &one, reverse, -1},
        {"/reverse from past the tail", beyond, &two, reverse, 3},
        {"/skip tests record starts", records, &b, skip2, 2},
        {"/skip passes over values", records, &two, skip2, -1},
        {"/match at the head", abc, &a, match, 0},
        {"/match elsewhere", abc, &b, match, -1},
        {"/part stops the search", abc, &b, part2, 1},
        {"/part too short", ones, &two, part1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        block_search::find(c.series, c.value, c.options, out);
        if (c.index < 0) {
            EXPECT_EQ(cell::type(out), type_none);
        } else {
            ASSERT_EQ(cell::type(out), cell::type(c.series));
            EXPECT_EQ(out->w2, c.series->w2);
            EXPECT_EQ(int32_t(out->w1), c.index);
        }
    }
    block_search::find(nested, bc, only, out);
    EXPECT_EQ(m(out), "[[b c]]");
}

TEST_F(BlockSearchTest, FindRejectsBadRefinements) {
    Cell* abc = B({W("a"), W("b"), W("c")});
    Cell b = W("b"), zero = I(0), word = W("x");
    FindOptions skip0, skip_word, part_word;
    skip0.skip = &zero;
    skip_word.skip = &word;
    part_word.part = &word;
    EXPECT_EQ(error_of([&] { block_search::find(abc, &b, skip0, out); }), "out-of-range");
    EXPECT_EQ(error_of([&] { block_search::find(abc, &b, skip_word, out); }), "invalid-refine-arg");
    EXPECT_EQ(error_of([&] { block_search::find(abc, &b, part_word, out); }), "invalid-refine-arg");
    Cell* empty = B({});
    block_search::find(empty, &b, {}, out);
    EXPECT_EQ(cell::type(out), type_none);
}

TEST_F(BlockSearchTest, Select) {
    Cell* pairs = B({W("a"), I(1), W("b"), I(2)});
    Cell* cut = B({W("a"), I(1), W("b")});
    Cell* abc = B({W("a"), W("b"), W("c")});
    Cell* ab = B({W("a"), W("b")});
    Cell b = W("b");
    block_search::select(pairs, &b, {}, out);
    EXPECT_EQ(m(out), "2");
    block_search::select(cut, &b, {}, out);
    EXPECT_EQ(cell::type(out), type_none);
    block_search::select(abc, ab, {}, out);
    EXPECT_EQ(m(out), "c");
}

TEST_F(BlockSearchTest, Put) {
    Cell b = W("b"), a = W("a"), two = I(2), three = I(3), five = I(5);
    Cell* pairs = B({W("a"), I(1)});
    block_search::put(pairs, &b, &two, false, out);
    EXPECT_EQ(m(pairs), "[a 1 b 2]");
    EXPECT_EQ(m(out), "2");
    block_search::put(pairs, &a, &three, false, out);
    EXPECT_EQ(m(pairs), "[a 3 b 2]");
    Cell* lone = B({W("a")});
    block_search::put(lone, &a, &five, false, out);
    EXPECT_EQ(m(lone), "[a 5]");
    // /case tells spellings apart.
    Cell upper = W("A");
    block_search::put(lone, &upper, &two, true, out);
    EXPECT_EQ(m(lone), "[a 5 A 2]");
}

TEST_F(BlockSearchTest, AppendAndInsert) {
    Cell* b = B({I(1)});
    Cell* more = B({I(2), I(3)});
    block_search::insert(b, more, nullptr, false, nullptr, true, out);
    EXPECT_EQ(m(out), "[1 2 3]");
    b = B({I(1)});
    block_search::insert(b, more, nullptr, true, nullptr, true, out);
    EXPECT_EQ(m(out), "[1 [2 3]]");

    Cell x = W("x"), three = I(3), zero = I(0), one = I(1);
    Cell* empty = B({});
    block_search::insert(empty, &x, nullptr, false, &three, true, out);
    EXPECT_EQ(m(out), "[x x x]");
    block_search::insert(empty, &x, nullptr, false, &zero, true, out);
    EXPECT_EQ(m(empty), "[x x x]");

    // insert answers the position after what it inserted.
    b = B({I(1)});
    block_search::insert(b, more, nullptr, false, nullptr, false, out);
    EXPECT_EQ(out->w1, 2u);
    EXPECT_EQ(whole(out), "[2 3 1]");
    block_search::insert(b, more, &one, false, &three, false, out);
    EXPECT_EQ(whole(out), "[2 2 2 2 3 1]");
    EXPECT_EQ(out->w1, 3u);

    // A block appended to itself doubles.
    block_search::insert(b, b, nullptr, false, nullptr, true, out);
    EXPECT_EQ(m(out), "[2 2 2 2 3 1 2 2 2 2 3 1]");

    // /part applies to the value: a position in it, or a negative count
    // taking what precedes it.
    Cell* source = B({I(7), I(8), I(9)});
    Cell* stop = keep(*source);
    stop->w1 = 2;
    b = B({});
    block_search::insert(b, source, stop, false, nullptr, true, out);
    EXPECT_EQ(m(out), "[7 8]");
    Cell minus = I(-1);
    b = B({});
    block_search::insert(b, stop, &minus, false, nullptr, true, out);
    EXPECT_EQ(m(out), "[8]");
    EXPECT_EQ(error_of([&] { block_search::insert(b, &x, &one, false, nullptr, true, out); }), "invalid-part");
    EXPECT_EQ(error_of([&] { block_search::insert(b, source, &x, false, nullptr, true, out); }),
              "invalid-refine-arg");
}

TEST_F(BlockSearchTest, OversizedDupRaisesNoMemory) {
    Cell* b = B({I(1)});
    Cell* more = B({I(2), I(3)});
    Cell huge = I(0x7FFFFFFF);
    EXPECT_EQ(error_of([&] { block_search::insert(b, more, nullptr, false, &huge, true, out); }), "no-memory");
    EXPECT_EQ(error_of([&] { block_search::change(b, more, nullptr, false, &huge, out); }), "no-memory");
    EXPECT_EQ(m(b), "[1]");
}

TEST_F(BlockSearchTest, Change) {
    Cell* b = B({I(1), I(2), I(3)});
    Cell* ab = B({W("a"), W("b")});
    block_search::change(b, ab, nullptr, false, nullptr, out);
    EXPECT_EQ(m(b), "[a b 3]");
    EXPECT_EQ(m(out), "[3]");

    b = B({I(1), I(2), I(3)});
    Cell x = W("x"), two = I(2), three = I(3);
    block_search::change(b, &x, &two, false, nullptr, out);
    EXPECT_EQ(m(b), "[x 3]");
    EXPECT_EQ(m(out), "[3]");

    // More cells than replaced grow the block; /dup repeats them.
    b = B({I(1), I(2)});
    block_search::change(b, ab, nullptr, false, &three, out);
    EXPECT_EQ(m(b), "[a b a b a b]");
    EXPECT_EQ(out->w1, 6u);

    // A block changed by a part of itself reads its old cells.
    b = B({I(1), I(2), I(3)});
    Cell* tail_part = keep(*b);
    tail_part->w1 = 1;
    block_search::change(b, tail_part, nullptr, false, nullptr, out);
    EXPECT_EQ(m(b), "[2 3 3]");
}

TEST_F(BlockSearchTest, SortOrders) {
    Cell* cab = B({W("c"), W("a"), W("b")});
    Cell* result = out;
    block_search::sort(cab, false, nullptr, nullptr, nullptr, false, false, false, result);
    EXPECT_EQ(m(cab), "[a b c]");
    block_search::sort(cab, false, nullptr, nullptr, nullptr, false, true, false, result);
    EXPECT_EQ(m(cab), "[c b a]");

    Cell two = I(2);
    Cell* records = B({W("b"), I(2), W("a"), I(1)});
    block_search::sort(records, false, &two, nullptr, nullptr, false, false, false, result);
    EXPECT_EQ(m(records), "[a 1 b 2]");

    // An integer comparator sorts the records on that field.
    Cell* by_second = B({W("a"), I(2), W("b"), I(1)});
    block_search::sort(by_second, false, &two, &two, nullptr, false, false, false, result);
    EXPECT_EQ(m(by_second), "[b 1 a 2]");

    // /all compares whole records.
    Cell* whole_records = B({W("a"), I(2), W("a"), I(1)});
    block_search::sort(whole_records, false, &two, nullptr, nullptr, true, false, true, result);
    EXPECT_EQ(m(whole_records), "[a 1 a 2]");

    // /part limits the sorted cells; a negative part sorts before the head.
    Cell* partial = B({I(3), I(2), I(1)});
    block_search::sort(partial, false, nullptr, nullptr, &two, false, false, false, result);
    EXPECT_EQ(m(partial), "[2 3 1]");
    partial->w1 = 2;
    Cell minus = I(-2);
    block_search::sort(partial, false, nullptr, nullptr, &minus, false, false, false, result);
    EXPECT_EQ(result->w1, 0u);
    EXPECT_EQ(m(result), "[2 3 1]");

    // Mixed kinds order by type id; /case tells spellings apart.
    Cell* mixed = B({W("b"), I(1), W("B"), W("a")});
    block_search::sort(mixed, true, nullptr, nullptr, nullptr, false, false, true, result);
    EXPECT_EQ(m(mixed), "[1 B a b]");
}

TEST_F(BlockSearchTest, SortRejectsBadRefinements) {
    Cell two = I(2), zero = I(0), three = I(3), word = W("x");
    Cell* odd = B({I(1), I(2), I(3)});
    auto sort = [&](const Cell* skip, const Cell* compare, bool all) {
        return error_of([&] { block_search::sort(odd, false, skip, compare, nullptr, all, false, false, out); });
    };
    EXPECT_EQ(sort(&two, nullptr, false), "invalid-refine-arg");  // 3 cells are not records of 2
    EXPECT_EQ(sort(&zero, nullptr, false), "invalid-refine-arg");
    EXPECT_EQ(sort(nullptr, nullptr, true), "bad-refines");
    EXPECT_EQ(sort(nullptr, &two, false), "bad-refines");
    EXPECT_EQ(sort(nullptr, &word, false), "invalid-refine-arg");
    Cell* pairs = B({I(1), I(2), I(3), I(4)});
    EXPECT_EQ(error_of([&] { block_search::sort(pairs, false, &two, &three, nullptr, false, false, false, out); }),
              "out-of-range");
    EXPECT_EQ(m(odd), "[1 2 3]");
    EXPECT_EQ(m(pairs), "[1 2 3 4]");
}

// A comparison function answering `lesser?` sorts the way the default
// order does, forwards and with /reverse; equal values keep their order
// under /stable.
TEST_F(BlockSearchTest, ComparisonFunctionsSortLikeTheDefaultOrder) {
    block_search::call_comparator = comparator;
    Cell lesser = {type_function, 0, 0, 0}, greater = {type_function, 1, 0, 0};
    Cell* b = B({I(3), I(1), I(2)});
    block_search::sort(b, false, nullptr, &lesser, nullptr, false, false, false, out);
    EXPECT_EQ(m(b), "[1 2 3]");
    block_search::sort(b, false, nullptr, &lesser, nullptr, false, true, false, out);
    EXPECT_EQ(m(b), "[3 2 1]");
    block_search::sort(b, false, nullptr, &greater, nullptr, false, false, false, out);
    EXPECT_EQ(m(b), "[3 2 1]");

    // Records of two: the function sees the first cells; equal keys stay put.
    Cell two = I(2);
    Cell* records = B({I(2), W("x"), I(1), W("y"), I(2), W("a"), I(1), W("b")});
    block_search::sort(records, false, &two, &lesser, nullptr, false, false, true, out);
    EXPECT_EQ(m(records), "[1 y 1 b 2 x 2 a]");

    // With /all it gets whole records as blocks.
    block_search::call_comparator = record_comparator;
    Cell* numbered = B({W("a"), I(3), W("b"), I(1), W("c"), I(2)});
    block_search::sort(numbered, false, &two, &lesser, nullptr, true, false, true, out);
    EXPECT_EQ(m(numbered), "[b 1 c 2 a 3]");
}

TEST_F(BlockSearchTest, SetOperations) {
    struct Case {
        const char* name;
        block_search::SetOperation operation;
        std::initializer_list<const char*> first, second;
        const char* result;
    } cases[] = {
        {"union", block_search::set_union, {"a", "b"}, {"b", "c"}, "[a b c]"},
        {"intersect", block_search::set_intersect, {"a", "b", "c"}, {"b", "c", "d"}, "[b c]"},
        {"exclude", block_search::set_exclude, {"a", "b", "c"}, {"b"}, "[a c]"},
        {"difference", block_search::set_difference, {"a", "b"}, {"b", "c"}, "[a c]"},
        {"unique", block_search::set_unique, {"a", "b", "a"}, {}, "[a b]"},
        {"union drops repeats of either", block_search::set_union, {"a", "a"}, {"b", "b"}, "[a b]"},
        {"caseless by default", block_search::set_unique, {"a", "A"}, {}, "[a]"},
        {"empty sets", block_search::set_union, {}, {}, "[]"},
    };
    auto words = [&](std::initializer_list<const char*> names) {
        Cell* b = B({});
        for (const char* n : names) {
            Cell w = W(n);
            block_actions::append_copy(b, &w);
        }
        return b;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell* first = words(c.first);
        Cell* second = words(c.second);
        block_search::set_operation(first, second, false, nullptr, c.operation, out);
        EXPECT_EQ(m(out), c.result);
        EXPECT_EQ(cell::type(out), type_block);
    }
    Cell* mixed_case = words({"a", "A"});
    block_search::set_operation(mixed_case, nullptr, true, nullptr, block_search::set_unique, out);
    EXPECT_EQ(m(out), "[a A]");
}

TEST_F(BlockSearchTest, SetOperationsOnRecordsAndBlocks) {
    Cell two = I(2), zero = I(0);
    Cell* first = B({W("a"), I(1), W("b"), I(2), W("a"), I(3)});
    Cell* second = B({W("b"), I(9), W("c"), I(4)});
    block_search::set_operation(first, nullptr, false, &two, block_search::set_unique, out);
    EXPECT_EQ(m(out), "[a 1 b 2]");
    block_search::set_operation(first, second, false, &two, block_search::set_union, out);
    EXPECT_EQ(m(out), "[a 1 b 2 c 4]");
    block_search::set_operation(first, second, false, &two, block_search::set_intersect, out);
    EXPECT_EQ(m(out), "[b 2]");
    // A value is looked for at record starts only.
    Cell* values = B({I(1), W("b")});
    Cell* keys = B({W("b"), I(1)});
    block_search::set_operation(values, keys, false, &two, block_search::set_intersect, out);
    EXPECT_EQ(m(out), "[]");
    EXPECT_EQ(error_of([&] { block_search::set_operation(first, second, false, &zero, block_search::set_union, out); }),
              "invalid-refine-arg");

    // Nested blocks match by content.
    Cell* x1 = B({I(1)});
    Cell* x2 = B({I(1)});
    Cell* with_blocks = B({*x1, *x2, I(1)});
    block_search::set_operation(with_blocks, nullptr, false, nullptr, block_search::set_unique, out);
    EXPECT_EQ(m(out), "[[1] 1]");

    // A hash! on either side makes the result a hash! with its table.
    Cell* h = keep(*second);
    cell::set_type(h, type_hash);
    Cell* plain = B({W("a")});
    block_search::set_operation(plain, h, false, nullptr, block_search::set_union, out);
    EXPECT_EQ(cell::type(out), type_hash);
    EXPECT_NE(out->w3, 0u);

    // The frame form replaces its first argument.
    Cell* first_set = B({W("a"), W("b")});
    Cell* second_set = B({W("b")});
    stack::Mark mark;
    Cell* a = stack::push_copy(first_set);
    stack::push_copy(second_set);
    stack::s.args = a;
    block_search::set_operation_frame(false, nullptr, block_search::set_exclude);
    EXPECT_EQ(m(a), "[a]");
}

// hash!'s table follows the insertions, changes and sorts of its block.
TEST_F(BlockSearchTest, HashTablesFollowEdits) {
    Cell* h = B({W("a"), W("b")});
    cell::set_type(h, type_hash);
    h->w3 = hashtable::create(4, h, hashtable::kind_hash, 0);
    auto index_of = [&](const Cell& key) {
        Cell* c = hashtable::find(h->w3, &key, 0, 1, 0, false, false);
        return c ? int32_t(c - block_actions::cell_at(h->w2, 0)) : -1;
    };
    // hash! has no mold of its own yet: look at its cells as a block!.
    auto cells = [&] { return mold(Cell{type_block, 0, h->w2, 0}); };
    Cell x = W("x"), y = W("y"), a = W("a"), b = W("b");
    block_search::insert(h, &x, nullptr, false, nullptr, false, out);
    EXPECT_EQ(index_of(x), 0);
    EXPECT_EQ(index_of(b), 2);
    block_search::change(h, &y, nullptr, false, nullptr, out);
    EXPECT_EQ(index_of(y), 0);
    EXPECT_EQ(index_of(x), -1);
    block_search::sort(h, false, nullptr, nullptr, nullptr, false, false, false, out);
    EXPECT_EQ(cells(), "[a b y]");
    EXPECT_EQ(index_of(y), 2);
    EXPECT_EQ(index_of(a), 0);
    Cell two = I(2);
    block_search::put(h, &a, &two, false, out);
    EXPECT_EQ(cells(), "[a 2 y]");
    EXPECT_EQ(index_of(b), -1);
    EXPECT_EQ(index_of(two), 1);
}

}  // namespace
