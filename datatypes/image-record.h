// The image record: the small fixed record every image! value refers to.
// It sits in a 24-byte byte series (six 32-bit words) so that cells name it
// by node, and it owns the pixels through a slot of the handle registry
// (kind "image"), whose finalizer frees them once no value reaches the
// record any more.
//
// The pixels live outside the memory manager in one store per record: a
// straight (not premultiplied) BGRA buffer, rows top to bottom without
// padding. A pointer into it stays good while the record is reachable; the
// record itself moves like any series, so it is always read through its node.
//
// Words:  0 flags, 1 source present, 2 memory bitmap present,
//         3 width | height << 16, 4 the registry slot, 5 the drawing cache
//         (an opaque token of the drawing backend, 0 for none).
// The flags keep the states the drawing side relies on: pixel writes mark
// the buffer written (0x02) so the next source is rebuilt from it; drawing
// goes to the premultiplied source and marks it drawn (0x20) so the next
// pixel access rebuilds the straight buffer from it.
#pragma once
#include <cstdint>

#include "platform/image-codecs.h"

namespace vum::image_record {

enum Flag : uint32_t {
    flag_bitmap_current = 0x01,  // the straight buffer holds the pixels
    flag_bitmap_written = 0x02,  // written through pixel access: the source must be rebuilt
    flag_drawing_target = 0x08,  // prepared as a drawing target
    flag_premultiplied = 0x10,   // the source is premultiplied BGRA (clear: straight)
    flag_drawn = 0x20,           // drawn into: the buffer must be rebuilt from the source
    flag_cache_used = 0x40,      // the drawing cache was used since the last collection
};

enum Word : int32_t {
    word_flags = 0, word_source = 1, word_bitmap = 2, word_size = 3, word_handle = 4, word_cache = 5,
};
constexpr int32_t record_bytes = 24;

// Makes a record over the pixels (taken over; their size is the record's)
// with the flags and the presence words given, in a new handle slot.
// Returns the node: the caller stores it in a protected cell before it
// allocates again. Sizes beyond 16 bits are the callers' to keep out.
uint32_t make(imaging::Pixels&& pixels, uint32_t flags, bool with_source, bool with_bitmap);

uint32_t word(uint32_t node, Word w);
void set_word(uint32_t node, Word w, uint32_t value);
inline uint32_t flags(uint32_t node) { return word(node, word_flags); }
int32_t width(uint32_t node);
int32_t height(uint32_t node);
inline uint32_t size_word(int32_t width, int32_t height) { return uint32_t(width) | uint32_t(height) << 16; }

// The straight buffer, rebuilt from the drawn source first when drawing
// changed it; marks it current.
imaging::Pixels& bitmap(uint32_t node);
// Gives the record a source in the wanted alpha mode, rebuilt from the
// buffer when it was written, missing or in the other mode (the drawing
// cache goes with the old source). Returns it: the buffer itself for
// straight alpha, a premultiplied copy otherwise.
const imaging::Pixels& source(uint32_t node, bool premultiplied);

// Pixel access: the buffer's first byte (width x height x 4 bytes follow).
// Opening for writing marks the buffer written.
uint8_t* open_pixels(uint32_t node, bool write);
// One pixel as the word alpha << 24 | red << 16 | green << 8 | blue, at a
// 0-based index the caller has checked.
uint32_t read_pixel(uint32_t node, int32_t index);
void write_pixel(uint32_t node, int32_t index, uint32_t pixel);

// The drawing side: the premultiplied source prepared for drawing into,
// the mark after drawing, and the cache of what the backend made of it.
imaging::Pixels& to_drawable(uint32_t node);
void mark_changed(uint32_t node);
uint32_t get_cache(uint32_t node);  // marks it used
void set_cache(uint32_t node, uint32_t token);
void release_cache(uint32_t node);
// The backend's release of a cache token (none until a backend sets one).
using CacheReleaser = void (*)(uint32_t token);
void set_cache_releaser(CacheReleaser fn);

// Frees the pixels now (the backend's release); the slot stays until the
// collector drops it.
void release(uint32_t node);

// The collector's mark-image service for a reachable record: marks its slot, and on the
// first mark of a cycle drops a drawing cache not used since the last one.
void gc_mark(uint32_t node);

// Premultiplied and straight copies of a buffer.
imaging::Pixels premultiply(const imaging::Pixels& straight);
imaging::Pixels unpremultiply(const imaging::Pixels& premultiplied);

// The handle kind, registered on first use (the registry starts over when
// the runtime does).
int32_t kind();
void init();

}  // namespace vum::image_record
