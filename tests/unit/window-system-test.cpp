// The window system over the headless driver: the queue's order and nested
// loops, painting and update, the virtual clock's timers, capture and
// disabled windows, batched moves, keys, the tree's destruction order,
// compositing, hover and double clicks, monitors.
#include <cairo.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/window-system/clipboard.h"
#include "platform/window-system/drivers/driver-headless.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/windows.h"

using namespace vum::win;

namespace {

std::vector<Message> received;
std::function<int64_t(WindowId, const Message&)> hook;
std::vector<Rect> paint_bounds_seen;

int64_t recording_procedure(WindowId w, const Message& m) {
    if (m.kind != msg::hit_test && m.kind != msg::set_cursor) received.push_back(m);
    if (m.kind == msg::paint) paint_bounds_seen.push_back(paint_bounds());
    if (hook) return hook(w, m);
    return default_procedure(w, m);
}

class WindowSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto headless = std::make_unique<HeadlessDriver>();
        display = headless.get();
        start(std::move(headless));
        ASSERT_TRUE(register_class(
            WindowClass{.name = "test", .procedure = recording_procedure, .background = 0xFFFFFFFF, .extra_slots = 4}));
        received.clear();
        paint_bounds_seen.clear();
        hook = nullptr;
    }
    void TearDown() override {
        hook = nullptr;
        stop();
    }

    WindowId top_level(Rect r = {0, 0, 300, 200}) {
        return create_window({.class_name = "test", .rect = r, .visible = true});
    }
    WindowId child(WindowId parent, Rect r, uint32_t more_style = 0) {
        return create_window(
            {.class_name = "test", .style = style::child | more_style, .rect = r, .parent = parent, .visible = true});
    }
    // Dispatches what is there without waiting, then forgets it.
    void settle() {
        Message m;
        while (peek(m, true) && m.kind != msg::quit) {
            translate(m);
            dispatch(m);
        }
        received.clear();
        paint_bounds_seen.clear();
        display->clear_presented();
    }
    // Dispatches what is there and keeps the record of it.
    void settle_keep() {
        Message m;
        while (peek(m, true) && m.kind != msg::quit) {
            translate(m);
            dispatch(m);
        }
    }
    std::vector<uint32_t> kinds_for(WindowId w) const {
        std::vector<uint32_t> out;
        for (const Message& m : received)
            if (m.window == w) out.push_back(m.kind);
        return out;
    }
    int count(WindowId w, uint32_t kind) const {
        int n = 0;
        for (const Message& m : received) n += m.window == w && m.kind == kind;
        return n;
    }
    void inject(RawEvent::Kind kind, WindowId top, Point p, uint32_t button_number = 0) {
        RawEvent e;
        e.kind = kind;
        e.surface = surface_of(top);
        e.position = p;
        e.button = button_number;
        display->inject(e);
    }
    uint32_t pixel(WindowId top, int x, int y) {
        cairo_surface_t* s = back_buffer(top);
        cairo_surface_flush(s);
        auto* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
        return reinterpret_cast<uint32_t*>(row)[x];
    }

    HeadlessDriver* display = nullptr;
};

constexpr uint32_t marker = msg::user;

TEST_F(WindowSystemTest, QuitPostsDuringOneDispatchEndOnlyTheInnerLoop) {
    WindowId w = top_level();
    settle();
    std::vector<std::string> trace;
    int32_t inner_result = -1;
    hook = [&](WindowId self, const Message& m) -> int64_t {
        if (m.kind == marker + 1) {
            trace.push_back("outer-dispatch");
            post(self, marker + 2);
            inner_result = run_loop();
            trace.push_back("inner-ended at depth " + std::to_string(loop_depth()));
            post(self, marker + 3);
        } else if (m.kind == marker + 2) {
            trace.push_back("inner-dispatch");
            post_quit(5);
            post_quit(6);
            post_quit(9);
            // Posted messages come before the quit flag.
            post(self, marker + 4);
        } else if (m.kind == marker + 4) {
            trace.push_back("posted-after-quit");
        } else if (m.kind == marker + 3) {
            trace.push_back("outer-continues");
            post_quit(7);
        }
        return default_procedure(self, m);
    };
    post(w, marker + 1);
    EXPECT_EQ(run_loop(), 7);
    EXPECT_EQ(inner_result, 9);
    EXPECT_EQ(loop_depth(), 0);
    EXPECT_EQ(trace, (std::vector<std::string>{"outer-dispatch", "inner-dispatch", "posted-after-quit",
                                               "inner-ended at depth 1", "outer-continues"}));
}

