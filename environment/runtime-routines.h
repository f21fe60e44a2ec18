// The environment's low-level routines: the C++ code behind quit-return,
// set-quiet, set-slot-quiet, the shifts, last-lf?, the directory routines,
// exists?, os-info, as-color, as-ipv4, as-rgba, count-chars, the stack and
// trace routines, the clipboard routines and write-stdout.
// environment/runtime-routines.vum gives each its spec and binds it.
#pragma once

namespace vum::boot {

// Registers each under its word's spelling.
void register_runtime_routines();

}  // namespace vum::boot
