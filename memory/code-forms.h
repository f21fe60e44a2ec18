// The switch for compiled forms and the checks a form runs against its
// block. VUM_FORMS, read once at start-up, chooses how blocks run:
//   off     the walk alone;
//   on      forms for blocks run more than once (the default);
//   forced  forms from a block's first run, so tests reach them at once;
//   verify  as forced, and each epoch check that passes also compares the
//           block's cells with a snapshot taken when the form was made, so a
//           write that missed the barrier (memory/series.h) fails loudly.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "memory/cell.h"

namespace vum::forms {

enum class Mode : uint8_t { off, on, forced, verify };

extern Mode mode;

// The mode a setting's text names; false for anything else.
bool parse_mode(const char* text, Mode* out);
// Reads VUM_FORMS. An unknown setting is reported on standard error and
// leaves the default.
void init();

// A block's cells and length as they were, compared bit for bit. The copies
// are never read as values (the collector does not see them), only compared.
struct Snapshot {
    uint32_t node = 0;
    std::vector<Cell> cells;
};
Snapshot snapshot(uint32_t node);
// True when the block holds what the snapshot saw; else false with the first
// difference described in *why.
bool matches(const Snapshot& s, std::string* why);
// For verify mode: a difference is a missed barrier, reported on standard
// error with where it was found, and the process aborts.
void check_unchanged(const Snapshot& s, const char* where);

}  // namespace vum::forms
