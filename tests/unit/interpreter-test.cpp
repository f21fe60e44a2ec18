// The evaluator's own rules, driven from C++ before any native exists:
// words, assignments, parens, paths, operators made by hand, function calls
// with refinements, and the errors of each.
#include <gtest/gtest.h>

#include "evaluator-fixture.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/native.h"
#include "datatypes/word.h"
#include "memory/context.h"
#include "memory/symbols.h"
#include "engine/interpreter.h"
#include "engine/lexer.h"

using namespace vum;

namespace {

// A native that adds its two integer arguments, and one whose refinement
// positions are recorded, to stand in for the natives table.
void add_two(const int32_t*) {
    cell::make_integer(stack::arg(0), cell::get_integer(stack::arg(0)) + cell::get_integer(stack::arg(1)));
}
std::string seen_refinements;
void record_refinements(const int32_t* refinements) {
    seen_refinements.clear();
    for (int i = 0; i < 2; i++) {
        seen_refinements += std::to_string(refinements[i]);
        if (i == 0 && refinements[i] >= 0) seen_refinements += "=" + actions::mold_text(stack::arg(refinements[i]));
        seen_refinements += " ";
    }
    cell::make_integer(stack::arg(0), 0);
}

std::string seen_events;
void record_event(const int32_t*) {
    seen_events += symbols::text(int32_t(stack::arg(0)->w2));
    if (vum::cell::type(stack::arg(3)) != type_none) seen_events += " " + actions::mold_text(stack::arg(3));
    seen_events += ", ";
}

class InterpreterTest : public EvaluatorTest {
protected:
    void SetUp() override {
        EvaluatorTest::SetUp();
        eval::init();
        eval::offer_services(services::current);
        natives::set_native(1, add_two);
        natives::set_native(2, record_refinements);
        natives::set_native(3, record_event);
        // What the environment defines first.
        for (bool b : {false, true}) {
            Cell w = context::load_word(b ? "true" : "false");
            Cell v;
            cell::make_logic(&v, b);
            context::set_word_value(&w, &v);
        }
        Cell none_word = context::load_word("none");
        Cell none_value;
        cell::make_none(&none_value);
        context::set_word_value(&none_word, &none_value);
        define("plus", "make-native [[a [integer!] b [integer!]] 1]");
        define("refs", "make-native [[x /part n [integer!] /only] 2]");
    }
    void TearDown() override {
        natives::set_native(1, nullptr);
        natives::set_native(2, nullptr);
        natives::set_native(3, nullptr);
        // The services the interpreter offered belong to this fixture only.
        partial_services::fill();
        EvaluatorTest::TearDown();
    }

