// vector!: a packed series of numbers of one element type and one width.
// char! and integer! elements take 1, 2 or 4 bytes, float! 4 or 8, percent!
// 8 (a percent element holds the fraction). The element type sits in word 3
// of the cell and the width is the buffer's unit, so the positional series
// actions work on vectors unchanged; this module adds the element access,
// make, the text forms, comparison, searching, sorting, editing and the
// element-wise arithmetic.
//
// The buffer holds plain bytes: the collector marks the series and never
// looks inside.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::vector_type {

// Element type and width rules.
bool is_element_type(uint8_t type);  // char! integer! float! percent!
uint32_t default_width(uint8_t element_type);

// Turns c into an empty vector with room for count elements of the width
// (bytes); count x width beyond 32 bits raises internal no-memory.
void make_at(Cell* c, int32_t count, uint8_t element_type, uint32_t width);

// One element at an address, as a cell of the element type: integers read
// back sign-extended, characters as unsigned code units.
Cell element(const uint8_t* at, uint32_t width, uint8_t element_type);
Cell* push_element(const uint8_t* at, uint32_t width, uint8_t element_type);
// Stores an integer!/char! value as its low 1, 2 or 4 bytes, a float! or
// percent! as a single or double float. Any other value raises script
// invalid-type with its datatype.
void store_element(uint8_t* at, const Cell* value, uint32_t width);

// Appends one element; the value's type must be the element type (else
// script invalid-arg with the value).
void append_value(const Cell* vector, const Cell* value);

// A block with one cell per element from the position.
void to_block(const Cell* vector, Cell* result);

// Elements from the position to the tail (0 when the position lies past it).
int32_t length(const Cell* vector);
// The tail moves to the position.
void truncate_at_index(const Cell* vector);

// The arithmetic of a number with a vector on its right (integer!, char!
// and float! hand it over): the frame's arg(0) is the number, arg(1) the
// vector, whose elements from its position become number op element; the
// vector is the result, in arg(0). op is an integer_type::MathOp.
void math_with_number_first(int32_t op);

// Registers vector! (id 35, child of string!).
void init();

}  // namespace vum::vector_type
