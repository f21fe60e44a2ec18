// char!: one Unicode code point, 0 to 0x10FFFF. A child of integer!: it keeps
// the code point where an integer! keeps its value and does its own
// arithmetic, checking that every result is still a code point.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::char_type {

constexpr uint32_t max_code_point = 0x10FFFF;

inline Cell make(uint32_t cp) { return {type_char, 0, cp, 0}; }

Cell* push(uint32_t cp);
// Appends a new char! at the block's tail.
void load_into_block(const Cell* block, uint32_t cp);

// Operator codes of the arithmetic worker.
enum MathOp : int32_t { op_add, op_subtract, op_multiply, op_divide, op_remainder, op_or, op_and, op_xor };
// The frame's first argument (a char!) combined with its second; the result
// is left in the first. Results outside 0 to 0x10FFFF raise math overflow.
void math(MathOp op);

// Handlers (datatypes/actions.h signatures).
void make_value(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);
int32_t compare(const Cell* a, const Cell* b, int32_t op);

// Registers char! (id 10); integer! registers first.
void init();

}  // namespace vum::char_type
