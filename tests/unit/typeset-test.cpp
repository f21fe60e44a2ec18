#include <gtest/gtest.h>

#include "datatype-fixture.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"

using namespace vum;

namespace {

// Typesets mold by type name: integer! and float! get a name here when their
// own modules have not registered them.
class Typesets : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        for (auto [type, name] : {std::pair{type_integer, "integer!"}, std::pair{type_float, "float!"}}) {
            if (datatype::is_registered(type)) continue;
            datatype::register_type(actions::Row(type, name));
        }
    }

    static Cell type_of(uint8_t t) { return {type_datatype, t, 0, 0}; }

    // A block holding the cells, protected by the caller.
    static Cell block_of(std::initializer_list<Cell> cells) {
        // Room for one cell at least: an empty series cannot grow by doubling.
        uint32_t node = memory::alloc_cells(int32_t(cells.size()) + 1);
        gc::ProtectNode keep(&node);
        for (const Cell& c : cells) *series::alloc_tail_cell(node) = c;
        Cell b;
        cell::make_series(&b, type_block, node);
        return b;
    }

    static Cell make(const Cell& spec) {
        Cell proto = type_of(type_typeset), s = spec, out = {type_none, 0, 0, 0};
        gc::Protect keep(&s);
        actions::handler<actions::slot_make>(type_typeset)(&proto, &s, type_typeset, &out);
        return out;
    }

    static Cell of(std::initializer_list<uint8_t> types) {
        Cell ts = {type_typeset, 0, 0, 0};
        for (uint8_t t : types) typeset::set_type(&ts, t);
        return ts;
    }

    // A global word holding the value.
    static Cell word_holding(const char* name, const Cell& value) {
        Cell w = word::load(name);
        Cell v = value;
        context::set_word_value(&w, &v);
        return w;
    }

    static Cell spec_typeset(const Cell& spec) {
        gc::Local target(block_of({}));
        typeset::append_from_spec(&target, &spec);
        return series::cells_head(target.w2)[0];
    }

    // The stack is put back only on a normal return: an error must stay on
    // it for the try frame.
    static Cell frame(int32_t op, const Cell& a, const Cell& b) {
        Cell name = context::load_word("union");
        stack::State saved = stack::s;
        stack::push_native_frame(&name);
        *stack::push_cell() = a;
        *stack::push_cell() = b;
        typeset::set_operation(op);
        Cell result = *stack::arg(0);
        stack::s = saved;
        return result;
    }
};

TEST_F(Typesets, EachTypeIsOneBitMostSignificantFirst) {
    gc::Local integer_only(block_of({type_of(type_integer)}));
    Cell ts = make(integer_only);
    EXPECT_EQ(ts.w1, 0x10u << 8);  // second byte, mask 0x10
    EXPECT_EQ(ts.w2 | ts.w3, 0u);
    EXPECT_EQ(of({type_datatype}).w1, 0x40u);
    EXPECT_EQ(of({type_unset}).w1, 0x20u);
    EXPECT_TRUE(typeset::has_type(&ts, type_integer));
    EXPECT_FALSE(typeset::has_type(&ts, type_float));
    EXPECT_EQ(typeset::count(&ts), 1);
}

TEST_F(Typesets, MoldNamesTheTypesInIdOrder) {
    Cell both = of({type_float, type_integer}), empty = of({});
    EXPECT_EQ(mold(both), "make typeset! [integer! float!]");
    EXPECT_EQ(form(both), "make typeset! [integer! float!]");
    EXPECT_EQ(mold(empty), "make typeset! []");

    uint32_t buffer = string::make(32);
    gc::ProtectNode keep(&buffer);
    int32_t left = actions::call_mold(&both, buffer, true, false, false, false, 100, 0);
    EXPECT_EQ(string::node_to_utf8(buffer), "integer! float!");
    EXPECT_EQ(left, 100 - 9 - 7 + 1);  // each name, its "!" and a space; less the last space
    string::cut(buffer, 0);
    // The limit runs out after the first name: writing stops there.
    left = actions::call_mold(&both, buffer, false, false, false, true, 20, 0);
    EXPECT_EQ(string::node_to_utf8(buffer), "make typeset! [integer! ");
    EXPECT_LE(left, 0);
    // Bits of ids that no type has are skipped, not named.
    Cell any = typeset::any_value();
    std::string text = mold(any);
    EXPECT_EQ(text.find("unset!"), std::string::npos);
    EXPECT_NE(text.find(" typeset! "), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "!]");
}

