// point2D! and point3D!: immediate coordinate values written (1.5, 2) and
// (1, 2, 3). Their cells hold single-precision floats, x in word 1, y in
// word 2 and, for point3D!, z in word 3 (word 3 of a point2D! stays 0, so
// that identity can compare whole words). Every computation runs in double
// precision and is stored back rounded to single precision.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::point_type {

// 2 for point2D!, 3 for point3D!.
inline int32_t dimensions(uint8_t type) { return type == type_point3d ? 3 : 2; }

// A double rounded to single precision; beyond the largest float it is an
// infinity of its sign.
float to_float32(double d);

// Component i (0 = x, 1 = y, 2 = z) of a point cell.
float component(const Cell* c, int32_t i);
void set_component(Cell* c, int32_t i, double value);

Cell* make_2d_at(Cell* c, double x, double y);
Cell* make_3d_at(Cell* c, double x, double y, double z);
Cell* push_2d(double x, double y);
Cell* push_3d(double x, double y, double z);
void push_new_2d(uint32_t block, double x, double y);
void push_new_3d(uint32_t block, double x, double y, double z);

// The arithmetic action on the current frame: arg(0) is the point and the
// result, arg(1) the other operand (operator codes of integer_type::MathOp).
void do_math(int32_t op);

// The compare handler of both types.
int32_t compare(const Cell* a, const Cell* b, int32_t op);

// Registers point2D! and point3D!.
void init();

}  // namespace vum::point_type
