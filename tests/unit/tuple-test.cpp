// The makers of tuple!, percent! and triple! that native code and the
// boot-image decoder use, and the agreement of their cell layouts with the
// cells the lexer builds from literals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datatype-fixture.h"
#include "datatypes/percent.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "engine/lexer.h"
#include "memory/memory-manager.h"
#include "memory/series.h"
#include "memory/symbols.h"

using namespace vum;

namespace {

class TupleTest : public DatatypeTest {
protected:
    // The first value of the text: tuples and percents are whole in it.
    static Cell first_loaded(const char* text) {
        gc::Local loaded({type_none, 0, 0, 0});
        lexer::load_utf8(text, int32_t(std::strlen(text)), &loaded);
        return series::cells_head(loaded.w2)[0];
    }
    static Cell tuple_of(std::initializer_list<uint8_t> bytes) {
        Cell c{};
        return *tuple_type::make_at(&c, bytes.begin(), int32_t(bytes.size()));
    }
};

TEST_F(TupleTest, LiteralsBuildTheModulesLayouts) {
    Cell t = first_loaded("1.2.3.250");
    EXPECT_EQ(t.header & 0xFFFFFF, uint32_t(type_tuple) | 4u << 19);
    Cell made = tuple_of({1, 2, 3, 250});
    EXPECT_EQ(std::memcmp(&t, &made, sizeof t), 0);
    Cell long_one = first_loaded("1.2.3.4.5.6.7.8.9.10.11.12");
    EXPECT_EQ(tuple_type::length(&long_one), 12);
    EXPECT_EQ(long_one.w3, 0x0C0B0A09u);

    Cell p = first_loaded("50%");
    EXPECT_EQ(cell::type(&p), type_percent);
    EXPECT_EQ(percent_type::value(&p), 0.5);
    EXPECT_EQ(mold(p), "50%");
}

TEST_F(TupleTest, MakersPadToThreeBytesAndKeepUnusedBytesZero) {
    struct Case {
        std::initializer_list<uint8_t> bytes;
        const char* text;
    } cases[] = {
        {{}, "0.0.0"},
        {{7}, "7.0.0"},
        {{1, 2, 3}, "1.2.3"},
        {{255, 0, 0, 128}, "255.0.0.128"},
    };
    for (const Case& c : cases) {
        Cell t = tuple_of(c.bytes);
        EXPECT_EQ(mold(t), c.text);
        EXPECT_EQ(form(t), c.text);
        uint8_t all[tuple_type::max_length];
        tuple_type::get_bytes(&t, all);
        for (int32_t i = tuple_type::length(&t); i < tuple_type::max_length; i++) EXPECT_EQ(all[i], 0) << c.text;
    }

    // From the three payload words: the bytes past the length are dropped.
    Cell* pushed = tuple_type::push(2, 0xDDCCBBAAu, 0xFFFFFFFFu, 0);
    EXPECT_EQ(mold(*pushed), "170.187.0");
    pushed = tuple_type::push(5, 0x04030201u, 0xFFFFFF05u, 0xFFFFFFFFu);
    EXPECT_EQ(mold(*pushed), "1.2.3.4.5");
    EXPECT_EQ(pushed->w2, 5u);
    EXPECT_EQ(pushed->w3, 0u);

    const int32_t values[] = {1, 258, -1};
    Cell c{};
    EXPECT_EQ(mold(*tuple_type::from_integers(&c, values, 3)), "1.2.255");
    EXPECT_EQ(mold(*tuple_type::from_integers(&c, values, 1)), "1.0.0");
}

TEST_F(TupleTest, FromBinaryTakesAtMostTwelveBytesFromThePosition) {
    uint32_t node = memory::alloc_bytes(16);
    uint8_t* bytes = series::alloc_tail_bytes(node, 15);
    for (int32_t i = 0; i < 15; i++) bytes[i] = uint8_t(i + 1);
    gc::Local binary({type_binary, 0, node, 0});
    Cell c{};
    EXPECT_EQ(mold(*tuple_type::from_binary(&c, &binary)), "1.2.3.4.5.6.7.8.9.10.11.12");
    binary.w1 = 13;
    EXPECT_EQ(mold(*tuple_type::from_binary(&c, &binary)), "14.15.0");
    binary.w1 = 15;
    EXPECT_EQ(mold(*tuple_type::from_binary(&c, &binary)), "0.0.0");
}

TEST_F(TupleTest, FromIssueRefusesWhatIsNotThreeSixOrEightAsciiDigits) {
    struct Case {
        const char* name;
        const char* text;  // null: invalid-data
    } cases[] = {
        {"abc", "170.187.204"}, {"F0A", "255.0.170"},  {"00ff7F", "0.255.127"},
        {"FF000080", "255.0.0.128"}, {"12345", nullptr}, {"1", nullptr},
        {"12G", nullptr},       {"\xC3\x81" "BC", nullptr},  // an A with an accent is no digit
    };
    for (const Case& c : cases) {
        Cell issue = {type_issue, 0, uint32_t(symbols::make(c.name)), uint32_t(-1)};
        Cell out{};
        Cell e = caught([&] { tuple_type::from_issue(&out, &issue); });
        if (c.text)
            EXPECT_EQ(mold(out), c.text) << c.name;
        else
            EXPECT_EQ(error_id(e), "invalid-data") << c.name;
    }
}

TEST_F(TupleTest, PercentMakersAndText) {
    Cell* raw = percent_type::push_raw(0, 0x3FD00000u);  // 0.25
    EXPECT_EQ(cell::type(raw), type_percent);
    EXPECT_EQ(percent_type::value(raw), 0.25);
    EXPECT_EQ(mold(*raw), "25%");
    struct Case {
        double fraction;
        const char* text;
        const char* molded;  // the lexer reads no exponent in a percent
    } cases[] = {{0.5, "50%", "50%"},
                 {0.125, "12.5%", "12.5%"},
                 {1, "100%", "100%"},
                 {-0.001, "-0.1%", "-0.1%"},
                 {1e20, "1e22%", "10000000000000000000000%"},
                 {-1.5e-14, "-1.5e-12%", "-0.0000000000015%"},
                 {1.25e-3, "0.125%", "0.125%"},
                 {1.234e13, "1.234e15%", "1234000000000000%"}};
    for (const Case& c : cases) {
        Cell p{};
        percent_type::make_at(&p, c.fraction);
        EXPECT_EQ(form(p), c.text);
        EXPECT_EQ(mold(p), c.molded);
    }
}

TEST_F(TupleTest, TripleWritesItsConstruction) {
    Cell t{};
    triple_type::make_at(&t, 1, -2, 2147483647);
    EXPECT_EQ(mold(t), "make triple! [1 -2 2147483647]");
    EXPECT_EQ(form(t), "make triple! [1 -2 2147483647]");
}

}  // namespace
