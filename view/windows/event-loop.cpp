// The message loop, the filter that turns input into events before a
// message is dispatched, key translation, and the call of awake.
#include <vector>

#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "engine/natives.h"
#include "memory/call.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/message-queue.h"
#include "platform/window-system/windows.h"
#include "view/windows/event-state.h"
#include "view/windows/event.h"

namespace vum::view::gui {

namespace {

// The loop's state: one thread, process-wide.
int32_t loops = 0;          // loop-count
int32_t exits = 0;          // exit-count
int64_t forced_flags = -1;  // imposed on key events by send-event-os; -1 none
const win::Message* current_msg = nullptr;
bool drain_busy = false;
int32_t pending_key = -1;
uint32_t high_surrogate = 0;
bool ime_composing = false;
int64_t last_mouse_pos = -1;
win::WindowId over_window = win::no_window;
win::WindowId pressed_window = win::no_window;
win::WindowId released_window = win::no_window;
win::Point menu_point{};
uint32_t depth = 0;  // make-event calls running

// The one current event record.
Cell record{};

// Synthetic messages posted by send-event-os, taken by the loop in their
// turn: the queue carries only a kind and two words, so the message itself
// waits here and the queue holds its index.
constexpr uint32_t posted_event = win::msg::user + 3;
std::vector<win::Message> posted;
std::vector<uint32_t> free_posted;

uint32_t modifier_flags(bool keys_only, uint32_t modifiers) {
    uint32_t f = 0;
    if (modifiers & win::modifier::control) f |= flag::ctrl;
    if (modifiers & win::modifier::shift) f |= flag::shift;
    if (modifiers & win::modifier::alt) f |= flag::alt;
    if (keys_only) return f;
    if (modifiers & win::modifier::left_button) f |= flag::down;
    if (modifiers & win::modifier::right_button) f |= flag::alt_down;
    if (modifiers & win::modifier::middle_button) f |= flag::mid_down;
    if (modifiers & win::modifier::extra_buttons) f |= flag::aux_down;
    return f;
}

uint32_t mouse_flags(uint32_t modifiers) {
    uint32_t f = 0;
    if (modifiers & win::modifier::left_button) f |= flag::down;
    if (modifiers & win::modifier::right_button) f |= flag::alt_down;
    if (modifiers & win::modifier::shift) f |= flag::shift;
    if (modifiers & win::modifier::control) f |= flag::ctrl;
    if (modifiers & win::modifier::middle_button) f |= flag::mid_down;
    if (modifiers & win::modifier::extra_buttons) f |= flag::aux_down;
    return f;
}

uint32_t current_key_flags(const win::Message& m) {
    return forced_flags >= 0 ? uint32_t(forced_flags) : modifier_flags(false, m.modifiers);
}

// The character-key set, by virtual key: the keys whose `key` event comes
// from the character they type.
bool char_key(uint32_t vk) {
    if (vk == 0x08 || vk == 0x09 || vk == 0x0D || vk == 0x1B || vk == 0x20) return true;
    if ((vk >= 0x30 && vk <= 0x39) || (vk >= 0x41 && vk <= 0x5A)) return true;
    if (vk >= 0x60 && vk <= 0x6F) return vk != 0x6C;
    if ((vk >= 0xBA && vk <= 0xC0) || (vk >= 0xDB && vk <= 0xDF)) return true;
    return vk == 0xE2 || vk == 0xE3 || vk == 0xE4 || (vk >= 0xE9 && vk <= 0xF5);
}

// The punctuation keys of a US keyboard by their unshifted character.
struct Oem {
    char c;
    uint32_t vk;
};
constexpr Oem oem_keys[] = {
    {';', 0xBA}, {'=', 0xBB}, {',', 0xBC}, {'-', 0xBD}, {'.', 0xBE}, {'/', 0xBF},
    {'`', 0xC0}, {'[', 0xDB}, {'\\', 0xDC}, {']', 0xDD}, {'\'', 0xDE},
};

// What a character key types unshifted, letters as capitals; 0 for a key
// that types none. The key-down event's key and the key of a character
// (send-event-os) both read this one table.
uint32_t vk_to_char(uint32_t vk) {
    if (vk == 0x08 || vk == 0x09 || vk == 0x0D || vk == 0x1B || vk == 0x20) return vk;
    if ((vk >= 0x30 && vk <= 0x39) || (vk >= 0x41 && vk <= 0x5A)) return vk;
    if (vk >= 0x60 && vk <= 0x69) return '0' + (vk - 0x60);
    switch (vk) {
        case 0x6A: return '*';
        case 0x6B: return '+';
        case 0x6D: return '-';
        case 0x6E: return '.';
        case 0x6F: return '/';
        default: break;
    }
    for (const Oem& o : oem_keys)
        if (o.vk == vk) return uint32_t(o.c);
    return 0;
}

// Ends with the message's slot filled for the event's readers.
uint32_t take_slot(const win::Message& m) {
    uint32_t slot = depth + 1 < message_slot_count ? depth + 1 : message_slot_count - 1;
    message_slots[slot] = MessageSlot{m, pending_key, high_surrogate, menu_point};
    return slot;
}

const Cell* awake_function() {
    static Cell system_word{}, view_word{}, awake_word{};
    if (cell::type(&system_word) != type_word) {
        system_word = word::load("system");
        view_word = word::load("view");
        awake_word = word::load("awake");
    }
    const Cell* system = context::get_word_value(&system_word);
    if (cell::type(system) != type_object) return nullptr;
    const Cell* view = object_type::select_word(system, &view_word);
    if (cell::type(view) != type_object) return nullptr;
    return object_type::select_word(view, &awake_word);
}

// A window minimised, maximised or restored (a = the event type).
void apply_state(const win::Message& m) {
    if (!win::is_window(m.window)) return;
    switch (m.a) {
        case minimize: win::set_window_state(m.window, win::SurfaceState::minimised); break;
        case maximize: win::set_window_state(m.window, win::SurfaceState::maximised); break;
        default:
            if (win::window_state(m.window) != win::SurfaceState::restored)
                win::set_window_state(m.window, win::SurfaceState::restored);
            win::input::set_active(win::top_level_of(m.window));
            break;
    }
}

}  // namespace

uint32_t virtual_key(uint32_t k) {
    namespace key = win::key;
    if (k < 0x100) return k;  // the ASCII controls, space, digits and capitals are their own
    if (k >= key::f1 && k < key::f1 + 24) return 0x70 + (k - key::f1);
    if (k >= key::keypad_0 && k <= key::keypad_0 + 9) return 0x60 + (k - key::keypad_0);
    if (k >= key::punctuation && k < key::punctuation + 0x80) {
        for (const Oem& o : oem_keys)
            if (uint32_t(o.c) == k - key::punctuation) return o.vk;
        return 0xDF;  // a mark of no key of its own on a US keyboard
    }
    switch (k) {
        case key::left: return 0x25;
        case key::up: return 0x26;
        case key::right: return 0x27;
        case key::down: return 0x28;
        case key::page_up: return 0x21;
        case key::page_down: return 0x22;
        case key::home: return 0x24;
        case key::end: return 0x23;
        case key::insert: return 0x2D;
        case key::delete_key: return 0x2E;
        case key::left_shift: return 0xA0;
        case key::right_shift: return 0xA1;
        case key::left_control: return 0xA2;
        case key::right_control: return 0xA3;
        case key::left_alt: return 0xA4;
        case key::right_alt: return 0xA5;
        case key::left_super: return 0x5B;
        case key::right_super: return 0x5C;
        case key::caps_lock: return 0x14;
        case key::num_lock: return 0x90;
        case key::scroll_lock: return 0x91;
        case key::pause: return 0x13;
        case key::menu: return 0x5D;
        case key::keypad_multiply: return 0x6A;
        case key::keypad_add: return 0x6B;
        case key::keypad_subtract: return 0x6D;
        case key::keypad_decimal: return 0x6E;
        case key::keypad_divide: return 0x6F;
        case key::keypad_enter: return 0x0D;
        default: return 0;
    }
}

uint32_t key_of_character(uint32_t c) {
    if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ') return c;
    if (c == '\t' || c == '\r' || c == '\b' || c == 27) return c;
    if (c == '\n') return win::key::enter;
    if (c > ' ' && c < 0x7F) return win::key::punctuation + c;
    return win::key::other;
}

int32_t loop_count() { return loops; }
int32_t exit_count() { return exits; }

void window_loop_ended() {
    loops--;
    exits++;
}

int32_t make_event(const win::Message& m, uint32_t flags, uint32_t type) {
    uint32_t word3 = 0;
    switch (type) {
        case over: word3 = flags; break;
        case key_down:
        case key_up: {
            uint32_t vk = virtual_key(uint32_t(m.a));
            bool character = char_key(vk) || (type == key_down && ime_composing);
            pending_key = character ? -1 : int32_t(vk);  // our codes tell left from right already
            if (pending_key == -1)
                if (uint32_t c = vk_to_char(vk)) vk = c;
            word3 = current_key_flags(m) | vk;
            break;
        }
        case key: {
            uint32_t f = current_key_flags(m);
            uint32_t c = m.kind == win::msg::character ? uint32_t(m.a) : virtual_key(uint32_t(m.a));
            if (c > 0xFFFF) {
                // A character beyond the first plane carries no modifier.
                high_surrogate = c;
                f = 0;
            } else {
                high_surrogate = 0;
            }
            word3 = c | f;
            break;
        }
        case down: case up: case mid_down: case mid_up: case alt_down: case alt_up: case wheel: case dbl_click:
            word3 = flags | modifier_flags(false, m.modifiers);
            break;
        case click: word3 = modifier_flags(true, m.modifiers); break;
        case menu: word3 = flags & 0xFFFF; break;
        case select: word3 = (flags + 1) & 0xFFFF; break;
        case change: word3 = flags & 0xFFFF; break;
        default: break;
    }
    uint32_t slot = take_slot(m);
    cell::make_event(&record, type_event, type, slot, word3);

    const Cell* awake = awake_function();
    if (!awake || !cell::is_function_type(cell::type(awake))) return 1;
    int32_t loops_before = loops;
    gc::Local function(*awake);
    gc::Local event(record);
    gc::Local answer(Cell{});
    bool answered;
    struct Depth {
        Depth() { depth++; }
        ~Depth() { depth--; }
    } nested;
    {
        trace::Off untraced;
        call::Call call(&function);
        call.arg(&event);
        answered = call::run_stopping_exits(call, &answer);
    }
    if (loops < loops_before) win::post_quit(0);
    if (!answered) return 1;
    if (cell::type(&answer) == type_word &&
        symbols::resolve(cell::word_symbol(&answer)) == symbols::resolve(symbols::make("stop")))
        return 0;
    return 1;
}

int32_t pre_dispatch_filter(const win::Message& m) {
    uint32_t flags = mouse_flags(m.modifiers) | modifier_flags(true, m.modifiers);
    switch (m.kind) {
        case win::msg::key_down: {
            if (m.modifiers & win::modifier::alt) return make_event(m, 0, key_down);  // a system key
            int32_t r = make_event(m, 0, key_down);
            if (r && pending_key != -1 && pending_key != 0x10 && pending_key != 0x11 &&
                !(pending_key >= 0xA0 && pending_key <= 0xA5))
                r = make_event(m, 0, key);
            return r;
        }
        case win::msg::key_up: return make_event(m, 0, key_up);
        case win::msg::character:
            pending_key = -1;
            return make_event(m, 0, key);
        case win::msg::mouse_move: {
            int64_t position = int64_t(uint32_t(m.point.y) << 16 | (uint32_t(m.point.x) & 0xFFFF));
            if (position == last_mouse_pos) return 0;
            last_mouse_pos = position;
            // No face asks for every move (all-over) until faces exist.
            if (win::is_enabled(m.window) && m.window != over_window) {
                win::input::track_leave(m.window);
                make_event(m, flags, over);
            }
            over_window = m.window;
            return 1;
        }
        case win::msg::mouse_leave:
            last_mouse_pos = -1;
            make_event(m, flags | flag::away, over);
            if (m.window == over_window) over_window = win::no_window;
            return 1;
        case win::msg::button_down:
            switch (m.a) {
                case win::button::left: {
                    pressed_window = m.window;
                    int32_t r = make_event(m, flags, down);
                    pressed_window = win::no_window;
                    return r;
                }
                case win::button::right:
                    if (win::input::capture() != win::no_window) return 1;
                    menu_point = m.point;
                    return make_event(m, flags, alt_down);
                case win::button::middle: return make_event(m, flags, mid_down);
                default: return make_event(m, flags, aux_down);
            }
        case win::msg::button_up:
            switch (m.a) {
                case win::button::left: {
                    released_window = m.window;
                    int32_t r = make_event(m, flags, up);
                    released_window = win::no_window;
                    return r;
                }
                case win::button::right: return make_event(m, flags, alt_up);
                case win::button::middle: return make_event(m, flags, mid_up);
                default: return make_event(m, flags, aux_up);
            }
        case win::msg::button_double:
            if (m.a != win::button::left) return 1;
            make_event(m, 0, down);
            make_event(m, flags, dbl_click);
            return 1;
        case win::msg::wheel:
            if (m.a == 1) return 1;  // horizontal: passes undisturbed
            return make_event(m, mouse_flags(m.modifiers), wheel);
        case win::msg::composition_start: ime_composing = true; return 1;
        case win::msg::composition_end: ime_composing = false; return 1;
        default: return 1;
    }
}

int32_t do_events(bool no_wait) {
    // The caller's forced flags come back however the loop is left.
    struct Forced {
        int64_t saved = forced_flags;
        ~Forced() { forced_flags = saved; }
    } forced;
    forced_flags = -1;
    int32_t result = 0;
    if (!no_wait) loops++;
    for (;;) {
        win::Message m;
        if (no_wait) {
            if (!win::running() || !win::peek(m, true)) break;
            if (m.kind == win::msg::quit) {
                // The quit belongs to the blocking loop this pass runs in.
                win::post_quit(int32_t(m.a));
                break;
            }
        } else if (!win::running() || !win::get(m)) {
            break;
        }
        result = 1;
        if (m.kind == posted_event) {
            if (m.a >= posted.size()) continue;
            uint32_t index = uint32_t(m.a);
            m = posted[index];
            free_posted.push_back(index);
            if (m.kind == win::msg::mouse_move) last_mouse_pos = -1;
            if (m.kind == win::msg::state_changed) {
                apply_state(m);
                if (no_wait) break;
                continue;
            }
        }
        if (pre_dispatch_filter(m) > 0) {
            const win::Message* saved = current_msg;
            current_msg = &m;
            win::translate(m);
            win::dispatch(m);
            current_msg = saved;
        }
        if (no_wait) break;
    }
    if (!no_wait) {
        // Only a window that ran its own loop raises exit-count, so a loop
        // ended by exit-event-loop leaves it at 0 rather than below: an
        // outer loop still ends when such a window goes.
        if (exits > 0) exits--;
        if (exits > 0) win::post_quit(0);
    }
    return result;
}

int32_t drain_events() {
    if (drain_busy) return 1;
    struct Busy {
        Busy() { drain_busy = true; }
        ~Busy() { drain_busy = false; }
    } busy;
    while (do_events(true)) {
    }
    return 1;
}

void post_synthetic(const win::Message& m) {
    uint32_t index;
    if (!free_posted.empty()) {
        index = free_posted.back();
        free_posted.pop_back();
        posted[index] = m;
    } else {
        index = uint32_t(posted.size());
        posted.push_back(m);
    }
    win::post(m.window, posted_event, index, 0);
}

void send_synthetic(const win::Message& m, int64_t forced) {
    if (m.kind == win::msg::state_changed) return apply_state(m);
    if (m.kind == win::msg::mouse_move) last_mouse_pos = -1;
    struct Forced {
        int64_t saved = forced_flags;
        ~Forced() { forced_flags = saved; }
    } restore;
    if (forced >= 0) forced_flags = forced;
    if (pre_dispatch_filter(m) > 0) {
        const win::Message* saved = current_msg;
        current_msg = &m;
        win::dispatch(m);
        current_msg = saved;
    }
}

const win::Message* current_message() { return current_msg; }
void set_forced_flags(int64_t flags) { forced_flags = flags; }
int64_t get_forced_flags() { return forced_flags; }
void reset_last_mouse_pos() { last_mouse_pos = -1; }

}  // namespace vum::view::gui
