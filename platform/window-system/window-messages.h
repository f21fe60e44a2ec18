// The messages of the window system: what a window procedure receives,
// what the queue holds, and the key and modifier codes they carry. The
// numbers are this layer's own; the GUI code above maps them to its events.
#pragma once
#include <cstdint>

#include "platform/geometry.h"

namespace vum::win {

using WindowId = uint32_t;
constexpr WindowId no_window = 0;

namespace msg {
enum : uint32_t {
    created = 1,     // sent once the record exists, before create returns
    destroying,      // sent to a window and then to each descendant, parents first
    destroyed,       // sent last, children before parents; the id dies after it
    shown,           // a = 1 shown, 0 hidden
    moved,           // point = the new origin in the parent
    resized,         // point = the new width and height
    paint,           // a window to paint: paint_context() is valid while it runs
    close,           // the user asked to close a top-level; default: destroy it
    activate,        // a = 1 activated, 0 deactivated; b = the other window
    set_focus,       // b = the window that had the focus
    kill_focus,      // b = the window that gets the focus
    key_down,        // a = key code, b = the character the key types (0 none)
    key_up,          // a = key code
    character,       // a = a Unicode code point
    mouse_move,      // point in client coordinates
    mouse_leave,     // the pointer left a window that asked to be told
    button_down,     // a = button (see button::), point
    button_up,
    button_double,   // a second press soon after the first, in a class that wants them
    wheel,           // b = 1/120 notches, positive away from the user; a = 1 horizontal
    timer,           // a = the timer's id
    hit_test,        // point; answer hit::client or hit::transparent
    set_cursor,      // the pointer is over the window; default sets the class cursor
    capture_lost,    // the window held the mouse capture and no longer does
    enabled,         // a = 1 enabled, 0 disabled
    text_changed,
    quit,            // only in peek results: the quit flag was taken
    // A top-level's state, the user moving it, the monitors
    state_changed,    // a = the new SurfaceState (restored, minimised, maximised)
    size_move_begin,  // the user began moving or sizing the top-level; moved/resized follow
    size_move_end,    // ... and stopped
    display_changed,  // to every top-level: monitors came, went, or changed place or scale

    // Controls, scroll bars, the menu band and input methods. Numbered
    // from a base of their own, so other additions above never move them.
    command = 0x200,     // a control's notification to its parent: a = the code, b = the control
    scroll,              // a scroll bar of the window: a = scroll:: code | scroll::vertical, b = a position
    composition_start,   // an input method began composing text in the focus
    composition_update,  // the text being composed changed: composition_text(), a = the caret in code points
    composition_end,     // the composition ended; its result, if any, comes as `character` messages
    paint_menu_band,     // the reserved band at a top-level's top to draw: paint_context() is at its origin

    user = 0x1000,   // from here on the GUI code's own
};
}  // namespace msg

// What a `scroll` message reports, in the low byte of its a; the bar is
// the vertical one when scroll::vertical is set. b is the position the
// thumb was dragged to for track and position, else the bar's position.
namespace scroll {
enum : uint64_t {
    line_up = 0,    // an arrow at the top (left) end
    line_down = 1,  // an arrow at the bottom (right) end
    page_up = 2,    // the trough before the thumb
    page_down = 3,  // the trough after it
    position = 4,   // the thumb let go
    track = 5,      // the thumb dragged
    end = 8,        // the button let go, after any of the others
    vertical = 0x100,
};
}

namespace hit {
enum : int64_t { transparent = -1, client = 1 };
}

namespace button {
enum : uint64_t { left = 1, right = 2, middle = 3, extra1 = 4, extra2 = 5 };
}

// Modifier keys and buttons held when an input message was made.
namespace modifier {
enum : uint32_t {
    shift = 0x1,
    control = 0x2,
    alt = 0x4,
    super = 0x8,
    left_button = 0x100,
    right_button = 0x200,
    middle_button = 0x400,
    extra_buttons = 0x800,
};
}

// Key codes: letters are their capital, digits and the keys of the ASCII
// control characters their ASCII code; every other key a code of its own
// from 0x100 up.
namespace key {
enum : uint32_t {
    backspace = 8,
    tab = 9,
    enter = 13,
    escape = 27,
    space = 32,
    other = 0x100,
    left,
    up,
    right,
    down,
    page_up,
    page_down,
    home,
    end,
    insert,
    delete_key,
    left_shift,
    right_shift,
    left_control,
    right_control,
    left_alt,
    right_alt,
    left_super,
    right_super,
    caps_lock,
    num_lock,
    scroll_lock,
    pause,
    menu,
    f1 = 0x140,  // f1 + n - 1 for Fn, up to F24
    keypad_0 = 0x160,  // keypad_0 + n for the keypad digit n
    keypad_multiply = 0x16A,
    keypad_add,
    keypad_subtract,
    keypad_decimal,
    keypad_divide,
    keypad_enter,
    punctuation = 0x180,  // punctuation + the ASCII code of the unshifted character
};
}

struct Message {
    WindowId window = no_window;
    uint32_t kind = 0;
    uint64_t a = 0;
    int64_t b = 0;
    Point point{};
    uint32_t modifiers = 0;
    uint64_t time = 0;  // the driver's clock, in milliseconds
};

// The character a key types when the driver reports no text for it: the
// editing keys type their own code, Ctrl+Backspace deletes a word (127),
// Ctrl+Enter breaks a line (10), Ctrl+letter its control code. Both the
// display drivers and injected keys use it, so tests type what users do.
inline uint32_t control_character(uint32_t k, uint32_t modifiers) {
    bool control = modifiers & modifier::control;
    if (control && k == key::backspace) return 127;
    if (control && k == key::enter) return 10;
    if (k == key::backspace || k == key::tab || k == key::enter || k == key::escape) return k;
    if (control && k >= 'A' && k <= 'Z') return k - 'A' + 1;
    return 0;
}

}  // namespace vum::win
