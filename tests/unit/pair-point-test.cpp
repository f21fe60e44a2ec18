#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include "datatype-fixture.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "engine/lexer.h"
#include "memory/series.h"

using namespace vum;

namespace {

class PairPointTest : public DatatypeTest {
protected:
    // The cells the loader makes for the text, in a protected member.
    Cell loaded{};
    Cell at(const char* text, int32_t i) {
        loaded = {type_none, 0, 0, 0};
        lexer::load_utf8(text, int32_t(std::strlen(text)), &loaded);
        return series::cells_head(loaded.w2)[loaded.w1 + i];
    }
    static bool same_words(const Cell& a, const Cell& b) {
        return cell::type(&a) == cell::type(&b) && a.w1 == b.w1 && a.w2 == b.w2 && a.w3 == b.w3;
    }
};

// Literals and the makers build one layout: hashing, identity and the
// serialised form read the words directly.
TEST_F(PairPointTest, LiteralsMatchTheMakers) {
    struct Case {
        const char* text;
        Cell made;
    };
    Cell p{}, q{}, r{}, s{}, t{};
    pair_type::make_at(&p, -3, 2147483647);
    point_type::make_2d_at(&q, 1.5, -2);
    point_type::make_3d_at(&r, 1, 2.25, -3);
    point_type::make_2d_at(&s, 0.1, 1e39);
    point_type::make_3d_at(&t, 1, 2, 3);
    const Case cases[] = {
        {"-3x2147483647", p}, {"(1.5, -2)", q}, {"(1, 2.25, -3)", r}, {"(0.1, 1e39)", s}, {"(1 , 2 , 3)", t},
    };
    for (const Case& c : cases) {
        Cell v = at(c.text, 0);
        EXPECT_TRUE(same_words(v, c.made)) << c.text;
    }
    EXPECT_EQ(q.w3, 0u) << "a point2D! leaves word 3 clear";
    EXPECT_EQ(p.w1, 0u) << "a pair! leaves word 1 clear";
}

TEST_F(PairPointTest, SinglePrecisionRounding) {
    EXPECT_EQ(point_type::to_float32(1.1), 1.1f);
    EXPECT_EQ(point_type::to_float32(double(FLT_MAX)), FLT_MAX);
    EXPECT_TRUE(std::isinf(point_type::to_float32(1e39)));
    EXPECT_LT(point_type::to_float32(-1e39), 0.0f);
    EXPECT_TRUE(std::isnan(point_type::to_float32(std::nan(""))));
    Cell c{};
    point_type::make_3d_at(&c, 1, 2, 3);
    point_type::set_component(&c, 2, 0.1);
    EXPECT_EQ(point_type::component(&c, 2), 0.1f);
    EXPECT_EQ(point_type::component(&c, 0), 1.0f);
}

TEST_F(PairPointTest, TruncatedCoordinates) {
    Cell culprit{};
    cell::make_float(&culprit, 0);
    EXPECT_EQ(pair_type::truncate_coordinate(2.9, &culprit), 2);
    EXPECT_EQ(pair_type::truncate_coordinate(-2.9, &culprit), -2);
    EXPECT_EQ(pair_type::truncate_coordinate(-2147483648.9, &culprit), -2147483648);
    for (double bad : {2147483648.0, -2147483649.0, HUGE_VAL, std::nan("")}) {
        Cell e = caught([&] { pair_type::truncate_coordinate(bad, &culprit); });
        EXPECT_EQ(error_id(e), "invalid-arg") << bad;
    }
}

}  // namespace
