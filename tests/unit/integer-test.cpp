#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"

using namespace vum;

namespace {

class IntegerTest : public DatatypeTest {
protected:

    static Cell call(actions::SlotOf<actions::FrameFn> slot, const Cell& a, const Cell* b = nullptr) {
        return in_frame(a, b, [&] { actions::lookup(stack::arg(0), slot)(); });
    }
    static Cell call(actions::SlotOf<actions::FrameFn> slot, const Cell& a, const Cell& b) { return call(slot, a, &b); }

    static std::string error_of(actions::SlotOf<actions::FrameFn> slot, const Cell& a, const Cell& b) {
        return error_id(caught([&] { call(slot, a, b); }));
    }

    static Cell to_integer(const Cell& spec, actions::SlotOf<actions::MakeFn> slot = actions::slot_to) {
        Cell proto = {type_datatype, type_integer, 0, 0}, out{};
        actions::handler(type_integer, slot)(&proto, &spec, type_integer, &out);
        return out;
    }

    static Cell round(const Cell& v, const Cell* scale, bool even = false, bool down = false, bool half_down = false,
                      bool floor = false, bool ceiling = false, bool half_ceiling = false) {
        Cell out{};
        actions::lookup<actions::slot_round>(&v)(&v, scale, even, down, half_down, floor, ceiling, half_ceiling, &out);
        return out;
    }

