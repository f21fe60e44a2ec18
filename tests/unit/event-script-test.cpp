// The GUI console's event script over the headless driver: what each line
// injects, the strings it reads, bad lines reported with their number, the
// virtual clock under `wait`, `shot` and `dump`, and the end closing every
// window and calling the exit hook.
#include <cairo.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/window-system/clipboard.h"
#include "platform/window-system/drivers/driver-headless.h"
#include "platform/window-system/event-script.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/windows.h"

using namespace vum::win;
namespace events = vum::win::events;

namespace {

std::string describe(const RawEvent& e) {
    using K = RawEvent::Kind;
    char text[96];
    switch (e.kind) {
    case K::key_down:
        std::snprintf(text, sizeof text, "key-down %u char %u mods %u", e.key, e.character, e.modifiers);
        break;
    case K::key_up: std::snprintf(text, sizeof text, "key-up %u mods %u", e.key, e.modifiers); break;
    case K::text: std::snprintf(text, sizeof text, "text %u", e.character); break;
    case K::mouse_move: std::snprintf(text, sizeof text, "move %d %d", e.position.x, e.position.y); break;
    case K::button_down:
        std::snprintf(text, sizeof text, "down %u at %d %d", e.button, e.position.x, e.position.y);
        break;
    case K::button_up:
        std::snprintf(text, sizeof text, "up %u at %d %d", e.button, e.position.x, e.position.y);
        break;
    case K::wheel: std::snprintf(text, sizeof text, "wheel %d at %d %d", e.delta, e.position.x, e.position.y); break;
    case K::resized: std::snprintf(text, sizeof text, "resized %dx%d", e.position.x, e.position.y); break;
    case K::close: std::snprintf(text, sizeof text, "close"); break;
    default: std::snprintf(text, sizeof text, "kind %d", int(e.kind)); break;
    }
    return text;
}

constexpr uint32_t shift = modifier::shift, control = modifier::control;
const std::string plus_key = std::to_string(key::punctuation + '=');

TEST(EventScriptLines, EachLineInjectsWhatAPersonWouldDo) {
    struct Case {
        const char* line;
        std::vector<std::string> events;
    } cases[] = {
        {"type \"aB\"",
         {"key-down 65 char 97 mods 0", "key-up 65 mods 0", "key-down 66 char 66 mods 1", "key-up 66 mods 1"}},
        {"type \"1 + 2\"",
         {"key-down 49 char 49 mods 0", "key-up 49 mods 0", "key-down 32 char 32 mods 0", "key-up 32 mods 0",
          "key-down " + plus_key + " char 43 mods 1", "key-up " + plus_key + " mods 1", "key-down 32 char 32 mods 0",
          "key-up 32 mods 0", "key-down 50 char 50 mods 0", "key-up 50 mods 0"}},
        // A line break is the enter key; what the keyboard lacks comes as text.
        {"type {a^/é😀}",
         {"key-down 65 char 97 mods 0", "key-up 65 mods 0", "key-down 13 char 13 mods 0", "key-up 13 mods 0",
          "text 233", "text 128512"}},
        {"key enter", {"key-down 13 char 13 mods 0", "key-up 13 mods 0"}},
        {"  key   shift+insert  ",
         {"key-down " + std::to_string(key::insert) + " char 0 mods 1", "key-up " + std::to_string(key::insert) + " mods 1"}},
        {"key control+c", {"key-down 67 char 3 mods 2", "key-up 67 mods 2"}},
        {"key Ctrl+Backspace", {"key-down 8 char 127 mods 2", "key-up 8 mods 2"}},
        {"key control+enter", {"key-down 13 char 10 mods 2", "key-up 13 mods 2"}},
        {"key shift+1", {"key-down 49 char 33 mods 1", "key-up 49 mods 1"}},
        {"key +", {"key-down " + plus_key + " char 43 mods 1", "key-up " + plus_key + " mods 1"}},
        {"key f5", {"key-down " + std::to_string(key::f1 + 4) + " char 0 mods 0", "key-up " + std::to_string(key::f1 + 4) + " mods 0"}},
        {"key escape", {"key-down 27 char 27 mods 0", "key-up 27 mods 0"}},
        {"click 10 20", {"move 10 20", "down 1 at 10 20", "up 1 at 10 20"}},
        {"down 1 2", {"down 1 at 1 2"}},
        {"move -3 4", {"move -3 4"}},
        {"up 5 6", {"up 1 at 5 6"}},
        // The wheel turns where the last line left the pointer.
        {"wheel -2", {"wheel -240 at 7 8"}},
        {"resize 640x480", {"resized 640x480"}},
        {"close", {"close"}},
        {"clipboard \"x\"", {}},
        {"wait 5", {}},
        {"dump", {}},
        {"shot out.png", {}},
        {"; a comment", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::optional<events::Command> command;
        std::string error;
        ASSERT_TRUE(events::parse_line(c.line, command, error)) << error;
        std::vector<std::string> got;
        Point pointer{7, 8};
        if (command)
            for (const RawEvent& e : events::input_events(*command, 42, pointer)) {
                EXPECT_EQ(e.surface, 42u);
                got.push_back(describe(e));
            }
        EXPECT_EQ(got, c.events);
    }
}

TEST(EventScriptLines, StringsReadAsTheLanguageWritesThem) {
    struct Case {
        const char* text;
        const char* value;
        size_t used;
    } cases[] = {
        {"\"1 + 2\" rest", "1 + 2", 7},
        {"\"say ^\"hi^\"\"", "say \"hi\"", 12},
        {"\"a^/b^-c^^\"", "a\nb\tc^", 11},
        {"\"^(line)^(tab)^(41)^(1F600)^A\"", "\n\tA\xF0\x9F\x98\x80\x01", 30},
        {"{a {nested} ^} \"quoted\"}", "a {nested} } \"quoted\"", 24},
        {"\"\"", "", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string out, error;
        EXPECT_EQ(events::read_string(c.text, out, error), c.used) << error;
        EXPECT_EQ(out, c.value);
    }
    const char* bad[][2] = {
        {"\"open", "no closing \""},
        {"{a {b}", "no closing }"},
        {"\"^(zz)\"", "escape ^(zz)"},
        {"\"abc^", "escape ^ does"},
        {"bare", "starts with"},
        {"\"\xFF\"", "not UTF-8"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b[0]);
        std::string out, error;
        EXPECT_EQ(events::read_string(b[0], out, error), 0u);
        EXPECT_NE(error.find(b[1]), std::string::npos) << error;
    }
}

// ---- Scripts run by the window system ----

std::vector<int> exits;
void record_exit(int status) { exits.push_back(status); }

std::vector<Message> received;
int64_t recording_procedure(WindowId w, const Message& m) {
    if (m.kind != msg::hit_test && m.kind != msg::set_cursor && m.kind != msg::paint) received.push_back(m);
    if (m.kind == msg::paint) {
        // A marker the shot must show: a green square at 10, 10.
        cairo_t* cr = paint_context();
        cairo_set_source_rgb(cr, 0, 1, 0);
        cairo_rectangle(cr, 10, 10, 5, 5);
        cairo_fill(cr);
    }
    return default_procedure(w, m);
}

class EventScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto headless = std::make_unique<HeadlessDriver>();
        display = headless.get();
        start(std::move(headless));
        ASSERT_TRUE(register_class(
            WindowClass{.name = "test", .procedure = recording_procedure, .background = 0xFFFF0000}));
        exits.clear();
        received.clear();
        events::set_exit_hook(record_exit);
    }
    void TearDown() override {
        events::set_exit_hook(nullptr);
        events::set_dump_hook(nullptr);
        stop();
    }

    WindowId window(const std::string& text = "", Rect r = {0, 0, 300, 200}) {
        WindowId w = create_window({.class_name = "test", .text = text, .rect = r, .visible = true});
        input::set_focus(w);
        return w;
    }
    // Runs the script until it ends; what the windows got is in `received`.
    void run(const std::string& script) {
        events::begin(script, "test");
        run_loop();
    }
    std::vector<std::pair<uint32_t, uint64_t>> input_got(WindowId w) const {
        std::vector<std::pair<uint32_t, uint64_t>> out;
        for (const Message& m : received)
            if (m.window == w && m.kind >= msg::key_down && m.kind <= msg::wheel) out.push_back({m.kind, m.a});
        return out;
    }

    HeadlessDriver* display = nullptr;
};

TEST_F(EventScriptTest, LinesReachTheWindowsAndTheEndClosesThemAndExits) {
    WindowId w = window();
    WindowId other = window();  // the active one: the lines act on it
    run("type \"a\"\n\nkey shift+insert\nclick 10 20\nwheel 3\n");
    EXPECT_TRUE(input_got(w).empty());
    using P = std::pair<uint32_t, uint64_t>;
    EXPECT_EQ(input_got(other), (std::vector<P>{{msg::key_down, 'A'},
                                                {msg::character, 'a'},
                                                {msg::key_up, 'A'},
                                                {msg::key_down, key::insert},
                                                {msg::key_up, key::insert},
                                                {msg::mouse_move, 0},
                                                {msg::button_down, button::left},
                                                {msg::button_up, button::left},
                                                {msg::wheel, 0}}));
    for (const Message& m : received) {
        if (m.kind == msg::button_down) {
            EXPECT_EQ(m.point, (Point{10, 20}));
        }
    }
    EXPECT_FALSE(is_window(w));
    EXPECT_FALSE(is_window(other));
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_FALSE(events::scripted());
}

TEST_F(EventScriptTest, ResizeAndCloseComeAsTheWindowManagerWouldSendThem) {
    WindowId w = window();
    run("resize 640x480\nclose\n");
    bool resized = false, closed = false;
    for (const Message& m : received) {
        if (m.window != w) continue;
        if (m.kind == msg::resized) resized = m.point == Point{640, 480};
        if (m.kind == msg::close) closed = true;
    }
    EXPECT_TRUE(resized);
    EXPECT_TRUE(closed);
    EXPECT_EQ(exits, std::vector<int>{0});
}

TEST_F(EventScriptTest, WaitMovesTheVirtualClockAndTimersFireMeanwhile) {
    WindowId w = window();
    set_timer(w, 1, 100);
    static uint64_t clock_at_dump;
    static HeadlessDriver* driver_seen;
    driver_seen = display;
    events::set_dump_hook([] { clock_at_dump = driver_seen->now_ms(); });
    uint64_t begin = display->now_ms();
    run("wait 250\ndump\nwait 0\n");
    EXPECT_EQ(clock_at_dump - begin, 250u);
    int fired = 0;
    for (const Message& m : received) fired += m.kind == msg::timer;
    EXPECT_EQ(fired, 2);
    EXPECT_EQ(exits, std::vector<int>{0});
}

TEST_F(EventScriptTest, ShotWritesTheBackBufferAsAPng) {
    window("", {0, 0, 120, 80});
    auto path = std::filesystem::temp_directory_path() / ("vum-shot-" + std::to_string(getpid()) + ".png");
    run("shot " + path.string() + "\n");
    ASSERT_EQ(exits, std::vector<int>{0});
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(png), 120);
    EXPECT_EQ(cairo_image_surface_get_height(png), 80);
    auto pixel = [&](int x, int y) {
        auto* row = cairo_image_surface_get_data(png) + y * cairo_image_surface_get_stride(png);
        return reinterpret_cast<uint32_t*>(row)[x] & 0xFFFFFF;
    };
    EXPECT_EQ(pixel(12, 12), 0x00FF00u);  // painted
    EXPECT_EQ(pixel(50, 50), 0xFF0000u);  // the class's background
    cairo_surface_destroy(png);
    std::filesystem::remove(path);
}

