#include "datatypes/actions.h"

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"

namespace vum::actions {

namespace {

constexpr const char* slot_names[datatype::action_count + 1] = {
    nullptr, "make", "random", "reflect", "to", "form", "mold", nullptr, nullptr, nullptr,
    "absolute", "add", "divide", "multiply", "negate", "power", "remainder", "round", "subtract",
    "even?", "odd?", "and~", "complement", "or~", "xor~", "append", "at", "back", "change", "clear",
    "copy", "find", "head", "head?", "index?", "insert", "length?", "move", "next", "pick", "poke",
    "put", "remove", "reverse", "select", "sort", "skip", "swap", "tail", "tail?", "take", "trim",
    "create", "close", "delete", "modify", "open", "open?", "query", "read", "rename", "update",
    "write",
};

Cell words[datatype::action_count + 1];

}  // namespace

void fill_table() {
    // The action words stand in the global context in this order.
    auto make = [](int32_t slot) { words[slot] = context::load_word(slot_names[slot]); };
    for (int32_t slot = slot_make; slot <= slot_mold; slot++) make(slot);
    make(slot_modify);
    for (int32_t slot = slot_absolute; slot <= slot_write; slot++)
        if (slot != slot_modify) make(slot);
}

Cell word(int32_t slot) {
    if (slot < 1 || slot > datatype::action_count || !slot_names[slot] || cell::type(&words[slot]) == 0)
        return {type_none, 0, 0, 0};
    return words[slot];
}

datatype::Handler detail::dispatch(int32_t type, const Cell* value, int32_t slot) {
    datatype::Handler h = datatype::handler(type, slot);
    if (h) return h;
    Cell name = word(slot);
    Cell datatype_value = {type_datatype, uint32_t(type), 0, 0};
    if (slot == slot_eval_path) errors::raise(err::script::bad_path_type2, value, &datatype_value);
    errors::raise(err::script::expect_arg, &name, &datatype_value);
}

int32_t call_form(const Cell* value, uint32_t buffer, bool part, int32_t limit) {
    Cell none = {type_none, 0, 0, 0};
    return lookup<slot_form>(value)(value, buffer, part ? &none : nullptr, limit);
}

int32_t call_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, bool part, int32_t limit,
                  int32_t indent) {
    Cell none = {type_none, 0, 0, 0};
    return lookup<slot_mold>(value)(value, buffer, only, all, flat, part ? &none : nullptr, limit, indent);
}

int32_t call_compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t t = cell::type(a);
    auto order = [](uint32_t x, uint32_t y) { return x < y ? -1 : x > y ? 1 : 0; };
    switch (t) {
        case type_logic:
            if (cell::type(b) != type_logic) return not_comparable;
            return int32_t(a->w1) - int32_t(b->w1) < 0 ? -1 : a->w1 != b->w1;
        case type_native: case type_action: case type_op:
            if (cell::type(b) != t) return not_comparable;
            return order(a->w1, b->w1);
        case type_function: case type_routine:
            if (cell::type(b) != t) return not_comparable;
            return order(a->w3, b->w3);
        default: {
            CompareFn h = handler<slot_compare>(t);
            if (!h) return not_comparable;
            return h(a, b, op);
        }
    }
}

bool compare(const Cell* a, const Cell* b, int32_t op) {
    int32_t r = call_compare(a, b, op);
    if (r == not_comparable) {
        if (op == op_equal || op == op_strict_equal || (op >= op_same && op <= op_find)) return false;
        if (op == op_not_equal) return true;
        errors::raise(err::script::invalid_compare, a, b);
    }
    switch (op) {
        case op_not_equal: return r != 0;
        case op_lesser: return r < 0;
        case op_lesser_equal: return r <= 0;
        case op_greater: return r > 0;
        case op_greater_equal: return r >= 0;
        default: return r == 0;
    }
}

void call_copy(const Cell* value, Cell* result, const Cell* part, bool deep, const Cell* types) {
    lookup<slot_copy>(value)(value, result, part, deep, types);
}

std::string form_text(const Cell* value) {
    gc::Local v(*value);
    uint32_t buffer = string::make(16);
    gc::ProtectNode keep_buffer(&buffer);
    call_form(&v, buffer, false, -1);
    return string::node_to_utf8(buffer);
}

std::string mold_text(const Cell* value, bool all, bool flat) {
    gc::Local v(*value);
    uint32_t buffer = string::make(16);
    gc::ProtectNode keep_buffer(&buffer);
    call_mold(&v, buffer, false, all, flat, false, -1, 0);
    return string::node_to_utf8(buffer);
}

void field_set(const PathStep& step, const Cell* value) {
    if (!step.container || cell::type(step.container) == type_object) return;
    int32_t position =
        step.previous && cell::type(step.previous) == type_integer ? cell::get_integer(step.previous) - 1 : -1;
    ownership::check(step.container, ownership::action_word(ownership::action_set_path), value, position, 1);
}

}  // namespace vum::actions
