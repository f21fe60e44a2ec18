#include <gtest/gtest.h>

#include <string>

#include "datatype-fixture.h"
#include "datatypes/char.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"

using namespace vum;

namespace {

class CharTest : public DatatypeTest {
protected:
    static Cell chr(uint32_t cp) { return {type_char, 0, cp, 0}; }

    static Cell call(actions::SlotOf<actions::FrameFn> slot, const Cell& a, const Cell& b) {
        return in_frame(a, &b, [&] { actions::lookup(stack::arg(0), slot)(); });
    }
    static std::string error_of(actions::SlotOf<actions::FrameFn> slot, const Cell& a, const Cell& b) {
        return error_id(caught([&] { call(slot, a, b); }));
    }
    static Cell make(const Cell& spec) {
        Cell proto = {type_datatype, type_char, 0, 0}, out;
        actions::handler<actions::slot_make>(type_char)(&proto, &spec, type_char, &out);
        return out;
    }
};

TEST_F(CharTest, ArithmeticStaysWithinCodePoints) {
    using namespace actions;
    struct Case {
        actions::SlotOf<actions::FrameFn> slot;
        uint32_t a;
        Cell b;
        uint32_t expected;
    } cases[] = {
        {slot_add, 'a', integer(1), 'b'},
        {slot_subtract, 'b', chr(1), 'a'},
        {slot_multiply, 0x20, integer(2), 0x40},
        {slot_divide, 'd', integer(2), '2'},
        {slot_remainder, 'e', integer(10), 1},
        {slot_and, 'a', integer(0xDF), 'A'},
        {slot_or, 'A', integer(0x20), 'a'},
        {slot_xor, 'a', integer(0x20), 'A'},
        {slot_add, 'a', real(1.9), 'b'},
        {slot_add, 0x10FFFE, integer(1), 0x10FFFF},
    };
    for (const Case& c : cases) {
        Cell r = call(c.slot, chr(c.a), c.b);
        EXPECT_EQ(cell::type(&r), type_char);
        EXPECT_EQ(r.w2, c.expected) << c.slot << " " << c.a;
    }
}

TEST_F(CharTest, ArithmeticErrors) {
    using namespace actions;
    EXPECT_EQ(error_of(slot_subtract, chr('a'), integer(98)), "overflow");
    EXPECT_EQ(error_of(slot_add, chr(0x10FFFF), integer(1)), "overflow");
    EXPECT_EQ(error_of(slot_multiply, chr(0x10000), integer(0x10000)), "overflow");
    EXPECT_EQ(error_of(slot_add, chr('a'), real(1e12)), "overflow");
    EXPECT_EQ(error_of(slot_divide, chr('a'), integer(0)), "zero-divide");
    EXPECT_EQ(error_of(slot_remainder, chr('a'), integer(0)), "zero-divide");
    Cell none = {type_none, 0, 0, 0};
    EXPECT_EQ(error_of(slot_add, chr('a'), none), "invalid-type");
    // Negation has no handler.
    EXPECT_EQ(datatype::handler(type_char, slot_negate), nullptr);
}

TEST_F(CharTest, MakeChecksTheRange) {
    EXPECT_EQ(make(integer(65)).w2, 65u);
    EXPECT_EQ(make(real(65.9)).w2, 65u);
    Cell s = string::from_utf8("\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(make(s).w2, 0xE9u);
    EXPECT_EQ(error_id(caught([&] { make(integer(0x110000)); })), "out-of-range");
    EXPECT_EQ(error_id(caught([&] { make(integer(-1)); })), "out-of-range");
    EXPECT_EQ(error_id(caught([&] { make(real(-0.5e10)); })), "out-of-range");
    Cell empty = string::from_utf8("");
    EXPECT_EQ(error_id(caught([&] { make(empty); })), "bad-to-arg");
    Cell none = {type_none, 0, 0, 0};
    EXPECT_EQ(error_id(caught([&] { make(none); })), "bad-to-arg");

    gc::Local bytes({type_binary, 0, memory::alloc_bytes(4), 0});
    EXPECT_EQ(error_id(caught([&] { make(bytes); })), "bad-to-arg");  // no byte to read
    uint8_t* p = series::alloc_tail_bytes(bytes.w2, 2);
    p[0] = 0xC3;
    p[1] = 0xA9;
    EXPECT_EQ(make(bytes).w2, 0xE9u);
}

TEST_F(CharTest, MoldEscapes) {
    struct Case {
        uint32_t cp;
        bool all;
        const char* expected;
    } cases[] = {
        {'a', false, "#\"a\""},       {34, false, "#\"^\"\""},      {10, false, "#\"^/\""},
        {9, false, "#\"^-\""},        {0, false, "#\"^@\""},        {27, false, "#\"^[\""},
        {28, false, "#\"^\\\""},      {30, false, "#\"^(1E)\""},    {31, false, "#\"^_\""},
        {94, false, "#\"^^\""},       {127, false, "#\"^~\""},      {0x80, false, "#\"^(80)\""},
        {0x9F, false, "#\"^(9F)\""},  {0xE9, false, "#\"\xC3\xA9\""}, {0xE9, true, "#\"^(E9)\""},
        {0x1F600, true, "#\"^(1F600)\""},
    };
    for (const Case& c : cases) {
        Cell v = chr(c.cp);
        EXPECT_EQ(actions::mold_text(&v, c.all), c.expected) << c.cp;
    }
    EXPECT_EQ(form(chr(0x1F600)), "\xF0\x9F\x98\x80");
}

TEST_F(CharTest, ComparesWithCharsAndIntegers) {
    using namespace actions;
    Cell a = chr('a'), n = integer('a'), b = chr('b');
    EXPECT_TRUE(compare(&a, &n, op_equal));
    EXPECT_FALSE(compare(&a, &n, op_strict_equal));
    EXPECT_TRUE(compare(&a, &b, op_lesser));
    Cell s = string::from_utf8("a");
    EXPECT_EQ(call_compare(&a, &s, op_equal), not_comparable);
}

}  // namespace
