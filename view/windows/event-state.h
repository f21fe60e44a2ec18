// The state the event loop shares with the event record's readers.
#pragma once
#include <cstdint>

#include "platform/window-system/window-messages.h"

namespace vum::view::gui {

// A message an event was made of, with what its key translation left: an
// event cell's w2 is the index of one of these (0: none). Each nested
// make-event takes the next slot, so an outer event reads its own message
// again once an inner loop returns.
struct MessageSlot {
    win::Message message{};
    int32_t pending_key = -1;  // the refined virtual key, -1 when the key types a character
    uint32_t code_point = 0;   // a typed character above 0xFFFF, whole
    win::Point menu_point{};
};
constexpr uint32_t message_slot_count = 16;
extern MessageSlot message_slots[message_slot_count];

}  // namespace vum::view::gui
