// Every value of the language is a cell: four 32-bit words, the header and
// three payload words laid out per datatype family. A cell never holds a
// machine pointer: series are named by node ids, native things by table
// indexes, so cells keep their 16 bytes on 64-bit.
#pragma once
#include <cstdint>
#include <cstring>

#include "memory/type-ids.h"

namespace vum {

struct Cell {
    uint32_t header;
    uint32_t w1;
    uint32_t w2;
    uint32_t w3;
};
static_assert(sizeof(Cell) == 16, "a cell is 16 bytes");

namespace cell {

// Header bits above the type byte; each means something for some types only.
enum : uint32_t {
    type_mask = 0xFF,
    flag_compiled = 1u << 8,       // function!: made while the environment loads; behaves as compiled ahead
    flag_no_trace = 1u << 9,       // function!
    flag_trace = 1u << 10,         // function!
    context_kind_shift = 11,       // context!, two bits
    context_kind_mask = 3u << 11,
    flag_event_made = 1u << 12,    // event!: made by make, w2 a field block in place of a message
    flag_slot_changed = 1u << 13,  // stored into a context slot
    flag_money_negative = 1u << 14,
    flag_routine_direct = 1u << 15,
    flag_owner = 1u << 16,         // context! of an owning object; owned image!
    op_source_shift = 16,          // op!: type id it was made from, bits 16-23
    op_source_mask = 0xFFu << 16,
    tuple_length_shift = 19,       // tuple!, four bits
    tuple_length_mask = 0xFu << 19,
    arg_mode_shift = 20,           // typeset! of a function's argument cache: the fetch mode, two bits
    arg_mode_mask = 3u << 20,
    flag_stack_context = 1u << 22,
    flag_context_made = 1u << 24,
    routine_arg_count_shift = 25,  // routine!: the number of its arguments, five bits
    routine_arg_count_mask = 31u << 25,
    flag_new_line = 1u << 30,      // mold starts a new line before the value
};

// How the evaluator fetches an argument (the arg_mode bits).
enum ArgMode : uint32_t {
    arg_evaluated = 0,    // a plain word in the spec
    arg_literal = 1,      // get-word: the cell as it stands
    arg_quoted = 2,       // lit-word
    arg_return_type = 3,  // return:
};

// The largest buffer a series may have: sizes are signed 32-bit and the
// allocator keeps room for its own header.
constexpr int64_t max_series_bytes = int64_t(0x7FFFFFFF) - 64;
constexpr int64_t max_series_cells = max_series_bytes / 16;

inline uint8_t type(const Cell* c) { return uint8_t(c->header & type_mask); }

inline Cell* set_type(Cell* c, uint8_t t) {
    c->header = (c->header & ~uint32_t(type_mask)) | t;
    return c;
}

// A maker writes the whole header: the type and every flag clear.
inline Cell* make_header(Cell* c, uint8_t t) {
    c->header = t;
    return c;
}

inline void clear_new_line(Cell* c) { c->header &= ~uint32_t(flag_new_line); }
inline bool has_new_line(const Cell* c) { return (c->header & flag_new_line) != 0; }

inline Cell* copy(const Cell* source, Cell* destination) {
    if (source != destination) *destination = *source;
    return destination;
}

// Doubles (float!, percent!, time!) sit in words 2 and 3, low half first.
inline double get_double(const Cell* c) {
    uint64_t bits = uint64_t(c->w3) << 32 | c->w2;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

inline void set_double(Cell* c, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    c->w2 = uint32_t(bits);
    c->w3 = uint32_t(bits >> 32);
}

inline int32_t get_integer(const Cell* c) { return int32_t(c->w2); }

// The datatype! value naming a type id.
inline Cell make_datatype(uint8_t t) { return {type_datatype, t, 0, 0}; }

inline Cell* make_unset(Cell* c) {
    *c = {type_unset, 0, 0, 0};
    return c;
}
inline Cell* make_none(Cell* c) {
    c->header = type_none;
    return c;
}
inline Cell* make_integer(Cell* c, int32_t n) {
    c->header = type_integer;
    c->w2 = uint32_t(n);
    return c;
}
inline Cell* make_float(Cell* c, double d) {
    c->header = type_float;
    set_double(c, d);
    return c;
}
inline Cell* make_logic(Cell* c, bool b) {
    c->header = type_logic;
    c->w1 = b;
    return c;
}
// A series value: its head index and its node.
inline Cell* make_series(Cell* c, uint8_t t, uint32_t node, uint32_t head_index = 0) {
    *c = {t, head_index, node, 0};
    return c;
}

}  // namespace cell
}  // namespace vum
