#include "memory/ownership.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "memory-fixture.h"
#include "memory/cell-slots.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/hash-table.h"
#include "memory/runtime-symbols.h"
#include "memory/symbols.h"

using namespace vum;

namespace {

class Ownership : public CoreTest {
protected:
    void SetUp() override {
        set_up_core(true);
        ownership::init_table();
        // Without object! no handler runs.
        services::current.deep_change_handler = [](const Cell*, const Cell*, const Cell*, const Cell*, const Cell*,
                                                   int32_t, int32_t) {};
    }
    void TearDown() override {
        partial_services::fill();
        cycles::reset();
        MemoryTest::TearDown();
    }

    static Cell word(const char* text) { return {type_word, 0, uint32_t(symbols::make(text)), uint32_t(-1)}; }

    // An object whose fields, all none, are named by the texts.
    static Cell object(std::initializer_list<const char*> fields) {
        uint32_t ctx = context::make(int32_t(fields.size()), false, true, 0, context::kind_object);
        gc::ProtectNode keep(&ctx);
        Cell none{type_none, 0, 0, 0};
        for (const char* f : fields) context::put_word_value(ctx, symbols::make(f), &none);
        return {type_object, ctx, 1, 0};
    }
    static Cell* field(const Cell& object, const char* name) {
        return context::value_of_symbol(object.w1, symbols::make(name));
    }

    static Cell block(std::initializer_list<Cell> cells) {
        uint32_t node = memory::alloc_cells(int32_t(cells.size()) + 1);
        gc::ProtectNode keep(&node);
        for (const Cell& c : cells) *series::alloc_tail_cell(node) = c;
        return {type_block, 0, node, 0};
    }
    static Cell string() { return {type_string, 0, memory::alloc_bytes(8), 0}; }

