#include "memory/raise-error.h"

#include "base/error-catalogue.h"
#include "base/system-throw.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/value-stack.h"

namespace vum::errors {

Designation last_raised{0, nullptr};
TraceFn trace_error = nullptr;

void raise(Category category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    int32_t index = error_catalogue::find_id(category, id);
    if (index < 0) {
        // A name the catalogue lacks is the raiser's fault: report it as an
        // invalid error rather than losing it.
        category = category_internal;
        index = error_catalogue::find_id(category_internal, "invalid-error");
    }
    make_and_throw(category, index, arg1, arg2, arg3);
}

void make_and_throw(int32_t category, int32_t id_index, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    last_raised = {category, error_catalogue::categories[category].ids[id_index - 2].id};
    // Before the value stack exists (early start-up, and the memory core's
    // own tests) the designation travels alone.
    if (!stack::initialised() || !error_values) sys::throw_code(sys::code_language_error);
    // The collector scans the stack while the error is made: the cell must
    // not hold what an earlier use left there.
    Cell* error = cell::make_none(stack::push_cell());
    error_values->create(category, id_index, arg1, arg2, arg3, error);
    if (trace_error) trace_error(error);
    stack::throw_error(error);
}

void raise_refine_arg(const char* refinement, const Cell* value) {
    gc::Local v(*value);
    Cell r = context::load_word(refinement);
    cell::set_type(&r, type_refinement);
    raise(category_script, "invalid-refine-arg", &r, &v);
}

void raise_2_args(const Cell* a, const Cell* b) { raise(category_script, "bad-make-arg", a, b); }

}  // namespace vum::errors
