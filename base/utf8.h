// The UTF-8 form of one code point. It touches no cell, so the console's
// output in base/ writes through it as the text code above does
// (unicode::encode_utf8_char).
#pragma once
#include <cstdint>

namespace vum::utf8 {

// Writes the UTF-8 form of code point cp into out (room for 4 bytes);
// returns the number of bytes written. Code points above 0x10FFFF become
// U+FFFD: the console writes through this and must not raise.
inline int encode_char(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp > 0x10FFFF) cp = 0xFFFD;
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace vum::utf8
