#include "memory/value-stack.h"

#include <gtest/gtest.h>

#include <cmath>

#include "base/system-throw.h"
#include "datatypes/error.h"
#include "memory-fixture.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/runtime-symbols.h"
#include "memory/symbols.h"
#include "memory/runtime-helpers.h"
#include "memory/typed-access.h"

using namespace vum;

namespace {

// The runtime's core as start-up makes it: root block, symbols, global
// context, runtime words, the error catalogue and the value stack.
class ValueStack : public CoreTest {
protected:
    void SetUp() override {
        set_up_core(true);
        stack::init();
        error::init();
        gc::state.enabled = 1;
    }
    void TearDown() override {
        stack::s = {};
        MemoryTest::TearDown();
    }
    static Cell word(const char* text) { return context::load_word(text); }

    // The error caught by a try frame around fn, or none.
    template <class Fn>
    static Cell caught(Fn fn) {
        Cell w = word("try");
        stack::push_native_frame(&w);
        stack::push_try_frame(&w);
        Cell* base = stack::s.args;
        uint32_t code = sys::catch_codes(sys::catch_guard, fn);
        Cell result;
        cell::make_none(&result);
        if (code == sys::code_language_error) {
            sys::clear_thrown();
            result = *stack::top_cell();
        }
        (void)base;
        return result;
    }
};

TEST_F(ValueStack, ArgumentStackOverflowLeavesItUsable) {
    int pushed = 0;
    Cell* bottom = nullptr;
    Cell e = caught([&] {
        bottom = stack::s.args_top;
        for (;;) {
            cell::make_integer(stack::push_cell(), pushed);
            pushed++;
        }
    });
    ASSERT_EQ(cell::type(&e), type_error);
    EXPECT_STREQ(errors::last_raised.id, "stack-overflow");
    // The last usable cell is the one whose end stays below the limit.
    EXPECT_EQ(bottom + pushed, stack::s.args_limit - 1);
    EXPECT_EQ(cycles::depth(), 0);
    // Usable again: push, read back, drop to the bottom.
    cell::make_integer(stack::push_cell(), 7);
    EXPECT_EQ(cell::get_integer(stack::top_cell()), 7);
    stack::drop(1 << 20);
    EXPECT_EQ(stack::s.args_top, stack::s.args_begin);
    EXPECT_EQ(stack::top_cell(), stack::s.args_begin);
}

TEST_F(ValueStack, CallStackOverflow) {
    Cell w = word("f");
    int frames = 0;
    Cell e = caught([&] {
        for (;;) {
            stack::push_native_frame(&w);
            frames++;
        }
    });
    ASSERT_EQ(cell::type(&e), type_error);
    EXPECT_STREQ(errors::last_raised.id, "stack-overflow");
    EXPECT_EQ(frames, stack::call_capacity - 2);  // two frames belong to the try
}

TEST_F(ValueStack, FunctionFramesRestoreTheirContext) {
    // A function's stack context reads the running call's arguments; a
    // recursive call sees its own arguments again after the inner returns.
    uint32_t ctx = context::make(1, true, false, 0, context::kind_function);
    gc::ProtectNode keep(&ctx);
    context::add_word(ctx, symbols::make("n"));
    Cell f = word("f");
    Cell n = {type_word, ctx, uint32_t(symbols::make("n")), 0};
    auto call = [&](int32_t value) {
        stack::push_function_frame(&f, ctx);
        stack::push_cell();  // result slot
        cell::make_integer(stack::push_cell(), value);
        context::context_cell(ctx)->w2 = stack::index_of(stack::s.args + 1) + 1;
    };
    call(1);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&n)), 1);
    call(2);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&n)), 2);
    stack::pop_function_frame();
    EXPECT_EQ(cell::get_integer(context::get_word_value(&n)), 1);
    stack::pop_function_frame();
    EXPECT_EQ(context::context_cell(ctx)->w2, 0u);
}

