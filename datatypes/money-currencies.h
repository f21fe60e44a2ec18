// The currency list of money!: the three-letter codes a money value may
// carry. A value holds its currency as a 1-based position in this list (one
// byte, so at most 255 codes), which makes the list append-only: removing
// or reordering a code would change the currency of values already made.
//
// The list starts as the default codes below and is the one source every
// lookup reads. When the system object exists, its locale/currencies/list
// block is filled from code(1 ... count()) and its change handler calls
// append() for a new word; anything else it refuses.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::money_type::currencies {

constexpr int32_t max_count = 255;

// Number of codes in the list.
int32_t count();

// The code at a 1-based position: three upper-case ASCII letters; null
// outside 1 ... count().
const char* code(int32_t index);

// The 1-based position of a code, compared without regard to case, or -1.
int32_t find(const char* text, int32_t length);

// The position of a word's spelling (any of the four word kinds), or -1
// for another value or a word that names no currency.
int32_t find_word(const Cell* word);

// A word! cell for the code at a 1-based position (bound to the global
// context, as source words are).
Cell word(int32_t index);

// Adds a code at the end: three ASCII letters, stored upper-cased, while
// the list has fewer than max_count codes. Answers false, leaving the list
// as it is, for anything else (a code already in the list included).
bool append(const char* text, int32_t length);

// Back to the default codes (start-up and tests).
void reset();

}  // namespace vum::money_type::currencies
