// money!'s cell layout (which the lexer and the serialised form share), the
// currency list's growth rules, the money-digits setting, and the
// conversions other modules call directly.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "datatype-fixture.h"
#include "datatypes/money-currencies.h"
#include "datatypes/money-math.h"
#include "datatypes/money.h"
#include "engine/lexer.h"
#include "memory/series.h"

using namespace vum;

namespace {

class MoneyTest : public DatatypeTest {
protected:
    void TearDown() override {
        partial_services::fill();
        money_type::currencies::reset();
        DatatypeTest::TearDown();
    }
    static Cell first_loaded(const char* text) {
        gc::Local loaded({type_none, 0, 0, 0});
        lexer::load_utf8(text, int32_t(std::strlen(text)), &loaded);
        return series::cells_head(loaded.w2)[0];
    }
    static Cell money(const char* text) {
        Cell c = first_loaded(text);
        EXPECT_EQ(cell::type(&c), type_money) << text;
        return c;
    }
    static const uint8_t* bytes(const Cell& c) { return reinterpret_cast<const uint8_t*>(&c); }
};

TEST_F(MoneyTest, LiteralsBuildTheSpecifiedLayout) {
    Cell m = money("-EUR$1'234.56789");
    EXPECT_EQ(m.header, uint32_t(type_money) | cell::flag_money_negative);
    EXPECT_EQ(bytes(m)[4], 47);  // EUR is the 47th code
    // 22 packed digits from byte 5: 00000000000001234 56789.
    const uint8_t digits[money_type::packed_bytes] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                      0x01, 0x23, 0x45, 0x67, 0x89};
    EXPECT_EQ(std::memcmp(bytes(m) + 5, digits, sizeof digits), 0);

    // The serialised form's maker gives the same cell.
    Cell made{};
    ASSERT_TRUE(money_type::make_at(&made, true, 47, digits));
    EXPECT_EQ(std::memcmp(&made, &m, sizeof m), 0);
    uint8_t out[money_type::packed_bytes];
    money_type::packed_digits(&m, out);
    EXPECT_EQ(std::memcmp(out, digits, sizeof out), 0);

    // Zero never carries the sign; a nibble above 9 is refused.
    Cell zero = money("-$0.00");
    EXPECT_EQ(zero.header, uint32_t(type_money));
    uint8_t bad[money_type::packed_bytes] = {0xA0};
    EXPECT_FALSE(money_type::make_at(&made, false, 0, bad));

    // Leading zeros do not count toward the 17 integer digits; fraction
    // digits past the fifth are dropped.
    EXPECT_EQ(mold(money("$00000000000000000000001.5")), "$1.50");
    EXPECT_EQ(actions::mold_text(&m, true), "-EUR$1234.56789");
    Cell cut = money("$1.999999");
    EXPECT_EQ(actions::mold_text(&cut, true), "$1.99999");
    EXPECT_EQ(error_id(caught([] { first_loaded("$123456789012345678"); })), "invalid");
    EXPECT_EQ(error_id(caught([] { first_loaded("ABC$1"); })), "invalid");
}

TEST_F(MoneyTest, CurrencyListOnlyGrowsByNewThreeLetterCodes) {
    namespace cur = money_type::currencies;
    EXPECT_EQ(cur::count(), 170);
    EXPECT_STREQ(cur::code(1), "AED");
    EXPECT_STREQ(cur::code(170), "ZMW");
    EXPECT_EQ(cur::code(171), nullptr);
    EXPECT_EQ(cur::find("usd", 3), cur::find("USD", 3));
    EXPECT_GT(cur::find("VUM", 3), 0);
    EXPECT_EQ(cur::find("XYZ", 3), -1);
    EXPECT_EQ(cur::find("US", 2), -1);

    struct Case {
        const char* text;
        bool accepted;
    } cases[] = {{"xyz", true}, {"XYZ", false}, {"AB", false}, {"ABCD", false}, {"A1C", false}, {"usd", false}};
    for (const Case& c : cases)
        EXPECT_EQ(cur::append(c.text, int32_t(std::strlen(c.text))), c.accepted) << c.text;
    EXPECT_EQ(cur::find("XYZ", 3), 171);
    EXPECT_STREQ(cur::code(171), "XYZ");
    // A literal in the new currency now loads, and keeps its position.
    EXPECT_EQ(bytes(money("xyz$2"))[4], 171);
    EXPECT_EQ(mold(money("xyz$2")), "XYZ$2.00");

    // At most 255 codes: a currency is one byte of the cell.
    char code[4] = "QAA";
    while (cur::count() < cur::max_count) {
        if (cur::find(code, 3) < 0) {
            ASSERT_TRUE(cur::append(code, 3)) << code;
        }
        if (++code[2] > 'Z') code[2] = 'A', ++code[1];
    }
    EXPECT_FALSE(cur::append("ZZZ", 3));
    cur::reset();
    EXPECT_EQ(cur::count(), 170);
}