    static void expect_integer(const Cell& c, int32_t n) {
        EXPECT_EQ(cell::type(&c), type_integer);
        EXPECT_EQ(cell::get_integer(&c), n);
    }
    static void expect_float(const Cell& c, double d) {
        EXPECT_EQ(cell::type(&c), type_float);
        EXPECT_EQ(cell::get_double(&c), d);
    }
};

TEST_F(IntegerTest, ArithmeticPromotesInsteadOfWrapping) {
    using namespace actions;
    struct Case {
        SlotOf<FrameFn> slot;
        int32_t a, b;
        bool is_float;
        double expected;
    } cases[] = {
        {slot_add, INT_MAX, 1, true, 2147483648.0},
        {slot_subtract, INT_MIN, 1, true, -2147483649.0},
        {slot_multiply, 65536, 65536, true, 4294967296.0},
        {slot_multiply, INT_MIN, -1, true, 2147483648.0},
        {slot_add, 2, 3, false, 5},
        {slot_subtract, INT_MIN, -1, false, -2147483647},
        {slot_divide, 7, 2, true, 3.5},
        {slot_divide, 6, 2, false, 3},
        {slot_divide, -7, 7, false, -1},
        {slot_remainder, 7, 2, false, 1},
        {slot_remainder, -7, 2, false, -1},
        {slot_and, 12, 10, false, 8},
        {slot_or, 12, 10, false, 14},
        {slot_xor, 12, 10, false, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " slot " << c.slot << " " << c.b);
        Cell r = call(c.slot, integer(c.a), integer(c.b));
        if (c.is_float) expect_float(r, c.expected);
        else expect_integer(r, int32_t(c.expected));
    }
}

TEST_F(IntegerTest, OtherOperandTypes) {
    using namespace actions;
    expect_float(call(slot_add, integer(1), real(0.5)), 1.5);
    Cell ch = {type_char, 0, 'a', 0};
    expect_integer(call(slot_add, integer(1), ch), 98);
    Cell t = call(slot_multiply, integer(2), typed(type_time, 1800));
    EXPECT_EQ(cell::type(&t), type_time);
    EXPECT_EQ(cell::get_double(&t), 3600.0);
    Cell none = core_types::none_cell;
    EXPECT_EQ(error_of(slot_add, integer(1), none), "invalid-type");
    EXPECT_EQ(error_of(slot_and, integer(1), real(1.0)), "cannot-use");
}

TEST_F(IntegerTest, MathErrors) {
    using namespace actions;
    Cell e = caught([&] { call(slot_divide, integer(1), integer(0)); });
    EXPECT_EQ(error_id(e), "zero-divide");
    EXPECT_NE(error::form_report(&e).find("attempt to divide by zero"), std::string::npos);
    EXPECT_EQ(error_of(slot_remainder, integer(1), integer(0)), "zero-divide");
    // The one whole quotient beyond 32 bits, and its remainder, do not
    // promote as a sum does.
    EXPECT_EQ(error_of(slot_divide, integer(INT_MIN), integer(-1)), "overflow");
    EXPECT_EQ(error_of(slot_remainder, integer(INT_MIN), integer(-1)), "overflow");
    expect_integer(call(slot_remainder, integer(INT_MIN), integer(1)), 0);
    EXPECT_EQ(error_id(caught([&] { call(slot_negate, integer(INT_MIN)); })), "overflow");
    EXPECT_EQ(error_id(caught([&] { call(slot_absolute, integer(INT_MIN)); })), "overflow");
    expect_integer(call(slot_negate, integer(INT_MAX)), -INT_MAX);
    expect_integer(call(slot_absolute, integer(-5)), 5);
}

// Every result must be the exact one: an integer! when it fits, else the
// float! nearest to it; a division that is not whole gives the float!
// nearest to the quotient. The expectations come from 64-bit arithmetic.
TEST_F(IntegerTest, AgreesWithExactArithmeticOnRandomPairs) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int32_t> any(INT_MIN, INT_MAX);
    std::uniform_int_distribution<int32_t> small(-3000, 3000);
    auto draw = [&](int kind) {
        switch (kind) {
            case 0: return any(rng);
            case 1: return small(rng);
            case 2: return INT_MAX - (small(rng) & 7);
            default: return INT_MIN + (small(rng) & 7);
        }
    };
    std::vector<std::pair<int32_t, int32_t>> pairs = {{INT_MIN, -1}, {INT_MIN, 1}, {INT_MAX, -1}, {0, 0},
                                                      {INT_MIN, INT_MIN}, {-1, 0}};
    for (int i = 0; i < 4000; i++) {
        int32_t a = draw(i % 4), b = draw((i / 4) % 4);
        pairs.push_back({a, b});
        // Whole quotients, which random pairs rarely give.
        if (b != 0 && std::llabs(int64_t(a / b) * b) <= INT_MAX) pairs.push_back({int32_t(a / b * b), b});
    }
    using namespace actions;
    int32_t mismatches = 0;
    for (auto [a, b] : pairs) {
        int64_t x = a, y = b;
        struct Expect {
            SlotOf<FrameFn> slot;
            const char* error;
            bool is_integer;
            double value;
        };
        auto exact = [](SlotOf<FrameFn> slot, int64_t v) {
            return Expect{slot, nullptr, v >= INT_MIN && v <= INT_MAX, double(v)};
        };
        Expect expects[4] = {exact(slot_add, x + y), exact(slot_subtract, x - y), exact(slot_multiply, x * y),
                             {slot_divide, nullptr, false, 0}};
        if (y == 0) expects[3] = {slot_divide, "zero-divide", false, 0};
        else if (x == INT_MIN && y == -1) expects[3] = {slot_divide, "overflow", false, 0};
        else if (x % y == 0) expects[3] = exact(slot_divide, x / y);
        else expects[3].value = double(x) / double(y);
        for (const Expect& want : expects) {
            Cell got{};
            Cell e = caught([&] { got = call(want.slot, integer(a), integer(b)); });
            bool ok;
            if (want.error) ok = error_id(e) == want.error;
            else if (want.is_integer) ok = cell::type(&got) == type_integer && cell::get_integer(&got) == want.value;
            else ok = cell::type(&got) == type_float && cell::get_double(&got) == want.value;
            if (!ok && ++mismatches < 10) ADD_FAILURE() << a << " slot " << want.slot << " " << b;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(IntegerTest, ToAndMake) {
    auto text = [](const char* s) { return string::from_utf8(s); };
    uint32_t bytes = memory::alloc_bytes(8);
    gc::ProtectNode keep_bytes(&bytes);
    const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    std::memcpy(series::alloc_tail_bytes(bytes, 5), data, 5);
    Cell five = {type_binary, 0, bytes, 0}, last_byte = {type_binary, 4, bytes, 0};
    struct Case {
        Cell spec;
        const char* error;
        int32_t expected;
    } cases[] = {
        {real(-2.7), nullptr, -2},
        {real(2147483647.0), nullptr, INT_MAX},
        {real(2147483648.0), "type-limit", 0},
        {real(-2147483649.0), "type-limit", 0},
        {real(std::nan("")), "type-limit", 0},
        {typed(type_time, 1.5), nullptr, 2},
        {typed(type_time, -1.5), nullptr, -1},
        {typed(type_time, 1e12), "type-limit", 0},
        {{type_char, 0, 0x263A, 0}, nullptr, 0x263A},
        {five, nullptr, 0x01020304},
        {last_byte, nullptr, 5},
        {{type_issue, 0, uint32_t(symbols::make("fF")), 0}, nullptr, 255},
        {{type_issue, 0, uint32_t(symbols::make("FFFFFFFF")), 0}, nullptr, -1},
        {{type_issue, 0, uint32_t(symbols::make("123456789")), 0}, "invalid-data", 0},
        {{type_issue, 0, uint32_t(symbols::make("12G")), 0}, "invalid-data", 0},
        // A letter beyond ASCII is not a digit, whatever its low bits.
        {{type_issue, 0, uint32_t(symbols::make("\xC3\x81")), 0}, "invalid-data", 0},
        {core_types::none_cell, "bad-to-arg", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        Cell out{};
        Cell e = caught([&] { out = to_integer(c.spec); });
        if (c.error) {
            EXPECT_EQ(error_id(e), c.error);
        } else {
            EXPECT_EQ(cell::type(&e), type_none);
            expect_integer(out, c.expected);
        }
    }
    struct TextCase {
        const char* text;
        const char* error;
        int32_t expected;
    } texts[] = {
        {"12'345", nullptr, 12345},   {"-2147483648", nullptr, INT_MIN}, {"+7", nullptr, 7},
        {"2147483648", "bad-to-arg", 0}, {"abc", "bad-to-arg", 0},        {"", "bad-to-arg", 0},
        {"12x", "bad-to-arg", 0},      {"-", "bad-to-arg", 0},
    };
    for (const TextCase& c : texts) {
        SCOPED_TRACE(c.text);
        gc::Local s(text(c.text));
        Cell out{};
        Cell e = caught([&] { out = to_integer(s); });
        if (c.error) EXPECT_EQ(error_id(e), c.error);
        else expect_integer(out, c.expected);
    }
    Cell yes = {type_logic, 1, 0, 0};
    expect_integer(to_integer(yes, actions::slot_make), 1);
    EXPECT_EQ(error_id(caught([&] { to_integer(yes, actions::slot_to); })), "bad-to-arg");
}

TEST_F(IntegerTest, Power) {
    using namespace actions;
    expect_float(call(slot_power, integer(2), integer(31)), 2147483648.0);
    expect_integer(call(slot_power, integer(2), integer(30)), 1073741824);
    expect_integer(call(slot_power, integer(-2), integer(31)), INT_MIN);
    expect_integer(call(slot_power, integer(7), integer(0)), 1);
    expect_float(call(slot_power, integer(2), integer(-1)), 0.5);
    expect_float(call(slot_power, integer(4), real(0.5)), 2.0);
    expect_float(call(slot_power, integer(10), integer(20)), 1e20);
    EXPECT_EQ(error_of(slot_power, integer(2), core_types::none_cell), "expect-arg");
}

TEST_F(IntegerTest, RoundToAScale) {
    struct Case {
        int32_t value, scale;
        const char* mode;
        const char* error;
        int32_t expected;
    } cases[] = {
        {17, 5, "", nullptr, 15},
        {18, 5, "", nullptr, 20},
        {-15, 10, "", nullptr, -20},
        {25, 10, "even", nullptr, 20},
        {35, 10, "even", nullptr, 40},
        {25, 10, "half-down", nullptr, 20},
        {-25, 10, "half-ceiling", nullptr, -20},
        {-11, 10, "floor", nullptr, -20},
        {-11, 10, "ceiling", nullptr, -10},
        {-19, 10, "down", nullptr, -10},
        {7, 0, "", nullptr, 7},
        {7, -5, "", nullptr, 5},
        {INT_MIN, 1, "", nullptr, INT_MIN},
        // Only a result beyond 32 bits overflows: rounding down near the
        // limits is fine, and -2147483648 rounds like any other value.
        {INT_MAX, 10, "floor", nullptr, 2147483640},
        {INT_MAX, 10, "", "overflow", 0},
        {INT_MIN, 10, "down", nullptr, -2147483640},
        {INT_MIN, 10, "", "overflow", 0},
        {5, INT_MIN, "", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " " << c.scale << " " << c.mode);
        std::string m = c.mode;
        Cell v = integer(c.value), s = integer(c.scale), out{};
        Cell e = caught([&] {
            out = round(v, &s, m == "even", m == "down", m == "half-down", m == "floor", m == "ceiling",
                        m == "half-ceiling");
        });
        if (c.error) EXPECT_EQ(error_id(e), c.error);
        else expect_integer(out, c.expected);
    }
    Cell v = integer(7), quarter = real(2.5);
    expect_float(round(v, &quarter), 7.5);
    expect_integer(round(v, nullptr), 7);
    Cell money = {type_money, 0, 0, 0};
    EXPECT_EQ(error_id(caught([&] { round(v, &money); })), "not-related");
}

TEST_F(IntegerTest, CompareFormAndPredicates) {
    using namespace actions;
    Cell one = integer(1), one_f = real(1.0), two = integer(2), none = core_types::none_cell;
    Cell a = {type_char, 0, 'a', 0}, ninety_seven = integer(97);
    EXPECT_TRUE(compare(&one, &one_f, op_equal));
    EXPECT_FALSE(compare(&one, &one_f, op_strict_equal));
    EXPECT_FALSE(compare(&one, &one_f, op_same));
    EXPECT_TRUE(compare(&one, &two, op_lesser));
    EXPECT_TRUE(compare(&two, &one_f, op_greater));
    EXPECT_TRUE(compare(&ninety_seven, &a, op_equal));
    EXPECT_EQ(call_compare(&one, &none, op_equal), not_comparable);

    struct FormCase {
        int32_t n;
        const char* text;
    } forms[] = {{INT_MIN, "-2147483648"}, {0, "0"}, {INT_MAX, "2147483647"}, {-45, "-45"}};
    for (const FormCase& c : forms) {
        Cell v = integer(c.n);
        EXPECT_EQ(form(v), c.text);
        EXPECT_EQ(mold(v), c.text);
    }
    // A part limit stops the text where it runs out.
    Cell big = integer(123456);
    uint32_t buffer = string::make(8);
    gc::ProtectNode keep(&buffer);
    EXPECT_EQ(call_form(&big, buffer, true, 4), 0);
    EXPECT_EQ(string::node_to_utf8(buffer), "1234");

    auto even = lookup<slot_even_q>(&one);
    auto odd = lookup<slot_odd_q>(&one);
    Cell minus_three = integer(-3), zero = integer(0);
    EXPECT_TRUE(odd(&minus_three));
    EXPECT_FALSE(even(&minus_three));
    EXPECT_TRUE(even(&zero));
    Cell out{};
    lookup<slot_complement>(&one)(&zero, &out);
    expect_integer(out, -1);
}

TEST_F(IntegerTest, RandomStaysInRangeAndRepeatsFromASeed) {
    Cell one = integer(1);
    auto random = actions::lookup<actions::slot_random>(&one);
    auto draws = [&](int32_t seed) {
        Cell s = integer(seed), out{};
        random(&s, true, false, false, &out);
        EXPECT_EQ(cell::type(&out), type_unset);
        std::vector<int32_t> seen;
        for (int i = 0; i < 200; i++) {
            Cell v = integer(i % 2 ? 6 : -6);
            random(&v, false, false, false, &out);
            seen.push_back(cell::get_integer(&out));
        }
        return seen;
    };
    std::vector<int32_t> first = draws(42);
    EXPECT_EQ(first, draws(42));
    for (size_t i = 0; i < first.size(); i++) {
        int32_t n = first[i];
        if (i % 2) EXPECT_TRUE(n >= 1 && n <= 6) << n;
        else EXPECT_TRUE(n >= -6 && n <= -1) << n;
    }
    Cell zero = integer(0), out{};
    random(&zero, false, true, false, &out);
    expect_integer(out, 0);
}

// Digits are written where they go, sized beforehand: every count of digits,
// each side of every power of ten, and both extremes, against the library.
TEST(IntegerDecimal, WritesExactlyItsSizeAtEveryDigitCount) {
    std::vector<int32_t> values = {0, INT_MAX, INT_MIN, INT_MIN + 1};
    for (int64_t p = 1; p <= 1000000000; p *= 10) {
        for (int64_t v : {p - 1, p, p + 1}) {
            values.push_back(int32_t(v));
            values.push_back(int32_t(-v));
        }
    }
    for (int32_t n : values) {
        std::string want = std::to_string(n);
        char out[integer_type::max_decimal_size + 1];
        std::memset(out, '#', sizeof out);
        int32_t size = integer_type::write_decimal(n, out);
        EXPECT_EQ(size, int32_t(want.size())) << n;
        EXPECT_EQ(integer_type::decimal_size(n), size) << n;
        EXPECT_EQ(std::string(out, size_t(size)), want);
        EXPECT_EQ(out[size], '#') << n << ": written past its size";
        integer_type::Decimal d(n);
        EXPECT_EQ(std::string(d.data(), size_t(d.size())), want);
    }
}

}  // namespace
