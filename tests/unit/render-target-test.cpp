// Drawing's ground in the view module: tuple colours as floats and words,
// the 3x2 and 4x4 matrices, and the targets drawing lands on (a window's
// part of its top-level's back buffer during its paint, an image's pixels).
#include <gtest/gtest.h>

#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/image-record.h"
#include "datatypes/image.h"
#include "datatypes/tuple.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "platform/window-system/drivers/driver-headless.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/windows.h"
#include "view/windows/colour.h"
#include "view/windows/matrix.h"
#include "view/windows/render-target.h"

using namespace vum;
using view::gui::Colour;
namespace mx = view::matrix;
namespace render = view::render;

namespace {

Cell tuple_of(std::vector<uint8_t> bytes) {
    Cell c{type_none, 0, 0, 0};
    tuple_type::make_at(&c, bytes.data(), int32_t(bytes.size()));
    return c;
}

TEST(Colour, TuplesAsFloatsAndWords) {
    struct Case {
        std::vector<uint8_t> tuple;
        Colour colour;
        uint32_t argb;
    };
    const Case cases[] = {
        {{255, 0, 0}, {1, 0, 0, 1}, 0xFFFF0000},
        {{255, 0, 0, 0}, {1, 0, 0, 1}, 0xFFFF0000},
        {{255, 0, 0, 255}, {1, 0, 0, 0}, 0x00FF0000},  // the fourth byte is transparency
        {{0, 0, 0}, {0, 0, 0, 1}, 0xFF000000},
        {{0, 255, 0, 51}, {0, 1, 0, 204 / 255.0f}, 0xCC00FF00},
        {{10, 20, 30}, {10 / 255.0f, 20 / 255.0f, 30 / 255.0f, 1}, 0xFF0A141E},  // red and blue not swapped
        // Bytes past the fourth are no colour.
        {{1, 2, 3, 4, 5, 6}, {1 / 255.0f, 2 / 255.0f, 3 / 255.0f, 251 / 255.0f}, 0xFB010203},
    };
    for (const Case& c : cases) {
        Cell t = tuple_of(c.tuple);
        SCOPED_TRACE(testing::Message() << "tuple of " << c.tuple.size() << " bytes, first " << int(c.tuple[0]));
        EXPECT_EQ(view::gui::colour_of_tuple(&t), c.colour);
        EXPECT_EQ(view::gui::tuple_to_argb(&t), c.argb);
    }
    EXPECT_EQ(view::gui::opaque_argb(0xFF102030), 0xFE102030u);
    EXPECT_EQ(view::gui::opaque_argb(0x80102030), 0x80102030u);
    EXPECT_EQ(view::gui::opaque_argb(0x00102030), 0x00102030u);
}

void expect_near(const mx::Matrix3x2& got, const mx::Matrix3x2& want, double within) {
    const double g[] = {got.m11, got.m12, got.m21, got.m22, got.dx, got.dy};
    const double w[] = {want.m11, want.m12, want.m21, want.m22, want.dx, want.dy};
    for (int i = 0; i < 6; i++) EXPECT_NEAR(g[i], w[i], within) << "element " << i;
}

TEST(Matrix, TheIdentityChangesNothingOnEitherSide) {
    const mx::Matrix3x2 samples[] = {
        {2, 3, 5, 7, 11, 13}, mx::rotation(30, {4, 9}), mx::skew(10, -20, {1, 2}), mx::scale(2, 0.5f, {6, 6}),
        mx::translation(-3, 8),
    };
    for (const mx::Matrix3x2& m : samples) {
        EXPECT_EQ(mx::multiply(mx::identity(), m), m);
        EXPECT_EQ(mx::multiply(m, mx::identity()), m);
        EXPECT_EQ(mx::multiply(mx::identity(), m, true), m);
    }
    mx::Matrix4x4 m4;
    for (int i = 0; i < 16; i++) m4.m[i] = i * i - 7;
    EXPECT_EQ(mx::multiply(mx::identity4x4(), m4), m4);
    EXPECT_EQ(mx::multiply(m4, mx::identity4x4()), m4);
}

// Row vectors: a x b applies a, then b; the flag swaps the order.
TEST(Matrix, OrderAndThePointsTheyMove) {
    struct Case {
        const char* what;
        mx::Matrix3x2 m;
        mx::Point2 from, to;
    };
    const Case cases[] = {
        {"rotating 90 degrees about 10x10", mx::rotation(90, {10, 10}), {20, 10}, {10, 20}},
        {"rotating -90 degrees about 10x10", mx::rotation(-90, {10, 10}), {20, 10}, {10, 0}},
        {"rotating 180 degrees about the origin", mx::rotation(180), {3, 4}, {-3, -4}},
        {"scaling 2x3 about 10x10", mx::scale(2, 3, {10, 10}), {12, 11}, {14, 13}},
        {"scaling leaves its centre", mx::scale(5, 7, {10, 10}), {10, 10}, {10, 10}},
        {"translating", mx::translation(5, -2), {1, 1}, {6, -1}},
        {"skewing 45 degrees along x about 0x10", mx::skew(45, 0, {0, 10}), {0, 20}, {10, 20}},
        {"skewing 45 degrees along y about 10x0", mx::skew(0, 45, {10, 0}), {20, 0}, {20, 10}},
        {"scale then translate", mx::multiply(mx::scale(2, 2), mx::translation(1, 0)), {3, 3}, {7, 6}},
        {"translate then scale (flag)", mx::multiply(mx::scale(2, 2), mx::translation(1, 0), true), {3, 3}, {8, 6}},
    };
    for (const Case& c : cases) {
        mx::Point2 got = mx::transform(c.m, c.from);
        EXPECT_NEAR(got.x, c.to.x, 1e-5) << c.what;
        EXPECT_NEAR(got.y, c.to.y, 1e-5) << c.what;
    }
    EXPECT_EQ(mx::transform(mx::rotation(90, {10, 10}), {20, 10}), (mx::Point2{10, 20}));

    // What Cairo makes of a matrix moves points the same way.
    mx::Matrix3x2 m = mx::multiply(mx::rotation(30, {2, 3}), mx::skew(10, 5));
    cairo_matrix_t cm;
    mx::to_cairo(m, &cm);
    double x = 7, y = -2;
    cairo_matrix_transform_point(&cm, &x, &y);
    mx::Point2 p = mx::transform(m, {7, -2});
    EXPECT_NEAR(x, p.x, 1e-5);
    EXPECT_NEAR(y, p.y, 1e-5);
}

TEST(Matrix, InversesUndo) {
    const mx::Matrix3x2 samples[] = {
        mx::skew(30, 15, {10, 10}), mx::skew(-40, 0), mx::rotation(73, {5, -8}), mx::scale(4, 0.25, {3, 3}),
        mx::multiply(mx::skew(20, 20, {2, 2}), mx::translation(100, -50)),
    };
    for (const mx::Matrix3x2& m : samples) {
        mx::Matrix3x2 inverse = m;
        ASSERT_TRUE(mx::invert(inverse));
        expect_near(mx::multiply(m, inverse), mx::identity(), 1e-6);
        expect_near(mx::multiply(inverse, m), mx::identity(), 1e-6);
    }
    // No inverse: left as it was.
    mx::Matrix3x2 flat = mx::scale(0, 2);
    flat.dx = 3;
    mx::Matrix3x2 kept = flat;
    EXPECT_FALSE(mx::invert(flat));
    EXPECT_EQ(flat, kept);
    mx::set_translation(flat, 9, 10);
    EXPECT_EQ(flat, (mx::Matrix3x2{0, 0, 0, 2, 9, 10}));
}

TEST(Matrix, FourByFourRowsTimesColumns) {
    mx::Matrix4x4 a, b;
    for (int i = 0; i < 16; i++) {
        a.m[i] = i + 1;
        b.m[i] = i % 5 - 2;
    }
    mx::Matrix4x4 got = mx::multiply(a, b);
    for (int r = 0; r < 4; r++)
        for (int c = 0; c < 4; c++) {
            double want = 0;
            for (int k = 0; k < 4; k++) want += a.at(r, k) * b.at(k, c);
            EXPECT_EQ(got.at(r, c), want) << r << "," << c;
        }
    EXPECT_NE(mx::multiply(a, b), mx::multiply(b, a));
}

// ---- Window targets over the headless driver ----

std::vector<bool> drawable_seen;
win::WindowId other_window = win::no_window;

// Fills far past its client area: the target must put it at the window's
// corner and keep it inside.
int64_t red_everywhere(win::WindowId w, const win::Message& m) {
    if (m.kind == win::msg::paint) {
        drawable_seen.push_back(bool(render::Target::of_window(other_window)));
        render::Target target = render::Target::of_window(w);
        drawable_seen.push_back(bool(target));
        if (target) {
            view::gui::set_source(target.context(), Colour{1, 0, 0, 1});
            cairo_rectangle(target.context(), -50, -50, 1000, 1000);
            cairo_fill(target.context());
        }
        return 0;
    }
    return win::default_procedure(w, m);
}

class WindowTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto headless = std::make_unique<win::HeadlessDriver>();
        win::start(std::move(headless));
        ASSERT_TRUE(win::register_class(win::WindowClass{.name = "plain", .procedure = win::default_procedure, .background = 0xFFFFFFFF}));
        ASSERT_TRUE(win::register_class(
            win::WindowClass{.name = "red", .procedure = red_everywhere, .background = 0xFFFFFFFF}));
        drawable_seen.clear();
    }
    void TearDown() override { win::stop(); }

    void settle() {
        win::Message m;
        while (win::peek(m, true) && m.kind != win::msg::quit) {
            win::translate(m);
            win::dispatch(m);
        }
    }
    uint32_t pixel(win::WindowId top, int x, int y) {
        cairo_surface_t* s = win::back_buffer(top);
        cairo_surface_flush(s);
        auto* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
        return reinterpret_cast<uint32_t*>(row)[x];
    }
};

