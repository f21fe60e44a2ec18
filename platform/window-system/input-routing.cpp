#include "platform/window-system/input-routing.h"

#include <algorithm>
#include <cstdlib>

#include "platform/window-system/paint.h"
#include "platform/window-system/system-state.h"
#include "platform/window-system/windows.h"

namespace vum::win::input {

namespace {

using detail::record;

detail::InputState& state() { return detail::current()->input; }

// Menus and drop-down lists never become active nor take the focus.
bool is_popup(WindowId top) { return top != no_window && (style_of(top) & style::popup); }

uint32_t button_bit(uint32_t button) {
    switch (button) {
    case button::left: return modifier::left_button;
    case button::right: return modifier::right_button;
    case button::middle: return modifier::middle_button;
    default: return modifier::extra_buttons;
    }
}

void check_leave(WindowId now_under, std::deque<Message>& out, uint64_t time) {
    if (state().leave_watch == no_window || state().leave_watch == now_under) return;
    out.push_back(Message{.window = state().leave_watch, .kind = msg::mouse_leave, .time = time});
    state().leave_watch = no_window;
}

bool is_double(WindowId target, const RawEvent& e, Point screen) {
    const detail::WindowRecord* r = record(target);
    if (!r || !(r->window_class->class_style & class_style::double_clicks)) return false;
    const detail::LastPress& last = state().last_press;
    return last.window == target && last.button == e.button && e.time - last.time <= double_click_ms &&
           std::abs(screen.x - last.screen.x) <= double_click_distance &&
           std::abs(screen.y - last.screen.y) <= double_click_distance;
}

// The pointer in a window's own coordinates (its corner at 0, 0).
Point in_window(WindowId window, Point screen) {
    Rect top = rect_of(top_level_of(window));
    Point origin = detail::origin_in_surface(window);
    return {screen.x - top.x - origin.x, screen.y - top.y - origin.y};
}

// A press on a scroll bar holds every mouse event until it is let go.
void route_non_client(const RawEvent& e, WindowId top, WindowId under, Point screen, std::deque<Message>& out) {
    if (e.kind == RawEvent::Kind::mouse_move) {
        check_leave(no_window, out, e.time);
        driver().set_cursor(Cursor::arrow);
        return;
    }
    if (e.kind != RawEvent::Kind::button_down) return;
    if (top != state().active) {
        uint64_t serial = detail::current_serial();
        set_active(top);
        if (detail::current_serial() != serial || !is_window(under)) return;
    }
    if (is_enabled(under)) detail::press_non_client(e, under, in_window(under, screen), out);
}

void route_mouse(const RawEvent& e, WindowId top, std::deque<Message>& out) {
    Rect surface = rect_of(top);
    Point screen = {surface.x + e.position.x, surface.y + e.position.y};
    if (e.kind == RawEvent::Kind::button_down) state().buttons_held |= button_bit(e.button);
    if (e.kind == RawEvent::Kind::button_up) state().buttons_held &= ~button_bit(e.button);
    if (detail::scroll_drag_active()) {
        detail::route_scroll_drag(e, in_window(detail::scroll_drag_window(), screen), out);
        return;
    }
    WindowId under = window_at(top, e.position);
    if (state().capture == no_window && under != no_window && e.kind != RawEvent::Kind::wheel &&
        detail::on_window_system_part(*record(under), in_window(under, screen))) {
        route_non_client(e, top, under, screen, out);
        return;
    }
    WindowId target = state().capture != no_window ? state().capture : under;
    if (target == no_window) return;

    Message m{.window = target,
              .point = from_screen(target, screen),
              .modifiers = (e.modifiers & 0xFF) | state().buttons_held,
              .time = e.time};

    switch (e.kind) {
    case RawEvent::Kind::mouse_move:
        check_leave(under, out, e.time);
        m.kind = msg::mouse_move;
        out.push_back(m);
        return;
    case RawEvent::Kind::button_down:
        // A press activates its top-level; a disabled window takes no press.
        if (top != state().active && !is_popup(top)) {
            uint64_t serial = detail::current_serial();
            set_active(top);
            if (detail::current_serial() != serial) return;  // a procedure stopped the system
        }
        if (!is_enabled(target)) return;
        m.a = e.button;
        if (is_double(target, e, screen)) {
            m.kind = msg::button_double;
            state().last_press = {};
        } else {
            m.kind = msg::button_down;
            state().last_press = {target, e.button, e.time, screen};
        }
        out.push_back(m);
        return;
    case RawEvent::Kind::button_up:
        if (!is_enabled(target)) return;
        m.kind = msg::button_up;
        m.a = e.button;
        out.push_back(m);
        return;
    case RawEvent::Kind::wheel:
        if (!is_enabled(target)) return;
        m.kind = msg::wheel;
        m.a = e.horizontal ? 1 : 0;
        m.b = e.delta;
        out.push_back(m);
        return;
    default:
        return;
    }
}

void route_key(const RawEvent& e, std::deque<Message>& out) {
    WindowId target = state().focus != no_window ? state().focus : state().active;
    if (target == no_window || !is_enabled(target)) return;
    Message m{.window = target, .modifiers = e.modifiers, .time = e.time};
    switch (e.kind) {
    case RawEvent::Kind::key_down:
        m.kind = msg::key_down;
        m.a = e.key;
        m.b = e.character;
        break;
    case RawEvent::Kind::key_up:
        m.kind = msg::key_up;
        m.a = e.key;
        break;
    default:
        m.kind = msg::character;
        m.a = e.character;
        break;
    }
    out.push_back(m);
}

// The composition is kept here for the focus to read as its messages
// come: routing runs one raw event ahead of the message taken at most.
void route_composition(const RawEvent& e, std::deque<Message>& out) {
    using K = RawEvent::Kind;
    Message m{.modifiers = e.modifiers, .time = e.time};
    switch (e.kind) {
    case K::composition_start:
        state().composition.clear();
        state().composition_caret = 0;
        m.kind = msg::composition_start;
        break;
    case K::composition:
        state().composition = e.text;
        state().composition_caret = std::max(e.caret, 0);
        m.kind = msg::composition_update;
        m.a = uint64_t(state().composition_caret);
        break;
    default:
        state().composition.clear();
        state().composition_caret = 0;
        m.kind = msg::composition_end;
        break;
    }
    m.window = state().focus != no_window ? state().focus : state().active;
    if (m.window != no_window && is_enabled(m.window)) out.push_back(m);
}

void apply_window_manager_place(WindowId top, const RawEvent& e) {
    Rect r = rect_of(top);
    if (e.kind == RawEvent::Kind::moved) {
        r.x = e.position.x;
        r.y = e.position.y;
    } else {
        r.width = e.position.x;
        r.height = e.position.y;
    }
    if (r == rect_of(top)) return;
    Rect old = rect_of(top);
    record(top)->rect = r;
    if (old.width != r.width || old.height != r.height) {
        size_back_buffer(top);
        Rect client = client_rect(top);
        send_message(Message{.window = top, .kind = msg::resized, .point = {client.width, client.height}});
    } else {
        send_message(Message{.window = top, .kind = msg::moved, .point = {r.x, r.y}});
    }
}

// The display's word on a top-level's state. A hidden surface is reported
// minimised by some displays when it is unmapped: that is not the user's.
void apply_state(WindowId top, SurfaceState now) {
    detail::WindowRecord* r = record(top);
    if (!r || r->state == now || (now == SurfaceState::minimised && !r->visible)) return;
    r->state = now;
    send(top, msg::state_changed, uint64_t(now));
}

}  // namespace

void route(const RawEvent& e, std::deque<Message>& out) {
    WindowId top = window_of_surface(e.surface);
    using K = RawEvent::Kind;
    switch (e.kind) {
    case K::key_down:
    case K::key_up:
    case K::text:
        route_key(e, out);
        return;
    case K::mouse_move:
    case K::button_down:
    case K::button_up:
    case K::wheel:
        if (top != no_window) route_mouse(e, top, out);
        return;
    case K::mouse_left:
        if (state().capture == no_window) check_leave(no_window, out, e.time);
        return;
    case K::close:
        if (top != no_window) out.push_back(Message{.window = top, .kind = msg::close, .time = e.time});
        return;
    case K::focus_in:
        if (top != no_window && !is_popup(top)) set_active(top);
        return;
    case K::focus_out:
        if (top != no_window && top == state().active) set_active(no_window);
        return;
    case K::exposed:
        if (top != no_window) present_again(top);
        return;
    case K::moved:
    case K::resized:
        if (top != no_window) apply_window_manager_place(top, e);
        return;
    case K::minimised:
    case K::maximised:
    case K::restored:
        if (top != no_window)
            apply_state(top, e.kind == K::minimised   ? SurfaceState::minimised
                             : e.kind == K::maximised ? SurfaceState::maximised
                                                      : SurfaceState::restored);
        return;
    case K::size_move_begin:
    case K::size_move_end:
        if (top != no_window)
            send_message(Message{.window = top,
                                 .kind = e.kind == K::size_move_begin ? msg::size_move_begin : msg::size_move_end,
                                 .time = e.time});
        return;
    case K::display_changed:
        for (WindowId t : top_levels()) out.push_back(Message{.window = t, .kind = msg::display_changed, .time = e.time});
        return;
    case K::composition_start:
    case K::composition:
    case K::composition_end:
        route_composition(e, out);
        return;
    }
}

WindowId set_capture(WindowId window) {
    if (!running()) return no_window;
    WindowId old = state().capture;
    if (!is_window(window) || old == window) return old;
    state().capture = window;
    if (old != no_window) send(old, msg::capture_lost, 0, window);
    return old;
}

void release_capture() {
    if (!running()) return;
    WindowId old = state().capture;
    state().capture = no_window;
    if (old != no_window) send(old, msg::capture_lost);
}

WindowId capture() { return running() ? state().capture : no_window; }

void track_leave(WindowId window) {
    if (running()) state().leave_watch = is_window(window) ? window : no_window;
}

WindowId set_focus(WindowId window) {
    if (!running()) return no_window;
    WindowId previous = state().focus;
    if (window != no_window && (!is_window(window) || !is_enabled(window) || is_popup(top_level_of(window))))
        return previous;
    if (window == previous) return previous;
    uint64_t serial = detail::current_serial();
    if (window != no_window && top_level_of(window) != state().active) set_active(top_level_of(window));
    if (detail::current_serial() != serial) return previous;
    // Activating another top-level may have taken the focus already.
    WindowId old = state().focus;
    state().focus = window;
    if (old != no_window && old != window) send(old, msg::kill_focus, 0, window);
    if (window != no_window && detail::current_serial() == serial && state().focus == window)
        send(window, msg::set_focus, 0, old);
    return previous;
}

WindowId focus() { return running() ? state().focus : no_window; }

WindowId set_active(WindowId top_level) {
    if (!running()) return no_window;
    WindowId old = state().active;
    if (top_level == old || (top_level != no_window && (!is_window(top_level) || is_popup(top_level)))) return old;
    uint64_t serial = detail::current_serial();
    state().active = top_level;
    if (old != no_window) send(old, msg::activate, 0, top_level);
    if (top_level != no_window) send(top_level, msg::activate, 1, old);
    if (detail::current_serial() != serial) return old;
    // The focus stays inside the active top-level.
    if (state().focus != no_window && top_level_of(state().focus) != top_level) {
        WindowId lost = state().focus;
        state().focus = no_window;
        send(lost, msg::kill_focus);
    }
    return old;
}

WindowId active() { return running() ? state().active : no_window; }

// ---- Input methods ----

const std::string& composition_text() {
    static const std::string none;
    return running() ? state().composition : none;
}

int32_t composition_caret() { return running() ? state().composition_caret : 0; }

void set_text_input_rect(WindowId window, const Rect& area) {
    if (!is_window(window)) return;
    Point origin = detail::client_origin_in_surface(window);
    driver().set_text_input_rect(surface_of(top_level_of(window)), area.moved(origin.x, origin.y));
}

}  // namespace vum::win::input