TEST_F(ValueStack, ErrorsReachTheTryFrameWithWhereAndCode) {
    Cell f = word("my-func");
    Cell e = caught([&] {
        stack::push_native_frame(&f);
        Cell x = word("x");
        errors::raise(err::script::no_value, &x);
    });
    ASSERT_EQ(cell::type(&e), type_error);
    EXPECT_EQ(cell::get_integer(error::field(&e, error::field_code)), 300);
    EXPECT_STREQ(symbols::text(int32_t(error::field(&e, error::field_where)->w2)), "my-func");
    std::string report = error::form_report(&e);
    EXPECT_EQ(report, "*** Script Error: x has no value\n*** Where: my-func\n*** Near : none");
    EXPECT_EQ(stack::depth(), 1);  // the try frame's native frame remains
}

TEST_F(ValueStack, BreakFindsItsLoop) {
    Cell w = word("loop");
    stack::push_native_frame(&w);
    stack::push_loop_frame(&w);
    Cell* loop_base = stack::s.args;
    Cell b = word("break");
    uint32_t code = sys::catch_codes(sys::catch_loop, [&] {
        stack::push_native_frame(&b);
        cell::make_integer(stack::push_cell(), 5);  // break's own result slot
        stack::unwind_break(true, false);
    });
    EXPECT_EQ(code, sys::code_break);
    sys::clear_thrown();
    EXPECT_EQ(stack::s.args, loop_base);
    EXPECT_EQ(cell::get_integer(stack::s.args), 5);
    EXPECT_EQ(stack::depth(), 2);  // the loop frame stays
}

TEST_F(ValueStack, BreakInsideABodyRaisesAndKeepsTheStacks) {
    Cell w = word("loop");
    Cell e = caught([&] {
        stack::push_loop_frame(&w);
        stack::push_body_frame(&w);
        Cell b = word("break");
        stack::push_native_frame(&b);
        stack::push_cell();
        stack::unwind_break(false, false);
    });
    ASSERT_EQ(cell::type(&e), type_error);
    EXPECT_STREQ(symbols::text(int32_t(error::field(&e, error::field_id)->w2)), "break");
    EXPECT_STREQ(symbols::text(int32_t(error::field(&e, error::field_where)->w2)), "break");
}

TEST_F(ValueStack, ReturnStopsAtTheBodyOfItsFunction) {
    Cell f = word("f");
    stack::push_function_frame(&f, 0);
    stack::push_body_frame(&f);
    Cell* body_args = stack::s.args;
    Cell r = word("return");
    uint32_t code = sys::catch_codes(sys::catch_guard, [&] {
        stack::push_loop_frame(&r);  // a loop inside the body does not stop it
        stack::push_native_frame(&r);
        cell::make_integer(stack::push_cell(), 9);
        stack::unwind_return(true, false);
    });
    EXPECT_EQ(code, sys::code_return);
    sys::clear_thrown();
    EXPECT_EQ(stack::s.args, body_args);
    EXPECT_EQ(cell::get_integer(stack::s.args), 9);
}

TEST_F(ValueStack, IntegerFromNumber) {
    struct Case {
        double d;
        int32_t n;
        bool raises;
    } cases[] = {{2147483647.0, 2147483647, false}, {-2.9, -2, false}, {-2147483648.0, INT32_MIN, false},
                 {2147483648.0, 0, true},         {std::nan(""), 0, true}, {-2147483649.0, 0, true},
                 {2147483647.5, 0, true},         {-2147483648.5, 0, true}};
    for (const Case& c : cases) {
        Cell v;
        cell::make_float(&v, c.d);
        int32_t got = 0;
        Cell e = caught([&] { got = integer::from_number(&v); });
        if (c.raises) {
            ASSERT_EQ(cell::type(&e), type_error) << c.d;
            EXPECT_EQ(cell::get_integer(error::field(&e, error::field_code)), 341);
            const Cell* arg = error::field(&e, error::field_arg1);
            EXPECT_EQ(arg->w2, v.w2);  // the value itself, NaN included
            EXPECT_EQ(arg->w3, v.w3);
        } else {
            EXPECT_EQ(cell::type(&e), type_none);
            EXPECT_EQ(got, c.n);
        }
        stack::s.calls_top = stack::s.calls_begin;
        stack::s.args = stack::s.args_top = stack::s.args_begin;
    }
}

