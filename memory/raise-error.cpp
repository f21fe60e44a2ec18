#include "memory/raise-error.h"

#include "base/error-catalogue.h"
#include "base/system-throw.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/runtime-services.h"
#include "memory/value-stack.h"

namespace vum::errors {

Designation last_raised{0, nullptr};

void raise(err::Id id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    make_and_throw(id.category, id.index, arg1, arg2, arg3);
}

void make_and_throw(int32_t category, int32_t id_index, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    last_raised = {category, error_catalogue::categories[category].ids[id_index - 2].id};
    // Before the value stack exists (early start-up, and the memory core's
    // own tests) the designation travels alone.
    if (!stack::initialised() || !values_ready) sys::throw_code(sys::code_language_error);
    // The collector scans the stack while the error is made: the cell must
    // not hold what an earlier use left there.
    Cell* error = cell::make_none(stack::push_cell());
    services::current.error_values->create(category, id_index, arg1, arg2, arg3, error);
    services::current.note_error(error);
    stack::throw_error(error);
}

void raise_refine_arg(const char* refinement, const Cell* value) {
    gc::Local v(*value);
    Cell r = context::load_word(refinement);
    cell::set_type(&r, type_refinement);
    raise(err::script::invalid_refine_arg, &r, &v);
}

void raise_2_args(const Cell* a, const Cell* b) { raise(err::script::bad_make_arg, a, b); }

void raise_bad_to(uint8_t target, const Cell* value) {
    Cell type = cell::make_datatype(target);
    raise(err::script::bad_to_arg, &type, value);
}

void raise_out_of_range(const Cell* value) { raise(err::script::out_of_range, value); }

}  // namespace vum::errors
