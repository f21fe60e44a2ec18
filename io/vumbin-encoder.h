// The serialised-value encoders: one value, and everything it reaches,
// written as a whole file of the serialised form (header, counts, symbol
// table when words or issues were met, then one top-level record), in the
// compact form (varints) or the fixed form (32-bit words).
//
// Series, objects and functions met again are written as references to
// the place where they were first written, so sharing (and a series that
// contains itself) survives decoding. Words keep their binding to the
// object or function that owns their context; any other binding is written
// as the global one.
//
// The walk reads values only: nothing is allocated in the language heap
// until the records are complete, so the value may lie anywhere (a series
// cell too). The result is made last. Values that have no serialised form
// raise access no-codec with their datatype when met; nesting deeper than
// a reference path can name raises internal too-deep; a file larger than a
// series can hold raises internal no-memory.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::vumbin {

// `result` receives a new binary! holding the file; it must not move while
// the encoder allocates (a value-stack cell or a protected local).
void encode_compact(const Cell* value, Cell* result);
void encode_fixed(const Cell* value, Cell* result);

// The boot image: every value of the block `roots`, from its head, as one
// top-level record (root cell i of the image is the block's value i), in
// the compact form with the boot version byte. Words bound to an object or
// a function cannot be written there (boot mode names their context by a
// root cell) and raise script invalid-arg with the word.
void encode_boot_image(const Cell* roots, Cell* result);

}  // namespace vum::vumbin