TEST_F(EventScriptTest, DumpPrintsEachShownWindowsTextOnALine) {
    WindowId top = window("Console");
    create_window({.class_name = "test", .text = "line one\nline ^two", .style = style::child,
                   .rect = {0, 0, 10, 10}, .parent = top, .visible = true});
    create_window({.class_name = "test", .text = "hidden", .style = style::child, .rect = {0, 0, 10, 10},
                   .parent = top, .visible = false});
    create_window({.class_name = "test", .text = "hidden top", .rect = {0, 0, 10, 10}});
    testing::internal::CaptureStdout();
    run("type \"x\"\ndump\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Console\nline one^/line ^^two\n");
}

TEST_F(EventScriptTest, ClipboardLinesFillTheClipboard) {
    window();
    run("clipboard {two^/lines}\n");
    vum::clip::Content content;
    ASSERT_EQ(driver().clipboard().read(content), vum::clip::ReadStatus::ok);
    EXPECT_EQ(content.text, "two\nlines");
}

TEST_F(EventScriptTest, ABadLineIsReportedWithItsNumberAndNothingRuns) {
    struct Case {
        const char* line;
        const char* message;
    } cases[] = {
        {"clik 1 2", "no command is called \"clik\""},
        {"click 1", "expected click X Y"},
        {"click 1 2 3", "expected click X Y"},
        {"key hyper+a", "no modifier is called \"hyper\""},
        {"key pgup", "no key is called \"pgup\""},
        {"type \"abc", "no closing \""},
        {"type \"\"", "nothing to type"},
        {"type abc", "starts with"},
        {"wheel 0", "expected wheel NOTCHES"},
        {"resize 10", "expected resize WIDTHxHEIGHT"},
        {"wait -1", "expected wait MILLISECONDS"},
        {"dump now", "expected dump"},
        {"shot", "expected shot FILE.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        WindowId w = window();
        exits.clear();
        received.clear();
        testing::internal::CaptureStderr();
        run(std::string("type \"a\"\n; fine so far\n") + c.line + "\ntype \"b\"\n");
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("vum: event script test, line 3: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(exits, std::vector<int>{1});
        EXPECT_TRUE(input_got(w).empty());
        EXPECT_FALSE(is_window(w));
    }
}

TEST_F(EventScriptTest, ALineThatCannotBeDoneStopsTheScriptThere) {
    struct Case {
        const char* script;
        const char* message;
        bool with_window;
    } cases[] = {
        {"click 1 2\n", "line 1: no window is shown", false},
        {"type \"a\"\nshot /nonexistent-folder/x.png\ntype \"b\"\n", "line 2: cannot write /nonexistent-folder/x.png",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        WindowId w = c.with_window ? window() : no_window;
        exits.clear();
        received.clear();
        testing::internal::CaptureStderr();
        run(c.script);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(exits, std::vector<int>{1});
        if (c.with_window) {
            using P = std::pair<uint32_t, uint64_t>;
            EXPECT_EQ(input_got(w), (std::vector<P>{{msg::key_down, 'A'}, {msg::character, 'a'}, {msg::key_up, 'A'}}));
        }
    }
}

TEST_F(EventScriptTest, StartBeginsTheScriptTheEnvironmentNames) {
    auto path = std::filesystem::temp_directory_path() / ("vum-events-" + std::to_string(getpid()) + ".txt");
    std::ofstream(path) << "type \"z\"\n";
    setenv("VUM_GUI_EVENTS", path.c_str(), 1);
    start(std::make_unique<HeadlessDriver>());
    ASSERT_TRUE(register_class(WindowClass{.name = "test", .procedure = recording_procedure}));
    EXPECT_TRUE(events::scripted());
    WindowId w = window();
    run_loop();
    using P = std::pair<uint32_t, uint64_t>;
    EXPECT_EQ(input_got(w), (std::vector<P>{{msg::key_down, 'Z'}, {msg::character, 'z'}, {msg::key_up, 'Z'}}));
    EXPECT_EQ(exits, std::vector<int>{0});

    // A file that is not there ends at start.
    std::filesystem::remove(path);
    exits.clear();
    testing::internal::CaptureStderr();
    start(std::make_unique<HeadlessDriver>());
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("VUM_GUI_EVENTS");
    EXPECT_NE(err.find("cannot be read"), std::string::npos) << err;
    EXPECT_EQ(exits, std::vector<int>{1});
    EXPECT_FALSE(events::scripted());
}

}  // namespace
