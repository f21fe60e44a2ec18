// The serialised-value format's constants, shared by its decoder and its
// encoders: the file header, the compact form's prefix and lead bytes, the
// fixed form's header-word bits, and the zigzag mapping of signed varints.
#pragma once
#include <cstdint>

namespace vum::vumbin {

// File header: six magic bytes, a version byte, a flags byte.
inline constexpr char magic[6] = {'V', 'U', 'M', 'B', 'I', 'N'};
constexpr int header_size = 8;
constexpr uint8_t version_written = 2;  // encoders
constexpr uint8_t version_boot = 1;     // the boot image

enum Flags : uint8_t {
    flag_compact = 1u << 0,
    flag_compressed = 1u << 1,  // the body is one LZ container
    flag_symbols = 1u << 2,     // a symbol table precedes the records
};

// Compact form: prefix bytes before a lead byte.
enum Prefix : uint8_t {
    prefix_new_line = 0xC0,
    prefix_reference = 0xC1,   // a back-reference path replaces the contents
    prefix_assignment = 0xC4,  // boot image only: word, then the value for its slot
};

// Compact form: lead bytes.
enum Lead : uint8_t {
    lead_short_form = 0x40,    // bit 6 of a datatype lead byte
    lead_type_mask = 0x3F,     // bits 0-5: the datatype id
    lead_type_follows = 63,    // the id follows as an unsigned varint
    lead_small_integer = 0x80,  // 0x80-0xBF: integer! 0 to 63
    lead_true = 0xC2,
    lead_false = 0xC3,
    lead_back_reference = 0xFF,
};

// Fixed form: bits of a record's 32-bit header word above the type byte.
enum FixedBits : uint32_t {
    fixed_type_mask = 0xFF,
    fixed_unit_shift = 8,            // strings, binary!, vector!: unit size; tuple!: length
    fixed_unit_mask = 0xFFu << 8,
    fixed_reference = 1u << 19,      // a back-reference path replaces the contents
    fixed_money_negative = 1u << 22,
    fixed_bitset_complemented = 1u << 23,
    fixed_object_handlers = 1u << 24,  // object!: change-handler record present
    fixed_word_assign = 1u << 25,      // words in the boot image: a value record follows
    fixed_word_global = 1u << 25,      // words in a saved file: bound to the global context
    fixed_context_kind_shift = 26,     // context!: two bits
    fixed_context_flag = 1u << 28,     // context!: the context's made flag
    fixed_context_stack = 1u << 29,
    fixed_context_values = 1u << 30,
    fixed_new_line = 1u << 31,
};

// Compact form: bits of a context! record's flags byte.
enum ContextFlags : uint8_t {
    context_kind_bits = 3,
    context_stack = 1u << 2,
    context_made = 1u << 3,
    context_values = 1u << 4,
};

// Limits the format sets.
constexpr uint32_t max_path_length = 65536;
constexpr uint32_t max_image_side = 65535;
constexpr int max_typeset_bytes = 12;
constexpr int max_tuple_bytes = 12;

// Signed varints are unsigned ones over the zigzag mapping.
constexpr uint32_t zigzag(int32_t v) { return (uint32_t(v) << 1) ^ uint32_t(v >> 31); }
constexpr int32_t unzigzag(uint32_t u) { return int32_t((u >> 1) ^ (0u - (u & 1))); }

}  // namespace vum::vumbin
