#include "datatypes/logic.h"

#include "datatypes/actions.h"
#include "datatypes/random.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/raise-error.h"
#include "memory/value-stack.h"

namespace vum::core_types {

const Cell unset_cell = {type_unset, 0, 0, 0};
const Cell none_cell = {type_none, 0, 0, 0};
const Cell true_cell = {type_logic, 1, 0, 0};
const Cell false_cell = {type_logic, 0, 0, 0};

namespace {

using namespace actions;

int32_t put(uint32_t buffer, const char* text, const Cell* arg, int32_t limit) {
    return string::put_limited(buffer, text, arg, limit);
}

bool equality_op(int32_t op) { return op == op_equal || op == op_not_equal || op == op_strict_equal || op == op_same || op == op_find; }
bool equality_or_sort_op(int32_t op) { return equality_op(op) || op == op_sort || op == op_case_sort; }

// datatype!
int32_t datatype_form(const Cell* v, uint32_t buffer, const Cell* arg, int32_t limit) {
    const datatype::NameEntry& e = datatype::names[v->w1];
    std::string name(e.name ? e.name : "?", size_t(e.name ? e.length : 1));
    return put(buffer, name.c_str(), arg, limit);
}

int32_t datatype_mold(const Cell* v, uint32_t buffer, bool, bool all, bool, const Cell* arg, int32_t limit, int32_t) {
    const char* name = datatype::names[v->w1].name ? datatype::names[v->w1].name : "?!";
    if (all) limit = put(buffer, "#(", arg, limit);
    limit = put(buffer, name, arg, limit);
    if (all) limit = put(buffer, ")", arg, limit);
    return limit;
}

int32_t datatype_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!equality_op(op)) return not_comparable;
    return cell::type(b) == type_datatype && b->w1 == a->w1 ? 0 : 1;
}

// unset!
void unset_make(const Cell*, const Cell*, int32_t, Cell* result) { *result = unset_cell; }
int32_t unset_form(const Cell*, uint32_t, const Cell*, int32_t limit) { return limit; }
int32_t unset_mold(const Cell*, uint32_t buffer, bool, bool all, bool, const Cell* arg, int32_t limit, int32_t) {
    return put(buffer, all ? "#(unset)" : "unset", arg, limit);
}
int32_t unset_compare(const Cell*, const Cell* b, int32_t op) {
    if (cell::type(b) != type_unset) return not_comparable;
    return equality_or_sort_op(op) ? 0 : not_comparable;
}

// none!
void none_make(const Cell*, const Cell*, int32_t, Cell* result) { *result = none_cell; }
int32_t none_form(const Cell*, uint32_t buffer, const Cell* arg, int32_t limit) { return put(buffer, "none", arg, limit); }
int32_t none_mold(const Cell*, uint32_t buffer, bool, bool all, bool, const Cell* arg, int32_t limit, int32_t) {
    return put(buffer, all ? "#(none)" : "none", arg, limit);
}
int32_t none_compare(const Cell*, const Cell* b, int32_t op) {
    if (cell::type(b) != type_none) return not_comparable;
    return equality_or_sort_op(op) ? 0 : not_comparable;
}
void none_clear(Cell*, Cell* result) { *result = none_cell; }
void none_find(const Cell*, const Cell*, const FindOptions&, Cell* result) { *result = none_cell; }
void none_remove(Cell*, const Cell*, const Cell*, Cell* result) { *result = none_cell; }
void none_take(Cell*, const Cell*, bool, bool, Cell* result) { *result = none_cell; }
int32_t none_length(Cell*) { return -1; }

// logic!
void logic_to(const Cell*, const Cell* spec, int32_t, Cell* result) {
    if (cell::type(spec) == type_logic) {
        *result = *spec;
        return;
    }
    *result = cell::type(spec) == type_none ? false_cell : true_cell;
}

void logic_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    switch (cell::type(spec)) {
        case type_integer:
            *result = cell::get_integer(spec) != 0 ? true_cell : false_cell;
            return;
        case type_float: case type_percent:
            // Only 0.0 is false; a NaN is true.
            *result = cell::get_double(spec) == 0.0 ? false_cell : true_cell;
            return;
        default:
            logic_to(prototype, spec, type, result);
    }
}

