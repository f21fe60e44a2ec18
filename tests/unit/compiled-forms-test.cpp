// The table of compiled forms: a form goes with its block when the block is
// swept, and no more than forms::max_forms live at once, past which loops
// run in the walk with the same results.
#include <gtest/gtest.h>

#include <string>

#include "engine/action-front-ends.h"
#include "engine/interpreter.h"
#include "engine/natives.h"
#include "environment/boot-loader.h"
#include "evaluator-fixture.h"
#include "memory/cell-access.h"
#include "memory/code-forms.h"
#include "memory/collector.h"
#include "memory/series.h"

using namespace vum;

namespace {

class CompiledFormsTest : public EvaluatorTest {
protected:
    void SetUp() override {
        EvaluatorTest::SetUp();
        saved_mode_ = forms::mode;
        forms::mode = forms::Mode::forced;
        eval::init();
        eval::offer_services(services::current);
        actions::register_front_ends();
        natives::init_table();
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
        forms::mode = saved_mode_;
        partial_services::fill();
        EvaluatorTest::TearDown();
    }

    static void run(const std::string& text) {
        std::string report;
        boot::Source source{"forms-test", text.c_str(), int32_t(text.size())};
        ASSERT_TRUE(boot::run_source(source, &report)) << text << "\n" << report;
    }
    static int32_t integer_of(const char* name) {
        Cell w = context::load_word(name);
        const Cell* v = context::get_word_value(&w);
        EXPECT_EQ(cell::type(v), type_integer) << name;
        return cell::get_integer(v);
    }

private:
    forms::Mode saved_mode_ = forms::Mode::on;
};

TEST_F(CompiledFormsTest, AFormGoesWithItsBlockWhenTheBlockIsSwept) {
    gc::collect();
    uint32_t before = forms::live_count();
    run("total: 0 loop 50 [i: 0 b: copy/deep [while [i < 3] [i: i + 1]] do b total: total + i]");
    EXPECT_EQ(integer_of("total"), 150);
    // Each copy's condition and body got a form.
    EXPECT_GE(forms::live_count(), before + 2);
    run("b: none");
    gc::collect();
    EXPECT_EQ(forms::live_count(), before);
}

TEST_F(CompiledFormsTest, PastTheBoundLoopsRunInTheWalkWithTheSameResults) {
    // Every loop stays reachable, so no form can go.
    std::string text = "kept: copy [] total: 0 loop " + std::to_string(forms::max_forms / 2 + 50) +
                       " [i: 0 b: copy/deep [while [i < 3] [i: i + 1]] append/only kept b do b total: total + i]";
    run(text);
    EXPECT_EQ(integer_of("total"), 3 * int32_t(forms::max_forms / 2 + 50));
    EXPECT_LE(forms::live_count(), forms::max_forms);
    EXPECT_EQ(forms::live_count(), forms::max_forms);
    run("kept: b: none");
    gc::collect();
    EXPECT_LT(forms::live_count(), forms::max_forms);
}

}  // namespace
