// Operations on series through their nodes. Every operation that may
// allocate takes the node and returns addresses valid until the next
// allocation.
#pragma once
#include <cstdint>

#include "memory/cell.h"
#include "memory/series-buffer.h"

namespace vum::series {

// Reserves one cell at the tail (unset), doubling the buffer when full.
Cell* alloc_tail_cell(uint32_t node);

// Reserves n bytes at the tail and returns where they start; a full buffer
// grows to 2n bytes when it is smaller than n, else to twice its size.
uint8_t* alloc_tail_bytes(uint32_t node, int32_t n);

// A new series holding elements [start, start + count) of the source, of the
// same unit and flags (without the owned bit).
uint32_t copy_part(uint32_t node, int32_t start, int32_t count);

inline Cell* cells_head(uint32_t node) { return reinterpret_cast<Cell*>(nodes::buffer(node)->head_ptr()); }
inline Cell* cells_tail(uint32_t node) { return reinterpret_cast<Cell*>(nodes::buffer(node)->tail_ptr()); }

// Reserves a cell at the tail of the block the cell refers to.
Cell* alloc_tail(const Cell* block);

// Elements from the cell's head index to the tail; negative when the index
// lies past the tail.
inline int32_t length_from_head(const Cell* block) {
    SeriesBuffer* b = nodes::buffer(block->w2);
    return int32_t((b->tail - b->head) >> 4) - int32_t(block->w1);
}

}  // namespace vum::series
