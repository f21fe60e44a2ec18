// hash!: a block that keeps an index of all its cells (a hash table of the
// hash! kind in payload word 3), so that find and select on it are lookups
// rather than scans. It is block! in every other way: the block module's
// modifying operations keep the index in step through their hash! hooks,
// and this module adds how the index is made, copied and searched, and
// how the value molds ("make hash! [...]").
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::hash_type {

// Turns a block cell (any any-block kind) whose series it alone holds into a
// hash! indexing every cell of that series from the buffer's start; the
// table is sized for at least `size` cells.
void index_in_place(Cell* c, int32_t size);

// The searches through the index, with block!'s results; a search the index
// cannot answer the way a scan would (a sequence, a datatype or typeset
// match, /match, objects without /same) scans as block! does.
void find(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);
void select(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);

void init();

}  // namespace vum::hash_type