TEST_F(WindowSystemTest, TakesPostedThenQuitThenInputThenPaintThenTimers) {
    WindowId w = top_level();
    settle();
    set_timer(w, 1, 0);
    display->advance(5);
    invalidate(w);
    inject(RawEvent::Kind::mouse_move, w, {10, 10});
    post_quit(0);
    post(w, marker);
    std::vector<uint32_t> order;
    Message m;
    while (peek(m, true)) {
        order.push_back(m.kind);
        if (m.kind == msg::timer) break;
        dispatch(m);
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{marker, msg::quit, msg::mouse_move, msg::paint, msg::timer}));
}

TEST_F(WindowSystemTest, UpdatePaintsTheChildOnceWithoutTakingInput) {
    WindowId top = top_level();
    WindowId c = child(top, {10, 10, 50, 30});
    settle();
    inject(RawEvent::Kind::mouse_move, top, {100, 100});
    invalidate(c);
    EXPECT_TRUE(update_window(c));
    EXPECT_EQ(kinds_for(c), (std::vector<uint32_t>{msg::paint}));
    EXPECT_EQ(count(top, msg::paint), 0);  // opaque: nothing under it to paint
    EXPECT_EQ(count(top, msg::mouse_move), 0);
    EXPECT_FALSE(update_window(c));  // nothing left invalid
    Message m;
    ASSERT_TRUE(peek(m, true));
    EXPECT_EQ(m.kind, msg::mouse_move);
    EXPECT_FALSE(peek(m, false));  // no paint is owed any more
    ASSERT_EQ(display->presented().size(), 1u);
    EXPECT_EQ(display->presented()[0].dirty, (Rect{10, 10, 50, 30}));
}

TEST_F(WindowSystemTest, TimersRunOnTheVirtualClock) {
    WindowId w = top_level();
    settle();
    struct Case {
        const char* name;
        std::function<void()> setup;
        std::function<void(uint64_t id, int fired)> on_timer;
        int expected_fires;
        uint64_t expected_end;
    };
    int fires = 0;
    const Case cases[] = {
        {"333 ms over 1000 ms", [&] { set_timer(w, 1, 333); set_timer(w, 2, 1000); }, nullptr, 3, 1000},
        {"set again replaces the interval",
         [&] {
             set_timer(w, 1, 100);
             set_timer(w, 1, 250);
             set_timer(w, 2, 1100);
         },
         nullptr, 4, 1100},
        {"killed after the second",
         [&] { set_timer(w, 1, 333); }, [&](uint64_t, int n) { if (n == 2) kill_timer(w, 1); }, 2, 666},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fires = 0;
        uint64_t begin = display->now_ms();
        hook = [&](WindowId self, const Message& m) -> int64_t {
            if (m.kind == msg::timer && m.a == 2) {
                kill_timer(self, 2);
                kill_timer(self, 1);
                post_quit(0);
            } else if (m.kind == msg::timer && m.a == 1) {
                ++fires;
                if (c.on_timer) c.on_timer(m.a, fires);
            }
            return 0;
        };
        c.setup();
        // The last case ends when nothing is left to wait for.
        run_loop();
        EXPECT_EQ(fires, c.expected_fires);
        EXPECT_EQ(display->now_ms() - begin, c.expected_end);
    }
}

