// event!: the value through which input and window notifications reach the
// language, and the message loop that makes them.
//
// Cell: w1 the event type (1-38, 0 for a made event without one), w3 the
// flags (a key code or a small number in bits 0-15, the button and
// modifier bits above). w2 is, for an event the loop made, the index of
// its message in a small table (the one being dispatched and the
// synthetic ones send-event-os builds); for an event made by `make`
// (header flag flag_event_made) the node of its field block of four cells,
// face, window, offset and picked, or 0 without one. No word holds an
// address, so an event kept past its handler reads whatever message its
// slot holds by then, as the one current event record of the loop does.
#pragma once
#include <cstdint>

#include "memory/cell.h"
#include "platform/window-system/window-messages.h"

namespace vum::view::gui {

// Event flag bits.
namespace flag {
enum : uint32_t {
    aux_down = 0x00400000,
    alt_down = 0x00800000,  // the right button
    mid_down = 0x01000000,
    down = 0x02000000,      // the left button
    away = 0x04000000,
    ctrl = 0x10000000,
    shift = 0x20000000,
    alt = 0x40000000,       // the alt key
    command = 0x80000000,
};
}

// Event types, word 1.
enum Type : uint32_t {
    down = 1, up, mid_down, mid_up, alt_down, alt_up, aux_down, aux_up, click, dbl_click, wheel, over, key,
    key_down, key_up, ime, focus, unfocus, enter, zoom, pan, rotate, two_tap, press_tap, select, change, menu,
    close, move, resize, moving, resizing, time, drawing, scroll, minimize, maximize, restore,
};
constexpr int32_t type_count = 38;

// Makes the event of a message and hands it to system/view/awake: 1 when
// the message is still to be dispatched, 0 when awake answered `stop`.
int32_t make_event(const win::Message& message, uint32_t flags, uint32_t type);

// Turns input into events before a message is translated and dispatched:
// greater than 0 to dispatch it, 0 when it is swallowed.
int32_t pre_dispatch_filter(const win::Message& message);

// The loop: blocking until a quit, or one message without waiting. 1 when
// a message was taken, else 0.
int32_t do_events(bool no_wait);
// Runs do_events(true) until nothing is left; a nested call returns at once.
int32_t drain_events();

// The loop's nesting counters.
int32_t loop_count();
int32_t exit_count();
// A window that ran a loop of its own was destroyed: the loop that runs
// for it is to end.
void window_loop_ended();

// The message being dispatched, null outside a dispatch.
const win::Message* current_message();
// Flags imposed on key events (send-event-os); -1 for none.
int64_t get_forced_flags();
void set_forced_flags(int64_t flags);
// Lets the next move through even at the last point.
void reset_last_mouse_pos();

// A synthetic message from send-event-os: posted, it waits for its turn in
// the queue; sent, it goes through the filter at once and is dispatched
// untranslated, with `forced` (when 0 or more) as the key events' flags.
// A state_changed message (a = minimize, maximize or restore) changes the
// window's state instead.
void post_synthetic(const win::Message& message);
void send_synthetic(const win::Message& message, int64_t forced);
// The key a character is typed with (letters by their capital).
uint32_t key_of_character(uint32_t c);

// The virtual-key number of a window-system key code.
uint32_t virtual_key(uint32_t key);

}  // namespace vum::view::gui
