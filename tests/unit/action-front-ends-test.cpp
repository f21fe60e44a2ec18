// The action front-ends: the refinement rules they apply before the
// handlers run (form and mold limits, append, insert and change ranges,
// pick and poke indexes, poke's and length?'s results, copy/types), the
// make/to dispatch, the report of a datatype without the action, and the
// boot definitions of the action words and operators that name them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "engine/action-front-ends.h"
#include "engine/lexer.h"
#include "environment/boot-loader.h"

using namespace vum;

namespace {

// A refinement used in a call: its place in the action's spec and its
// arguments.
struct Refinement {
    int32_t k;
    std::vector<Cell> arguments;
};

class FrontEndTest : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        actions::register_front_ends();
    }

    // Calls the slot's front-end as the interpreter does: the arguments in
    // a native frame, then each used refinement's arguments after them.
    static Cell call(int32_t slot, const std::vector<Cell>& arguments, const std::vector<Refinement>& used = {}) {
        return in_frame(arguments[0], arguments.size() > 1 ? &arguments[1] : nullptr, [&] {
            for (size_t i = 2; i < arguments.size(); i++) *stack::push_cell() = arguments[i];
            int32_t refinements[16];
            for (int32_t& r : refinements) r = -1;
            for (const Refinement& r : used) {
                refinements[r.k] = int32_t(stack::s.args_top - stack::s.args);
                for (const Cell& c : r.arguments) *stack::push_cell() = c;
            }
            natives::front_end_at(slot)(refinements);
        });
    }
    template <class Fn>
    static std::string error_of(Fn fn) {
        return error_id(caught(fn));
    }
    static std::string argument(const Cell& error, error::Field f) { return mold(*error::field(&error, f)); }

    static Cell* text(const char* s) { return keep(string::from_utf8(s)); }
    static Cell at(const Cell* series, uint32_t index) {
        Cell c = *series;
        c.w1 = index;
        return c;
    }
    static Cell logic(bool b) { return b ? core_types::true_cell : core_types::false_cell; }
    // The series from its buffer's head, as molded.
    static std::string whole(const Cell* s) { return mold(at(s, 0)); }
};

TEST_F(FrontEndTest, FormAndMoldPartLimits) {
    using namespace actions;
    Cell* block = B({I(1), I(2), I(3), I(4)});
    Cell limit0 = I(0), limit3 = I(3), limit4 = I(4), negative = I(-5);
    struct Case {
        int32_t slot;
        std::vector<Refinement> used;
        const char* expected;
    } cases[] = {
        {slot_form, {}, "1 2 3 4"},
        {slot_form, {{0, {limit3}}}, "1 2"},
        {slot_form, {{0, {limit0}}}, ""},
        {slot_form, {{0, {negative}}}, ""},
        {slot_mold, {{3, {limit4}}}, "[1 2"},
        {slot_mold, {{0, {}}, {3, {limit3}}}, "1 2"},  // /only
        {slot_mold, {}, "[1 2 3 4]"},
    };
    for (const Case& c : cases) {
        Cell r = call(c.slot, {*block}, c.used);
        ASSERT_EQ(cell::type(&r), type_string);
        EXPECT_EQ(string::to_utf8(&r), c.expected) << c.slot << " " << c.used.size();
    }
    // The limit must be an integer!, as compiled callers may not check it.
    Cell word = W("x");
    EXPECT_EQ(error_of([&] { call(slot_form, {*block}, {{0, {word}}}); }), "expect-arg");
}

TEST_F(FrontEndTest, AppendAndInsertPartMeasuresTheValue) {
    using namespace actions;
    Cell a = W("a"), b = W("b"), c = W("c"), d = W("d");
    struct Case {
        int32_t slot;
        uint32_t value_index;
        Cell part;  // an integer!, or a none standing for the value's own series at part_index
        uint32_t part_index;
        const char* expected;
    } cases[] = {
        {slot_append, 0, I(2), 0, "[a b c]"},
        {slot_append, 0, I(0), 0, "[a]"},
        {slot_append, 0, I(-1), 0, "[a]"},         // nothing before the head
        {slot_append, 2, I(-1), 0, "[a c]"},       // the element before the value's position
        {slot_append, 1, I(-5), 0, "[a b]"},       // no further back than the head
        {slot_append, 1, core_types::none_cell, 3, "[a c d]"},
        {slot_append, 0, core_types::none_cell, 9, "[a b c d]"},  // past the tail counts to the tail
        {slot_append, 2, core_types::none_cell, 1, "[a c]"},      // a position before the value
        {slot_insert, 0, I(2), 0, "[b c a]"},
    };
    for (const Case& k : cases) {
        Cell* series = B({a});
        Cell* value = B({b, c, d});
        Cell part = cell::type(&k.part) == type_none ? at(value, k.part_index) : k.part;
        Cell r = call(k.slot, {*series, at(value, k.value_index)}, {{0, {part}}});
        EXPECT_EQ(whole(series), k.expected) << k.value_index << " " << k.part_index;
        EXPECT_EQ(r.w2, series->w2);
    }
    // Text measures the same way.
    Cell* s = text("ab");
    Cell* t = text("cdef");
    call(slot_append, {*s, *t}, {{0, {at(t, 3)}}});
    EXPECT_EQ(string::to_utf8(s), "abcde");
}

