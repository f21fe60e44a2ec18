// The action front-ends: the code behind every action! value. A front-end
// takes the refinement positions of its call (actions::NativeFn), reads the
// arguments from the current frame, normalises the refinement arguments
// whose meaning does not depend on the datatype (form and mold limits,
// append, insert and change ranges, pick and poke indexes ...), dispatches
// on the first argument's datatype and leaves the result in stack::arg(0).
// append and insert without refinements first offer a string! or block! to
// the datatype's quick insert, which takes the values that need neither
// forming nor spreading into a series nobody owns.
//
// Slot 7 (path evaluation) and slot 9 (comparison) have no action word but
// get front-ends too, so compiled code can reach those handlers the same
// way; slot 8 has none.
//
// The port actions that datatypes/actions.h gives no signature of their own
// (create, close, open?, update) take actions::TargetFn, as delete and
// query do.
#pragma once

namespace vum::actions {

// Start-up, right after fill_table: fills the natives module's front-end
// table.
void register_front_ends();

}  // namespace vum::actions
