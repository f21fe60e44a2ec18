#include "datatypes/typeset.h"

#include "datatypes/actions.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/symbols.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::typeset {

namespace {

constexpr int32_t byte_count = 12;

uint8_t* bytes(Cell* ts) { return reinterpret_cast<uint8_t*>(&ts->w1); }

Cell empty() { return {type_typeset, 0, 0, 0}; }

void or_into(Cell* ts, const Cell* other) {
    ts->w1 |= other->w1;
    ts->w2 |= other->w2;
    ts->w3 |= other->w3;
}

[[noreturn]] void invalid_arg(const Cell* value) { errors::raise(err::script::invalid_arg, value); }

}  // namespace

Cell* clear(Cell* ts) {
    ts->w1 = ts->w2 = ts->w3 = 0;
    return ts;
}

Cell* set_type(Cell* ts, uint8_t type) {
    if ((type >> 3) < byte_count) bytes(ts)[type >> 3] |= uint8_t(0x80 >> (type & 7));
    return ts;
}

int32_t count(const Cell* ts) {
    int32_t n = 0;
    for (int32_t t = 1; t <= datatype::max_type_id; t++) n += has_type(ts, uint8_t(t));
    return n;
}

Cell any_value() {
    Cell ts = {type_typeset, ~0u, ~0u, ~0u};
    bytes(&ts)[type_unset >> 3] &= uint8_t(~(0x80 >> (type_unset & 7)));
    return ts;
}

void load_into_block(const Cell* block, uint32_t w1, uint32_t w2, uint32_t w3) {
    *series::alloc_tail(block) = {type_typeset, w1, w2, w3};
}

void append_any_value(const Cell* block) {
    Cell ts = any_value();
    *series::alloc_tail(block) = ts;
}

void append_from_spec(const Cell* block, const Cell* spec) {
    // Built whole before it joins the block: reading the spec allocates
    // nothing, so its cells stay put, and an error leaves the block as it was.
    Cell ts = empty();
    uint32_t node = spec->w2;
    int32_t total = int32_t(nodes::buffer(node)->count());
    for (int32_t i = int32_t(spec->w1); i < total; i++) {
        Cell v = series::cells_head(node)[i];
        if (cell::type(&v) == type_word) v = word::value_of(&v);
        switch (cell::type(&v)) {
            case type_datatype: set_type(&ts, uint8_t(v.w1)); break;
            case type_typeset: or_into(&ts, &v); break;
            case type_word: set_type(&ts, type_object); break;
            case type_block: break;
            default: errors::raise(err::script::invalid_type_spec, &v);
        }
    }
    *series::alloc_tail(block) = ts;
}

void add(Cell* ts, const Cell* value) {
    Cell v = *value;
    if (cell::type(&v) == type_word) v = word::value_of(&v);
    switch (cell::type(&v)) {
        case type_typeset: or_into(ts, &v); return;
        case type_datatype: set_type(ts, uint8_t(v.w1)); return;
        default: invalid_arg(value);
    }
}

void to_block(const Cell* ts, Cell* out) {
    Cell set = *ts;
    uint32_t node = memory::alloc_cells(4);
    gc::ProtectNode keep(&node);
    for (int32_t t = 1; t <= datatype::max_type_id; t++) {
        if (!has_type(&set, uint8_t(t)) || !datatype::is_registered(t)) continue;
        Cell w = datatype::names[t].word;
        if (cell::type(&w) == 0) w = context::add_to_global(symbols::make(datatype::names[t].name), true, true);
        *series::alloc_tail_cell(node) = w;
    }
    cell::make_series(out, type_block, node);
}

Cell* push(const Cell* ts) { return stack::push_copy(ts); }

void set_operation(int32_t op) {
    if (op == set_unique) return;
    Cell a = *stack::arg(0), b = *stack::arg(1);
    if (cell::type(&b) == type_datatype) {
        Cell one = empty();
        b = *set_type(&one, uint8_t(b.w1));
    } else if (cell::type(&b) != type_typeset) {
        invalid_arg(stack::arg(1));
    }
    Cell r = empty();
    switch (op) {
        case set_or: case set_union: r.w1 = a.w1 | b.w1, r.w2 = a.w2 | b.w2, r.w3 = a.w3 | b.w3; break;
        case set_and: case set_intersect: r.w1 = a.w1 & b.w1, r.w2 = a.w2 & b.w2, r.w3 = a.w3 & b.w3; break;
        case set_xor: case set_difference: r.w1 = a.w1 ^ b.w1, r.w2 = a.w2 ^ b.w2, r.w3 = a.w3 ^ b.w3; break;
        case set_exclude: r.w1 = a.w1 & ~b.w1, r.w2 = a.w2 & ~b.w2, r.w3 = a.w3 & ~b.w3; break;
        default: {
            Cell n;
            cell::make_integer(&n, op);
            invalid_arg(&n);
        }
    }
    *stack::arg(0) = r;
}

}  // namespace vum::typeset

