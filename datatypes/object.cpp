#include "datatypes/object.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/call.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::object_type {

namespace {

using namespace actions;
namespace rs = runtime_symbols;

uint32_t class_counter = first_class_id;
Cell shared_none = {type_none, 0, 0, 0};
const Cell none_value = {type_none, 0, 0, 0};

// ---- Small helpers ----

uint32_t values_node(uint32_t ctx) { return cell::context_values(context::context_cell(ctx)); }
// Field values: storage, never code.
Cell* slot(uint32_t ctx, int32_t i) { return series::cells_mut_untracked(values_node(ctx)) + i; }
int32_t slot_count(uint32_t ctx) { return int32_t(nodes::buffer(values_node(ctx))->count()); }

// A never-written slot reads as unset!.
Cell read_slot(uint32_t ctx, int32_t i) {
    Cell v = *slot(ctx, i);
    if (cell::type(&v) == 0) cell::make_unset(&v);
    return v;
}

// The word of field i as a plain word! bound to the object.
Cell field_word(uint32_t ctx, int32_t i) {
    Cell w = *context::word_at(ctx, i);
    w.header = type_word;
    return w;
}

int32_t canonical(int32_t symbol) { return symbols::resolve(symbol); }
int32_t on_change_symbol() { return canonical(cell::word_symbol(&rs::words[rs::word_on_change_star])); }
int32_t on_deep_symbol() { return canonical(cell::word_symbol(&rs::words[rs::word_on_deep_change_star])); }

bool is_handler_word(uint32_t ctx, int32_t i) {
    int32_t s = canonical(cell::word_symbol(context::word_at(ctx, i)));
    return s == on_change_symbol() || s == on_deep_symbol();
}

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_issue; }
bool is_path_word(uint8_t t) {
    return t == type_word || t == type_set_word || t == type_get_word || t == type_lit_word;
}
bool is_number(uint8_t t) { return t == type_integer || t == type_float || t == type_percent; }
bool is_object_kind(uint8_t t) { return t == type_object || t == type_error || t == type_port; }

// The kinds make and copy give their own copy.
bool is_copied_series(uint8_t t) {
    switch (t) {
        case type_block: case type_paren: case type_string: case type_file: case type_url:
        case type_path: case type_lit_path: case type_set_path: case type_get_path:
        case type_tag: case type_email: case type_ref:
            return true;
        default:
            return false;
    }
}
bool is_rebound_block(uint8_t t) {
    return t == type_block || t == type_paren || (t >= type_path && t <= type_get_path) || t == type_hash;
}
bool can_copy(uint8_t t) { return datatype::is_registered(t) && datatype::handler(t, slot_copy) != nullptr; }

using string::put_char;
using string::put_indent;
using string::put_text;

void write_owner(const Cell& object) { *context::owner_cell(cell::context_node(&object)) = object; }

Cell datatype_of(const Cell* v) { return cell::make_datatype(cell::type(v) ? cell::type(v) : uint8_t(type_unset)); }

Cell new_block(int32_t n) {
    Cell b = none_value;
    block_actions::make_at(&b, n);
    return b;
}
void append(const Cell* block, const Cell& value) {
    gc::Local v(value);
    *series::alloc_tail(block) = v;
}

// Copies the series value in place through its copy action.
void copy_series_value(Cell* v, bool deep) {
    if (!is_copied_series(cell::type(v)) || !can_copy(cell::type(v))) return;
    gc::Local source(*v);
    call_copy(&source, v, nullptr, deep, nullptr);
}

// Each field's series copied; block kinds bound to the object.
void copy_fields(const Cell* object, bool deep) {
    uint32_t ctx = cell::context_node(object);
    gc::ProtectNode keep(&ctx);
    gc::Local v(none_value);
    for (int32_t i = 0; i < slot_count(ctx); i++) {
        v = *slot(ctx, i);
        if (!is_copied_series(cell::type(&v))) continue;
        copy_series_value(&v, deep);
        if (is_rebound_block(cell::type(&v))) context::bind_block(&v, ctx, true);
        *slot(ctx, i) = v;
    }
}

