// The gui-test words' code (the object itself is view/gui-test.vum): input
// injected into the headless driver as a display would report it, the
// virtual clock, what was presented, and the family the font map resolves.
// Input words run the window system's loop until nothing is pending,
// unless told only to queue.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/pair.h"
#include "datatypes/string.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"
#include "platform/window-system/drivers/driver-headless.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/windows.h"
#include "view/windows/event.h"
#include "view/windows/font-map.h"
#include "view/windows/view-module.h"

namespace vum::view {

namespace {

using routines::MachineValue;
using win::RawEvent;

MachineValue done() { return {.integer = 0}; }

[[noreturn]] void invalid(const Cell* value) { errors::raise(err::script::invalid_arg, value); }

// The headless driver of the running window system, started if need be.
// gui-test exists only where the headless driver is the one chosen; a
// system already running on a display is refused.
win::HeadlessDriver& headless() {
    ensure_window_system();
    auto* driver = dynamic_cast<win::HeadlessDriver*>(&win::driver());
    if (!driver) {
        gc::Local name(string::from_utf8(win::driver().name()));
        invalid(&name);
    }
    return *driver;
}

bool queue_only(const Cell* flag) { return cell::type(flag) == type_logic && cell::logic_value(flag); }

// The surface input goes to: the active top-level's, else none (the input
// then reaches no window, as a display's would with none of ours shown).
win::SurfaceId target_surface() {
    win::WindowId active = win::input::active();
    return active == win::no_window ? 0 : win::surface_of(win::top_level_of(active));
}

void inject_all(win::HeadlessDriver& driver, const std::vector<RawEvent>& events, const Cell* queue_flag) {
    for (const RawEvent& e : events) driver.inject(e);
    if (!queue_only(queue_flag)) run_pending();
}

std::string word_text(const Cell* word) { return symbols::text(cell::word_symbol(word)); }

// ---- key ----

struct NamedKey {
    const char* name;
    uint32_t key;
};
constexpr NamedKey named_keys[] = {
    {"enter", win::key::enter},         {"tab", win::key::tab},
    {"backspace", win::key::backspace}, {"escape", win::key::escape},
    {"space", win::key::space},         {"left", win::key::left},
    {"right", win::key::right},         {"up", win::key::up},
    {"down", win::key::down},           {"page-up", win::key::page_up},
    {"page-down", win::key::page_down}, {"home", win::key::home},
    {"end", win::key::end},             {"insert", win::key::insert},
    {"delete", win::key::delete_key},   {"menu", win::key::menu},
    {"pause", win::key::pause},         {"caps-lock", win::key::caps_lock},
    {"left-shift", win::key::left_shift}, {"right-shift", win::key::right_shift},
    {"left-control", win::key::left_control}, {"right-control", win::key::right_control},
    {"left-alt", win::key::left_alt},   {"right-alt", win::key::right_alt},
};

bool key_of_name(const std::string& name, uint32_t* key) {
    for (const NamedKey& k : named_keys)
        if (strcasecmp(k.name, name.c_str()) == 0) return *key = k.key, true;
    // f1 to f24
    if (name.size() >= 2 && name.size() <= 3 && (name[0] == 'f' || name[0] == 'F')) {
        int n = 0;
        for (size_t i = 1; i < name.size(); i++) {
            if (name[i] < '0' || name[i] > '9') return false;
            n = n * 10 + (name[i] - '0');
        }
        if (n >= 1 && n <= 24 && name[1] != '0') return *key = win::key::f1 + uint32_t(n - 1), true;
    }
    return false;
}

uint32_t modifiers_of(const Cell* list) {
    if (cell::type(list) != type_block) return 0;
    uint32_t modifiers = 0;
    int32_t n = block_actions::length_from_head(list);
    for (int32_t i = 0; i < n; i++) {
        const Cell* item = block_actions::cell_at(cell::series_node(list), cell::series_index(list) + i);
        std::string name = cell::is_word_type(cell::type(item)) ? word_text(item) : "";
        if (name == "control" || name == "ctrl") modifiers |= win::modifier::control;
        else if (name == "shift") modifiers |= win::modifier::shift;
        else if (name == "alt") modifiers |= win::modifier::alt;
        else invalid(item);
    }
    return modifiers;
}

// One key pressed and released. A character types itself unless control
// or alt is held, and a capital letter holds shift as its key does; a
// named key types what the drivers give it.
void add_key(const Cell* item, uint32_t modifiers, win::SurfaceId surface, std::vector<RawEvent>& out) {
    uint32_t key = 0, character = 0;
    if (cell::type(item) == type_char) {
        uint32_t c = cell::char_code(item);
        key = gui::key_of_character(c);
        if (c >= 'A' && c <= 'Z') modifiers |= win::modifier::shift;
        bool commands = modifiers & (win::modifier::control | win::modifier::alt);
        character = commands ? win::control_character(key, modifiers) : c == '\n' ? '\r' : c;
    } else if (cell::is_word_type(cell::type(item)) && key_of_name(word_text(item), &key)) {
        character = win::control_character(key, modifiers);
        if (!character && key == win::key::space && !(modifiers & win::modifier::control)) character = ' ';
    } else {
        invalid(item);
    }
    RawEvent down{.kind = RawEvent::Kind::key_down, .surface = surface, .key = key, .character = character,
                  .modifiers = modifiers};
    RawEvent up = down;
    up.kind = RawEvent::Kind::key_up;
    up.character = 0;
    out.push_back(down);
    out.push_back(up);
}

// keys [word! char! block!] modifiers [none! block!] queue [none! logic!]:
// the function around the routine checked the types.
MachineValue key(const MachineValue* args, int32_t) {
    win::HeadlessDriver& driver = headless();
    const Cell* keys = args[0].cell;
    uint32_t modifiers = modifiers_of(args[1].cell);
    win::SurfaceId surface = target_surface();
    // Every key is read before any is routed: routing runs window code,
    // which may change the block.
    std::vector<RawEvent> events;
    if (cell::type(keys) == type_block) {
        int32_t n = block_actions::length_from_head(keys);
        for (int32_t i = 0; i < n; i++)
            add_key(block_actions::cell_at(cell::series_node(keys), cell::series_index(keys) + i), modifiers, surface,
                    events);
    } else {
        add_key(keys, modifiers, surface, events);
    }
    inject_all(driver, events, args[2].cell);
    cell::make_unset(stack::result());
    return done();
}

// ---- type ----

// text [string!] queue [none! logic!]: each character as an input method
// gives text, with no key of its own.
MachineValue type(const MachineValue* args, int32_t) {
    win::HeadlessDriver& driver = headless();
    const Cell* text = args[0].cell;
    win::SurfaceId surface = target_surface();
    std::vector<RawEvent> events;
    int32_t n = string::length_from_head(text);
    for (int32_t i = 0; i < n; i++)
        events.push_back(RawEvent{.kind = RawEvent::Kind::text, .surface = surface,
                                  .character = string::char_at(cell::series_node(text), cell::series_index(text) + i)});
    inject_all(driver, events, args[1].cell);
    cell::make_unset(stack::result());
    return done();
}

// ---- mouse ----

// The monitor scale of the window: that of the monitor holding its
// top-left corner, else the first monitor's.
double scale_of(win::HeadlessDriver& driver, win::WindowId window) {
    std::vector<win::Monitor> monitors = driver.monitors();
    if (monitors.empty()) return 1.0;
    if (window != win::no_window) {
        win::Rect r = win::rect_of(win::top_level_of(window));
        for (const win::Monitor& m : monitors)
            if (r.x >= m.area.x && r.x < m.area.x + m.area.width && r.y >= m.area.y &&
                r.y < m.area.y + m.area.height)
                return m.scale;
    }
    return monitors.front().scale;
}

int32_t to_pixels(int32_t logical, double scale) {
    double pixels = std::floor(double(logical) * scale + 0.5);
    return pixels > 1e9 ? 1000000000 : pixels < -1e9 ? -1000000000 : int32_t(pixels);
}

// action [word!] at [pair!] queue [none! logic!]: the pointer moved to a
// point in logical units of the active window's client area, and there
// pressed, released or clicked (down and up) with the left button, or the
// right one for the alt- actions.
MachineValue mouse(const MachineValue* args, int32_t) {
    win::HeadlessDriver& driver = headless();
    const Cell* action = args[0].cell;
    std::string name = word_text(action);
    struct Step {
        RawEvent::Kind kind;
        uint32_t button;
    };
    std::vector<Step> steps{{RawEvent::Kind::mouse_move, 0}};
    using K = RawEvent::Kind;
    if (name == "move") {
    } else if (name == "down") steps.push_back({K::button_down, win::button::left});
    else if (name == "up") steps.push_back({K::button_up, win::button::left});
    else if (name == "click") steps.insert(steps.end(), {{K::button_down, win::button::left}, {K::button_up, win::button::left}});
    else if (name == "alt-down") steps.push_back({K::button_down, win::button::right});
    else if (name == "alt-up") steps.push_back({K::button_up, win::button::right});
    else if (name == "alt-click") steps.insert(steps.end(), {{K::button_down, win::button::right}, {K::button_up, win::button::right}});
    else invalid(action);

    win::WindowId active = win::input::active();
    double scale = scale_of(driver, active);
    win::Point point{to_pixels(pair_type::x_of(args[1].cell), scale), to_pixels(pair_type::y_of(args[1].cell), scale)};
    if (active != win::no_window) {
        win::WindowId top = win::top_level_of(active);
        win::Point screen = win::to_screen(active, point);
        win::Rect r = win::rect_of(top);
        point = {screen.x - r.x, screen.y - r.y};
    }
    win::SurfaceId surface = target_surface();
    std::vector<RawEvent> events;
    for (const Step& s : steps)
        events.push_back(RawEvent{.kind = s.kind, .surface = surface, .position = point, .button = s.button});
    inject_all(driver, events, args[2].cell);
    cell::make_unset(stack::result());
    return done();
}

// ---- wheel, input methods, monitors ----

// notches [integer! float!] queue [none! logic!]: the wheel turned by a
// number of notches (positive away from the user) where the pointer is,
// in the 1/120 steps a display reports.
MachineValue wheel(const MachineValue* args, int32_t) {
    win::HeadlessDriver& driver = headless();
    const Cell* amount = args[0].cell;
    double notches = cell::type(amount) == type_integer ? double(cell::get_integer(amount)) : cell::get_double(amount);
    double steps = std::floor(notches * 120 + 0.5);
    if (!(steps >= -1e6 && steps <= 1e6)) errors::raise_out_of_range(amount);
    win::Point at = driver.pointer_position();
    win::WindowId active = win::input::active();
    if (active != win::no_window) {
        win::Rect r = win::rect_of(win::top_level_of(active));
        at = {at.x - r.x, at.y - r.y};
    }
    inject_all(driver,
               {RawEvent{.kind = RawEvent::Kind::wheel, .surface = target_surface(), .position = at,
                         .delta = int32_t(steps)}},
               args[1].cell);
    cell::make_unset(stack::result());
    return done();
}

bool composing = false;

// text [string!] queue [none! logic!]: an input method shows text being
// composed, its caret at the end; the first call begins the composition.
MachineValue compose(const MachineValue* args, int32_t) {
    win::HeadlessDriver& driver = headless();
    win::SurfaceId surface = target_surface();
    std::vector<RawEvent> events;
    if (!composing) events.push_back(RawEvent{.kind = RawEvent::Kind::composition_start, .surface = surface});
    composing = true;
    events.push_back(RawEvent{.kind = RawEvent::Kind::composition, .surface = surface,
                              .text = string::to_utf8(args[0].cell),
                              .caret = string::length_from_head(args[0].cell)});
    inject_all(driver, events, args[1].cell);
    cell::make_unset(stack::result());
    return done();
}

// text [string!] queue [none! logic!]: the composition, if any, ends and
// the input method commits the text, a character at a time.
MachineValue commit(const MachineValue* args, int32_t) {
    win::HeadlessDriver& driver = headless();
    const Cell* text = args[0].cell;
    win::SurfaceId surface = target_surface();
    std::vector<RawEvent> events;
    if (composing) events.push_back(RawEvent{.kind = RawEvent::Kind::composition_end, .surface = surface});
    composing = false;
    int32_t n = string::length_from_head(text);
    for (int32_t i = 0; i < n; i++)
        events.push_back(RawEvent{.kind = RawEvent::Kind::text, .surface = surface,
                                  .character = string::char_at(cell::series_node(text), cell::series_index(text) + i)});
    inject_all(driver, events, args[1].cell);
    cell::make_unset(stack::result());
    return done();
}

// description [string!]: the monitors replaced, as VUM_HEADLESS_MONITORS
// describes them, and the display change sent and run.
MachineValue monitors(const MachineValue* args, int32_t) {
    win::HeadlessDriver& driver = headless();
    std::string description = string::to_utf8(args[0].cell);
    std::vector<win::Monitor> all = win::HeadlessDriver::parse_monitors(description);
    if (all.empty()) invalid(args[0].cell);
    driver.set_monitors(std::move(all));
    run_pending();
    cell::make_unset(stack::result());
    return done();
}

// ---- the clock, presents, fonts ----

// ms [integer!]: the virtual clock moved on, then what fell due run.
MachineValue advance(const MachineValue* args, int32_t) {
    int32_t ms = args[0].integer;
    if (ms < 0) {
        gc::Local value(Cell{});
        cell::make_integer(&value, ms);
        errors::raise_out_of_range(&value);
    }
    headless().advance(uint64_t(ms));
    run_pending();
    cell::make_unset(stack::result());
    return done();
}

// What was presented since the last call, oldest first: a block holding,
// for each present, a block of the dirty rectangle's offset and size in
// pixels of its surface.
MachineValue presents(const MachineValue*, int32_t) {
    win::HeadlessDriver& driver = headless();
    std::vector<win::HeadlessDriver::Presented> shown = driver.presented();
    driver.clear_presented();
    Cell* result = stack::result();
    block_actions::make_at(result, int32_t(shown.size()));
    for (const auto& p : shown) {
        gc::Local entry(Cell{});
        block_actions::make_at(&entry, 2);
        pair_type::push_new(cell::series_node(&entry), p.dirty.x, p.dirty.y);
        pair_type::push_new(cell::series_node(&entry), p.dirty.width, p.dirty.height);
        block_actions::append_copy(stack::result(), &entry);
    }
    return done();
}

// name [string!]: the family text asked for in it is drawn with.
MachineValue font_family(const MachineValue* args, int32_t) {
    std::string family = resolved_family(string::to_utf8(args[0].cell));
    *stack::result() = string::from_utf8(family.c_str());
    return done();
}

}  // namespace

}  // namespace vum::view

#define VUM_VIEW_ENTRY(entry, code)                                                                      \
    extern "C" vum::routines::MachineValue entry(const vum::routines::MachineValue* args, int32_t count) { \
        return vum::view::code(args, count);                                                             \
    }

VUM_VIEW_ENTRY(vum_view_gui_test_font_family, font_family)
VUM_VIEW_ENTRY(vum_view_gui_test_advance, advance)
VUM_VIEW_ENTRY(vum_view_gui_test_presents, presents)
VUM_VIEW_ENTRY(vum_view_gui_test_key, key)
VUM_VIEW_ENTRY(vum_view_gui_test_type, type)
VUM_VIEW_ENTRY(vum_view_gui_test_mouse, mouse)
VUM_VIEW_ENTRY(vum_view_gui_test_wheel, wheel)
VUM_VIEW_ENTRY(vum_view_gui_test_compose, compose)
VUM_VIEW_ENTRY(vum_view_gui_test_commit, commit)
VUM_VIEW_ENTRY(vum_view_gui_test_monitors, monitors)
