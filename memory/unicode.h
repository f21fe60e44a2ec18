// Unicode text handling shared by the whole runtime.
//
// Strings keep code points in fixed-width units (1, 2 or 4 bytes, the
// series unit); nothing stores UTF-8 inside a string. Text comes in as UTF-8,
// UTF-16LE or Windows-1251 and leaves as UTF-8 or as NUL-terminated UTF-16LE.
//
// Memory rules for everything here that may allocate (the loaders, the
// converters, widening, case conversion of strings):
// - Input bytes given by address must not move during the call. Bytes that
//   live in a series buffer are given with that series' node as well
//   (`source_node`): they are found again after each allocation.
// - A string cell given by address must itself stay put (a local under
//   gc::Protect or a stack slot), since the scratch conversions write its
//   word 3 after allocating. Its buffer is protected here.
// - Returned text addresses are good until the next allocation.
#pragma once
#include <cstdint>

#include "base/utf8.h"
#include "memory/case-tables.h"
#include "memory/cell.h"
#include "memory/series-buffer.h"

namespace vum::unicode {

// ---- UTF-8 decoding ----

// The byte classes (256 bytes) and the transitions (108, indexed by
// 256 + state + class) of the table-driven UTF-8 automaton. States are
// multiples of 12: 0 accepts, 12 rejects, the others wait for continuation
// bytes.
constexpr uint32_t utf8_accept = 0;
constexpr uint32_t utf8_reject = 12;
extern const uint8_t utf8_dfa_table[364];

// Decodes one character at p, reading no byte at or past end (p < end).
// Stores the code point, or -1 for an invalid sequence or one that the end
// cuts short, and returns the position after the bytes it consumed. An
// invalid sequence consumes its maximal subpart: the longest start of a
// well-formed sequence, or one byte when the first byte can start none. The
// byte that breaks a sequence is left for the next call (C3 41 consumes only
// C3; E0 80 only E0; a stray 80 itself), so one U+FFFD per -1 loses nothing
// after it. Raises nothing.
const uint8_t* decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* code_point);

// Characters in [from, to), decoding one by one; a sequence cut short by the
// end still counts as one.
int32_t count_utf8_chars(const uint8_t* from, const uint8_t* to);

// The position after n characters from `from`, at most `to`.
const uint8_t* skip_utf8_chars(const uint8_t* from, const uint8_t* to, int32_t n);

// The length a lead byte announces: 4 from 0xF0, 3 for 0xE0-0xEF, 2 for
// 0xC0-0xDF, else 0 (ASCII and continuation bytes).
int utf8_lead_length(uint8_t byte);

// Decodes one character from the *count bytes at p and sets *count to its
// length. Returns -1 (count unchanged) when the bytes end inside a sequence
// that is valid so far. Raises access invalid-utf8 for anything that is not
// well-formed UTF-8: a stray continuation byte, an overlong form, an encoded
// surrogate, a code point above U+10FFFF, the bytes C0, C1 and F5-FF, a
// sequence broken off by another byte, and the non-character U+FFFE.
int32_t decode_utf8_checked(const uint8_t* p, int32_t* count);

// Loads UTF-8 text into a string buffer: into the buffer of `target` (its
// content replaced; its unit kept or widened as the text needs) or, with
// target 0, into a new one. A leading byte-order mark is skipped. With
// `lines`, CR LF becomes LF and a lone CR becomes LF. When the text ends
// inside a sequence, loading stops there and *remainder receives the count
// of bytes left over; else 0. Invalid text raises access invalid-utf8 before
// anything changes. Returns the buffer's node.
uint32_t load_utf8_buffer(const uint8_t* bytes, int32_t length, uint32_t target, int32_t* remainder,
                          bool lines, uint32_t source_node = 0);
// The same into the buffer of a string cell.
uint32_t load_utf8_into_string(const uint8_t* bytes, int32_t length, const Cell* string,
                               int32_t* remainder, uint32_t source_node = 0);
// The same into a new buffer.
uint32_t load_utf8_new(const uint8_t* bytes, int32_t length, uint32_t source_node = 0);

// ---- UTF-8 encoding ----

// Bytes of the UTF-8 form: 1 to 4; above U+10FFFF raises script invalid-char.
int utf8_length(uint32_t code_point);

// Bytes of the UTF-8 form of the code points in [from, to) of a buffer of
// the given unit (1, 2 or 4); raises invalid-char as utf8_length does.
int64_t utf8_size_of_range(const uint8_t* from, const uint8_t* to, uint32_t unit);

// Writes the UTF-8 form of code point cp into out (room for 4 bytes);
// returns the number of bytes written. Code points above 0x10FFFF become
// U+FFFD: the console writes through this and must not raise.
inline int encode_utf8_char(uint32_t cp, char* out) { return utf8::encode_char(cp, out); }

// Writes the first min(room, length) bytes of the UTF-8 form and returns
// how many it wrote; above U+10FFFF raises invalid-char.
int encode_utf8_char_bounded(uint32_t code_point, char* out, int32_t room);

// NUL-terminated UTF-8 of the string from its head, at most *length
// characters (-1: all), in the cell's scratch buffer; *length receives the
// byte count. With `lines`, LF is written as CR LF. Raises invalid-char for
// a code point above U+10FFFF.
char* to_utf8_data(Cell* string, int32_t* length);
char* to_utf8_part_data(Cell* string, int32_t* length, bool lines);

// Writes the UTF-8 of at most `length` characters (-1: all) from the head
// into out, sized by the caller (utf8_size_of_range, plus 1 for the NUL);
// returns the byte count without the NUL.
int32_t encode_utf8_into(const Cell* string, char* out, int32_t length, bool nul);

