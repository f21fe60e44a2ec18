// native!, action! and op!: making them from table entries and from
// functions, the operator spec rule, reflection, text forms, comparison.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/registry.h"

using namespace vum;

namespace {

void first_native(const int32_t*) {}
void second_native(const int32_t*) {}
void add_front_end(const int32_t*) {}

class NativeTest : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        natives::set_native(1, first_native);
        natives::set_native(2, second_native);
        natives::set_native(120, first_native);
        natives::set_front_end(actions::slot_add, add_front_end);
        natives::set_front_end(62, add_front_end);
    }
    void TearDown() override {
        for (int32_t i = 1; i <= natives::table_size; i++) natives::set_native(i, nullptr);
        for (int32_t i = 1; i <= natives::front_end_count; i++) natives::set_front_end(i, nullptr);
        DatatypeTest::TearDown();
    }

    // A block from source-like text: words and their kinds, integers,
    // "strings" without spaces and nested [blocks]; cells live on the
    // value stack.
    static Cell* parse(const std::string& text) {
        std::vector<std::string> tokens;
        std::string token;
        for (char ch : text + " ") {
            if (ch == ' ' || ch == '[' || ch == ']') {
                if (!token.empty()) tokens.push_back(token);
                token.clear();
                if (ch != ' ') tokens.push_back(std::string(1, ch));
            } else {
                token += ch;
            }
        }
        size_t pos = 0;
        return build(tokens, pos);
    }
    static Cell* build(const std::vector<std::string>& tokens, size_t& pos) {
        Cell* b = stack::push_cell();
        cell::make_none(b);
        block_actions::make_at(b, 4);
        while (pos < tokens.size()) {
            const std::string& t = tokens[pos++];
            if (t == "]") break;
            Cell* element = t == "[" ? build(tokens, pos) : stack::push_cell();
            if (t != "[") *element = atom(t);
            block_actions::append_copy(b, element);
        }
        return b;
    }
    static Cell atom(const std::string& t) {
        if (t[0] == '"') return string::from_utf8(t.substr(1, t.size() - 2).c_str());
        if (isdigit(uint8_t(t[0])) || (t[0] == '-' && t.size() > 1)) return integer(std::stoi(t));
        uint8_t type = type_word;
        std::string name = t;
        if (t[0] == '/' && t.size() > 1) type = type_refinement, name = t.substr(1);
        else if (t[0] == '\'') type = type_lit_word, name = t.substr(1);
        else if (t[0] == ':') type = type_get_word, name = t.substr(1);
        else if (t.back() == ':') type = type_set_word, name = t.substr(0, t.size() - 1);
        Cell w = context::load_word(name.c_str());
        cell::set_type(&w, type);
        return w;
    }

    static void make(uint8_t type, const Cell* argument, Cell* result) {
        Cell proto = {type, 0, 0, 0};
        actions::handler<actions::slot_make>(type)(&proto, argument, type, result);
    }
    static Cell* made(uint8_t type, const char* argument) {
        Cell* result = stack::push_cell();
        make(type, parse(argument), result);
        return result;
    }
    static Cell* op_from(const Cell* source) {
        Cell* result = stack::push_cell();
        make(type_op, source, result);
        return result;
    }
    static Cell* func(const char* spec, const char* body) {
        Cell* result = stack::push_cell();
        function::make_func(parse(spec), parse(body), result);
        return result;
    }
    static Cell reflect(const Cell* v, const char* field) {
        Cell* result = stack::push_cell();
        auto fn = actions::handler<actions::slot_reflect>(cell::type(v));
        fn(v, symbols::make(field), result);
        return *result;
    }
    template <class Fn>
    static std::string error_of(Fn fn) {
        Cell e = caught(fn);
        return error_id(e);
    }
};

