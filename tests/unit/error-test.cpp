#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "base/error-catalogue.h"
#include "datatypes/error.h"
#include "datatypes/binary.h"
#include "datatypes/registry.h"
#include "io/vumbin-decoder.h"
#include "io/vumbin-encoder.h"

using namespace vum;

namespace {

class ErrorType : public DatatypeTest {
protected:
    void TearDown() override {
        partial_services::fill();
        DatatypeTest::TearDown();
    }

    // Values kept on the value stack, a root, so collections leave them be.
    static Cell* held(const Cell& c) { return stack::push_copy(&c); }
    static Cell word(const char* text) { return context::load_word(text); }
    static Cell text(const char* s) { return *held(string::from_utf8(s)); }
    static Cell block(std::vector<Cell> cells) {
        gc::Protect keep(cells.data(), int32_t(cells.size()));
        uint32_t node = memory::alloc_cells(int32_t(cells.size()) + 1);
        for (const Cell& c : cells) *series::alloc_tail_cell(node) = c;
        Cell b{};
        return *held(*cell::make_series(&b, type_block, node));
    }

    static Cell make(const Cell& spec) {
        Cell prototype = {type_datatype, type_error, 0, 0};
        Cell* out = held(prototype);
        Cell* s = held(spec);
        actions::handler<actions::slot_make>(type_error)(out, s, type_error, out);
        return *out;
    }
    // An error by category and id name, straight from the catalogue.
    static Cell create(errors::Category category, const char* id, const Cell* arg1 = nullptr,
                       const Cell* arg2 = nullptr) {
        Cell* out = held({type_none, 0, 0, 0});
        error::create(category, error_catalogue::find_id(category, id), arg1, arg2, nullptr, out);
        return *out;
    }

    static int32_t code(const Cell& e) { return cell::get_integer(error::field(&e, error::field_code)); }
    static std::string category(const Cell& e) { return symbols::text(error::get_type(&e)); }
    static std::string line(const std::string& report, size_t n) {
        size_t start = 0;
        for (size_t i = 0; i < n; i++) start = report.find('\n', start) + 1;
        return report.substr(start, report.find('\n', start) - start);
    }

