// function! and routine!: making values, spec checking, the locals of
// `function`, reflection, text forms, comparison and the routine table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/registry.h"

using namespace vum;

namespace {

class FunctionTest : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        routines::clear();
        // The datatype words a spec's type blocks name.
        for (const char* name : {"integer!", "logic!", "block!"}) {
            Cell w = context::load_word(name);
            Cell dt = {type_datatype, uint32_t(datatype::find_by_name(name)), 0, 0};
            context::set_word_value(&w, &dt);
        }
    }
    void TearDown() override {
        routines::clear();
        DatatypeTest::TearDown();
    }

    // A block from source-like text: words, set-words, lit-words,
    // get-words, refinements, integers, "strings" without spaces, nested
    // [blocks] and (parens). Every cell lives on the value stack.
    static Cell* parse(const std::string& text) {
        std::vector<std::string> tokens;
        std::string token;
        for (char ch : text + " ") {
            if (ch == ' ' || ch == '[' || ch == ']' || ch == '(' || ch == ')') {
                if (!token.empty()) tokens.push_back(token);
                token.clear();
                if (ch != ' ') tokens.push_back(std::string(1, ch));
            } else {
                token += ch;
            }
        }
        size_t pos = 0;
        return build(tokens, pos, type_block);
    }
    static Cell* build(const std::vector<std::string>& tokens, size_t& pos, uint8_t type) {
        Cell* b = stack::push_cell();
        cell::make_none(b);
        block_actions::make_at(b, 4);
        cell::set_type(b, type);
        while (pos < tokens.size()) {
            const std::string& t = tokens[pos++];
            if (t == "]" || t == ")") break;
            Cell* element;
            if (t == "[" || t == "(") {
                element = build(tokens, pos, t == "[" ? type_block : type_paren);
            } else {
                element = stack::push_cell();
                *element = atom(t);
            }
            block_actions::append_copy(b, element);
        }
        return b;
    }
    static Cell atom(const std::string& t) {
        if (t[0] == '"') return string::from_utf8(t.substr(1, t.size() - 2).c_str());
        if (isdigit(uint8_t(t[0]))) return integer(std::stoi(t));
        Cell w;
        if (t[0] == '/' && t.size() > 1) return word_as(type_refinement, t.substr(1));
        if (t[0] == '\'') return word_as(type_lit_word, t.substr(1));
        if (t[0] == ':') return word_as(type_get_word, t.substr(1));
        if (t.back() == ':') return word_as(type_set_word, t.substr(0, t.size() - 1));
        w = context::load_word(t.c_str());
        return w;
    }
    static Cell word_as(uint8_t type, const std::string& text) {
        Cell w = context::load_word(text.c_str());
        cell::set_type(&w, type);
        return w;
    }

    static Cell func(const char* spec, const char* body) {
        Cell* result = stack::push_cell();
        function::make_func(parse(spec), parse(body), result);
        return *result;
    }
    static Cell function_of(const char* spec, const char* body) {
        Cell* result = stack::push_cell();
        function::make_function(parse(spec), parse(body), result);
        return *result;
    }
    static Cell info(const Cell& f, int32_t i) { return series::cells_head(f.w3)[i]; }
    static Cell reflect(const Cell& v, const char* field) {
        Cell* result = stack::push_cell();
        auto fn = actions::handler<actions::slot_reflect>(cell::type(&v));
        fn(&v, symbols::make(field), result);
        return *result;
    }
    static std::string spec_of(const Cell& f) {
        Cell spec = {type_block, 0, f.w2, 0};
        return mold(spec);
    }
    // The error id raised by fn, "" when none.
    template <class Fn>
    static std::string error_of(Fn fn) {
        Cell e = caught(fn);
        return error_id(e);
    }
};

