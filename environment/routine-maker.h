// The boot-only routine maker. Routines cannot be made by user code (make
// routine! is refused, and the language's `routine` raises internal
// routines); the environment's own sources make theirs through the global
// word `boot-routine`, which exists only while they load:
//
//   quit-return: boot-routine 'quit-return [
//       "Stops evaluation and exits the program with a given status"
//       status [integer!] "Process termination value to return"
//   ]
//
// The word names the C++ code registered under its spelling (see
// runtime-routines.h, type-predicates.h); the spec is the routine's. The
// result type comes from the spec's return: block when it starts with
// logic!, integer! or float!; otherwise the code sets the result itself.
// The maker is itself a routine with direct entry; once the environment has
// loaded, its word is unset and the code refuses to run (internal routines)
// should anything have kept the value.
#pragma once

namespace vum::boot {

// Sets `boot-routine` in the global context. The spec of the maker is
// loaded from text, so the lexer and the global words of the types must be
// ready.
void install_routine_maker();
// Unsets the word and retires the code.
void remove_routine_maker();

}  // namespace vum::boot
