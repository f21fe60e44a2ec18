// The routines of event!: event?, send-event-os and find-flag?, and the
// gui-test words that run the loop and open bare windows for tests.
#include <cmath>
#include <string>

#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/word.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/windows.h"
#include "view/windows/event.h"
#include "view/windows/view-module.h"

namespace vum::view::gui {

namespace {

using routines::MachineValue;

MachineValue logic(bool b) { return {.integer = b ? 1 : 0}; }

int32_t canonical(const Cell* word) { return symbols::resolve(cell::word_symbol(word)); }

// value [any-type!]
MachineValue event_q(const MachineValue* args, int32_t) { return logic(cell::type(args[0].cell) == type_event); }

// flags [any-type!] flag [any-type!]: whether the flag word is the flags
// word, or one of the words of a flags block.
MachineValue find_flag_q(const MachineValue* args, int32_t) {
    const Cell* flags = args[0].cell;
    const Cell* flag_word = args[1].cell;
    if (!cell::is_word_type(cell::type(flag_word))) return logic(false);
    int32_t wanted = canonical(flag_word);
    uint8_t t = cell::type(flags);
    if (t == type_word || t == type_lit_word) return logic(canonical(flags) == wanted);
    if (t != type_block) return logic(false);
    int32_t n = block_actions::length_from_head(flags);
    for (int32_t i = 0; i < n; i++) {
        const Cell* item = block_actions::cell_at(cell::series_node(flags), cell::series_index(flags) + i);
        uint8_t it = cell::type(item);
        if ((it == type_word || it == type_lit_word) && canonical(item) == wanted) return logic(true);
    }
    return logic(false);
}

// The native window of a face: the handle! its state block starts with.
win::WindowId window_of_face(const Cell* face) {
    if (cell::type(face) != type_object) return win::no_window;
    Cell state_word = word::load("state");
    const Cell* state = object_type::select_word(face, &state_word);
    if (cell::type(state) != type_block || block_actions::length_from_head(state) < 1) return win::no_window;
    const Cell* first = block_actions::cell_at(cell::series_node(state), cell::series_index(state));
    if (cell::type(first) != type_handle || cell::handle_kind(first) != handle::kind_window) return win::no_window;
    win::WindowId window = cell::handle_data(first);
    return win::running() && win::is_window(window) ? window : win::no_window;
}

double scale_of(win::WindowId window) {
    std::vector<win::Monitor> monitors = win::driver().monitors();
    if (monitors.empty()) return 1.0;
    win::Rect r = win::rect_of(win::top_level_of(window));
    for (const win::Monitor& m : monitors)
        if (r.x >= m.area.x && r.x < m.area.x + m.area.width && r.y >= m.area.y && r.y < m.area.y + m.area.height)
            return m.scale;
    return monitors.front().scale;
}

int32_t to_pixels(double logical, double scale) {
    double pixels = std::floor(logical * scale + 0.5);
    return pixels > 32767 ? 32767 : pixels < -32768 ? -32768 : int32_t(pixels);
}

// event [event!] post? [logic!]: 1 when the event was sent, 0 when its
// face has no window or its type cannot be sent.
MachineValue send_event_os(const MachineValue* args, int32_t) {
    Cell event = *args[0].cell;
    bool post = args[1].integer != 0;  // a logic! argument comes as a machine word
    if (!(event.header & cell::flag_event_made) || !cell::event_target(&event)) return {.integer = 0};
    uint32_t block = cell::event_target(&event);
    gc::Local face(*block_actions::cell_at(block, 0));
    gc::Local offset(*block_actions::cell_at(block, 2));
    gc::Local picked(*block_actions::cell_at(block, 3));
    win::WindowId window = window_of_face(&face);
    if (window == win::no_window) return {.integer = 0};
    uint32_t type = cell::event_kind(&event);
    uint32_t flags = cell::event_flags(&event);

    win::Message m;
    m.window = window;
    if (type >= minimize && type <= restore) {
        m.kind = win::msg::state_changed;
        m.a = type;
        if (post) post_synthetic(m);
        else send_synthetic(m, -1);
        return {.integer = 1};
    }
    uint32_t modifiers = 0;
    if (flags & flag::ctrl) modifiers |= win::modifier::control;
    if (flags & flag::shift) modifiers |= win::modifier::shift;
    if (flags & flag::down) modifiers |= win::modifier::left_button;
    if (flags & flag::alt_down) modifiers |= win::modifier::right_button;
    if (flags & flag::mid_down) modifiers |= win::modifier::middle_button;
    if (flags & flag::aux_down) modifiers |= win::modifier::extra_buttons;
    bool key_message = false;
    switch (type) {
        case down: m.kind = win::msg::button_down, m.a = win::button::left, modifiers |= win::modifier::left_button; break;
        case up: m.kind = win::msg::button_up, m.a = win::button::left; break;
        case mid_down: m.kind = win::msg::button_down, m.a = win::button::middle, modifiers |= win::modifier::middle_button; break;
        case mid_up: m.kind = win::msg::button_up, m.a = win::button::middle; break;
        case alt_down: m.kind = win::msg::button_down, m.a = win::button::right, modifiers |= win::modifier::right_button; break;
        case alt_up: m.kind = win::msg::button_up, m.a = win::button::right; break;
        case aux_down: m.kind = win::msg::button_down, m.a = win::button::extra1, modifiers |= win::modifier::extra_buttons; break;
        case aux_up: m.kind = win::msg::button_up, m.a = win::button::extra1; break;
        case dbl_click: m.kind = win::msg::button_double, m.a = win::button::left, modifiers |= win::modifier::left_button; break;
        case wheel: {
            m.kind = win::msg::wheel;
            double notches = cell::type(&picked) == type_integer ? cell::get_integer(&picked) : 0;
            m.b = int64_t(notches * 120);
            break;
        }
        case over: m.kind = (flags & flag::away) ? win::msg::mouse_leave : win::msg::mouse_move; break;
        case key: m.kind = win::msg::character, m.a = flags & 0xFFFF, key_message = true; break;
        case key_down: m.kind = win::msg::key_down, m.a = key_of_character(flags & 0xFFFF), key_message = true; break;
        case key_up: m.kind = win::msg::key_up, m.a = key_of_character(flags & 0xFFFF), key_message = true; break;
        default: return {.integer = 0};
    }
    if (key_message) {
        if (flags & flag::alt) modifiers |= win::modifier::alt;
    } else {
        double scale = scale_of(window);
        double x = 0, y = 0;
        if (cell::type(&offset) == type_pair) x = pair_type::x_of(&offset), y = pair_type::y_of(&offset);
        else if (cell::type(&offset) == type_point2d) x = point_type::component(&offset, 0), y = point_type::component(&offset, 1);
        m.point = {to_pixels(x, scale), to_pixels(y, scale)};
    }
    m.modifiers = modifiers;
    if (post) post_synthetic(m);
    else send_synthetic(m, key_message ? int64_t(flags & 0x73C00000) : -1);
    return {.integer = 1};
}

// ---- gui-test: the loop and bare windows ----

// no-wait [logic!]: one pass, or a blocking loop; 1 when a message was taken.
MachineValue do_events_routine(const MachineValue* args, int32_t) {
    ensure_window_system();
    bool once = cell::type(args[0].cell) == type_logic && cell::logic_value(args[0].cell);
    return {.integer = do_events(once)};
}

MachineValue loop_counts(const MachineValue*, int32_t) {
    Cell* result = stack::result();
    block_actions::make_at(result, 2);
    gc::Local n(Cell{});
    cell::make_integer(&n, loop_count());
    block_actions::append_copy(stack::result(), &n);
    cell::make_integer(&n, exit_count());
    block_actions::append_copy(stack::result(), &n);
    return {.integer = 0};
}

int64_t test_window_procedure(win::WindowId window, const win::Message& message) {
    return win::default_procedure(window, message);
}

// size [pair!]: a bare top-level window, shown, active and focused; its
// handle! for a face's state block.
MachineValue open_window(const MachineValue* args, int32_t) {
    ensure_window_system();
    static bool registered = false;
    if (!registered)
        registered = win::register_class(win::WindowClass{.name = "VumTestWindow", .procedure = test_window_procedure,
                                                          .background = 0xFFFFFFFF});
    int32_t w = pair_type::x_of(args[0].cell), h = pair_type::y_of(args[0].cell);
    if (w < 1 || h < 1 || w > 10000 || h > 10000) errors::raise(err::script::invalid_arg, args[0].cell);
    static int32_t opened = 0;
    int32_t at = 40 * (opened++ % 8);
    win::WindowId window = win::create_window(win::CreateParams{
        .class_name = "VumTestWindow", .text = "test", .rect = {at, at, w, h}, .visible = true});
    if (window == win::no_window) errors::raise(err::script::invalid_arg, args[0].cell);
    win::input::set_active(window);
    win::input::set_focus(window);
    run_pending();
    handle::set_result(handle::kind_window, window);
    return {.integer = 0};
}

// window [handle!] loop [logic!]: destroys the window; with loop, as a
// window that ran a loop of its own goes, the loop run for it is to end.
MachineValue close_window(const MachineValue* args, int32_t) {
    const Cell* h = args[0].cell;
    if (cell::handle_kind(h) != handle::kind_window || !win::running() || !win::is_window(cell::handle_data(h)))
        errors::raise(err::script::invalid_arg, h);
    bool own_loop = cell::type(args[1].cell) == type_logic && cell::logic_value(args[1].cell);
    win::destroy_window(cell::handle_data(h));
    if (own_loop) window_loop_ended();
    cell::make_unset(stack::result());
    return {.integer = 0};
}

// window [handle! none!]: the window mouse input goes to wherever the
// pointer is, or none to release it.
MachineValue capture(const MachineValue* args, int32_t) {
    ensure_window_system();
    const Cell* h = args[0].cell;
    if (cell::type(h) == type_handle) {
        if (cell::handle_kind(h) != handle::kind_window || !win::is_window(cell::handle_data(h)))
            errors::raise(err::script::invalid_arg, h);
        win::input::set_capture(cell::handle_data(h));
    } else {
        win::input::release_capture();
    }
    run_pending();
    cell::make_unset(stack::result());
    return {.integer = 0};
}

// Ends the innermost blocking loop, as exit-event-loop does.
MachineValue exit_loop(const MachineValue*, int32_t) {
    ensure_window_system();
    win::post_quit(0);
    cell::make_unset(stack::result());
    return {.integer = 0};
}

}  // namespace

}  // namespace vum::view::gui

#define VUM_EVENT_ROUTINE(entry, code)                                                                    \
    extern "C" vum::routines::MachineValue entry(const vum::routines::MachineValue* args, int32_t count) { \
        return vum::view::gui::code(args, count);                                                         \
    }

VUM_EVENT_ROUTINE(vum_view_event_q, event_q)
VUM_EVENT_ROUTINE(vum_view_find_flag_q, find_flag_q)
VUM_EVENT_ROUTINE(vum_view_send_event_os, send_event_os)
VUM_EVENT_ROUTINE(vum_view_gui_test_do_events, do_events_routine)
VUM_EVENT_ROUTINE(vum_view_gui_test_loop_counts, loop_counts)
VUM_EVENT_ROUTINE(vum_view_gui_test_window, open_window)
VUM_EVENT_ROUTINE(vum_view_gui_test_close, close_window)
VUM_EVENT_ROUTINE(vum_view_gui_test_exit_loop, exit_loop)
VUM_EVENT_ROUTINE(vum_view_gui_test_capture, capture)
