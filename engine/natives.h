// The natives: built-in functions whose bodies are C++ handlers. A native!
// value holds its handler's id, the 1-based position in the natives table;
// the boot source (environment/natives.vum) defines each native with that
// id; the build names each id after its word (native::equal_q, from
// generated/native-ids.h) and each refinement position (refine::sort::skip).
//
// Every handler follows actions::NativeFn: its arguments are in the current
// frame in spec order (stack::arg(0) is the first and the result slot), and
// refinements[k] is -1 when the k-th refinement of its spec is not used,
// else the frame position of its first argument (where that argument would
// be, for a refinement that takes none). Argument types have been checked
// by the interpreter already.
#pragma once
#include <cstdint>
#include <string>

#include "datatypes/native.h"  // the table, and native_count
#include "memory/cell.h"

#include "generated/native-ids.h"

namespace vum::natives {

// Start-up: fills every id of the natives table (an id whose native is
// not built yet gets a handler that raises internal not-done) and makes the
// print scratch block.
void init_table();

// The native's word for an id of the table (nullptr otherwise), as the boot
// source names it.
const char* name_at(int32_t id);

// The 32-cell block that print and prin reduce block arguments into; a
// cell of the root block keeps it.
uint32_t print_scratch();

// The handler of every id whose native does not exist yet.
void not_done(const int32_t* refinements);

// Each group replaces the stubs of the natives it builds (natives::set_native
// by id), after the table is filled.
void register_control_natives();     // natives-control.cpp: conditionals and loops
void register_evaluation_natives();  // natives-evaluation.cpp: do, reduce, binding, objects
void register_comparison_natives();  // natives-comparison.cpp: comparison, sets, logic
void register_math_natives();        // natives-math.cpp: math and conversion
// The bytes a string or a binary stands for: a string's UTF-8, a binary's
// bytes from its position (checksum, compress, decompress).
std::string bytes_of(const Cell* value);

// One pass of the GUI's message loop without waiting, set by the view
// module when it starts the window system; `wait` runs it after its delay.
extern void (*gui_pass)();
void register_service_natives();     // natives-service.cpp: now, wait, environment, stats, print
void register_compression_natives();  // natives-compression.cpp: compress, decompress
void register_process_natives();      // natives-process.cpp: call

// natives-exits.cpp: non-local exits.
void try_native(const int32_t* refinements);       // block /all /keep
void catch_native(const int32_t* refinements);     // block /name word
void throw_native(const int32_t* refinements);     // value /name word
void break_native(const int32_t* refinements);     // /return value
void continue_native(const int32_t* refinements);
void exit_native(const int32_t* refinements);
void return_native(const int32_t* refinements);    // value

// natives-functions.cpp: the function makers.
void func_native(const int32_t* refinements);      // spec body
void function_native(const int32_t* refinements);  // spec body /extern
void does_native(const int32_t* refinements);      // body
void has_native(const int32_t* refinements);       // vars body

}  // namespace vum::natives
