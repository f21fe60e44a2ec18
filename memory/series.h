// Operations on series through their nodes. Every operation that may
// allocate takes the node and returns addresses valid until the next
// allocation.
//
// The write barrier: a compiled form reads a block's cells once and trusts
// them afterwards, so any change to the cells or the length of a series that
// has a form (series_flags::has_form) bumps code_epoch, which forms compare
// instead of re-reading. Reads go through cells_head and friends, which are
// const; writes through cells_mut, the tail allocators and set_tail, which
// check the flag in the header they already touch. cells_mut_untracked is
// for series that never hold code (fresh blocks being built, strings,
// binaries, the runtime's own tables): a form can only be made for a block
// that was already run, so a series no code has seen needs no barrier.
#pragma once
#include <cstdint>

#include "memory/cell.h"
#include "memory/series-buffer.h"

namespace vum::series {

extern uint64_t code_epoch;

inline void note_change(const SeriesBuffer* b) {
    if (__builtin_expect(b->flags & series_flags::has_form, 0)) ++code_epoch;
}
inline void note_change(uint32_t node) { note_change(nodes::buffer(node)); }
// Every form checks again: for what may change code without touching its
// cells (a collection that frees nodes, tracing turned on).
inline void bump_code_epoch() { ++code_epoch; }

inline bool has_form(uint32_t node) { return (nodes::buffer(node)->flags & series_flags::has_form) != 0; }
// Marks the series as run by a compiled form, whose index goes in the
// buffer header; clearing the mark bumps the epoch, as its form is gone.
void set_form(uint32_t node, uint32_t form);
void clear_form(uint32_t node);
inline uint32_t form_of(uint32_t node) {
    const SeriesBuffer* b = nodes::buffer(node);
    return (b->flags & series_flags::has_form) ? b->spare : 0;
}

// Reserves one cell at the tail (unset), doubling the buffer when full.
Cell* alloc_tail_cell(uint32_t node);

// Reserves n bytes at the tail and returns where they start; a full buffer
// grows to 2n bytes when it is smaller than n, else to twice its size.
uint8_t* alloc_tail_bytes(uint32_t node, int32_t n);

// A new series holding elements [start, start + count) of the source, of the
// same unit and flags (without the owned bit).
uint32_t copy_part(uint32_t node, int32_t start, int32_t count);

inline const Cell* cells_head(uint32_t node) {
    return reinterpret_cast<const Cell*>(nodes::buffer(node)->head_ptr());
}
inline const Cell* cells_tail(uint32_t node) {
    return reinterpret_cast<const Cell*>(nodes::buffer(node)->tail_ptr());
}
// The cells to write, from the buffer's head; bumps the epoch when a form
// runs them. Valid until the next allocation, as every buffer address.
inline Cell* cells_mut(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    note_change(b);
    return reinterpret_cast<Cell*>(b->head_ptr());
}
// The same for a series that never holds code (see the top of this file).
inline Cell* cells_mut_untracked(uint32_t node) {
    return reinterpret_cast<Cell*>(nodes::buffer(node)->head_ptr());
}
// The tail as a byte offset from the data; the length changes, so the
// barrier applies.
inline void set_tail(SeriesBuffer* b, uint32_t tail) {
    note_change(b);
    b->tail = tail;
}

// Reserves a cell at the tail of the block the cell refers to.
Cell* alloc_tail(const Cell* block);

// Elements from the cell's head index to the tail; negative when the index
// lies past the tail.
inline int32_t length_from_head(const Cell* block) {
    SeriesBuffer* b = nodes::buffer(block->w2);
    return int32_t((b->tail - b->head) >> 4) - int32_t(block->w1);
}

}  // namespace vum::series
