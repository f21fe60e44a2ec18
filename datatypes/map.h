// map!: the dictionary. A map cell is {40, 0, pair block, hash table}: the
// block holds key and value cells in insertion order, and the table (of
// kind map) indexes its key cells. A removed pair stays where it was with a
// value cell whose header is 0; it no longer counts, every walk skips it,
// and setting its key again brings it back in the same place. The table's
// count is the number of live pairs.
//
// Keys are prepared as they enter: the text and byte kinds are copied (the
// caller's string may change later), the word kinds become set-words (so a
// map molds as `key: value`), the other allowed kinds stay as they are.
// Lookups are case-insensitive unless a strict mode is asked for.
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::map_type {

// The key types a map takes (the lexer checks `#[...]` literals with it).
bool valid_key_type(uint8_t type);
// Makes the key ready for the pair block; script invalid-key-type for a type
// not allowed. May allocate: the key must not move.
void prepare_key(Cell* key);

// Makes the cell a map over the block (a block! cell at index 0, whose cells
// become the pairs: keys prepared, a repeated key keeping its first place
// and its last value), or over a new empty block of room for `size` pairs
// when block is null.
void make_at(Cell* c, const Cell* block, int32_t size);
// The maker of `#[...]` literals from the lexer's key and value cells:
// false (a syntax error) for a key of a type a map does not take.
bool make_literal(const Cell* cells, int32_t count, Cell* result);
// Live pairs.
int32_t count(const Cell* map);
// Pushes a copy of the map cell on the value stack.
Cell* push(const Cell* map);

// Adds the key/value pairs of a block (from its index; the count must be
// even, else script invalid-arg) or of another map's live pairs. Keys found
// (case-sensitively with case_sensitive) take the new value.
void extend(const Cell* map, const Cell* spec, bool case_sensitive);

// Sets (adding when absent) the value of a key.
void set_value(const Cell* map, const Cell* key, const Cell* value, bool case_sensitive);

// One step of foreach over a map: the position (w1 of the loop's copy of the
// map, a cell index in the pair block) moves on through the live pairs; each
// of the n words of the block takes the next key or value (set-word keys as
// word!), none once the pairs run out. False when no word took a value.
using SetWordFn = void (*)(Cell* word, const Cell* value);
bool foreach_step(Cell* position, const Cell* words, int32_t n, SetWordFn set_word);

// Handlers (datatypes/actions.h signatures).
void make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
void to(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
void reflect(const Cell* value, int32_t field_symbol, Cell* result);
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);
void eval_path(const actions::PathStep& step, Cell* result);
int32_t compare(const Cell* a, const Cell* b, int32_t op);
void clear(Cell* value, Cell* result);
void copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);
void find(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);
int32_t length(Cell* value);
void put(Cell* series, const Cell* key, const Cell* value, bool case_sensitive, Cell* result);
void remove(Cell* series, const Cell* part, const Cell* key, Cell* result);
void select(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);

// Registers map! (id 40, no parent) and installs the hash table's key
// preparation.
void init();

}  // namespace vum::map_type
