#include "platform/window-system/message-queue.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/window-system/event-script.h"
#include "platform/window-system/input-routing.h"
#include "platform/window-system/paint.h"
#include "platform/window-system/size-move.h"
#include "platform/window-system/system-state.h"
#include "platform/window-system/timers.h"
#include "platform/window-system/windows.h"

namespace vum::win {

namespace {

using detail::current;
using detail::current_serial;

detail::QueueState& state() { return current()->queue; }

// Posts from other threads wait here until the owner thread takes them.
std::mutex foreign_lock;
std::vector<Message> foreign;

enum class Taken { nothing, message, quit };

void absorb_foreign() {
    std::lock_guard<std::mutex> hold(foreign_lock);
    for (Message& m : foreign) state().posted.push_back(m);
    foreign.clear();
}

uint64_t now() { return running() ? driver().now_ms() : 0; }

// Takes what the display has, with the size-move bursts it begins and ends.
void gather_raw() {
    RawEvent e;
    while (driver().next_event(e)) size_move::accept(e, state().raw);
    size_move::end_quiet(now(), state().raw);
}

// Routes raw events one at a time, each when the messages before it are
// gone, so that it meets the windows as they are by then.
// Routing sends messages, and a procedure may stop the system meanwhile.
bool fill_input() {
    gather_raw();
    uint64_t serial = current_serial();
    while (state().input.empty() && !state().raw.empty()) {
        RawEvent next = state().raw.front();
        state().raw.pop_front();
        std::deque<Message> routed;
        input::route(next, routed);
        if (current_serial() != serial) return false;
        state().input.insert(state().input.end(), routed.begin(), routed.end());
    }
    return !state().input.empty();
}

Taken take(Message& m, bool remove) {
    if (!running()) return Taken::nothing;
    absorb_foreign();
    if (!state().posted.empty()) {
        m = state().posted.front();
        if (remove) state().posted.pop_front();
        return Taken::message;
    }
    if (state().quit) {
        m = Message{.kind = msg::quit, .a = uint64_t(uint32_t(state().quit_code))};
        if (remove) state().quit = false;
        return Taken::quit;
    }
    bool have_input = fill_input();
    if (!running()) return Taken::nothing;
    if (have_input) {
        m = state().input.front();
        if (remove) state().input.pop_front();
        return Taken::message;
    }
    if (WindowId top = next_dirty_top_level(); top != no_window) {
        m = Message{.window = top, .kind = msg::paint, .time = now()};
        return Taken::message;
    }
    uint64_t t = now();
    if (auto fired = state().timers.due(t, remove)) {
        m = Message{.window = fired->window, .kind = msg::timer, .a = fired->id, .time = t};
        return Taken::message;
    }
    return Taken::nothing;
}

// Counts a running loop in the system it started in, not in one started
// after a procedure stopped that.
struct DepthGuard {
    uint64_t serial = current_serial();
    DepthGuard() {
        if (serial) ++state().depth;
    }
    ~DepthGuard() {
        if (serial && current_serial() == serial) --state().depth;
    }
};

}  // namespace

void post(WindowId window, uint32_t kind, uint64_t a, int64_t b) {
    if (!running()) return;
    state().posted.push_back(Message{.window = window, .kind = kind, .a = a, .b = b, .time = now()});
}

void post_from_any_thread(WindowId window, uint32_t kind, uint64_t a, int64_t b) {
    {
        std::lock_guard<std::mutex> hold(foreign_lock);
        foreign.push_back(Message{.window = window, .kind = kind, .a = a, .b = b});
    }
    if (running()) driver().wake();
}

void post_quit(int32_t code) {
    if (!running()) return;
    state().quit = true;
    state().quit_code = code;
}

bool peek(Message& message, bool remove) { return take(message, remove) != Taken::nothing; }

bool get(Message& message) {
    for (;;) {
        switch (take(message, true)) {
        case Taken::message: return true;
        case Taken::quit: return false;
        case Taken::nothing: break;
        }
        if (!running()) return false;
        int64_t timeout = -1;
        std::optional<uint64_t> due = state().timers.next_due();
        if (auto burst_end = size_move::next_end(); burst_end && (!due || *burst_end < *due)) due = burst_end;
        if (due) {
            uint64_t t = now();
            timeout = *due > t ? int64_t(*due - t) : 0;
        }
        // A script's next lines come when all before them is done.
        if (events::feed(timeout)) continue;
        if (!driver().wait(timeout) && take(message, true) == Taken::nothing) {
            std::fprintf(stderr, "vum: no window, timer or input is left to wait for: the event loop ends\n");
            message = Message{.kind = msg::quit};
            return false;
        }
    }
}

void translate(const Message& message) {
    if (!running() || message.kind != msg::key_down || message.b <= 0) return;
    state().input.push_front(Message{.window = message.window,
                                   .kind = msg::character,
                                   .a = uint64_t(message.b),
                                   .modifiers = message.modifiers,
                                   .time = message.time});
}

int64_t dispatch(const Message& message) {
    if (!is_window(message.window)) return 0;
    if (message.kind == msg::paint && parent_of(message.window) == no_window) {
        repaint_top_level(message.window);
        return 0;
    }
    if (message.kind == msg::mouse_move && input::capture() == no_window) {
        send_message(Message{.window = message.window, .kind = msg::set_cursor, .point = message.point});
        if (!is_window(message.window)) return 0;
    }
    return send_message(message);
}

int32_t run_loop() {
    DepthGuard guard;
    Message m;
    while (get(m)) {
        translate(m);
        dispatch(m);
    }
    return int32_t(m.a);
}

int32_t loop_depth() { return running() ? state().depth : 0; }

std::vector<RawEvent> pending_raw() {
    if (!running()) return {};
    gather_raw();
    return std::vector<RawEvent>(state().raw.begin(), state().raw.end());
}

bool take_raw(const std::function<bool(const RawEvent&)>& wanted, RawEvent& taken) {
    if (!running()) return false;
    gather_raw();
    uint64_t serial = current_serial();
    for (size_t i = 0; i < state().raw.size(); ++i) {
        // A copy is offered, and the queue checked again after: `wanted`
        // should not run the queue, but a fault there must not crash here.
        RawEvent offered = state().raw[i];
        bool take = wanted(offered);
        if (current_serial() != serial || i >= state().raw.size()) return false;
        if (!take) continue;
        taken = std::move(state().raw[i]);
        state().raw.erase(state().raw.begin() + std::ptrdiff_t(i));
        return true;
    }
    return false;
}

void set_timer(WindowId window, uint64_t id, uint64_t interval_ms) {
    if (running()) state().timers.set(window, id, interval_ms, now());
}

bool kill_timer(WindowId window, uint64_t id) { return running() && state().timers.kill(window, id); }

namespace detail {

void drop_foreign_posts() {
    std::lock_guard<std::mutex> hold(foreign_lock);
    foreign.clear();
}

}  // namespace detail

}  // namespace vum::win
