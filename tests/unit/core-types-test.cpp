#include <gtest/gtest.h>

#include <cmath>

#include "datatype-fixture.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"

using namespace vum;

namespace {

using CoreTypes = DatatypeTest;

Cell datatype_of(uint8_t t) { return {type_datatype, t, 0, 0}; }

TEST_F(CoreTypes, FormAndMoldOfTheSmallTypes) {
    struct Case {
        Cell value;
        const char* form;
        const char* mold;
        const char* mold_all;
    } cases[] = {
        {core_types::unset_cell, "", "unset", "#(unset)"},
        {core_types::none_cell, "none", "none", "#(none)"},
        {core_types::true_cell, "true", "true", "#(true)"},
        {core_types::false_cell, "false", "false", "#(false)"},
        {datatype_of(type_logic), "logic", "logic!", "#(logic!)"},
        {datatype_of(type_none), "none", "none!", "#(none!)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(form(c.value), c.form);
        EXPECT_EQ(mold(c.value), c.mold);
        EXPECT_EQ(actions::mold_text(&c.value, true), c.mold_all);
    }
}

TEST_F(CoreTypes, ComparisonsOfTheSmallTypes) {
    Cell none = core_types::none_cell, t = core_types::true_cell, f = core_types::false_cell;
    EXPECT_EQ(actions::call_compare(&none, &none, actions::op_sort), 0);
    EXPECT_EQ(actions::call_compare(&none, &t, actions::op_equal), actions::not_comparable);
    EXPECT_FALSE(actions::compare(&none, &t, actions::op_equal));
    EXPECT_TRUE(actions::compare(&none, &t, actions::op_not_equal));
    EXPECT_LT(actions::call_compare(&f, &t, actions::op_sort), 0);  // false sorts first
    Cell e = caught([&] { actions::compare(&none, &t, actions::op_lesser); });
    EXPECT_EQ(error_id(e), "invalid-compare");
    Cell a = datatype_of(type_logic), b = datatype_of(type_logic), c = datatype_of(type_none);
    EXPECT_TRUE(actions::compare(&a, &b, actions::op_equal));
    EXPECT_FALSE(actions::compare(&a, &c, actions::op_equal));
}

TEST_F(CoreTypes, MakeAndToLogic) {
    auto make = [](const Cell& spec) {
        Cell proto = datatype_of(type_logic), out;
        actions::handler<actions::slot_make>(type_logic)(&proto, &spec, type_logic, &out);
        return out.w1;
    };
    auto to = [](const Cell& spec) {
        Cell proto = datatype_of(type_logic), out;
        actions::handler<actions::slot_to>(type_logic)(&proto, &spec, type_logic, &out);
        return out.w1;
    };
    Cell zero, one, fzero, nan, none = core_types::none_cell;
    cell::make_integer(&zero, 0);
    cell::make_integer(&one, 1);
    cell::make_float(&fzero, 0.0);
    cell::make_float(&nan, std::nan(""));
    EXPECT_EQ(make(zero), 0u);
    EXPECT_EQ(make(one), 1u);
    EXPECT_EQ(make(fzero), 0u);
    EXPECT_EQ(make(nan), 1u);
    EXPECT_EQ(to(none), 0u);
    EXPECT_EQ(to(zero), 1u);
}

TEST_F(CoreTypes, LogicOperatorsNeedALogic) {
    Cell w = context::load_word("and~");
    Cell e = caught([&] {
        stack::push_native_frame(&w);
        *stack::push_cell() = core_types::true_cell;
        *stack::push_cell() = core_types::false_cell;
        actions::lookup<actions::slot_and>(stack::arg(0))();
        EXPECT_EQ(stack::arg(0)->w1, 0u);
        actions::lookup<actions::slot_or>(stack::arg(0))();
        EXPECT_EQ(stack::arg(0)->w1, 0u);
        *stack::arg(1) = core_types::none_cell;
        actions::lookup<actions::slot_xor>(stack::arg(0))();
    });
    EXPECT_EQ(error_id(e), "expect-arg");
    EXPECT_EQ(error::field(&e, error::field_arg2)->w1, uint32_t(type_none));
}

TEST_F(CoreTypes, UnsupportedActionNamesTheActionAndType) {
    Cell none = core_types::none_cell;
    Cell e = caught([&] { actions::lookup<actions::slot_add>(&none); });
    EXPECT_EQ(error_id(e), "expect-arg");
    EXPECT_STREQ(symbols::text(int32_t(error::field(&e, error::field_arg1)->w2)), "add");
    EXPECT_EQ(error::field(&e, error::field_arg2)->w1, uint32_t(type_none));
    EXPECT_EQ(actions::handler<actions::slot_length_q>(type_none)(&none), -1);
}

TEST_F(CoreTypes, InheritanceIsCopiedAtRegistration) {
    // A child of none! registered now copies none!'s row; a later change to
    // the parent does not reach it.
    actions::Row child(55, "test-child!", type_none);
    child.inherit_all().without<actions::slot_form>();  // 0: unsupported, not inherited
    datatype::register_type(child);
    EXPECT_EQ(datatype::handler(55, actions::slot_mold), datatype::handler(type_none, actions::slot_mold));
    EXPECT_EQ(datatype::handler(55, actions::slot_form), nullptr);
    EXPECT_EQ(datatype::handler(55, actions::slot_add), nullptr);  // none! holds 0 there
    EXPECT_EQ(datatype::max_type_id >= 55, true);
    EXPECT_EQ(datatype::names[55].length, 10);
}

TEST_F(CoreTypes, WrongSlotCountEndsTheProcess) {
    actions::Row r(55, "bad!");
    EXPECT_EXIT(datatype::register_type(datatype::record_words - 1, r), testing::ExitedWithCode(0), "");
}

}  // namespace