TEST_F(WindowTargetTest, APaintLandsAtTheWindowsCornerAndStaysInside) {
    win::WindowId top = win::create_window({.class_name = "plain", .rect = {0, 0, 120, 100}, .visible = true});
    win::WindowId panel = win::create_window(
        {.class_name = "plain", .style = win::style::child, .rect = {10, 10, 100, 80}, .parent = top, .visible = true});
    win::WindowId red = win::create_window(
        {.class_name = "red", .style = win::style::child, .rect = {20, 30, 40, 20}, .parent = panel, .visible = true});
    other_window = panel;
    settle();
    ASSERT_EQ(drawable_seen, (std::vector<bool>{false, true}));  // only its own paint gives a target

    const uint32_t red_pixel = 0xFFFF0000, white = 0xFFFFFFFF;
    struct Case {
        int x, y;
        uint32_t want;
    };
    // The red window is at 30x40 in the top-level, 40x20 in size.
    const Case cases[] = {
        {30, 40, red_pixel}, {69, 59, red_pixel}, {50, 50, red_pixel},
        {29, 40, white}, {30, 39, white}, {70, 50, white}, {50, 60, white}, {5, 5, white}, {100, 80, white},
    };
    for (const Case& c : cases) EXPECT_EQ(pixel(top, c.x, c.y), c.want) << c.x << "x" << c.y;

    // No target outside a paint.
    EXPECT_FALSE(render::Target::of_window(red));

    // Making, losing and switching devices leaves the window drawable.
    render::create_devices();
    render::toggle_gpu();
    EXPECT_TRUE(render::resize_window_target(red, 40, 20));
    render::release_window_target(red);
    render::release_devices();
    drawable_seen.clear();
    win::move_window(red, {0, 0, 30, 30});
    win::invalidate(red);
    win::update_window(red);
    EXPECT_EQ(drawable_seen, (std::vector<bool>{false, true}));
    EXPECT_EQ(pixel(top, 10, 10), red_pixel);
    EXPECT_EQ(pixel(top, 39, 39), red_pixel);
    EXPECT_EQ(pixel(top, 40, 40), white);
}