TEST_F(WindowSystemTest, CaptureAndDisabledWindows) {
    WindowId top = top_level({0, 0, 300, 200});
    WindowId a = child(top, {0, 0, 50, 50});
    WindowId b = child(top, {100, 0, 50, 50});
    enable_window(b, false);
    settle();

    input::set_capture(a);
    inject(RawEvent::Kind::mouse_move, top, {150, 150});
    settle_keep();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].window, a);
    EXPECT_EQ(received[0].point, (Point{150, 150}));

    input::release_capture();
    EXPECT_EQ(count(a, msg::capture_lost), 1);
    received.clear();
    inject(RawEvent::Kind::mouse_move, top, {120, 10});
    inject(RawEvent::Kind::button_down, top, {120, 10}, button::left);
    inject(RawEvent::Kind::button_up, top, {120, 10}, button::left);
    inject(RawEvent::Kind::button_down, top, {10, 10}, button::left);
    settle_keep();
    EXPECT_EQ(kinds_for(b), (std::vector<uint32_t>{msg::mouse_move}));
    EXPECT_EQ(received.back().window, a);
    EXPECT_EQ(received.back().kind, msg::button_down);
    EXPECT_EQ(received.back().point, (Point{10, 10}));
}

TEST_F(WindowSystemTest, ABatchOfMovesRepaintsOnceTheUnionOfTheirRectangles) {
    WindowId top = top_level({0, 0, 400, 300});
    WindowId kids[3] = {child(top, {10, 10, 20, 20}), child(top, {50, 10, 20, 20}), child(top, {90, 10, 20, 20})};
    settle();
    MoveBatch batch;
    batch.add(kids[0], {10, 100, 20, 20});
    batch.add(kids[1], {50, 100, 20, 20});
    batch.add(kids[2], {90, 100, 30, 20});
    batch.apply();
    settle_keep();
    EXPECT_EQ(count(top, msg::paint), 1);
    ASSERT_EQ(display->presented().size(), 1u);
    Rect whole{10, 10, 110, 110};
    EXPECT_EQ(display->presented()[0].dirty, whole);
    ASSERT_FALSE(paint_bounds_seen.empty());
    EXPECT_EQ(paint_bounds_seen[0], whole);
    for (WindowId k : kids) EXPECT_EQ(count(k, msg::paint), 1);
}

// The sequence a typed "aB" gives; the Xvfb test holds xdotool to the same.
TEST_F(WindowSystemTest, InjectedKeysGiveKeyDownCharacterKeyUp) {
    WindowId top = top_level();
    input::set_focus(top);
    settle();
    auto key = [&](RawEvent::Kind kind, uint32_t code, uint32_t character, uint32_t mods) {
        RawEvent e;
        e.kind = kind;
        e.surface = surface_of(top);
        e.key = code;
        e.character = character;
        e.modifiers = mods;
        display->inject(e);
    };
    using K = RawEvent::Kind;
    key(K::key_down, 'A', 'a', 0);
    key(K::key_up, 'A', 0, 0);
    key(K::key_down, key::left_shift, 0, modifier::shift);
    key(K::key_down, 'B', 'B', modifier::shift);
    key(K::key_up, key::left_shift, 0, 0);  // as xdotool does: shift first
    key(K::key_up, 'B', 0, 0);
    settle_keep();
    std::vector<std::pair<uint32_t, uint64_t>> got;
    for (const Message& m : received)
        if (m.window == top) got.push_back({m.kind, m.a});
    std::vector<std::pair<uint32_t, uint64_t>> want = {
        {msg::key_down, 'A'},           {msg::character, 'a'},         {msg::key_up, 'A'},
        {msg::key_down, key::left_shift}, {msg::key_down, 'B'},        {msg::character, 'B'},
        {msg::key_up, key::left_shift}, {msg::key_up, 'B'},
    };
    EXPECT_EQ(got, want);
}