    static Cell path(const Cell& e, const Cell& element, const Cell* value = nullptr) {
        Cell* holder = held(e);
        Cell* el = held(element);
        actions::PathStep step{holder, el, value, nullptr, nullptr, nullptr, 1, false, true, false, false};
        Cell* out = held({type_none, 0, 0, 0});
        actions::lookup<actions::slot_eval_path>(holder)(step, out);
        return *out;
    }
};

TEST_F(ErrorType, MakeFromCodeFindsCategoryAndId) {
    struct Case {
        int32_t code;
        const char* category;
        const char* id;
    } cases[] = {
        {300, "script", "no-value"},
        {302, "script", "not-defined"},
        {0, "throw", "break"},
        {800, "user", "message"},
        {909, "internal", "not-done"},
    };
    for (const Case& c : cases) {
        Cell e = make(integer(c.code));
        ASSERT_EQ(cell::type(&e), type_error) << c.code;
        EXPECT_EQ(code(e), c.code);
        EXPECT_EQ(category(e), c.category) << c.code;
        EXPECT_EQ(error_id(e), c.id) << c.code;
        EXPECT_EQ(cell::type(error::field(&e, error::field_arg1)), type_none);
    }
}

TEST_F(ErrorType, CodesOutsideTheCatalogueAreOutOfRange) {
    // 100 names a category without ids, 399 an id past script's last one.
    for (int32_t n : {1000, -1, 100, 399, 2147483647}) {
        Cell e = caught([&] { make(integer(n)); });
        EXPECT_EQ(error_id(e), "out-of-range") << n;
        EXPECT_EQ(cell::get_integer(error::field(&e, error::field_arg1)), n);
    }
}

TEST_F(ErrorType, MakeFromCategoryAndIdBlock) {
    Cell e = make(block({word("script"), word("no-value")}));
    EXPECT_EQ(code(e), 300);
    EXPECT_EQ(error_id(e), "no-value");
    Cell upper = make(block({word("Math"), word("ZERO-DIVIDE")}));
    EXPECT_EQ(category(upper), "math");
    EXPECT_EQ(code(upper), 400);
}

TEST_F(ErrorType, BadMakeBlocksNameWhatIsWrong) {
    Cell set_word = word("code");
    cell::set_type(&set_word, type_set_word);
    struct Case {
        Cell spec;
        const char* id;
        std::string arg1;  // molded
    } cases[] = {
        {block({word("script"), word("foo")}), "invalid-spec-field", "id"},
        {block({word("script"), word("code")}), "invalid-spec-field", "id"},
        {block({word("script")}), "invalid-spec-field", "id"},
        {block({word("nonsense"), word("no-value")}), "invalid-spec-field", "type"},
        {block({word("script"), integer(3)}), "invalid-arg", "3"},
        {block({integer(3)}), "invalid-error", "[3]"},
        {block({}), "invalid-error", "[]"},
        {block({set_word, integer(300)}), "invalid-spec-field", "type"},  // no evaluator here: nothing set
        {real(1.5), "bad-make-arg", "error!"},
    };
    for (const Case& c : cases) {
        Cell e = caught([&] { make(c.spec); });
        EXPECT_EQ(error_id(e), c.id) << mold(c.spec);
        if (cell::type(&e) == type_error) {
            EXPECT_EQ(mold(*error::field(&e, error::field_arg1)), c.arg1) << mold(c.spec);
        }
    }
}

TEST_F(ErrorType, MakeFromStringIsAUserError) {
    Cell e = make(text("boom"));
    EXPECT_EQ(category(e), "user");
    EXPECT_EQ(code(e), 800);
    EXPECT_EQ(form(*error::field(&e, error::field_arg1)), "boom");
    EXPECT_EQ(line(form(e), 0), "*** User Error: \"boom\"");
}

TEST_F(ErrorType, ReportOfAnUndefinedWord) {
    Cell x = word("x");
    Cell e = create(errors::category_script, "no-value", &x);
    EXPECT_EQ(form(e), "*** Script Error: x has no value\n*** Where: ???\n*** Near : none");
    EXPECT_EQ(error::form_report(&e), form(e));
}

TEST_F(ErrorType, SyntaxArgumentsAreFormedOthersMolded) {
    Cell a = text("abc"), b = text("def");
    Cell syntax = create(errors::category_syntax, "missing", &a, &b);
    EXPECT_EQ(line(form(syntax), 0), "*** Syntax Error: missing abc at def");
    Cell script = create(errors::category_script, "invalid-arg", &a);
    EXPECT_EQ(line(form(script), 0), "*** Script Error: invalid argument: \"abc\"");
    // A nested block molds on one line even where its cells start lines.
    Cell inner = block({integer(1), integer(2)});
    (series::cells_mut(inner.w2) + 1)->header |= cell::flag_new_line;
    Cell arg = block({inner});
    Cell flat = create(errors::category_script, "invalid-arg", &arg);
    EXPECT_EQ(line(form(flat), 0), "*** Script Error: invalid argument: [[1 2]]");
}

TEST_F(ErrorType, LongValuesAreCutToTheirLimits) {
    std::string long_text(200, 'a');
    Cell s = text(long_text.c_str());
    Cell e = create(errors::category_script, "invalid-arg", &s);
    std::vector<Cell> numbers;
    for (int32_t i = 0; i < 40; i++) numbers.push_back(integer(i));
    *error::field(&e, error::field_near) = block(numbers);
    std::string report = form(e);
    EXPECT_EQ(line(report, 0), "*** Script Error: invalid argument: {" + std::string(79, 'a'));
    EXPECT_EQ(line(report, 2), "*** Near : " + std::string("0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16"));
}

TEST_F(ErrorType, WhereLine) {
    Cell e = create(errors::category_script, "no-value", nullptr);
    EXPECT_EQ(line(form(e), 1), "*** Where: ???");
    Cell f = word("my-func"), g = word("other");
    error::set_where(&e, &f);
    error::set_where(&e, &g);  // an existing where stays
    EXPECT_EQ(line(form(e), 1), "*** Where: my-func");
    Cell named = create(errors::category_script, "no-value", nullptr);
    Cell place = text("in a script");
    error::set_where(&named, &place);
    EXPECT_EQ(line(form(named), 1), "*** Where: in a script");
}

TEST_F(ErrorType, StackAndFilesLines) {
    Cell e = create(errors::category_script, "no-value", nullptr);
    *error::field(&e, error::field_stack) = block({word("inner"), word("outer")});
    *error::field(&e, error::field_files) = block({text("main.vum")});
    services::current.stack_trace_level = [] { return 0; };
    std::string quiet = form(e);
    EXPECT_EQ(quiet.find("*** Stack"), std::string::npos);
    EXPECT_EQ(line(quiet, 3), "*** Files: \"main.vum\"");
    services::current.stack_trace_level = [] { return 2; };
    EXPECT_EQ(line(form(e), 3), "*** Stack: inner outer");
}

TEST_F(ErrorType, UnknownDesignationReportsAnInvalidError) {
    Cell e = create(errors::category_script, "no-value", nullptr);
    *error::field(&e, error::field_id) = word("no-such-id");
    EXPECT_EQ(line(form(e), 0), "*** Internal Error: invalid error: no-such-id");
    EXPECT_EQ(error_id(e), "invalid-error");
    Cell t = create(errors::category_script, "no-value", nullptr);
    *error::field(&t, error::field_type) = integer(7);
    EXPECT_EQ(line(form(t), 0), "*** Internal Error: invalid error: 7");
    EXPECT_EQ(category(t), "internal");
}

TEST_F(ErrorType, Mold) {
    Cell x = word("x");
    Cell e = create(errors::category_script, "no-value", &x);
    EXPECT_EQ(mold(e),
              "make error! [\n    code: 300\n    type: 'script\n    id: 'no-value\n    arg1: 'x\n"
              "    arg2: none\n    arg3: none\n    near: none\n    where: none\n    stack: none\n"
              "    files: none\n]");
    EXPECT_EQ(actions::mold_text(&e, false, true),
              "make error! [code: 300 type: 'script id: 'no-value arg1: 'x arg2: none arg3: none near: none "
              "where: none stack: none files: none]");
    // An error among its own arguments is written once.
    *error::field(&e, error::field_arg2) = e;
    EXPECT_NE(mold(e).find("    arg2: make error! [...]\n"), std::string::npos);
}

TEST_F(ErrorType, MoldNestedIndentsOneLevelDeeper) {
    Cell e = create(errors::category_script, "no-value", nullptr);
    Cell b = block({e});
    (series::cells_mut(b.w2))->header |= cell::flag_new_line;
    std::string text = mold(b);
    EXPECT_EQ(text.substr(0, 28), "[\n    make error! [\n        ");
    std::string end = "\n        files: none\n    ]\n]";
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
}

TEST_F(ErrorType, PathReadsAndSetsFields) {
    Cell e = make(integer(302));
    EXPECT_EQ(form(path(e, word("code"))), "302");
    EXPECT_EQ(form(path(e, word("ID"))), "not-defined");
    Cell v = text("set through a path");
    path(e, word("arg1"), &v);
    EXPECT_EQ(form(*error::field(&e, error::field_arg1)), "set through a path");
    EXPECT_EQ(error_id(caught([&] { path(e, integer(1)); })), "invalid-path");
    EXPECT_EQ(error_id(caught([&] { path(e, word("nothing-here")); })), "unset-path");
}

TEST_F(ErrorType, CompareFieldByField) {
    Cell a = make(integer(300)), b = make(integer(300)), c = make(integer(302));
    EXPECT_TRUE(actions::compare(&a, &b, actions::op_equal));
    EXPECT_FALSE(actions::compare(&a, &b, actions::op_same));
    EXPECT_TRUE(actions::compare(&a, &a, actions::op_same));
    EXPECT_FALSE(actions::compare(&a, &c, actions::op_equal));
    EXPECT_TRUE(actions::compare(&a, &c, actions::op_lesser));
    Cell one = integer(1);
    EXPECT_EQ(actions::call_compare(&a, &one, actions::op_equal), actions::not_comparable);
    Cell s1 = text("x"), s2 = text("x");
    *error::field(&a, error::field_arg1) = s1;
    *error::field(&b, error::field_arg1) = s2;
    EXPECT_TRUE(actions::compare(&a, &b, actions::op_equal));
    *error::field(&b, error::field_arg1) = integer(1);
    EXPECT_FALSE(actions::compare(&a, &b, actions::op_equal));
}

TEST_F(ErrorType, ReportSurvivesCollections) {
    // Each argument lives only in the error: a collection between making
    // and reporting must neither free nor lose it.
    Cell e = make(text("kept"));
    Cell* slot = held(e);
    for (int32_t i = 0; i < 3; i++) gc::collect();
    for (int32_t i = 0; i < 50; i++) string::from_utf8("garbage to move buffers around");
    gc::collect();
    EXPECT_EQ(line(form(*slot), 0), "*** User Error: \"kept\"");
}

TEST_F(ErrorType, RegistrationTakesObjectSlotsWhenThereAreAny) {
    EXPECT_STREQ(datatype::names[type_error].name, "error!");
    for (int32_t slot : {actions::slot_reflect, actions::slot_copy, actions::slot_select})
        EXPECT_EQ(datatype::handler(type_error, slot), datatype::handler(type_object, slot)) << slot;
    EXPECT_EQ(datatype::handler(type_error, actions::slot_find), nullptr);
    // Registering again without object! leaves those slots empty.
    error_type::init();
    if (!datatype::is_registered(type_object)) {
        EXPECT_EQ(datatype::handler(type_error, actions::slot_reflect), nullptr);
    }
}

}  // namespace