int32_t logic_form(const Cell* v, uint32_t buffer, const Cell* arg, int32_t limit) {
    return put(buffer, v->w1 & 1 ? "true" : "false", arg, limit);
}

int32_t logic_mold(const Cell* v, uint32_t buffer, bool, bool all, bool, const Cell* arg, int32_t limit, int32_t) {
    if (!all) return logic_form(v, buffer, arg, limit);
    return put(buffer, v->w1 & 1 ? "#(true)" : "#(false)", arg, limit);
}

int32_t logic_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_logic) return not_comparable;
    if (!equality_or_sort_op(op)) return not_comparable;
    return int32_t(a->w1 & 1) - int32_t(b->w1 & 1);
}

void logic_random(Cell* value, bool seed, bool secure, bool, Cell* result) {
    if (seed) {
        random::mt_seed(value->w1);
        *result = unset_cell;
        return;
    }
    // Draws lie in 0 ... 2^31 - 1: above the midpoint is an even chance.
    *result = random::next(secure) > 1073741823 ? true_cell : false_cell;
}

void logic_complement(Cell* value, Cell* result) {
    *result = *value;
    result->w1 ^= 1;
}

template <int Op>
void logic_bitwise() {
    Cell* a = stack::arg(0);
    const Cell* b = stack::arg(1);
    if (cell::type(b) != type_logic) {
        Cell name = stack::frame_name_for_error();
        Cell type = cell::make_datatype(cell::type(b));
        Cell parameter = none_cell;
        errors::raise(err::script::expect_arg, &name, &type, &parameter);
    }
    uint32_t x = a->w1 & 1, y = b->w1 & 1;
    a->header = type_logic;
    a->w1 = Op == 0 ? (x & y) : Op == 1 ? (x | y) : (x ^ y);
}

}  // namespace

void init_datatype() {
    Row r(type_datatype, "datatype!");
    r.set<slot_form>(datatype_form)
        .set<slot_mold>(datatype_mold)
        .set<slot_compare>(datatype_compare);
    datatype::register_type(r);
}

void init_unset() {
    Row r(type_unset, "unset!");
    r.set<slot_make>(unset_make)
        .set<slot_to>(unset_make)
        .set<slot_form>(unset_form)
        .set<slot_mold>(unset_mold)
        .set<slot_compare>(unset_compare);
    datatype::register_type(r);
}

void init_none() {
    Row r(type_none, "none!");
    r.set<slot_make>(none_make)
        .set<slot_to>(none_make)
        .set<slot_form>(none_form)
        .set<slot_mold>(none_mold)
        .set<slot_compare>(none_compare)
        .set<slot_clear>(none_clear)
        .set<slot_find>(none_find)
        .set<slot_length_q>(none_length)
        .set<slot_remove>(none_remove)
        .set<slot_select>(none_find)
        .set<slot_take>(none_take);
    datatype::register_type(r);
}

void init_logic() {
    Row r(type_logic, "logic!");
    r.set<slot_make>(logic_make)
        .set<slot_random>(logic_random)
        .set<slot_to>(logic_to)
        .set<slot_form>(logic_form)
        .set<slot_mold>(logic_mold)
        .set<slot_compare>(logic_compare)
        .set<slot_and>(logic_bitwise<0>)
        .set<slot_or>(logic_bitwise<1>)
        .set<slot_xor>(logic_bitwise<2>)
        .set<slot_complement>(logic_complement);
    datatype::register_type(r);
}

void check_condition() {
    if (cell::type(stack::arg(0)) == type_unset) errors::raise(err::script::no_return);
}

bool top_falsy() {
    const Cell* c = stack::arg(0);
    return cell::type(c) == type_none || (cell::type(c) == type_logic && !(c->w1 & 1));
}

bool last_falsy() {
    const Cell* c = stack::s.args_top > stack::s.args ? stack::s.args_top - 1 : stack::s.args;
    return cell::type(c) == type_none || (cell::type(c) == type_logic && !(c->w1 & 1));
}

}  // namespace vum::core_types
