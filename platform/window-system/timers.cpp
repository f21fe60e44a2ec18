#include "platform/window-system/timers.h"

#include <algorithm>
#include <functional>

namespace vum::win {

void TimerHeap::push(Entry entry) {
    entry.order = next_order_++;
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), std::greater<Entry>());
}

void TimerHeap::set(WindowId window, uint64_t id, uint64_t interval_ms, uint64_t now) {
    uint64_t interval = interval_ms == 0 ? 1 : interval_ms;
    uint64_t generation = next_generation_++;
    live_[{window, id}] = Live{interval, generation};
    push(Entry{now + interval, 0, window, id, generation});
}

bool TimerHeap::kill(WindowId window, uint64_t id) { return live_.erase({window, id}) > 0; }

void TimerHeap::kill_all(WindowId window) {
    auto it = live_.lower_bound({window, 0});
    while (it != live_.end() && it->first.first == window) it = live_.erase(it);
}

void TimerHeap::clear() {
    heap_.clear();
    live_.clear();
}

void TimerHeap::drop_stale() {
    while (!heap_.empty()) {
        const Entry& top = heap_.front();
        auto it = live_.find({top.window, top.id});
        if (it != live_.end() && it->second.generation == top.generation) return;
        std::pop_heap(heap_.begin(), heap_.end(), std::greater<Entry>());
        heap_.pop_back();
    }
}

std::optional<uint64_t> TimerHeap::next_due() {
    drop_stale();
    if (heap_.empty()) return std::nullopt;
    return heap_.front().due;
}

std::optional<TimerHeap::Fired> TimerHeap::due(uint64_t now, bool take) {
    drop_stale();
    if (heap_.empty() || heap_.front().due > now) return std::nullopt;
    Entry entry = heap_.front();
    Fired fired{entry.window, entry.id};
    if (!take) return fired;
    std::pop_heap(heap_.begin(), heap_.end(), std::greater<Entry>());
    heap_.pop_back();
    uint64_t interval = live_[{entry.window, entry.id}].interval;
    entry.due = entry.due + interval > now ? entry.due + interval : now + interval;
    push(entry);
    return fired;
}

}  // namespace vum::win