TEST_F(WindowSystemTest, DestroyingSendsParentsFirstThenFreesChildrenFirst) {
    WindowId top = top_level();
    WindowId c = child(top, {0, 0, 100, 100});
    WindowId g = child(c, {0, 0, 10, 10});
    WindowId owned = create_window({.class_name = "test", .rect = {0, 0, 10, 10}, .owner = top});
    input::set_focus(g);
    set_timer(g, 1, 10);
    received.clear();
    destroy_window(top);
    std::vector<std::pair<WindowId, uint32_t>> got;
    for (const Message& m : received)
        if (m.kind == msg::destroying || m.kind == msg::destroyed) got.push_back({m.window, m.kind});
    std::vector<std::pair<WindowId, uint32_t>> want = {
        {owned, msg::destroying}, {owned, msg::destroyed}, {top, msg::destroying}, {c, msg::destroying},
        {g, msg::destroying},     {g, msg::destroyed},     {c, msg::destroyed},   {top, msg::destroyed},
    };
    EXPECT_EQ(got, want);
    for (WindowId w : {top, c, g, owned}) EXPECT_FALSE(is_window(w));
    EXPECT_EQ(input::focus(), no_window);
    EXPECT_TRUE(top_levels().empty());
    // The slot's next window has an id of its own.
    WindowId again = top_level();
    EXPECT_NE(again, top);
    EXPECT_FALSE(is_window(top));
}

int64_t red_painter(WindowId, const Message& m) {
    received.push_back(m);
    if (m.kind == msg::paint) {
        cairo_set_source_rgb(paint_context(), 1, 0, 0);
        cairo_paint(paint_context());
    }
    return 0;
}

int64_t half_blue_painter(WindowId, const Message& m) {
    received.push_back(m);
    if (m.kind == msg::paint) {
        cairo_set_source_rgba(paint_context(), 0, 0, 1, 0.5);
        cairo_paint(paint_context());
    }
    return 0;
}

TEST_F(WindowSystemTest, ChildrenCompositeOverTheirParents) {
    WindowId top = create_window({.class_name = "test", .rect = {0, 0, 100, 100}, .visible = true});
    set_procedure(top, red_painter);
    WindowId glass = child(top, {10, 10, 20, 20}, style::transparent);
    set_procedure(glass, half_blue_painter);
    WindowId card = child(top, {50, 50, 20, 20});
    settle();
    EXPECT_EQ(pixel(top, 5, 5), 0xFFFF0000u);
    EXPECT_EQ(pixel(top, 15, 15), 0xFF7F0080u);  // half blue over red
    EXPECT_EQ(pixel(top, 55, 55), 0xFFFFFFFFu);  // the opaque child's white background

    // Invalidating the glass repaints its parent under it first, once.
    received.clear();
    invalidate(glass);
    update_window(glass);
    EXPECT_EQ(count(top, msg::paint), 1);
    EXPECT_EQ(count(glass, msg::paint), 1);
    EXPECT_EQ(pixel(top, 15, 15), 0xFF7F0080u);
    // A window moved off a spot leaves its parent's paint there.
    move_window(card, {70, 70, 20, 20});
    update_window(top);
    EXPECT_EQ(pixel(top, 55, 55), 0xFFFF0000u);
    EXPECT_EQ(pixel(top, 75, 75), 0xFFFFFFFFu);
}

TEST_F(WindowSystemTest, HoverLeaveAndDoubleClicks) {
    ASSERT_TRUE(register_class(WindowClass{.name = "clicky",
                                           .procedure = recording_procedure,
                                           .class_style = class_style::double_clicks,
                                           .background = 0xFF000000}));
    WindowId top = top_level();
    WindowId pad = create_window(
        {.class_name = "clicky", .style = style::child, .rect = {0, 0, 50, 50}, .parent = top, .visible = true});
    settle();
    input::track_leave(pad);
    inject(RawEvent::Kind::mouse_move, top, {10, 10});
    inject(RawEvent::Kind::mouse_move, top, {100, 10});
    inject(RawEvent::Kind::mouse_move, top, {10, 10});
    settle_keep();
    EXPECT_EQ(count(pad, msg::mouse_leave), 1);

    received.clear();
    for (int i = 0; i < 3; ++i) {
        inject(RawEvent::Kind::button_down, top, {10, 10}, button::left);
        inject(RawEvent::Kind::button_up, top, {10, 10}, button::left);
        display->advance(100);
    }
    display->advance(600);
    inject(RawEvent::Kind::button_down, top, {10, 10}, button::left);
    // The top-level's class asks for no double clicks.
    inject(RawEvent::Kind::button_down, top, {100, 100}, button::left);
    inject(RawEvent::Kind::button_down, top, {100, 100}, button::left);
    settle_keep();
    std::vector<uint32_t> presses;
    for (const Message& m : received)
        if (m.kind == msg::button_down || m.kind == msg::button_double) presses.push_back(m.kind);
    EXPECT_EQ(presses, (std::vector<uint32_t>{msg::button_down, msg::button_double, msg::button_down, msg::button_down,
                                              msg::button_down, msg::button_down}));
}

