// The C++ code behind the system object's routines and the runtime
// switches its change handlers set: the collector's state (system/state/GC),
// the interpreter test (system/state/interpreted?), the float former's
// switches (system/options/float) and the currency list that money values
// index into (system/locale/currencies). environment/system.vum makes the
// routines with boot-routine under these names.
#pragma once

namespace vum::boot {

// Registers each under its name.
void register_system_routines();

}  // namespace vum::boot
