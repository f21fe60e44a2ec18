#include <gtest/gtest.h>

#include <cstring>

#include "datatype-fixture.h"
#include "datatypes/vector.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/series.h"

using namespace vum;

namespace {

class VectorTest : public DatatypeTest {};

// Each element kind and width: the bytes written, and the value read back.
TEST_F(VectorTest, ElementEncodingByKindAndWidth) {
    struct Case {
        uint8_t type;
        uint32_t width;
        Cell value;
        uint8_t bytes[8];
        double read_back;
    };
    const Case cases[] = {
        {type_integer, 1, integer(233), {0xE9}, -23},
        {type_integer, 1, integer(-1), {0xFF}, -1},
        {type_integer, 2, integer(70000), {0x70, 0x11}, 4464},
        {type_integer, 2, integer(40000), {0x40, 0x9C}, -25536},
        {type_integer, 4, integer(-2), {0xFE, 0xFF, 0xFF, 0xFF}, -2},
        // Characters are code units: never negative.
        {type_char, 1, {type_char, 0, 233, 0}, {0xE9}, 233},
        {type_char, 2, {type_char, 0, 0xFFFF, 0}, {0xFF, 0xFF}, 0xFFFF},
        {type_float, 4, real(1.5), {0x00, 0x00, 0xC0, 0x3F}, 1.5},
        {type_float, 8, real(-2.0), {0, 0, 0, 0, 0, 0, 0x00, 0xC0}, -2.0},
        {type_percent, 8, typed(type_percent, 0.5), {0, 0, 0, 0, 0, 0, 0xE0, 0x3F}, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.type) * 100 + int(c.width));
        uint8_t buffer[8] = {};
        vector_type::store_element(buffer, &c.value, c.width);
        EXPECT_EQ(std::memcmp(buffer, c.bytes, c.width), 0);
        Cell e = vector_type::element(buffer, c.width, c.type);
        EXPECT_EQ(cell::type(&e), c.type);
        double got = c.type == type_float || c.type == type_percent ? cell::get_double(&e)
                     : c.type == type_char                            ? double(e.w2)
                                                                      : double(cell::get_integer(&e));
        EXPECT_EQ(got, c.read_back);
    }
    uint8_t buffer[8];
    Cell word = context::load_word("x");
    EXPECT_EQ(error_id(caught([&] { vector_type::store_element(buffer, &word, 4); })), "invalid-type");
}

// 8-byte elements need series buffers of unit 8: counted, grown and copied
// as such.
TEST_F(VectorTest, EightByteUnitsCountGrowAndCopy) {
    Cell v{};
    vector_type::make_at(&v, 0, type_float, 8);
    gc::Protect keep(&v);
    EXPECT_EQ(nodes::buffer(v.w2)->unit(), 8u);
    for (int i = 0; i < 100; i++) {
        Cell x = real(i + 0.25);
        vector_type::append_value(&v, &x);
    }
    EXPECT_EQ(nodes::buffer(v.w2)->count(), 100u);
    EXPECT_EQ(vector_type::length(&v), 100);
    uint32_t copy = series::copy_part(v.w2, 98, 10);
    EXPECT_EQ(nodes::buffer(copy)->unit(), 8u);
    EXPECT_EQ(nodes::buffer(copy)->count(), 2u);
    Cell last = vector_type::element(nodes::buffer(copy)->head_ptr() + 8, 8, type_float);
    EXPECT_EQ(cell::get_double(&last), 99.25);
    v.w1 = 90;
    vector_type::truncate_at_index(&v);
    EXPECT_EQ(nodes::buffer(v.w2)->count(), 90u);
    EXPECT_EQ(vector_type::length(&v), 0);
}

TEST_F(VectorTest, AppendValueChecksTheElementType) {
    Cell v{};
    vector_type::make_at(&v, 2, type_integer, 2);
    gc::Protect keep(&v);
    Cell one = integer(1), half = real(0.5);
    vector_type::append_value(&v, &one);
    EXPECT_EQ(error_id(caught([&] { vector_type::append_value(&v, &half); })), "invalid-arg");
    EXPECT_EQ(vector_type::length(&v), 1);
    Cell too_big{};
    EXPECT_EQ(error_id(caught([&] { vector_type::make_at(&too_big, 0x40000000, type_float, 8); })), "no-memory");
}

// The block holds every element from the position, even when each cell it
// takes runs a collection that moves the vector's buffer.
TEST_F(VectorTest, ToBlockSurvivesCollections) {
    Cell v{};
    vector_type::make_at(&v, 4, type_integer, 1);
    gc::Protect keep(&v);
    for (int i = 0; i < 40; i++) {
        Cell x = integer(i * 10);
        vector_type::append_value(&v, &x);
    }
    v.w1 = 30;
    Cell out{};
    gc::Protect keep_out(&out);
    gc::collect();
    vector_type::to_block(&v, &out);
    EXPECT_EQ(mold(out), "[44 54 64 74 84 94 104 114 124 -122]");
}

}  // namespace