    static uint32_t entries() { return hashtable::record(ownership::table())->count; }
    static const Cell* entry(uint32_t node) { return hashtable::find_pointer(ownership::table(), node); }
    static bool owned_by(uint32_t node, const Cell& owner) {
        Cell o = ownership::owner_of(node);
        return cell::type(&o) == type_object && o.w1 == owner.w1 &&
               (nodes::buffer(node)->flags & series_flags::owned);
    }
    static bool marked(uint32_t node) { return nodes::buffer(node)->flags & series_flags::mark; }
};

TEST_F(Ownership, BindingTwiceRecordsOnceAndStillDescends) {
    gc::Local owner(object({"data"}));
    Cell inner = block({});
    Cell text = string();
    Cell middle = block({inner});
    gc::Local outer(block({middle, text, Cell{type_integer, 0, 7, 0}}));
    Cell data = word("data");
    ownership::bind(&outer, &owner, &data);
    EXPECT_EQ(entries(), 4u);
    for (uint32_t node : {outer.w2, middle.w2, inner.w2, text.w2}) {
        EXPECT_TRUE(owned_by(node, owner));
        EXPECT_EQ(entry(node)[0].w2, node);          // the series cell itself
        EXPECT_EQ(entry(node)[2].w2, data.w2);       // the field word
    }

    // Blocks added inside since the first bind are found by the second.
    Cell added = block({});
    *series::alloc_tail_cell(middle.w2) = added;
    ownership::bind(&outer, &owner, &data);
    EXPECT_EQ(entries(), 5u);
    EXPECT_TRUE(owned_by(added.w2, owner));

    // Binding from a head index past the first cell leaves that cell alone.
    gc::Local other(object({"x"}));
    ownership::unbind(&outer);
    EXPECT_EQ(entries(), 0u);
    Cell from_second = outer;
    from_second.w1 = 1;
    Cell x = word("x");
    ownership::bind(&from_second, &other, &x);
    EXPECT_TRUE(owned_by(text.w2, other));
    EXPECT_TRUE(owned_by(outer.w2, other));
    EXPECT_FALSE(ownership::is_owned(&middle));
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Ownership, SelfContainingBlockBindsAndUnbindsWithoutLooping) {
    gc::Local owner(object({"loop"}));
    Cell text = string();
    gc::Local b(block({text}));
    *series::alloc_tail_cell(b.w2) = b;
    Cell w = word("loop");
    ownership::bind(&b, &owner, &w);
    EXPECT_EQ(entries(), 2u);
    EXPECT_TRUE(owned_by(b.w2, owner));
    EXPECT_TRUE(owned_by(text.w2, owner));
    EXPECT_EQ(cycles::depth(), 0);

    ownership::unbind(&b);
    EXPECT_EQ(entries(), 0u);
    EXPECT_FALSE(ownership::is_owned(&b));
    EXPECT_FALSE(ownership::is_owned(&text));
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Ownership, UnbindingWhatNobodyOwnsOnlyClearsItsMark) {
    gc::Local owner(object({"a"}));
    Cell owned = string();
    Cell stray = string();
    gc::Local list(block({owned, Cell{type_integer, 0, 1, 0}}));
    gc::Protect keep_stray(&stray);
    Cell a = word("a");
    ownership::bind(&list, &owner, &a);
    uint32_t before = entries();

    ownership::unbind(&stray);
    EXPECT_EQ(entries(), before);
    EXPECT_TRUE(owned_by(owned.w2, owner));
    // A mark without a record, as a copy made before the bit was dropped.
    nodes::buffer(stray.w2)->flags |= series_flags::owned;
    ownership::unbind(&stray);
    EXPECT_FALSE(ownership::is_owned(&stray));
    EXPECT_EQ(entries(), before);

    // Ranges are clipped to the block.
    ownership::unbind_range(&list, -5, 2);
    EXPECT_TRUE(owned_by(owned.w2, owner));
    ownership::unbind_range(&list, 1, 1000);
    EXPECT_TRUE(owned_by(owned.w2, owner));
    ownership::unbind_range(&list, 0, 1);
    EXPECT_FALSE(ownership::is_owned(&owned));
    EXPECT_TRUE(owned_by(list.w2, owner));
}

TEST_F(Ownership, ObjectsAreOwnedFieldByFieldUpToOtherOwners) {
    gc::Local owner(object({"sub"}));
    gc::Local held(object({"name", "back", "me", "inner"}));
    gc::Local nested(object({"items"}));
    *field(held, "name") = string();
    *field(held, "back") = owner;
    *field(held, "me") = held;
    *field(held, "inner") = nested;
    *field(nested, "items") = block({});
    context::context_cell(nested.w1)->header |= cell::flag_owner;
    *field(owner, "sub") = held;

    Cell sub = word("sub");
    ownership::set_owner(field(owner, "sub"), &owner, &sub);
    EXPECT_TRUE(context::context_cell(owner.w1)->header & cell::flag_owner);
    EXPECT_EQ(entries(), 1u);
    uint32_t name = field(held, "name")->w2;
    EXPECT_TRUE(owned_by(name, owner));
    EXPECT_STREQ(symbols::text(int32_t(entry(name)[2].w2)), "name");  // the field's own word
    EXPECT_FALSE(ownership::is_owned(field(nested, "items")));
    EXPECT_EQ(cycles::depth(), 0);

    ownership::unbind(field(owner, "sub"));
    EXPECT_EQ(entries(), 0u);
    EXPECT_FALSE(ownership::is_owned(field(held, "name")));
}

TEST_F(Ownership, OwnerMustBeAnObjectAndWordAWord) {
    gc::Local owner(object({"a"}));
    gc::Local text(string());
    Cell a = word("a");
    Cell none{type_none, 0, 0, 0};
    Cell number{type_integer, 0, 3, 0};
    struct Case {
        const Cell* owner;
        const Cell* word;
        bool ok;
    } cases[] = {{&owner, &a, true}, {&owner, &none, true}, {&number, &a, false}, {&owner, &text, false},
                 {&text, &a, false}};
    for (const Case& c : cases) {
        ownership::unbind(&text);
        const char* error = raised([&] { ownership::bind(&text, c.owner, c.word); });
        EXPECT_STREQ(error, c.ok ? nullptr : "invalid-arg");
        EXPECT_EQ(ownership::is_owned(&text), c.ok);
    }
}

struct Report {
    Cell owner, word, target, action, value;
    int32_t index, part;
    bool after_change;
};
std::vector<Report> reports;
bool change_done = false;

void record_report(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                   const Cell* value, int32_t index, int32_t part) {
    reports.push_back({*owner, *word, *target, *action, *value, index, part, change_done});
}

TEST_F(Ownership, ChangesAreReportedBeforeAndAfterWithTheirWords) {
    gc::Local owner(object({"data"}));
    Cell target = block({});
    gc::Local data(block({target}));
    *field(owner, "data") = data;
    Cell w = word("data");
    ownership::bind(field(owner, "data"), &owner, &w);
    services::current.deep_change_handler = record_report;
    Cell value{type_integer, 0, 42, 0};

    // An owner without a change record hears of nothing.
    EXPECT_FALSE(ownership::check(&target, ownership::action_word(ownership::action_append), &value, 0, 1));
    EXPECT_TRUE(reports.empty());
    ownership::unbind(&data);
    owner.w3 = memory::alloc_bytes(16);
    ownership::bind(field(owner, "data"), &owner, &w);

    struct Case {
        ownership::Action action;
        const char* before;
        const char* after;
    } cases[] = {{ownership::action_append, "append", "appended"}, {ownership::action_insert, "insert", "inserted"},
                 {ownership::action_remove, "remove", "removed"},  {ownership::action_put, "put", "put-ed"},
                 {ownership::action_swap, "swap", "swaped"},       {ownership::action_random, "random", "randomized"},
                 {ownership::action_uppercase, "uppercase", "uppercase"}};
    for (const Case& c : cases) {
        reports.clear();
        change_done = false;
        ownership::report_change(&target, c.action, &value, 3, 2, [] { change_done = true; });
        ASSERT_EQ(reports.size(), 2u) << c.before;
        EXPECT_STREQ(symbols::text(int32_t(reports[0].action.w2)), c.before);
        EXPECT_STREQ(symbols::text(int32_t(reports[1].action.w2)), c.after);
        EXPECT_FALSE(reports[0].after_change);
        EXPECT_TRUE(reports[1].after_change);
        for (const Report& r : reports) {
            EXPECT_EQ(r.owner.w1, owner.w1);
            EXPECT_STREQ(symbols::text(int32_t(r.word.w2)), "data");
            EXPECT_EQ(r.target.w2, target.w2);
            EXPECT_EQ(cell::get_integer(&r.value), 42);
            EXPECT_EQ(r.index, 3);
            EXPECT_EQ(r.part, 2);
        }
    }

    // Nothing to tell: not owned, or not a series. (The handler is a runtime
    // service, always there.)
    reports.clear();
    Cell stray = string();
    Cell posing{type_integer, 0, target.w2, 0};  // word 2 equal to an owned node
    EXPECT_FALSE(ownership::check(&stray, &w, nullptr, 0, 0));
    EXPECT_FALSE(ownership::check(&posing, &w, nullptr, 0, 0));
    EXPECT_TRUE(reports.empty());
}

// n blocks, each holding the next.
Cell nested_blocks(int32_t n) {
    uint32_t inner = memory::alloc_cells(1);
    gc::ProtectNode keep(&inner);
    for (int32_t i = 1; i < n; i++) {
        uint32_t outer = memory::alloc_cells(1);
        *series::alloc_tail_cell(outer) = {type_block, 0, inner, 0};
        inner = outer;
    }
    return {type_block, 0, inner, 0};
}

TEST_F(Ownership, TooDeepNestingRaisesAndEmptiesTheCycleStack) {
    gc::Local owner(object({"deep"}));
    Cell w = word("deep");
    gc::Local fits(nested_blocks(cycles::capacity - 1));
    EXPECT_EQ(raised([&] { ownership::bind(&fits, &owner, &w); }), nullptr);
    EXPECT_EQ(entries(), uint32_t(cycles::capacity - 1));
    EXPECT_EQ(raised([&] { ownership::unbind(&fits); }), nullptr);
    EXPECT_EQ(entries(), 0u);

    gc::Local deeper(nested_blocks(cycles::capacity));
    EXPECT_STREQ(raised([&] { ownership::bind(&deeper, &owner, &w); }), "too-deep");
    EXPECT_EQ(cycles::depth(), 0);
    EXPECT_STREQ(raised([&] { ownership::unbind(&deeper); }), "too-deep");
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Ownership, TableKeepsOwnersOfLiveSeriesOnly) {
    // Owners and the word's context are reachable from nowhere but the table.
    Cell kept_owner = object({"a"});
    Cell lost_owner = object({"b"});
    uint32_t word_context = context::make(1, false, true, 0, context::kind_object);
    Cell a = word("a");
    a.w1 = word_context;
    Cell b = word("b");
    Cell kept = block({});
    Cell lost = string();
    ownership::bind(&kept, &kept_owner, &a);
    ownership::bind(&lost, &lost_owner, &b);
    ASSERT_FALSE(marked(kept_owner.w1));

    gc::mark_series(kept.w2);  // as the roots would
    EXPECT_TRUE(ownership::mark_reachable_entries());
    EXPECT_TRUE(marked(kept_owner.w1));
    EXPECT_TRUE(marked(word_context));
    EXPECT_TRUE(marked(ownership::table()));
    EXPECT_FALSE(marked(lost_owner.w1));
    EXPECT_FALSE(marked(lost.w2));
    EXPECT_FALSE(ownership::mark_reachable_entries());

    ownership::sweep();
    EXPECT_EQ(entries(), 1u);
    EXPECT_EQ(entry(lost.w2), nullptr);
    ASSERT_NE(entry(kept.w2), nullptr);
    EXPECT_EQ(ownership::owner_of(kept.w2).w1, kept_owner.w1);
}

TEST_F(Ownership, OwnedSeriesThatNothingReachesAreCollected) {
    gc::Local owner(object({"data"}));
    Cell inner = string();
    Cell list = block({inner});
    *field(owner, "data") = list;
    Cell w = word("data");
    ownership::bind(field(owner, "data"), &owner, &w);
    EXPECT_EQ(entries(), 2u);
    int32_t live = memory::live_nodes();
    // The field lets go: the table alone must not keep the block or its
    // string alive.
    cell::make_none(field(owner, "data"));
    gc::collect();
    EXPECT_EQ(entries(), 0u);
    EXPECT_EQ(memory::live_nodes(), live - 2);
}

TEST_F(Ownership, RecordsSurviveCollections) {
    gc::state.enabled = 1;
    gc::Local owner(object({"many"}));
    gc::Local list(block({}));
    constexpr int32_t n = 1100;  // more than the table was made for
    for (int32_t i = 0; i < n; i++) {
        gc::Local s(string());
        *series::alloc_tail(&list) = s;
    }
    *field(owner, "many") = list;
    Cell w = word("many");
    ownership::bind(field(owner, "many"), &owner, &w);
    memory::alloc_bytes(1 << 16);  // garbage to move past
    gc::collect();
    EXPECT_EQ(entries(), uint32_t(n + 1));
    for (int32_t i = 0; i < n; i++) {
        uint32_t node = series::cells_head(list.w2)[i].w2;
        ASSERT_TRUE(owned_by(node, owner)) << i;
        ASSERT_EQ(entry(node)[0].w2, node);
    }
}

class CellSlots : public MemoryTest {
protected:
    void SetUp() override {
        MemoryTest::SetUp();
        slots::init();
    }
    static Cell integer(int32_t n) { return {type_integer, 0, uint32_t(n), 0}; }
};

TEST_F(CellSlots, FullTableDoublesAndFreedSlotIsGivenNext) {
    EXPECT_EQ(slots::capacity(), 100);
    EXPECT_EQ(nodes::buffer(gc::roots.cell_slot_table)->count(), 100u);  // every cell is a slot
    for (int32_t i = 1; i <= 100; i++) {
        Cell v = integer(i * 10);
        ASSERT_EQ(slots::add(&v), i);
    }
    EXPECT_EQ(slots::free_head(), -1);
    Cell v = integer(1010);
    EXPECT_EQ(slots::add(&v), 101);
    EXPECT_EQ(slots::capacity(), 200);
    EXPECT_EQ(nodes::buffer(gc::roots.cell_slot_table)->count(), 200u);
    for (int32_t i = 1; i <= 101; i++) ASSERT_EQ(cell::get_integer(slots::address(i)), i * 10) << i;

    slots::free(101);
    slots::free(0);
    EXPECT_EQ(slots::free_head(), 100);
    EXPECT_EQ(slots::add(&v), 101);
    EXPECT_EQ(slots::add(&v), 102);  // then the new slots in order

    slots::free(5);
    slots::free(9);
    EXPECT_EQ(slots::add(&v), 9);
    EXPECT_EQ(slots::add(&v), 5);
    EXPECT_EQ(slots::add(&v), 103);
}

TEST_F(CellSlots, IndexesThatNameNoSlotInUseRaise) {
    Cell v = integer(1);
    slots::add(&v);
    slots::add(&v);
    slots::free(2);
    struct Case {
        const char* what;
        void (*call)();
    } cases[] = {
        {"free negative", [] { slots::free(-1); }},
        {"free past the table", [] { slots::free(101); }},
        {"free twice", [] { slots::free(2); }},
        {"free never given", [] { slots::free(50); }},
        {"address 0", [] { slots::address(0); }},
        {"address freed", [] { slots::address(2); }},
    };
    for (const Case& c : cases) EXPECT_STREQ(raised(c.call), "invalid-arg") << c.what;
    EXPECT_EQ(slots::free_head(), 1);
    EXPECT_EQ(slots::add(&v), 2);
    EXPECT_EQ(slots::add(&v), 3);  // the chain is whole
}

TEST_F(CellSlots, HeldValuesSurviveCollections) {
    gc::state.enabled = 1;
    std::vector<int32_t> indexes;
    constexpr int32_t n = 250;  // two doublings
    for (int32_t i = 0; i < n; i++) {
        uint32_t node = memory::alloc_cells(4);
        gc::ProtectNode keep(&node);
        for (int32_t k = 0; k < 3; k++) cell::make_integer(series::alloc_tail_cell(node), i + k);
        Cell b{type_block, 0, node, 0};
        indexes.push_back(slots::add(&b));
        memory::alloc_bytes(256);  // garbage between them
    }
    gc::collect();
    for (int32_t i = 0; i < n; i += 2) slots::free(indexes[size_t(i)]);
    for (int32_t i = 0; i < 50; i++) memory::alloc_cells(64);
    gc::collect();
    for (int32_t i = 1; i < n; i += 2) {
        const Cell* b = slots::address(indexes[size_t(i)]);
        ASSERT_EQ(cell::type(b), type_block);
        SeriesBuffer* buf = nodes::buffer(b->w2);
        ASSERT_EQ(buf->count(), 3u) << i;
        const Cell* c = reinterpret_cast<const Cell*>(buf->head_ptr());
        for (int32_t k = 0; k < 3; k++) ASSERT_EQ(cell::get_integer(c + k), i + k);
    }
}

}  // namespace
