#include "datatypes/function.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/system-throw.h"
#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/runtime-symbols.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum {

namespace {

using namespace actions;

constexpr Cell none_cell = {type_none, 0, 0, 0};

int32_t count_of(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }
Cell cell_at(uint32_t node, int32_t i) { return series::cells_head(node)[i]; }
uint8_t type_at(uint32_t node, int32_t i) { return cell::type(series::cells_head(node) + i); }

int32_t canonical(const Cell* word) { return symbols::resolve(int32_t(word->w2)); }
// Interning may allocate: callers take these before holding any address.
int32_t canonical_of(const char* text) { return symbols::resolve(symbols::make(text)); }

bool is_argument_word(uint8_t t) { return t == type_word || t == type_lit_word || t == type_get_word; }

int32_t put(uint32_t buffer, const char* text, const Cell* arg, int32_t limit) {
    return string::put_limited(buffer, text, arg, limit);
}

bool used_up(const Cell* arg, int32_t limit) { return string::limit_used(arg, limit); }

Cell info_cell(const Cell* value, int32_t index) { return cell_at(value->w3, index); }

// A new series of n unset cells.
uint32_t unset_block(int32_t n) {
    uint32_t node = memory::alloc_cells(n);
    for (int32_t i = 0; i < n; i++) cell::make_unset(series::alloc_tail_cell(node));
    return node;
}

// The spec as stored: from index 0, copied when the given block starts past
// its head.
Cell stored_spec(const Cell* spec) {
    Cell s = *spec;
    if (s.w1 == 0) return s;
    int32_t n = std::max(count_of(s.w2) - int32_t(s.w1), 0);
    uint32_t node = n > 0 ? series::copy_part(s.w2, int32_t(s.w1), n) : memory::alloc_cells(1);
    return {type_block, 0, node, 0};
}

[[noreturn]] void not_done() { errors::raise(err::internal::not_done); }

// ---- Handlers ----

void function_make(const Cell*, const Cell* spec, int32_t, Cell* result) {
    gc::Local argument(*spec);
    if (cell::type(&argument) != type_block || series::length_from_head(&argument) < 2)
        errors::raise(err::script::bad_func_def, &argument);
    Cell parts[2] = {cell_at(argument.w2, int32_t(argument.w1)), cell_at(argument.w2, int32_t(argument.w1) + 1)};
    gc::Protect keep_parts(parts, 2);
    if (cell::type(&parts[0]) != type_block || cell::type(&parts[1]) != type_block)
        errors::raise(err::script::bad_func_def, &argument);
    uint32_t flags = function::check_spec(&parts[0]);
    function::push(&parts[0], &parts[1], 0, 0, 0, flags);
    *result = *stack::top_cell();
    stack::drop(1);
}

void function_reflect(const Cell* value, int32_t field_symbol, Cell* result) {
    gc::Local v(*value);
    int32_t field = symbols::resolve(field_symbol);
    if (field == canonical_of("spec")) {
        *result = {type_block, 0, v.w2, 0};
        return;
    }
    if (field == canonical_of("body")) {
        *result = info_cell(&v, function::info_body);
        return;
    }
    if (field == canonical_of("words")) {
        uint32_t ctx = v.w1;
        int32_t n = context::word_count(ctx);
        uint32_t node = n > 0 ? series::copy_part(context::words_node(ctx), 0, n) : memory::alloc_cells(1);
        Cell* w = series::cells_mut_untracked(node);  // the fresh copy
        for (int32_t i = 0; i < n; i++) {
            w[i].w1 = ctx;
            w[i].w3 = uint32_t(i);
        }
        *result = {type_block, 0, node, 0};
        return;
    }
    not_done();
}

int32_t function_form(const Cell*, uint32_t buffer, const Cell* arg, int32_t limit) {
    return put(buffer, "?function?", arg, limit);
}

int32_t routine_form(const Cell*, uint32_t buffer, const Cell* arg, int32_t limit) {
    return put(buffer, "?routine?", arg, limit);
}

// "func " or "routine ", the spec, then the body: a block follows the
// spec's bracket directly, anything else after a space.
int32_t mold_with(const char* prefix, const Cell* value, uint32_t buffer, bool all, bool flat, const Cell* arg,
                  int32_t limit, int32_t indent) {
    gc::Local v(*value);
    gc::ProtectNode keep_buffer(&buffer);
    limit = put(buffer, prefix, arg, limit);
    if (used_up(arg, limit)) return limit;
    gc::Local spec({type_block, 0, v.w2, 0});
    limit = call_mold(&spec, buffer, false, all, flat, arg != nullptr, limit, indent);
    if (used_up(arg, limit)) return limit;
    gc::Local body(info_cell(&v, function::info_body));
    if (cell::type(&body) != type_block) {
        limit = put(buffer, " ", arg, limit);
        if (used_up(arg, limit)) return limit;
    }
    return call_mold(&body, buffer, false, all, flat, arg != nullptr, limit, indent);
}

int32_t function_mold(const Cell* value, uint32_t buffer, bool, bool all, bool flat, const Cell* arg, int32_t limit,
                      int32_t indent) {
    return mold_with("func ", value, buffer, all, flat, arg, limit, indent);
}

int32_t routine_mold(const Cell* value, uint32_t buffer, bool, bool all, bool flat, const Cell* arg, int32_t limit,
                     int32_t indent) {
    return mold_with("routine ", value, buffer, all, flat, arg, limit, indent);
}

bool is_sameness_op(int32_t op) {
    return (op >= op_equal && op <= op_strict_equal) || (op >= op_sort && op <= op_same) || op == op_find;
}

// Two function values are the same function when they share the info block:
// copies of one value do, separately made ones never do.
int32_t function_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(a) != cell::type(b) || !is_sameness_op(op)) return not_comparable;
    if (a->w3 == b->w3) return 0;
    return int32_t(a->w3) < int32_t(b->w3) ? -1 : 1;
}