// A function held by a derived object: a new function over the same spec
// whose body is a fresh clone, bound to the object and then to the
// function's own context again, so its arguments and locals still win over
// fields of the same name. Without this every copy's methods would work on
// the prototype's fields.
Cell copy_function(const Cell* function, uint32_t ctx) {
    gc::Local f(*function);
    gc::ProtectNode keep_ctx(&ctx);
    gc::Local spec({type_block, 0, cell::function_spec(&f), 0});
    const Cell* info = series::cells_head(cell::function_info(&f));
    gc::Local body(info[function::info_body]);
    if (cell::type(&body) != type_block) errors::raise(err::script::bad_func_def, &spec);
    int32_t code = cell::type(&info[function::info_code]) == type_integer
                       ? cell::get_integer(&info[function::info_code]) : 0;
    bool owned = cell::type(&info[function::info_owner]) == type_integer;
    uint32_t own_ctx = function::push(&spec, &body, 0, code, owned ? ctx : 0, f.header);
    gc::ProtectNode keep_own(&own_ctx);
    gc::Local out(*stack::top_cell());
    stack::drop(1);
    out.header = f.header;
    Cell copy = series::cells_head(cell::function_info(&out))[function::info_body];
    context::bind_block(&copy, ctx, true);
    context::bind_block(&copy, own_ctx, false);
    return out;
}

// Every function! field of the object replaced by its own copy.
void copy_functions(const Cell* object) {
    uint32_t ctx = cell::context_node(object);
    gc::ProtectNode keep(&ctx);
    gc::Local v(none_value);
    for (int32_t i = 0; i < slot_count(ctx); i++) {
        if (cell::type(slot(ctx, i)) != type_function) continue;
        v = *slot(ctx, i);
        v = copy_function(&v, ctx);
        *slot(ctx, i) = v;
    }
}

// A new object context with the prototype's words and values, the same
// class id and header type; no change record yet.
Cell copy_object(const Cell* prototype) {
    gc::Local p(*prototype);
    int32_t n = context::word_count(cell::context_node(&p));
    uint32_t ctx = context::make(n, false, false, cell::context_node(&p), context::kind_object);
    gc::ProtectNode keep_ctx(&ctx);
    for (int32_t i = 0; i < n; i++) {
        Cell v = i < slot_count(cell::context_node(&p)) ? *slot(cell::context_node(&p), i) : core_types::unset_cell;
        *series::alloc_tail_cell(values_node(ctx)) = v;
    }
    clear_changed_marks(ctx);
    Cell out = {p.header & cell::type_mask, ctx, cell::object_class(&p), 0};
    write_owner(out);
    return out;
}

// Makes the object owner of the series in its fields.
void own_fields(const Cell* object) {
    gc::Local o(*object);
    for (int32_t i = 0; i < slot_count(cell::context_node(&o)); i++) {
        gc::Local w(field_word(cell::context_node(&o), i));
        ownership::set_owner(slot(cell::context_node(&o), i), &o, &w);
    }
    context::context_cell(cell::context_node(&o))->header |= cell::flag_owner;
}

// Stores into field i: the changed mark, and on-change* for an object with a
// change record (never for the handler fields themselves).
void write_field(const Cell* object, int32_t i, const Cell* value) {
    gc::Local o(*object);
    gc::Local v(*value);
    gc::Local old(read_slot(cell::context_node(&o), i));
    *slot(cell::context_node(&o), i) = v;
    context::word_at(cell::context_node(&o), i)->header |= cell::flag_slot_changed;
    if (cell::change_record(&o) && !is_handler_word(cell::context_node(&o), i)) {
        gc::Local w(field_word(cell::context_node(&o), i));
        call_change_handler(&o, &w, &old, &v);
    }
}

// Record cell k: refreshes the local count when the function's spec changed.
void refresh_record(uint32_t record, int32_t k, const Cell* function) {
    uint32_t spec = 0;
    int32_t locals = services::current.count_locals(function, &spec);
    Cell* r = series::cells_mut_untracked(record) + k;  // a change record, never code
    if (r->w3 == spec) return;
    r->w2 = (r->w2 & 0xFFFF0000u) | (uint32_t(locals) & 0xFFFF);
    r->w3 = spec;
}

// A handler's error passes to the code that made the change, as any error
// of a call it made would.
void run_handler(const Cell* function, const Cell* name, const Cell* args, int32_t count) {
    gc::Local result(Cell{});
    call::Call c(function, name);
    for (int32_t i = 0; i < count; i++) c.arg(args + i);
    c.run(&result);
}

void context_change_hook(const Cell* owner, const Cell* word, const Cell* old_value, const Cell* new_value) {
    call_change_handler(owner, word, old_value, new_value);
}

[[noreturn]] void raise_path(err::Script id, const actions::PathStep& step, const Cell* element) {
    Cell path = step.path ? *step.path : none_value;
    errors::raise(id, &path, element);
}

}  // namespace

// ------------------------------------------------------------ class ids

uint32_t next_class_id() { return ++class_counter; }

bool word_has_class(const Cell* word, uint32_t class_id) {
    if (!cell::word_context(word) || cell::word_index(word) < 0) return false;
    const Cell* v = context::get_word_value(word);
    return cell::type(v) == type_object && cell::object_class(v) == class_id;
}

