#include "datatypes/path.h"

#include <algorithm>
#include <cmath>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/cycle-guard.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum {

namespace {

using namespace actions;

int32_t cell_count(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }

Cell cell_at(uint32_t node, int32_t i) { return reinterpret_cast<const Cell*>(nodes::buffer(node)->head_ptr())[i]; }

int32_t put(uint32_t buffer, const char* text, const Cell* arg, int32_t limit) {
    return string::put_limited(buffer, text, arg, limit);
}

bool used_up(const Cell* arg, int32_t limit) { return string::limit_used(arg, limit); }

// A new series of the given type holding copies of the cells from the
// source's head (room for at least one).
Cell clone(const Cell* source, uint8_t type) {
    int32_t n = std::max(cell_count(source->w2) - int32_t(source->w1), 0);
    uint32_t node = n > 0 ? series::copy_part(source->w2, int32_t(source->w1), n) : memory::alloc_cells(1);
    return {type, 0, node, 0};
}

Cell holding(const Cell* value, uint8_t type) {
    gc::Local v(*value);
    gc::Local result({type, 0, memory::alloc_cells(1), 0});
    *series::alloc_tail_cell(result.w2) = v;
    return result;
}

// The elements joined by "/"; the path kinds' prefixes and suffix are added
// by their own mold handlers.
int32_t join(const Cell* path, uint32_t buffer, bool mold, bool only, bool all, bool flat, const Cell* arg,
             int32_t limit, int32_t indent) {
    gc::Local p(*path);
    gc::ProtectNode keep_buffer(&buffer);
    if (block_actions::emit_ellipsis(&p, buffer, &limit, mold)) return limit;
    cycles::Visit visit(p.w2);
    for (int32_t j = int32_t(p.w1); j < cell_count(p.w2); j++) {
        gc::Local element(cell_at(p.w2, j));
        limit = mold ? call_mold(&element, buffer, only, all, flat, arg != nullptr, limit, indent)
                     : call_form(&element, buffer, arg != nullptr, limit);
        if (used_up(arg, limit)) break;
        if (j + 1 < cell_count(p.w2)) limit = put(buffer, "/", arg, limit);
    }
    return limit;
}

int32_t path_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return join(value, buffer, false, false, false, false, arg, limit, 0);
}

int32_t path_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg,
                  int32_t limit, int32_t indent) {
    return join(value, buffer, true, only, all, flat, arg, limit, indent);
}

template <char Prefix, char Suffix>
int32_t marked_path_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg,
                         int32_t limit, int32_t indent) {
    const char prefix[2] = {Prefix, 0}, suffix[2] = {Suffix, 0};
    if (Prefix) {
        limit = put(buffer, prefix, arg, limit);
        if (used_up(arg, limit)) return limit;
    }
    limit = join(value, buffer, true, only, all, flat, arg, limit, indent);
    if (Suffix && !used_up(arg, limit)) limit = put(buffer, suffix, arg, limit);
    return limit;
}

void path_to(const Cell* prototype, const Cell* value, int32_t type, Cell* result) {
    uint8_t t = cell::type(value);
    if (block_actions::is_any_block(t)) {
        *result = clone(value, uint8_t(type));
        return;
    }
    if (t == type_object || t == type_typeset || t == type_map) {
        *result = holding(value, uint8_t(type));
        return;
    }
    // Everything else converts as to block! does.
    if (MakeFn h = actions::handler<slot_to>(type_block); h && datatype::is_registered(type_block)) {
        h(prototype, value, type, result);
        cell::set_type(result, uint8_t(type));
        return;
    }
    *result = holding(value, uint8_t(type));
}

void path_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    uint8_t t = cell::type(spec);
    if (block_actions::is_any_block(t)) {
        path_to(prototype, spec, type, result);
        return;
    }
    if (t == type_integer || t == type_float || t == type_percent) {
        double n = t == type_integer ? cell::get_integer(spec) : cell::get_double(spec);
        // A negative size or NaN counts as an empty path like 0; a number
        // past 32 bits is no size at all, and a size past what a series
        // holds is the allocator's no-memory error.
        if (n > 2147483647.0 || n < -2147483648.0) errors::raise(err::script::out_of_range, spec);
        n = std::isnan(n) ? 1 : std::clamp(std::trunc(n), 1.0, 2147483647.0 / 16);
        *result = {uint32_t(type), 0, memory::alloc_cells(int32_t(n)), 0};
        return;
    }
    Cell datatype_value = cell::make_datatype(uint8_t(type));
    errors::raise(err::script::bad_make_arg, &datatype_value, spec);
}

int32_t paren_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg,
                   int32_t limit, int32_t indent) {
    if (block_actions::emit_ellipsis(value, buffer, &limit, true)) return limit;
    if (only) return block_actions::mold_each(value, buffer, true, all, flat, arg, limit, indent);
    limit = put(buffer, "(", arg, limit);
    limit = block_actions::mold_each(value, buffer, false, all, flat, arg, limit, indent);
    return put(buffer, ")", arg, limit);
}

void push_as(Cell* c, uint8_t type) {
    cell::set_type(c, type);
    stack::push_copy(c);
}

}  // namespace

namespace path {

void init() {
    Row r(type_path, "path!", type_block);
    r.inherit_all()
        .set<slot_make>(path_make)
        .set<slot_to>(path_to)
        .set<slot_form>(path_form)
        .set<slot_mold>(path_mold)
        // copy is block!'s own, inherited; these three a path does not have.
        .without<slot_random, slot_sort, slot_trim>();
    datatype::register_type(r);

    struct Kind {
        int32_t type;
        const char* name;
        MoldFn mold;
    } kinds[] = {
        {type_lit_path, "lit-path!", marked_path_mold<'\'', 0>},
        {type_set_path, "set-path!", marked_path_mold<0, ':'>},
        {type_get_path, "get-path!", marked_path_mold<':', 0>},
    };
    for (const Kind& k : kinds) {
        datatype::register_type(Row(k.type, k.name, type_path).inherit_all().set<slot_mold>(k.mold));
    }
}

void make_at(Cell* c, int32_t n) {
    uint32_t node = memory::alloc_cells(std::max(n, 1));
    cell::make_series(c, type_path, node);
}

void push_from(Cell* c) { push_as(c, type_path); }
void push_lit_from(Cell* c) { push_as(c, type_lit_path); }
void push_set_from(Cell* c) { push_as(c, type_set_path); }
void push_get_from(Cell* c) { push_as(c, type_get_path); }

}  // namespace path

namespace paren {

void init() {
    datatype::register_type(
        Row(type_paren, "paren!", type_block).inherit_all().set<slot_mold>(paren_mold).without<slot_trim>());
}

void push_from(Cell* c) { push_as(c, type_paren); }

}  // namespace paren

}  // namespace vum
