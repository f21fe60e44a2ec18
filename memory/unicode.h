// Unicode text handling shared by the whole runtime.
#pragma once
#include <cstdint>

namespace vum::unicode {

// Writes the UTF-8 form of code point cp into out (room for 4 bytes);
// returns the number of bytes written. Code points above 0x10FFFF become
// U+FFFD.
int encode_utf8_char(uint32_t cp, char* out);

}  // namespace vum::unicode
