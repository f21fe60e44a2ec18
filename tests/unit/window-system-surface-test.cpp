// Top-levels on the screen, over the headless driver: the styles their
// surfaces get, popups that never take the focus, minimise, maximise and
// restore, the user's move-and-size bursts on the virtual clock, monitors
// changing and their ids, the pointer, and the scale X resources give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/window-system/drivers/driver-headless.h"
#include "platform/window-system/drivers/driver-sdl.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/size-move.h"
#include "platform/window-system/windows.h"

using namespace vum::win;

namespace {

std::vector<Message> seen;
bool quit_on_size_move_end = false;

int64_t recording(WindowId w, const Message& m) {
    if (m.kind != msg::hit_test && m.kind != msg::set_cursor && m.kind != msg::paint) seen.push_back(m);
    if (m.kind == msg::size_move_end && quit_on_size_move_end) post_quit(0);
    return default_procedure(w, m);
}

class SurfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto headless = std::make_unique<HeadlessDriver>();
        display = headless.get();
        start(std::move(headless));
        ASSERT_TRUE(register_class(WindowClass{.name = "s", .procedure = recording}));
        seen.clear();
        quit_on_size_move_end = false;
    }
    void TearDown() override { stop(); }

    WindowId top(Rect r = {100, 50, 300, 200}, uint32_t more_style = 0, WindowId owner = no_window) {
        return create_window({.class_name = "s", .style = more_style, .rect = r, .owner = owner, .visible = true});
    }
    // Dispatches what is pending without waiting; what arrived stays in `seen`.
    void pump() {
        Message m;
        while (peek(m, true) && m.kind != msg::quit) {
            translate(m);
            dispatch(m);
        }
    }
    // The kinds (and `a`) of the messages of the kinds this file is about.
    std::vector<std::pair<uint32_t, uint64_t>> surface_messages(WindowId w) const {
        std::vector<std::pair<uint32_t, uint64_t>> out;
        for (const Message& m : seen)
            if (m.window == w && (m.kind == msg::state_changed || m.kind == msg::size_move_begin ||
                                  m.kind == msg::size_move_end || m.kind == msg::display_changed ||
                                  m.kind == msg::moved || m.kind == msg::resized))
                out.push_back({m.kind, m.kind == msg::state_changed ? m.a : 0});
        return out;
    }
    void inject(RawEvent::Kind kind, WindowId w, Point position = {}) {
        display->inject(RawEvent{.kind = kind, .surface = surface_of(w), .position = position});
    }

    HeadlessDriver* display = nullptr;
};

using Seq = std::vector<std::pair<uint32_t, uint64_t>>;

TEST_F(SurfaceTest, StylesOwnerAndMinimumSizeReachTheDriver) {
    WindowId owner = top();
    WindowId inside = create_window({.class_name = "s", .style = style::child, .rect = {1, 1, 5, 5}, .parent = owner});
    struct Case {
        const char* what;
        uint32_t style;
        WindowId owner;
        Point minimum;
        SurfaceStyle want;
    };
    SurfaceId owner_surface = surface_of(owner);
    const Case cases[] = {
        {"plain", 0, no_window, {}, {}},
        {"resizable", style::resizable, no_window, {}, {.resizable = true}},
        {"borderless", style::borderless, no_window, {}, {.borderless = true}},
        {"fullscreen", style::fullscreen, no_window, {}, {.fullscreen = true}},
        {"popup of a top-level", style::popup, owner, {}, {.popup = true, .owner = owner_surface}},
        // An owner inside a top-level keeps the window above that top-level.
        {"owned by a child", 0, inside, {}, {.owner = owner_surface}},
        {"minimum size", style::resizable, no_window, {120, 80}, {.resizable = true, .min_width = 120, .min_height = 80}},
        {"negative minimum", 0, no_window, {-5, 30}, {.min_height = 30}},
    };
    for (const Case& c : cases) {
        WindowId w = create_window({.class_name = "s", .style = c.style, .rect = {0, 0, 50, 50}, .owner = c.owner,
                                    .minimum_size = c.minimum});
        ASSERT_NE(w, no_window) << c.what;
        SurfaceStyle got = display->surface_style(surface_of(w));
        EXPECT_EQ(got.resizable, c.want.resizable) << c.what;
        EXPECT_EQ(got.borderless, c.want.borderless) << c.what;
        EXPECT_EQ(got.fullscreen, c.want.fullscreen) << c.what;
        EXPECT_EQ(got.popup, c.want.popup) << c.what;
        EXPECT_EQ(got.owner, c.want.owner) << c.what;
        EXPECT_EQ(got.min_width, c.want.min_width) << c.what;
        EXPECT_EQ(got.min_height, c.want.min_height) << c.what;
    }
}