TEST_F(MoneyTest, FractionDigitsFollowTheMoneyDigitsSetting) {
    static Cell setting;
    services::current.money_digits = [] { return static_cast<const Cell*>(&setting); };
    Cell m = money("-USD$1234567.891");
    struct Case {
        Cell setting;
        const char* formed;
        const char* molded;
    } cases[] = {
        {integer(0), "-USD$1'234'567", "-USD$1234567"},
        {integer(1), "-USD$1'234'567.8", "-USD$1234567.8"},
        {integer(5), "-USD$1'234'567.89100", "-USD$1234567.89100"},
        {integer(9), "-USD$1'234'567.89100", "-USD$1234567.89100"},
        {integer(-3), "-USD$1'234'567", "-USD$1234567"},
        {real(4.0), "-USD$1'234'567.89", "-USD$1234567.89"},
    };
    for (const Case& c : cases) {
        setting = c.setting;
        EXPECT_EQ(form(m), c.formed) << mold(c.setting);
        EXPECT_EQ(mold(m), c.molded) << mold(c.setting);
        EXPECT_EQ(actions::mold_text(&m, true), "-USD$1234567.89100");
    }
}

TEST_F(MoneyTest, ConversionsForOtherModules) {
    using namespace money_type;
    EXPECT_EQ(mold(*push_from_integer(INT_MIN)), "-$2147483648.00");
    EXPECT_EQ(to_integer(push_from_integer(INT_MIN)), INT_MIN);
    EXPECT_EQ(to_integer(push_from_integer(INT_MAX)), INT_MAX);
    Cell over = money("$2147483648");
    EXPECT_EQ(error_id(caught([&] { to_integer(&over); })), "type-limit");
    Cell under = money("-$2147483648.99999");
    EXPECT_EQ(to_integer(&under), INT_MIN);

    // Floats are read through their shortest text: 0.1 is exactly $0.1.
    Amount a = amount_of(push_from_float(0.1, true));
    EXPECT_EQ(uint64_t(a.units), 10000u);
    EXPECT_EQ(uint64_t(amount_of(push_from_float(-123.45678, true)).units), 12345678u);
    EXPECT_TRUE(amount_of(push_from_float(-123.45678, true)).negative);
    EXPECT_EQ(uint64_t(amount_of(push_from_float(1.234567, false)).units), 123456u);
    EXPECT_EQ(error_id(caught([] { push_from_float(1.234567, true); })), "bad-make-arg");
    EXPECT_TRUE(float_too_large(1e17));
    EXPECT_TRUE(float_too_large(-1.0 / 0.0));
    EXPECT_FALSE(float_too_large(99999999999999984.0));
    EXPECT_TRUE(float_too_small(-9.9e-6));
    EXPECT_FALSE(float_too_small(0.0));

    // The nearest double, for amounts up to the last digit.
    Cell m = money("$0.1");
    EXPECT_EQ(to_float(&m), 0.1);
    m = money("-$99999999999999999.99999");
    EXPECT_EQ(to_float(&m), -99999999999999999.99999);
    EXPECT_EQ(sign_of(&m), -1);
    EXPECT_EQ(significant_digits(0), 1);
    EXPECT_EQ(significant_digits(units_limit - 1), 22);
}

}  // namespace
