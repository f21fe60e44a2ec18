#include "datatypes/native.h"

#include <algorithm>
#include <array>

#include "datatypes/function.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"

namespace vum {

namespace {

using namespace actions;

std::array<NativeFn, natives::table_size> native_table{};
std::array<NativeFn, natives::front_end_count> front_end_table{};

int32_t count_of(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }
Cell cell_at(uint32_t node, int32_t i) { return series::cells_head(node)[i]; }
int32_t canonical(const Cell* word) { return symbols::resolve(int32_t(word->w2)); }
int32_t canonical_of(const char* text) { return symbols::resolve(symbols::make(text)); }

int32_t put(uint32_t buffer, const char* text, const Cell* arg, int32_t limit) {
    return string::put_limited(buffer, text, arg, limit);
}

bool used_up(const Cell* arg, int32_t limit) { return string::limit_used(arg, limit); }

uint8_t source_type(const Cell* op) { return uint8_t((op->header & cell::op_source_mask) >> cell::op_source_shift); }

bool from_function(const Cell* value) {
    uint8_t t = cell::type(value) == type_op ? source_type(value) : cell::type(value);
    return t == type_function || t == type_routine;
}

[[noreturn]] void bad_make(int32_t type, const Cell* argument) {
    Cell datatype = cell::make_datatype(uint8_t(type));
    errors::raise(err::script::bad_make_arg, &datatype, argument);
}

// make native! and make action!: [spec index].
void native_make(const Cell*, const Cell* spec, int32_t type, Cell* result) {
    gc::Local argument(*spec);
    if (cell::type(&argument) != type_block || series::length_from_head(&argument) != 2) bad_make(type, &argument);
    gc::Local spec_block(cell_at(argument.w2, int32_t(argument.w1)));
    Cell index = cell_at(argument.w2, int32_t(argument.w1) + 1);
    int32_t limit = type == type_action ? natives::front_end_count : natives::table_size;
    if (cell::type(&spec_block) != type_block || cell::type(&index) != type_integer) bad_make(type, &argument);
    int32_t entry = cell::get_integer(&index);
    if (entry < 1 || entry > limit) bad_make(type, &argument);
    // An entry the engine has not filled (the natives after the last one
    // built, the action slot of set-path) would fail only when called, far
    // from where the value was made: it is refused here.
    NativeFn code = type == type_action ? natives::front_end_at(entry) : natives::native_at(entry);
    if (!code) bad_make(type, &argument);

    if (spec_block.w1 != 0) {
        int32_t n = std::max(count_of(spec_block.w2) - int32_t(spec_block.w1), 0);
        uint32_t node = n > 0 ? series::copy_part(spec_block.w2, int32_t(spec_block.w1), n) : memory::alloc_cells(1);
        spec_block = {type_block, 0, node, 0};
    }
    uint32_t info = memory::alloc_cells(2);
    gc::ProtectNode keep_info(&info);
    cell::make_none(series::alloc_tail_cell(info));
    cell::make_none(series::alloc_tail_cell(info));
    uint32_t ctx = context::make_from_block(&spec_block, true, false, context::kind_function);
    series::cells_mut_untracked(info)[0] = *context::context_cell(ctx);  // the fresh info record
    *result = {uint32_t(type), uint32_t(entry), spec_block.w2, info};
}

void op_make(const Cell*, const Cell* source, int32_t, Cell* result) {
    Cell s = *source;
    uint8_t t = cell::type(&s);
    if (t != type_native && t != type_action && t != type_function && t != type_routine) {
        Cell datatype = cell::make_datatype(t);
        errors::raise(err::script::invalid_type, &datatype);
    }
    if (!natives::is_operator_spec(s.w2)) errors::raise(err::script::bad_op_spec);
    if (t == type_function || t == type_routine) series::cells_mut_untracked(s.w3)[function::info_op] = s;  // info, never code
    s.header = uint32_t(type_op) | uint32_t(t) << cell::op_source_shift;
    *result = s;
}

void native_reflect(const Cell* value, int32_t field_symbol, Cell* result) {
    Cell v = *value;
    int32_t field = symbols::resolve(field_symbol);
    if (field == canonical_of("spec")) {
        *result = {type_block, 0, v.w2, 0};
        return;
    }
    if (field == canonical_of("body")) {
        if (from_function(&v))
            *result = cell_at(v.w3, function::info_body);
        else
            cell::make_integer(result, int32_t(v.w1));
        return;
    }
    errors::raise(err::internal::not_done);
}

template <const char* Text>
int32_t text_form(const Cell*, uint32_t buffer, const Cell* arg, int32_t limit) {
    return put(buffer, Text, arg, limit);
}
constexpr char native_text[] = "?native?";
constexpr char action_text[] = "?action?";
constexpr char op_text[] = "?op?";

// The spec between the given brackets' texts.
int32_t mold_spec(const Cell* value, uint32_t buffer, const char* open, const char* close, bool all, bool flat,
                  const Cell* arg, int32_t limit, int32_t indent) {
    gc::ProtectNode keep_buffer(&buffer);
    gc::Local spec({type_block, 0, value->w2, 0});
    limit = put(buffer, open, arg, limit);
    if (used_up(arg, limit)) return limit;
    limit = call_mold(&spec, buffer, false, all, flat, arg != nullptr, limit, indent);
    if (used_up(arg, limit)) return limit;
    return put(buffer, close, arg, limit);
}

int32_t native_mold(const Cell* value, uint32_t buffer, bool, bool all, bool flat, const Cell* arg, int32_t limit,
                    int32_t indent) {
    const char* open = cell::type(value) == type_action ? "make action! [" : "make native! [";
    return mold_spec(value, buffer, open, "]", all, flat, arg, limit, indent);
}

int32_t op_mold(const Cell* value, uint32_t buffer, bool, bool all, bool flat, const Cell* arg, int32_t limit,
                int32_t indent) {
    gc::Local v(*value);
    gc::ProtectNode keep_buffer(&buffer);
    limit = put(buffer, "make op! ", arg, limit);
    if (used_up(arg, limit)) return limit;
    if (source_type(&v) != type_function) return mold_spec(&v, buffer, "[", "]", all, flat, arg, limit, indent);
    limit = mold_spec(&v, buffer, "func ", "", all, flat, arg, limit, indent);
    if (used_up(arg, limit)) return limit;
    gc::Local body(cell_at(v.w3, function::info_body));
    if (cell::type(&body) != type_block) return limit;
    return call_mold(&body, buffer, false, all, flat, arg != nullptr, limit, indent);
}

// Built-ins are the same when they run the same code (or, for operators
// from functions, share the context), whatever their specs say.
int32_t native_compare(const Cell* a, const Cell* b, int32_t op) {
    bool sameness = (op >= op_equal && op <= op_strict_equal) || (op >= op_sort && op <= op_same) || op == op_find;
    if (cell::type(a) != cell::type(b) || !sameness) return not_comparable;
    if (a->w1 == b->w1) return 0;
    return int32_t(a->w1) < int32_t(b->w1) ? -1 : 1;
}

}  // namespace

namespace native_type {

void init() {
    Row n(type_native, "native!");
    n.set<slot_make>(native_make)
        .set<slot_reflect>(native_reflect)
        .set<slot_form>(text_form<native_text>)
        .set<slot_mold>(native_mold)
        .set<slot_compare>(native_compare);
    datatype::register_type(n);

    Row a(type_action, "action!", type_native);
    a.set<slot_make>(native_make)
        .inherit<slot_reflect>()
        .set<slot_form>(text_form<action_text>)
        .set<slot_mold>(native_mold)
        .set<slot_compare>(native_compare);
    datatype::register_type(a);

    Row o(type_op, "op!", type_native);
    o.set<slot_make>(op_make)
        .inherit<slot_reflect>()
        .set<slot_form>(text_form<op_text>)
        .set<slot_mold>(op_mold)
        .set<slot_compare>(native_compare);
    datatype::register_type(o);
}

}  // namespace native_type

namespace natives {

void set_native(int32_t index, NativeFn fn) {
    if (index >= 1 && index <= table_size) native_table[size_t(index) - 1] = fn;
}
NativeFn native_at(int32_t index) {
    return index >= 1 && index <= table_size ? native_table[size_t(index) - 1] : nullptr;
}
void set_front_end(int32_t slot, NativeFn fn) {
    if (slot >= 1 && slot <= front_end_count) front_end_table[size_t(slot) - 1] = fn;
}
NativeFn front_end_at(int32_t slot) {
    return slot >= 1 && slot <= front_end_count ? front_end_table[size_t(slot) - 1] : nullptr;
}

bool is_operator_spec(uint32_t spec) {
    const int32_t local = canonical_of("local");
    const int32_t extern_word = canonical_of("extern");
    int32_t count = 0;
    bool plain_seen = false;
    for (int32_t i = 0; i < count_of(spec); i++) {
        Cell c = cell_at(spec, i);
        uint8_t t = cell::type(&c);
        if (t == type_string || t == type_block) continue;
        if (t == type_word) {
            plain_seen = true;
            count++;
        } else if (t == type_lit_word || t == type_get_word) {
            // The left operand is evaluated before the operator is seen:
            // it cannot be taken literally.
            if (!plain_seen) return false;
            count++;
        } else if (t == type_set_word) {
            break;
        } else if (t == type_refinement) {
            if (canonical(&c) == local || canonical(&c) == extern_word) break;
            return false;
        } else {
            return false;
        }
    }
    return count == 2;
}

}  // namespace natives

}  // namespace vum
