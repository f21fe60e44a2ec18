// image!: the raster image, a series of pixels with a position. Cell: w1 the
// position (a 0-based pixel index, row by row from the top-left corner),
// w2 the node of its image record (datatypes/image-record.h; 0 for an image
// of no pixels), w3 the size, width | height << 16.
//
// A pixel as a value is a tuple R.G.B.A whose fourth byte is transparency
// (255 less the stored opacity); a three-byte tuple is opaque. The record
// keeps opacity, straight (not premultiplied), as BGRA bytes.
//
// This module also makes the images that come from the codecs and the
// derived images (scaled, flipped, cropped, copied): each is a new record.
#pragma once
#include <cstdint>
#include <string>

#include "memory/cell.h"
#include "platform/image-codecs.h"

namespace vum::image {

inline int32_t width(const Cell* c) { return int32_t(c->w3 & 0xFFFF); }
inline int32_t height(const Cell* c) { return int32_t(c->w3 >> 16); }
inline int32_t pixel_count(const Cell* c) { return width(c) * height(c); }

// An image! at position 0 over the record (its size taken from the record).
Cell* make_at(Cell* c, uint32_t node);
// An image! of the pixels as a new record with the given flags and the
// source and buffer presence words (see image-record.h); no record for a
// width or height of 0. Raises internal no-memory when the pixels do not fit.
Cell* make_from_pixels(Cell* c, imaging::Pixels&& pixels, uint32_t flags, bool with_source, bool with_bitmap);
// A new image of the size: every pixel opaque white. Negative sides count
// as 0; sides past 65535, or more than 2 GB of pixels, raise script
// invalid-arg with `culprit`.
Cell* make_blank(Cell* c, int32_t width, int32_t height, const Cell* culprit);

// A copy of the image's pixels, whole (from pixel 0); empty for no record.
imaging::Pixels pixels_of(const Cell* image);

// ---- Codecs ----

// Whether the bytes start with the signature of an image format we read.
bool known_signature(const uint8_t* bytes, size_t length);
// A binary! from its position: none when no signature is known, access
// bad-media when it does not decode; else a new image!.
void decode_binary(const Cell* binary, Cell* result);
// A file's bytes, read whole by the caller (the file services sit above
// this floor): access bad-media when they do not decode; else a new image!.
void decode_file_bytes(const std::string& bytes, Cell* result);
// The image in the container of the format code (0 BMP, 1 PNG, 2 GIF,
// 3 JPEG, 4 TIFF) as a new binary!. A 0x0 image raises access bad-media;
// one side 0 gives an empty binary. An unknown code prints "Cannot find
// image encoder" and leaves the result unset. A failing encoder raises
// access bad-media.
void encode(const Cell* image, int32_t format, Cell* result);

// ---- Derived images (new records) ----

void scale(const Cell* image, int32_t width, int32_t height, Cell* result);
void flip_vertical(const Cell* image, Cell* result);
// The rectangle clipped to the image.
void crop(const Cell* image, int32_t x, int32_t y, int32_t width, int32_t height, Cell* result);
void copy_whole(const Cell* image, Cell* result);

// ---- Pixels as values ----

// The pixel at a 0-based index as a four-byte tuple, none outside the image.
void get_pixel(const Cell* image, int64_t index, Cell* result);
// The pixels as a new binary!: mode 0 one transparency byte a pixel, mode 1
// R, G, B a pixel, mode 2 the stored bytes B, G, R, opacity.
enum BulkMode : int32_t { bulk_alpha = 0, bulk_rgb = 1, bulk_argb = 2 };
void pixels_to_binary(const Cell* image, BulkMode mode, Cell* result);
// Sets pixels from a binary!, tuple! or integer! (see image.cpp); other
// values raise script invalid-arg. The owner hears of it as a poke.
void pixels_from_value(const Cell* image, const Cell* value, BulkMode mode);

}  // namespace vum::image

namespace vum::image_type {
// Registers image! (id 53, child of series!) and the record's handle kind.
void init();
}  // namespace vum::image_type