bool slot_has_class(uint32_t ctx, int32_t index, uint32_t class_id) {
    if (index < 0 || index >= slot_count(ctx)) return false;
    const Cell* v = slot(ctx, index);
    return cell::type(v) == type_object && cell::object_class(v) == class_id;
}

// ------------------------------------------------------------ fields

int32_t field_index(const Cell* object, const Cell* word) {
    return context::find_word(cell::context_node(object), cell::word_symbol(word), true);
}

Cell* select_word(const Cell* object, const Cell* word) {
    int32_t i = field_index(object, word);
    if (i < 0 || i >= slot_count(cell::context_node(object))) {
        shared_none = none_value;
        return &shared_none;
    }
    return slot(cell::context_node(object), i);
}

Cell* values_head(const Cell* context) { return series::cells_mut_untracked(cell::context_values(context)); }
int32_t word_count(const Cell* object) { return context::word_count(cell::context_node(object)); }
Cell* first_word(const Cell* object) { return context::word_at(cell::context_node(object), 0); }

void clear_new_line_marks(uint32_t node) {
    Cell* c = series::cells_mut(node);
    for (const Cell* end = series::cells_tail(node); c < end; c++) cell::clear_new_line(c);
}

void clear_changed_marks(uint32_t ctx) {
    for (int32_t i = 0, n = context::word_count(ctx); i < n; i++)
        context::word_at(ctx, i)->header &= ~uint32_t(cell::flag_slot_changed);
}

namespace {
// While the environment loads, its functions and routines stand for code
// bound into the slots of its objects, and binding them marks the slots
// changed as any assignment does: the object maker's clearing must not
// take that away.
void mark_code_fields(uint32_t ctx) {
    for (int32_t i = 0, n = std::min(context::word_count(ctx), slot_count(ctx)); i < n; i++) {
        uint8_t t = cell::type(slot(ctx, i));
        if (t == type_function || t == type_routine) context::word_at(ctx, i)->header |= cell::flag_slot_changed;
    }
}
}  // namespace

// ------------------------------------------------------------ makers

void make_at(Cell* target, int32_t n) {
    uint32_t ctx = context::make(n, false, false, 0, context::kind_object);
    *target = {type_object, ctx, 0, 0};
    write_owner(*target);
}

Cell* push(uint32_t ctx, uint32_t class_id) {
    gc::ProtectNode keep(&ctx);
    if (slot_count(ctx) == 0)
        for (int32_t i = 0, n = context::word_count(ctx); i < n; i++)
            cell::make_unset(series::alloc_tail_cell(values_node(ctx)));
    Cell* c = stack::push_cell();
    *c = {type_object, ctx, class_id, 0};
    write_owner(*c);
    return c;
}

Cell* push_with_class(uint32_t ctx, uint32_t change_record, uint32_t class_id) {
    Cell* c = stack::push_cell();
    *c = {type_object, ctx, class_id, change_record};
    write_owner(*c);
    return c;
}

uint32_t make_change_record(int32_t on_change, int32_t on_change_locals, uint32_t on_change_spec, int32_t on_deep,
                            int32_t on_deep_locals, uint32_t on_deep_spec) {
    auto packed = [](int32_t position, int32_t locals) {
        uint32_t p = position < 0 ? no_handler : uint32_t(position) & 0xFFFF;
        return p << 16 | (uint32_t(locals) & 0xFFFF);
    };
    uint32_t record = memory::alloc_cells(2);
    *series::alloc_tail_cell(record) = {type_pair, 0, packed(on_change, on_change_locals), on_change_spec};
    *series::alloc_tail_cell(record) = {type_pair, 0, packed(on_deep, on_deep_locals), on_deep_spec};
    return record;
}

void set_change_handlers(Cell* object) {
    uint32_t ctx = cell::context_node(object);
    gc::ProtectNode keep(&ctx);
    int32_t position[2] = {-1, -1}, locals[2] = {0, 0};
    uint32_t spec[2] = {0, 0};
    for (int32_t i = 0, n = context::word_count(ctx); i < n; i++) {
        int32_t s = canonical(cell::word_symbol(context::word_at(ctx, i)));
        int32_t k = s == on_change_symbol() ? 0 : s == on_deep_symbol() ? 1 : -1;
        if (k < 0) continue;
        Cell v = read_slot(ctx, i);
        if (cell::type(&v) != type_function && cell::type(&v) != type_routine) {
            Cell w = field_word(ctx, i);
            Cell type = datatype_of(&v);
            errors::raise(err::script::bad_field_set, &w, &type);
        }
        position[k] = i;
        locals[k] = services::current.count_locals(&v, &spec[k]);
    }
    cell::set_change_record(object, 0);
    if (position[0] >= 0 || position[1] >= 0)
        cell::set_change_record(object,
                                make_change_record(position[0], locals[0], spec[0], position[1], locals[1], spec[1]));
    write_owner(*object);
    if (position[1] >= 0) own_fields(object);
}

