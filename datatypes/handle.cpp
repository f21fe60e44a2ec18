#include "datatypes/handle.h"

#include "base/handle-registry.h"
#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "memory/series.h"
#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/value-stack.h"

namespace vum::handle {

namespace {
constexpr uint32_t no_slot = 0xFFFFFFFF;
}

const char* kind_name(uint32_t kind) {
    static const char* const names[] = {nullptr, "fd", "monitor", "window", "font", "rich-text"};
    return kind < sizeof names / sizeof names[0] ? names[kind] : nullptr;
}

Cell* make_at(Cell* c, uint32_t kind, uint32_t data) {
    *c = {type_handle, kind, data, no_slot};
    return c;
}

void set_result(uint32_t kind, uint32_t data) { make_at(stack::result(), kind, data); }

void append_to_block(const Cell* block, uint32_t kind, uint32_t data) {
    Cell h;
    make_at(&h, kind, data);
    *series::alloc_tail(block) = h;
}

Cell* push(uint32_t kind) { return make_at(stack::push_cell(), kind, 0); }

Cell* make_registered(Cell* c, uint32_t kind, void* data, int32_t registry_kind) {
    uint32_t slot = uint32_t(handle_registry::add(data, registry_kind));
    *c = {type_handle, kind, slot, slot};
    return c;
}

void* registered_data(const Cell* h, int32_t registry_kind) {
    if (cell::type(h) != type_handle || h->w3 == no_slot || h->w2 != h->w3) return nullptr;
    int32_t slot = int32_t(h->w3);
    if (!handle_registry::is_live(slot) || handle_registry::kind_of(slot) != registry_kind) return nullptr;
    return handle_registry::data(slot);
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    char text[10];
    const char* digits = string::to_hex_text(int32_t(value->w2), false);
    for (int i = 0; i < 8; i++) text[i] = digits[i];
    text[8] = 'h';
    text[9] = 0;
    return string::put_limited(buffer, text, arg, limit);
}

int32_t mold(const Cell* value, uint32_t buffer, bool, bool all, bool, const Cell* arg, int32_t limit, int32_t) {
    if (!all) return string::put_limited(buffer, "handle!", arg, limit);
    Cell v = *value;
    limit = string::put_limited(buffer, "#[handle! ", arg, limit);
    limit = form(&v, buffer, arg, limit);
    if (const char* name = kind_name(v.w1)) {
        limit = string::put_limited(buffer, " ", arg, limit);
        limit = string::put_limited(buffer, name, arg, limit);
    }
    return string::put_limited(buffer, "]", arg, limit);
}

int32_t compare(const Cell* a, const Cell* b, int32_t) {
    if (cell::type(b) != type_handle) return actions::not_comparable;
    int32_t x = int32_t(a->w2), y = int32_t(b->w2);
    return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace vum::handle

namespace vum::handle_type {

void init() {
    using namespace actions;
    Row r(type_handle, "handle!", type_integer);
    r.set<slot_form>(handle::form)
        .set<slot_mold>(handle::mold)
        .set<slot_compare>(handle::compare);
    datatype::register_type(r);
}

}  // namespace vum::handle_type
