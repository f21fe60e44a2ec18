// Colours as drawing wants them. A colour is a tuple r.g.b or r.g.b.a whose
// fourth byte is transparency, not opacity: 0 (or no fourth byte) is
// opaque, 255 invisible.
#pragma once
#include <cstdint>

#include "memory/cell.h"

typedef struct _cairo cairo_t;

namespace vum::view::gui {

// Each channel 0 to 1; `a` is opacity.
struct Colour {
    float r = 0, g = 0, b = 0, a = 1;
    bool operator==(const Colour&) const = default;
};

// From the tuple's bytes (fewer than 3 count as 0; bytes past the fourth
// are not colour).
Colour colour_of_bytes(const uint8_t* bytes, int32_t length);
Colour colour_of_tuple(const Cell* tuple);

// 0xAARRGGBB with A the opacity (255 less the tuple's fourth byte).
uint32_t tuple_to_argb(const Cell* tuple);
// An opacity of 0xFF made 0xFE; any other kept.
uint32_t opaque_argb(uint32_t argb);

void set_source(cairo_t* cr, const Colour& colour);

}  // namespace vum::view::gui
