// typeset!: a set of datatypes held wholly in the cell, one bit per type id
// in the 12 bytes of words 1-3 (byte id >> 3, mask 0x80 >> (id & 7)), so a
// membership test at every typed argument is a shift and a mask and never
// allocates. Bit 0 and the bits past the highest registered type name no
// type; walks over the bits stop at the highest registered id.
#pragma once
#include <cstdint>

#include "memory/cell.h"
#include "memory/typed-access.h"  // typeset::has_type, the membership test

namespace vum::typeset_type {

// Registers typeset!.
void init();

}  // namespace vum::typeset_type

namespace vum::typeset {

// Operator codes of the set operations: the actions pass or~ 5, and~ 6,
// xor~ 7; the set natives pass the others.
enum SetOp : int32_t {
    set_or = 5, set_and = 6, set_xor = 7,
    set_unique = 8, set_union = 9, set_intersect = 10, set_exclude = 11, set_difference = 12,
};

Cell* clear(Cell* ts);
Cell* set_type(Cell* ts, uint8_t type);
// Bits set for the type ids 1 to the highest registered one.
int32_t count(const Cell* ts);
// Every bit but unset!'s: what a spec that names no types accepts.
Cell any_value();

// New typeset cells at a block's tail.
void load_into_block(const Cell* block, uint32_t w1, uint32_t w2, uint32_t w3);
void append_any_value(const Cell* block);
// The typeset that a spec block describes from its position: a word! stands
// for its value (unset: script no-value); a datatype! adds its type, a
// typeset! its types, a word! value object!; a block! is skipped; anything
// else raises script invalid-type-spec.
void append_from_spec(const Cell* block, const Cell* spec);

// Adds a datatype!, a typeset!, or the value of a word! holding one; else
// script invalid-arg naming the value as given.
void add(Cell* ts, const Cell* value);

// A new block of the name words of its types, in type id order.
void to_block(const Cell* ts, Cell* out);
Cell* push(const Cell* ts);

// Frame (typeset, typeset or datatype): the result of the operator in the
// frame's result cell.
void set_operation(int32_t op);

}  // namespace vum::typeset
