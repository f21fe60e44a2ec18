#include "base/system-throw.h"

#include <gtest/gtest.h>

#include "base/runtime-record.h"

using namespace vum;

namespace {

TEST(SystemThrow, ThresholdIsInclusiveAndUnsigned) {
    struct Case {
        uint32_t threshold, code;
        bool caught;
    } cases[] = {
        {10, 10, true},
        {10, 11, false},
        {sys::catch_guard, 0x7FFFFFFF, true},
        {sys::catch_guard, 0x80000000, false},
        {sys::catch_all, 0xFFFFFFFF, true},
        {sys::catch_all, sys::code_silent_exit, true},
        {sys::catch_loop, sys::code_return, true},
        {sys::catch_language_throw, sys::code_break, false},
    };
    for (const Case& c : cases) {
        uint32_t got = 0;
        uint32_t outer = sys::catch_codes(sys::catch_all, [&] {
            got = sys::catch_codes(c.threshold, [&] { sys::throw_code(c.code); });
        });
        EXPECT_EQ(got, c.caught ? c.code : 0u) << std::hex << c.threshold << " " << c.code;
        EXPECT_EQ(outer, c.caught ? 0u : c.code);
    }
}

TEST(SystemThrow, InnermostAcceptingFrameTakesTheCode) {
    std::string order;
    uint32_t outer = sys::catch_codes(sys::catch_guard, [&] {
        uint32_t inner = sys::catch_codes(sys::catch_loop, [&] {
            sys::catch_codes(sys::catch_lexer, [&] { sys::throw_code(sys::code_break); });
            order += "not here";
        });
        order += "loop caught " + std::to_string(inner == sys::code_break);
    });
    EXPECT_EQ(outer, 0u);
    EXPECT_EQ(order, "loop caught 1");
}

TEST(SystemThrow, GuardRethrowKeepsTheCode) {
    bool restored = false;
    uint32_t outer = sys::catch_codes(sys::catch_all, [&] {
        uint32_t code = sys::catch_codes(sys::catch_guard, [&] { sys::throw_code(0x42); });
        restored = true;  // a guard restores its own state, then passes it on
        if (code) sys::rethrow();
    });
    EXPECT_TRUE(restored);
    EXPECT_EQ(outer, 0x42u);
    EXPECT_EQ(rt.thrown, 0x42u);
    sys::clear_thrown();
    EXPECT_EQ(rt.thrown, 0u);
}

TEST(SystemThrow, ExceptionCodesMapToNumbers) {
    struct Case {
        uint32_t os_code;
        int32_t number;
    } cases[] = {{0xC0000005, 1}, {0xC000008D, 6}, {0xC00000FD, 19}, {0xC0000008, 22},
                 {0xC000013A, 0}, {0x12345678, 99}};
    for (const Case& c : cases) EXPECT_EQ(sys::map_exception_code(c.os_code), c.number);
}

TEST(SystemThrow, ReportTextsAndLayout) {
    EXPECT_STREQ(sys::runtime_error_text(6), "float denormal operan");
    EXPECT_STREQ(sys::runtime_error_text(34), "Bus error");
    EXPECT_STREQ(sys::runtime_error_text(101), "no value matched in SWITCH");
    EXPECT_STREQ(sys::runtime_error_text(50), "unknown error code!");
    char line[160];
    sys::format_report(line, 95, 0x4010AB);
    EXPECT_STREQ(line, "*** Runtime Error 95: no CATCH for THROW\n*** at: 004010ABh\n");
    sys::format_report(line, 1, 0x7FFF12345678);
    EXPECT_STREQ(line, "*** Runtime Error 1: access violation\n*** at: 7FFF12345678h\n");
}

TEST(SystemThrowDeathTest, TerminateExitsWithTheNumber) {
    EXPECT_EXIT(sys::terminate(50, 0x10), testing::ExitedWithCode(50),
                "^\\*\\*\\* Runtime Error 50: unknown error code!\n\\*\\*\\* at: 00000010h\n$");
    EXPECT_EXIT(sys::terminate(0, 0x10), testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(sys::top_catch_handler(sys::code_silent_exit), testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(sys::top_catch_handler(7), testing::ExitedWithCode(95), "no CATCH for THROW");
}

}  // namespace