// ---- Spec walking ----

Cell refinement_named(const char* text) { return {type_refinement, 0, uint32_t(symbols::make(text)), uint32_t(-1)}; }

}  // namespace

namespace function_type {

void init() {
    Row f(type_function, "function!", type_context);
    f.set<slot_make>(function_make)
        .set<slot_reflect>(function_reflect)
        .set<slot_form>(function_form)
        .set<slot_mold>(function_mold)
        .set<slot_compare>(function_compare);
    datatype::register_type(f);

    Row r(type_routine, "routine!", type_function);
    r.inherit<slot_reflect>()
        .set<slot_form>(routine_form)
        .set<slot_mold>(routine_mold)
        .set<slot_compare>(function_compare);
    datatype::register_type(r);
}

}  // namespace function_type

namespace function {

[[noreturn]] void raise_bad_spec(const Cell* spec) { errors::raise(err::script::bad_func_def, spec); }

int32_t spec_attribute_flags(const Cell* attributes) {
    int32_t trace = canonical_of("trace");
    int32_t no_trace = canonical_of("no-trace");
    int32_t flags = 0;
    int32_t n = count_of(attributes->w2);
    for (int32_t i = int32_t(attributes->w1); i < n; i++) {
        Cell c = cell_at(attributes->w2, i);
        if (cell::type(&c) != type_word) return -1;
        if (canonical(&c) == trace) flags |= int32_t(cell::flag_trace);
        if (canonical(&c) == no_trace) flags |= int32_t(cell::flag_no_trace);
    }
    return flags;
}

void check_type_block(const Cell* types) {
    gc::Local t(*types);
    for (int32_t i = int32_t(t.w1); i < count_of(t.w2); i++) {
        gc::Local entry(cell_at(t.w2, i));
        Cell value = cell::type(&entry) == type_word ? word::value_of(&entry) : entry;
        uint8_t vt = cell::type(&value);
        if (vt != type_datatype && vt != type_typeset && vt != type_word)
            errors::raise(err::script::invalid_type_spec, &entry);
    }
}

void check_duplicate_words(const Cell* spec) {
    // Specs are short: the words seen so far are searched in a small array
    // (every function made at start-up passes here), in a set past it.
    constexpr size_t few = 32;
    int32_t first[few];
    size_t count = 0;
    std::unordered_set<int32_t> seen;
    auto is_new = [&](int32_t word) {
        if (count < few) {
            for (size_t k = 0; k < count; k++)
                if (first[k] == word) return false;
            first[count++] = word;
            return true;
        }
        if (seen.empty()) seen.insert(first, first + few);
        return seen.insert(word).second;
    };
    for (int32_t i = int32_t(spec->w1); i < count_of(spec->w2); i++) {
        gc::Local c(cell_at(spec->w2, i));
        uint8_t t = cell::type(&c);
        if (!is_argument_word(t) && t != type_refinement) continue;
        if (!is_new(canonical(&c))) errors::raise(err::script::dup_vars, &c);
    }
}

uint32_t check_spec(const Cell* given) {
    gc::Local spec(*given);
    if (cell::type(&spec) != type_block) raise_bad_spec(&spec);
    const int32_t local = symbols::resolve(runtime_symbols::id(runtime_symbols::sym_local));
    const int32_t return_word = symbols::resolve(runtime_symbols::id(runtime_symbols::sym_return));
    const uint32_t node = spec.w2;
    const int32_t n = count_of(node);
    int32_t i = int32_t(spec.w1);
    uint32_t flags = 0;
    if (i < n && type_at(node, i) == type_block) {
        Cell attributes = cell_at(node, i);
        int32_t f = spec_attribute_flags(&attributes);
        if (f < 0) raise_bad_spec(&spec);
        flags = uint32_t(f);
        i++;
    }
    bool after_local = false;
    bool after_return = false;
    // Checking a type block reads word values and allocates nothing, so the
    // spec's length stays put; the cells are read afresh all the same.
    for (; i < n; i++) {
        Cell c = cell_at(node, i);
        uint8_t t = cell::type(&c);
        uint8_t next = i + 1 < n ? type_at(node, i + 1) : uint8_t(type_none);
        bool has_next = i + 1 < n;
        if (is_argument_word(t)) {
            if (after_local && t != type_word) raise_bad_spec(&spec);
            if (after_return && !after_local) raise_bad_spec(&spec);
            // A doc string goes after the type block, never before it.
            if (has_next && next == type_string && i + 2 < n && type_at(node, i + 2) == type_block)
                raise_bad_spec(&spec);
            if (has_next && next == type_block) {
                Cell types = cell_at(node, i + 1);
                check_type_block(&types);
                i++;
            }
        } else if (t == type_string) {
            continue;
        } else if (t == type_set_word) {
            if (canonical(&c) != return_word || after_return || after_local) raise_bad_spec(&spec);
            if (!has_next || next != type_block) raise_bad_spec(&spec);
            if (i + 2 < n) {
                uint8_t after = type_at(node, i + 2);
                if (after != type_refinement && after != type_string) raise_bad_spec(&spec);
            }
            after_return = true;
            i++;
        } else if (t == type_refinement) {
            if (canonical(&c) == local)
                after_local = true;
            else if (after_local || after_return)
                raise_bad_spec(&spec);
            if (has_next && !is_argument_word(next) && next != type_refinement && next != type_set_word &&
                next != type_string)
                raise_bad_spec(&spec);
        } else {
            raise_bad_spec(&spec);
        }
    }
    check_duplicate_words(&spec);
    return flags;
}

namespace {
bool compiled_switch = false;

bool is_code(uint8_t t) { return t == type_block || t == type_paren || (t >= type_path && t <= type_get_path); }

// Marks the blocks of a compiled function's body copy, nested ones too,
// with an explicit stack: bodies may nest deeper than the machine stack
// allows. Allocates nothing.
void mark_compiled_code(uint32_t body) {
    std::vector<uint32_t> pending{body};
    while (!pending.empty()) {
        SeriesBuffer* b = nodes::buffer(pending.back());
        pending.pop_back();
        if (b->flags & series_flags::compiled_code) continue;
        b->flags |= series_flags::compiled_code;
        const Cell* cells = reinterpret_cast<const Cell*>(b->head_ptr());
        for (uint32_t i = 0, n = b->count(); i < n; i++)
            if (is_code(cell::type(cells + i))) pending.push_back(cells[i].w2);
    }
}
}  // namespace

void set_making_compiled(bool on) { compiled_switch = on; }
bool making_compiled() { return compiled_switch; }
bool is_compiled_code(uint32_t node) { return node && (nodes::buffer(node)->flags & series_flags::compiled_code); }

uint32_t push(const Cell* spec_in, const Cell* body_in, uint32_t ctx, int32_t code, uint32_t owner, uint32_t flags) {
    if (compiled_switch) flags |= cell::flag_compiled;
    gc::Local body(*body_in);
    gc::Local spec(stored_spec(spec_in));
    bool has_body = cell::type(&body) == type_block;
    if (has_body) body.w1 = uint32_t(std::min(int32_t(body.w1), count_of(body.w2)));

    uint32_t info = unset_block(info_size);
    gc::ProtectNode keep_info(&info);
    bool made_here = ctx == 0;
    if (made_here) ctx = context::make_from_block(&spec, true, false, context::kind_function);
    gc::ProtectNode keep_ctx(&ctx);

    Cell value = {uint32_t(type_function) | (flags & (cell::flag_trace | cell::flag_no_trace | cell::flag_compiled)),
                  ctx, spec.w2, info};
    stack::push_copy(&value);
    *context::owner_cell(ctx) = value;

    gc::Local copy(none_cell);
    if (has_body) {
        block_actions::clone(&body, true, true, &copy);
        if (made_here) context::bind_block(&copy, ctx, false);
        if (flags & cell::flag_compiled) mark_compiled_code(copy.w2);
    }
    Cell* cells = series::cells_mut_untracked(info);  // the function's fresh info record
    cells[info_body] = copy;
    if (code) cell::make_integer(&cells[info_code], code);
    if (owner) cell::make_integer(&cells[info_owner], int32_t(owner));
    return ctx;
}

void collect_locals(const Cell* spec_in, const Cell* body_in, Cell* result) {
    gc::Local spec(*spec_in);
    gc::Local body(*body_in);
    if (cell::type(&spec) != type_block) raise_bad_spec(&spec);
    const int32_t local = canonical_of("local");
    const int32_t extern_word = canonical_of("extern");
    const int32_t foreach = canonical_of("foreach");
    const int32_t remove_each = canonical_of("remove-each");
    const int32_t repeat = canonical_of("repeat");
    gc::Local out(none_cell);
    block_actions::clone(&spec, false, false, &out);

    std::vector<int32_t> excluded;
    // The found words, retyped to word!. Their contexts stay reachable from
    // the spec and the body, which are protected.
    std::vector<Cell> found;
    auto is_excluded = [&](int32_t k) { return std::find(excluded.begin(), excluded.end(), k) != excluded.end(); };
    auto name = [&](Cell w) {
        int32_t k = canonical(&w);
        if (is_excluded(k)) return;
        excluded.push_back(k);
        cell::set_type(&w, type_word);
        cell::clear_new_line(&w);
        found.push_back(w);
    };

    int32_t extern_at = -1;
    for (int32_t i = 0; i < count_of(out.w2); i++) {
        Cell c = cell_at(out.w2, i);
        if (cell::type(&c) == type_refinement && canonical(&c) == extern_word) {
            extern_at = i;
            break;
        }
    }

    // Everything the spec names is excluded; after /extern only names may
    // stand.
    std::vector<Cell> extern_locals;
    bool in_extern_locals = false;
    for (int32_t i = int32_t(spec.w1); i < count_of(spec.w2); i++) {
        gc::Local c(cell_at(spec.w2, i));
        uint8_t t = cell::type(&c);
        bool past_extern = extern_at >= 0 && i - int32_t(spec.w1) > extern_at;
        if (is_argument_word(t) || t == type_set_word || t == type_refinement) {
            if (past_extern && in_extern_locals && is_argument_word(t)) extern_locals.push_back(c);
            if (past_extern && t == type_refinement && canonical(&c) == local) in_extern_locals = true;
            excluded.push_back(canonical(&c));
        } else if (t != type_block && t != type_string && extern_at >= 0) {
            errors::raise(err::script::bad_func_extern, &c);
        }
    }
    for (Cell& c : extern_locals) {
        cell::set_type(&c, type_word);
        cell::clear_new_line(&c);
        found.push_back(c);
    }
    if (extern_at >= 0) block_actions::set_tail_at(&out, extern_at);

    // The body, blocks and parens included, walked without recursion and
    // each series once, so deep or cyclic nesting cannot exhaust the stack.
    if (cell::type(&body) == type_block || cell::type(&body) == type_paren) {
        struct Position {
            uint32_t node;
            int32_t index;
        };
        std::vector<Position> pending{{body.w2, int32_t(body.w1)}};
        std::unordered_set<uint32_t> walked{body.w2};
        while (!pending.empty()) {
            Position& p = pending.back();
            int32_t n = count_of(p.node);
            if (p.index >= n) {
                pending.pop_back();
                continue;
            }
            int32_t i = p.index++;
            uint32_t node = p.node;
            Cell c = cell_at(node, i);
            uint8_t t = cell::type(&c);
            Cell next = i + 1 < n ? cell_at(node, i + 1) : none_cell;
            uint8_t nt = cell::type(&next);
            if (t == type_set_word) {
                name(c);
            } else if (t == type_word && (canonical(&c) == foreach || canonical(&c) == remove_each)) {
                if (nt == type_block) {
                    for (int32_t j = int32_t(next.w1); j < count_of(next.w2); j++) {
                        Cell w = cell_at(next.w2, j);
                        if (is_argument_word(cell::type(&w))) name(w);
                    }
                } else if (nt == type_word || nt == type_set_word) {
                    name(next);
                }
            } else if (t == type_word && canonical(&c) == repeat) {
                if (nt == type_word || nt == type_set_word) name(next);
            } else if ((t == type_block || t == type_paren) && walked.insert(c.w2).second) {
                pending.push_back({c.w2, int32_t(c.w1)});  // p is not used past this point
            }
        }
    }

    found.erase(std::remove_if(found.begin(), found.end(), [&](const Cell& w) { return canonical(&w) == local; }),
                found.end());
    if (!found.empty()) {
        bool has_local = false;
        for (int32_t i = 0; i < count_of(out.w2); i++) {
            Cell c = cell_at(out.w2, i);
            if (cell::type(&c) == type_refinement && canonical(&c) == local) has_local = true;
        }
        if (!has_local) {
            Cell refinement = refinement_named("local");
            *series::alloc_tail_cell(out.w2) = refinement;
        }
        for (const Cell& w : found) *series::alloc_tail_cell(out.w2) = w;
    }
    *result = out;
}

int32_t count_locals(uint32_t spec, int32_t start, bool strict) {
    gc::ProtectNode keep(&spec);
    const int32_t local = canonical_of("local");
    int32_t n = count_of(spec);
    int32_t i = std::max(start, 0);
    for (; i < n; i++) {
        Cell c = cell_at(spec, i);
        if (cell::type(&c) == type_refinement && canonical(&c) == local) break;
    }
    if (i >= n) return strict ? -1 : 0;
    int32_t count = 1;
    for (i++; i < n; i++)
        if (type_at(spec, i) == type_word) count++;
    return count;
}

void push_none_locals(int32_t n) {
    if (n <= 0) return;
    cell::make_logic(stack::push_cell(), false);
    for (int32_t i = 1; i < n; i++) *stack::push_cell() = none_cell;
}

void make_func(const Cell* spec_in, const Cell* body_in, Cell* result) {
    gc::Local spec(*spec_in);
    gc::Local body(*body_in);
    if (cell::type(&body) != type_block) raise_bad_spec(&body);
    uint32_t flags = check_spec(&spec);
    push(&spec, &body, 0, 0, 0, flags);
    *result = *stack::top_cell();
    stack::drop(1);
}

void make_function(const Cell* spec_in, const Cell* body_in, Cell* result) {
    gc::Local body(*body_in);
    gc::Local spec(none_cell);
    collect_locals(spec_in, &body, &spec);
    make_func(&spec, &body, result);
}

}  // namespace function

