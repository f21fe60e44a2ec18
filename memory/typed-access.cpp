#include "memory/typed-access.h"

#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::typeset {

const Cell* check_arg(const Cell* typeset, const Cell* function_word, const Cell* value) {
    (void)function_word;
    if (has_type(typeset, cell::type(value))) return value;
    Cell name = stack::frame_name_for_error();
    Cell type = cell::make_datatype(cell::type(value));
    Cell parameter;
    cell::make_none(&parameter);
    errors::raise(err::script::expect_arg, &name, &type, &parameter);
}

int32_t check_arg_at(const Cell* typeset, const Cell* function_word, int32_t index) {
    if (index < 0) return index;
    check_arg(typeset, function_word, stack::arg(index));
    return index;
}

const Cell* check_refined_arg(const Cell* refinement, const Cell* typeset, const Cell* function_word,
                              const Cell* value) {
    if (refinement->w1 == 0) return value;
    return check_arg(typeset, function_word, value);
}

}  // namespace vum::typeset

namespace vum::function {

const Cell* check_arg_set(const Cell* function_word, const Cell* value) {
    if (cell::type(value) != type_unset) return value;
    Cell name = *function_word;
    Cell type = cell::make_datatype(type_unset);
    errors::raise(err::script::expect_arg, &name, &type);
}

void init_refinements(const Cell* refinement, int32_t index, int32_t count) {
    if (logic::truthy(refinement)) {
        stack::arg(index)->w1 = 1;
        return;
    }
    for (int32_t i = 1; i <= count; i++) cell::make_none(stack::arg(index + i));
}

}  // namespace vum::function

namespace vum::word {

void set_global(Cell* word) {
    Cell* top = stack::top_cell();
    if (cell::type(top) == type_unset) errors::raise(err::script::need_value, word);
    Cell value = *top;
    context::set_word_value(word, &value);
}

void set_global_drop(Cell* word) {
    set_global(word);
    stack::reset_to_base();
}

Cell* get_checked(const Cell* word) {
    Cell* value = context::get_word_value(word);
    if (cell::type(value) == type_unset) errors::raise(err::script::no_value, word);
    return value;
}

}  // namespace vum::word

namespace vum::context {

void set_slot(uint32_t ctx, int32_t index) {
    Cell* top = stack::top_cell();
    if (cell::type(top) == type_unset) {
        Cell w = *word_at(ctx, index);
        errors::raise(err::script::need_value, &w);
    }
    Cell value = *top;
    *slot_address_checked(ctx, index) = value;
}

void set_slot_drop(uint32_t ctx, int32_t index) {
    set_slot(ctx, index);
    stack::reset_to_base();
}

void set_slot_unchecked(uint32_t ctx, int32_t index) {
    Cell value = *stack::top_cell();
    *slot_address_checked(ctx, index) = value;
    if (kind_of(ctx) == kind_object) word_at(ctx, index)->header |= cell::flag_slot_changed;
    stack::reset_to_base();
}

Cell* slot_address_checked(uint32_t ctx, int32_t index) {
    Cell* c = context_cell(ctx);
    if (c->w2 == 0) {
        Cell w = *word_at(ctx, index);
        errors::raise(err::script::not_defined, &w);
    }
    if (c->header & cell::flag_stack_context) return stack::stack_context_slot(c->w2, index);
    return series::cells_mut_untracked(c->w2) + index;  // value storage, never code
}

}  // namespace vum::context

namespace vum::logic {

bool truthy(const Cell* c, bool check, const Cell* argument) {
    switch (cell::type(c)) {
        case type_none: return false;
        case type_logic: return c->w1 != 0;
        case type_unset:
            if (check) errors::raise(err::script::no_value, argument);
            return true;
        default: return true;
    }
}

}  // namespace vum::logic
