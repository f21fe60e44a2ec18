// pair!: two signed 32-bit integers written XxY (640x480): sizes, offsets
// and positions. x sits in word 2 of the cell and y in word 3. Arithmetic
// is component-wise with the integer rules; a result that leaves the
// integers, or a product or quotient with a float, is a point2D!.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::pair_type {

inline int32_t x_of(const Cell* c) { return int32_t(c->w2); }
inline int32_t y_of(const Cell* c) { return int32_t(c->w3); }

Cell* make_at(Cell* c, int32_t x, int32_t y);
Cell* push(int32_t x, int32_t y);
void push_new(uint32_t block, int32_t x, int32_t y);

// The point2D! with the pair's coordinates.
Cell* to_point_at(Cell* c, const Cell* pair);

// A coordinate for a pair: the double truncated toward zero. NaN, the
// infinities and values beyond 32 bits raise script invalid-arg with the
// culprit value.
int32_t truncate_coordinate(double d, const Cell* culprit);

// The arithmetic action on the current frame: arg(0) is the pair and the
// result, arg(1) the other operand.
void do_math(int32_t op);

// Arithmetic whose left operand, arg(0), is an integer!, float! or percent!
// and whose right operand, arg(1), is a pair!, point2D! or point3D!: the
// coordinate type does the work, with the operands swapped where the
// operation allows it. integer! and float! hand such operands here.
void number_first_math(int32_t op);

int32_t compare(const Cell* a, const Cell* b, int32_t op);

void init();

}  // namespace vum::pair_type
