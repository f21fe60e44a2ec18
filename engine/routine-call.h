// Calling a routine!: handing the arguments the interpreter fetched to the
// C++ code behind the routine in the form its spec declares, and turning the
// code's plain result back into a value (datatypes/function.h describes the
// forms).
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::eval {

// Start-up (from eval::init): the type words arguments are marshalled by.
void init_routine_calls();

// The routine's arguments are cells 0.. of the current frame, in spec
// order; its result is left in cell 0. `name` is the word it was called
// by, for reports. A marshalled routine's arguments are checked against
// the first word of each type block, from the last argument to the first:
// a block that does not start with a word raises script invalid-type-spec,
// an argument outside the type it names script expect-arg. Errors the code
// raises pass through.
void call_routine(const Cell* routine, const Cell* name);

}  // namespace vum::eval
