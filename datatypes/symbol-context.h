// symbol! and context!: the two internal types beneath words. A symbol!
// cell is an entry of the symbol table and compares by its name; a context!
// cell heads a context's series. Neither is a value programs handle, so
// both register almost no actions.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::symbol_type {

// Registers symbol! with its compare handler only.
void init();

// The two names compared as text for a comparison operator: -1, 0 or 1.
// Letter case is folded except for strict-equal and the case-sensitive
// sort; the equality operators answer unequal at once for names of
// different lengths.
int32_t compare_names(int32_t symbol_a, int32_t symbol_b, int32_t op);

// The node of the symbol's name as a string! series, made on first need
// and kept in the entry for the process's life.
uint32_t cache_string(int32_t symbol);

// Pushes a string! (head 0) that shares the name series of the word's
// symbol; nothing is copied, so the string must not be modified.
Cell* push_string(const Cell* word);

}  // namespace vum::symbol_type

namespace vum::context_type {

// Registers context! with no action.
void init();

}  // namespace vum::context_type