TEST_F(FrontEndTest, AppendAndInsertPartErrors) {
    using namespace actions;
    Cell* series = B({W("a")});
    Cell* value = B({W("b")});
    Cell* other = B({W("c")});
    Cell* string_value = text("b");
    Cell one = I(1);
    for (int32_t slot : {slot_append, slot_insert}) {
        // /part needs a series to measure.
        Cell e = caught([&] { call(slot, {*series, one}, {{0, {one}}}); });
        EXPECT_EQ(error_id(e), "invalid-part");
        EXPECT_EQ(argument(e, error::field_arg1), "1");
        // A position must be in the value's own series, of its own type.
        EXPECT_EQ(error_of([&] { call(slot, {*series, *value}, {{0, {*other}}}); }), "invalid-refine-arg");
        Cell as_paren = *value;
        cell::set_type(&as_paren, type_paren);
        EXPECT_EQ(error_of([&] { call(slot, {*series, *value}, {{0, {as_paren}}}); }), "invalid-refine-arg");
        EXPECT_EQ(error_of([&] { call(slot, {*series, *string_value}, {{0, {*value}}}); }), "invalid-refine-arg");
    }
    EXPECT_EQ(whole(series), "[a]");
}

TEST_F(FrontEndTest, DupBelowOneLeavesTheSeries) {
    using namespace actions;
    Cell* series = B({W("a"), W("b")});
    Cell past = at(series, 7);
    for (int32_t count : {0, -1}) {
        Cell r = call(slot_append, {at(series, 1), W("x")}, {{2, {I(count)}}});
        EXPECT_EQ(r.w1, 1u);
        // insert puts a position past the tail back at the tail first.
        r = call(slot_insert, {past, W("x")}, {{2, {I(count)}}});
        EXPECT_EQ(r.w1, 2u);
    }
    EXPECT_EQ(whole(series), "[a b]");
    Cell r = call(slot_insert, {past, W("x")}, {{2, {I(2)}}});
    EXPECT_EQ(whole(series), "[a b x x]");
    EXPECT_EQ(r.w1, 4u);
}

TEST_F(FrontEndTest, ChangePartMeasuresTheSeries) {
    using namespace actions;
    Cell* series = B({W("a"), W("b"), W("c"), W("d")});
    Cell r = call(slot_change, {at(series, 1), W("x")}, {{0, {at(series, 3)}}});
    EXPECT_EQ(whole(series), "[a x d]");
    EXPECT_EQ(r.w1, 2u);
    r = call(slot_change, {*series, W("y")}, {{0, {I(2)}}});
    EXPECT_EQ(whole(series), "[y d]");
    Cell* other = B({W("a")});
    EXPECT_EQ(error_of([&] { call(slot_change, {*series, W("z")}, {{0, {*other}}}); }), "invalid-refine-arg");
    // A series position past the tail changes nothing before it.
    call(slot_change, {at(series, 9), W("z")}, {{0, {I(1)}}});
    EXPECT_EQ(whole(series), "[y d z]");
}

TEST_F(FrontEndTest, PickAndPokeIndexes) {
    using namespace actions;
    Cell* s = text("abc");
    struct Case {
        Cell index;
        const char* expected;
    } cases[] = {
        {logic(true), "#\"a\""},
        {logic(false), "#\"b\""},
        {I(3), "#\"c\""},
        {{type_char, 0, 2, 0}, "#\"b\""},
        {W("x"), "none"},
    };
    for (const Case& c : cases) EXPECT_EQ(mold(call(slot_pick, {*s, c.index})), c.expected);

    Cell* block = B({W("a"), W("b"), W("c")});
    Cell z = W("z");
    Cell r = call(slot_poke, {*block, I(2), z});
    EXPECT_EQ(mold(r), "z");  // the value, not the series
    EXPECT_EQ(whole(block), "[a z c]");
    Cell x = {type_char, 0, 'x', 0};
    EXPECT_EQ(mold(call(slot_poke, {*s, logic(false), x})), "#\"x\"");
    EXPECT_EQ(string::to_utf8(s), "axc");
}

