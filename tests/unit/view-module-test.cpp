// The view module's gui-test routines over the headless driver, called as
// the language calls them: keys, typed text and the pointer reach a window
// as a display's input would (scaled from logical units), /queue only
// injects, the clock fires timers, presents drain; and the module's font
// options, and its reading of whether to run headless.
#include <cairo.h>
#include <gtest/gtest.h>
#include <pango/pangocairo.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "evaluator-fixture.h"
#include "datatypes/typeset.h"
#include "engine/interpreter.h"
#include "memory/call.h"
#include "platform/window-system/drivers/driver-headless.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/windows.h"
#include "view/module-routines.h"
#include "view/windows/font-map.h"

using namespace vum;
using routines::MachineValue;

extern "C" {
MachineValue vum_view_gui_test_font_family(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_key(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_type(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_mouse(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_advance(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_presents(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_wheel(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_compose(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_commit(const MachineValue*, int32_t);
MachineValue vum_view_gui_test_monitors(const MachineValue*, int32_t);
}

namespace {

std::vector<win::Message> received;
std::vector<std::string> composed;  // the text of each composition_update, read as it came

int64_t recording(win::WindowId w, const win::Message& m) {
    using namespace win::msg;
    if (m.kind == key_down || m.kind == key_up || m.kind == character || m.kind == button_down ||
        m.kind == button_up || m.kind == timer || m.kind == wheel || m.kind == composition_start ||
        m.kind == composition_update || m.kind == composition_end || m.kind == display_changed)
        received.push_back(m);
    if (m.kind == composition_update) composed.push_back(win::input::composition_text());
    return win::default_procedure(w, m);
}

// The messages received, one line each: kind and the values that matter.
std::string seen() {
    std::string out;
    for (const win::Message& m : received) {
        switch (m.kind) {
        case win::msg::key_down: out += "down " + std::to_string(m.a) + " " + std::to_string(m.b); break;
        case win::msg::key_up: out += "up " + std::to_string(m.a); break;
        case win::msg::character: out += "char " + std::to_string(m.a); break;
        case win::msg::button_down:
        case win::msg::button_up:
            out += (m.kind == win::msg::button_down ? "press " : "release ") + std::to_string(m.a) + " at " +
                   std::to_string(m.point.x) + "," + std::to_string(m.point.y);
            break;
        case win::msg::timer: out += "timer " + std::to_string(m.a); break;
        case win::msg::wheel: out += "wheel " + std::to_string(m.b); break;
        case win::msg::composition_start: out += "compose"; break;
        case win::msg::composition_update:
            out += "composing " + composed.front() + " caret " + std::to_string(m.a);
            composed.erase(composed.begin());
            break;
        case win::msg::composition_end: out += "composed"; break;
        case win::msg::display_changed: out += "display"; break;
        }
        if (m.modifiers & 0xF) out += " mods " + std::to_string(m.modifiers & 0xF);
        out += "; ";
    }
    received.clear();
    return out;
}

class GuiTestRoutines : public EvaluatorTest {
protected:
    void SetUp() override {
        EvaluatorTest::SetUp();
        eval::init();
        eval::offer_services(services::current);
        routines::clear();
        for (bool b : {false, true}) {
            Cell v;
            cell::make_logic(&v, b);
            set_global(b ? "true" : "false", v);
        }
        Cell none;
        cell::make_none(&none);
        set_global("none", none);
        Cell any = typeset::any_value();
        typeset::set_type(&any, type_unset);
        set_global("any-type!", any);
        define_routine("key", vum_view_gui_test_key, "[keys [any-type!] modifiers [any-type!] queue [any-type!]]");
        define_routine("type", vum_view_gui_test_type, "[text [string!] queue [any-type!]]");
        define_routine("mouse", vum_view_gui_test_mouse, "[action [word!] at [pair!] queue [any-type!]]");
        define_routine("advance", vum_view_gui_test_advance, "[ms [integer!]]");
        define_routine("presents", vum_view_gui_test_presents, "[]");
        define_routine("wheel", vum_view_gui_test_wheel, "[notches [any-type!] queue [any-type!]]");
        define_routine("compose", vum_view_gui_test_compose, "[text [string!] queue [any-type!]]");
        define_routine("commit", vum_view_gui_test_commit, "[text [string!] queue [any-type!]]");
        define_routine("monitors", vum_view_gui_test_monitors, "[description [string!]]");

        // A window at 100,100 on a monitor of scale 1.5, active and focused.
        auto headless = std::make_unique<win::HeadlessDriver>(win::HeadlessDriver::parse_monitors("1920x1080@1.5"));
        driver = headless.get();
        win::start(std::move(headless));
        ASSERT_TRUE(win::register_class({.name = "recorder", .procedure = recording, .background = 0xFFFFFFFF}));
        window = win::create_window({.class_name = "recorder", .rect = {100, 100, 300, 200}, .visible = true});
        win::input::set_focus(window);
        settle();
    }
    void TearDown() override {
        win::stop();
        routines::clear();
        partial_services::fill();
        EvaluatorTest::TearDown();
    }

    static void set_global(const char* name, const Cell& value) {
        Cell w = context::load_word(name);
        context::set_word_value(&w, &value);
    }
    void define_routine(const char* name, routines::RoutineFn fn, const char* spec) {
        define_entry(name, routines::register_routine(name, fn), spec);
    }
    // A routine value of an entry registered already.
    void define_entry(const char* name, int32_t entry, const char* spec) {
        stack::Mark mark;
        Cell* s = load(spec);
        *s = series::cells_head(cell::series_node(s))[0];
        Cell* none = cell::make_none(stack::push_cell());
        routines::push(s, none, entry, routines::result_none, false);
        set_global(name, *stack::top_cell());
    }
    std::string run(const char* text) {
        stack::Mark mark;
        Cell* b = load(text);
        Cell* result = stack::push_cell();
        if (eval::evaluate_protected(b, result)) {
            Cell e = keep_error(*result);
            return "error: " + error_id(e);
        }
        if (cell::type(result) == type_unset) return "unset";
        return mold(*result);
    }
    // Dispatches what is pending.
    static void pump() {
        win::Message m;
        while (win::peek(m, true) && m.kind != win::msg::quit) {
            win::translate(m);
            win::dispatch(m);
        }
    }
    // The same, then forgets what it brought.
    void settle() {
        pump();
        received.clear();
        driver->clear_presented();
    }

    win::HeadlessDriver* driver = nullptr;
    win::WindowId window = win::no_window;
};

TEST_F(GuiTestRoutines, KeysAsTheDriversGiveThem) {
    struct Case {
        const char* source;
        const char* expected;
    } cases[] = {
        {"key #\"a\" none none", "down 65 97; char 97; up 65; "},
        {"key #\"A\" none none", "down 65 65 mods 1; char 65 mods 1; up 65 mods 1; "},
        {"key #\"A\" [control] none", "down 65 1 mods 3; char 1 mods 3; up 65 mods 3; "},
        {"key #\"a\" [control] none", "down 65 1 mods 2; char 1 mods 2; up 65 mods 2; "},
        {"key 'enter none none", "down 13 13; char 13; up 13; "},
        {"key 'enter [control] none", "down 13 10 mods 2; char 10 mods 2; up 13 mods 2; "},
        {"key 'backspace [ctrl] none", "down 8 127 mods 2; char 127 mods 2; up 8 mods 2; "},
        {"key 'f5 [shift alt] none", "down 324 0 mods 5; up 324 mods 5; "},
        {"key 'page-down none none", "down 262 0; up 262; "},
        {"key [tab #\"1\"] none none", "down 9 9; char 9; up 9; down 49 49; char 49; up 49; "},
        {"key #\"é\" none none", "down 256 233; char 233; up 256; "},
        {"key [] none none", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.source), "unset") << c.source;
        EXPECT_EQ(seen(), c.expected) << c.source;
    }
}

TEST_F(GuiTestRoutines, InputThatDoesNotReadIsRefusedBeforeAnyIsInjected) {
    for (const char* source : {"key 'no-such-key none none", "key [#\"a\" f25] none none", "key #\"a\" [meta] none",
                               "key 1 none none", "mouse 'drag 1x1 none", "advance -1"}) {
        EXPECT_NE(run(source).find("error: "), std::string::npos) << source;
        settle();
        EXPECT_EQ(seen(), "") << source;
    }
}

TEST_F(GuiTestRoutines, TypedTextIsCharactersWithoutKeys) {
    EXPECT_EQ(run("type {aB\xF0\x9F\x98\x80} none"), "unset");
    EXPECT_EQ(seen(), "char 97; char 66; char 128512; ");
}

TEST_F(GuiTestRoutines, QueueOnlyInjects) {
    EXPECT_EQ(run("key #\"a\" none true"), "unset");
    EXPECT_EQ(run("type {b} true"), "unset");
    EXPECT_EQ(run("mouse 'click 2x2 true"), "unset");
    EXPECT_EQ(seen(), "");
    pump();
    EXPECT_EQ(seen(), "down 65 97; char 97; up 65; char 98; press 1 at 3,3; release 1 at 3,3; ");
}

TEST_F(GuiTestRoutines, PointerInLogicalUnitsOfTheClientArea) {
    EXPECT_EQ(run("mouse 'down 10x10 none"), "unset");
    EXPECT_EQ(run("mouse 'up 10x20 none"), "unset");
    EXPECT_EQ(run("mouse 'alt-click 0x0 none"), "unset");
    EXPECT_EQ(run("mouse 'move 1x1 none"), "unset");
    EXPECT_EQ(seen(), "press 1 at 15,15; release 1 at 15,30; press 2 at 0,0; release 2 at 0,0; ");
}

TEST_F(GuiTestRoutines, TheClockFiresTimersAsTheyFallDue) {
    win::set_timer(window, 7, 100);
    EXPECT_EQ(run("advance 99"), "unset");
    EXPECT_EQ(seen(), "");
    EXPECT_EQ(run("advance 1"), "unset");
    EXPECT_EQ(seen(), "timer 7; ");
}

TEST_F(GuiTestRoutines, PresentsDrainOldestFirst) {
    win::invalidate(window, nullptr);
    pump();
    win::invalidate(window, nullptr);
    pump();
    EXPECT_EQ(run("presents"), "[[0x0 300x200] [0x0 300x200]]");
    EXPECT_EQ(run("presents"), "[]");
}

TEST_F(GuiTestRoutines, WheelInHundredTwentiethsOfANotch) {
    EXPECT_EQ(run("mouse 'move 10x10 none"), "unset");
    EXPECT_EQ(run("wheel 1 none"), "unset");
    EXPECT_EQ(run("wheel -0.5 none"), "unset");
    EXPECT_EQ(run("wheel 0.01 none"), "unset");
    EXPECT_EQ(seen(), "wheel 120; wheel -60; wheel 1; ");
    EXPECT_NE(run("wheel 1e300 none").find("error: "), std::string::npos);
    EXPECT_EQ(seen(), "");
}

TEST_F(GuiTestRoutines, CompositionsBeginUpdateAndEndWithTheCommit) {
    EXPECT_EQ(run("compose {k} none"), "unset");
    EXPECT_EQ(run("compose {ka} none"), "unset");
    EXPECT_EQ(run("commit {\xE3\x81\x8B} none"), "unset");
    EXPECT_EQ(seen(), "compose; composing k caret 1; composing ka caret 2; composed; char 12363; ");
    // A commit with no composition is typed text alone.
    EXPECT_EQ(run("commit {ab} none"), "unset");
    EXPECT_EQ(seen(), "char 97; char 98; ");
}

TEST_F(GuiTestRoutines, MonitorsReplacedSendTheDisplayChange) {
    EXPECT_EQ(run("monitors {1920x1080,2880x1620+1920+0@1.5}"), "unset");
    EXPECT_EQ(seen(), "display; ");
    ASSERT_EQ(driver->monitors().size(), 2u);
    EXPECT_EQ(driver->monitors()[1].scale, 1.5);
    EXPECT_NE(run("monitors {nonsense}").find("error: "), std::string::npos);
    EXPECT_EQ(driver->monitors().size(), 2u);
}

TEST_F(GuiTestRoutines, ForwardersFindTheModulesCode) {
    view::register_module_routines();
    int32_t count = 0;
    const view::ModuleRoutine* rows = view::module_routines(&count);
    ASSERT_GT(count, 0);
    for (int32_t i = 0; i < count; i++) {
        int32_t entry = routines::find(rows[i].name);
        ASSERT_NE(entry, 0) << rows[i].name;
        // The forwarder stands in for the code, and the code is there.
        EXPECT_NE(reinterpret_cast<void*>(routines::entry(entry)), view::module_entry(rows[i].entry)) << rows[i].name;
    }
    define_entry("family", routines::find("gui-test-font-family"), "[name [string!]]");
    EXPECT_EQ(run("family {Courier New}"), "\"Liberation Mono\"");
    EXPECT_EQ(run("family {Courier New}"), "\"Liberation Mono\"");  // now straight to the code
    EXPECT_EQ(reinterpret_cast<void*>(view::module_entry("vum_view_gui_test_font_family")),
              reinterpret_cast<void*>(&vum_view_gui_test_font_family));

    stack::Mark mark;
    Cell* error = stack::push_cell();
    EXPECT_FALSE(call::run_catching_errors([] { view::module_entry("vum_view_no_such_entry"); }, error));
    EXPECT_EQ(error_id(keep_error(*error)), "cannot-open");
}

TEST(ViewModule, FontOptionsArePinned) {
    cairo_font_options_t* options = view::stable_font_options();
    EXPECT_EQ(cairo_font_options_get_antialias(options), CAIRO_ANTIALIAS_GRAY);
    EXPECT_EQ(cairo_font_options_get_hint_style(options), CAIRO_HINT_STYLE_NONE);
    EXPECT_EQ(cairo_font_options_get_hint_metrics(options), CAIRO_HINT_METRICS_OFF);
    PangoContext* context = view::stable_context();
    ASSERT_NE(context, nullptr);
    EXPECT_TRUE(cairo_font_options_equal(pango_cairo_context_get_font_options(context), options));
    g_object_unref(context);
    cairo_font_options_destroy(options);
}

TEST(ViewModule, HeadlessAsTheDriversDecideIt) {
    struct Case {
        const char* vum_display;  // null: unset
        const char* display;
        bool headless;
    } cases[] = {
        {nullptr, nullptr, true}, {nullptr, "", true},           {nullptr, ":0", false},
        {"headless", ":0", true}, {"sdl", ":0", false},          {"headless", nullptr, true},
        {"", ":1", false},        {"HEADLESS", ":0", false},
    };
    std::string saved_vum = std::getenv("VUM_DISPLAY") ? std::getenv("VUM_DISPLAY") : "";
    std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    bool had_vum = std::getenv("VUM_DISPLAY"), had = std::getenv("DISPLAY");
    for (const Case& c : cases) {
        c.vum_display ? setenv("VUM_DISPLAY", c.vum_display, 1) : unsetenv("VUM_DISPLAY");
        c.display ? setenv("DISPLAY", c.display, 1) : unsetenv("DISPLAY");
        EXPECT_EQ(view::headless_wanted(), c.headless) << (c.vum_display ? c.vum_display : "-") << " "
                                                       << (c.display ? c.display : "-");
        EXPECT_EQ(view::headless_wanted(), win::headless_wanted());
    }
    had_vum ? setenv("VUM_DISPLAY", saved_vum.c_str(), 1) : unsetenv("VUM_DISPLAY");
    had ? setenv("DISPLAY", saved.c_str(), 1) : unsetenv("DISPLAY");
}

}  // namespace
