// string! storage: code points in 1-, 2- or 4-byte units that only widen.
// These are the operations the rest of the runtime writes text with (mold
// and form output, reports); the string! datatype builds on them.
#pragma once
#include <cstdint>
#include <string>

#include "memory/cell.h"

namespace vum::string {

// A new empty string series with room for n characters, unit 1.
uint32_t make(int32_t room);
Cell make_cell(int32_t room);
Cell from_utf8(const char* text);

// Appending widens the buffer when a code point does not fit its unit.
void append_char(uint32_t node, uint32_t cp);
void append_ascii(uint32_t node, const char* text);
void append_utf8(uint32_t node, const char* text, int32_t length);
void append_string(uint32_t node, const Cell* s);  // from its head index

int32_t length(uint32_t node);  // characters, whole buffer
uint32_t char_at(uint32_t node, int32_t i);
void cut(uint32_t node, int32_t characters);  // keep the first n

// The characters from the cell's head index as UTF-8.
std::string to_utf8(const Cell* s);
std::string node_to_utf8(uint32_t node);

}  // namespace vum::string