TEST_F(SurfaceTest, APopupNeverBecomesActiveNorTakesTheFocus) {
    WindowId owner = top();
    WindowId field = create_window({.class_name = "s", .style = style::child, .rect = {10, 10, 50, 20}, .parent = owner,
                                    .visible = true});
    input::set_focus(field);
    ASSERT_EQ(input::active(), owner);
    WindowId menu = top({120, 90, 80, 60}, style::popup, owner);
    WindowId item = create_window({.class_name = "s", .style = style::child, .rect = {0, 0, 80, 20}, .parent = menu,
                                   .visible = true});
    pump();
    seen.clear();
    // A click in the menu reaches its item; the owner stays active with its focus.
    display->inject(RawEvent{.kind = RawEvent::Kind::button_down, .surface = surface_of(menu), .position = {5, 5},
                             .button = button::left});
    display->inject(RawEvent{.kind = RawEvent::Kind::focus_in, .surface = surface_of(menu)});
    pump();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().window, item);
    EXPECT_EQ(seen.back().kind, msg::button_down);
    EXPECT_EQ(input::active(), owner);
    EXPECT_EQ(input::focus(), field);
    EXPECT_EQ(input::set_focus(item), field);
    EXPECT_EQ(input::focus(), field);
    EXPECT_EQ(input::set_active(menu), owner);
    EXPECT_EQ(input::active(), owner);
    // Keys still go to the focus the menu opened from.
    display->inject(RawEvent{.kind = RawEvent::Kind::key_down, .key = key::down});
    pump();
    EXPECT_EQ(seen.back().window, field);
}

TEST_F(SurfaceTest, MinimiseMaximiseRestoreAreAskedOfTheDriverAndReported) {
    WindowId w = top();
    pump();
    seen.clear();
    const uint64_t restored = uint64_t(SurfaceState::restored), minimised = uint64_t(SurfaceState::minimised),
                   maximised = uint64_t(SurfaceState::maximised);
    struct Step {
        SurfaceState ask;
        Seq messages;  // what the window gets: nothing when the state does not change
    };
    const Step steps[] = {
        {SurfaceState::minimised, {{msg::state_changed, minimised}}},
        {SurfaceState::minimised, {}},
        {SurfaceState::restored, {{msg::state_changed, restored}}},
        {SurfaceState::maximised, {{msg::state_changed, maximised}}},
        {SurfaceState::minimised, {{msg::state_changed, minimised}}},
        {SurfaceState::restored, {{msg::state_changed, restored}}},
        {SurfaceState::restored, {}},
    };
    for (const Step& s : steps) {
        seen.clear();
        set_window_state(w, s.ask);
        EXPECT_EQ(display->surface_state(surface_of(w)), s.ask);
        pump();
        EXPECT_EQ(surface_messages(w), s.messages) << "asked " << int(s.ask);
        EXPECT_EQ(window_state(w), s.ask);
    }
    // The user (the window manager) changes it too.
    seen.clear();
    inject(RawEvent::Kind::maximised, w);
    pump();
    EXPECT_EQ(surface_messages(w), (Seq{{msg::state_changed, maximised}}));
    EXPECT_EQ(window_state(w), SurfaceState::maximised);
    // A hidden surface reported minimised is only unmapped.
    show_window(w, false);
    seen.clear();
    inject(RawEvent::Kind::minimised, w);
    pump();
    EXPECT_EQ(surface_messages(w), Seq{});
    EXPECT_EQ(window_state(w), SurfaceState::maximised);
    // Children and gone windows have no state and ask for none.
    WindowId c = create_window({.class_name = "s", .style = style::child, .rect = {0, 0, 5, 5}, .parent = w});
    set_window_state(c, SurfaceState::minimised);
    EXPECT_EQ(window_state(c), SurfaceState::restored);
    destroy_window(w);
    set_window_state(w, SurfaceState::minimised);
    EXPECT_EQ(window_state(w), SurfaceState::restored);
}

