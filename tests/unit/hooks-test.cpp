#include "base/hooks.h"

#include <gtest/gtest.h>

#include <string>

using namespace vum;

namespace {

std::string trace;

// Eight distinct callbacks that record which of them ran.
template <int N>
void value_hook(const Cell*, int32_t newline) {
    trace += "v" + std::to_string(N) + (newline ? "+" : "") + " ";
}
template <int N>
void text_hook(const char* text, int32_t length, int32_t) {
    trace += "t" + std::to_string(N) + ":" + std::string(text, size_t(length)) + " ";
}

class Hooks : public testing::Test {
protected:
    void SetUp() override {
        hooks::init();
        trace.clear();
    }
    void TearDown() override { hooks::init(); }
};

TEST_F(Hooks, RunInRegistrationOrderThroughGrowth) {
    hooks::register_hooks(value_hook<1>, nullptr);
    hooks::register_hooks(value_hook<2>, nullptr);
    hooks::register_hooks(value_hook<3>, nullptr);
    hooks::register_hooks(value_hook<4>, nullptr);
    hooks::register_hooks(value_hook<5>, text_hook<1>);
    EXPECT_EQ(hooks::value_hooks().capacity, 5);
    hooks::register_hooks(value_hook<6>, nullptr);
    EXPECT_EQ(hooks::value_hooks().capacity, 10);
    EXPECT_EQ(hooks::text_hooks().capacity, 5);
    EXPECT_EQ(hooks::text_hooks().count, 1);
    hooks::run_value(nullptr, 1);
    EXPECT_EQ(trace, "v1+ v2+ v3+ v4+ v5+ v6+ ");
    trace.clear();
    hooks::run_output("ab", 2, 0);
    EXPECT_EQ(trace, "t1:ab ");
}

TEST_F(Hooks, UnregisterRemovesOnlyTheFirstEqualEntry) {
    hooks::register_hooks(value_hook<1>, text_hook<1>);
    hooks::register_hooks(value_hook<2>, text_hook<2>);
    hooks::register_hooks(value_hook<1>, text_hook<1>);
    hooks::unregister(value_hook<1>, nullptr);
    hooks::unregister(value_hook<7>, text_hook<7>);  // never registered
    hooks::run_value(nullptr, 0);
    hooks::run_output("x", 1, 0);
    EXPECT_EQ(trace, "v2 v1 t1:x t2:x t1:x ");
}

TEST_F(Hooks, EmptyListsRunNothing) {
    hooks::run_value(nullptr, 0);
    hooks::run_output("x", 1, 0);
    EXPECT_EQ(trace, "");
}

}  // namespace
