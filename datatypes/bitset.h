// bitset!: a set of non-negative integers (code points, bit numbers) held
// as a bit array in a byte series that grows on demand. Bit n lives in byte
// n >> 3 under the mask 0x80 >> (n & 7). A complemented bitset (the
// complemented flag of its buffer) counts every bit past the stored bytes as
// a member and fills with 255 where a plain one fills with 0; the stored
// bits are the membership bits for both kinds.
//
// The cell: word 2 is the byte series' node; words 1 and 3 are 0.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::bitset {

// What a walk over a spec does with each bit or range it names.
enum SpecOp : int32_t { spec_max = 0, spec_set = 1, spec_test = 2, spec_clear = 3 };

// Which error a value that is no part of the dialect raises: script
// bad-make-arg (make), bad-to-arg (to) or invalid-arg (every other use).
enum Caller : int32_t { caller_make, caller_to, caller_other };

inline Cell make_cell(uint32_t node) { return {type_bitset, 0, node, 0}; }

// Byte 0 of the stored bits: valid until the next allocation.
uint8_t* bits_pointer(uint32_t node);
int32_t byte_count(uint32_t node);
bool is_complemented(uint32_t node);
void set_complemented(uint32_t node, bool on);

// A new bitset series of n bytes, each set to fill.
uint32_t make_bytes(int32_t n, uint8_t fill);
// Membership of bit n, the bits past the stored bytes included.
bool test_bit(uint32_t node, uint32_t n);
// Grows the stored bytes so that bit n exists, filling the new bytes with
// 0, or 255 when complemented. May allocate.
void ensure_bit(uint32_t node, uint32_t n);
// Replaces every stored byte by its complement.
void invert_bytes(uint32_t node);

// Two upper-case hexadecimal digits per stored byte (inverted first when
// asked) appended to a string node, stopping once a part limit (in force
// when arg is not null) is used up; returns the limit left.
int32_t emit_hex(uint32_t node, uint32_t buffer, const Cell* arg, int32_t limit, bool invert);

// Sets (spec_set), tests (spec_test: every bit of the range is a member) or
// clears (spec_clear) the bits from..to inclusive. May allocate.
bool process_range(uint32_t node, uint32_t from, uint32_t to, int32_t op);

// Walks a spec: a char!, an integer! or truncated float! bit number, a
// string!'s characters, or a block! of these where `a - b` is an inclusive
// range of two characters or two integers (a binary! among them is not
// read yet: internal not-done). spec_max answers the highest bit
// named (-1 for none), spec_test 1 when every bit named is a member else 0,
// the others 0. The spec cell must not move (a stack cell or a protected
// local); the walk may allocate.
int64_t process_spec(const Cell* spec, uint32_t node, int32_t op, Caller caller);

// Set algebra on the current frame: arg(0) is a bitset! and the result,
// arg(1) the other operand, which must be a bitset! too. Operators: 5 or 9
// union, 6 or 10 intersection, 7 or 12 difference, 11 exclusion; 6 (and~)
// keeps the shorter length when the bytes past it can only be zero.
void do_math(int32_t op);

}  // namespace vum::bitset

namespace vum::bitset_type {

// Registers bitset! (id 30, no parent).
void init();

}  // namespace vum::bitset_type
