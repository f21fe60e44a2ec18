// What the lexer's scanner and its value builders share: a run's state, the
// flags a token collects while it is scanned, and the few entries each side
// calls in the other. Only engine/lexer.cpp and engine/lexer-values.cpp
// include this.
#pragma once
#include <cstdint>
#include <vector>

#include "engine/lexer.h"
#include "memory/cell.h"

namespace vum::lexer {

// Flags a token accumulates over its bytes, so a loader knows without
// looking what kinds of bytes it holds.
enum : uint32_t {
    f_continuation = 0x00010000,  // a byte 80-BF, which decodes only after a lead byte
    f_greater = 0x00080000,
    f_percent = 0x00040000,
    f_less = 0x00100000,
    f_sign = 0x00200000,
    f_end = 0x00400000,
    f_hash = 0x00800000,
    f_exponent = 0x01000000,
    f_apostrophe = 0x02000000,
    f_colon = 0x04000000,
    f_comma = 0x08000000,
    f_dot = 0x10000000,
    f_caret = 0x20000000,
    f_utf8 = 0x40000000,    // a 2- or 3-byte sequence
    f_utf8_4 = 0x80000000,  // a 4-byte sequence
    f_non_ascii = f_utf8 | f_utf8_4 | f_continuation,
};

// The states the lexer starts a token in besides S0.
enum : uint8_t { s_start = 0, s_braced = 4, s_point = 35, s_path_element = 59 };

// Error codes below 0 name no datatype.
enum : int32_t { code_bad_char = -1, code_construct = -2, code_missing = -3, code_open_at_end = -4 };

// ---- Lexer state ----

struct Open {
    uint8_t type;         // block, paren, map, point or one of the path kinds
    bool new_line;
    bool point;           // a paren that met a comma
    int32_t commas;
    int32_t base;         // first cell of this level
    const uint8_t* at;    // the opener, for reports
};

struct Stop {};    // ends a run quietly (scan modes, refused error events)
struct Resume {};  // a watcher moved the input after an error: go on from there

struct State {
    State* link = nullptr;
    std::vector<Cell> cells;
    std::vector<Open> opens;
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;
    const uint8_t* pos = nullptr;
    int32_t breaks = 0;            // line feeds before the current token
    uint8_t next_state = s_start;
    const uint8_t* point_start = nullptr;  // a point token started at this paren
    // The braced string being scanned.
    int32_t brace_depth = 0;
    const uint8_t* brace_start = nullptr;
    uint32_t brace_flags = 0;
    int32_t brace_breaks = 0;
    bool binary = false;
    bool load = true;              // values are made (not a scan or prescan run)
    bool prescan = false;
    bool one = false;
    const Watch* watch = nullptr;
    int32_t last_type = 0;
    bool failed = false;
    // Cursors for out-of-order questions: the line and the character offset
    // of a byte position, counted from the last position asked about.
    const uint8_t* line_pos = nullptr;
    int32_t line_no = 1;
    const uint8_t* char_pos = nullptr;
    int32_t char_no = 0;
    // Where a watcher moved the input to during the last event, or null.
    const uint8_t* moved = nullptr;
    size_t base = 0;     // the run's first cell
    bool done = false;   // the run has what it came for
    int32_t jumps = 0;   // how often a watcher moved the input
    const Cell* into = nullptr;  // the block a load run appends to, or null
};

// Strict UTF-8: no overlongs, surrogates or code points past 10FFFF.
// Returns the sequence length, 0 when bad or cut short by `end`.
int decode_utf8(const uint8_t* p, const uint8_t* end, uint32_t* cp);

// The single exit for every syntax error. `start`/`end` delimit the token;
// `code` is a datatype id or one of the codes above; `keep_type` keeps a
// datatype named even inside a path (a token whose datatype is missing).
[[noreturn]] void syntax_error(State& st, const uint8_t* start, const uint8_t* end, int32_t code,
                               const char* expected = nullptr, bool keep_type = false, int32_t report_type = 0);
// A token whose datatype the runtime does not have yet.
[[noreturn]] void unsupported(State& st, const uint8_t* s, const uint8_t* e, int32_t type);
// Pushes a made value, with the new-line flag when line breaks preceded
// its token.
void push(State& st, const Cell& value, int32_t type);

// Validates the token [s, e) of the kind and returns the type it loads as;
// with `make` it also pushes the value.
int32_t load_value(State& st, int kind, const uint8_t* s, const uint8_t* e, uint32_t flags, bool make);

}  // namespace vum::lexer