TEST_F(FrontEndTest, LengthAnswersNoneOrInteger) {
    using namespace actions;
    EXPECT_EQ(mold(call(slot_length_q, {core_types::none_cell})), "none");
    Cell* block = B({I(1), I(2), I(3)});
    Cell r = call(slot_length_q, {at(block, 1)});
    EXPECT_EQ(cell::type(&r), type_integer);
    EXPECT_EQ(cell::get_integer(&r), 2);
}

TEST_F(FrontEndTest, CopyTypesNeedsADatatypeOrTypeset) {
    using namespace actions;
    Cell* block = B({I(1), B({I(2)})[0]});
    Cell e = caught([&] { call(slot_copy, {*block}, {{2, {I(5)}}}); });
    EXPECT_EQ(error_id(e), "expect-arg");
    EXPECT_EQ(argument(e, error::field_arg1), "copy");
    EXPECT_EQ(argument(e, error::field_arg2), "integer!");
    EXPECT_EQ(argument(e, error::field_arg3), "kind");
    Cell block_type = {type_datatype, type_block, 0, 0};
    Cell r = call(slot_copy, {*block}, {{2, {block_type}}});
    EXPECT_EQ(mold(r), "[1 [2]]");
    EXPECT_NE(r.w2, block->w2);
}

TEST_F(FrontEndTest, MissingActionNamesActionTypeAndArgument) {
    using namespace actions;
    struct Case {
        int32_t slot;
        std::vector<Cell> arguments;
        const char* action;
        const char* type;
        const char* argument;
    } cases[] = {
        {slot_append, {I(1), I(2)}, "append", "integer!", "series"},
        {slot_add, {core_types::none_cell, I(2)}, "add", "none!", "value1"},
        {slot_move, {I(1), I(2)}, "move", "integer!", "origin"},
        {slot_write, {I(1), I(2)}, "write", "integer!", "destination"},
        // make and to name the datatype asked for.
        {slot_make, {{type_datatype, type_symbol, 0, 0}, I(1)}, "make", "symbol!", "type"},
        {slot_to, {{type_datatype, type_context, 0, 0}, I(1)}, "to", "context!", "type"},
    };
    for (const Case& c : cases) {
        Cell e = caught([&] { call(c.slot, c.arguments); });
        ASSERT_EQ(error_id(e), "expect-arg") << c.action;
        EXPECT_EQ(argument(e, error::field_arg1), c.action);
        EXPECT_EQ(argument(e, error::field_arg2), c.type);
        EXPECT_EQ(argument(e, error::field_arg3), c.argument);
    }
}

TEST_F(FrontEndTest, MakeAndToDispatchOnTheNamedTypeOrThePrototype) {
    using namespace actions;
    Cell paren_type = {type_datatype, type_paren, 0, 0};
    Cell* spec = B({W("a"), W("b")});
    EXPECT_EQ(mold(call(slot_make, {paren_type, *spec})), "(a b)");
    Cell* prototype = B({I(1)});
    Cell r = call(slot_make, {*prototype, *spec});
    EXPECT_EQ(mold(r), "[a b]");
    EXPECT_NE(r.w2, spec->w2);
    Cell block_type = {type_datatype, type_block, 0, 0};
    Cell paren = *spec;
    cell::set_type(&paren, type_paren);
    r = call(slot_to, {block_type, paren});
    EXPECT_EQ(mold(r), "[a b]");
}

TEST_F(FrontEndTest, ComparisonAndPathSlots) {
    using namespace actions;
    Cell* s = text("a");
    EXPECT_EQ(mold(call(slot_compare, {I(1), I(1), I(op_equal)})), "true");
    EXPECT_EQ(mold(call(slot_compare, {I(1), *s, I(op_equal)})), "false");
    EXPECT_EQ(mold(call(slot_compare, {I(1), I(2), I(op_lesser)})), "true");
    EXPECT_EQ(error_of([&] { call(slot_compare, {I(1), *s, I(op_lesser)}); }), "invalid-compare");
    EXPECT_EQ(error_of([&] { call(slot_compare, {I(1), I(1), I(99)}); }), "invalid-arg");

    Cell* block = B({W("a"), W("b")});
    EXPECT_EQ(mold(call(slot_eval_path, {*block, I(2), core_types::none_cell})), "b");
    call(slot_eval_path, {*block, I(1), W("z")}, {{0, {}}});
    EXPECT_EQ(whole(block), "[z b]");
    EXPECT_EQ(error_of([&] { call(slot_eval_path, {I(1), I(2), core_types::none_cell}); }), "bad-path-type2");
    EXPECT_EQ(natives::front_end_at(slot_set_path), nullptr);
}