bool has_deep_handler(uint32_t ctx) {
    const Cell* owner = context::owner_cell(ctx);
    if (!is_object_kind(cell::type(owner)) || cell::change_record(owner) == 0) return false;
    return (series::cells_head(cell::change_record(owner))[1].w2 >> 16) != no_handler;
}

void copy_values(uint32_t prototype_ctx, const Cell* object, bool copy_all) {
    uint32_t from = prototype_ctx;
    uint32_t ctx = cell::context_node(object);
    gc::ProtectNode keep_from(&from);
    gc::ProtectNode keep_ctx(&ctx);
    gc::Local v(none_value);
    for (int32_t i = 0; i < context::word_count(from) && i < slot_count(from); i++) {
        int32_t at = context::find_word(ctx, cell::word_symbol(context::word_at(from, i)), true);
        if (at < 0) continue;
        v = *slot(from, i);
        copy_series_value(&v, copy_all);
        if (is_rebound_block(cell::type(&v))) context::bind_block(&v, ctx, true);
        *slot(ctx, at) = v;
    }
}

namespace {

// The spec's set-word runs and the values after them: each run's words get
// the value that follows it; a run at the end gets `tail` (or stays as it
// is when tail is null). Words are added to the object when missing.
template <class Convert>
void assign_runs(const Cell* object, const Cell* spec, const Cell* tail, Convert convert) {
    gc::Local o(*object);
    gc::Local s(*spec);
    gc::Local v(none_value);
    int32_t run_start = -1;
    int32_t total = block_actions::buffer_length(cell::series_node(&s));
    for (int32_t i = cell::series_index(&s); i <= total; i++) {
        bool at_end = i == total;
        if (!at_end && cell::type(block_actions::cell_at(cell::series_node(&s), i)) == type_set_word) {
            if (run_start < 0) run_start = i;
            continue;
        }
        if (run_start < 0) continue;  // a value with no set-word before it
        if (at_end) {
            if (!tail) break;
            v = *tail;
        } else {
            v = *block_actions::cell_at(cell::series_node(&s), i);
            convert(&v);
        }
        for (int32_t k = run_start; k < i; k++) {
            int32_t symbol = cell::word_symbol(block_actions::cell_at(cell::series_node(&s), k));
            int32_t at = context::add_word(cell::context_node(&o), symbol);
            *slot(cell::context_node(&o), at) = v;
        }
        run_start = -1;
    }
}

}  // namespace

void construct(const Cell* prototype, const Cell* spec, bool only, Cell* result) {
    gc::Local s(*spec);
    if (!block_actions::is_any_block(cell::type(&s))) errors::raise(err::syntax::malconstruct, &s);
    gc::Local out(none_value);
    bool with_prototype = prototype && is_object_kind(cell::type(prototype));
    if (with_prototype) {
        out = copy_object(prototype);
        copy_fields(&out, false);
        copy_functions(&out);
        set_change_handlers(&out);
    } else {
        make_at(&out, 4);
        cell::set_object_class(&out, next_class_id());
    }
    int32_t yes[] = {rs::id(rs::sym_true), rs::id(rs::sym_yes), rs::id(rs::sym_on)};
    int32_t no[] = {rs::id(rs::sym_false), rs::id(rs::sym_no), rs::id(rs::sym_off)};
    int32_t none_symbol = canonical(rs::id(rs::sym_none));
    auto convert = [&](Cell* v) {
        if (only || cell::type(v) != type_word) return;
        int32_t symbol = canonical(cell::word_symbol(v));
        for (int32_t y : yes)
            if (symbol == canonical(y)) *v = core_types::true_cell;
        for (int32_t n : no)
            if (symbol == canonical(n)) *v = core_types::false_cell;
        if (symbol == none_symbol) *v = none_value;
    };
    assign_runs(&out, &s, &none_value, convert);
    write_owner(out);
    *result = out;
}

