// Calling routines: arguments handed to the C++ code in the form the spec's
// first type word names, checked from the last to the first, the code's
// plain result turned into a value by the routine's result type, and the
// direct entry that passes cells both ways.
#include <gtest/gtest.h>

#include <string>

#include "evaluator-fixture.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/typeset.h"
#include "memory/call.h"
#include "engine/interpreter.h"
#include "memory/context.h"
#include "memory/series.h"

using namespace vum;
using routines::MachineValue;

namespace {

MachineValue two(const MachineValue*, int32_t) { return {.integer = 2}; }
MachineValue add(const MachineValue* args, int32_t) { return {.integer = args[0].integer + args[1].integer}; }
MachineValue half(const MachineValue* args, int32_t) { return {.real = args[0].real / 2}; }
MachineValue negate(const MachineValue* args, int32_t) { return {.integer = args[0].integer == 0}; }
// Leaves the argument's datatype in the result slot, which the routine's
// missing result type leaves alone.
MachineValue kind(const MachineValue* args, int32_t) {
    *stack::result() = cell::make_datatype(cell::type(args[0].cell));
    return {.integer = 0};
}
MachineValue count_given(const MachineValue*, int32_t count) { return {.integer = count}; }

// Direct entry: the second argument's cell is the result; the order of the
// cells given is recorded.
std::string cells_seen;
MachineValue second_cell(const MachineValue* args, int32_t count) {
    cells_seen.clear();
    for (int32_t i = 0; i < count; i++) cells_seen += std::to_string(args[i].cell - stack::s.args) + " ";
    return {.cell = args[1].cell};
}
MachineValue no_cell(const MachineValue*, int32_t) { return {.cell = nullptr}; }

class RoutineCallTest : public EvaluatorTest {
protected:
    void SetUp() override {
        EvaluatorTest::SetUp();
        eval::init();
        eval::offer_services(services::current);
        routines::clear();
        for (bool b : {false, true}) {
            Cell v;
            cell::make_logic(&v, b);
            set_global(b ? "true" : "false", v);
        }
        Cell any = typeset::any_value();
        typeset::set_type(&any, type_unset);
        set_global("any-type!", any);
        Cell number = {type_typeset, 0, 0, 0};
        typeset::set_type(&number, type_integer);
        typeset::set_type(&number, type_float);
        set_global("number!", number);
        define_routine("two", two, "[]", type_logic);
        define_routine("add", add, "[a [integer!] b [integer!]]", type_integer);
        define_routine("half", half, "[\"halves\" x [float!] \"a float\"]", type_float);
        define_routine("negate", negate, "[x [logic!]]", type_logic);
        define_routine("kind", kind, "[x [any-type!]]", routines::result_none);
        define_routine("first-only", two, "[x [integer! float!]]", type_integer);
        define_routine("both", two, "[a [number! string!] b [number! string!]]", type_integer);
        define_routine("in-number", two, "[x [number!]]", type_integer);
        define_routine("count-given", count_given, "[a [integer!] b [integer!] return: [integer!]]", type_integer);
        define_routine("second-cell", second_cell, "[a [any-type!] b [any-type!] c [any-type!]]",
                       routines::result_none, true);
        define_routine("no-cell", no_cell, "[a [any-type!]]", routines::result_none, true);
    }
    void TearDown() override {
        routines::clear();
        partial_services::fill();
        EvaluatorTest::TearDown();
    }

    static void set_global(const char* name, const Cell& value) {
        Cell w = context::load_word(name);
        context::set_word_value(&w, &value);
    }

    void define_routine(const char* name, routines::RoutineFn fn, const char* spec, int32_t result_type,
                        bool direct = false) {
        stack::Mark mark;
        int32_t entry = routines::register_routine(name, fn);
        Cell* s = load(spec);
        *s = series::cells_head(s->w2)[0];  // the block inside the loaded one
        Cell* none = cell::make_none(stack::push_cell());
        routines::push(s, none, entry, result_type, direct);
        set_global(name, *stack::top_cell());
    }

    // The molded value of the text, or "error: id arg3" for an error.
    std::string run(const char* text) {
        stack::Mark mark;
        Cell* b = load(text);
        Cell* result = stack::push_cell();
        if (eval::evaluate_protected(b, result)) {
            Cell e = keep_error(*result);
            std::string out = "error: " + error_id(e);
            const Cell* arg3 = error::field(&e, error::field_arg3);
            if (cell::type(arg3) == type_word) out += " " + mold(*arg3);
            return out;
        }
        if (cell::type(result) == type_unset) return "unset";
        return mold(*result);
    }
};

TEST_F(RoutineCallTest, ArgumentsAndResultsByType) {
    struct Case {
        const char* source;
        const char* expected;
    } cases[] = {
        {"two", "true"},  // a logic! result is any non-zero integer
        {"add 2 3", "5"},
        {"add -2147483647 -1", "-2147483648"},
        {"half 3.0", "1.5"},
        {"negate true", "false"},
        {"negate false", "true"},
        {"kind \"text\"", "string!"},
        {"kind ()", "unset!"},  // any-type! takes unset too
        {"kind kind 1", "datatype!"},
        {"in-number 1.5", "2"},
        {"count-given 1 2", "2"},  // return: ends the arguments
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expected) << c.source;
}

TEST_F(RoutineCallTest, ChecksTheFirstTypeWordFromTheLastArgument) {
    struct Case {
        const char* source;
        const char* expected;
    } cases[] = {
        {"add 1 2.5", "error: expect-arg b"},
        {"half 1", "error: expect-arg x"},
        {"in-number \"s\"", "error: expect-arg x"},
        // The argument list allows a float!; the routine is handed what
        // its first type word names.
        {"first-only 1.5", "error: expect-arg x"},
        {"both \"a\" \"b\"", "error: expect-arg b"},
        {"both \"a\" 2", "error: expect-arg a"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expected) << c.source;
}

TEST_F(RoutineCallTest, TypeBlockThatNamesNoWord) {
    // The first call builds the argument list from the spec as made; a
    // type block changed since then meets the routine call's own check.
    EXPECT_EQ(run("add 1 2"), "3");
    Cell w = context::load_word("add");
    Cell routine = *context::get_word_value(&w);
    Cell types = series::cells_head(routine.w2)[3];  // b's type block
    series::cells_mut(types.w2)[types.w1] = string::from_utf8("integer");
    EXPECT_EQ(run("add 1 2"), "error: invalid-type-spec");
}

TEST_F(RoutineCallTest, DirectEntryPassesCellsInSpecOrder) {
    EXPECT_EQ(run("second-cell 1 \"two\" 3"), "\"two\"");
    EXPECT_EQ(cells_seen, "0 1 2 ");
    EXPECT_EQ(run("no-cell 5"), "5");  // the result slot as the code left it
}

TEST_F(RoutineCallTest, CalledFromCpp) {
    Cell w = context::load_word("add");
    Cell routine = *context::get_word_value(&w);
    Cell a = integer(40), b = integer(2);
    Cell result{};
    gc::Protect keep(&result);
    call::Call(&routine).arg(&a).arg(&b).run(&result);
    EXPECT_EQ(mold(result), "42");
}

}  // namespace
