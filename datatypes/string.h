// string! storage: code points in 1-, 2- or 4-byte units that only widen.
// These are the operations the rest of the runtime writes text with (mold
// and form output, reports) and that every text kind (string!, file!, url!,
// tag!, email!, ref!, and the byte kinds built on string!) edits with.
//
// Memory rules: anything here that takes a node re-reads the buffer after
// each allocation; cells passed by address must not move (stack cells or
// protected locals). Functions that may allocate say so by taking a node or
// a cell, never a buffer.
#pragma once
#include <cstdint>
#include <string>

#include "memory/cell.h"
#include "memory/series-buffer.h"

namespace vum::string {

// A new empty string series with room for n characters, unit 1.
uint32_t make(int32_t room);
Cell make_cell(int32_t room);
Cell from_utf8(const char* text);

// Appending widens the buffer when a code point does not fit its unit. A
// unit-1 buffer keeps only ASCII when appended to: 128 and up widen it.
void append_char(uint32_t node, uint32_t cp);
void append_ascii(uint32_t node, const char* text);
// The decimal text of an integer formed straight into the tail; returns its
// length in characters.
int32_t append_decimal(uint32_t node, int32_t n);
// Mold and form output: text appended to the buffer and counted against
// the part limit; an indent is four spaces a level.
void put_text(uint32_t buffer, const char* text, int32_t* limit);
void put_char(uint32_t buffer, uint32_t c, int32_t* limit);
void put_indent(uint32_t buffer, int32_t levels, int32_t* limit);
void append_utf8(uint32_t node, const char* text, int32_t length);
void append_string(uint32_t node, const Cell* s);  // from its head index

// Appends ASCII text within a part limit (in force when arg is not null)
// and returns the limit less what was written: the form and mold handlers'
// way of writing fixed text.
int32_t put_limited(uint32_t node, const char* text, const Cell* arg, int32_t limit);
inline bool limit_used(const Cell* arg, int32_t limit) { return arg && limit <= 0; }

int32_t length(uint32_t node);  // characters, whole buffer
uint32_t char_at(uint32_t node, int32_t i);
void cut(uint32_t node, int32_t characters);  // keep the first n

// The characters from the cell's head index as UTF-8.
std::string to_utf8(const Cell* s);
std::string node_to_utf8(uint32_t node);

// ---- Kinds ----

// string! file! url! tag! email! ref!
bool is_text_kind(uint8_t type);
// The text kinds and binary!: what swap and the byte-wise searches take.
bool is_string_kind(uint8_t type);

// The unit a code point needs when appended (ASCII stays in one byte) and
// when written at a position (Latin-1 stays in one byte).
inline uint32_t append_unit(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x10000 ? 2 : 4; }
inline uint32_t write_unit(uint32_t cp) { return cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 4; }

// ---- Primitives on a buffer, by element index from the buffer's head ----

uint32_t unit_of(uint32_t node);  // ends the process (runtime error 101) for a unit not 1, 2 or 4
// Widens to 2 or 4 when narrower; returns the (possibly moved) buffer.
SeriesBuffer* widen_to_unit(uint32_t node, uint32_t unit);
// Writes a code point at an existing index, widening by the write rule.
SeriesBuffer* poke_char(uint32_t node, int32_t index, uint32_t cp);
// Writes at an index, growing the buffer until the index fits; the tail
// moves past the index when it lay at or before it (gaps become spaces).
void put_char_at(uint32_t node, int32_t index, uint32_t cp);
// Inserts one code point at an index (clipped to the tail).
void insert_char_at(uint32_t node, int32_t index, uint32_t cp);
// Inserts n ASCII characters at an index (clipped to the tail), written
// straight into the buffer at its unit. The text must not lie in a series.
void insert_ascii(uint32_t node, int32_t index, const char* text, int32_t n);
// Removes n units at an index, at most up to the tail.
void remove_at(uint32_t node, int32_t index, int32_t n);
// Each byte of an 8-bit text (NUL-terminated, or n bytes) as a code point.
void append_c_string(uint32_t node, const char* text);
void append_bytes(uint32_t node, const uint8_t* bytes, int32_t n);
// Empties the buffer and makes it unit 1 again.
void clear_to_unit1(Cell* s);

// ---- Cells ----

// An empty string! over a new buffer of the given size in units (at least
// 1) and unit.
Cell* make_empty(Cell* c, int32_t size);
Cell* make_at(Cell* c, int32_t size, uint32_t unit);
// Code points from the head index; a head index past the tail is moved to
// the tail first.
int32_t clip_head(Cell* s);
int32_t length_from_head(const Cell* s);
bool at_tail(const Cell* s);
// 0-based offset from the head of the first occurrence, or -1.
int32_t find_char(const Cell* s, uint32_t cp);
// True when cp is at the head or at every skip-th unit after it, compared
// case-folded unless case_sensitive.
bool find_char_skip(const Cell* s, uint32_t cp, int32_t skip, bool case_sensitive);
bool starts_with_ascii(const Cell* s, const char* text);
// The code point at the head is in the bitset (false at the tail).
bool char_in_bitset(const Cell* s, const Cell* bitset);
bool tag_delimited(const Cell* s);
// The head begins with the value: a char!, or any text kind (a tag! with
// its brackets), compared case-folded unless case_sensitive.
bool match_at(const Cell* s, const Cell* value, bool case_sensitive);

// Copies count code points from element `from` of the source into the
// target from element `to`, converting units; the target must have room.
void copy_units(uint32_t target, int32_t to, uint32_t source, int32_t from, int32_t count);

// The general text splice: kind 0 appends, 1 inserts at `offset` (an
// element index from the buffer's head), 2 overwrites from `offset`. At
// most limit code points of the source from its head (limit < 0: all).
enum ConcatKind : int32_t { concat_append = 0, concat_insert = 1, concat_overwrite = 2 };
void concat(const Cell* target, const Cell* source, int32_t limit, int32_t offset, ConcatKind kind);

// Replaces `replace` code points at element `at` by `times` copies of a
// run: `count` code points of the source node from element `from`, or, with
// source 0, the one code point cp. The target widens to the run's unit
// (the append rule for cp); a size that cannot be had raises internal
// no-memory before anything changes.
void splice(uint32_t target, int32_t at, int32_t replace, uint32_t source, int32_t from, int32_t count,
            uint32_t cp, int64_t times);

// Swaps two adjacent byte runs: [p, p + a) and [p + a, p + a + b).
void rotate_runs(uint8_t* p, int32_t a, int32_t b);

// Moves n code points from a's head to b's head index, then removes them
// from a.
void move_chars(const Cell* a, const Cell* b, int32_t n);

// Compares two text values for a comparison operator (datatypes/actions.h
// Op): -1, 0 or 1. In match mode only the second's length is compared.
int32_t compare_strings(const Cell* a, const Cell* b, int32_t op, bool match);

// Pushes a copy of the text from its head on the value stack.
Cell* push_copy(const Cell* s);

// The scratch buffer for rotate_runs, made when string! registers.
void init_scratch();

// ---- Whitespace ----

bool is_space(uint32_t cp);             // trim's whole set
bool is_horizontal_space(uint32_t cp);  // the same without the line controls

// Case folding for caseless comparison.
uint32_t fold(uint32_t cp);

}  // namespace vum::string