    // The molded value of the text, or "error: id".
    std::string run(const char* text) {
        stack::Mark mark;
        Cell* b = load(text);
        Cell* result = stack::push_cell();
        if (eval::evaluate_protected(b, result)) {
            if (getenv("SHOW")) fprintf(stderr, "%s\n", error::form_report(result).c_str());
            return "error: " + error_id(keep_error(*result));
        }
        if (cell::type(result) == type_unset) return "unset";
        return mold(*result);
    }
};

TEST_F(InterpreterTest, BlocksWordsAndAssignments) {
    struct Case {
        const char* source;
        const char* expected;
    } cases[] = {
        {"", "unset"},
        {"1 2 3", "3"},
        {"()", "unset"},
        {"(1 2) (3)", "3"},
        {"a: b: 7 a", "7"},
        {"a: 5 :a", "5"},
        {"'word", "word"},
        {"'a/b", "a/b"},
        {"x: [1 2 3] x/2", "2"},
        {"x: [1 2 3] x/2: 9 x", "[1 9 3]"},
        {"x: [1 2 3] x/2: 9", "9"},
        {"x: [a [b 5]] x/a/b", "5"},
        {"x: [1 2 3] n: 3 x/:n", "3"},
        {"x: [1 2 3] x/(1 + 1)", "error: no-value"},  // no operator words yet
        {"s: \"abc\" s/2", "#\"b\""},
        {"#system 1", "1"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expected) << c.source;
}

TEST_F(InterpreterTest, ErrorsOfTheEvaluator) {
    struct Case {
        const char* source;
        const char* expected;
    } cases[] = {
        {"undefined-word-here", "error: no-value"},
        {"a:", "error: need-value"},
        {"a: ()", "error: need-value"},
        {"unset-thing/x", "error: unset-path"},
        {"x: [1] x/(())", "error: invalid-path"},
        {"x: 5 x/1", "error: bad-path-type"},
        {"#system [1]", "error: vum-system"},
        {"plus 1", "error: no-arg"},
        {"plus 1 \"a\"", "error: expect-arg"},
        {"plus/foo 1 2", "error: no-refine"},
        {"refs/part/part 1 2 3", "error: dup-refine"},
        {"refs/1 1", "error: bad-refine"},
        {":plus/x", "error: invalid-path-get"},
        {"plus/x: 1", "error: invalid-path-set"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expected) << c.source;
}

TEST_F(InterpreterTest, NativeCallsAndRefinementPositions) {
    EXPECT_EQ(run("plus 1 2"), "3");
    EXPECT_EQ(run("plus plus 1 2 plus 3 4"), "10");
    EXPECT_EQ(run("refs 1"), "0");
    EXPECT_EQ(seen_refinements, "-1 -1 ");
    run("refs/only 1");
    EXPECT_EQ(seen_refinements, "-1 2 ");
    run("refs/part 1 5");
    EXPECT_EQ(seen_refinements, "1=5 -1 ");
    // The path's order decides which argument is read first; positions
    // stay those of the spec.
    run("refs/only/part 1 5");
    EXPECT_EQ(seen_refinements, "1=5 2 ");
    // A get-word names the refinement and its value decides it; the
    // arguments of a refinement that is off are read all the same.
    EXPECT_EQ(run("only: false part: true refs/:part/:only 1 5"), "0");
    EXPECT_EQ(seen_refinements, "1=5 -1 ");
    EXPECT_EQ(run("part: false refs/:part 1 5"), "0");
    EXPECT_EQ(seen_refinements, "-1 -1 ");
}

TEST_F(InterpreterTest, OperatorsAssociateLeftToRight) {
    define("+", "make-op plus");
    define("double", "func [n] [n + n]");
    EXPECT_EQ(run("1 + 2"), "3");
    EXPECT_EQ(run("1 + 2 + 3 + 4"), "10");
    EXPECT_EQ(run("double 1 + 2"), "6");   // f 1 + 2 passes 3
    EXPECT_EQ(run("1 + double 2"), "5");   // the operator takes f's result
    EXPECT_EQ(run("a: 1 + 2 a"), "3");
    EXPECT_EQ(run("+ 1 2"), "error: no-op-arg");
    EXPECT_EQ(run("1 +"), "error: no-arg");
    EXPECT_EQ(run("x: [1 2 3] x/(1 + 1)"), "2");
}

TEST_F(InterpreterTest, FunctionsWithRefinementsAndLocals) {
    define("+", "make-op plus");
    define("pick-b", "func [a /with b] [b]");
    define("flag", "func [a /with b] [with]");
    define("local", "func [/local c] [c]");
    EXPECT_EQ(run("pick-b 1"), "none");
    EXPECT_EQ(run("pick-b/with 1 2"), "2");
    EXPECT_EQ(run("flag 1"), "false");
    EXPECT_EQ(run("flag/with 1 2"), "true");
    EXPECT_EQ(run("local"), "none");
    // Arguments of the outer call stay readable while an inner call of the
    // same function runs.
    define("nest", "func [n] [(inner n + 1) + n]");
    define("inner", "func [n] [n + 100]");
    EXPECT_EQ(run("nest 1"), "103");
    define("self-add", "func [n] [n + n]");
    EXPECT_EQ(run("self-add self-add 2"), "8");
}

TEST_F(InterpreterTest, CollectionsDuringEvaluationKeepValues) {
    define("+", "make-op plus");
    define("mk", "func [n] [reduce-free: [1 2 3] n + 1]");
    gc::set_torture(1);
    EXPECT_EQ(run("x: [a [b 5]] y: x/a x/a/b + 1"), "6");
    EXPECT_EQ(run("mk mk mk 1"), "4");
    gc::set_torture(0);
}

TEST_F(InterpreterTest, TraceReportsEachStepInOrder) {
    define("+", "make-op plus");
    define("watch", "make-native [[event code offset value ref frame] 3]");
    define("some-events", "func [event code offset value ref frame] [[enter exit] watch event code offset value ref frame]");
    Cell watch = context::load_word("watch");
    Cell callback = *word::value_address(&watch);
    seen_events.clear();
    // A native callback has no event block: it hears everything.
    ASSERT_TRUE(trace::start(&callback));
    run("1 + 2");
    trace::end();
    EXPECT_EQ(seen_events,
              "init, enter, fetch 1, push 1, fetch +, open +, fetch 2, push 2, call make native! [[a [integer!] b [integer!]]], "
              "return 3, expr 3, exit 3, end, ");

    // A function callback names the events it wants in its first block,
    // and its own body is not traced.
    Cell some = context::load_word("some-events");
    Cell function_callback = *word::value_address(&some);
    seen_events.clear();
    ASSERT_TRUE(trace::start(&function_callback));
    run("(1 + 2)");
    trace::end();
    EXPECT_EQ(seen_events, "enter, enter, exit 3, exit 3, ");
}

}  // namespace