TEST_F(WindowSystemTest, FocusActivationAndCoordinates) {
    WindowId one = top_level({100, 50, 300, 200});
    WindowId two = top_level({500, 50, 300, 200});
    WindowId field = child(one, {20, 30, 100, 20});
    WindowId inner = child(field, {5, 5, 10, 10});
    settle();
    EXPECT_EQ(to_screen(inner, {1, 2}), (Point{126, 87}));
    EXPECT_EQ(map_point(inner, two, {0, 0}), (Point{-375, 35}));
    EXPECT_EQ(window_at(one, {26, 36}), inner);
    input::set_focus(field);
    EXPECT_EQ(input::active(), one);
    input::set_focus(two);
    std::vector<std::pair<WindowId, uint32_t>> got;
    for (const Message& m : received)
        if (m.kind == msg::activate || m.kind == msg::set_focus || m.kind == msg::kill_focus)
            got.push_back({m.window, m.kind});
    std::vector<std::pair<WindowId, uint32_t>> want = {
        {one, msg::activate}, {field, msg::set_focus}, {one, msg::activate},
        {two, msg::activate}, {field, msg::kill_focus}, {two, msg::set_focus},
    };
    EXPECT_EQ(got, want);
    // Reparenting: a window cannot go inside itself.
    EXPECT_FALSE(set_parent(field, inner));
    EXPECT_TRUE(set_parent(inner, two));
    EXPECT_EQ(children_of(two), (std::vector<WindowId>{inner}));
    EXPECT_EQ(to_screen(inner, {0, 0}), (Point{505, 55}));
}

TEST_F(WindowSystemTest, NothingLeftToWaitForEndsTheLoop) {
    top_level();
    settle();
    testing::internal::CaptureStderr();
    Message m;
    EXPECT_FALSE(get(m));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("left to wait for"), std::string::npos);
    EXPECT_EQ(m.kind, msg::quit);
}

