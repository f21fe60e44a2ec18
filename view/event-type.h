// event! (id 54): its action row is registered with the runtime's
// datatypes, but its code lives in the view module. Each slot holds a
// forwarder that loads the module on its first use and calls the module's
// handler from then on, so the program starts without the module.
#pragma once

namespace vum::view {

// Registers event! and its six actions (make, form, mold, eval-path,
// compare, pick); start-up calls it after the runtime's own datatypes,
// before their names become words.
void register_event_type();

}  // namespace vum::view
