// The timers of the window system: a heap ordered by due time. Setting a
// timer that exists (same window, same id) replaces its interval; stale
// heap entries are skipped by their generation rather than searched for.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/window-system/window-messages.h"

namespace vum::win {

class TimerHeap {
public:
    struct Fired {
        WindowId window;
        uint64_t id;
    };

    // Due first at now + interval, then every interval after that due time.
    // An interval of 0 counts as 1 ms.
    void set(WindowId window, uint64_t id, uint64_t interval_ms, uint64_t now);
    bool kill(WindowId window, uint64_t id);
    void kill_all(WindowId window);
    void clear();

    // The earliest due time, if any timer runs.
    std::optional<uint64_t> next_due();
    // The earliest timer due at `now` or before; with `take`, it is
    // rescheduled one interval after its due time (or after now, when it
    // fell more than an interval behind: a late timer fires once, not in a
    // burst).
    std::optional<Fired> due(uint64_t now, bool take);

private:
    struct Entry {
        uint64_t due;
        uint64_t order;  // ties fire in the order they were scheduled
        WindowId window;
        uint64_t id;
        uint64_t generation;
        bool operator>(const Entry& o) const { return due != o.due ? due > o.due : order > o.order; }
    };
    struct Live {
        uint64_t interval;
        uint64_t generation;
    };
    void push(Entry entry);
    void drop_stale();

    std::vector<Entry> heap_;
    std::map<std::pair<WindowId, uint64_t>, Live> live_;
    uint64_t next_order_ = 0;
    uint64_t next_generation_ = 1;
};

}  // namespace vum::win