TEST(KeyCharacters, ControlKeysTypeTheirControlCodes) {
    struct Case {
        uint32_t key, modifiers, character;
    } cases[] = {
        {key::backspace, 0, 8},           {key::backspace, modifier::control, 127},
        {key::enter, 0, 13},              {key::enter, modifier::control, 10},
        {key::tab, 0, 9},                 {key::escape, modifier::shift, 27},
        {'C', modifier::control, 3},      {'Z', modifier::control | modifier::shift, 26},
        {'C', 0, 0},                      {key::left, modifier::control, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(control_character(c.key, c.modifiers), c.character) << c.key << " with " << c.modifiers;
}

TEST_F(WindowSystemTest, ClassNamesMatchWhateverTheirCase) {
    ASSERT_TRUE(register_class(WindowClass{.name = "VumTabpanel", .procedure = recording_procedure}));
    const WindowClass* registered = find_class("VumTabpanel");
    ASSERT_NE(registered, nullptr);
    EXPECT_EQ(find_class("VumTabPanel"), registered);
    EXPECT_EQ(find_class("VUMTABPANEL"), registered);
    EXPECT_EQ(find_class("VumTabPane"), nullptr);
    EXPECT_FALSE(register_class(WindowClass{.name = "VUMTABPANEL", .procedure = recording_procedure}));
    EXPECT_NE(superclass("Tabs", "vumtabpanel", nullptr), nullptr);
    WindowId w = create_window({.class_name = "VumTabPanel", .rect = {0, 0, 10, 10}});
    ASSERT_NE(w, no_window);
    EXPECT_EQ(class_of(w), registered);
    EXPECT_FALSE(unregister_class("vumtabPANEL"));  // a window of the class lives
    destroy_window(w);
    EXPECT_TRUE(unregister_class("vumtabPANEL"));
    EXPECT_EQ(find_class("VumTabpanel"), nullptr);
    EXPECT_NE(find_class("TABS"), nullptr);
}

TEST_F(WindowSystemTest, RecordsAreReadByIdAndAGoneWindowReadsEmpty) {
    WindowId owner = top_level();
    WindowId owned = create_window({.class_name = "test", .style = style::popup, .rect = {5, 5, 40, 30},
                                    .owner = owner});
    WindowId c = child(owner, {1, 2, 3, 4}, style::transparent);
    EXPECT_EQ(window_of_surface(surface_of(owner)), owner);
    EXPECT_NE(surface_of(owned), surface_of(owner));
    EXPECT_EQ(surface_of(c), 0u);
    EXPECT_EQ(owner_of(owned), owner);
    EXPECT_EQ(owner_of(c), no_window);  // a child has a parent, never an owner
    EXPECT_EQ(style_of(c), style::child | style::transparent);
    EXPECT_EQ(class_of(c), find_class("test"));
    EXPECT_EQ(procedure_of(c), &recording_procedure);
    destroy_window(owner);
    for (WindowId gone : {owner, owned, c}) {
        EXPECT_EQ(surface_of(gone), 0u);
        EXPECT_EQ(owner_of(gone), no_window);
        EXPECT_EQ(style_of(gone), 0u);
        EXPECT_EQ(class_of(gone), nullptr);
        EXPECT_EQ(procedure_of(gone), nullptr);
    }
}

TEST_F(WindowSystemTest, StopDropsTheWholeStateAndTheNextStartBeginsClean) {
    WindowId w = top_level();
    WindowId c = child(w, {10, 10, 50, 50});
    settle();
    input::set_focus(c);
    input::set_capture(c);
    input::track_leave(c);
    create_caret(c, 2, 10);
    show_caret(true);
    set_timer(w, 1, 10);
    post(w, marker);
    post_quit(3);
    post_from_any_thread(w, marker + 1);
    stop();
    ASSERT_FALSE(running());
    EXPECT_EQ(input::focus(), no_window);
    EXPECT_EQ(caret_window(), no_window);

    auto fresh = std::make_unique<HeadlessDriver>();
    display = fresh.get();
    start(std::move(fresh));
    EXPECT_FALSE(is_window(w));
    EXPECT_TRUE(top_levels().empty());
    EXPECT_EQ(find_class("test"), nullptr);
    EXPECT_EQ(input::focus(), no_window);
    EXPECT_EQ(input::capture(), no_window);
    EXPECT_EQ(input::active(), no_window);
    EXPECT_EQ(caret_window(), no_window);
    EXPECT_EQ(paint_context(), nullptr);
    EXPECT_EQ(loop_depth(), 0);
    display->advance(1000);
    Message m;
    EXPECT_FALSE(peek(m, true));  // no posted message, quit flag, foreign post or timer survived
}

// A procedure may stop (and start again) the window system while the loops,
// the paint pass and the routing that called it are still on the stack:
// they must neither touch the old state nor count themselves in the new.
TEST_F(WindowSystemTest, AProcedureMayStopTheSystemUnderItsCallers) {
    auto restart = [&] {
        stop();
        auto fresh = std::make_unique<HeadlessDriver>();
        display = fresh.get();
        start(std::move(fresh));
    };
    WindowId w = top_level();
    child(w, {10, 10, 50, 50});
    settle();
    hook = [&](WindowId self, const Message& m) -> int64_t {
        if (m.kind == msg::paint) restart();
        return default_procedure(self, m);
    };
    invalidate(w);
    EXPECT_TRUE(update_window(w));
    EXPECT_FALSE(is_window(w));
    EXPECT_EQ(paint_context(), nullptr);
    EXPECT_EQ(next_dirty_top_level(), no_window);

    hook = nullptr;
    ASSERT_TRUE(register_class(WindowClass{.name = "test", .procedure = recording_procedure}));
    w = top_level();
    settle();
    std::vector<int32_t> depth_seen;
    hook = [&](WindowId self, const Message& m) -> int64_t {
        if (m.kind == marker) {
            depth_seen.push_back(loop_depth());
            post(self, marker + 1);
            run_loop();
        } else if (m.kind == marker + 1) {
            depth_seen.push_back(loop_depth());
            restart();
        }
        return default_procedure(self, m);
    };
    post(w, marker);
    run_loop();  // both loops end: the new system has nothing to wait for
    EXPECT_EQ(loop_depth(), 0);
    EXPECT_EQ(depth_seen, (std::vector<int32_t>{1, 2}));

    hook = nullptr;
    ASSERT_TRUE(register_class(WindowClass{.name = "test", .procedure = recording_procedure}));
    w = top_level();
    input::set_active(no_window);
    settle();
    hook = [&](WindowId self, const Message& m) -> int64_t {
        if (m.kind == msg::activate && m.a == 1) restart();
        return default_procedure(self, m);
    };
    inject(RawEvent::Kind::button_down, w, {5, 5}, button::left);
    Message m;
    EXPECT_FALSE(peek(m, true));  // the press died with the system it came to
    EXPECT_EQ(input::active(), no_window);

    // Restarted while stop destroys the windows: stop leaves the new
    // system's windows alone, though they took the old ones' ids.
    hook = nullptr;
    ASSERT_TRUE(register_class(WindowClass{.name = "test", .procedure = recording_procedure}));
    WindowId first = top_level();
    top_level();
    settle();
    std::vector<WindowId> made_after;
    hook = [&](WindowId self, const Message& m) -> int64_t {
        if (m.kind == msg::destroying && self == first && made_after.empty()) {
            restart();
            register_class(WindowClass{.name = "test", .procedure = recording_procedure});
            made_after = {top_level(), top_level()};
        }
        return default_procedure(self, m);
    };
    stop();
    hook = nullptr;
    ASSERT_TRUE(running());
    for (WindowId made : made_after) EXPECT_TRUE(is_window(made));
}

TEST(WindowSystemBeforeStart, AskingForTheDriverIsAClearFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_FALSE(running());
    EXPECT_DEATH(driver(), "display driver was asked for before start");
    // The calls that would reach the driver answer as with nothing to do.
    post(1, marker);
    post_quit(1);
    set_timer(1, 1, 10);
    Message m;
    EXPECT_FALSE(peek(m, false));
    EXPECT_FALSE(get(m));
    EXPECT_EQ(run_loop(), 0);
    EXPECT_EQ(loop_depth(), 0);
    EXPECT_FALSE(update_window(1));
    EXPECT_EQ(create_window({.class_name = "test"}), no_window);
    EXPECT_EQ(input::set_focus(1), no_window);
}

TEST(HeadlessMonitors, DescriptionsRead) {
    struct Case {
        const char* text;
        std::vector<Rect> areas;
        std::vector<double> scales;
    } cases[] = {
        {"1920x1080", {{0, 0, 1920, 1080}}, {1.0}},
        {"1920x1080,1280x1024+1920+0@1.5", {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}}, {1.0, 1.5}},
        {"junk,800x600@2", {{0, 0, 800, 600}}, {2.0}},
        {"", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto got = HeadlessDriver::parse_monitors(c.text);
        ASSERT_EQ(got.size(), c.areas.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].area, c.areas[i]);
            EXPECT_EQ(got[i].scale, c.scales[i]);
        }
    }
    EXPECT_EQ(HeadlessDriver().monitors()[0].area, (Rect{0, 0, 1920, 1080}));
}

TEST(ClipboardUriList, RoundTripsOddNames) {
    std::vector<std::string> files = {"/tmp/a b/c%d.txt", "/srv/\xC3\xA9t\xC3\xA9", "/x#y"};
    std::string list = vum::clip::files_to_uri_list(files);
    EXPECT_EQ(list.substr(0, 27), "file:///tmp/a%20b/c%25d.txt");
    EXPECT_EQ(vum::clip::uri_list_to_files(list), files);
    EXPECT_EQ(vum::clip::uri_list_to_files("# comment\r\nhttp://x/y\r\nfile://host/etc/z\r\nfile:///bad%zz\r\n"),
              (std::vector<std::string>{"/etc/z"}));
}

}  // namespace
