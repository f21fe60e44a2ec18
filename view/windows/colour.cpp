#include "view/windows/colour.h"

#include <cairo.h>

#include "datatypes/tuple.h"

namespace vum::view::gui {

Colour colour_of_bytes(const uint8_t* bytes, int32_t length) {
    auto byte = [&](int32_t i) { return i < length ? bytes[i] : uint8_t(0); };
    return Colour{byte(0) / 255.0f, byte(1) / 255.0f, byte(2) / 255.0f, (255 - byte(3)) / 255.0f};
}

Colour colour_of_tuple(const Cell* tuple) {
    uint8_t bytes[tuple_type::max_length];
    tuple_type::get_bytes(tuple, bytes);
    return colour_of_bytes(bytes, tuple_type::length(tuple));
}

uint32_t tuple_to_argb(const Cell* tuple) {
    uint8_t bytes[tuple_type::max_length];
    tuple_type::get_bytes(tuple, bytes);
    // A 3-byte tuple's fourth byte reads as 0: opaque.
    uint8_t transparency = tuple_type::length(tuple) > 3 ? bytes[3] : 0;
    return uint32_t(255 - transparency) << 24 | uint32_t(bytes[0]) << 16 | uint32_t(bytes[1]) << 8 | bytes[2];
}

uint32_t opaque_argb(uint32_t argb) { return (argb >> 24) == 0xFF ? (argb & 0x00FFFFFFu) | 0xFE000000u : argb; }

void set_source(cairo_t* cr, const Colour& colour) { cairo_set_source_rgba(cr, colour.r, colour.g, colour.b, colour.a); }

}  // namespace vum::view::gui
