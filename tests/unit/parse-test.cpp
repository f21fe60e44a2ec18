// The PARSE engine called from C++ in a start-up without a root block,
// where each run makes its own work blocks: what the language-level tests
// (tests/transcripts/parse*.transcript, tests/oracle/parse-oracle.py) cannot
// reach, since the program always has a root block.
#include <cstring>

#include "datatype-fixture.h"
#include "engine/lexer.h"
#include "engine/parse.h"

using namespace vum;

class ParseEngineTest : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        lexer::offer_services(services::current);
        // Set up as if there were no root block: the runs make their own.
        Cell root = gc::roots.root_block;
        gc::roots.root_block = {};
        parse::init_work_blocks();
        gc::roots.root_block = root;
    }

    Cell* load(const char* text) {
        Cell* b = cell::make_none(stack::push_cell());
        lexer::load_utf8(text, int32_t(std::strlen(text)), b);
        return b;
    }

    // The result of parsing the first value of `input` with the block of
    // `rules`, molded.
    std::string parse(const char* input, const char* rules, int32_t case_mode = parse::case_insensitive) {
        stack::Mark mark;
        Cell* in = stack::push_copy(series::cells_head(load(input)->w2));
        Cell* r = load(rules);
        Cell* result = cell::make_none(stack::push_cell());
        parse::run(in, r, case_mode, -1, nullptr, result);
        return mold(*result);
    }
};

TEST_F(ParseEngineTest, RunsWithWorkBlocksOfItsOwn) {
    struct Case {
        const char* input;
        const char* rules;
        int32_t mode;
        const char* expected;
    } cases[] = {
        {"\"aaa\"", "some \"a\"", parse::case_insensitive, "true"},
        {"\"aAb\"", "some \"a\" \"b\"", parse::case_insensitive, "true"},
        {"\"aAb\"", "some \"a\" \"b\"", parse::case_sensitive, "false"},
        {"[1 [x] 2]", "integer! into [word!] integer!", parse::case_insensitive, "true"},
        {"\"a,b\"", "collect [some [keep to \",\" skip] keep to end]", parse::case_insensitive, "[#\"a\" #\"b\"]"},
    };
    gc::set_torture(1);
    for (const Case& c : cases) EXPECT_EQ(parse(c.input, c.rules, c.mode), c.expected) << c.input << " " << c.rules;
    gc::set_torture(saved_torture);
}

TEST_F(ParseEngineTest, EndlessRecursionIsAParseStackError) {
    // A rules block that holds itself: each entry takes frame cells, never
    // machine stack.
    stack::Mark mark;
    Cell* rules = stack::push_cell();
    block_actions::make_at(rules, 1);
    *series::alloc_tail(rules) = *rules;
    Cell* input = load("\"a\"");
    *input = series::cells_head(input->w2)[0];
    Cell* result = cell::make_none(stack::push_cell());
    Cell* top = stack::s.args_top;
    Cell error = caught([&] { parse::run(input, rules, parse::case_insensitive, -1, nullptr, result); });
    EXPECT_EQ(error_id(error), "parse-stack");
    stack::s.args_top = top;
    EXPECT_EQ(parse("\"ab\"", "\"a\" \"b\""), "true");
}
