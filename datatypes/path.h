// The path kinds (path!, lit-path!, set-path!, get-path!) and paren!: blocks
// with their own text forms. Their cells and buffers are block!'s; each kind
// overrides only the handlers that make, convert and write it, and inherits
// the rest of block!'s row (which is why block! registers first).
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::path {

// Registers path!, lit-path!, set-path! and get-path!, in that order.
void init();

// Turns the cell into an empty path! over a new buffer of n cells (n < 1
// counts as 1).
void make_at(Cell* c, int32_t n);

// Sets the cell's type to the kind and pushes a copy of it.
void push_from(Cell* c);
void push_lit_from(Cell* c);
void push_set_from(Cell* c);
void push_get_from(Cell* c);

}  // namespace vum::path

namespace vum::paren {

// Registers paren! (after the path kinds: its row copies block!'s).
void init();
void push_from(Cell* c);

}  // namespace vum::paren