// ------------------------------------------------------------ environment/actions.vum

// Each action's arguments and refinements in the order its front-end reads
// them, in the order the words stand in the global context.
struct ActionSpec {
    int32_t slot;
    std::vector<const char*> arguments;
    std::vector<const char*> refinements;
};

const std::vector<ActionSpec>& action_specs() {
    static const std::vector<ActionSpec> specs = {
        {1, {"type", "spec"}, {}},
        {2, {"value"}, {"seed", "secure", "only"}},
        {3, {"value", "field"}, {}},
        {4, {"type", "spec"}, {}},
        {5, {"value"}, {"part"}},
        {6, {"value"}, {"only", "all", "flat", "part"}},
        {55, {"target", "field", "value"}, {"case"}},
        {10, {"value"}, {}},
        {11, {"value1", "value2"}, {}},
        {12, {"value1", "value2"}, {}},
        {13, {"value1", "value2"}, {}},
        {14, {"number"}, {}},
        {15, {"number", "exponent"}, {}},
        {16, {"value1", "value2"}, {}},
        {17, {"n"}, {"to", "even", "down", "half-down", "floor", "ceiling", "half-ceiling"}},
        {18, {"value1", "value2"}, {}},
        {19, {"number"}, {}},
        {20, {"number"}, {}},
        {21, {"value1", "value2"}, {}},
        {22, {"value"}, {}},
        {23, {"value1", "value2"}, {}},
        {24, {"value1", "value2"}, {}},
        {25, {"series", "value"}, {"part", "only", "dup"}},
        {26, {"series", "index"}, {}},
        {27, {"series"}, {}},
        {28, {"series", "value"}, {"part", "only", "dup"}},
        {29, {"series"}, {}},
        {30, {"value"}, {"part", "deep", "types"}},
        {31, {"series", "value"},
         {"part", "only", "case", "same", "any", "with", "skip", "last", "reverse", "tail", "match"}},
        {32, {"series"}, {}},
        {33, {"series"}, {}},
        {34, {"series"}, {}},
        {35, {"series", "value"}, {"part", "only", "dup"}},
        {36, {"series"}, {}},
        {37, {"origin", "target"}, {"part"}},
        {38, {"series"}, {}},
        {39, {"series", "index"}, {}},
        {40, {"series", "index", "value"}, {}},
        {41, {"series", "key", "value"}, {"case"}},
        {42, {"series"}, {"part", "key"}},
        {43, {"series"}, {"part", "skip"}},
        {44, {"series", "value"}, {"part", "only", "case", "same", "any", "with", "skip", "last", "reverse"}},
        {45, {"series"}, {"case", "skip", "compare", "part", "all", "reverse", "stable"}},
        {46, {"series", "offset"}, {}},
        {47, {"series1", "series2"}, {}},
        {48, {"series"}, {}},
        {49, {"series"}, {}},
        {50, {"series"}, {"part", "deep", "last"}},
        {51, {"series"}, {"head", "tail", "auto", "lines", "all", "with"}},
        {52, {"port"}, {}},
        {53, {"port"}, {}},
        {54, {"file"}, {}},
        {56, {"port"}, {"new", "read", "write", "seek", "allow"}},
        {57, {"port"}, {}},
        {58, {"target"}, {}},
        {59, {"source"}, {"part", "seek", "binary", "lines", "info", "as"}},
        {60, {"from", "to"}, {}},
        {61, {"port"}, {}},
        {62, {"destination", "data"}, {"binary", "lines", "info", "append", "part", "seek", "allow", "as"}},
    };
    return specs;
}

class ActionSourceTest : public FrontEndTest {
protected:
    static Cell cell_of(const Cell* block, int32_t i) { return *block_actions::cell_at(block->w2, int32_t(block->w1) + i); }
    static int32_t length(const Cell* block) { return block_actions::length_from_head(block); }
    static std::string name(const Cell& word) { return symbols::text(int32_t(word.w2)); }

