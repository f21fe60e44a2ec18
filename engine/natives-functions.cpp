// The function makers: func, function, does and has. Each builds the spec
// it needs and hands it with the body to the function! makers, which
// validate the spec, copy and bind the body.
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "engine/natives.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

// A block positioned past its tail counts as empty.
void clip_to_tail(Cell* block) {
    int32_t n = block_actions::buffer_length(block->w2);
    if (int32_t(block->w1) > n) block->w1 = uint32_t(n);
}

}  // namespace

void func_native(const int32_t*) {
    clip_to_tail(stack::arg(0));
    clip_to_tail(stack::arg(1));
    function::make_func(stack::arg(0), stack::arg(1), stack::arg(0));
}

// The spec's own /extern marks the words that stay outside; the native's
// refinement of the same name only documents it.
void function_native(const int32_t*) {
    clip_to_tail(stack::arg(0));
    clip_to_tail(stack::arg(1));
    function::make_function(stack::arg(0), stack::arg(1), stack::arg(0));
}

void does_native(const int32_t*) {
    clip_to_tail(stack::arg(0));
    Cell* spec = cell::make_unset(stack::push_cell());
    block_actions::make_at(spec, 1);
    function::make_func(spec, stack::arg(0), stack::arg(0));
}

void has_native(const int32_t*) {
    clip_to_tail(stack::arg(0));
    clip_to_tail(stack::arg(1));
    const Cell* vars = stack::arg(0);
    int32_t n = series::length_from_head(vars);
    Cell* spec = cell::make_unset(stack::push_cell());
    block_actions::make_at(spec, n + 1);
    *series::alloc_tail_cell(spec->w2) = runtime_symbols::refinements[runtime_symbols::refinement_local];
    for (int32_t i = 0; i < n; i++) {
        Cell c = *block_actions::cell_at(vars->w2, int32_t(vars->w1) + i);
        *series::alloc_tail_cell(spec->w2) = c;
    }
    function::make_func(spec, stack::arg(1), stack::arg(0));
}

}  // namespace vum::natives