int traced = 0;
void count_trace(const Cell* error) {
    if (cell::type(error) == type_error) traced++;
}

TEST_F(ValueStack, TracerHearsOfEachErrorOnceBeforeTheThrow) {
    traced = 0;
    auto saved = services::current.note_error;
    services::current.note_error = count_trace;
    Cell e = caught([] {
        EXPECT_EQ(traced, 0);
        errors::raise(err::math::zero_divide);
    });
    services::current.note_error = saved;
    EXPECT_EQ(traced, 1);
    EXPECT_EQ(cell::get_integer(error::field(&e, error::field_code)), 400);
}

TEST_F(ValueStack, ArgumentChecks) {
    // A typeset allowing integer! only: bit 0x80 >> (11 & 7) of byte 1.
    Cell integers = {type_typeset, 0, 0, 0};
    reinterpret_cast<uint8_t*>(&integers.w1)[11 >> 3] = uint8_t(0x80 >> (11 & 7));
    Cell f = word("f");
    Cell one, text;
    cell::make_integer(&one, 1);
    cell::make_float(&text, 1.5);
    EXPECT_EQ(typeset::check_arg_at(&integers, &f, -3), -3);  // reads nothing
    Cell e = caught([&] {
        stack::push_native_frame(&f);
        EXPECT_EQ(typeset::check_arg(&integers, &f, &one), &one);
        typeset::check_arg(&integers, &f, &text);
    });
    ASSERT_EQ(cell::type(&e), type_error);
    EXPECT_EQ(cell::get_integer(error::field(&e, error::field_code)), 305);
    EXPECT_EQ(error::field(&e, error::field_arg2)->w1, uint32_t(type_float));
    EXPECT_STREQ(symbols::text(int32_t(error::field(&e, error::field_arg1)->w2)), "f");
}

TEST_F(ValueStack, SettingFromAnUnsetTopKeepsTheOldValue) {
    Cell g = word("g");
    cell::make_integer(stack::push_cell(), 4);
    word::set_global_drop(&g);
    EXPECT_EQ(cell::get_integer(word::get_checked(&g)), 4);
    Cell e = caught([&] {
        cell::make_unset(stack::push_cell());
        word::set_global(&g);
    });
    EXPECT_EQ(cell::get_integer(error::field(&e, error::field_code)), 301);  // need-value
    EXPECT_EQ(cell::get_integer(word::get_checked(&g)), 4);
    Cell never = word("never-set");
    Cell e2 = caught([&] { word::get_checked(&never); });
    EXPECT_EQ(cell::get_integer(error::field(&e2, error::field_code)), 300);
}

TEST_F(ValueStack, UncheckedSlotSetMarksObjectFieldsChanged) {
    uint32_t ctx = context::make(1, false, false, 0, context::kind_object);
    gc::ProtectNode keep(&ctx);
    context::add_word(ctx, symbols::make("field"));
    cell::make_unset(stack::push_cell());  // the value it already holds
    context::set_slot_unchecked(ctx, 0);
    EXPECT_TRUE(context::word_at(ctx, 0)->header & cell::flag_slot_changed);
    EXPECT_EQ(stack::s.args_top, stack::s.args);
}

TEST_F(ValueStack, RepeatPattern) {
    uint8_t buffer[32] = {1, 2, 3};
    EXPECT_EQ(memory::repeat_pattern(buffer, 3, 1), buffer + 3);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(memory::repeat_pattern(buffer, 3, 7), buffer + 21);
    for (int i = 0; i < 21; i++) EXPECT_EQ(buffer[i], i % 3 + 1);
    EXPECT_EQ(buffer[21], 0);
    EXPECT_EQ(memory::repeat_pattern(buffer, 0, 5), buffer);
}

TEST_F(ValueStack, UncaughtErrorEndsWithItsReport) {
    EXPECT_EXIT(
        {
            Cell x = word("x");
            errors::raise(err::script::no_value, &x);
        },
        testing::ExitedWithCode(254), "\\*\\*\\* Script Error: x has no value\n\\*\\*\\* Where: \\?\\?\\?");
}

}  // namespace
