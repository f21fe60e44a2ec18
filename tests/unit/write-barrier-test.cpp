// The write barrier compiled forms rely on: every way the language changes a
// block's cells or length bumps the code epoch when the block has a form, and
// leaves it alone when it has none; the form's mark follows the series through
// growth and the collector's moves; a collection that frees nodes and the
// start of a trace bump it too; verify mode's snapshot catches a write that
// went around the barrier.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/action-front-ends.h"
#include "engine/interpreter.h"
#include "engine/natives.h"
#include "environment/boot-loader.h"
#include "evaluator-fixture.h"
#include "memory/cell-access.h"
#include "memory/code-forms.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/series.h"

using namespace vum;

namespace {

class WriteBarrierTest : public EvaluatorTest {
protected:
    void SetUp() override {
        EvaluatorTest::SetUp();
        eval::init();
        eval::offer_services(services::current);
        actions::register_front_ends();
        natives::init_table();
        // The natives and actions as the language defines them, made with a
        // provisional make action as start-up makes them.
        {
            stack::Mark mark;
            Cell* spec = load("[type spec] 1");
            Cell* action = stack::push_cell();
            actions::lookup<actions::slot_make>(type_action, nullptr)(nullptr, spec, type_action, action);
            Cell make = context::load_word("make");
            context::set_word_value(&make, action);
        }
        for (int32_t i = 0; i < boot::embedded_source_count; i++) {
            const boot::Source& s = boot::embedded_sources[i];
            std::string name = s.name;
            if (name != "environment/natives.vum" && name != "environment/actions.vum") continue;
            std::string report;
            ASSERT_TRUE(boot::run_source(s, &report)) << report;
        }
    }
    void TearDown() override {
        gc::state.enabled = 1;
        partial_services::fill();
        EvaluatorTest::TearDown();
    }

