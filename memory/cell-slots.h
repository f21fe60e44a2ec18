// The cell-slot table: one global block through which native structures
// (window records of the GUI backend and the like) keep language values
// alive and reachable, naming each by a 1-based index. The block is a
// collector root; every cell of it is a slot. A free slot is an integer!
// whose value is the 0-based index of the next free slot, -1 ending the
// chain, so that a slot is handed out and given back without searching.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::slots {

constexpr int32_t initial_capacity = 100;

// Makes the table with the initial capacity, every slot free, and names it
// in the collector's roots.
void init();

// Turns slots from..capacity-1 into free slots chained in index order in
// front of the slots that were already free, and makes from the free head.
void link_free(int32_t from);

// Stores a copy of the value in the first free slot, doubling the table
// when none is free; returns the slot's 1-based index.
int32_t add(const Cell* value);

// Gives slot index back; 0 names no slot and is ignored. An index out of
// the table or of a slot already free raises script invalid-arg: handing
// the same slot out twice would let one holder's value be collected under
// the other.
void free(int32_t index);

// The slot's cell, good until the next allocation. Raises script
// invalid-arg for an index that names no slot in use.
Cell* address(int32_t index);

int32_t capacity();
int32_t free_head();  // 0-based, -1 when no slot is free

}  // namespace vum::slots
