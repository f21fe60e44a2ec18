// Slots for resources that live outside the memory manager: decoded images,
// fonts, platform objects. A language value holds a slot index; the
// collector marks the slots that live values reach and finalizes the rest,
// and the owning module can replace or release its resource explicitly.
// Modules register a kind (a name and a finalizer) at start-up; the
// registry never looks inside the data pointers it keeps.
//
// Slots sit in one array that doubles when it runs short, so they move;
// always name them by index. Two lists thread the array through `next`: the
// free list, which is never left empty, and the live list, newest first.
#pragma once
#include <cstdint>

namespace vum::handle_registry {

using Finalizer = void (*)(void* data);
using Visitor = void (*)(void* data);

struct HandleKind {
    const char* tag;       // the name text itself, compared by address
    Finalizer finalizer;   // may be null
};

struct HandleSlot {
    uint32_t kind_word;   // live: kind id | mark bit; free: free_word
    int32_t next;         // next slot on the same list, end_of_list ends it
    void* data;           // null in a free slot
};
static_assert(sizeof(HandleSlot) == 16);

constexpr int32_t max_kinds = 20;
constexpr int32_t initial_capacity = 1000;
constexpr int32_t end_of_list = -1;
constexpr uint32_t kind_mask = 0xFF;
constexpr uint32_t mark_bit = 0x80000000;
constexpr uint32_t free_word = 0x40000000;

// Allocates the kinds table and the first slots, all free. Calling it again
// releases the old tables and starts over with no kinds and no handles.
void init();

// Returns the new kind's id (1, 2, 3 ...), or 0 when all max_kinds are taken.
int32_t register_kind(const char* tag, Finalizer finalizer);

// Returns the index of a new live, unmarked slot holding data. Only the low
// byte of kind_id is kept, so no id can pass for the free or mark bits.
int32_t add(void* data, int32_t kind_id);

// Replaces the data of a live slot; old data that differs from the new is
// finalized.
void set_data(int32_t index, void* data);

// Frees a live slot, finalizing its data first when asked. Free slots and
// indexes outside the array are left alone.
void release(int32_t index, bool finalize);

// Marks a live slot for the current collection and, when data is not null,
// replaces its data without finalizing the old. Returns 1 when the slot was
// unmarked before, 0 when it was already marked or is not a live slot.
int32_t mark(int32_t index, void* data);

// Calls visit(data) for each live slot of the kind, newest first. The visitor
// may release the slot it is given, but no other.
void for_each_of_kind(int32_t kind_id, Visitor visit);

// Ends a collection: unmarked live slots are finalized and freed, marked
// ones are unmarked and kept. A finalizer may add handles, but must not
// release any other slot.
void sweep();

// Run the finalizer of the kind in bits 0-7 of the kind word; kind 0, an
// unknown kind and a kind without finalizer do nothing.
void finalize_slot(int32_t index);
void finalize_data(uint32_t kind_word, void* data);

int32_t capacity();
int32_t live_count();            // walks the live list
bool is_live(int32_t index);
void* data(int32_t index);       // null for a free slot or a bad index
int32_t kind_of(int32_t index);  // 0 for a free slot or a bad index

// The raw tables, for the collector and for diagnostics.
int32_t kind_count();
const HandleKind* kind(int32_t kind_id);  // null when not registered
const HandleSlot* slots();
int32_t free_head();
int32_t live_head();

}  // namespace vum::handle_registry
