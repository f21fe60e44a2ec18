// The lexer: source text to values.
//
// One pass over the UTF-8 bytes: a byte class table drives token
// recognition, an explicit container stack (never C++ recursion) holds the
// open blocks, parens and paths, and the loaders turn each value token into
// a cell. Cells made so far live in a lexer-owned stack that the collector
// marks, so every loader may allocate freely.
#pragma once
#include <cstdint>
#include <functional>

#include "memory/cell.h"

namespace vum::lexer {

// Events a watcher may ask for (bits of `Watch::mask`).
enum Event : uint32_t {
    event_prescan = 1,
    event_scan = 2,
    event_load = 4,
    event_open = 8,
    event_close = 16,
    event_error = 32,
};

// A watcher told about tokens. `event` is the event word (runtime words
// prescan, scan, load, open, close, error); `type` the token's datatype id
// (0 for structural tokens); `start`/`end` the token's 1-based character (or
// byte, for binary input) offsets; `value` the value just made for load
// events, else null. Answering false refuses: a scan'd token is not
// loaded, a loaded value is dropped, an error ends the run quietly.
struct Watch {
    uint32_t mask = 0x3F;
    std::function<bool(const Cell& event, int32_t type, int32_t line, int32_t start, int32_t end,
                       const Cell* value)>
        fn;
};

struct Options {
    bool next = false;     // also hand back the rest of the source
    bool one = false;      // stop after the first complete value
    bool prescan = false;  // only find the next token's type
    bool scan = false;     // recognise tokens, make no values
    int32_t part = -1;     // characters (bytes for binary) to read; -1 the rest
    const Cell* into = nullptr;  // append to this block instead of a new one
    const Watch* trace = nullptr;
};

// Nesting deeper than this raises internal too-deep instead of building
// series that later walkers could not handle.
constexpr int32_t max_depth = 10000;

// The source is a string! or a binary! (a leading byte-order mark skipped).
// Load runs give the block (or, with `into`, that block; with `next`, a block
// of the value and the advanced source); prescan/scan runs give the
// datatype! of the token found, error! for a bad one, none for none.
void transcode(const Cell* source, const Options& options, Cell* result);

// Loads UTF-8 text into a new block (the C++ callers' entry).
void load_utf8(const char* text, int32_t length, Cell* result);

// Number scanners for conversions from text: characters read through the
// unit (1, 2 or 4 bytes). Failure sets *code to -1 (bad shape) or -2
// (integer overflow) and leaves it unchanged on success.
int32_t scan_integer(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code);
double scan_float(const uint8_t* text, int32_t length, uint32_t unit, int32_t* code);
// The shape check shared by the float and percent loaders.
bool float_shape(const char* text, int32_t length);

}  // namespace vum::lexer
