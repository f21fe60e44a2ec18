// The checks that natives and compiled functions run on their arguments,
// and the accessors compiled code uses to read and set words and context
// slots with the language's rules: a word may not be set to unset!, a slot
// without storage is an error, object fields are marked changed.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::typeset {

// True when the typeset cell allows the datatype id.
inline bool has_type(const Cell* typeset, uint8_t type) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&typeset->w1);
    uint32_t at = uint32_t(type >> 3) & 31;
    if (at >= 12) return false;
    return (bytes[at] & (0x80 >> (type & 7))) != 0;
}
// The value when its type is allowed, else script expect-arg.
const Cell* check_arg(const Cell* typeset, const Cell* function_word, const Cell* value);
// index < 0: nothing; else the argument cell at that index of the frame.
int32_t check_arg_at(const Cell* typeset, const Cell* function_word, int32_t index);
const Cell* check_refined_arg(const Cell* refinement, const Cell* typeset, const Cell* function_word,
                              const Cell* value);

}  // namespace vum::typeset

namespace vum::function {

const Cell* check_arg_set(const Cell* function_word, const Cell* value);
// A true refinement marks its frame cell (w1 = 1); a false one turns the
// count argument cells after it into none!.
void init_refinements(const Cell* refinement, int32_t index, int32_t count);

}  // namespace vum::function

namespace vum::word {

// Sets the word to the value on top of the argument stack.
void set_global(Cell* word);
void set_global_drop(Cell* word);
Cell* get_checked(const Cell* word);

}  // namespace vum::word

namespace vum::context {

void set_slot(uint32_t ctx, int32_t index);
void set_slot_drop(uint32_t ctx, int32_t index);
void set_slot_unchecked(uint32_t ctx, int32_t index);
Cell* slot_address_checked(uint32_t ctx, int32_t index);

}  // namespace vum::context

namespace vum::logic {

// none! and false are false; unset! raises no-value naming the argument
// when check is set and counts as true otherwise.
bool truthy(const Cell* c, bool check = false, const Cell* argument = nullptr);

}  // namespace vum::logic
