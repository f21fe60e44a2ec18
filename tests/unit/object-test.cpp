#include "datatypes/object.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "memory/call.h"

using namespace vum;

namespace {

// What the stand-in for the interpreter heard: the frame name, then each
// argument molded.
std::vector<std::string> heard;

void stand_in(call::Request& request, Cell* result) {
    std::string line = symbols::text(int32_t(request.name->w2));
    for (int32_t i = 0; i < request.count; i++) line += " " + actions::mold_text(request.values + i);
    heard.push_back(line);
    cell::make_none(result);
}

class Objects : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        heard.clear();
        services::current.run_call = stand_in;
    }
    void TearDown() override {
        partial_services::fill();
        DatatypeTest::TearDown();
    }

    static Cell word(const char* text, uint8_t type = type_word) {
        return {type, 0, uint32_t(symbols::make(text)), uint32_t(-1)};
    }
    static Cell text(const char* s) { return string::from_utf8(s); }
    // A stand-in function! value: the collector finds no nodes in it.
    static Cell function() { return {type_function, 0, 0, 0}; }
    static Cell block_of(std::initializer_list<Cell> cells, uint8_t type = type_block) {
        std::vector<Cell> kept(cells);
        gc::Protect keep(kept.data(), int32_t(kept.size()));
        uint32_t node = memory::alloc_cells(int32_t(kept.size()) + 1);
        gc::ProtectNode keep_node(&node);
        for (const Cell& c : kept) *series::alloc_tail_cell(node) = c;
        return {type, 0, node, 0};
    }
    static Cell make(const Cell& prototype, const Cell& spec) {
        Cell p = prototype, s = spec, out = core_types::none_cell;
        gc::Protect keep_p(&p);
        gc::Protect keep_s(&s);
        object_type::make(&p, &s, type_object, &out);
        return out;
    }
    static Cell make(const Cell& spec) { return make({type_datatype, type_object, 0, 0}, spec); }
    // obj/field: value, as the path evaluator asks it.
    static Cell set_path(const Cell& object, const Cell& field, const Cell& value, bool notify = false) {
        Cell o = object, f = field, v = value, out = core_types::none_cell;
        gc::Protect keep_o(&o);
        gc::Protect keep_f(&f);
        gc::Protect keep_v(&v);
        actions::PathStep step{};
        step.parent = &o;
        step.element = &f;
        step.value = &v;
        step.index = -1;
        step.notify = notify;
        object_type::eval_path(step, &out);
        return out;
    }
    static Cell get_path(const Cell& object, const Cell& field, bool notify = false, bool reserved = false) {
        Cell o = object, f = field, out = core_types::none_cell;
        actions::PathStep step{};
        step.parent = &o;
        step.element = &f;
        step.index = -1;
        step.notify = notify;
        step.reserved = reserved;
        object_type::eval_path(step, &out);
        return out;
    }
    static Cell reflect(const Cell& object, const char* field) {
        Cell o = object, out = core_types::none_cell;
        object_type::reflect(&o, symbols::make(field), &out);
        return out;
    }
    static std::string mold_with(const Cell& v, bool only, bool flat) {
        gc::Local value(v);
        uint32_t buffer = string::make(16);
        gc::ProtectNode keep_buffer(&buffer);
        actions::call_mold(&value, buffer, only, false, flat, false, -1, 0);
        return string::node_to_utf8(buffer);
    }
    static Cell ab() { return make(block_of({word("a", type_set_word), integer(1), word("b", type_set_word), text("x")})); }
};

TEST_F(Objects, MoldPutsEachFieldOnItsOwnLineAndFlatOnOne) {
    gc::Local o(ab());
    EXPECT_EQ(mold(o), "make object! [\n    a: 1\n    b: \"x\"\n]");
    EXPECT_EQ(mold_with(o, false, true), "make object! [a: 1 b: \"x\"]");
    EXPECT_EQ(mold_with(o, true, false), "a: 1\nb: \"x\"");
    EXPECT_EQ(form(o), "a: 1\nb: \"x\"");
    EXPECT_EQ(mold(make(block_of({}))), "make object! []");

    // A nested object indents one level deeper and closes at its own level;
    // a word value molds as a lit-word.
    gc::Local outer(make(block_of({word("w", type_set_word), word("here"), word("inner", type_set_word), o})));
    EXPECT_EQ(mold(outer),
              "make object! [\n    w: 'here\n    inner: make object! [\n        a: 1\n        b: \"x\"\n    ]\n]");
    EXPECT_EQ(mold_with(outer, false, true), "make object! [w: 'here inner: make object! [a: 1 b: \"x\"]]");
}