namespace {

// The catalogue that the boot image brings replaces the one made from the
// table when it has the table's shape: the same categories with the same
// number of ids, whose positions the raisers use. Anything else leaves
// the table's.
TEST_F(ErrorType, TheCatalogueFromTheBootImageStandsForTheTable) {
    Cell* file = held({type_none, 0, 0, 0});
    Cell made = error::catalogue();
    vumbin::encode_compact(&made, file);
    std::string bytes = binary::to_bytes(file);
    Cell* decoded = held(block({}));
    vumbin::set_mode(vumbin::Mode::saved);
    vumbin::decode(reinterpret_cast<const uint8_t*>(bytes.data()), int64_t(bytes.size()), decoded, true, nullptr);
    Cell image_catalogue = *series::cells_head(decoded->w2);
    ASSERT_EQ(mold(image_catalogue), mold(made));

    error::init(&image_catalogue);
    EXPECT_EQ(error::catalogue().w1, image_catalogue.w1);
    Cell x = word("x");
    EXPECT_EQ(form(create(errors::category_script, "no-value", &x)).substr(0, 32), "*** Script Error: x has no value");

    // The same with the script category short of its ids; an error
    // value; a block; nothing.
    uint32_t cats = context::make(error_catalogue::category_count, false, false, 0, context::kind_object);
    gc::ProtectNode keep_cats(&cats);
    uint32_t short_script = context::make(2, false, false, 0, context::kind_object);
    gc::ProtectNode keep_short(&short_script);
    for (int32_t c = 0; c < error_catalogue::category_count; c++) {
        Cell value = series::cells_head(context::context_cell(image_catalogue.w1)->w2)[c];
        if (c == errors::category_script) value = {type_object, short_script, 0, 0};
        context::put_word_value(cats, int32_t(context::word_at(image_catalogue.w1, c)->w2), &value);
    }
    Cell fewer_ids = {type_object, cats, 0, 0};
    for (const Cell& wrong : {fewer_ids, create(errors::category_script, "no-value", &x), block({}),
                              Cell{type_none, 0, 0, 0}}) {
        error::init(&wrong);
        EXPECT_NE(error::catalogue().w1, image_catalogue.w1);
        EXPECT_NE(error::catalogue().w1, cats);
        EXPECT_EQ(mold(error::catalogue()), mold(made));
    }
}

}  // namespace