TEST_F(Typesets, SpecDialectTakesTypesTypesetsAndWordsValues) {
    Cell integer_word = word_holding("integer!", type_of(type_integer));
    Cell number = word_holding("number!", of({type_integer, type_float}));
    Cell points_at_word = word_holding("points-at-word", word::load("anything"));
    gc::Local nested(block_of({type_of(type_string)}));
    gc::Local spec(block_of({integer_word, number, type_of(type_logic), nested, points_at_word}));
    Cell ts = spec_typeset(spec);
    EXPECT_EQ(ts.w1, of({type_integer, type_float, type_logic, type_object}).w1);
    EXPECT_EQ(ts.w2, of({type_object}).w2);
    EXPECT_FALSE(typeset::has_type(&ts, type_string));  // a nested block is skipped

    // From the spec's position.
    spec.w1 = 2;
    EXPECT_EQ(typeset::count(&(ts = spec_typeset(spec))), 2);
    spec.w1 = 99;
    EXPECT_EQ(typeset::count(&(ts = spec_typeset(spec))), 0);
}

TEST_F(Typesets, SpecAndMakeErrors) {
    Cell unset_word = word::load("nothing-here");
    Cell one;
    cell::make_integer(&one, 1);
    gc::Local with_unset(block_of({unset_word}));
    gc::Local with_integer(block_of({type_of(type_logic), one}));
    EXPECT_EQ(error_id(caught([&] { spec_typeset(with_unset); })), "no-value");
    Cell e = caught([&] { spec_typeset(with_integer); });
    EXPECT_EQ(error_id(e), "invalid-type-spec");
    EXPECT_EQ(error_id(caught([&] { make(with_unset); })), "no-value");
    EXPECT_EQ(error_id(caught([&] { make(with_integer); })), "invalid-arg");
    EXPECT_EQ(error_id(caught([&] { make(one); })), "bad-to-arg");

    // make of a typeset returns it; words in a made block stand for their values.
    Cell ts = of({type_block});
    EXPECT_EQ(make(ts).w1, ts.w1);
    Cell number = word_holding("number!", of({type_integer, type_float}));
    gc::Local words(block_of({number, type_of(type_none)}));
    EXPECT_EQ(mold(make(words)), "make typeset! [none! integer! float!]");
    Cell target = of({});
    EXPECT_EQ(error_id(caught([&] { typeset::add(&target, &words); })), "invalid-arg");
}