TEST_F(FunctionTest, MoldAndForm) {
    Cell f = func("x", "x + 1");
    EXPECT_EQ(mold(f), "func [x][x + 1]");
    EXPECT_EQ(form(f), "?function?");

    // Made from a spec alone, the body is none.
    Cell* result = stack::push_cell();
    Cell none = {type_none, 0, 0, 0};
    function::push(parse("a b"), &none, 0, 0, 0, 0);
    *result = *stack::top_cell();
    EXPECT_EQ(mold(*result), "func [a b] none");

    // A part limit stops the text where it runs out.
    for (int32_t limit : {3, 5}) {
        uint32_t buffer = string::make(16);
        gc::ProtectNode keep(&buffer);
        EXPECT_EQ(actions::call_mold(&f, buffer, false, false, false, true, limit, 0), 0);
        EXPECT_EQ(string::node_to_utf8(buffer), std::string("func ").substr(0, size_t(limit)));
    }
}

TEST_F(FunctionTest, BodyIsADeepCopyBoundToTheContext) {
    Cell* spec = parse("x");
    Cell* body = parse("x [x] (x)");
    Cell* f = stack::push_cell();
    function::make_func(spec, body, f);
    uint32_t ctx = f->w1;

    Cell copy = info(*f, function::info_body);
    ASSERT_EQ(cell::type(&copy), type_block);
    EXPECT_NE(copy.w2, body->w2);
    Cell* c = series::cells_mut(copy.w2);
    EXPECT_EQ(c[0].w1, ctx);
    EXPECT_EQ(int32_t(c[0].w3), 0);
    // Nested blocks and parens are copied too: binding them must not
    // reach into the caller's body.
    for (int32_t i : {1, 2}) {
        EXPECT_NE(c[i].w2, block_actions::cell_at(body->w2, i)->w2);
        EXPECT_EQ(series::cells_head(c[i].w2)->w1, ctx);
        EXPECT_NE(series::cells_head(block_actions::cell_at(body->w2, i)->w2)->w1, ctx);
    }
    EXPECT_NE(block_actions::cell_at(body->w2, 0)->w1, ctx);

    // The context names its function; the other info cells wait for the
    // interpreter and op!.
    EXPECT_EQ(context::owner_cell(ctx)->w3, f->w3);
    for (int32_t i : {function::info_arguments, function::info_code, function::info_op, function::info_owner})
        EXPECT_EQ(cell::type(&series::cells_head(f->w3)[i]), type_unset) << i;
}

TEST_F(FunctionTest, PushStoresCodeOwnerFlagsAndASpecFromItsHead) {
    Cell* spec = parse("skip a b");
    spec->w1 = 1;
    Cell none = {type_none, 0, 0, 0};
    function::push(spec, &none, 0, 7, 99, cell::flag_no_trace);
    Cell f = *stack::top_cell();
    EXPECT_EQ(f.header, uint32_t(type_function) | cell::flag_no_trace);
    EXPECT_EQ(spec_of(f), "[a b]");
    EXPECT_EQ(context::word_count(f.w1), 2);
    Cell code = info(f, function::info_code), owner = info(f, function::info_owner);
    EXPECT_EQ(cell::type(&code), type_integer);
    EXPECT_EQ(cell::get_integer(&code), 7);
    EXPECT_EQ(cell::get_integer(&owner), 99);
}

