// Named reads and writes of a cell's payload words, one group per datatype
// family. The same word means a head index in a block, a context node in an
// object and a symbol in a word; reading it through its name says which, and
// a debug build checks that the cell belongs to the family (release builds
// compile the checks away). Code that handles a cell as plain words (copying,
// hashing, identity) keeps using w1..w3.
#pragma once
#include <cassert>
#include <cstdint>

#include "memory/cell.h"

namespace vum::cell {

// ---- Families: the datatypes that share a payload layout ----

// Head index in w1, node in w2.
constexpr bool is_series_type(uint8_t t) {
    return (t >= type_block && t <= type_url) || (t >= type_path && t <= type_get_path) || t == type_vector ||
           t == type_hash || t == type_binary || t == type_tag || t == type_email || t == type_ref ||
           t == type_image;
}
// A node in w2: the series, and map! and bitset!, whose w1 is not an index.
constexpr bool has_series_node(uint8_t t) { return is_series_type(t) || t == type_map || t == type_bitset; }
// A hash table in w3.
constexpr bool has_hash_table(uint8_t t) { return t == type_hash || t == type_map; }
// Context node, symbol and slot index (word! and its kinds, issue!).
constexpr bool is_word_type(uint8_t t) { return t >= type_word && t <= type_issue; }
// Context node in w1, class id in w2, change record in w3.
constexpr bool is_object_type(uint8_t t) { return t == type_object || t == type_error || t == type_port; }
// A context node in w1: the objects and the functions with a context of their own.
constexpr bool has_context_node(uint8_t t) { return is_object_type(t) || t == type_function || t == type_routine; }
// Spec block node in w2 and info in w3.
constexpr bool is_function_type(uint8_t t) {
    return (t >= type_native && t <= type_function) || t == type_routine;
}

// ---- The payload as plain words ----

// For values held wholly in their cell (point!, typeset!, tuple!, money!),
// where code keeps or rebuilds the three payload words without reading what
// they mean: the serialised form, a copy under another header.
struct Payload {
    uint32_t words[3];
};
inline Payload payload(const Cell* c) { return {{c->w1, c->w2, c->w3}}; }
inline void set_payload(Cell* c, const Payload& p) {
    c->w1 = p.words[0];
    c->w2 = p.words[1];
    c->w3 = p.words[2];
}

// The bits of the double in words 2 and 3 (float!, percent!, time!, and the
// time of a date!), low half first.
inline uint64_t double_bits(const Cell* c) { return uint64_t(c->w3) << 32 | c->w2; }

// ---- datatype! ----

inline uint8_t datatype_id(const Cell* c) {
    assert(type(c) == type_datatype);
    return uint8_t(c->w1);
}

// ---- logic!, char!, date! ----

inline bool logic_value(const Cell* c) {
    assert(type(c) == type_logic);
    return c->w1 != 0;
}
inline uint32_t char_code(const Cell* c) {
    assert(type(c) == type_char);
    return c->w2;
}
// The packed date, zone and time flag (datatypes/calendar.h); the time is
// the double.
inline uint32_t date_bits(const Cell* c) {
    assert(type(c) == type_date);
    return c->w1;
}

// ---- Series: block!, the strings, paths, vector!, hash!, binary!, image! ... ----

inline int32_t series_index(const Cell* c) {
    assert(is_series_type(type(c)));
    return int32_t(c->w1);
}
inline void set_series_index(Cell* c, int32_t index) {
    assert(is_series_type(type(c)));
    c->w1 = uint32_t(index);
}
inline uint32_t series_node(const Cell* c) {
    assert(has_series_node(type(c)));
    return c->w2;
}
inline void set_series_node(Cell* c, uint32_t node) {
    assert(has_series_node(type(c)));
    c->w2 = node;
}

// ---- hash! and map!: the hash table over the series ----

inline uint32_t hash_table(const Cell* c) {
    assert(has_hash_table(type(c)));
    return c->w3;
}
inline void set_hash_table(Cell* c, uint32_t table) {
    assert(has_hash_table(type(c)));
    c->w3 = table;
}

// ---- vector!: the element type in w3 ----

inline uint32_t vector_element_type(const Cell* c) {
    assert(type(c) == type_vector);
    return c->w3;
}

// ---- image!: the size in w3, width | height << 16 ----

inline uint32_t image_size(const Cell* c) {
    assert(type(c) == type_image);
    return c->w3;
}
inline void set_image_size(Cell* c, uint32_t size) {
    assert(type(c) == type_image);
    c->w3 = size;
}

// ---- handle!: the kind in w1, the data word in w2 ----

inline uint32_t handle_kind(const Cell* c) {
    assert(type(c) == type_handle);
    return c->w1;
}
inline uint32_t handle_data(const Cell* c) {
    assert(type(c) == type_handle);
    return c->w2;
}

// ---- event!: the event type in w1, w2 a message slot (or, made by
// make, the node of its field block), the flags in w3 ----

inline uint32_t event_kind(const Cell* c) {
    assert(type(c) == type_event);
    return c->w1;
}
inline uint32_t event_target(const Cell* c) {
    assert(type(c) == type_event);
    return c->w2;
}
inline uint32_t event_flags(const Cell* c) {
    assert(type(c) == type_event);
    return c->w3;
}
inline Cell* make_event(Cell* c, uint32_t header, uint32_t kind, uint32_t target, uint32_t flags) {
    *c = {header, kind, target, flags};
    assert(type(c) == type_event);
    return c;
}
inline void set_event_kind(Cell* c, uint32_t kind) {
    assert(type(c) == type_event);
    c->w1 = kind;
}

// ---- Words ----

inline uint32_t word_context(const Cell* c) {
    assert(is_word_type(type(c)));
    return c->w1;
}
inline int32_t word_symbol(const Cell* c) {
    assert(is_word_type(type(c)));
    return int32_t(c->w2);
}
// The slot index in the word's context; negative when it has none.
inline int32_t word_index(const Cell* c) {
    assert(is_word_type(type(c)));
    return int32_t(c->w3);
}

// ---- context!: the first cell of a context's series ----

inline uint32_t context_words(const Cell* c) {
    assert(type(c) == type_context);
    return c->w1;
}
inline uint32_t context_values(const Cell* c) {
    assert(type(c) == type_context);
    return c->w2;
}

// ---- object!, error!, port! (and a function's own context) ----

inline uint32_t context_node(const Cell* c) {
    assert(has_context_node(type(c)));
    return c->w1;
}
inline uint32_t object_class(const Cell* c) {
    assert(is_object_type(type(c)));
    return c->w2;
}
inline void set_object_class(Cell* c, uint32_t class_id) {
    assert(is_object_type(type(c)));
    c->w2 = class_id;
}
// The change record's node; 0 when the object has no change handlers.
inline uint32_t change_record(const Cell* c) {
    assert(is_object_type(type(c)));
    return c->w3;
}
inline void set_change_record(Cell* c, uint32_t record) {
    assert(is_object_type(type(c)));
    c->w3 = record;
}

// The two cells of a change record (on-change, on-deep-change): pair!
// cells whose w2 packs the handler's field position (high half, 0xFFFF for
// none) and its locals count (low half).
inline uint32_t change_handler_place(const Cell* handler) {
    assert(type(handler) == type_pair);
    return handler->w2;
}

// ---- function!, routine!, native!, action!, op! ----

// native! and action!: the index into their handler table.
inline uint32_t handler_index(const Cell* c) {
    assert(type(c) == type_native || type(c) == type_action);
    return c->w1;
}
// op!: the type it was made from, and the value it wraps, rebuilt under that
// type's bare header (the op! keeps the source's payload as it stands).
inline uint8_t op_source(const Cell* c) {
    assert(type(c) == type_op);
    return uint8_t((c->header & op_source_mask) >> op_source_shift);
}
inline Cell op_wrapped(const Cell* c) {
    Cell wrapped = *c;
    make_header(&wrapped, op_source(c));
    return wrapped;
}

inline uint32_t function_spec(const Cell* c) {
    assert(is_function_type(type(c)));
    return c->w2;
}
inline uint32_t function_info(const Cell* c) {
    assert(is_function_type(type(c)));
    return c->w3;
}

// ---- pair! ----

inline int32_t pair_x(const Cell* c) {
    assert(type(c) == type_pair);
    return int32_t(c->w2);
}
inline int32_t pair_y(const Cell* c) {
    assert(type(c) == type_pair);
    return int32_t(c->w3);
}

}  // namespace vum::cell
