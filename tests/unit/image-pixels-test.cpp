#include "datatypes/image-pixels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/image.h"
#include "datatypes/pair.h"

using namespace vum;

namespace {

// w x h pixels whose bytes are all distinct enough to tell apart: pixel
// (x, y) holds x, y, x + y, 200.
std::vector<uint8_t> grid(int32_t w, int32_t h) {
    std::vector<uint8_t> p;
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++)
            for (uint8_t b : {uint8_t(x), uint8_t(y), uint8_t(x + y), uint8_t(200)}) p.push_back(b);
    return p;
}

TEST(PixelGeometry, EdgesInsideAndOutside) {
    geom::Quad square = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
    EXPECT_TRUE(geom::inside_quad(square, 5, 5));
    EXPECT_TRUE(geom::inside_quad(square, 0, 5));  // on an edge
    EXPECT_TRUE(geom::inside_quad(square, 10, 10));
    EXPECT_FALSE(geom::inside_quad(square, 10.5, 5));
    EXPECT_FALSE(geom::inside_quad(square, 5, -0.5));
    EXPECT_DOUBLE_EQ(geom::edge_distance(3, 4, 0, 0, 10, 0), 4);
    EXPECT_DOUBLE_EQ(geom::edge_distance(3, -4, 0, 0, 10, 0), 4);
    EXPECT_TRUE(geom::outside_edge(3, -4, 0, 0, 10, 0));
    EXPECT_TRUE(geom::left_of_edge(3, 4, 0, 0, 10, 0));
    geom::Vector v = geom::turn({1, 0}, 90);
    EXPECT_NEAR(v.x, 0, 1e-9);
    EXPECT_NEAR(v.y, 1, 1e-9);
}

TEST(PixelCopy, ClipsTheRectangleAndRefusesAStartOutside) {
    std::vector<uint8_t> source = grid(5, 4), out;
    int32_t w = 0, h = 0;
    ASSERT_TRUE(pixels::copy_rect(source.data(), 5, 4, 3, 2, 10, 10, &out, &w, &h));
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(out, (std::vector<uint8_t>{3, 2, 5, 200, 4, 2, 6, 200, 3, 3, 6, 200, 4, 3, 7, 200}));
    for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {5, 0}, {0, 4}})
        EXPECT_FALSE(pixels::copy_rect(source.data(), 5, 4, x, y, 1, 1, &out)) << x << "," << y;
}

// The source rectangle as the quadrilateral gives the source back: each
// output pixel takes its source pixel whole.
TEST(PixelWarp, TheSourceRectangleReproducesTheSource) {
    for (auto [w, h] : {std::pair{7, 5}, {1, 1}, {16, 3}}) {
        std::vector<uint8_t> source = grid(w, h);
        EXPECT_EQ(pixels::scale_by_quad(source.data(), w, h, w, h), source) << w << "x" << h;
    }
}

// Pixels of the box outside the quadrilateral stay transparent black; the
// box is the quadrilateral's bounds.
TEST(PixelWarp, OutsideTheQuadrilateralStaysZero) {
    std::vector<uint8_t> source(4 * 4 * 4, 255);
    geom::Quad diamond = {{5, 0}, {10, 5}, {5, 10}, {0, 5}};
    pixels::Warped w = pixels::warp_to_quad(source.data(), 4, 4, diamond);
    ASSERT_EQ(w.width, 10);
    ASSERT_EQ(w.height, 10);
    auto at = [&](int x, int y) { return w.bytes[size_t(y * 10 + x) * 4 + 3]; };
    EXPECT_EQ(at(0, 0), 0);
    EXPECT_EQ(at(9, 0), 0);
    EXPECT_EQ(at(5, 5), 255);
    EXPECT_TRUE(pixels::warp_to_quad(source.data(), 0, 4, diamond).bytes.empty());
    EXPECT_TRUE(pixels::scale_by_quad(source.data(), 4, 4, 0, 3).empty());
}

TEST(PixelYuv, GreyPairsAndClamping) {
    const uint8_t grey[] = {16, 128, 235, 128};
    uint8_t out[8];
    pixels::yuyv_to_rgba(1, 1, grey, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{16, 16, 16, 255, 235, 235, 235, 255}));
    const uint8_t strong[] = {250, 255, 5, 0};  // u = 127, v = -128
    pixels::yuyv_to_rgba(1, 1, strong, out);
    EXPECT_EQ(out[2], 255);  // blue clamped high
    EXPECT_EQ(out[4], 0);    // red clamped low
}

class ImageTransformTest : public DatatypeTest {
protected:
    void TearDown() override {
        gc::collect();  // the registry starts over: the images give their pixels back first
        DatatypeTest::TearDown();
    }
};

// Drawing with the first point right of the second mirrors the call with
// the points swapped: the same pixels and a negative width. Four points go
// top-left, top-right, bottom-left, bottom-right.
TEST_F(ImageTransformTest, MirroredPointsAndFourCorners) {
    gc::Local img({type_none, 0, 0, 0});
    image::make_blank(&img, 3, 2, &img);
    Cell points[4];
    pair_type::make_at(&points[0], 13, 2);
    pair_type::make_at(&points[1], 10, 4);
    gc::Local flipped({type_none, 0, 0, 0}), plain({type_none, 0, 0, 0});
    int32_t box[4];
    image::transform(&img, nullptr, &points[0], &points[1], &flipped, box);
    EXPECT_EQ((std::vector<int32_t>(box, box + 4)), (std::vector<int32_t>{13, 2, -3, 2}));
    pair_type::make_at(&points[0], 10, 2);
    pair_type::make_at(&points[1], 13, 4);
    image::transform(&img, nullptr, &points[0], &points[1], &plain, box);
    EXPECT_EQ((std::vector<int32_t>(box, box + 4)), (std::vector<int32_t>{10, 2, 3, 2}));
    EXPECT_EQ(mold(flipped), mold(plain));

    pair_type::make_at(&points[0], 0, 0);
    pair_type::make_at(&points[1], 3, 0);
    pair_type::make_at(&points[2], 0, 2);
    pair_type::make_at(&points[3], 3, 2);
    image::transform(&img, nullptr, &points[0], &points[3], &plain, box);
    EXPECT_EQ((std::vector<int32_t>(box, box + 4)), (std::vector<int32_t>{0, 0, 3, 2}));
    EXPECT_EQ(mold(plain), mold(img));
    Cell text = {type_none, 0, 0, 0};
    image::transform(&img, nullptr, &text, &text, &plain, box);
    EXPECT_EQ(cell::type(&plain), type_none);
}

}  // namespace