namespace routines {

namespace {

struct Entry {
    std::string name;
    RoutineFn fn;
};
std::vector<Entry>& table() {
    static std::vector<Entry> entries;
    return entries;
}

// A routine's argument is marshalled by the word its type block starts with.
bool is_type_block(const Cell* types) {
    if (cell::type(types) != type_block || series::length_from_head(types) < 1) return false;
    Cell first = cell_at(types->w2, int32_t(types->w1));
    return cell::type(&first) == type_word;
}

}  // namespace

int32_t register_routine(const char* name, RoutineFn fn) {
    // Only the program's own code registers routines: a nameless or empty
    // entry is a fault in it, not in a script.
    if (!name || !*name || !fn) sys::terminate(98, sys::caller_address());
    std::vector<Entry>& t = table();
    for (size_t i = 0; i < t.size(); i++)
        if (t[i].name == name) {
            t[i].fn = fn;
            return int32_t(i) + 1;
        }
    t.push_back({name, fn});
    return int32_t(t.size());
}

int32_t find(const char* name) {
    const std::vector<Entry>& t = table();
    for (size_t i = 0; i < t.size(); i++)
        if (t[i].name == name) return int32_t(i) + 1;
    return 0;
}

RoutineFn entry(int32_t index) {
    const std::vector<Entry>& t = table();
    return index >= 1 && index <= int32_t(t.size()) ? t[size_t(index) - 1].fn : nullptr;
}

int32_t count() { return int32_t(table().size()); }
void clear() { table().clear(); }

void count_arguments(Cell* routine) {
    int32_t n = 0;
    for (int32_t i = 0; i < count_of(routine->w2); i++)
        if (type_at(routine->w2, i) == type_word) n++;
    if (n > max_arguments) {
        gc::Local spec({type_block, 0, routine->w2, 0});
        function::raise_bad_spec(&spec);
    }
    routine->header =
        (routine->header & ~uint32_t(cell::routine_arg_count_mask)) | uint32_t(n) << cell::routine_arg_count_shift;
}

int32_t argument_count(const Cell* routine) {
    return int32_t((routine->header & cell::routine_arg_count_mask) >> cell::routine_arg_count_shift);
}

void push(const Cell* spec_in, const Cell* body_in, int32_t code, int32_t result_type, bool direct) {
    gc::Local body(*body_in);
    gc::Local spec(*spec_in);
    if (cell::type(&spec) != type_block) function::raise_bad_spec(&spec);
    spec = stored_spec(&spec);
    if (!entry(code)) {
        Cell c = {type_integer, 0, uint32_t(code), 0};
        errors::raise(err::script::invalid_arg, &c);
    }
    if (result_type != result_none && result_type != type_logic && result_type != type_integer &&
        result_type != type_float) {
        Cell c = {type_integer, 0, uint32_t(result_type), 0};
        errors::raise(err::script::invalid_arg, &c);
    }
    const int32_t return_word = canonical_of("return");
    for (int32_t i = 0, n = count_of(spec.w2); i < n; i++) {
        Cell c = cell_at(spec.w2, i);
        Cell next = i + 1 < n ? cell_at(spec.w2, i + 1) : none_cell;
        uint8_t t = cell::type(&c);
        if (t == type_string) continue;
        bool typed_word = t == type_word && is_type_block(&next);
        bool result_spec = t == type_set_word && canonical(&c) == return_word && cell::type(&next) == type_block;
        if (!typed_word && !result_spec) function::raise_bad_spec(&spec);
        i++;
    }

    uint32_t info = unset_block(function::info_size);
    gc::ProtectNode keep_info(&info);
    uint32_t ctx = context::make_from_block(&spec, true, false, context::kind_function);
    gc::ProtectNode keep_ctx(&ctx);
    Cell value = {uint32_t(type_routine) | (direct ? cell::flag_routine_direct : 0u), ctx, spec.w2, info};
    count_arguments(&value);
    stack::push_copy(&value);
    *context::owner_cell(ctx) = value;
    Cell* cells = series::cells_mut_untracked(info);  // the routine's fresh info record
    cells[function::info_body] = cell::type(&body) == type_unset ? none_cell : body;
    cell::make_integer(&cells[function::info_code], code);
    cell::make_integer(&cells[function::info_result_type], result_type);
}

int32_t result_type(const Cell* routine) {
    const Cell* c = series::cells_head(routine->w3) + function::info_result_type;
    return cell::type(c) == type_integer ? cell::get_integer(c) : result_none;
}

}  // namespace routines

}  // namespace vum
