#include "view/event-type.h"

#include "datatypes/actions.h"
#include "datatypes/registry.h"
#include "view/module-routines.h"

namespace vum::view {

namespace {

using namespace actions;

// The handler of a slot, found in the module once.
template <class Fn>
Fn entry(Fn* cached, const char* symbol) {
    if (!*cached) *cached = reinterpret_cast<Fn>(module_entry(symbol));
    return *cached;
}

void event_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    static MakeFn code = nullptr;
    entry(&code, "vum_view_event_make")(prototype, spec, type, result);
}

int32_t event_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    static FormFn code = nullptr;
    return entry(&code, "vum_view_event_form")(value, buffer, arg, limit);
}

int32_t event_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
                   int32_t indent) {
    static MoldFn code = nullptr;
    return entry(&code, "vum_view_event_mold")(value, buffer, only, all, flat, arg, limit, indent);
}

void event_path(const PathStep& step, Cell* result) {
    static EvalPathFn code = nullptr;
    entry(&code, "vum_view_event_path")(step, result);
}

int32_t event_compare(const Cell* a, const Cell* b, int32_t op) {
    static CompareFn code = nullptr;
    return entry(&code, "vum_view_event_compare")(a, b, op);
}

void event_pick(const Cell* value, const Cell* index, int32_t boxed, Cell* result) {
    static PickFn code = nullptr;
    entry(&code, "vum_view_event_pick")(value, index, boxed, result);
}

}  // namespace

void register_event_type() {
    Row r(type_event, "event!");
    r.set<slot_make>(event_make)
        .set<slot_form>(event_form)
        .set<slot_mold>(event_mold)
        .set<slot_eval_path>(event_path)
        .set<slot_compare>(event_compare)
        .set<slot_pick>(event_pick);
    datatype::register_type(r);
}

}  // namespace vum::view
