// The serialised-value decoder: a file of the serialised form (header,
// counts, optional symbol table, records; compact or fixed, optionally one
// LZ container after the header) turned back into values appended to a
// block, with shared series, objects and functions shared again.
//
// Two modes. Saved mode reads files that the encoders wrote: words name
// their owning object or function in full or by a back-reference, decoded
// objects get the class id -1. Boot mode reads the boot image into the root
// block: words name their context by a root cell index, an assignment
// prefix stores a value in a word's slot, objects keep their class ids.
// The mode is module state: the boot load sets boot mode, and whoever
// decodes a saved file sets saved mode first (the encoders set it too).
//
// Every read is bounded by the end of the data and by the end of the
// records area; nothing is read outside the input. Faults raise:
//   - script vb-invalid-record with the 1-based byte position of the item
//     that is wrong (the first byte of the varint, word, count, lead byte or
//     path index; for a read that would pass the end, the item that does not
//     fit), counted from the first byte of the data given to the decoder. In
//     a compressed file the position counts into the decompressed body as if
//     it followed the 8-byte header.
//   - script invalid-data (with the value being decoded) for a wrong magic
//     or a damaged compressed body, or a fixed body of fewer than 8 bytes;
//   - access no-codec with the datatype for a datatype that has no
//     serialised form (routine!, triple!, handle!, port!, event!, and
//     image! until images exist).
// Nesting deeper than max_depth records is refused as an invalid record.
//
// Everything here allocates and may collect; the data is copied to a
// private buffer first, so it may lie in a series (a binary!'s buffer).
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::vumbin {

enum class Mode { boot, saved };

Mode mode();
void set_mode(Mode m);

// Records nested deeper than this (a series inside a series ...) are
// refused: the decoder recurses once per level.
constexpr int32_t max_depth = 4000;

// Decodes a whole file of `length` bytes (negative: unknown, as for the boot
// image that the program carries; the header's sizes then bound the reads)
// and appends its top-level values to the destination block, which must not
// move (a value-stack cell or a protected local). With raise_errors false (the
// boot load) a wrong magic or a damaged compressed body prints its message
// and ends the process with status 0; the root base index is noted then.
// source_value is what invalid-data names (none when null).
void decode(const uint8_t* data, int64_t length, Cell* destination_block, bool raise_errors,
            const Cell* source_value);

// Start-up: decodes the boot image into the root block in boot mode with the
// collector switched off (its previous state restored after), and returns
// the root base index: the root block's length before the decode, so root
// cell i of the image is root block cell base + i. With keep_root_base the
// base that root_base_index() answers stays the previous one. A length
// that is not negative bounds the reads as for any decode (an image read
// from a file).
int32_t load_boot_image(const uint8_t* image, bool keep_root_base, int64_t length = -1);
int32_t root_base_index();

}  // namespace vum::vumbin