namespace vum::typeset_type {

namespace {

using namespace actions;

int32_t put(uint32_t buffer, const char* text, int32_t n, int32_t limit) {
    for (int32_t i = 0; i < n; i++) string::append_char(buffer, uint8_t(text[i]));
    return limit - n;
}

// One routine for both: form writes what mold does.
int32_t typeset_mold(const Cell* v, uint32_t buffer, bool only, bool, bool, const Cell* arg, int32_t limit,
                     int32_t) {
    Cell ts = *v;
    if (!only) limit = put(buffer, "make typeset! [", 15, limit);
    bool any = false;
    for (int32_t t = 1; t <= datatype::max_type_id; t++) {
        // A bit of no registered type has no name to write.
        if (!typeset::has_type(&ts, uint8_t(t)) || !datatype::is_registered(t)) continue;
        if (arg && limit <= 0) return limit;
        const datatype::NameEntry& e = datatype::names[t];
        put(buffer, e.name, e.length + 1, 0);
        string::append_char(buffer, ' ');
        limit -= e.length + 2;
        any = true;
    }
    if (only) {
        if (any) {
            string::cut(buffer, string::length(buffer) - 1);
            limit++;
        }
        return limit;
    }
    if (any) string::cut(buffer, string::length(buffer) - 1);
    string::append_char(buffer, ']');
    return any ? limit : limit - 1;
}

int32_t typeset_form(const Cell* v, uint32_t buffer, const Cell* arg, int32_t limit) {
    return typeset_mold(v, buffer, false, false, false, arg, limit, 0);
}

int32_t typeset_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_typeset) return not_comparable;
    switch (op) {
        case op_equal: case op_not_equal: case op_strict_equal: case op_same: case op_find:
            return a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3 ? 0 : 1;
        case op_sort: case op_case_sort: {
            int32_t x = typeset::count(a), y = typeset::count(b);
            return x < y ? -1 : x > y ? 1 : 0;
        }
        default: return not_comparable;
    }
}

void typeset_make(const Cell*, const Cell* spec, int32_t, Cell* result) {
    gc::Local s(*spec);
    switch (cell::type(&s)) {
        case type_typeset: *result = s; return;
        case type_block: {
            Cell ts = {type_typeset, 0, 0, 0};
            int32_t total = int32_t(nodes::buffer(s.w2)->count());
            for (int32_t i = int32_t(s.w1); i < total; i++) {
                Cell v = series::cells_head(s.w2)[i];
                typeset::add(&ts, &v);
            }
            *result = ts;
            return;
        }
        default: {
            Cell type = cell::make_datatype(type_typeset);
            errors::raise(err::script::bad_to_arg, &type, &s);
        }
    }
}

void typeset_complement(Cell* value, Cell* result) {
    Cell ts = *value;
    *result = {type_typeset, ~ts.w1, ~ts.w2, ~ts.w3};
}

template <int32_t Op>
void typeset_set_action() {
    typeset::set_operation(Op);
}

void typeset_find(const Cell* ts, const Cell* value, const FindOptions&, Cell* result) {
    if (cell::type(value) != type_datatype) errors::raise(err::script::invalid_arg, value);
    bool in = typeset::has_type(ts, uint8_t(value->w1));
    *result = in ? core_types::true_cell : core_types::false_cell;
}

}  // namespace

void init() {
    Row r(type_typeset, "typeset!");
    r.set<slot_make>(typeset_make)
        .set<slot_to>(typeset_make)
        .set<slot_form>(typeset_form)
        .set<slot_mold>(typeset_mold)
        .set<slot_compare>(typeset_compare)
        .set<slot_and>(typeset_set_action<typeset::set_and>)
        .set<slot_complement>(typeset_complement)
        .set<slot_or>(typeset_set_action<typeset::set_or>)
        .set<slot_xor>(typeset_set_action<typeset::set_xor>)
        .set<slot_find>(typeset_find);
    datatype::register_type(r);
}

}  // namespace vum::typeset_type
