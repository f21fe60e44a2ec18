// Routines whose code lives in the view module (libvum-view.so, built from
// view/windows/). Start-up registers each under its name with a forwarder
// that loads the module on the routine's first call, finds the module's
// entry for it and from then on calls that directly; the program starts
// without mapping the module or the libraries it brings (Cairo, Pango,
// fontconfig, SDL2, Xlib).
#pragma once
#include <cstdint>

namespace vum::view {

// A routine's name (the word boot-routine names it by) and the symbol of
// its code in the module.
struct ModuleRoutine {
    const char* name;
    const char* entry;
};

constexpr const char* module_file = "libvum-view.so";

// Registers the forwarders, and the few routines of this floor that answer
// without the module (gui-headless?).
void register_module_routines();

// The address of a symbol of the module, the module loaded on first use.
// A module that does not load, or lacks the symbol, raises access
// cannot-open with the module's name and the loader's reason. Forwarders
// of other kinds (a datatype's action rows) find their code here too.
void* module_entry(const char* symbol);

// The routines the module holds, in registration order.
const ModuleRoutine* module_routines(int32_t* count);

// The rule the display drivers choose by: no display is to be used when
// VUM_DISPLAY is "headless" or DISPLAY is unset or empty. Read here, in the
// runtime, so that asking does not load the module.
bool headless_wanted();

}  // namespace vum::view
