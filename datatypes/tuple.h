// tuple!: 3 to 12 bytes held whole in the cell, written with dots
// (1.2.3, 255.0.0.128): version numbers and colours. The length sits in
// header bits 19-22 and the bytes, in order, in words 1 to 3 (unused bytes
// zero). Arithmetic works byte by byte and clamps every result to 0-255.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::tuple_type {

constexpr int32_t min_length = 3;
constexpr int32_t max_length = 12;
constexpr uint32_t length_mask = cell::tuple_length_mask;

inline int32_t length(const Cell* c) { return int32_t((c->header & length_mask) >> cell::tuple_length_shift); }
// The bytes of the payload, max_length of them, in order.
void get_bytes(const Cell* c, uint8_t* out);

// A tuple of the first n bytes (n at most 12; fewer than 3 are padded with
// zero bytes).
Cell* make_at(Cell* c, const uint8_t* bytes, int32_t n);
// A new stack cell from a length and the three payload words.
Cell* push(int32_t length, uint32_t w1, uint32_t w2, uint32_t w3);
// From a run of integers (at most 12), each taken as its low byte.
Cell* from_integers(Cell* c, const int32_t* values, int32_t n);
// The first bytes (at most 12) of a binary! from its position.
Cell* from_binary(Cell* c, const Cell* binary);
// An issue's name read as hexadecimal: 3 digits (each doubled), 6 or 8;
// anything else raises script invalid-data with the issue.
Cell* from_issue(Cell* c, const Cell* issue);

// True when every byte is zero.
bool is_zero(const Cell* c);

// The arithmetic action on the current frame: stack::arg(0) and arg(1) are
// the operands, one of them a tuple, and arg(0) receives the result. The
// integer and float kernels come here when their right operand is a tuple.
void do_math(int32_t op);

void init();

}  // namespace vum::tuple_type
