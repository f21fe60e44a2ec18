// The four smallest datatypes: datatype! (a value naming a type), unset!
// (the absence of a value), none! (what lookups answer when nothing is
// found) and logic!.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::core_types {

// Static cells handed out instead of allocating.
extern const Cell unset_cell;
extern const Cell none_cell;
extern const Cell true_cell;
extern const Cell false_cell;

void init_datatype();
void init_unset();
void init_none();
void init_logic();

// The frame's first argument is an unset condition: script no-return.
void check_condition();
bool top_falsy();
bool last_falsy();

}  // namespace vum::core_types
