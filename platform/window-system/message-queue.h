// The message queue. A message is taken in this order: posted messages,
// then the quit flag, then input, then paint, then timers. Posting quit
// sets a flag, so several posts before it is taken end one loop only.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/window-system/drivers/display-driver.h"
#include "platform/window-system/window-messages.h"

namespace vum::win {

void post(WindowId window, uint32_t kind, uint64_t a = 0, int64_t b = 0);
// From any thread: handed over under a lock and the driver woken.
void post_from_any_thread(WindowId window, uint32_t kind, uint64_t a = 0, int64_t b = 0);
void post_quit(int32_t code);

// The next message without waiting; with `remove` it is taken. A taken
// quit comes back as a message of kind msg::quit (a = the code).
bool peek(Message& message, bool remove);
// Waits for the next message. False when it is the quit flag, or when
// nothing can ever arrive (then a line on standard error says so).
bool get(Message& message);
// A key_down that types a character puts a `character` message first in
// line.
void translate(const Message& message);
// Hands the message to its window's procedure. A paint message repaints
// its top-level.
int64_t dispatch(const Message& message);
// get, translate, dispatch until quit; returns the quit code. Loops nest:
// a procedure may run one.
int32_t run_loop();
// How many run_loop calls are running.
int32_t loop_depth();

// ---- Raw input, before routing ----

// The raw events the display reported that no message was made of yet,
// oldest first. Nothing is routed or taken: they stay for the queue.
std::vector<RawEvent> pending_raw();
// Takes the oldest pending raw event `wanted` accepts, unrouted, leaving
// the others in their order. False when none is accepted.
bool take_raw(const std::function<bool(const RawEvent&)>& wanted, RawEvent& taken);

// The timers of a window; setting an existing id replaces its interval.
void set_timer(WindowId window, uint64_t id, uint64_t interval_ms);
bool kill_timer(WindowId window, uint64_t id);

}  // namespace vum::win
