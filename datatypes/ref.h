// ref! (id 50): a text kind for references written with a leading "@"
// (@name). It is stored and edited as a string! and differs from one only
// in its molded text; it has no path access and cannot be appended to.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::ref {

// Pushes a copy of the cell on the value stack (the layout dialect's way).
Cell* push(const Cell* value);

// "@" and the characters from the position as plain text.
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);

}  // namespace vum::ref

namespace vum::ref_type {
// Registers ref!; string! registers first.
void init();
}  // namespace vum::ref_type