TEST_F(Objects, PartLimitStopsTheMoldAndSelfReferenceMoldsOnce) {
    gc::Local o(ab());
    Cell value = o;
    uint32_t buffer = string::make(16);
    gc::ProtectNode keep_buffer(&buffer);
    actions::call_mold(&value, buffer, false, false, true, true, 16, 0);
    EXPECT_EQ(string::node_to_utf8(buffer).substr(0, 16), "make object! [a:");
    EXPECT_LT(string::length(buffer), 26);

    set_path(o, word("b"), o);
    EXPECT_EQ(mold_with(o, false, true), "make object! [a: 1 b: make object! [...]]");
}

TEST_F(Objects, HandlerFieldsAreHiddenUnlessAll) {
    gc::Local o(make(block_of({word("a", type_set_word), integer(1), word("on-change*", type_set_word), function()})));
    EXPECT_EQ(mold_with(o, false, true), "make object! [a: 1]");
    // function! comes later: a test-only mold stands in for it.
    actions::Row r(type_function, "function!");
    r.set<actions::slot_mold>([](const Cell*, uint32_t buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
        string::append_ascii(buffer, "func");
        return limit - 4;
    });
    datatype::register_type(r);
    EXPECT_EQ(actions::mold_text(&o, true, true), "make object! [a: 1 on-change*: func]");
}

TEST_F(Objects, ClassIdsAreNewOnlyWhenTheWordsDiffer) {
    gc::Local first(ab());
    EXPECT_EQ(first.w2, 1000001u);
    gc::Local same(make(first, block_of({word("a", type_set_word), integer(5)})));
    EXPECT_EQ(same.w2, 1000001u);
    EXPECT_EQ(mold_with(same, false, true), "make object! [a: 5 b: \"x\"]");
    EXPECT_EQ(mold_with(first, false, true), "make object! [a: 1 b: \"x\"]");
    Cell more = make(first, block_of({word("c", type_set_word), integer(3)}));
    EXPECT_EQ(more.w2, 1000002u);
    Cell class_id = reflect(more, "class");
    EXPECT_EQ(cell::get_integer(&class_id), 1000002);
}

TEST_F(Objects, MakeCopiesThePrototypesSeriesAndRebindsThem) {
    gc::Local body(block_of({word("a")}));
    Cell proto = make(block_of({word("a", type_set_word), integer(1), word("b", type_set_word), body,
                                word("s", type_set_word), text("x")}));
    gc::Protect keep(&proto);
    gc::Local child(make(proto, block_of({})));
    Cell bw = word("b"), sw = word("s");
    Cell copied = *object_type::select_word(&child, &bw);
    Cell original = *object_type::select_word(&proto, &bw);
    ASSERT_EQ(cell::type(&copied), type_block);
    EXPECT_NE(copied.w2, original.w2);
    // The word inside the copied block now names the child's field.
    const Cell* inner = series::cells_head(copied.w2);
    EXPECT_EQ(inner->w1, child.w1);
    EXPECT_NE(object_type::select_word(&child, &sw)->w2, object_type::select_word(&proto, &sw)->w2);
    EXPECT_EQ(mold(child), mold(proto));
}

TEST_F(Objects, OnChangeHearsWordOldAndNewThroughPathsAndPut) {
    gc::Local o(make(block_of({word("a", type_set_word), integer(1), word("on-change*", type_set_word), function()})));
    EXPECT_TRUE(reflect(o, "events?").w1);
    Cell r = set_path(o, word("a"), integer(5));
    EXPECT_EQ(cell::get_integer(&r), 5);
    Cell key = word("a"), v = integer(7), out = core_types::none_cell;
    object_type::put(&o, &key, &v, false, &out);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0], "on-change* a 1 5");
    EXPECT_EQ(heard[1], "on-change* a 5 7");
    EXPECT_EQ(mold(reflect(o, "changed")), "[a]");

    // set spreads over the fields but never reports on the handler's own slot.
    heard.clear();
    Cell values = block_of({integer(8), function()});
    object_type::set_words(&o, &values, false, false, false);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], "on-change* a 7 8");

    // A handler slot that no longer holds a function is an error at call time.
    Cell none = core_types::none_cell;
    object_type::set_words(&o, &none, false, true, false);
    EXPECT_EQ(error_id(caught([&] { set_path(o, word("a"), integer(9)); })), "invalid-obj-evt");
}

// A handler's error reaches the code that made the change, the field
// already holding the new value.
TEST_F(Objects, HandlerErrorsReachTheChange) {
    services::current.run_call = [](call::Request&, Cell*) { errors::raise(err::math::zero_divide); };
    gc::Local o(make(block_of({word("a", type_set_word), integer(1), word("on-change*", type_set_word), function()})));
    EXPECT_EQ(error_id(caught([&] { set_path(o, word("a"), integer(2)); })), "zero-divide");
    Cell a = word("a");
    EXPECT_EQ(cell::get_integer(object_type::select_word(&o, &a)), 2);
}