TEST_F(NativeTest, Registration) {
    struct Case {
        uint8_t type;
        const char* name;
    } cases[] = {{type_native, "native!"}, {type_action, "action!"}, {type_op, "op!"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(datatype::names[c.type].name, c.name);
        // action! and op! take native!'s reflect.
        EXPECT_EQ(datatype::handler(c.type, actions::slot_reflect), datatype::handler(type_native, actions::slot_reflect));
        EXPECT_EQ(datatype::handler(c.type, actions::slot_add), nullptr);
    }
}

TEST_F(NativeTest, MakeFromTableEntries) {
    Cell* n = made(type_native, "[a b] 2");
    EXPECT_EQ(cell::type(n), type_native);
    EXPECT_EQ(n->w1, 2u);
    EXPECT_EQ(natives::native_at(int32_t(n->w1)), second_native);
    Cell* info = series::cells_mut(n->w3);
    ASSERT_EQ(block_actions::buffer_length(n->w3), 2);
    EXPECT_EQ(cell::type(&info[0]), type_context);
    EXPECT_EQ(cell::type(&info[1]), type_none);
    EXPECT_EQ(mold(*n), "make native! [[a b]]");
    EXPECT_EQ(form(*n), "?native?");

    Cell* a = made(type_action, "[value] 11");
    EXPECT_EQ(cell::type(a), type_action);
    EXPECT_EQ(mold(*a), "make action! [[value]]");
    EXPECT_EQ(form(*a), "?action?");
    Cell body = reflect(a, "body");
    EXPECT_EQ(cell::get_integer(&body), 11);

    // The table ends are in range.
    EXPECT_EQ(made(type_native, "[x] 120")->w1, 120u);
    EXPECT_EQ(made(type_action, "[x] 62")->w1, 62u);
}

TEST_F(NativeTest, MakeRefusals) {
    struct Case {
        uint8_t type;
        const char* argument;
        const char* error;
    } cases[] = {
        {type_native, "[x] 0", "bad-make-arg"},
        {type_native, "[x] 121", "bad-make-arg"},
        {type_native, "[x] -1", "bad-make-arg"},
        {type_action, "[x] 63", "bad-make-arg"},
        {type_native, "[x]", "bad-make-arg"},
        {type_native, "[x] 1 2", "bad-make-arg"},
        {type_native, "x 1", "bad-make-arg"},
        {type_native, "[x] y", "bad-make-arg"},
        // An entry the engine has not filled is refused now, not when called.
        {type_native, "[x] 3", "bad-make-arg"},
        {type_action, "[x] 12", "bad-make-arg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        stack::Mark mark;
        Cell* argument = parse(c.argument);
        Cell* result = stack::push_cell();
        EXPECT_EQ(error_of([&] { make(c.type, argument, result); }), c.error);
    }
    Cell* number = stack::push_cell();
    *number = integer(1);
    Cell* result = stack::push_cell();
    EXPECT_EQ(error_of([&] { make(type_native, number, result); }), "bad-make-arg");
}

TEST_F(NativeTest, SpecPositionedPastItsHeadIsStoredFromThere) {
    Cell* argument = parse("[skip a b] 1");
    block_actions::cell_at_mut(argument->w2, 0)->w1 = 1;
    Cell* result = stack::push_cell();
    make(type_native, argument, result);
    EXPECT_EQ(mold(*result), "make native! [[a b]]");
    Cell spec = reflect(result, "spec");
    EXPECT_EQ(spec.w2, result->w2);
    EXPECT_EQ(spec.w1, 0u);
}

TEST_F(NativeTest, ReflectOtherFieldsAreNotDone) {
    Cell* n = made(type_native, "[a] 1");
    for (const char* field : {"words", "title"}) {
        SCOPED_TRACE(field);
        EXPECT_EQ(error_of([&] { reflect(n, field); }), "not-done");
    }
}

TEST_F(NativeTest, OperatorFromAnAction) {
    Cell* add = made(type_action, "[value1 value2] 11");
    Cell* op = op_from(add);
    EXPECT_EQ(cell::type(op), type_op);
    EXPECT_EQ(op->header >> 16 & 0xFF, uint32_t(type_action));
    EXPECT_EQ(op->w3, add->w3);  // the info block is shared
    Cell body = reflect(op, "body");
    EXPECT_EQ(cell::type(&body), type_integer);
    EXPECT_EQ(cell::get_integer(&body), 11);
    EXPECT_EQ(mold(*op), "make op! [[value1 value2]]");
    EXPECT_EQ(form(*op), "?op?");
}

TEST_F(NativeTest, OperatorFromAFunction) {
    Cell* f = func("a b", "a + b");
    Cell* op = op_from(f);
    EXPECT_EQ(op->header, uint32_t(type_op) | uint32_t(type_function) << 16);
    EXPECT_EQ(op->w1, f->w1);
    EXPECT_EQ(mold(*op), "make op! func [a b][a + b]");
    Cell body = reflect(op, "body");
    EXPECT_EQ(body.w2, series::cells_head(f->w3)[function::info_body].w2);
    // The function learns the operator made from it.
    Cell noted = series::cells_head(f->w3)[function::info_op];
    EXPECT_EQ(cell::type(&noted), type_function);
    EXPECT_EQ(noted.w1, f->w1);
    gc::collect();
    EXPECT_EQ(mold(*op), "make op! func [a b][a + b]");
}

TEST_F(NativeTest, OperatorSpecRule) {
    struct Case {
        const char* spec;
        bool valid;
    } cases[] = {
        {"a b", true},
        {"a :b", true},
        {"a 'b", true},
        {"a b /local c", true},
        {"a b /extern c", true},
        {"\"doc\" a [integer!] b [integer!] return: [integer!]", true},
        {":a b", false},
        {"'a b", false},
        {":a b c", false},  // a literal left operand whatever follows
        {"a b c", false},
        {"a", false},
        {"a b /only", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        stack::Mark mark;
        Cell* spec = parse(c.spec);
        EXPECT_EQ(natives::is_operator_spec(spec->w2), c.valid);
    }
    // make op! applies the rule to every kind of source.
    Cell* three = func("a b c", "a");
    EXPECT_EQ(error_of([&] { op_from(three); }), "bad-op-spec");
    Cell* native = made(type_native, "[:a b] 1");
    EXPECT_EQ(error_of([&] { op_from(native); }), "bad-op-spec");
}

TEST_F(NativeTest, OperatorFromOtherTypesIsRefused) {
    Cell* number = stack::push_cell();
    *number = integer(5);
    EXPECT_EQ(error_of([&] { op_from(number); }), "invalid-type");
    Cell* op = op_from(made(type_native, "[a b] 1"));
    EXPECT_EQ(error_of([&] { op_from(op); }), "invalid-type");
}

TEST_F(NativeTest, CompareByEntry) {
    auto compare = actions::handler<actions::slot_compare>(type_native);
    Cell* a = made(type_native, "[x] 1");
    Cell* same_entry = made(type_native, "[y z] 1");
    Cell* other = made(type_native, "[x] 2");
    Cell* action = made(type_action, "[x] 11");
    EXPECT_EQ(compare(a, same_entry, actions::op_equal), 0);
    EXPECT_EQ(compare(a, other, actions::op_equal), -1);
    EXPECT_EQ(compare(other, a, actions::op_same), 1);
    EXPECT_EQ(compare(a, other, actions::op_lesser), actions::not_comparable);
    EXPECT_EQ(compare(a, action, actions::op_equal), actions::not_comparable);
}

}  // namespace
