// The lexer: source text to values.
//
// A table-driven automaton runs over the UTF-8 bytes: each byte maps to one
// of 40 character classes, each state and class give the next state, and a
// final state ends a token whose kind selects a scanner (brackets, braces,
// paths, comments) or a loader that turns the token into a cell. Open
// containers sit on an explicit stack (never C++ recursion). Cells made so
// far live in a lexer-owned stack that the collector marks, so every loader
// may allocate freely.
#pragma once
#include <cstdint>
#include <functional>

#include "memory/cell.h"

namespace vum::services {
struct Services;
}

namespace vum::lexer {

// Events a watcher may ask for (bits of `Watch::mask`).
enum Event : uint32_t {
    event_prescan = 1,
    event_scan = 2,
    event_load = 4,
    event_open = 8,
    event_close = 16,
    event_error = 32,
    event_all = 63,
};

// Token kinds, in the order of the grammar's final states; a report names a
// token without a datatype by its kind, negated.
enum Kind : int32_t {
    kind_end = 0, kind_error, kind_open_block, kind_close_block, kind_open_paren, kind_close_paren,
    kind_open_brace, kind_close_brace, kind_open_map, kind_path_head, kind_construct, kind_comment,
    kind_comma, kind_string, kind_word, kind_issue, kind_integer, kind_refinement, kind_char, kind_file,
    kind_binary, kind_percent, kind_float, kind_special_float, kind_tuple, kind_date, kind_pair,
    kind_point, kind_time, kind_money, kind_tag, kind_url, kind_email, kind_hex_integer, kind_raw_string,
    kind_ref, kind_count
};

// One event as a watcher sees it.
struct Report {
    Event event;
    // The datatype id of the token or container, or -kind for a token that
    // has none (brackets and other structure, comments).
    int32_t type;
    int32_t line;
    // The token's 1-based start and exclusive end, in characters of a
    // string source or bytes of a binary one, counted from the source's
    // position.
    int32_t start;
    int32_t end;
    const Cell* value;  // load: the value just made; else null
    // In and out: the input position (0-based, same units) the event is
    // reported at. A watcher that changes it makes the lexer go on from
    // there.
    int32_t position;
};

// A watcher told about tokens. Answering false refuses: a prescanned token
// is skipped, a scanned one not loaded, a loaded value dropped, a container
// not opened or closed, and an error ends the run quietly (unless the
// watcher moved the input, when the run goes on from there).
struct Watch {
    uint32_t mask = event_all;
    std::function<bool(Report& report)> fn;
};

struct Options {
    bool next = false;     // one value, and hand back the rest of the source
    bool one = false;      // stop after the first complete value
    bool prescan = false;  // only find the next token's type, checking structure
    bool scan = false;     // recognise and check tokens, make no values
    int32_t part = -1;     // characters (bytes for binary) to read; -1 the rest
    const Cell* into = nullptr;  // append to this block instead of a new one
    const Watch* trace = nullptr;
};

// Nesting deeper than this raises internal too-deep instead of building
// series that later walkers could not handle.
constexpr int32_t max_depth = 10000;

// The lexer's runtime services: the word module's text-to-word conversions
// and spelling checks, and block!'s `to block!` of a string.
void offer_services(services::Services& s);

// The source is a string! or a binary! (a leading byte-order mark skipped).
// Load runs give the block (or, with `into`, that block; with `next`, a block
// of the value and the advanced source; with `one`, the value alone);
// prescan/scan runs give the datatype! of the token found, error! for a bad
// one, none for none (with `next`, a block of that and the advanced source).
void transcode(const Cell* source, const Options& options, Cell* result);

// Loads UTF-8 text into a new block (the C++ callers' entry).
void load_utf8(const char* text, int32_t length, Cell* result);

// The event mask a callback function asks for: the event words of the block
// that is the first value of its body, else every event.
uint32_t mask_from_callback(const Cell* callback);

}  // namespace vum::lexer