TEST_F(Objects, DeepChangesOfOwnedSeriesReachOnDeepChange) {
    gc::Local list(block_of({integer(1)}));
    gc::Local o(make(block_of({word("list", type_set_word), list, word("on-deep-change*", type_set_word), function()})));
    EXPECT_TRUE(object_type::has_deep_handler(o.w1));
    Cell list_word = word("list");
    gc::Local owned(*object_type::select_word(&o, &list_word));
    Cell v = integer(2);
    ownership::report_change(&owned, ownership::action_append, &v, 1, 1, [&] { block_actions::append_copy(&owned, &v); });
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].substr(0, 16), "on-deep-change* ");
    EXPECT_NE(heard[0].find(" list [1] append 2 1 1"), std::string::npos) << heard[0];
    EXPECT_NE(heard[1].find(" list [1 2] appended 2 1 1"), std::string::npos) << heard[1];

    // A handler slot holding none is skipped without an error.
    heard.clear();
    Cell handler = word("on-deep-change*");
    Cell none = core_types::none_cell;
    int32_t at = object_type::field_index(&o, &handler);
    *(object_type::values_head(context::context_cell(o.w1)) + at) = none;
    ownership::report_change(&owned, ownership::action_append, &v, 2, 1, [&] {});
    EXPECT_TRUE(heard.empty());
}

TEST_F(Objects, HandlerFieldsMustHoldFunctions) {
    gc::Local bad(block_of({word("on-change*", type_set_word), integer(1)}));
    EXPECT_EQ(error_id(caught([&] { make(bad); })), "bad-field-set");
}

TEST_F(Objects, ConstructTakesRunsOfSetWordsAndLogicWords) {
    Cell spec = block_of({word("a", type_set_word), word("b", type_set_word), integer(1), word("c", type_set_word),
                          word("on"), word("d", type_set_word), word("none"), word("e", type_set_word)});
    gc::Protect keep(&spec);
    struct Case {
        bool only;
        const char* expected;
    } cases[] = {
        {false, "make object! [a: 1 b: 1 c: true d: none e: none]"},
        {true, "make object! [a: 1 b: 1 c: 'on d: 'none e: none]"},
    };
    for (const Case& c : cases) {
        gc::Local out(core_types::none_cell);
        object_type::construct(nullptr, &spec, c.only, &out);
        EXPECT_EQ(mold_with(out, false, true), c.expected);
        EXPECT_EQ(mold(reflect(out, "changed")), "[]");
    }
    // With a prototype the class id stays even when words are added.
    gc::Local proto(ab());
    gc::Local out(core_types::none_cell);
    object_type::construct(&proto, &spec, false, &out);
    EXPECT_EQ(out.w2, proto.w2);
    EXPECT_EQ(mold_with(out, false, true), "make object! [a: 1 b: 1 c: true d: none e: none]");
}

TEST_F(Objects, ReflectGivesWordsValuesAndBody) {
    gc::Local path(block_of({word("x"), word("y")}, type_path));
    Cell o = make(block_of({word("a", type_set_word), integer(1), word("w", type_set_word), word("z"),
                            word("p", type_set_word), path}));
    gc::Protect keep(&o);
    EXPECT_EQ(mold(reflect(o, "words")), "[a w p]");
    EXPECT_EQ(mold(reflect(o, "values")), "[1 z x/y]");
    gc::Local body(reflect(o, "body"));
    EXPECT_EQ(mold(body), "[\n    a: 1\n    w: 'z\n    p: 'x/y\n]");
    Cell words = reflect(o, "words");
    EXPECT_EQ(series::cells_head(words.w2)->w1, o.w1);
    Cell class_id = reflect(o, "class");
    EXPECT_EQ(cell::get_integer(&class_id), int32_t(o.w2));
    EXPECT_FALSE(reflect(o, "owner").w1);
    EXPECT_FALSE(reflect(o, "events?").w1);
    EXPECT_EQ(error_id(caught([&] { reflect(o, "spec"); })), "not-done");
}

