// How text values are written (form and mold, with the "^" escapes that
// string!, char!, file! and vector! share) and how other values become
// strings (make and to). The hexadecimal digit writers live here too.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::string {

// Appends one code point in molded form: "^" escapes for the controls, the
// double quote and "^" itself, "^(hex)" for 30, 128-159 and, with `all`,
// for everything above 127.
void append_escaped(uint32_t buffer, uint32_t cp, bool all);

// Reads one escape at p (p < end, *p is "^"): returns the characters it
// takes and stores the code point, or 0 when p holds no valid escape. The
// inverse of append_escaped, for readers of molded text.
int32_t read_escape(const char32_t* p, const char32_t* end, uint32_t* cp);

// Double quotes and line feeds among count units at p.
void count_quotes_and_newlines(const uint8_t* p, int32_t count, uint32_t unit, int32_t* quotes, int32_t* newlines);
// The "{" at index i of the units (before end) is closed before the end.
bool braces_balanced(const uint8_t* data, int32_t i, int32_t end, uint32_t unit);

// Handlers (datatypes/actions.h signatures).
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);
void make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
void to(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);

// The binary! case of `to`: UTF-8 bytes from the head into a new string of
// the type; bytes that do not decode raise access invalid-utf8.
void from_utf8_binary(const Cell* binary, int32_t type, Cell* result);

// Two upper-case hexadecimal digits of a byte, in a static buffer.
const char* byte_to_hex(uint8_t byte);
// Eight digits (two's complement for negative values) in a static buffer;
// with `significant`, a non-negative value's digits without padding ("00"
// for zero).
const char* to_hex_text(int32_t n, bool significant);

}  // namespace vum::string