TEST_F(SurfaceTest, MovesAndResizesCloseTogetherAreOneSizeMoveBurst) {
    WindowId w = top({100, 50, 300, 200});
    WindowId other = top({500, 50, 100, 100});
    pump();
    seen.clear();
    using K = RawEvent::Kind;
    inject(K::moved, w, {110, 50});
    pump();
    EXPECT_EQ(surface_messages(w), (Seq{{msg::size_move_begin, 0}, {msg::moved, 0}}));
    EXPECT_TRUE(is_size_moving(w));
    EXPECT_FALSE(is_size_moving(other));
    seen.clear();
    display->advance(size_move::quiet_ms - 1);
    inject(K::resized, w, {320, 200});
    display->advance(size_move::quiet_ms - 1);
    pump();
    EXPECT_EQ(surface_messages(w), (Seq{{msg::resized, 0}}));
    seen.clear();
    display->advance(1);
    pump();
    EXPECT_EQ(surface_messages(w), (Seq{{msg::size_move_end, 0}}));
    EXPECT_FALSE(is_size_moving(w));
    EXPECT_EQ(rect_of(w), (Rect{110, 50, 320, 200}));
    EXPECT_EQ(surface_messages(other), Seq{});

    // A move the window system made comes back as what it holds: no burst.
    move_window(w, {0, 0, 200, 100});
    seen.clear();
    inject(K::moved, w, {0, 0});
    inject(K::resized, w, {200, 100});
    pump();
    EXPECT_EQ(surface_messages(w), Seq{});
    EXPECT_FALSE(is_size_moving(w));
}

TEST_F(SurfaceTest, AWaitingLoopEndsTheBurstOnTheVirtualClock) {
    WindowId w = top({100, 50, 300, 200});
    pump();
    seen.clear();
    display->advance(1000);
    inject(RawEvent::Kind::moved, w, {120, 60});
    quit_on_size_move_end = true;
    run_loop();
    EXPECT_EQ(display->now_ms(), 1000 + size_move::quiet_ms);
    EXPECT_EQ(surface_messages(w), (Seq{{msg::size_move_begin, 0}, {msg::moved, 0}, {msg::size_move_end, 0}}));
    // A window destroyed in the middle of its burst leaves nothing to end.
    seen.clear();
    inject(RawEvent::Kind::moved, w, {130, 60});
    pump();
    destroy_window(w);
    EXPECT_FALSE(size_move::next_end().has_value());
}