// Made while the environment loads, a function is compiled: its cell says
// so and every block of its body copy is marked as compiled code, which
// the evaluator reads. The source block, copies of the body and functions
// made later are not; a function pushed with the mark (an object's copy of
// a compiled method) is compiled again, body and all.
TEST_F(FunctionTest, FunctionsMadeWhileTheEnvironmentLoadsAreCompiled) {
    stack::Mark mark;
    Cell* body = parse("x [x (x)]");
    function::set_making_compiled(true);
    Cell* f = stack::push_cell();
    *f = func("x", "x [x (x)]");
    Cell* g = stack::push_cell();
    function::make_func(parse("x"), body, g);
    function::set_making_compiled(false);
    Cell* plain = stack::push_cell();
    *plain = func("x", "x [x (x)]");

    auto code_marks = [](const Cell& fn) {
        Cell b = series::cells_head(fn.w3)[function::info_body];
        const Cell* c = series::cells_head(b.w2);
        uint32_t inner = series::cells_head(c[1].w2)[1].w2;
        return std::vector<bool>{function::is_compiled_code(b.w2), function::is_compiled_code(c[1].w2),
                                 function::is_compiled_code(inner)};
    };
    const std::vector<bool> all = {true, true, true}, none = {false, false, false};
    for (const Cell* fn : {f, g}) {
        EXPECT_TRUE(function::is_compiled(fn));
        EXPECT_EQ(fn->header & cell::flag_compiled, cell::flag_compiled);
        EXPECT_EQ(code_marks(*fn), all);
    }
    EXPECT_FALSE(function::is_compiled(plain));
    EXPECT_EQ(code_marks(*plain), none);
    EXPECT_FALSE(function::is_compiled_code(body->w2));

    // A function made from a compiled body is not compiled.
    Cell compiled_body = info(*f, function::info_body);
    Cell* from_body = stack::push_cell();
    function::make_func(parse("x"), &compiled_body, from_body);
    EXPECT_FALSE(function::is_compiled(from_body));
    EXPECT_EQ(code_marks(*from_body), none);

    Cell spec = {type_block, 0, f->w2, 0};
    function::push(&spec, &compiled_body, 0, 0, 0, f->header);
    EXPECT_TRUE(function::is_compiled(stack::top_cell()));
    EXPECT_EQ(code_marks(*stack::top_cell()), all);

    // The marks stay through collections that move the buffers.
    gc::collect();
    EXPECT_EQ(code_marks(*f), all);
}

