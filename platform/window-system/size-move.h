// The user moving and sizing top-levels. The display reports each move and
// resize but not when the user took hold of a frame or let go of it, so a
// burst stands for that: the moves and resizes of a top-level that come
// less than quiet_ms apart. It begins at the first that changes the
// window's place and ends quiet_ms after the last, on the driver's clock
// (the virtual one under the headless driver). A move the window system
// made itself comes back from the display as what the record already
// holds, and begins nothing.
#pragma once
#include <cstdint>
#include <deque>
#include <optional>

#include "platform/window-system/drivers/display-driver.h"

namespace vum::win::size_move {

constexpr uint64_t quiet_ms = 150;

// Takes a raw event from the driver into the raw queue, a size_move_begin
// in front of the one that begins a burst. The burst's end is reckoned
// from the event's time.
void accept(const RawEvent& event, std::deque<RawEvent>& raw);
// Appends a size_move_end for each burst that has been quiet long enough.
void end_quiet(uint64_t now, std::deque<RawEvent>& raw);
// When the next burst ends unless another move comes.
std::optional<uint64_t> next_end();

}  // namespace vum::win::size_move