    // environment/actions.vum as loaded by the lexer, on the stack.
    static Cell* source() {
        for (int32_t i = 0; i < boot::embedded_source_count; i++) {
            const boot::Source& s = boot::embedded_sources[i];
            if (std::string(s.name) != "environment/actions.vum") continue;
            Cell* out = stack::push_cell();
            cell::make_none(out);
            lexer::load_utf8(s.text, s.length, out);
            return out;
        }
        return nullptr;
    }
};

TEST_F(ActionSourceTest, DefinesEveryActionInOrderWithItsRefinements) {
    Cell* code = source();
    ASSERT_NE(code, nullptr);
    // Vum [header], then `word: make action! [[spec] slot]` for each action.
    int32_t i = 2;
    for (const ActionSpec& expected : action_specs()) {
        SCOPED_TRACE(expected.slot);
        Cell word = cell_of(code, i), maker = cell_of(code, i + 1), type = cell_of(code, i + 2);
        Cell body = cell_of(code, i + 3);
        ASSERT_EQ(cell::type(&word), type_set_word);
        EXPECT_EQ(name(word), name(actions::word(expected.slot)));
        EXPECT_EQ(name(maker), "make");
        EXPECT_EQ(name(type), "action!");
        ASSERT_EQ(cell::type(&body), type_block);
        ASSERT_EQ(length(&body), 2);
        Cell spec = cell_of(&body, 0), slot = cell_of(&body, 1);
        EXPECT_EQ(cell::get_integer(&slot), expected.slot);
        EXPECT_NE(natives::front_end_at(expected.slot), nullptr);

        // A doc string first; each argument with a type block; each
        // refinement with a doc string.
        ASSERT_EQ(cell::type(&spec), type_block);
        Cell doc = cell_of(&spec, 0);
        EXPECT_EQ(cell::type(&doc), type_string);
        std::vector<std::string> arguments, refinements;
        for (int32_t k = 0; k < length(&spec); k++) {
            Cell c = cell_of(&spec, k);
            if (cell::type(&c) == type_word) {
                if (refinements.empty()) arguments.push_back(name(c));
                ASSERT_LT(k + 1, length(&spec));
                Cell types = cell_of(&spec, k + 1);
                EXPECT_EQ(cell::type(&types), type_block) << name(c);
                EXPECT_GT(length(&types), 0) << name(c);
            } else if (cell::type(&c) == type_refinement) {
                refinements.push_back(name(c));
                ASSERT_LT(k + 1, length(&spec));
                Cell doc = cell_of(&spec, k + 1);
                EXPECT_EQ(cell::type(&doc), type_string) << name(c);
            }
        }
        EXPECT_EQ(arguments, std::vector<std::string>(expected.arguments.begin(), expected.arguments.end()));
        EXPECT_EQ(refinements, std::vector<std::string>(expected.refinements.begin(), expected.refinements.end()));
        i += 4;
    }
    // Then the operators: `word: make op! :source`; an action's spec must
    // pass the operator rule.
    const std::vector<std::pair<const char*, const char*>> operators = {
        {"+", "add"},       {"-", "subtract"},   {"*", "multiply"},
        {"/", "divide"},    {"%", "remainder"},  {"**", "power"},
        {"=", "equal?"},    {"<>", "not-equal?"}, {"==", "strict-equal?"},
        {"=?", "same?"},    {"<", "lesser?"},     {">", "greater?"},
        {"<=", "lesser-or-equal?"}, {">=", "greater-or-equal?"},
        {"and", "and~"},    {"or", "or~"},       {"xor", "xor~"},
    };
    for (const auto& [op, from] : operators) {
        SCOPED_TRACE(op);
        Cell word = cell_of(code, i), maker = cell_of(code, i + 1), type = cell_of(code, i + 2);
        Cell getter = cell_of(code, i + 3);
        ASSERT_EQ(cell::type(&word), type_set_word);
        EXPECT_EQ(name(word), op);
        EXPECT_EQ(name(maker), "make");
        EXPECT_EQ(name(type), "op!");
        ASSERT_EQ(cell::type(&getter), type_get_word);
        EXPECT_EQ(name(getter), from);
        // Find the action's spec among the definitions above.
        for (int32_t k = 2; k < i; k += 4) {
            if (name(cell_of(code, k)) != from) continue;
            Cell body = cell_of(code, k + 3);
            EXPECT_TRUE(natives::is_operator_spec(cell_of(&body, 0).w2));
        }
        i += 4;
    }
    EXPECT_EQ(i, length(code));
}

}  // namespace
