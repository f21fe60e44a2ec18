// percent!: a float! written with a percent sign. The cell holds the
// fraction (50% is 0.5) where a float! holds its double, and every action
// but the text forms and the reading of text is float!'s own.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::percent_type {

Cell* make_at(Cell* c, double fraction);
Cell* push(double fraction);
// A new stack cell from the two payload words (low half first).
Cell* push_raw(uint32_t low, uint32_t high);
void push_new(uint32_t block, double fraction);
double value(const Cell* c);

void init();

}  // namespace vum::percent_type