TEST_F(Typesets, SetOperations) {
    using namespace typeset;
    Cell a = of({type_integer, type_float}), b = of({type_float, type_string});
    Cell block_type = type_of(type_block);
    struct Case {
        int32_t op;
        Cell second;
        Cell expected;
    } cases[] = {
        {set_or, b, of({type_integer, type_float, type_string})},
        {set_union, block_type, of({type_integer, type_float, type_block})},
        {set_and, b, of({type_float})},
        {set_intersect, b, of({type_float})},
        {set_xor, b, of({type_integer, type_string})},
        {set_difference, b, of({type_integer, type_string})},
        {set_exclude, b, of({type_integer})},
        {set_exclude, a, of({})},
        {set_unique, b, a},
    };
    for (const Case& c : cases) {
        Cell r = frame(c.op, a, c.second);
        EXPECT_EQ(cell::type(&r), type_typeset) << c.op;
        EXPECT_TRUE(r.w1 == c.expected.w1 && r.w2 == c.expected.w2 && r.w3 == c.expected.w3) << c.op;
    }
    EXPECT_EQ(mold(frame(set_exclude, a, a)), "make typeset! []");
    Cell one;
    cell::make_integer(&one, 1);
    EXPECT_EQ(error_id(caught([&] { frame(set_union, a, one); })), "invalid-arg");

    // The actions and~ or~ xor~ are the same operations.
    Cell name = context::load_word("or~");
    stack::Mark mark;
    stack::push_native_frame(&name);
    *stack::push_cell() = a;
    *stack::push_cell() = b;
    actions::lookup<actions::slot_or>(&a)();
    EXPECT_EQ(stack::arg(0)->w1, of({type_integer, type_float, type_string}).w1);
    *stack::arg(1) = a;
    actions::lookup<actions::slot_and>(&a)();
    EXPECT_EQ(stack::arg(0)->w1, a.w1);
}

TEST_F(Typesets, AnyValueAndComplement) {
    Cell any = typeset::any_value();
    EXPECT_FALSE(typeset::has_type(&any, type_unset));
    for (int32_t t = 1; t <= datatype::max_type_id; t++) {
        if (t != type_unset && datatype::is_registered(t)) {
            EXPECT_TRUE(typeset::has_type(&any, uint8_t(t))) << t;
        }
    }
    Cell inverse;
    actions::handler<actions::slot_complement>(type_typeset)(&any, &inverse);
    EXPECT_EQ(mold(inverse), "make typeset! [unset!]");
    EXPECT_EQ(inverse.w1, 0x20u);  // bit 0 and the bits past the types flip too
    EXPECT_EQ(inverse.w2 | inverse.w3, 0u);

    gc::Local target(block_of({}));
    typeset::append_any_value(&target);
    typeset::load_into_block(&target, 1, 2, 3);
    Cell first = series::cells_head(target.w2)[0], second = series::cells_head(target.w2)[1];
    EXPECT_EQ(first.w1, any.w1);
    EXPECT_EQ(second.w3, 3u);
}

TEST_F(Typesets, FindComparesAndListsTypes) {
    using namespace actions;
    Cell ts = of({type_integer, type_float});
    auto find = [&](const Cell& v) {
        Cell out = core_types::none_cell;
        FindOptions o;
        actions::handler<slot_find>(type_typeset)(&ts, &v, o, &out);
        return out;
    };
    EXPECT_EQ(find(type_of(type_float)).w1, core_types::true_cell.w1);
    EXPECT_EQ(find(type_of(type_string)).w1, core_types::false_cell.w1);
    Cell one;
    cell::make_integer(&one, 1);
    EXPECT_EQ(error_id(caught([&] { find(one); })), "invalid-arg");

    Cell same = of({type_float, type_integer}), three = of({type_none, type_logic, type_block});
    EXPECT_TRUE(compare(&ts, &same, op_equal));
    EXPECT_TRUE(compare(&ts, &same, op_strict_equal));
    EXPECT_FALSE(compare(&ts, &three, op_equal));
    EXPECT_EQ(call_compare(&ts, &three, op_sort), -1);
    EXPECT_EQ(call_compare(&ts, &one, op_equal), not_comparable);
    EXPECT_EQ(call_compare(&ts, &same, op_lesser), not_comparable);

    gc::Local list({type_none, 0, 0, 0});
    typeset::to_block(&ts, &list);
    ASSERT_EQ(series::length_from_head(&list), 2);
    Cell first = series::cells_head(list.w2)[0], second = series::cells_head(list.w2)[1];
    EXPECT_EQ(mold(first), "integer!");
    EXPECT_EQ(mold(second), "float!");
    stack::Mark mark;
    EXPECT_EQ(typeset::push(&ts)->w1, ts.w1);
}

}  // namespace