// ---- Image targets ----

class ImageTargetTest : public DatatypeTest {
protected:
    void TearDown() override {
        gc::collect();
        DatatypeTest::TearDown();
    }
};

TEST_F(ImageTargetTest, DrawingWritesThePixelsAndMarksTheImageChanged) {
    imaging::Pixels white{4, 3, std::vector<uint8_t>(4 * 3 * 4, 255)};
    gc::Local img({type_none, 0, 0, 0});
    image::make_from_pixels(&img, std::move(white), 0, true, false);
    uint32_t node = cell::series_node(&img);

    render::Target target = render::Target::of_image(node);
    ASSERT_TRUE(target);
    EXPECT_EQ(target.width(), 4);
    EXPECT_EQ(target.height(), 3);
    cairo_t* cr = target.context();
    view::gui::set_source(cr, Colour{1, 0, 0, 1});
    cairo_rectangle(cr, 1, 1, 2, 1);
    cairo_fill(cr);
    // Copied, not blended: a see-through pixel.
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    view::gui::set_source(cr, Colour{0, 0, 1, 0.5f});
    cairo_rectangle(cr, 3, 2, 1, 1);
    cairo_fill(cr);
    // Past the edge: nothing, and no harm.
    cairo_rectangle(cr, 10, 10, 5, 5);
    cairo_fill(cr);
    target.end();
    EXPECT_FALSE(target);
    EXPECT_TRUE(image_record::flags(node) & image_record::flag_drawn);

    imaging::Pixels got = image::pixels_of(&img);
    auto bgra = [&](int x, int y) {
        const uint8_t* p = &got.bgra[size_t(y * 4 + x) * 4];
        return std::vector<int>{p[0], p[1], p[2], p[3]};
    };
    EXPECT_EQ(bgra(0, 0), (std::vector<int>{255, 255, 255, 255}));
    EXPECT_EQ(bgra(1, 1), (std::vector<int>{0, 0, 255, 255}));
    EXPECT_EQ(bgra(2, 1), (std::vector<int>{0, 0, 255, 255}));
    EXPECT_EQ(bgra(3, 1), (std::vector<int>{255, 255, 255, 255}));
    std::vector<int> glass = bgra(3, 2);  // straight again: full blue at half opacity
    EXPECT_NEAR(glass[0], 255, 2);
    EXPECT_EQ(glass[1], 0);
    EXPECT_EQ(glass[2], 0);
    EXPECT_NEAR(glass[3], 128, 1);

    // Through the pixel reader of the language too.
    gc::Local px({type_none, 0, 0, 0});
    image::get_pixel(&img, 1 * 4 + 1, &px);
    EXPECT_EQ(view::gui::tuple_to_argb(&px), 0xFFFF0000u);

    // An image of no pixels has no target and ending it does nothing.
    gc::Local empty({type_none, 0, 0, 0});
    image::make_from_pixels(&empty, imaging::Pixels{}, 0, true, false);
    render::Target none = render::Target::of_image(cell::series_node(&empty));
    EXPECT_FALSE(none);
    none.end();
}

}  // namespace
