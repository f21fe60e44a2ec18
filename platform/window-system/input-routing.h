// Raw input from the driver routed to windows: the mouse to the window
// under the pointer or to the one holding the capture, keys to the focus;
// hover-leave tracking, double clicks, keyboard focus and activation.
#pragma once
#include <deque>
#include <string>

#include "platform/window-system/drivers/display-driver.h"
#include "platform/window-system/window-messages.h"

namespace vum::win::input {

// Appends the messages one raw event makes. Window-manager events (moves,
// resizes, activation) are applied here, sending their messages at once.
void route(const RawEvent& event, std::deque<Message>& out);

// Mouse messages go to this window wherever the pointer is. Returns the
// previous holder, which is sent capture_lost.
WindowId set_capture(WindowId window);
void release_capture();
WindowId capture();

// One mouse_leave is sent when the pointer next leaves the window.
void track_leave(WindowId window);

// Sends kill_focus to the old window and set_focus to the new one,
// activating its top-level first. Returns the old focus.
WindowId set_focus(WindowId window);
WindowId focus();
// The active top-level: sent activate 0, the new one activate 1.
WindowId set_active(WindowId top_level);
WindowId active();

// ---- Input methods ----

// What an input method is composing for the focus (UTF-8) and where its
// caret is, in code points; empty outside a composition. A
// composition_update message is read through these.
const std::string& composition_text();
int32_t composition_caret();
// Where the text being edited is, in the window's client coordinates: an
// input method shows its candidates beside it.
void set_text_input_rect(WindowId window, const Rect& area);

// The double-click time and distance.
constexpr uint64_t double_click_ms = 500;
constexpr int32_t double_click_distance = 4;

}  // namespace vum::win::input
