#include "platform/window-system/size-move.h"

#include "platform/window-system/system-state.h"
#include "platform/window-system/windows.h"

namespace vum::win::size_move {

namespace {

// Whether the event would change the window's place or size as the window
// system knows it.
bool changes(const detail::WindowRecord& r, const RawEvent& e) {
    if (e.kind == RawEvent::Kind::moved) return e.position.x != r.rect.x || e.position.y != r.rect.y;
    return e.position.x != r.rect.width || e.position.y != r.rect.height;
}

}  // namespace

void accept(const RawEvent& event, std::deque<RawEvent>& raw) {
    using K = RawEvent::Kind;
    if (event.kind == K::moved || event.kind == K::resized) {
        detail::WindowRecord* r = detail::record(window_of_surface(event.surface));
        if (r && (r->size_moving || changes(*r, event))) {
            if (!r->size_moving)
                raw.push_back(RawEvent{.kind = K::size_move_begin, .surface = event.surface, .time = event.time});
            r->size_moving = true;
            r->size_move_until = event.time + quiet_ms;
        }
    }
    raw.push_back(event);
}

void end_quiet(uint64_t now, std::deque<RawEvent>& raw) {
    for (WindowId top : top_levels()) {
        detail::WindowRecord* r = detail::record(top);
        if (!r || !r->size_moving || now < r->size_move_until) continue;
        r->size_moving = false;
        raw.push_back(RawEvent{.kind = RawEvent::Kind::size_move_end, .surface = r->surface, .time = now});
    }
}

std::optional<uint64_t> next_end() {
    std::optional<uint64_t> first;
    for (WindowId top : top_levels()) {
        detail::WindowRecord* r = detail::record(top);
        if (r && r->size_moving && (!first || r->size_move_until < *first)) first = r->size_move_until;
    }
    return first;
}

}  // namespace vum::win::size_move