TEST_F(FunctionTest, SpecChecking) {
    struct Case {
        const char* spec;
        const char* error;  // "" when valid
    } cases[] = {
        {"a [integer!] \"doc\"", ""},
        {"\"doc\" a [integer! block!] b", ""},
        {"a \"doc\" [integer!]", "bad-func-def"},
        {"a return: [integer!] /local b", ""},
        {"a b /ref c /local d e", ""},
        {"a return: [integer!] \"doc\"", ""},
        {"return: [integer!] a", "bad-func-def"},
        {"return: [integer!] /ref", "bad-func-def"},
        {"return: [integer!] return: [integer!]", "bad-func-def"},
        {"/local b return: [integer!]", "bad-func-def"},
        {"return: integer!", "bad-func-def"},
        {"return: [integer!] a [integer!]", "bad-func-def"},
        {"result: [integer!]", "bad-func-def"},
        {"/local 'b", "bad-func-def"},
        {"/local :b", "bad-func-def"},
        {"/local b /ref", "bad-func-def"},
        {"/ref [integer!]", "bad-func-def"},
        {"a 1", "bad-func-def"},
        {"[trace 1] a", "bad-func-def"},
        {"a [1]", "invalid-type-spec"},
        {"a ['integer!]", "invalid-type-spec"},
        {"a [no-such-type!]", "no-value"},
        {"a a", "dup-vars"},
        {"a /A", "dup-vars"},
        {"a /local b b", "dup-vars"},
        {":a 'b", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        stack::Mark mark;
        Cell* spec = parse(c.spec);
        EXPECT_EQ(error_of([&] { function::check_spec(spec); }), c.error);
    }
}

TEST_F(FunctionTest, AttributesSetTraceFlags) {
    struct Case {
        const char* spec;
        uint32_t flags;
    } cases[] = {
        {"[trace] a", cell::flag_trace},
        {"[no-trace] a", cell::flag_no_trace},
        {"[trace no-trace catch] a", cell::flag_trace | cell::flag_no_trace},
        {"a", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        Cell f = func(c.spec, "a");
        EXPECT_EQ(f.header, uint32_t(type_function) | c.flags);
    }
}

TEST_F(FunctionTest, MakeTakesASpecAndABodyBlock) {
    auto make = actions::handler<actions::slot_make>(type_function);
    Cell proto = {type_function, 0, 0, 0};
    Cell* result = stack::push_cell();
    make(&proto, parse("[a] [a]"), type_function, result);
    EXPECT_EQ(mold(*result), "func [a][a]");

    for (const char* bad : {"[a]", "a [a]", "[a] a", ""}) {
        SCOPED_TRACE(bad);
        Cell* argument = parse(bad);
        EXPECT_EQ(error_of([&] { make(&proto, argument, type_function, result); }), "bad-func-def");
    }
    Cell* not_block = stack::push_copy(&proto);
    *not_block = integer(1);
    EXPECT_EQ(error_of([&] { make(&proto, not_block, type_function, result); }), "bad-func-def");
    // The spec inside is checked as func checks it.
    Cell* dup = parse("[a a] []");
    EXPECT_EQ(error_of([&] { make(&proto, dup, type_function, result); }), "dup-vars");
}

TEST_F(FunctionTest, FunctionCollectsLocals) {
    struct Case {
        const char* spec;
        const char* body;
        const char* result;
    } cases[] = {
        {"a", "b: 1 foreach [c d] x [e: 2] repeat i 3 [] a: 0", "[a /local b c d e i]"},
        {"a /extern b", "b: 1 c: 2", "[a /local c]"},
        {"a /extern b /local z", "b: 1 c: 2", "[a /local z c]"},
        {"a /local x", "x: 1 y: 2", "[a /local x y]"},
        {"a", "remove-each w s [] foreach [v :g 'h] s [] foreach :k s []", "[a /local w v g h]"},
        {"a", "repeat [i] 3 [] repeat j: 3 []", "[a /local j]"},
        {"a", "(p: 1) [[q: 2]]", "[a /local p q]"},
        {"a", "B: 1 b: 2", "[a /local B]"},
        {"A", "a: 1", "[A]"},
        {"a", "local: 1", "[a]"},
        {"a return: [integer!]", "return: 1", "[a return: [integer!]]"},
        {"a \"doc\" [integer!] /extern b \"why\"", "b: 1", "[a \"doc\" [integer!]]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.spec) + " | " + c.body);
        stack::Mark mark;
        Cell* spec = parse(c.spec);
        std::string before = mold(*spec);
        Cell* result = stack::push_cell();
        function::collect_locals(spec, parse(c.body), result);
        EXPECT_EQ(mold(*result), c.result);
        // The caller's spec stays as written, so evaluating the same
        // literal twice gives the same function.
        EXPECT_EQ(mold(*spec), before);
    }
    Cell* extern_spec = parse("a /extern 1");
    Cell* body = parse("b: 1");
    Cell* result = stack::push_cell();
    EXPECT_EQ(error_of([&] { function::collect_locals(extern_spec, body, result); }), "bad-func-extern");
}

TEST_F(FunctionTest, FunctionReflectsItsCollectedSpec) {
    Cell f = function_of("a /extern b", "b: 1 c: 2");
    Cell* kept = stack::push_copy(&f);
    EXPECT_EQ(mold(reflect(*kept, "spec")), "[a /local c]");
    EXPECT_EQ(mold(*kept), "func [a /local c][b: 1 c: 2]");
}

TEST_F(FunctionTest, CollectingLocalsSurvivesACyclicBody) {
    Cell* body = parse("x: 1 [y: 2]");
    // The nested block holds the body itself.
    Cell outer = *body;
    block_actions::append_copy(block_actions::cell_at(body->w2, 2), &outer);
    Cell* result = stack::push_cell();
    function::collect_locals(parse("a"), body, result);
    EXPECT_EQ(mold(*result), "[a /local x y]");
}

TEST_F(FunctionTest, Reflect) {
    Cell* f = stack::push_cell();
    *f = func("a b /local c", "a + b");
    Cell spec = reflect(*f, "spec");
    EXPECT_EQ(spec.w2, f->w2);  // the function's own series, not a copy
    EXPECT_EQ(spec.w1, 0u);
    EXPECT_EQ(mold(reflect(*f, "body")), "[a + b]");
    Cell words = reflect(*f, "words");
    EXPECT_EQ(mold(words), "[a b local c]");
    for (int32_t i = 0; i < 4; i++) {
        Cell* w = block_actions::cell_at_mut(words.w2, i);
        EXPECT_EQ(w->w1, f->w1);
        EXPECT_EQ(int32_t(w->w3), i);
    }
    EXPECT_EQ(error_of([&] { reflect(*f, "title"); }), "not-done");
}

TEST_F(FunctionTest, LocalCounts) {
    struct Case {
        const char* spec;
        int32_t start;
        bool strict;
        int32_t count;
    } cases[] = {
        {"a /local b c", 0, false, 3},
        {"a /local b c", 0, true, 3},
        {"a b", 0, false, 0},
        {"a b", 0, true, -1},
        {"a /local", 0, false, 1},
        {"a /local b \"doc\" c [integer!]", 0, false, 3},
        {"/local b a", 2, true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        Cell* spec = parse(c.spec);
        EXPECT_EQ(function::count_locals(spec->w2, c.start, c.strict), c.count);
    }

    Cell* before = stack::s.args_top;
    function::push_none_locals(3);
    ASSERT_EQ(stack::s.args_top - before, 3);
    EXPECT_EQ(cell::type(&before[0]), type_logic);
    EXPECT_EQ(before[0].w1, 0u);
    EXPECT_EQ(cell::type(&before[1]), type_none);
    EXPECT_EQ(cell::type(&before[2]), type_none);
    function::push_none_locals(0);
    EXPECT_EQ(stack::s.args_top - before, 3);
}

TEST_F(FunctionTest, CompareBySameness) {
    auto compare = actions::handler<actions::slot_compare>(type_function);
    Cell* a = stack::push_cell();
    *a = func("x", "x");
    Cell* b = stack::push_cell();
    *b = func("x", "x");
    Cell copy = *a;
    EXPECT_EQ(compare(a, &copy, actions::op_equal), 0);
    EXPECT_EQ(compare(a, a, actions::op_same), 0);
    EXPECT_NE(compare(a, b, actions::op_equal), 0);
    EXPECT_EQ(compare(a, b, actions::op_strict_equal), -compare(b, a, actions::op_strict_equal));
    EXPECT_EQ(compare(a, b, actions::op_lesser), actions::not_comparable);
    Cell one = integer(1);
    EXPECT_EQ(compare(a, &one, actions::op_equal), actions::not_comparable);
}

TEST_F(FunctionTest, ValuesSurviveCollections) {
    // Every value is reachable only through the value stack; collections
    // in between move every buffer.
    std::vector<Cell*> made;
    for (int32_t i = 0; i < 20; i++) {
        Cell* f = stack::push_cell();
        *f = function_of("a", "b: a + 1 [c: b]");
        made.push_back(f);
        gc::collect();
    }
    for (int32_t i = 0; i < 200; i++) memory::alloc_cells(50);
    gc::collect();
    for (Cell* f : made) {
        EXPECT_EQ(mold(*f), "func [a /local b c][b: a + 1 [c: b]]");
        Cell body = info(*f, function::info_body);
        EXPECT_EQ(series::cells_head(body.w2)->w1, f->w1);
    }
}

// ---- routine! ----

routines::MachineValue add_two(const routines::MachineValue* args, int32_t) {
    return {.integer = args[0].integer + args[1].integer};
}
routines::MachineValue always(const routines::MachineValue*, int32_t) { return {.integer = 1}; }

TEST_F(FunctionTest, RoutineTableByName) {
    int32_t add = routines::register_routine("add-two", add_two);
    int32_t yes = routines::register_routine("always", always);
    EXPECT_EQ(add, 1);
    EXPECT_EQ(yes, 2);
    EXPECT_EQ(routines::register_routine("add-two", always), add);  // replaced, same entry
    EXPECT_EQ(routines::find("always"), yes);
    EXPECT_EQ(routines::find("missing"), 0);
    EXPECT_EQ(routines::entry(add), always);
    EXPECT_EQ(routines::entry(0), nullptr);
    EXPECT_EQ(routines::entry(3), nullptr);
    EXPECT_EXIT(routines::register_routine("", add_two), testing::ExitedWithCode(98), "assertion failed");
    EXPECT_EXIT(routines::register_routine("null", nullptr), testing::ExitedWithCode(98), "assertion failed");
}

TEST_F(FunctionTest, RoutineValues) {
    int32_t add = routines::register_routine("add-two", add_two);
    Cell none = {type_none, 0, 0, 0};
    routines::push(parse("\"adds\" a [integer!] b [logic!] \"note\" c [float!]"), &none, add, type_integer, false);
    Cell* r = stack::top_cell();
    EXPECT_EQ(cell::type(r), type_routine);
    EXPECT_EQ(routines::argument_count(r), 3);
    EXPECT_EQ(r->header >> 25 & 31, 3u);
    EXPECT_EQ(r->header & cell::flag_routine_direct, 0u);
    Cell code = info(*r, function::info_code), result_type = info(*r, function::info_owner);
    EXPECT_EQ(cell::get_integer(&code), add);
    EXPECT_EQ(cell::get_integer(&result_type), int32_t(type_integer));
    EXPECT_EQ(routines::entry(cell::get_integer(&code)), add_two);
    EXPECT_EQ(form(*r), "?routine?");
    EXPECT_EQ(mold(*r), "routine [\"adds\" a [integer!] b [logic!] \"note\" c [float!]] none");
    EXPECT_EQ(mold(reflect(*r, "spec")), mold(Cell{type_block, 0, r->w2, 0}));

    routines::push(parse("x [any-type!]"), parse("native-body"), add, routines::result_none, true);
    Cell* direct = stack::top_cell();
    EXPECT_EQ(direct->header & 0xFFFF, 0x801Du);
    EXPECT_EQ(mold(*direct), "routine [x [any-type!]][native-body]");
    EXPECT_EQ(datatype::handler(type_routine, actions::slot_make), nullptr);
}

TEST_F(FunctionTest, RoutineRefusals) {
    int32_t add = routines::register_routine("add-two", add_two);
    std::string many;
    for (int32_t i = 0; i < 32; i++) many += "a" + std::to_string(i) + " [integer!] ";
    struct Case {
        std::string spec;
        int32_t entry;
        int32_t result_type;
        const char* error;
    } cases[] = {
        {"a [integer!]", add + 1, -1, "invalid-arg"},
        {"a [integer!]", 0, -1, "invalid-arg"},
        {"a [integer!]", add, type_string, "invalid-arg"},
        {"a", add, -1, "bad-func-def"},
        {"a []", add, -1, "bad-func-def"},
        {"a [\"integer\"]", add, -1, "bad-func-def"},
        {"/ref", add, -1, "bad-func-def"},
        {many, add, -1, "bad-func-def"},
        {"a [logic!] return: [logic!]", add, type_logic, ""},
        {"a [string!] b [any-type!] return: [float!]", add, type_float, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec.substr(0, 30));
        Cell none = {type_none, 0, 0, 0};
        Cell* spec = parse(c.spec);
        EXPECT_EQ(error_of([&] { routines::push(spec, &none, c.entry, c.result_type, false); }), c.error);
    }
}

}  // namespace
