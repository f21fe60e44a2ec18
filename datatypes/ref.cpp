#include "datatypes/ref.h"

#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string.h"
#include "engine/actions.h"
#include "memory/collector.h"
#include "memory/value-stack.h"

namespace vum::ref {

Cell* push(const Cell* value) { return stack::push_copy(value); }

int32_t mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    gc::Local v(*value);
    limit = string::put_limited(buffer, "@", arg, limit);
    if (string::limit_used(arg, limit)) return limit;
    return string::form(&v, buffer, arg, limit);
}

}  // namespace vum::ref

namespace vum::ref_type {

void init() {
    using namespace actions;
    datatype::Record r{type_ref, type_string, "ref!", {}};
    for (int32_t k = 1; k <= datatype::action_count; k++) {
        bool none = k == slot_random || k == slot_eval_path || k == slot_set_path ||
                    (k >= slot_absolute && k <= slot_append) || k == slot_put || k == slot_sort || k == slot_trim ||
                    k >= slot_create;
        r.slots[k - 1] = none ? nullptr : datatype::inherit();
    }
    r.slots[slot_mold - 1] = handler(ref::mold);
    datatype::register_type(65, r);
}

}  // namespace vum::ref_type