void set_words(const Cell* target, const Cell* value, bool any, bool only, bool some) {
    gc::Local o(*target);
    gc::Local src(*value);
    int32_t n = slot_count(cell::context_node(&o));
    uint8_t t = cell::type(&src);
    bool from_object = is_object_kind(t) && !only;
    bool from_block = block_actions::is_any_block(t) && !only;
    if (!from_object && !from_block) {
        for (int32_t i = 0; i < n; i++) write_field(&o, i, &src);
        return;
    }
    // An object gives the value of the target field's word (what is
    // written), so the pre-scan checks those and nothing else.
    auto source_at = [&](int32_t i, Cell* out) {
        if (from_object) {
            int32_t at = context::find_word(cell::context_node(&src),
                                            cell::word_symbol(context::word_at(cell::context_node(&o), i)), true);
            if (at < 0 || at >= slot_count(cell::context_node(&src))) return false;
            *out = read_slot(cell::context_node(&src), at);
            return true;
        }
        int32_t at = cell::series_index(&src) + i;
        if (at >= block_actions::buffer_length(cell::series_node(&src))) {
            *out = none_value;
            return false;
        }
        *out = *block_actions::cell_at(cell::series_node(&src), at);
        if (cell::type(out) == 0) cell::make_unset(out);
        return true;
    };
    gc::Local v(none_value);
    // Nothing is written when a value is missing.
    if (!some && !any) {
        for (int32_t i = 0; i < n; i++) {
            if (!source_at(i, &v)) {
                if (from_object) continue;
                break;
            }
            if (cell::type(&v) == type_unset) {
                Cell w = field_word(cell::context_node(&o), i);
                errors::raise(err::script::need_value, &w);
            }
        }
    }
    for (int32_t i = 0; i < n; i++) {
        if (!source_at(i, &v) && from_object) continue;
        if (some && cell::type(&v) == type_none) continue;
        write_field(&o, i, &v);
    }
}

// ------------------------------------------------------------ change handlers

void call_change_handler(const Cell* object, const Cell* word, const Cell* old_value, const Cell* new_value) {
    if (!cell::change_record(object)) return;
    gc::Local o(*object);
    Cell args[3] = {*word, *old_value, *new_value};
    gc::Protect keep_args(args, 3);
    uint32_t position = series::cells_head(cell::change_record(&o))[0].w2 >> 16;
    if (position == no_handler) return;
    gc::Local function(read_slot(cell::context_node(&o), int32_t(position)));
    if (cell::type(&function) != type_function)
        errors::raise(err::script::invalid_obj_evt, &function);
    refresh_record(cell::change_record(&o), 0, &function);
    if (cell::word_context(&args[0]) != cell::context_node(&o) || cell::word_index(&args[0]) < 0)
        context::bind_word(cell::context_node(&o), &args[0]);
    gc::Local name(rs::words[rs::word_on_change_star]);
    run_handler(&function, &name, args, 3);
}

void fire_on_change(const Cell* object, const Cell* word) {
    Cell* top = stack::top_cell();
    call_change_handler(object, word, top, top - 1);
}

void call_deep_change_handler(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                              const Cell* new_value, int32_t index, int32_t part) {
    gc::Local o(*owner);
    if (!cell::change_record(&o)) errors::raise(err::script::invalid_obj_evt, &o);
    uint32_t position = series::cells_head(cell::change_record(&o))[1].w2 >> 16;
    if (position == no_handler) return;
    gc::Local function(read_slot(cell::context_node(&o), int32_t(position)));
    if (cell::type(&function) != type_function) return;
    refresh_record(cell::change_record(&o), 1, &function);
    Cell args[7] = {o, *word, *target, *action, new_value ? *new_value : none_value, none_value, none_value};
    cell::make_integer(&args[5], index);
    cell::make_integer(&args[6], part);
    gc::Protect keep_args(args, 7);
    gc::Local name(rs::words[rs::word_on_deep_change_star]);
    run_handler(&function, &name, args, 7);
}

// ------------------------------------------------------------ text

