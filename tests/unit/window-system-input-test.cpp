// The window system's input and non-client area over the headless driver:
// the wheel in 1/120 notches, input-method compositions and the text-input
// rectangle, colour cursors, control characters of injected keys, the raw
// input peek, scroll bars and the menu band (geometry, hits, painting, the
// `scroll` messages of presses and drags), and rendering a subtree.
#include <cairo.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/window-system/drivers/driver-headless.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/windows.h"

using namespace vum::win;

namespace {

std::vector<Message> received;
std::function<int64_t(WindowId, const Message&)> hook;

int64_t recording_procedure(WindowId w, const Message& m) {
    if (m.kind != msg::hit_test && m.kind != msg::set_cursor) received.push_back(m);
    if (hook) return hook(w, m);
    return default_procedure(w, m);
}

// Paints its client area solid blue and its menu band solid green.
int64_t painting_procedure(WindowId w, const Message& m) {
    received.push_back(m);
    if (m.kind == msg::paint) {
        cairo_set_source_rgb(paint_context(), 0, 0, 1);
        cairo_paint(paint_context());
        return 0;
    }
    if (m.kind == msg::paint_menu_band) {
        cairo_set_source_rgb(paint_context(), 0, 1, 0);
        cairo_paint(paint_context());
        return 0;
    }
    return default_procedure(w, m);
}

int64_t red_procedure(WindowId w, const Message& m) {
    if (m.kind == msg::paint) {
        cairo_set_source_rgb(paint_context(), 1, 0, 0);
        cairo_paint(paint_context());
        return 0;
    }
    return default_procedure(w, m);
}

constexpr uint32_t blue = 0xFF0000FF, green = 0xFF00FF00, red = 0xFFFF0000, white = 0xFFFFFFFF;

uint32_t pixel_of(cairo_surface_t* s, int x, int y) {
    cairo_surface_flush(s);
    auto* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
    return reinterpret_cast<uint32_t*>(row)[x];
}

class WindowInputTest : public ::testing::Test {
protected:
    void SetUp() override { begin({}); }
    void TearDown() override {
        hook = nullptr;
        stop();
    }
    void begin(std::vector<Monitor> monitors) {
        auto headless = std::make_unique<HeadlessDriver>(std::move(monitors));
        display = headless.get();
        start(std::move(headless));
        ASSERT_TRUE(register_class(WindowClass{.name = "test", .procedure = recording_procedure, .background = white}));
        ASSERT_TRUE(register_class(WindowClass{.name = "painter", .procedure = painting_procedure}));
        ASSERT_TRUE(register_class(WindowClass{.name = "red", .procedure = red_procedure}));
        received.clear();
        hook = nullptr;
    }
    WindowId top_level(uint32_t style_bits = 0, Rect r = {0, 0, 300, 200}, const char* class_name = "test") {
        return create_window({.class_name = class_name, .style = style_bits, .rect = r, .visible = true});
    }
    WindowId child(WindowId parent, Rect r, const char* class_name = "test", uint32_t more_style = 0) {
        return create_window({.class_name = class_name,
                              .style = style::child | more_style,
                              .rect = r,
                              .parent = parent,
                              .visible = true});
    }
    void run_pending() {
        Message m;
        while (peek(m, true) && m.kind != msg::quit) {
            translate(m);
            dispatch(m);
        }
    }
    void settle() {
        run_pending();
        received.clear();
        display->clear_presented();
    }
    void inject(RawEvent e, WindowId top) {
        e.surface = surface_of(top);
        display->inject(e);
    }
    void mouse(RawEvent::Kind kind, WindowId top, Point p) {
        RawEvent e;
        e.kind = kind;
        e.position = p;
        e.button = kind == RawEvent::Kind::mouse_move ? 0 : uint32_t(button::left);
        inject(e, top);
    }
    std::vector<Message> of_kind(uint32_t kind) const {
        std::vector<Message> out;
        for (const Message& m : received)
            if (m.kind == kind) out.push_back(m);
        return out;
    }