TEST_F(Objects, CompareOrdersByWordsThenValues) {
    gc::Local a(ab());
    gc::Local b(ab());
    gc::Local more(make(a, block_of({word("c", type_set_word), integer(0)})));
    gc::Local bigger(make(a, block_of({word("a", type_set_word), integer(2)})));
    struct Case {
        const Cell* x;
        const Cell* y;
        int32_t op;
        int32_t expected;
    } cases[] = {
        {&a, &b, actions::op_equal, 0},       {&a, &a, actions::op_same, 0},
        {&a, &b, actions::op_same, -1},       {&a, &more, actions::op_equal, -1},
        {&more, &a, actions::op_equal, 1},    {&a, &bigger, actions::op_lesser, -1},
        {&bigger, &a, actions::op_lesser, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(object_type::compare(c.x, c.y, c.op), c.expected);
    Cell one = integer(1);
    EXPECT_EQ(object_type::compare(&a, &one, actions::op_equal), actions::not_comparable);
    EXPECT_TRUE(actions::compare(&a, &b, actions::op_equal));
    EXPECT_FALSE(actions::compare(&a, &b, actions::op_same));
}

TEST_F(Objects, BadArgumentsRaiseTheirErrors) {
    gc::Local o(ab());
    Cell one = integer(1), none = core_types::none_cell, out = none;
    struct Case {
        const char* name;
        std::function<void()> run;
        const char* id;
    } cases[] = {
        {"absent path word", [&] { get_path(o, word("zz")); }, "unset-path"},
        {"absent put word", [&] { set_path(o, word("zz"), one, true); }, "invalid-path"},
        {"element not a word", [&] { get_path(o, integer(1)); }, "invalid-path"},
        {"select non-word", [&] { object_type::select(&o, &one, actions::FindOptions{}, &out); }, "invalid-type"},
        {"put non-word", [&] { object_type::put(&o, &one, &one, false, &out); }, "invalid-key-type"},
        {"copy/part", [&] { object_type::copy(&o, &out, &one, false, nullptr); }, "invalid-refine-arg"},
        {"modify changed", [&] {
             Cell f = word("changed");
             object_type::modify(&o, &f, &one, false, &out);
         }, "invalid-arg"},
        {"spec not a block", [&] { make(one); }, "malconstruct"},
        {"spread unset", [&] {
             Cell values = block_of({integer(9), core_types::unset_cell});
             object_type::set_words(&o, &values, false, false, false);
         }, "need-value"},
        {"spread unset field", [&] {
             Cell from = make(block_of({word("q", type_set_word), integer(1), word("b", type_set_word)}));
             object_type::set_words(&o, &from, false, false, false);
         }, "need-value"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_id(caught(c.run)), c.id) << c.name;
    // The failed spread wrote nothing; quiet lookups answer unset.
    EXPECT_EQ(mold_with(o, false, true), "make object! [a: 1 b: \"x\"]");
    Cell quiet = get_path(o, word("zz"), true, true);
    EXPECT_EQ(cell::type(&quiet), type_unset);
}

TEST_F(Objects, SetSpreadsBlocksAndObjects) {
    gc::Local o(ab());
    gc::Local values(block_of({integer(3), core_types::none_cell}));
    object_type::set_words(&o, &values, false, false, true);  // /some skips none
    EXPECT_EQ(mold_with(o, false, true), "make object! [a: 3 b: \"x\"]");
    object_type::set_words(&o, &values, false, true, false);  // /only stores the block
    EXPECT_EQ(mold_with(o, false, true), "make object! [a: [3 none] b: [3 none]]");
    gc::Local from(make(block_of({word("b", type_set_word), integer(4), word("q", type_set_word), integer(5)})));
    object_type::set_words(&o, &from, false, false, false);
    EXPECT_EQ(mold_with(o, false, true), "make object! [a: [3 none] b: 4]");
}

TEST_F(Objects, CopyKeepsClassAndCopiesSeriesOnlyWhenDeep) {
    gc::Local o(ab());
    Cell bw = word("b");
    for (bool deep : {false, true}) {
        gc::Local out(core_types::none_cell);
        object_type::copy(&o, &out, nullptr, deep, nullptr);
        EXPECT_NE(out.w1, o.w1);
        EXPECT_EQ(out.w2, o.w2);
        EXPECT_EQ(object_type::select_word(&out, &bw)->w2 != object_type::select_word(&o, &bw)->w2, deep);
        EXPECT_EQ(mold(out), mold(o));
    }
}

TEST_F(Objects, ModifyOwnerAndChangedMarks) {
    gc::Local o(ab());
    set_path(o, word("a"), integer(2));
    EXPECT_EQ(mold(reflect(o, "changed")), "[a]");
    Cell field = word("changed"), none = core_types::none_cell, out = none;
    object_type::modify(&o, &field, &none, false, &out);
    EXPECT_EQ(mold(reflect(o, "changed")), "[]");
    Cell owner = word("owner");
    object_type::modify(&o, &owner, &none, false, &out);
    EXPECT_TRUE(reflect(o, "owner").w1);
    Cell bw = word("b");
    EXPECT_TRUE(ownership::is_owned(object_type::select_word(&o, &bw)));
    Cell owned = word("owned");
    object_type::modify(&o, &owned, &none, false, &out);
    EXPECT_FALSE(ownership::is_owned(object_type::select_word(&o, &bw)));
}

}  // namespace
