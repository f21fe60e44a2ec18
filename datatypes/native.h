// native!, action! and op!: built-in functions named by table entries. A
// native's code is an entry of the natives table, an action's the
// front-end of one action slot (which dispatches on its first argument's
// datatype); a cell holds the entry's 1-based position (w1), the spec
// block (w2, from index 0) and a 2-cell info block (w3): the context! cell
// of a context made from the spec, then none.
//
// op! is an infix operator made from a native, action, function or
// routine: it keeps the source's words 1-3 (sharing its info block) and
// notes the source's type in header bits 16-23.
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"

#include "generated/native-ids.h"

namespace vum::native_type {

// Registers native! (21), action! (22, parent native!) and op! (23, parent
// native!).
void init();

}  // namespace vum::native_type

namespace vum::natives {

constexpr int32_t table_size = 120;
constexpr int32_t front_end_count = datatype::action_count;
// The natives the boot source defines (environment/natives.vum): ids 1 to
// native_count, each a native! value that a serialised one may name.
constexpr int32_t native_count = native_id_count;
static_assert(native_count <= table_size);

// Entries count from 1, as `make native!` names them. Setting an index out
// of range is ignored; reading one gives nullptr, as does an empty entry.
// The evaluation engine fills both tables at start-up.
void set_native(int32_t index, actions::NativeFn fn);
actions::NativeFn native_at(int32_t index);
void set_front_end(int32_t slot, actions::NativeFn fn);
actions::NativeFn front_end_at(int32_t slot);

// The operator rule: exactly two arguments before any return:, /local or
// /extern, the left one a plain word; no other refinement.
bool is_operator_spec(uint32_t spec);

}  // namespace vum::natives
