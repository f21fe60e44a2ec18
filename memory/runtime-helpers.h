// Small runtime entry points that compiled code and several datatypes use
// instead of the interpreter.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::integer {

// A 32-bit integer from an integer! or a float! (truncated toward zero);
// a float above 2147483647.0 or below -2147483648.0, or NaN, raises script
// out-of-range. Sizes given to make are taken through here.
int32_t from_number(const Cell* c);

}  // namespace vum::integer

namespace vum::memory {

// Fills the buffer with count copies of its first n bytes by doubling
// copies; returns buffer + n x count. Nothing for n <= 0.
uint8_t* repeat_pattern(uint8_t* buffer, int32_t n, int32_t count);

}  // namespace vum::memory
