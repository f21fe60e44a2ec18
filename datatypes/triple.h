// triple!: three signed 32-bit integers in words 1 to 3 of the cell. The
// language has no action that makes one; the type exists for values that
// native code hands over, and only writes them out.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::triple_type {

Cell* make_at(Cell* c, int32_t a, int32_t b, int32_t c3);

void init();

}  // namespace vum::triple_type
