// handle! (id 46): an opaque platform value (a window, a font, a monitor, a
// rich-text layout, a file descriptor) that language code can hold, pass
// back and compare, but not compute with.
//
// Cell: w1 the kind, w2 the data word, w3 -1. A handle whose data is a
// native resource keeps it in the handle registry (base/handle-registry.h):
// its data word and w3 are then the registry slot, so the collector keeps
// the slot alive while the value is reachable and frees it afterwards.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::handle {

enum Kind : uint32_t {
    kind_null = 0,
    kind_fd = 1,
    kind_monitor = 2,
    kind_window = 3,
    kind_font = 4,
    kind_rich_text = 5,
};

// The kind's name for molded text, or null for kind 0 and unknown kinds.
const char* kind_name(uint32_t kind);

Cell* make_at(Cell* c, uint32_t kind, uint32_t data);
// Stores a handle in the current frame's result slot.
void set_result(uint32_t kind, uint32_t data);
// Appends a new handle at the tail of a block.
void append_to_block(const Cell* block, uint32_t kind, uint32_t data);
// Pushes a new handle of the kind with data word 0.
Cell* push(uint32_t kind);

// A handle over a new registry slot of the registry kind holding data.
Cell* make_registered(Cell* c, uint32_t kind, void* data, int32_t registry_kind);
// The data of a handle made by make_registered with that registry kind, or
// null for any other handle (or a slot the collector has freed).
void* registered_data(const Cell* h, int32_t registry_kind);

// Handlers (datatypes/actions.h signatures).
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);
int32_t compare(const Cell* a, const Cell* b, int32_t op);

}  // namespace vum::handle

namespace vum::handle_type {
// Registers handle! (its parent is integer!, from which it takes nothing).
void init();
}  // namespace vum::handle_type
