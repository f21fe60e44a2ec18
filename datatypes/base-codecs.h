// The base-2, base-16, base-58 and base-64 codecs: bytes to text and back.
// The encoders write into a destination the caller has sized and answer
// the end of what they wrote; they never insert line breaks. The decoders
// read text in a string's own unit (1, 2 or 4 bytes per code point), skip
// white space and ";" comments that run to the end of the line, and refuse
// the whole text on the first thing that is not a digit: they never answer
// part of the data.
#pragma once
#include <cstdint>
#include <string>

#include "memory/cell.h"

namespace vum::binary {

// What enbase allocates for n bytes in a base, or -1 for a base it does
// not know. Never less than the encoder writes.
int64_t encoded_size(int32_t base, int64_t count);

char* encode_base2(char* destination, const uint8_t* bytes, int32_t count);
char* encode_base16(char* destination, const uint8_t* bytes, int32_t count);
// The destination has room for twice the count.
char* encode_base58(char* destination, const uint8_t* bytes, int32_t count);
char* encode_base64(char* destination, const uint8_t* bytes, int32_t count);

// Each appends the decoded bytes to `out` and answers true, or answers
// false (with `out` as it was) when the text is not valid in the base.
bool decode_base2(const uint8_t* text, int32_t count, uint32_t unit, std::string& out);
bool decode_base16(const uint8_t* text, int32_t count, uint32_t unit, std::string& out);
bool decode_base58(const uint8_t* text, int32_t count, uint32_t unit, std::string& out);
bool decode_base64(const uint8_t* text, int32_t count, uint32_t unit, std::string& out);

// The natives: enbase encodes a binary! (from its position) or the UTF-8
// of a string! into a new string!; debase decodes a string! from its
// position into a new binary!, or none when the text is not valid. base is
// the /base value or null for 64; a base other than 2, 16, 58 and 64
// raises script invalid-arg with it.
void enbase(const Cell* value, const Cell* base, Cell* result);
void debase(const Cell* value, const Cell* base, Cell* result);

}  // namespace vum::binary