// The same within `room` bytes: stops before the first character that does
// not fit whole; with `nul` one byte of the room is kept for the NUL.
int32_t encode_utf8_bounded(const Cell* string, char* out, int32_t room, int32_t length, bool nul);

// ---- UTF-16 ----

// The unit a string needs for these UTF-16 units (count of them, read
// little-endian from bytes): 1 when every high byte is 0, 4 as soon as one
// is a surrogate (high byte 0xD8-0xDF), else 2.
uint32_t utf16_unit_needed(const uint8_t* units, int32_t count);

// Loads `count` UTF-16LE units into the buffer of `target` (content replaced,
// unit set to what the text needs) or into a new buffer (target 0); returns
// its node. Surrogate pairs become one code point; a surrogate without its
// partner is kept as it is. With `lines` every CR is dropped.
uint32_t load_utf16le(const uint8_t* bytes, int32_t count, uint32_t target, bool lines,
                      uint32_t source_node = 0);

// NUL-terminated UTF-16LE of the string from its head, at most *length
// characters (-1: all), in the cell's scratch buffer; *length receives the
// units written. Code points above U+FFFF become surrogate pairs; with
// `lines` LF is written as CR LF. Raises invalid-char above U+10FFFF.
uint16_t* to_utf16(Cell* string, int32_t* length, bool lines);
// All of it, with `lines`: the form every wide-character platform call takes.
uint16_t* to_utf16_whole(Cell* string);

// Writes 1 unit below U+10000, a surrogate pair up to U+10FFFF; returns the
// unit count, 0 (nothing written) above.
int encode_utf16_char(uint32_t code_point, uint16_t* out);

// Each byte of a NUL-terminated 8-bit text followed by a 0 byte, then two
// NUL bytes: out needs 2 x (strlen + 1) bytes.
void ascii_to_utf16(const char* text, uint8_t* out);

// Loads Windows-1251 text (0x98, undefined there, stays U+0098) into the
// buffer of `target` or a new one; with `lines` CR LF and a lone CR become LF.
uint32_t load_cp1251(const uint8_t* bytes, int32_t length, uint32_t target, bool lines,
                     uint32_t source_node = 0);

// ---- Widening ----

// Converts the string buffer of the node in place to the wider unit, keeping
// every character, and returns it (possibly a new, larger buffer, whose
// head is then at its start). A buffer that is already as wide is returned
// as it is: a unit never narrows. A buffer whose unit is not 1, 2 or 4 ends
// the process with runtime error 101.
SeriesBuffer* widen_1_to_2(uint32_t node);
SeriesBuffer* widen_1_to_4(uint32_t node);
SeriesBuffer* widen_2_to_4(uint32_t node);
// Widens to `unit` (2 or 4) when the buffer's unit is smaller.
SeriesBuffer* widen_to(uint32_t node, uint32_t unit);

// The code point at element i of a unit-1, -2 or -4 buffer's data.
inline uint32_t get_unit(const uint8_t* data, uint32_t unit, uint32_t i) {
    if (unit == 1) return data[i];
    if (unit == 2) return uint32_t(data[2 * i]) | uint32_t(data[2 * i + 1]) << 8;
    const uint8_t* p = data + 4 * i;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Writes code point c as element i of a unit-1, -2 or -4 buffer's data.
inline void put_unit(uint8_t* data, uint32_t unit, uint32_t i, uint32_t c) {
    if (unit == 1) {
        data[i] = uint8_t(c);
    } else if (unit == 2) {
        data[2 * i] = uint8_t(c);
        data[2 * i + 1] = uint8_t(c >> 8);
    } else {
        uint8_t* p = data + 4 * i;
        p[0] = uint8_t(c);
        p[1] = uint8_t(c >> 8);
        p[2] = uint8_t(c >> 16);
        p[3] = uint8_t(c >> 24);
    }
}

// ---- Display width ----

// True when cp lies in one of the sorted inclusive {first, last} ranges of
// list (`values` numbers, two per range).
bool in_ranges(uint32_t code_point, const uint32_t* list, int32_t values);
// Columns on a terminal: 0, 1 or 2.
int char_width(uint32_t code_point);
// The same where East Asian ambiguous characters take two columns.
int display_width(uint32_t code_point);

// Kept for the modules that already call it under this name: case_map::map_char.
uint32_t map_char(uint32_t cp, int upper);

}  // namespace vum::unicode

namespace vum::case_map {

// Index c: the other-case form of BMP code point c, or 0 when it has none.
extern uint32_t upper_table[65536];
extern uint32_t lower_table[65536];
extern bool tables_ready;

// Fills the two tables from the pair lists; start-up calls it, and the
// first mapping does when nothing has yet.
void init_tables();

uint32_t map_astral(uint32_t code_point, int upper);

// The uppercase form (upper 1) or lowercase form (upper 0) of a code point,
// or the code point itself.
inline uint32_t map_char(uint32_t code_point, int upper) {
    if (code_point > 0xFFFF) return map_astral(code_point, upper);
    if (!tables_ready) init_tables();
    uint32_t mapped = (upper ? upper_table : lower_table)[code_point];
    return mapped ? mapped : code_point;
}

// The uppercase form, or the lowercase form when that is the same.
uint32_t swap_char(uint32_t code_point);
uint32_t upper_char(uint32_t code_point);

// The worker of the natives uppercase (upper 1) and lowercase (upper 0): a
// char! is mapped; a string kind is mapped in place from its head, at most
// the count that `part` gives (null or none!: to the tail; an integer!, or a
// position in the same series). Another part raises script
// invalid-refine-arg. The owner of the string, if any, hears of it once,
// after the change, with the word uppercase or lowercase, the head index
// and the count. Returns value.
Cell* convert_value(Cell* value, const Cell* part, int upper);

}  // namespace vum::case_map
