#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

#include "datatype-fixture.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"

using namespace vum;

namespace {

class FloatTest : public DatatypeTest {
protected:
    void TearDown() override {
        float_type::pretty = false;
        DatatypeTest::TearDown();
    }
    // percent! will share float!'s handlers: until it registers, its values
    // go to float!'s.
    static Cell call(actions::SlotOf<actions::FrameFn> slot, const Cell& a, const Cell* b = nullptr) {
        return in_frame(a, b, [&] {
            uint8_t t = datatype::is_registered(cell::type(&a)) ? cell::type(&a) : uint8_t(type_float);
            actions::lookup(t, &a, slot)();
        });
    }
    static Cell call(actions::SlotOf<actions::FrameFn> slot, const Cell& a, const Cell& b) { return call(slot, a, &b); }
    // The shared kernel, for operand types whose own datatype is not at hand.
    static Cell math(int32_t op, const Cell& a, const Cell& b) {
        return in_frame(a, &b, [&] { float_type::do_math(op); });
    }
    static Cell to_float(const Cell& spec) {
        Cell proto = {type_datatype, type_float, 0, 0}, out{};
        actions::handler<actions::slot_to>(type_float)(&proto, &spec, type_float, &out);
        return out;
    }
    static Cell round(const Cell& v, const Cell* scale, const std::string& m = "") {
        Cell out{};
        actions::lookup<actions::slot_round>(&v)(&v, scale, m == "even", m == "down",
                                                 m == "half-down", m == "floor", m == "ceiling",
                                                 m == "half-ceiling", &out);
        return out;
    }
    static bool sign_bit(const Cell& c) { return std::signbit(cell::get_double(&c)); }
};

TEST_F(FloatTest, FormAndMold) {
    Cell sum = call(actions::slot_add, real(0.1), real(0.2));
    Cell nan = call(actions::slot_divide, real(0.0), real(0.0));
    struct Case {
        double value;
        const char* form;
        const char* mold;
    } cases[] = {
        {1.0, "1.0", "1.0"},
        {1e20, "1.0e20", "1.0e20"},
        {1e-7, "1.0e-7", "0.0000001"},
        {1e-8, "1.0e-8", "1.0e-8"},
        {cell::get_double(&sum), "0.3", "0.30000000000000004"},
        {123.456, "123.456", "123.456"},
        {-0.5, "-0.5", "-0.5"},
        {1.5e300, "1.5e300", "1.5e300"},
        {2.5e-300, "2.5e-300", "2.5e-300"},
        {1.0 / 3, "0.3333333333333333", "0.3333333333333333"},
        {HUGE_VAL, "1.#INF", "1.#INF"},
        {-HUGE_VAL, "-1.#INF", "-1.#INF"},
        {cell::get_double(&nan), "1.#NaN", "1.#NaN"},
        {-std::nan(""), "1.#NaN", "1.#NaN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mold);
        Cell v = real(c.value);
        EXPECT_EQ(form(v), c.form);
        EXPECT_EQ(mold(v), c.mold);
    }
}

TEST_F(FloatTest, TextKindsAndThePrettySwitch) {
    using namespace float_type;
    EXPECT_STREQ(to_text(50.0, kind_percent), "50%");
    EXPECT_STREQ(to_text(0.1234567891, kind_float32), "0.1234568");
    EXPECT_STREQ(to_text(2.0, kind_point), "2");
    EXPECT_STREQ(to_text(2.5, kind_seconds), "2.5");
    EXPECT_STREQ(to_text(3.0, kind_seconds), "3");
    EXPECT_STREQ(to_text(1e-17, kind_double), "1.0e-17");
    pretty = true;
    EXPECT_STREQ(to_text(1e-17, kind_double), "0.0");
    EXPECT_STREQ(to_text(1e-17, kind_percent), "0%");
    EXPECT_STREQ(to_text(1e-17, kind_point), "0");
    // Binary noise at the end of a sixteen-digit text is tidied away.
    EXPECT_STREQ(to_text(1.000000000000001, kind_double), "1.0");
    EXPECT_STREQ(to_text(0.1234567890123499, kind_double), "0.12345678901235");
    EXPECT_STREQ(to_text(1.000000000000002, kind_double), "1.000000000000002");
    pretty = false;
    EXPECT_STREQ(to_text(1.000000000000001, kind_double), "1.000000000000001");
}

TEST_F(FloatTest, ArithmeticNeverTraps) {
    using namespace actions;
    struct Case {
        actions::SlotOf<actions::FrameFn> slot;
        double a, b, expected;
    } cases[] = {
        {slot_divide, 1.0, 0.0, HUGE_VAL},
        {slot_divide, -1.0, 0.0, -HUGE_VAL},
        {slot_remainder, 5.5, 2.0, 1.5},
        {slot_remainder, -5.5, 2.0, -1.5},
        {slot_remainder, 3.0, HUGE_VAL, 3.0},
        {slot_multiply, 1e300, 1e300, HUGE_VAL},
        {slot_subtract, 0.5, 1.0, -0.5},
    };
    for (const Case& c : cases) {
        Cell r = call(c.slot, real(c.a), real(c.b));
        EXPECT_EQ(cell::type(&r), type_float);
        EXPECT_EQ(cell::get_double(&r), c.expected) << c.a << " slot " << c.slot << " " << c.b;
    }
    Cell nan_cases[] = {call(slot_remainder, real(1.0), real(0.0)), call(slot_remainder, real(HUGE_VAL), real(HUGE_VAL)),
                        call(slot_remainder, real(1.0), real(std::nan(""))), call(slot_add, real(1.0), real(std::nan("")))};
    for (const Cell& r : nan_cases) EXPECT_TRUE(std::isnan(cell::get_double(&r)));
    EXPECT_EQ(error_id(caught([&] { call(slot_add, real(1), core_types::none_cell); })), "invalid-type");
    Cell ch = {type_char, 0, 'a', 0};
    Cell with_char = call(slot_add, real(0.5), ch);
    EXPECT_EQ(cell::get_double(&with_char), 97.5);
    Cell percent = typed(type_percent, 0.5);
    EXPECT_EQ(error_id(caught([&] { math(integer_type::math_add, percent, ch); })), "invalid-type");
    EXPECT_EQ(error_id(caught([&] { call(slot_and, real(1), real(1)); })), "expect-arg");
    EXPECT_EQ(error_id(caught([&] { math(integer_type::math_and, real(1), real(1)); })), "cannot-use");
}

TEST_F(FloatTest, ResultTypesFollowTheOperands) {
    using namespace actions;
    struct Case {
        Cell a, b;
        uint8_t type;
    } cases[] = {
        {real(1), typed(type_percent, 0.5), type_float},
        {typed(type_percent, 0.5), real(1), type_percent},
        {typed(type_percent, 0.5), typed(type_percent, 0.5), type_percent},
        {typed(type_percent, 0.5), typed(type_time, 1), type_time},
        {real(1), typed(type_time, 1), type_time},
        {typed(type_time, 1), typed(type_time, 1), type_time},
        {integer(1), real(1), type_float},
    };
    for (const Case& c : cases) {
        Cell r = math(integer_type::math_add, c.a, c.b);
        EXPECT_EQ(cell::type(&r), c.type) << mold(c.a) << " + " << mold(c.b);
    }
}

TEST_F(FloatTest, ToleranceAndOrdering) {
    using namespace actions;
    Cell sum = call(slot_add, real(0.1), real(0.2)), third = real(0.3);
    EXPECT_TRUE(compare(&sum, &third, op_equal));
    EXPECT_FALSE(compare(&sum, &third, op_not_equal));
    EXPECT_FALSE(compare(&sum, &third, op_strict_equal));
    EXPECT_TRUE(compare(&sum, &third, op_greater));
    Cell nan = real(std::nan("")), one = real(1.0), one_i = integer(1);
    for (int32_t op : {op_lesser, op_lesser_equal, op_greater, op_greater_equal, op_equal, op_strict_equal}) {
        EXPECT_FALSE(compare(&nan, &one, op)) << op;
        EXPECT_FALSE(compare(&one, &nan, op)) << op;
    }
    EXPECT_FALSE(compare(&nan, &nan, op_equal));
    EXPECT_FALSE(compare(&nan, &one, op_find));
    // Sorting gets a total order: NaN after every number.
    EXPECT_GT(call_compare(&nan, &one, op_sort), 0);
    EXPECT_LT(call_compare(&one, &nan, op_sort), 0);
    EXPECT_EQ(call_compare(&nan, &nan, op_sort), 0);
    EXPECT_TRUE(compare(&one, &one_i, op_equal));
    EXPECT_FALSE(compare(&one, &one_i, op_strict_equal));
    Cell zero = real(0.0), minus_zero = real(-0.0);
    EXPECT_TRUE(compare(&zero, &minus_zero, op_strict_equal));
    EXPECT_FALSE(compare(&zero, &minus_zero, op_same));
    Cell time = typed(type_time, 1.0);
    EXPECT_TRUE(compare(&one, &time, op_equal));
    EXPECT_FALSE(compare(&one, &time, op_strict_equal));
    Cell none = core_types::none_cell;
    EXPECT_EQ(call_compare(&one, &none, op_equal), not_comparable);

    using float_type::almost_equal;
    EXPECT_TRUE(almost_equal(1.0, std::nextafter(std::nextafter(1.0, 2.0), 2.0)));
    EXPECT_FALSE(almost_equal(1.0, 1.0 + 1e-13));
    EXPECT_TRUE(almost_equal(1e-17, 2e-17));
    EXPECT_TRUE(almost_equal(-0.0, 0.0));
    // Infinity sits one step from the largest double in bits, not in value.
    EXPECT_FALSE(almost_equal(HUGE_VAL, DBL_MAX));
    EXPECT_TRUE(almost_equal(HUGE_VAL, HUGE_VAL));
    using float_type::almost_equal32;
    EXPECT_TRUE(almost_equal32(1.0f, std::nextafter(1.0f, 2.0f)));
    EXPECT_FALSE(almost_equal32(1.0f, 1.001f));
    EXPECT_TRUE(almost_equal32(FLT_MAX, HUGE_VALF));
    EXPECT_FALSE(almost_equal32(FLT_MAX, -HUGE_VALF));
    EXPECT_FALSE(almost_equal32(std::nanf(""), std::nanf("")));
}

TEST_F(FloatTest, ToFloat) {
    uint32_t block = memory::alloc_cells(4);
    gc::ProtectNode keep_block(&block);
    cell::make_integer(series::alloc_tail_cell(block), 15);
    cell::make_integer(series::alloc_tail_cell(block), -1);
    Cell pair = {type_block, 0, block, 0};
    Cell from_second = {type_block, 1, block, 0};
    uint32_t bytes = memory::alloc_bytes(8);
    gc::ProtectNode keep_bytes(&bytes);
    const uint8_t one[] = {0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xFF};
    std::memcpy(series::alloc_tail_bytes(bytes, 9), one, 9);
    Cell binary = {type_binary, 0, bytes, 0};
    struct Case {
        Cell spec;
        const char* error;
        double expected;
    } cases[] = {
        {pair, nullptr, 1.5},
        {from_second, "bad-to-arg", 0},
        {binary, nullptr, 1.0},
        {typed(type_time, 90), nullptr, 90.0},
        {typed(type_percent, 0.25), nullptr, 0.25},
        {integer(-3), nullptr, -3.0},
        {{type_char, 0, 'A', 0}, nullptr, 65.0},
        {core_types::true_cell, "bad-to-arg", 0},
    };
    for (const Case& c : cases) {
        Cell out{};
        Cell e = caught([&] { out = to_float(c.spec); });
        if (c.error) {
            EXPECT_EQ(error_id(e), c.error);
        } else {
            EXPECT_EQ(cell::type(&out), type_float);
            EXPECT_EQ(cell::get_double(&out), c.expected);
        }
    }
    struct TextCase {
        const char* text;
        const char* error;
        double expected;
    } texts[] = {
        {"1,5", nullptr, 1.5},     {"1'000.25", nullptr, 1000.25}, {"-2e3", nullptr, -2000.0},
        {"", "bad-to-arg", 0},     {"abc", "bad-to-arg", 0},       {"1.5x", "bad-to-arg", 0},
        {".", "bad-to-arg", 0},
    };
    for (const TextCase& c : texts) {
        SCOPED_TRACE(c.text);
        gc::Local s(string::from_utf8(c.text));
        Cell out{};
        Cell e = caught([&] { out = to_float(s); });
        if (c.error) EXPECT_EQ(error_id(e), c.error);
        else EXPECT_EQ(cell::get_double(&out), c.expected);
    }
}

TEST_F(FloatTest, Round) {
    struct Case {
        double value;
        const char* mode;
        double expected;
    } cases[] = {
        {2.5, "", 3.0},          {-2.5, "", -3.0},          {2.5, "even", 2.0},     {3.5, "even", 4.0},
        {-2.7, "down", -2.0},    {-2.5, "floor", -3.0},     {2.5, "ceiling", 3.0},  {-2.5, "half-ceiling", -2.0},
        {2.5, "half-down", 2.0}, {2.4, "", 2.0},            {2.6, "half-down", 3.0}, {1e300, "", 1e300},
    };
    for (const Case& c : cases) {
        Cell r = round(real(c.value), nullptr, c.mode);
        EXPECT_EQ(cell::type(&r), type_float);
        EXPECT_EQ(cell::get_double(&r), c.expected) << c.value << " " << c.mode;
    }
    Cell cent = real(0.01), two = integer(2), zero = real(0.0);
    Cell r = round(real(1.2345), &cent);
    EXPECT_EQ(cell::get_double(&r), 1.23);
    r = round(real(7.3), &two);
    EXPECT_EQ(cell::type(&r), type_integer);
    EXPECT_EQ(cell::get_integer(&r), 8);
    EXPECT_EQ(error_id(caught([&] { round(real(1e20), &two); })), "overflow");
    EXPECT_EQ(error_id(caught([&] { round(real(std::nan("")), &two); })), "overflow");
    // A scale of zero rounds nothing (rather than making NaN of 0.0).
    r = round(real(0.0), &zero);
    EXPECT_EQ(cell::get_double(&r), 0.0);
    // A subnormal scale has no finite inverse: the rounding still works.
    double tiny = std::numeric_limits<double>::denorm_min();
    Cell scale = real(2 * tiny);
    r = round(real(7 * tiny), &scale);
    EXPECT_EQ(cell::get_double(&r), 8 * tiny);
    Cell money = {type_money, 0, 0, 0};
    EXPECT_EQ(error_id(caught([&] { round(real(1), &money); })), "not-related");
    Cell percent_scale = typed(type_percent, 0.5);
    r = round(real(1.3), &percent_scale);
    EXPECT_EQ(cell::type(&r), type_percent);
    EXPECT_EQ(cell::get_double(&r), 1.5);
}

TEST_F(FloatTest, UnaryActionsAndPredicates) {
    using namespace actions;
    Cell r = call(slot_negate, real(0.0));
    EXPECT_FALSE(sign_bit(r));
    r = call(slot_negate, real(2.5));
    EXPECT_EQ(cell::get_double(&r), -2.5);
    r = call(slot_absolute, real(-0.0));
    EXPECT_FALSE(sign_bit(r));
    r = call(slot_absolute, typed(type_percent, -0.5));
    EXPECT_EQ(cell::type(&r), type_percent);
    EXPECT_EQ(cell::get_double(&r), 0.5);

    Cell probe = real(0);
    auto even = lookup<slot_even_q>(&probe);
    auto odd = lookup<slot_odd_q>(&probe);
    struct Case {
        double value;
        bool even, odd;
    } cases[] = {
        {2.7, true, false}, {-3.2, false, true}, {0.0, true, false}, {1e20, true, false},
        {4294967297.0, false, true}, {HUGE_VAL, false, false}, {std::nan(""), false, false},
    };
    for (const Case& c : cases) {
        Cell v = real(c.value);
        EXPECT_EQ(even(&v), c.even) << c.value;
        EXPECT_EQ(odd(&v), c.odd) << c.value;
    }

    r = call(slot_power, real(2.0), real(0.5));
    EXPECT_EQ(cell::get_double(&r), std::sqrt(2.0));
    r = call(slot_power, real(2.0), integer(10));
    EXPECT_EQ(cell::get_double(&r), 1024.0);
    EXPECT_EQ(error_id(caught([&] { call(slot_power, real(2.0), core_types::true_cell); })), "expect-arg");
}

TEST_F(FloatTest, RandomAndTruncation) {
    Cell probe = real(0);
    auto random = actions::lookup<actions::slot_random>(&probe);
    for (bool secure : {false, true}) {
        for (int i = 0; i < 100; i++) {
            Cell v = real(-2.5), out{};
            random(&v, false, secure, false, &out);
            double x = cell::get_double(&out);
            EXPECT_TRUE(x <= 0.0 && x >= -2.5) << x;
        }
    }
    Cell seed = real(1.5), out{};
    random(&seed, true, false, false, &out);
    EXPECT_EQ(cell::type(&out), type_unset);
    using float_type::truncate_to_integer;
    EXPECT_EQ(truncate_to_integer(2.4), 2);
    EXPECT_EQ(truncate_to_integer(-2.6), -2);
    EXPECT_EQ(truncate_to_integer(2.6), 3);
    EXPECT_EQ(truncate_to_integer(1e20), INT_MAX);
    EXPECT_EQ(truncate_to_integer(-1e20), INT_MIN);
    EXPECT_EQ(truncate_to_integer(std::nan("")), 0);
}

}  // namespace
