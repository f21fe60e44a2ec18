#include "memory/raise-error.h"

#include "base/system-throw.h"

namespace vum::errors {

Designation last_raised{0, nullptr};

void raise(Category category, const char* id) {
    last_raised = {category, id};
    sys::throw_code(sys::code_language_error);
}

}  // namespace vum::errors