TEST_F(SurfaceTest, MonitorChangesReachEveryTopLevelAndIdsStay) {
    WindowId a = top();
    WindowId b = top({0, 0, 10, 10}, style::popup, a);
    WindowId c = create_window({.class_name = "s", .style = style::child, .rect = {0, 0, 5, 5}, .parent = a});
    display->set_monitors(HeadlessDriver::parse_monitors("1920x1080,1280x1024+1920+0@1.5"));
    std::vector<Monitor> first = display->monitors();
    ASSERT_EQ(first.size(), 2u);
    pump();
    for (WindowId w : {a, b}) EXPECT_EQ(surface_messages(w), (Seq{{msg::display_changed, 0}})) << w;
    EXPECT_EQ(surface_messages(c), Seq{});
    EXPECT_NE(first[0].id, 0u);
    EXPECT_NE(first[1].id, 0u);
    EXPECT_NE(first[0].id, first[1].id);

    struct Case {
        const char* what;
        const char* monitors;
        // For each monitor listed: the index in `first` of the one it is
        // (same id), or -1 for a new one (an id none had).
        std::vector<int> same_as;
    };
    const Case cases[] = {
        {"the same again", "1920x1080,1280x1024+1920+0@1.5", {0, 1}},
        {"another mode and scale", "2560x1440@2,1280x1024+1920+0", {0, 1}},
        {"the first unplugged", "1280x1024+1920+0@1.5", {1}},
        {"listed the other way", "1280x1024+1920+0@1.5,1920x1080", {1, 0}},
        {"one added below", "1920x1080,1280x1024+1920+0,800x600+0+1080", {0, 1, -1}},
    };
    std::vector<uint32_t> known = {first[0].id, first[1].id};
    for (const Case& k : cases) {
        seen.clear();
        display->set_monitors(HeadlessDriver::parse_monitors(k.monitors));
        pump();
        EXPECT_EQ(surface_messages(a), (Seq{{msg::display_changed, 0}})) << k.what;
        std::vector<Monitor> now = display->monitors();
        ASSERT_EQ(now.size(), k.same_as.size()) << k.what;
        for (size_t i = 0; i < now.size(); ++i) {
            if (k.same_as[i] >= 0) {
                EXPECT_EQ(now[i].id, first[size_t(k.same_as[i])].id) << k.what << " #" << i;
            } else {
                EXPECT_NE(now[i].id, 0u);
                for (uint32_t old : known) EXPECT_NE(now[i].id, old) << k.what << " #" << i;
            }
        }
    }
    // None at all keeps one, as at start.
    display->set_monitors({});
    EXPECT_EQ(display->monitors().size(), 1u);
    EXPECT_EQ(display->monitors()[0].id, first[0].id);
}

TEST_F(SurfaceTest, ThePointerIsWhereTheLastMouseEventPutIt) {
    WindowId w = top({100, 50, 300, 200});
    WindowId v = top({600, 400, 100, 100});
    EXPECT_EQ(driver().pointer_position(), (Point{0, 0}));
    inject(RawEvent::Kind::mouse_move, w, {10, 5});
    pump();
    EXPECT_EQ(driver().pointer_position(), (Point{110, 55}));
    display->inject(RawEvent{.kind = RawEvent::Kind::button_down, .surface = surface_of(v), .position = {1, 2},
                             .button = button::left});
    pump();
    EXPECT_EQ(driver().pointer_position(), (Point{601, 402}));
    // Keys and events of a surface that is gone leave it.
    inject(RawEvent::Kind::mouse_move, w, {1, 1});
    pump();
    display->inject(RawEvent{.kind = RawEvent::Kind::key_down, .key = 'A'});
    SurfaceId gone = surface_of(w);
    destroy_window(w);
    display->inject(RawEvent{.kind = RawEvent::Kind::mouse_move, .surface = gone, .position = {7, 7}});
    pump();
    EXPECT_EQ(driver().pointer_position(), (Point{101, 51}));
}

TEST(XResourceScale, IsXftDpiOver96) {
    struct Case {
        const char* resources;
        double scale;
    };
    const Case cases[] = {
        {nullptr, 1.0},
        {"", 1.0},
        {"Xft.dpi:\t144\n", 1.5},
        {"Xft.antialias:\t1\nXft.hinting:\t1\nXft.dpi:\t120\nXcursor.size:\t24\n", 1.25},
        {"Xft.dpi: 96\n", 1.0},
        {"Xft.dpi: 192.0\n", 2.0},
        {"Xft.dpi: lots\n", 1.0},
        {"Xft.dpi: -144\n", 1.0},
        {"Xft.dpi: 0\n", 1.0},
        {"Xcursor.size: 144\n", 1.0},
        {"not a resource line at all", 1.0},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(scale_from_x_resources(c.resources), c.scale) << (c.resources ? c.resources : "(null)");
}

}  // namespace
