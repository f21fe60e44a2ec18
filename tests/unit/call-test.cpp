// call::Call: calling function values from C++ with positional arguments
// and refinements by name.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "evaluator-fixture.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "memory/call.h"
#include "engine/interpreter.h"
#include "engine/lexer.h"
#include "memory/context.h"
#include "memory/symbols.h"

using namespace vum;

namespace {

// Stand-ins for natives: a subtraction (argument order shows), and one that
// reports its refinement: the argument of /by when used, else -1.
void subtract(const int32_t*) {
    cell::make_integer(stack::arg(0), cell::get_integer(stack::arg(0)) - cell::get_integer(stack::arg(1)));
}
// Stands in for quit: the systems-layer exit, which is no error.
void quits(const int32_t*) { sys::throw_code(sys::code_exit); }
void scaled(const int32_t* refinements) {
    int32_t by = refinements[0] >= 0 ? cell::get_integer(stack::arg(refinements[0])) : -1;
    cell::make_integer(stack::arg(0), by);
}

class CallTest : public EvaluatorTest {
protected:
    void SetUp() override {
        EvaluatorTest::SetUp();
        eval::init();
        eval::offer_services(services::current);
        natives::set_native(1, subtract);
        natives::set_native(2, scaled);
        natives::set_native(3, quits);
        define("minus", "make-native [[a [integer!] b [integer!]] 1]");
        define("scale", "make-native [[x /by n [integer!] /other] 2]");
        define("pick-n", "func [a b /part n /only] [n]");
        define("flag", "func [a /part n] [part]");
        define("second-of", "func [a b] [b]");
        define("broken", "func [a] [no-such-word]");
        define("less", "make-op minus");
        define("quits", "make-native [[] 3]");
    }
    void TearDown() override {
        natives::set_native(1, nullptr);
        natives::set_native(2, nullptr);
        natives::set_native(3, nullptr);
        partial_services::fill();
        EvaluatorTest::TearDown();
    }

    static Cell value_of(const char* name) {
        Cell w = context::load_word(name);
        return *word::value_address(&w);
    }
};

TEST_F(CallTest, PositionalArgumentsAndRefinementsByName) {
    Cell i3 = integer(3), i10 = integer(10), i5 = integer(5), i7 = integer(7);
    struct Case {
        const char* function;
        std::initializer_list<const Cell*> args;
        const char* refinement;  // null: none
        std::initializer_list<const Cell*> refinement_args;
        const char* expected;
    } cases[] = {
        {"minus", {&i10, &i3}, nullptr, {}, "7"},             // a native, in order
        {"less", {&i10, &i3}, nullptr, {}, "7"},              // an op! runs as its native
        {"second-of", {&i3, &i5, &i7}, nullptr, {}, "5"},     // extra arguments dropped
        {"second-of", {&i3}, nullptr, {}, "none"},            // missing ones are none
        {"pick-n", {&i3, &i5}, "part", {&i7}, "7"},           // a refinement's own argument
        {"pick-n", {&i3, &i5}, nullptr, {}, "none"},          // not named: off
        {"pick-n", {&i3, &i5}, "only", {&i7}, "none"},        // extra refinement values dropped
        {"pick-n", {&i3, &i5}, "absent", {&i7}, "none"},      // one it lacks is passed over
        {"flag", {&i3}, "part", {}, "true"},                  // on, its argument missing
        {"flag", {&i3}, nullptr, {}, "false"},
        {"scale", {&i3}, "by", {&i5}, "5"},                   // a native's refinement
        {"scale", {&i3}, "other", {}, "-1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.function) + (c.refinement ? std::string("/") + c.refinement : ""));
        Cell fn = value_of(c.function);
        Cell result = integer(0);
        gc::Protect keep(&result);
        {
            call::Call call(&fn);
            for (const Cell* a : c.args) call.arg(a);
            if (c.refinement) call.refine(c.refinement, c.refinement_args);
            call.run(&result);
        }
        EXPECT_EQ(mold(result), c.expected);
    }
}

TEST_F(CallTest, ErrorsPassThroughAndNonFunctionsAreTheirOwnResult) {
    Cell none = {type_none, 0, 0, 0};
    Cell i1 = integer(1);
    Cell minus = value_of("minus");
    Cell broken = value_of("broken");
    Cell name = context::load_word("minus");
    Cell result = integer(0);
    gc::Protect keep(&result);
    // A type error names the word the caller gave.
    Cell e = caught([&] { call::Call(&minus, &name).arg(&none).arg(&i1).run(&result); });
    EXPECT_EQ(error_id(e), "expect-arg");
    EXPECT_EQ(error_id(caught([&] { call::Call(&broken).arg(&i1).run(&result); })), "no-value");
    // The stack is as it was after an error.
    Cell* top = stack::s.args_top;
    caught([&] { call::Call(&broken).arg(&i1).run(&result); });
    EXPECT_EQ(stack::s.args_top, top);

    Cell seven = integer(7);
    call::Call(&seven).arg(&i1).run(&result);
    EXPECT_EQ(mold(result), "7");
}

// The protected form: a result comes back as from run; an error comes back
// as a value with the value stack and the frames as they were before the
// call ran; an exit that is no error still reaches the caller.
TEST_F(CallTest, ProtectedFormReturnsErrorsAsValues) {
    Cell i3 = integer(3), i5 = integer(5);
    Cell second = value_of("second-of"), broken = value_of("broken"), quit = value_of("quits");
    Cell result = integer(0);
    gc::Protect keep(&result);
    Cell* outer_top = stack::s.args_top;
    {
        call::Call c(&second);
        c.arg(&i3).arg(&i5);
        EXPECT_TRUE(c.run_protected(&result));
        EXPECT_EQ(mold(result), "5");
    }
    {
        call::Call c(&broken);
        c.arg(&i3);
        Cell* top = stack::s.args_top;
        stack::Frame* calls = stack::s.calls_top;
        EXPECT_FALSE(c.run_protected(&result));
        EXPECT_EQ(stack::s.args_top, top);
        EXPECT_EQ(stack::s.calls_top, calls);
    }
    EXPECT_EQ(error_id(result), "no-value");
    EXPECT_EQ(stack::s.args_top, outer_top);
    uint32_t code = sys::catch_codes(sys::catch_all, [&] { call::Call(&quit).run_protected(&result); });
    sys::clear_thrown();
    EXPECT_EQ(code, uint32_t(sys::code_exit));
}

}  // namespace