int32_t mold_body(const Cell* object, uint32_t buffer, bool only, bool all, bool flat, bool form, const Cell* arg,
                  int32_t limit, int32_t indent) {
    gc::Local o(*object);
    gc::ProtectNode keep_buffer(&buffer);
    gc::Local v(none_value);
    cycles::Visit visit(cell::context_node(&o));
    bool line_per_field = !form && !only && !flat;
    uint32_t separator = flat ? ' ' : '\n';
    int32_t n = context::word_count(cell::context_node(&o));
    int32_t written = 0;
    for (int32_t i = 0; i < n && i < slot_count(cell::context_node(&o)); i++) {
        if (arg && limit <= 0) break;
        if (!all && is_handler_word(cell::context_node(&o), i)) continue;
        if (cell::type(slot(cell::context_node(&o), i)) == 0) cell::make_unset(slot(cell::context_node(&o), i));
        if (line_per_field) {
            if (written == 0) put_char(buffer, '\n', &limit);
            put_indent(buffer, indent + 1, &limit);
        } else if (written > 0) {
            put_char(buffer, separator, &limit);
        }
        written++;
        // The name is copied out: appending may move the symbol table's text.
        int32_t length = 0;
        const char* text = symbols::text(cell::word_symbol(context::word_at(cell::context_node(&o), i)), &length);
        std::string name(text, size_t(length));
        string::append_utf8(buffer, name.data(), length);
        auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
        limit -= unicode::count_utf8_chars(bytes, bytes + length);
        put_text(buffer, ": ", &limit);
        v = *slot(cell::context_node(&o), i);
        if (cell::type(&v) == type_word) put_char(buffer, '\'', &limit);
        limit = call_mold(&v, buffer, false, all, flat, arg != nullptr, limit, indent + 1);
        if (line_per_field) put_char(buffer, '\n', &limit);
    }
    if (line_per_field && written > 0 && indent >= 1) put_indent(buffer, indent, &limit);
    return limit;
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    if (block_actions::emit_ellipsis(value, buffer, &limit, false)) return limit;
    return mold_body(value, buffer, false, false, false, true, arg, limit, 0);
}

int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent) {
    if (block_actions::emit_ellipsis(value, buffer, &limit, true)) return limit;
    gc::Local o(*value);
    gc::ProtectNode keep_buffer(&buffer);
    if (!only) put_text(buffer, "make object! [", &limit);
    limit = mold_body(&o, buffer, only, all, flat, false, arg, limit, indent);
    if (!only && !(arg && limit <= 0)) put_text(buffer, "]", &limit);
    return limit;
}

// ------------------------------------------------------------ handlers

void make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    (void)type;
    gc::Local p(*prototype);
    gc::Local s(*spec);
    gc::Local out(none_value);
    bool with_prototype = cell::type(&p) == type_object;
    uint8_t st = cell::type(&s);
    bool block_spec = st == type_block;
    if (!block_spec && !is_object_kind(st)) errors::raise(err::syntax::malconstruct, &s);
    if (with_prototype) {
        out = copy_object(&p);
        if (!block_spec) copy_fields(&out, false);
    } else {
        make_at(&out, 4);
    }
    bool added = false;
    if (!block_spec) {
        int32_t before = context::word_count(cell::context_node(&out));
        for (int32_t i = 0; i < context::word_count(cell::context_node(&s)) && i < slot_count(cell::context_node(&s));
             i++) {
            gc::Local v(read_slot(cell::context_node(&s), i));
            context::put_word_value(cell::context_node(&out),
                                    cell::word_symbol(context::word_at(cell::context_node(&s), i)), &v);
        }
        added = context::word_count(cell::context_node(&out)) > before;
        copy_fields(&out, false);
        copy_functions(&out);
    } else {
        added = context::collect_set_words(cell::context_node(&out), &s);
        context::bind_block(&s, cell::context_node(&out), true);
        if (with_prototype) {
            copy_values(cell::context_node(&p), &out, false);
            copy_functions(&out);
        }
        services::current.evaluate_spec(&s);
    }
    clear_changed_marks(cell::context_node(&out));
    if (function::making_compiled()) mark_code_fields(cell::context_node(&out));
    clear_new_line_marks(values_node(cell::context_node(&out)));
    cell::set_object_class(&out, with_prototype && !added ? cell::object_class(&p) : next_class_id());
    set_change_handlers(&out);
    *result = out;
}

void reflect(const Cell* value, int32_t field_symbol, Cell* result) {
    gc::Local o(*value);
    int32_t field = canonical(field_symbol);
    uint32_t ctx = cell::context_node(&o);
    int32_t n = context::word_count(ctx);
    gc::Local b(none_value);
    if (field == canonical(cell::word_symbol(&rs::words[rs::word_changed]))) {
        b = new_block(n);
        for (int32_t i = 0; i < n; i++)
            if (context::word_at(ctx, i)->header & cell::flag_slot_changed) append(&b, field_word(ctx, i));
    } else if (field == canonical(rs::id(rs::sym_class))) {
        cell::make_integer(&b, int32_t(cell::object_class(&o)));
    } else if (field == canonical(rs::id(rs::sym_words))) {
        b = new_block(n);
        for (int32_t i = 0; i < n; i++) append(&b, field_word(ctx, i));
    } else if (field == canonical(rs::id(rs::sym_values))) {
        b = new_block(n);
        for (int32_t i = 0; i < n && i < slot_count(ctx); i++) append(&b, read_slot(ctx, i));
    } else if (field == canonical(rs::id(rs::sym_body))) {
        b = new_block(2 * n);
        for (int32_t i = 0; i < n && i < slot_count(ctx); i++) {
            Cell w = field_word(ctx, i);
            w.header = uint32_t(type_set_word) | cell::flag_new_line;
            append(&b, w);
            Cell v = read_slot(ctx, i);
            if (cell::type(&v) == type_word) cell::set_type(&v, type_lit_word);
            if (cell::type(&v) == type_path) cell::set_type(&v, type_lit_path);
            append(&b, v);
        }
    } else if (field == canonical(rs::id(rs::sym_owner))) {
        cell::make_logic(&b, (context::context_cell(ctx)->header & cell::flag_owner) != 0);
    } else if (field == canonical(rs::id(rs::sym_events_q))) {
        cell::make_logic(&b, cell::change_record(&o) != 0);
    } else {
        errors::raise(err::internal::not_done);
    }
    *result = b;
}

