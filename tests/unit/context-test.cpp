#include "memory/context.h"

#include <gtest/gtest.h>

#include "base/system-throw.h"
#include "memory-fixture.h"
#include "memory/cycle-guard.h"
#include "memory/hash-table.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"

using namespace vum;

namespace {

class Contexts : public CoreTest {
protected:
    static Cell word(const char* text, uint8_t type = type_word) {
        return {type, 0, uint32_t(symbols::make(text)), uint32_t(-1)};
    }
};

TEST_F(Contexts, GlobalTableSizes) {
    hashtable::Record* r = hashtable::record(context::context_cell(context::global)->w1);
    EXPECT_EQ(r->size, 16384u);
    EXPECT_EQ(r->threshold, 12615u);
    uint32_t small = context::make(0, false, false, 0, context::kind_object);
    EXPECT_GE(hashtable::record(context::context_cell(small)->w1)->size, 4u);
    EXPECT_EQ(context::word_count(small), 0);
}

TEST_F(Contexts, SetAndGetThroughSlots) {
    gc::state.enabled = 1;
    uint32_t ctx = context::make(2, false, false, 0, context::kind_object);
    gc::ProtectNode keep(&ctx);
    Cell a = word("a"), b = word("b");
    Cell one, two;
    cell::make_integer(&one, 1);
    cell::make_integer(&two, 2);
    context::set_in(&a, &one, ctx, true);
    context::set_in(&b, &two, ctx, true);
    EXPECT_EQ(int32_t(a.w3), 0);
    EXPECT_EQ(int32_t(b.w3), 1);
    // Many more words: the table grows, slots keep their index.
    for (int i = 0; i < 3000; i++) {
        Cell w = word(("w" + std::to_string(i)).c_str());
        Cell v;
        cell::make_integer(&v, i);
        context::set_in(&w, &v, ctx, false);
    }
    EXPECT_EQ(cell::get_integer(context::word_value_address(&b, ctx)), 2);
    Cell w2999 = word("w2999");
    context::bind_word(ctx, &w2999);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&w2999)), 2999);
    // An object's slot is marked changed even without a handler.
    EXPECT_TRUE(context::word_at(ctx, 1)->header & cell::flag_slot_changed);
    Cell A = word("A");
    EXPECT_EQ(context::find_word(ctx, int32_t(A.w2), true), 0);
    EXPECT_EQ(context::find_word(ctx, int32_t(A.w2), false), -1);
}

TEST_F(Contexts, ErrorsOfMissingStorageAndUnboundWords) {
    uint32_t stack = context::make(1, true, false, 0, context::kind_function);
    Cell x = word("x");
    Cell v;
    cell::make_integer(&v, 5);
    EXPECT_STREQ(raised([&] { context::set_in(&x, &v, stack, true); }), "not-defined");
    EXPECT_EQ(context::find_word(stack, int32_t(x.w2), false), 0);  // stays added
    x.w1 = stack;
    EXPECT_STREQ(raised([&] { context::get_word_value(&x); }), "not-in-context");
    Cell loose = word("loose");
    EXPECT_STREQ(raised([&] { context::get_word_value(&loose); }), "no-value");
    // An unbound `self` names the owner cell of its context.
    Cell self = word("self");
    self.w1 = stack;
    EXPECT_EQ(context::get_word_value(&self), context::owner_cell(stack));
}

TEST_F(Contexts, CaseVariantsOfGlobalsShareTheSlot) {
    Cell first = context::make_global(symbols::make("thing"));
    Cell variant = context::make_global(symbols::make("Thing"));
    EXPECT_EQ(first.w3, variant.w3);
    Cell v;
    cell::make_integer(&v, 42);
    context::set_word_value(&variant, &v);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&first)), 42);
    Cell loaded = context::load_word("THING");
    EXPECT_EQ(loaded.w3, first.w3);
    EXPECT_STREQ(symbols::text(int32_t(loaded.w2)), "THING");
}

TEST_F(Contexts, MakeFromBlockAndBinding) {
    uint32_t spec = memory::alloc_cells(6);
    gc::ProtectNode keep_spec(&spec);
    const char* names[] = {"a", "b", "c", "a"};
    uint8_t types[] = {type_word, type_set_word, type_refinement, type_get_word};
    for (int i = 0; i < 4; i++) *series::alloc_tail_cell(spec) = word(names[i], types[i]);
    Cell block;
    cell::make_series(&block, type_block, spec);
    uint32_t ctx = context::make_from_block(&block, false, false, context::kind_function);
    gc::ProtectNode keep_ctx(&ctx);
    EXPECT_EQ(context::word_count(ctx), 2);  // a and c; the set-word is left out
    EXPECT_EQ(nodes::buffer(context::context_cell(ctx)->w2)->count(), 3u);  // a counted twice

    // A block that contains itself, with words at two depths.
    uint32_t body = memory::alloc_cells(4);
    gc::ProtectNode keep_body(&body);
    *series::alloc_tail_cell(body) = word("c");
    Cell self;
    cell::make_series(&self, type_block, body);
    *series::alloc_tail_cell(body) = self;
    *series::alloc_tail_cell(body) = word("zz");
    *series::alloc_tail_cell(body) = word("self");
    context::bind_block(&self, ctx, true);
    Cell* c = series::cells_mut(body);
    EXPECT_EQ(c[0].w1, ctx);
    EXPECT_EQ(int32_t(c[0].w3), 1);
    EXPECT_EQ(c[2].w1, 0u);             // absent: keeps its binding
    EXPECT_EQ(c[3].w1, ctx);            // self
    EXPECT_EQ(int32_t(c[3].w3), -1);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Contexts, CloneKeepsSlotOrderAndRepointsWords) {
    uint32_t ctx = context::make(3, false, true, 0, context::kind_object);
    gc::ProtectNode keep(&ctx);
    for (const char* n : {"p", "q", "r"}) context::add_word(ctx, symbols::make(n));
    gc::Local object({type_object, ctx, 1, 0});
    context::clone_for_cell(&object, context::kind_object);
    EXPECT_NE(object.w1, ctx);
    EXPECT_EQ(context::word_count(object.w1), 3);
    EXPECT_TRUE(context::context_cell(object.w1)->header & cell::flag_context_made);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(context::word_at(object.w1, i)->w2, context::word_at(ctx, i)->w2);
        EXPECT_EQ(context::word_at(object.w1, i)->w1, object.w1);
    }
    EXPECT_EQ(context::find_word(object.w1, symbols::make("r"), false), 2);
}

TEST_F(Contexts, CycleGuardLimit) {
    for (int i = 0; i < cycles::capacity - 1; i++) cycles::push(uint32_t(i + 1));
    EXPECT_STREQ(raised([] { cycles::push(5000); }), "too-deep");
    EXPECT_EQ(cycles::depth(), 0);
}

}  // namespace