    HeadlessDriver* display = nullptr;
};

// ---- The wheel, keys, the raw peek ----

TEST_F(WindowInputTest, TheWheelComesIn120thsOfANotchAndUnhandledClimbsToTheParent) {
    WindowId top = top_level();
    WindowId inner = child(top, {50, 40, 100, 100});
    settle();
    struct Case {
        int32_t delta;
        bool horizontal;
    } cases[] = {{120, false}, {-240, false}, {40, false}, {120, true}};
    for (const Case& c : cases) {
        RawEvent e;
        e.kind = RawEvent::Kind::wheel;
        e.position = {60, 50};
        e.delta = c.delta;
        e.horizontal = c.horizontal;
        inject(e, top);
    }
    run_pending();
    auto wheels = of_kind(msg::wheel);
    ASSERT_EQ(wheels.size(), 8u);  // each to the child, then passed to the top-level
    for (size_t i = 0; i < 4; ++i) {
        const Message& at_child = wheels[2 * i];
        const Message& at_top = wheels[2 * i + 1];
        EXPECT_EQ(at_child.window, inner);
        EXPECT_EQ(at_child.b, cases[i].delta);
        EXPECT_EQ(at_child.a, cases[i].horizontal ? 1u : 0u);
        EXPECT_EQ(at_child.point, (Point{10, 10}));
        EXPECT_EQ(at_top.window, top);
        EXPECT_EQ(at_top.b, cases[i].delta);
        EXPECT_EQ(at_top.point, (Point{60, 50}));
    }
}

// Injected keys type what a display's keys type: a test pressing
// Ctrl+Backspace sees what a user does.
TEST_F(WindowInputTest, InjectedKeysWithoutTextTypeTheirControlCharacters) {
    WindowId top = top_level();
    input::set_focus(top);
    settle();
    struct Case {
        uint32_t key, modifiers, given, typed;
    } cases[] = {
        {key::backspace, modifier::control, 0, 127}, {key::enter, modifier::control, 0, 10},
        {key::backspace, 0, 0, 8},                    {key::enter, 0, 0, 13},
        {'W', modifier::control, 0, 23},              {key::left_shift, modifier::shift, 0, 0},
        {key::left, 0, 0, 0},                         {'A', 0, 'a', 'a'},  // the display's text wins
    };
    for (const Case& c : cases) {
        received.clear();
        RawEvent e;
        e.kind = RawEvent::Kind::key_down;
        e.key = c.key;
        e.modifiers = c.modifiers;
        e.character = c.given;
        inject(e, top);
        run_pending();
        auto downs = of_kind(msg::key_down);
        auto chars = of_kind(msg::character);
        ASSERT_EQ(downs.size(), 1u) << c.key;
        EXPECT_EQ(downs[0].b, int64_t(c.typed)) << c.key << " with " << c.modifiers;
        if (c.typed) {
            ASSERT_EQ(chars.size(), 1u) << c.key << " with " << c.modifiers;
            EXPECT_EQ(chars[0].a, c.typed);
        } else {
            EXPECT_TRUE(chars.empty()) << c.key;
        }
    }
}

TEST_F(WindowInputTest, PendingRawInputIsReadUnroutedAndTakenSelectively) {
    WindowId top = top_level();
    input::set_focus(top);
    settle();
    auto key = [&](uint32_t code) {
        RawEvent e;
        e.kind = RawEvent::Kind::key_down;
        e.key = code;
        inject(e, top);
    };
    key('A');
    mouse(RawEvent::Kind::mouse_move, top, {5, 5});
    key(key::escape);
    key('B');
    std::vector<RawEvent> pending = pending_raw();
    ASSERT_EQ(pending.size(), 4u);
    EXPECT_EQ(pending[0].key, uint32_t('A'));
    EXPECT_EQ(pending[1].kind, RawEvent::Kind::mouse_move);
    EXPECT_EQ(pending[3].key, uint32_t('B'));
    EXPECT_TRUE(received.empty());  // read, not routed
    EXPECT_EQ(pending_raw().size(), 4u);

    RawEvent taken;
    auto is_escape = [](const RawEvent& e) { return e.kind == RawEvent::Kind::key_down && e.key == key::escape; };
    ASSERT_TRUE(take_raw(is_escape, taken));
    EXPECT_EQ(taken.key, key::escape);
    EXPECT_FALSE(take_raw(is_escape, taken));
    EXPECT_FALSE(take_raw([](const RawEvent& e) { return e.kind == RawEvent::Kind::close; }, taken));

    run_pending();
    std::vector<uint64_t> keys;
    for (const Message& m : of_kind(msg::key_down)) keys.push_back(m.a);
    EXPECT_EQ(keys, (std::vector<uint64_t>{'A', 'B'}));  // the rest still routed, in order
    EXPECT_EQ(of_kind(msg::mouse_move).size(), 1u);
    EXPECT_TRUE(pending_raw().empty());
}

// ---- Input methods ----

TEST_F(WindowInputTest, ACompositionReachesTheFocusWithItsTextAndCaret) {
    WindowId top = top_level();
    WindowId field = child(top, {10, 10, 100, 20});
    input::set_focus(field);
    settle();
    std::vector<std::string> seen;  // the composition as each message found it
    hook = [&](WindowId, const Message& m) -> int64_t {
        if (m.kind == msg::composition_update)
            seen.push_back(input::composition_text() + "@" + std::to_string(input::composition_caret()));
        return 0;
    };
    auto raw = [&](RawEvent::Kind kind, const std::string& text = "", int32_t caret = 0, uint32_t character = 0) {
        RawEvent e;
        e.kind = kind;
        e.text = text;
        e.caret = caret;
        e.character = character;
        inject(e, top);
    };
    using K = RawEvent::Kind;
    raw(K::composition_start);
    raw(K::composition, "\xE3\x81\xAB", 1);                      // に
    raw(K::composition, "\xE3\x81\xAB\xE3\x81\xBB\xE3\x82\x93", 3);  // にほん
    raw(K::composition_end);
    raw(K::text, "", 0, 0x65E5);  // 日, committed
    run_pending();
    std::vector<std::pair<uint32_t, uint64_t>> got;
    for (const Message& m : received) {
        EXPECT_EQ(m.window, field);
        got.push_back({m.kind, m.a});
    }
    std::vector<std::pair<uint32_t, uint64_t>> want = {{msg::composition_start, 0}, {msg::composition_update, 1},
                                                       {msg::composition_update, 3}, {msg::composition_end, 0},
                                                       {msg::character, 0x65E5}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(seen, (std::vector<std::string>{"\xE3\x81\xAB@1", "\xE3\x81\xAB\xE3\x81\xBB\xE3\x82\x93@3"}));
    EXPECT_EQ(input::composition_text(), "");
}

TEST_F(WindowInputTest, TheTextInputRectangleIsPlacedInTheSurface) {
    WindowId top = top_level(style::vertical_scroll);
    ASSERT_TRUE(set_menu_band(top, 20));
    WindowId field = child(top, {30, 40, 100, 20});
    input::set_text_input_rect(field, {5, 2, 1, 16});
    EXPECT_EQ(display->text_input_surface(), surface_of(top));
    EXPECT_EQ(display->text_input_rect(), (Rect{35, 62, 1, 16}));  // below the band
    input::set_text_input_rect(no_window, {0, 0, 1, 1});           // ignored
    EXPECT_EQ(display->text_input_rect(), (Rect{35, 62, 1, 16}));
}

// ---- Colour cursors ----

TEST_F(WindowInputTest, ColourCursorsAreMadeOfAnImageAndAHotSpot) {
    std::vector<uint32_t> pixels = {0xFFFF0000, 0x8000FF00, 0x00000000, 0xFF0000FF};
    struct Refused {
        int32_t width, height;
        bool pixels;
        Point hot;
    } refused[] = {{0, 2, true, {0, 0}},   {2, -1, true, {0, 0}},  {257, 1, true, {0, 0}},
                   {2, 2, false, {0, 0}},  {2, 2, true, {2, 0}},   {2, 2, true, {0, -1}}};
    for (const Refused& r : refused) {
        EXPECT_FALSE(color_cursor_fits(r.width, r.height, r.pixels ? pixels.data() : nullptr, r.hot));
        EXPECT_EQ(display->create_color_cursor(r.width, r.height, r.pixels ? pixels.data() : nullptr, r.hot), 0u)
            << r.width << "x" << r.height << " hot " << r.hot.x << "," << r.hot.y;
    }

    uint32_t made = display->create_color_cursor(2, 2, pixels.data(), {1, 0});
    ASSERT_NE(made, 0u);
    const HeadlessDriver::ColorCursor* image = display->color_cursor_image(made);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels, pixels);
    EXPECT_EQ(image->hot_spot, (Point{1, 0}));
    EXPECT_EQ(display->color_cursor(), 0u);
    display->set_color_cursor(made);
    EXPECT_EQ(display->color_cursor(), made);
    display->set_color_cursor(made + 100);  // unknown: nothing changes
    EXPECT_EQ(display->color_cursor(), made);
    display->set_cursor(Cursor::ibeam);
    EXPECT_EQ(display->color_cursor(), 0u);
    EXPECT_EQ(display->cursor(), Cursor::ibeam);
    display->set_color_cursor(made);
    display->destroy_color_cursor(made);
    EXPECT_EQ(display->color_cursor(), 0u);
    EXPECT_EQ(display->cursor(), Cursor::arrow);
    EXPECT_EQ(display->color_cursor_image(made), nullptr);
}

// ---- The non-client area ----

TEST_F(WindowInputTest, ScrollBarsAndTheMenuBandLieOutsideTheClientArea) {
    EXPECT_EQ(scroll_bar_size(), 17);
    struct Case {
        uint32_t style;
        int32_t band;
        Rect client;
        Point screen_of_origin;
    } cases[] = {
        {0, 0, {0, 0, 300, 200}, {100, 50}},
        {style::vertical_scroll, 0, {0, 0, 283, 200}, {100, 50}},
        {style::horizontal_scroll, 0, {0, 0, 300, 183}, {100, 50}},
        {style::vertical_scroll | style::horizontal_scroll, 0, {0, 0, 283, 183}, {100, 50}},
        {style::vertical_scroll | style::horizontal_scroll, 20, {0, 0, 283, 163}, {100, 70}},
        {0, 500, {0, 0, 300, 0}, {100, 250}},
    };
    for (const Case& c : cases) {
        WindowId top = top_level(c.style, {100, 50, 300, 200});
        EXPECT_TRUE(set_menu_band(top, c.band));
        EXPECT_EQ(menu_band_of(top), c.band);
        EXPECT_EQ(client_rect(top), c.client) << c.style << " band " << c.band;
        EXPECT_EQ(to_screen(top, {0, 0}), c.screen_of_origin);
        EXPECT_EQ(from_screen(top, c.screen_of_origin), (Point{0, 0}));
        destroy_window(top);
    }
    // A child has no band; its bars are its own.
    WindowId top = top_level(0, {100, 50, 300, 200});
    set_menu_band(top, 20);
    WindowId inner = child(top, {10, 10, 100, 100}, "test", style::vertical_scroll);
    EXPECT_FALSE(set_menu_band(inner, 10));
    EXPECT_EQ(client_rect(inner), (Rect{0, 0, 83, 100}));
    EXPECT_EQ(to_screen(inner, {0, 0}), (Point{110, 80}));
    EXPECT_EQ(map_point(inner, top, {0, 0}), (Point{10, 10}));
}

TEST_F(WindowInputTest, BarsAreSizedByTheFirstMonitorsScale) {
    stop();
    begin({Monitor{{0, 0, 2880, 1620}, 1.5}});
    EXPECT_EQ(scroll_bar_size(), 26);
    WindowId top = top_level(style::vertical_scroll);
    EXPECT_EQ(client_rect(top), (Rect{0, 0, 274, 200}));
}

// Bars or a band that come and go change the client area: the window hears
// its new size.
TEST_F(WindowInputTest, ChangingTheFrameSendsTheNewClientSize) {
    WindowId top = top_level();
    settle();
    set_style(top, style::vertical_scroll);
    ASSERT_TRUE(set_menu_band(top, 25));
    set_menu_band(top, 25);  // no change, no message
    move_window(top, {0, 0, 400, 300});
    std::vector<Point> sizes;
    for (const Message& m : of_kind(msg::resized)) sizes.push_back(m.point);
    EXPECT_EQ(sizes, (std::vector<Point>{{283, 200}, {283, 175}, {383, 275}}));
}

TEST_F(WindowInputTest, MouseMessagesAndHitsUseClientCoordinates) {
    WindowId top = top_level(style::vertical_scroll);
    set_menu_band(top, 20);
    // Wider than the client area: its part under the bar does not show.
    WindowId inner = child(top, {200, 0, 100, 50});
    settle();
    struct Case {
        Point surface;
        WindowId window;
        Point client;
    } cases[] = {
        {{10, 30}, top, {10, 10}},     // the client area, below the band
        {{210, 25}, inner, {10, 5}},   // the child, in client coordinates
        {{10, 5}, top, {10, -15}},     // the band: the top-level's, above its client area
        {{290, 25}, no_window, {}},    // the bar: no mouse message at all
    };
    for (const Case& c : cases) {
        received.clear();
        mouse(RawEvent::Kind::button_down, top, c.surface);
        mouse(RawEvent::Kind::button_up, top, c.surface);
        run_pending();
        auto downs = of_kind(msg::button_down);
        if (c.window == no_window) {
            EXPECT_TRUE(downs.empty()) << c.surface.x << "," << c.surface.y;
            continue;
        }
        ASSERT_EQ(downs.size(), 1u) << c.surface.x << "," << c.surface.y;
        EXPECT_EQ(downs[0].window, c.window) << c.surface.x << "," << c.surface.y;
        EXPECT_EQ(downs[0].point, c.client) << c.surface.x << "," << c.surface.y;
    }
    EXPECT_EQ(window_from_point(top, {210, 5}), inner);
    EXPECT_EQ(window_from_point(top, {290, 5}), top);  // under the bar, which is the top-level's
    EXPECT_EQ(window_from_point(top, {10, -5}), top);  // the band
    EXPECT_EQ(window_from_point(top, {10, 400}), no_window);
}

TEST_F(WindowInputTest, ThePainterKeepsToTheClientAreaAndTheThemeDrawsTheRest) {
    WindowId top = top_level(style::vertical_scroll | style::horizontal_scroll, {0, 0, 300, 200}, "painter");
    set_menu_band(top, 20);
    set_scroll_state(top, true, {0, 99, 10, 0});
    run_pending();
    auto paints = of_kind(msg::paint);
    ASSERT_EQ(paints.size(), 1u);
    EXPECT_EQ(of_kind(msg::paint_menu_band).size(), 1u);
    cairo_surface_t* buffer = back_buffer(top);
    EXPECT_EQ(pixel_of(buffer, 5, 25), blue);     // client
    EXPECT_EQ(pixel_of(buffer, 282, 182), blue);  // its last pixel
    EXPECT_EQ(pixel_of(buffer, 5, 5), green);     // band, the procedure's
    uint32_t trough = pixel_of(buffer, 291, 120), corner = pixel_of(buffer, 291, 191);
    EXPECT_NE(trough, blue);
    EXPECT_NE(trough, green);
    EXPECT_NE(corner, blue);
    EXPECT_NE(pixel_of(buffer, 150, 191), blue);  // the horizontal bar
    // The thumb sits at the top of the trough, and a new position moves it.
    uint32_t thumb = pixel_of(buffer, 291, 40);
    EXPECT_NE(thumb, trough);
    received.clear();
    set_scroll_state(top, true, {0, 99, 10, 90});
    EXPECT_TRUE(has_invalid(top));
    run_pending();
    EXPECT_TRUE(of_kind(msg::paint).empty());  // only the bar was drawn again
    EXPECT_EQ(pixel_of(buffer, 291, 40), trough);
    EXPECT_EQ(pixel_of(buffer, 291, 160), thumb);

    // A child reaching under the bar and into the band shows only in the
    // client area.
    child(top, {250, -10, 100, 50}, "red");
    run_pending();
    EXPECT_EQ(pixel_of(buffer, 260, 25), red);
    EXPECT_EQ(pixel_of(buffer, 260, 15), green);
    EXPECT_EQ(pixel_of(buffer, 291, 40), trough);
}

// A vertical bar of 300x200: arrows 0-16 and 183-199, the trough between
// (166 long), a thumb of 16 for a page of 10 in 0..99 (positions 0 to 90).
TEST_F(WindowInputTest, PressesOnABarSendScrollMessages) {
    WindowId top = top_level(style::vertical_scroll);
    set_scroll_state(top, true, {0, 99, 10, 40});
    settle();
    struct Case {
        Point press;
        uint64_t code;
    } cases[] = {
        {{290, 5}, scroll::line_up},
        {{290, 195}, scroll::line_down},
        {{290, 30}, scroll::page_up},     // the thumb is at 17 + 150 * 40 / 90 = 84
        {{290, 170}, scroll::page_down},
    };
    for (const Case& c : cases) {
        received.clear();
        mouse(RawEvent::Kind::button_down, top, c.press);
        mouse(RawEvent::Kind::button_up, top, c.press);
        run_pending();
        auto scrolls = of_kind(msg::scroll);
        ASSERT_EQ(scrolls.size(), 2u) << c.code;
        EXPECT_EQ(scrolls[0].a, c.code | scroll::vertical);
        EXPECT_EQ(scrolls[0].b, 40);
        EXPECT_EQ(scrolls[1].a, scroll::end | scroll::vertical);
        EXPECT_TRUE(of_kind(msg::button_down).empty());
    }
    // A horizontal bar reports without the vertical bit.
    WindowId wide = top_level(style::horizontal_scroll);
    set_scroll_state(wide, false, {0, 9, 0, 0});
    settle();
    mouse(RawEvent::Kind::button_down, wide, {295, 190});
    run_pending();
    auto scrolls = of_kind(msg::scroll);
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_EQ(scrolls[0].a, scroll::line_down);
}

TEST_F(WindowInputTest, DraggingTheThumbTracksThenSetsThePosition) {
    WindowId top = top_level(style::vertical_scroll);
    set_scroll_state(top, true, {0, 99, 10, 0});
    settle();
    mouse(RawEvent::Kind::button_down, top, {290, 20});   // the thumb, 3 below its top
    mouse(RawEvent::Kind::mouse_move, top, {290, 100});   // thumb at 80 of 150: 48
    mouse(RawEvent::Kind::mouse_move, top, {250, 100});   // off the bar, same height: no change
    mouse(RawEvent::Kind::mouse_move, top, {290, 400});   // past the end: the last position
    mouse(RawEvent::Kind::mouse_move, top, {290, -50});   // past the start
    mouse(RawEvent::Kind::mouse_move, top, {290, 95});
    mouse(RawEvent::Kind::button_up, top, {20, 20});      // let go anywhere
    mouse(RawEvent::Kind::button_down, top, {20, 20});    // the client area's again
    run_pending();
    std::vector<std::pair<uint64_t, int64_t>> got;
    for (const Message& m : of_kind(msg::scroll)) got.push_back({m.a & 0xFF, m.b});
    std::vector<std::pair<uint64_t, int64_t>> want = {
        {scroll::track, 48},    {scroll::track, 90},     {scroll::track, 0}, {scroll::track, 45},
        {scroll::position, 45}, {scroll::end, 45},
    };
    EXPECT_EQ(got, want);
    EXPECT_TRUE(of_kind(msg::mouse_move).empty());
    EXPECT_TRUE(of_kind(msg::button_up).empty());
    EXPECT_EQ(of_kind(msg::button_down).size(), 1u);
    EXPECT_EQ(scroll_state(top, true).position, 0);  // the procedure decides
}

TEST_F(WindowInputTest, ABarWithNothingToScrollOrADisabledWindowTakesNoPress) {
    WindowId top = top_level(style::vertical_scroll);
    WindowId inner = child(top, {10, 10, 100, 100}, "test", style::vertical_scroll);
    set_scroll_state(top, true, {0, 9, 10, 0});  // all of it in one page
    set_scroll_state(inner, true, {0, 99, 10, 0});
    enable_window(inner, false);
    settle();
    mouse(RawEvent::Kind::button_down, top, {290, 5});
    mouse(RawEvent::Kind::button_up, top, {290, 5});
    mouse(RawEvent::Kind::button_down, top, {105, 15});  // the disabled child's bar
    mouse(RawEvent::Kind::button_up, top, {105, 15});
    run_pending();
    EXPECT_TRUE(of_kind(msg::scroll).empty());
    EXPECT_TRUE(of_kind(msg::button_down).empty());
}

// A held bar is let go without a message when its window is destroyed,
// hidden or disabled, or the window holding it is.
TEST_F(WindowInputTest, ADragEndsQuietlyWhenItsWindowGoes) {
    std::vector<std::pair<const char*, std::function<void(WindowId, WindowId)>>> endings = {
        {"destroyed", [](WindowId, WindowId bar) { destroy_window(bar); }},
        {"hidden", [](WindowId, WindowId bar) { show_window(bar, false); }},
        {"disabled", [](WindowId, WindowId bar) { enable_window(bar, false); }},
        {"its holder hidden", [](WindowId holder, WindowId) { show_window(holder, false); }},
    };
    WindowId top = top_level();
    for (auto& [name, end] : endings) {
        WindowId holder = child(top, {0, 0, 150, 150});
        WindowId inner = child(holder, {0, 0, 100, 100}, "test", style::vertical_scroll);
        set_scroll_state(inner, true, {0, 99, 10, 0});
        settle();
        mouse(RawEvent::Kind::button_down, top, {90, 20});  // its thumb
        mouse(RawEvent::Kind::mouse_move, top, {90, 60});
        run_pending();
        EXPECT_EQ(of_kind(msg::scroll).size(), 1u) << name;
        end(holder, inner);
        received.clear();
        mouse(RawEvent::Kind::mouse_move, top, {200, 170});
        mouse(RawEvent::Kind::button_up, top, {200, 170});
        run_pending();
        EXPECT_TRUE(of_kind(msg::scroll).empty()) << name;
        EXPECT_EQ(of_kind(msg::mouse_move).size(), 1u) << name;  // the top-level's again
        destroy_window(holder);
    }
}

// ---- Rendering a subtree ----

TEST_F(WindowInputTest, ASubtreeRendersOntoASurfaceShownOrHidden) {
    WindowId top = create_window({.class_name = "test", .rect = {0, 0, 120, 80}});  // hidden
    WindowId inner = child(top, {10, 10, 40, 30}, "red", style::vertical_scroll);
    WindowId hidden = child(inner, {0, 0, 5, 5}, "painter");
    show_window(hidden, false);
    settle();
    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 120, 80);
    ASSERT_TRUE(render_subtree(top, image));
    EXPECT_EQ(pixel_of(image, 5, 5), white);
    EXPECT_EQ(pixel_of(image, 12, 12), red);      // not the hidden grandchild's blue
    EXPECT_NE(pixel_of(image, 45, 20), red);      // the child's bar
    EXPECT_EQ(pixel_of(image, 100, 70), white);
    EXPECT_TRUE(display->presented().empty());    // nothing reached the screen

    // A child alone, at the surface's corner; then the same as the screen.
    cairo_surface_t* small = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 40, 30);
    ASSERT_TRUE(render_subtree(inner, small));
    EXPECT_EQ(pixel_of(small, 2, 2), red);
    show_window(top, true);
    run_pending();
    ASSERT_TRUE(render_subtree(top, image));
    cairo_surface_t* screen = back_buffer(top);
    int differing = 0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x) differing += pixel_of(image, x, y) != pixel_of(screen, x, y);
    EXPECT_EQ(differing, 0);

    EXPECT_FALSE(render_subtree(no_window, image));
    EXPECT_FALSE(render_subtree(top, nullptr));
    cairo_surface_destroy(small);
    cairo_surface_destroy(image);
}

}  // namespace
