#include "memory/call.h"

namespace vum::call {

bool run_stopping_exits(Call& call, Cell* result) {
    stack::Mark mark;
    // A throw lands in the nearest catch frame, its value and name put in
    // the frame's first two cells: this one, so that it goes no further.
    stack::push_catch_frame(&runtime_symbols::words[runtime_symbols::word_body]);
    Cell* const frame_base = stack::s.args;
    cell::make_unset(stack::push_cell());
    bool ended = true;
    uint32_t code = sys::catch_codes(sys::catch_language_throw, [&] { ended = call.run_protected(result); });
    if (code == 0) return ended;
    if (code != sys::code_language_throw) sys::rethrow();
    *result = *frame_base;
    sys::clear_thrown();
    stack::s.error_position = nullptr;
    return false;
}

}  // namespace vum::call
