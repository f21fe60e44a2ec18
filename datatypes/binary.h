// binary!: the byte string. A series of unit 1 with a position (word 1)
// and its buffer's node (word 2), sharing string!'s series handlers and
// adding what differs for raw bytes: the bytes other values stand for, the
// hexadecimal text form, byte-wise comparison, the byte splices of append,
// insert and change, trimming of zero bytes and the bitwise operations.
// The helpers below are for the modules that build or read byte series
// (parse, checksums, compression, files, images, the serialised form).
//
// Memory rules as everywhere: a function that takes a node or cell may
// allocate; a byte address it answers is good until the next allocation.
// Byte runs passed in may lie anywhere, in a series buffer too: they are
// copied before anything grows.
#pragma once
#include <cstdint>
#include <string>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::binary {

// ---- Makers ----

// A new empty byte series with room for n bytes (16 when n is 0).
uint32_t make(int32_t capacity);
Cell make_cell(int32_t capacity);  // binary/load
// A new binary! holding a copy of n bytes: pushed on the value stack, or
// appended to the block when one is given.
Cell* load_bytes(const uint8_t* bytes, int32_t n, const Cell* block);
Cell* push_bytes(const uint8_t* bytes, int32_t n);
Cell* push(const Cell* value);  // a copy of the cell

// ---- Reading ----

// Bytes from the position to the tail, never negative.
int32_t length_from_index(const Cell* value);
// The byte at the position; good until the next allocation.
uint8_t* position_pointer(const Cell* value);
// The byte at an offset from the buffer's head (not from the position).
uint8_t byte_at(const Cell* value, int32_t offset);
// The bytes from the position as C++ bytes.
std::string to_bytes(const Cell* value);

// ---- Writing ----

// Reserves n bytes at the tail, copies the run there and answers where it
// went.
uint8_t* append_bytes_raw(uint32_t node, const uint8_t* bytes, int32_t n);
// Inserts n bytes at an offset from the position (clipped to the tail).
uint8_t* insert_bytes(const Cell* value, int32_t offset, const uint8_t* bytes, int32_t n);
// The byte poked for an integer! or char! (its low 8 bits); other values
// raise script invalid-arg.
uint8_t value_to_byte(const Cell* value);

// The bytes a value stands for, appended to `out`, at most `limit` of them
// (no limit below 0). Values without a byte form raise script bad-to-arg,
// or, when `formed`, give the UTF-8 of their formed text (change's rule).
void bytes_of(const Cell* value, int64_t limit, bool formed, std::string& out);

// ---- Comparing and matching ----

// -1, 0 or 1 for a comparison operator (datatypes/actions.h Op), or
// not_comparable when b is no text kind or binary!. In prefix mode only
// b's length is compared (parse and find).
int32_t compare_bytes(const Cell* a, const Cell* b, int32_t op, bool prefix);
// The byte at the position is in the bitset; a byte past its bits answers
// its complement flag; false at the tail.
bool byte_in_bitset(const Cell* value, const Cell* bitset);
// Parse's test: text kinds and binaries match as a prefix; a char! matches
// the byte at the position by its code.
bool match_at(const Cell* value, const Cell* pattern);

// ---- Handlers (datatypes/actions.h signatures) ----

void make_handler(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
void to(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);
int32_t compare(const Cell* a, const Cell* b, int32_t op);
void insert(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, bool append, Cell* result);
void change(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, Cell* result);
void trim(Cell* series, bool head, bool tail, bool automatic, bool lines, bool all, const Cell* with, Cell* result);
void sort(Cell* series, bool case_sensitive, const Cell* skip, const Cell* comparator, const Cell* part, bool all,
          bool reverse, bool stable, Cell* result);
void complement(Cell* value, Cell* result);

}  // namespace vum::binary

namespace vum::binary_type {

// Registers binary! (id 41, child of string!).
void init();

}  // namespace vum::binary_type