    // Runs source text in the global context.
    static void run(const std::string& text) {
        std::string report;
        boot::Source source{"barrier-test", text.c_str(), int32_t(text.size())};
        ASSERT_TRUE(boot::run_source(source, &report)) << text << "\n" << report;
    }
    static uint32_t node_of(const char* name) {
        Cell w = context::load_word(name);
        return cell::series_node(context::get_word_value(&w));
    }
};

// Each case makes b (and c) afresh, then changes b the way one native does.
struct Mutation {
    const char* setup;
    const char* change;
};
const Mutation mutations[] = {
    {"b: [1 2 3]", "append b 4"},
    {"b: [1 2 3]", "append b [4 5]"},
    {"b: [1 2 3]", "append/only b [4]"},
    {"b: [1 2 3]", "insert b 0"},
    {"b: [1 2 3]", "insert next b [7 8]"},
    {"b: [1 2 3]", "clear next b"},
    {"b: [1 2 3]", "change b 9"},
    {"b: [1 2 3]", "change/part b [x y z] 2"},
    {"b: [1 2 3]", "poke b 2 7"},
    {"b: [1 2 3]", "remove b"},
    {"b: [1 2 3]", "remove/part next b 2"},
    {"b: [x y]", "bind b make object! [x: 1 y: 2]"},
    {"b: [3 1 2]", "sort b"},
    {"b: [3 1 2 0]", "sort/skip b 2"},
    {"b: [1 2 3]", "reverse b"},
    {"b: [1 2 3]", "take b"},
    {"b: [1 2 3]", "take/last b"},
    {"b: [1 2 3]", "take/part next b 2"},
    {"b: [1 2 3] c: [4]", "swap b c"},
    {"b: [1 2 3]", "swap b next b"},
    {"b: [1 2 3]", "move b next next b"},
    {"b: [1 2 3] c: [4]", "move c b"},
    {"b: [1 2 3] c: [4]", "move b c"},
    {"b: [1 2 3]", "b/2: 99"},
    {"b: [1 2 3] poke b 2 none", "trim b"},
    {"b: [1 2 3]", "new-line next b true"},
    {"b: [1 2 3]", "remove-each x b [true]"},
    {"b: [1 2 3]", "parse b [change integer! 5 to end]"},
    {"b: [1 2 3]", "parse b [remove integer! to end]"},
    {"b: [1 2 3]", "parse b [insert 0 to end]"},
};

TEST_F(WriteBarrierTest, EveryMutatingNativeBumpsTheEpochOfABlockWithAForm) {
    for (bool marked : {true, false}) {
        for (const Mutation& m : mutations) {
            SCOPED_TRACE(std::string(m.change) + (marked ? " (with a form)" : " (without)"));
            run(m.setup);
            uint32_t b = node_of("b");
            if (marked) series::set_form(b, 1);
            forms::Snapshot before = forms::snapshot(b);
            // No collection runs in between: it would bump the epoch itself.
            gc::state.enabled = 0;
            uint64_t epoch = series::code_epoch;
            run(m.change);
            uint64_t after = series::code_epoch;
            gc::state.enabled = 1;
            // The case does change b, so a missed barrier cannot pass unseen.
            EXPECT_FALSE(forms::matches(before, nullptr));
            if (marked)
                EXPECT_GT(after, epoch);
            else
                EXPECT_EQ(after, epoch);
        }
    }
}

TEST_F(WriteBarrierTest, TheFormsMarkFollowsTheSeriesThroughGrowthAndMoves) {
    gc::set_torture(1);  // every allocation collects and moves every buffer
    Cell block = {type_block, 0, memory::alloc_cells(1), 0};
    gc::Protect keep(&block, 1);
    series::set_form(cell::series_node(&block), 42);
    uint64_t epoch = series::code_epoch;
    for (int32_t i = 0; i < 200; i++) cell::make_integer(series::alloc_tail(&block), i);
    gc::collect();
    gc::set_torture(0);
    uint32_t node = cell::series_node(&block);
    EXPECT_TRUE(series::has_form(node));
    EXPECT_EQ(series::form_of(node), 42u);
    EXPECT_EQ(nodes::buffer(node)->cell_count(), 200u);
    EXPECT_EQ(cell::get_integer(series::cells_head(node) + 199), 199);
    EXPECT_GT(series::code_epoch, epoch);
    // A copy runs no form.
    uint32_t copy = series::copy_part(node, 0, 10);
    EXPECT_FALSE(series::has_form(copy));
    EXPECT_EQ(series::form_of(copy), 0u);
    // Dropping the form tells every other form to check again.
    epoch = series::code_epoch;
    series::clear_form(node);
    EXPECT_FALSE(series::has_form(node));
    EXPECT_GT(series::code_epoch, epoch);
}

TEST_F(WriteBarrierTest, TheFormsMarkSlidesWithItsBufferWhenTheCollectorCompacts) {
    if (gc::torture()) GTEST_SKIP() << "torture copies every frame instead of compacting";
    gc::collect();
    memory::alloc_cells(64);  // garbage the block will slide over
    Cell block = {type_block, 0, memory::alloc_cells(4), 0};
    gc::Protect keep(&block, 1);
    uint32_t node = cell::series_node(&block);
    cell::make_integer(series::alloc_tail(&block), 7);
    series::set_form(node, 9);
    const SeriesBuffer* before = nodes::buffer(node);
    gc::collect();
    EXPECT_NE(nodes::buffer(node), before);
    EXPECT_EQ(series::form_of(node), 9u);
    EXPECT_EQ(cell::get_integer(series::cells_head(node)), 7);
}

TEST_F(WriteBarrierTest, ACollectionBumpsTheEpochOnlyWhenItFreesNodes) {
    gc::collect();
    uint64_t epoch = series::code_epoch;
    gc::collect();  // nothing left to free
    EXPECT_EQ(series::code_epoch, epoch);
    memory::alloc_cells(4);  // garbage at once
    gc::collect();
    EXPECT_GT(series::code_epoch, epoch);
}

TEST_F(WriteBarrierTest, StartingATraceBumpsTheEpoch) {
    // A callback that asks for the end event only.
    define("watch", "func [event code offset value ref frame] [[end]]");
    Cell w = context::load_word("watch");
    Cell callback = *word::value_address(&w);
    uint64_t epoch = series::code_epoch;
    ASSERT_TRUE(trace::start(&callback));
    EXPECT_GT(series::code_epoch, epoch);
    // trace off, then trace on again.
    epoch = series::code_epoch;
    trace::set_reporting(false);
    EXPECT_EQ(series::code_epoch, epoch);
    trace::set_reporting(true);
    EXPECT_GT(series::code_epoch, epoch);
    trace::end();
}

TEST_F(WriteBarrierTest, VerifyCatchesAWriteThatBypassesTheBarrier) {
    run("b: [1 2 3]");
    uint32_t b = node_of("b");
    series::set_form(b, 1);
    forms::Snapshot snap = forms::snapshot(b);
    std::string why;
    EXPECT_TRUE(forms::matches(snap, &why));
    forms::check_unchanged(snap, "a passing check");  // returns quietly

    uint64_t epoch = series::code_epoch;
    cell::make_integer(series::cells_mut_untracked(b) + 1, 5);
    EXPECT_EQ(series::code_epoch, epoch);  // the barrier did not see it...
    EXPECT_FALSE(forms::matches(snap, &why));  // ...the snapshot does
    EXPECT_EQ(why, "cell 1 changed");
    EXPECT_DEATH(forms::check_unchanged(snap, "the test"), "written past the write barrier \\(cell 1 changed\\), found at the test");

    snap = forms::snapshot(b);
    nodes::buffer(b)->tail -= 16;  // a length written behind the barrier's back
    EXPECT_FALSE(forms::matches(snap, &why));
    EXPECT_EQ(why, "its length went from 3 to 2 cells");
}

TEST(FormsMode, SettingsByName) {
    const struct {
        const char* text;
        bool known;
        forms::Mode mode;
    } cases[] = {
        {"off", true, forms::Mode::off},       {"on", true, forms::Mode::on},
        {"forced", true, forms::Mode::forced}, {"verify", true, forms::Mode::verify},
        {"ON", false, forms::Mode::on},        {"", false, forms::Mode::on},
        {"verify ", false, forms::Mode::on},
    };
    for (const auto& c : cases) {
        forms::Mode m = forms::Mode::on;
        EXPECT_EQ(forms::parse_mode(c.text, &m), c.known) << c.text;
        EXPECT_EQ(m, c.mode) << c.text;
    }
}

}  // namespace