// The slot of the field that a path's word names (a word already bound to
// the object names its slot), or -1. Objects of one kind lay their fields
// out alike, so the slot found last for a word is tried next; the word
// found there must still be the one asked for.
int32_t path_field(uint32_t ctx, const Cell* element) {
    struct Hint {
        int32_t symbol;
        int32_t index;
    };
    static Hint hints[256];
    int32_t n = slot_count(ctx);
    int32_t symbol = cell::word_symbol(element);
    int32_t index = cell::word_index(element);
    if (cell::word_context(element) == ctx && index >= 0 && index < n &&
        canonical(cell::word_symbol(context::word_at(ctx, index))) == canonical(symbol))
        return index;
    Hint& hint = hints[uint32_t(symbol) & 255];
    if (hint.symbol == symbol && hint.index >= 0 && hint.index < n &&
        cell::word_symbol(context::word_at(ctx, hint.index)) == symbol)
        return hint.index;
    index = context::find_word(ctx, symbol, true);
    hint = {symbol, index};
    return index < n ? index : -1;
}

bool read_field(const Cell* object, const Cell* word, Cell* out) {
    uint32_t ctx = cell::context_node(object);
    int32_t index = path_field(ctx, word);
    if (index < 0) return false;
    *out = read_slot(ctx, index);
    return cell::type(out) != type_unset;
}

void eval_path(const actions::PathStep& step, Cell* result) {
    gc::Local o(*step.parent);
    gc::Local element(*step.element);
    if (!is_path_word(cell::type(&element))) raise_path(err::script::invalid_path, step, &element);
    uint32_t ctx = cell::context_node(&o);
    int32_t n = slot_count(ctx);
    int32_t index = path_field(ctx, &element);
    auto absent = [&]() {
        if (step.reserved && step.notify) {
            cell::make_unset(result);
            return;
        }
        raise_path(step.notify ? err::script::invalid_path : err::script::unset_path, step, &element);
    };
    if (index < 0 || index >= n) return absent();
    if (!step.value) {
        Cell v = read_slot(ctx, index);
        if (cell::type(&v) == type_unset) return absent();
        *result = v;
        return;
    }
    gc::Local v(*step.value);
    gc::Local old(read_slot(ctx, index));
    gc::Local w(field_word(ctx, index));
    context::set_in(&w, &v, ctx, false);
    if (cell::change_record(&o)) call_change_handler(&o, &w, &old, &v);
    *result = v;
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (!is_object_kind(cell::type(b))) return not_comparable;
    uint32_t x = cell::context_node(a), y = cell::context_node(b);
    if (x == y) return 0;
    if (op == op_same) return -1;
    if (cycles::find(x)) return cycles::find(y) ? 0 : -1;
    int32_t nx = context::word_count(x), ny = context::word_count(y);
    if (nx != ny) return nx < ny ? -1 : 1;
    gc::ProtectNode keep_x(&x);
    gc::ProtectNode keep_y(&y);
    cycles::Visit visit_x(x);
    cycles::Visit visit_y(y);
    gc::Local va(none_value);
    gc::Local vb(none_value);
    for (int32_t i = 0; i < nx; i++) {
        int32_t sa = canonical(cell::word_symbol(context::word_at(x, i)));
        int32_t sb = canonical(cell::word_symbol(context::word_at(y, i)));
        if (sa != sb) return sa < sb ? -1 : 1;
        va = i < slot_count(x) ? read_slot(x, i) : core_types::unset_cell;
        vb = i < slot_count(y) ? read_slot(y, i) : core_types::unset_cell;
        uint8_t ta = cell::type(&va), tb = cell::type(&vb);
        int32_t r;
        if (ta == tb || (is_word_kind(ta) && is_word_kind(tb)) || (is_number(ta) && is_number(tb))) {
            r = call_compare(&va, &vb, op);
            if (r == not_comparable) {
                // A kind without its own comparison: equal when the cells
                // are, else in a fixed order of their words.
                auto order = [](uint32_t m, uint32_t n) { return m < n ? -1 : m > n ? 1 : 0; };
                r = order(va.w1, vb.w1);
                if (!r) r = order(va.w2, vb.w2);
                if (!r) r = order(va.w3, vb.w3);
            }
        } else {
            r = ta < tb ? -1 : 1;
        }
        if (r != 0) return r;
    }
    return 0;
}

void copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types) {
    if (part) {
        Cell word = block_actions::refinement_word("part");
        errors::raise(err::script::invalid_refine_arg, &word, part);
    }
    gc::Local p(*series);
    gc::Local kind(types ? *types : none_value);
    gc::Local out(copy_object(&p));
    if (types) {
        if (deep && cycles::find(cell::context_node(&p))) errors::raise(err::internal::no_cycle);
        gc::Local values({type_block, 0, values_node(cell::context_node(&out)), 0});
        if (deep) {
            cycles::Visit visit(cell::context_node(&p));
            block_actions::copy_nested_values(&values, 0, slot_count(cell::context_node(&out)), 1, true, &kind);
        } else {
            block_actions::copy_nested_values(&values, 0, slot_count(cell::context_node(&out)), 1, false, &kind);
        }
    } else if (deep) {
        copy_fields(&out, true);
    }
    copy_functions(&out);
    set_change_handlers(&out);
    *result = out;
}

void put(Cell* series, const Cell* key, const Cell* value, bool case_sensitive, Cell* result) {
    if (cell::type(key) != type_word) {
        Cell type = datatype_of(key);
        errors::raise(err::script::invalid_key_type, &type);
    }
    // put has no path to name in its report of an absent word: the
    // object's datatype stands in for it ("cannot access zz in path object!").
    Cell where = datatype_of(series);
    actions::PathStep step{};
    step.parent = series;
    step.element = key;
    step.value = value;
    step.path = &where;
    step.index = -1;
    step.case_sensitive = case_sensitive;
    step.notify = true;
    eval_path(step, result);
}

void select(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result) {
    (void)options;
    if (!is_path_word(cell::type(value))) {
        Cell type = datatype_of(value);
        errors::raise(err::script::invalid_type, &type);
    }
    Cell v = *select_word(series, value);
    if (cell::type(&v) == 0) cell::make_unset(&v);
    *result = v;
}

void modify(Cell* target, const Cell* field, const Cell* value, bool case_sensitive, Cell* result) {
    (void)case_sensitive;
    gc::Local o(*target);
    gc::Local v(*value);
    int32_t f = canonical(cell::word_symbol(field));
    if (f == canonical(cell::word_symbol(&rs::words[rs::word_changed]))) {
        if (cell::type(&v) != type_none) errors::raise(err::script::invalid_arg, &v);
        clear_changed_marks(cell::context_node(&o));
    } else if (f == canonical(rs::id(rs::sym_owner))) {
        own_fields(&o);
    } else if (f == canonical(rs::id(rs::sym_owned))) {
        if (cell::type(&v) == type_none) {
            for (int32_t i = 0; i < slot_count(cell::context_node(&o)); i++)
                ownership::unbind(slot(cell::context_node(&o), i));
        } else if (cell::type(&v) == type_block) {
            if (block_actions::length_from_head(&v) < 2) errors::raise(err::script::invalid_arg, &v);
            gc::Local owner(*block_actions::cell_at(cell::series_node(&v), cell::series_index(&v)));
            gc::Local word(*block_actions::cell_at(cell::series_node(&v), cell::series_index(&v) + 1));
            for (int32_t i = 0; i < slot_count(cell::context_node(&o)); i++)
                ownership::bind(slot(cell::context_node(&o), i), &owner, &word);
        } else {
            errors::raise(err::script::invalid_arg, &v);
        }
    }
    *result = v;
}

// ------------------------------------------------------------ registration

void init() {
    class_counter = first_class_id;
    Row r(type_object, "object!");
    r.set<slot_make>(make)
        .set<slot_reflect>(reflect)
        .set<slot_form>(form)
        .set<slot_mold>(mold)
        .set<slot_eval_path>(eval_path)
        .set<slot_compare>(compare)
        .set<slot_copy>(copy)
        .set<slot_put>(put)
        .set<slot_select>(select)
        .set<slot_modify>(modify);
    datatype::register_type(r);
}

void offer_services(services::Services& s) {
    s.change_handler = context_change_hook;
    s.deep_change_handler = call_deep_change_handler;
}

}  // namespace vum::object_type
