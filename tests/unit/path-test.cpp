#include "datatypes/path.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>

#include "datatype-fixture.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"

using namespace vum;

namespace {

class Paths : public DatatypeTest {
protected:
    static Cell word(const char* text) { return {type_word, 0, uint32_t(symbols::make(text)), uint32_t(-1)}; }
    static Cell series_of(uint8_t type, std::initializer_list<Cell> cells) {
        uint32_t node = memory::alloc_cells(int32_t(cells.size()) + 1);
        gc::ProtectNode keep(&node);
        for (const Cell& c : cells) *series::alloc_tail_cell(node) = c;
        return {type, 0, node, 0};
    }
    static Cell ab(uint8_t type) { return series_of(type, {word("a"), word("b")}); }

    static std::string mold_part(const Cell& v, int32_t limit, bool only = false) {
        gc::Local value(v);
        uint32_t buffer = string::make(16);
        gc::ProtectNode keep_buffer(&buffer);
        actions::call_mold(&value, buffer, only, false, false, limit >= 0, limit, 0);
        return string::node_to_utf8(buffer);
    }
    static Cell make(uint8_t type, const Cell& spec) {
        Cell prototype = {type_datatype, type, 0, 0}, out = core_types::none_cell;
        actions::handler<actions::slot_make>(type)(&prototype, &spec, type, &out);
        return out;
    }
    static int32_t length(const Cell& v) { return int32_t(nodes::buffer(v.w2)->count()) - int32_t(v.w1); }
};

TEST_F(Paths, EachKindMoldsWithItsMarksAndFormsBare) {
    struct Case {
        uint8_t type;
        const char* mold;
        const char* form;
    } cases[] = {
        {type_path, "a/b", "a/b"},
        {type_lit_path, "'a/b", "a/b"},
        {type_set_path, "a/b:", "a/b"},
        {type_get_path, ":a/b", "a/b"},
        {type_paren, "(a b)", "a b"},
    };
    for (const Case& c : cases) {
        gc::Local v(ab(c.type));
        EXPECT_EQ(form(v), c.form) << c.mold;
        EXPECT_EQ(mold(v), c.mold);
    }
    gc::Local abc(series_of(type_path, {word("a"), word("b"), word("c")}));
    EXPECT_EQ(mold(abc), "a/b/c");
    abc.w1 = 1;
    EXPECT_EQ(mold(abc), "b/c");  // from the head
    abc.w1 = 0;

    gc::Local twelve(series_of(type_paren, {integer(1), integer(2)}));
    EXPECT_EQ(mold(twelve), "(1 2)");
    EXPECT_EQ(mold_part(twelve, -1, true), "1 2");
    // Nested: a paren inside a path, a path inside a paren.
    gc::Local nested(series_of(type_path, {word("a"), twelve, word("b")}));
    EXPECT_EQ(mold(nested), "a/(1 2)/b");
    gc::Local set(ab(type_set_path));
    Cell outer = series_of(type_paren, {set, integer(3)});
    EXPECT_EQ(mold(outer), "(a/b: 3)");
}

TEST_F(Paths, PartLimitCountsMarksAndSlashes) {
    gc::Local abc(series_of(type_lit_path, {word("aa"), word("b"), word("c")}));
    struct Case {
        int32_t limit;
        const char* text;
    } cases[] = {{1, "'"}, {3, "'aa"}, {4, "'aa/"}, {5, "'aa/b"}, {6, "'aa/b/"}, {50, "'aa/b/c"}};
    for (const Case& c : cases) EXPECT_EQ(mold_part(abc, c.limit), c.text) << c.limit;
    gc::Local set(series_of(type_set_path, {word("a"), word("b")}));
    EXPECT_EQ(mold_part(set, 3), "a/b");
    EXPECT_EQ(mold_part(set, 4), "a/b:");
}

TEST_F(Paths, ParenBreaksLinesLikeABlock) {
    Cell one = integer(1), two = integer(2);
    one.header |= cell::flag_new_line;
    gc::Local first_on_new_line(series_of(type_paren, {one, two}));
    EXPECT_EQ(mold(first_on_new_line), "(\n    1 2\n)");
    EXPECT_EQ(actions::mold_text(&first_on_new_line, false, true), "(1 2)");  // flat
    EXPECT_EQ(mold_part(first_on_new_line, -1, true), "1 2");               // only

    gc::Local later(series_of(type_paren, {two, one}));
    EXPECT_EQ(mold(later), "(2\n1)");
    // A path never breaks its line.
    gc::Local p(series_of(type_path, {word("a"), one}));
    EXPECT_EQ(mold(p), "a/1");
}

TEST_F(Paths, SelfContainingValuesMoldWithTheCycleMarker) {
    gc::Local p(series_of(type_path, {word("a")}));
    *series::alloc_tail_cell(p.w2) = p;
    EXPECT_EQ(mold(p), "a/...");
    EXPECT_EQ(form(p), "a/...");
    gc::Local q(series_of(type_paren, {integer(1)}));
    *series::alloc_tail_cell(q.w2) = q;
    EXPECT_EQ(mold(q), "(1 (...))");
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Paths, MakeAndToPaths) {
    struct Size {
        Cell spec;
    } sizes[] = {{integer(0)}, {integer(-5)}, {integer(3)}};
    for (const Size& s : sizes) {
        Cell out = make(type_path, s.spec);
        EXPECT_EQ(cell::type(&out), type_path);
        EXPECT_EQ(length(out), 0);
        EXPECT_GE(nodes::buffer(out.w2)->size, 16u);
    }
    Cell fl{};
    cell::make_float(&fl, 2.9);
    Cell out = make(type_path, fl);
    EXPECT_EQ(nodes::buffer(out.w2)->size / 16, 2u);
    cell::make_float(&fl, std::nan(""));
    EXPECT_EQ(length(make(type_path, fl)), 0);

    gc::Local b(ab(type_block));
    b.w1 = 0;
    gc::Local from_block(make(type_path, b));
    EXPECT_EQ(mold(from_block), "a/b");
    EXPECT_NE(from_block.w2, b.w2);  // a copy
    Cell set = make(type_set_path, b);
    EXPECT_EQ(mold(set), "a/b:");

    gc::Local text(string::from_utf8("x"));
    Cell e = caught([&] { make(type_path, text); });
    EXPECT_EQ(error_id(e), "bad-make-arg");
    EXPECT_EQ(error::field(&e, error::field_arg1)->w1, uint32_t(type_path));

    // to path! of an object: a path of that one value.
    uint32_t ctx = context::make(1, false, true, 0, context::kind_object);
    gc::Local object({type_object, ctx, 1, 0});
    Cell prototype = {type_datatype, type_path, 0, 0}, to_out;
    actions::handler<actions::slot_to>(type_path)(&prototype, &object, type_path, &to_out);
    EXPECT_EQ(cell::type(&to_out), type_path);
    ASSERT_EQ(length(to_out), 1);
    EXPECT_EQ(series::cells_head(to_out.w2)->w1, ctx);

    Cell pushed = ab(type_block);
    stack::Mark mark;
    path::push_get_from(&pushed);
    EXPECT_EQ(cell::type(stack::top_cell()), type_get_path);
    Cell made{};
    path::make_at(&made, 0);
    EXPECT_EQ(cell::type(&made), type_path);
}

TEST_F(Paths, KindsShareBlockHandlersButNotRandomSortOrTrim) {
    using namespace actions;
    for (int32_t t : {type_path, type_lit_path, type_set_path, type_get_path}) {
        for (int32_t slot : {slot_random, slot_sort, slot_trim}) EXPECT_EQ(datatype::handler(t, slot), nullptr) << t;
        for (int32_t slot : {slot_pick, slot_poke, slot_at, slot_take, slot_copy, slot_eval_path, slot_compare})
            EXPECT_EQ(datatype::handler(t, slot), datatype::handler(type_block, slot)) << t << " " << slot;
        EXPECT_EQ(datatype::handler(t, slot_form), datatype::handler(type_path, slot_form));
    }
    EXPECT_NE(datatype::handler(type_paren, slot_random), nullptr);
    EXPECT_EQ(datatype::handler(type_paren, slot_random), datatype::handler(type_block, slot_random));
    EXPECT_EQ(datatype::handler(type_paren, slot_sort), datatype::handler(type_block, slot_sort));
    EXPECT_EQ(datatype::handler(type_paren, slot_trim), nullptr);
    EXPECT_EQ(datatype::handler(type_paren, slot_form), datatype::handler(type_block, slot_form));
    EXPECT_STREQ(datatype::names[type_lit_path].name, "lit-path!");

    gc::Local p(ab(type_path));
    Cell out{};
    Cell e = caught([&] { lookup<slot_random>(&p)(&p, false, false, false, &out); });
    EXPECT_EQ(error_id(e), "expect-arg");
    EXPECT_STREQ(symbols::text(int32_t(error::field(&e, error::field_arg1)->w2)), "random");
    e = caught([&] {
        Cell q = ab(type_paren);
        lookup<slot_trim>(&q);
    });
    EXPECT_EQ(error_id(e), "expect-arg");

    // The series! actions work on every kind: pick on a get-path.
    gc::Local g(ab(type_get_path));
    Cell index = integer(2);
    lookup<slot_pick>(&g)(&g, &index, 2, &out);
    EXPECT_EQ(out.w2, word("b").w2);
}

}  // namespace
