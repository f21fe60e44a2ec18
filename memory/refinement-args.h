// The arguments of an action's refinements as the series kinds read them:
// one wording of the error for a bad one, whichever datatype met it.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::refinement_args {

// Raises script invalid-refine-arg, naming the refinement and its value.
[[noreturn]] void bad_refinement(const char* name, const Cell* value);

// The value of an integer! argument; anything else is a bad refinement.
int64_t integer_refinement(const char* name, const Cell* value);

// A /part value: a count, or a position in the same series (same type and
// buffer) counted from the series' head, negative before it.
int64_t part_of(const Cell* series, const Cell* part);

}  // namespace vum::refinement_args
