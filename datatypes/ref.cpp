#include "datatypes/ref.h"

#include "datatypes/actions.h"
#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string.h"
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
    Row r(type_ref, "ref!", type_string);
    r.inherit(text_series_slots)
        .inherit<slot_make, slot_reflect, slot_to, slot_form, slot_compare>()
        .set<slot_mold>(ref::mold);
    datatype::register_type(r);
}

}  // namespace vum::ref_type
