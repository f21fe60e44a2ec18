#include "engine/interpreter.h"

#include <algorithm>
#include <cstring>
#include <array>
#include <optional>
#include <vector>

#include "base/system-throw.h"
#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/native.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "memory/call.h"
#include "memory/cell-access.h"
#include "memory/code-forms.h"
#include "memory/interrupt.h"
#include "engine/routine-call.h"
#include "engine/tree-walk.h"
#include "generated/native-ids.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::eval {

using walk::deliver;
using walk::ended;
using walk::is_function_type;
using walk::peek_value;
using walk::self_evaluating;
using walk::series_count;
using walk::StorageGuard;

namespace {

Cell anonymous_word{};  // names calls of function values reached without a word
int32_t local_symbol = 0;
int32_t system_symbol = 0;
int32_t system_global_symbol = 0;
int32_t return_symbol = 0;

// The argument-list cache of a function value (built on first use): a block
// node of typeset! cells (mode in header bits 20-21), refinement! cells and
// a trailing integer!.
uint32_t argument_cache(const Cell* function);

inline Cell cell_at(uint32_t node, int32_t i) { return series::cells_head(node)[i]; }

inline int32_t canonical(int32_t symbol) { return symbols::resolve(symbol); }

[[noreturn]] void raise_script(err::Script id, const Cell* a = nullptr, const Cell* b = nullptr,
                               const Cell* c = nullptr) {
    errors::raise(id, a, b, c);
}

// The value of a cell that evaluates without calling anything: a value
// that stands for itself, or a word whose value is neither a function, an
// operator nor unset. Copied to *out; false for anything else (the full
// step handles it). Tracing must be off: the full step reports what it
// fetches.
inline bool quick_value(const Cell* c, Cell* out) {
    uint8_t t = cell::type(c);
    if (self_evaluating[t]) {
        *out = *c;
        cell::clear_new_line(out);
        return true;
    }
    if (t != type_word) return false;
    const Cell* v = peek_value(c);
    if (!v) return false;
    uint8_t vt = cell::type(v);
    if (vt == type_unset || is_function_type(vt) || vt == type_op) return false;
    *out = *v;
    return true;
}

// The word that names argument or refinement `entry` of a function's spec
// (its entry-th word, lit-word, get-word or refinement), for reports.
Cell argument_word(const Cell* function, int32_t entry) {
    uint32_t spec = function->w2;
    int32_t n = series_count(spec);
    int32_t k = 0;
    for (int32_t i = 0; i < n; i++) {
        Cell c = cell_at(spec, i);
        uint8_t t = cell::type(&c);
        if (t == type_word || t == type_lit_word || t == type_get_word || t == type_refinement) {
            if (k++ == entry) {
                cell::set_type(&c, type_word);
                return c;
            }
        }
    }
    Cell none;
    cell::make_none(&none);
    return none;
}

}  // namespace

namespace {

int32_t count_locals(const Cell* function, uint32_t* spec_node) {
    *spec_node = function->w2;
    if (cell::type(function) != type_function) return 0;
    uint32_t cache = argument_cache(function);
    Cell count = series::cells_tail(cache)[-1];
    return cell::get_integer(&count);
}

// Errors show the code they were raised in: the current expression's
// block, positioned at the expression.
void note_error(const Cell* error) {
    Cell* near = error::field(error, error::field_near);
    const gc::Roots::Expression& at = gc::roots.current_expression;
    if (near && cell::type(near) == type_none && at.node) *near = {type_block, at.position, at.node, 0};
    if (trace::on) trace::fire(trace::ev_error, nullptr, -1, error, nullptr);
}

void run_call(call::Request& request, Cell* result);

void evaluate_spec(const Cell* block) {
    Cell* top = stack::s.args_top;
    eval_block(block, false);
    stack::s.args_top = top;
}

}  // namespace

void offer_services(services::Services& s) {
    s.run_call = run_call;
    s.count_locals = count_locals;
    s.evaluate_spec = evaluate_spec;
    s.note_error = note_error;
}

void init() {
    anonymous_word = word::load("<anon>");
    local_symbol = canonical(symbols::make("local"));
    system_symbol = canonical(symbols::make("system"));
    system_global_symbol = canonical(symbols::make("system-global"));
    return_symbol = canonical(symbols::make("return"));
    init_routine_calls();
    trace::on = false;
    trace::mask = 0;
}

// ---- The argument-list cache ----

namespace {
// The types an argument's type block allows. A word without a value names
// a datatype this build does not have yet (the boot specs name them all),
// so it adds nothing; function makers check user specs strictly.
Cell type_block_set(const Cell* types) {
    Cell ts = {type_typeset, 0, 0, 0};
    uint32_t node = types->w2;
    int32_t n = series_count(node);
    for (int32_t i = int32_t(types->w1); i < n; i++) {
        Cell v = cell_at(node, i);
        if (cell::type(&v) == type_word) {
            Cell* value = peek_value(&v);
            if (!value) continue;
            v = *value;
        }
        switch (cell::type(&v)) {
            case type_datatype: typeset::set_type(&ts, uint8_t(v.w1)); break;
            case type_typeset:
                ts.w1 |= v.w1;
                ts.w2 |= v.w2;
                ts.w3 |= v.w3;
                break;
            case type_unset:
            case type_block: break;
            default: raise_script(err::script::invalid_type_spec, &v);
        }
    }
    return ts;
}
}  // namespace

namespace {
uint32_t build_argument_cache(const Cell* function);

inline uint32_t cached_arguments(const Cell* function) {
    const Cell* cached = series::cells_head(function->w3) + function::info_arguments;
    if (cell::type(cached) == type_block) [[likely]] return cached->w2;
    return build_argument_cache(function);
}

uint32_t argument_cache(const Cell* function) { return cached_arguments(function); }

uint32_t build_argument_cache(const Cell* function) {
    gc::Local fn(*function);
    gc::Local cache(Cell{});
    block_actions::make_at(&cache, 8);
    uint32_t spec = fn.w2;
    bool is_native = cell::type(&fn) == type_native || cell::type(&fn) == type_action;
    int32_t refinements = 0;
    int32_t locals = 0;
    int32_t n = series_count(spec);
    for (int32_t i = 0; i < n; i++) {
        Cell c = cell_at(spec, i);
        uint8_t t = cell::type(&c);
        if (t == type_word || t == type_lit_word || t == type_get_word) {
            Cell next;
            cell::make_none(&next);
            if (i + 1 < n) next = cell_at(spec, i + 1);
            if (cell::type(&next) == type_block && series::length_from_head(&next) > 0) {
                *series::alloc_tail(&cache) = type_block_set(&next);
            } else {
                typeset::append_any_value(&cache);
            }
            uint32_t mode =
                t == type_word ? cell::arg_evaluated : t == type_get_word ? cell::arg_literal : cell::arg_quoted;
            // The cache is being built here: no code runs it.
            uint32_t cache_node = cell::series_node(&cache);
            Cell* last = series::cells_mut_untracked(cache_node) + (nodes::buffer(cache_node)->cell_count() - 1);
            last->header = (last->header & ~cell::arg_mode_mask) | mode << cell::arg_mode_shift;
        } else if (t == type_refinement) {
            if (canonical(int32_t(c.w2)) == local_symbol) {
                locals = 1;
                for (int32_t j = i + 1; j < n; j++) {
                    Cell l = cell_at(spec, j);
                    if (cell::type(&l) == type_set_word) break;
                    if (cell::type(&l) == type_word) locals++;
                }
                break;
            }
            refinements++;
            c.w3 = uint32_t(refinements);
            c.header &= ~cell::flag_new_line;
            *series::alloc_tail(&cache) = c;
        } else if (t == type_set_word) {
            if (canonical(int32_t(c.w2)) != return_symbol) {
                Cell s = {type_block, 0, spec, 0};
                raise_script(err::script::bad_func_def, &s);
            }
            if (i + 1 < n && cell::type(series::cells_head(spec) + i + 1) == type_block) i++;
        }
    }
    // Natives take refinement positions in an array of 64.
    if (is_native && series::length_from_head(&cache) > 64) raise_script(err::script::bad_func_def, &fn);
    Cell count = {type_integer, 0, uint32_t(is_native ? refinements : locals), 0};
    *series::alloc_tail(&cache) = count;
    series::cells_mut_untracked(fn.w3)[function::info_arguments] = cache;  // the info record, never code
    return cache.w2;
}
}  // namespace

// ---- Argument fetch ----

namespace {

// Where a call's arguments come from: the cells of a block (evaluated as
// the argument modes say).
struct Source {
    const Cell* block;  // stable
    int32_t position;
    int32_t end;
    ApplyMode apply;
    bool apply_one_cell_each;
    bool infix;
    // A C++ caller's refinements (call::Call), or null; while one of them
    // is filled, position and end index its values, taken as they stand.
    const call::Request* named = nullptr;
};

bool source_ended(const Source& s) { return !s.block || ended(s.block, s.position, s.end); }

int32_t operator_steps(const Cell* block, int32_t position, int32_t end, Cell* base, bool as_argument,
                       const Cell* op);

// The operator that the cell at position names, or null.
inline const Cell* operator_at(const Cell* block, int32_t position, int32_t end) {
    if (ended(block, position, end)) return nullptr;
    const Cell* c = series::cells_head(block->w2) + position;
    if (cell::type(c) != type_word) return nullptr;
    const Cell* v = peek_value(c);
    return v && cell::type(v) == type_op ? v : nullptr;
}

// The operator look-ahead: while the next cell is a word whose value is an
// op!, call it with the value just made as its left operand. Most values
// have no operator after them, so that test is inline.
[[gnu::always_inline]] inline int32_t infix_steps(const Cell* block, int32_t position, int32_t end, Cell* base,
                                                  bool as_argument) {
    const Cell* op = operator_at(block, position, end);
    return op ? operator_steps(block, position, end, base, as_argument, op) : position;
}

// One expression whose value is pushed. A value that stands for itself or
// a plain word's value needs no step of its own; operators after it still
// apply unless no_infix.
[[gnu::always_inline]] inline int32_t push_expression(const Cell* block, int32_t position, int32_t end, bool no_infix) {
    Cell* top = stack::s.args_top;
    if (!trace::on && quick_value(series::cells_head(block->w2) + position, stack::push_cell())) {
        position++;
        return no_infix ? position : infix_steps(block, position, end, top, true);
    }
    stack::s.args_top = top;
    return eval_expression(block, position, end, no_infix ? Flags(flag_as_argument | flag_no_infix) : flag_as_argument);
}

// Pushes one argument of the given mode; `typeset` is the argument's
// cache entry.
void fetch_one(Source& src, uint32_t mode, const Cell& typeset, const Cell* function, const Cell* name,
               int32_t entry) {
    if (src.named && src.position < src.end) {
        stack::push_copy(src.named->values + src.position++);
        return;
    }
    if (source_ended(src)) {
        if (mode == cell::arg_quoted && typeset::has_type(&typeset, type_unset)) {
            cell::make_unset(stack::push_cell());
            return;
        }
        if (src.apply != ApplyMode::none) {
            cell::make_none(stack::push_cell());
            return;
        }
        Cell arg = argument_word(function, entry);
        raise_script(err::script::no_arg, name, &arg);
    }
    if (mode == cell::arg_evaluated) {
        int32_t end = src.apply_one_cell_each ? std::min(src.position + 1, src.end) : src.end;
        src.position = push_expression(src.block, src.position, end, src.infix);
        return;
    }
    Cell c = cell_at(src.block->w2, src.position);
    if (trace::on) trace::fire(trace::ev_fetch, src.block, src.position, &c, nullptr);
    src.position++;
    if (mode == cell::arg_quoted) {
        uint8_t t = cell::type(&c);
        if (t == type_paren) {
            eval_block(&c, false);
            return;
        }
        if (t == type_get_word) {
            word::push_value(&c);
            return;
        }
        if (t == type_get_path) {
            Cell* base = stack::s.args_top;
            stack::push_copy(&c);
            gc::Local result(Cell{});
            path_value(base, nullptr, false, &result);
            *base = result;
            stack::s.args_top = base + 1;
            return;
        }
    }
    cell::clear_new_line(stack::push_copy(&c));
    if (trace::on) trace::fire(trace::ev_push, nullptr, -1, &c, nullptr);
}

[[noreturn]] void type_error(const Cell* value, const Cell* function, const Cell* name, int32_t entry) {
    Cell type = {type_datatype, cell::type(value), 0, 0};
    Cell arg = argument_word(function, entry);
    raise_script(err::script::expect_arg, name, &type, &arg);
}

// A small map from cache entries to frame positions that stays off the heap
// for ordinary specs.
class Positions {
public:
    explicit Positions(int32_t n) {
        if (n > int32_t(sizeof small_ / sizeof small_[0])) {
            big_.resize(size_t(n));
            p_ = big_.data();
        } else {
            p_ = small_;
        }
    }
    int32_t& operator[](int32_t i) { return p_[i]; }

private:
    int32_t small_[32];
    std::vector<int32_t> big_;
    int32_t* p_;
};

// The mandatory arguments (the cache's leading typesets) in spec order,
// the first in the frame's cell 0 (the result slot is the first argument
// until the call ends), each checked against its types; the first `given`
// are on the stack already. Returns the number of them. A typeset holds no
// node, so the copy taken before a fetch stays good after whatever the
// fetch allocated.
[[gnu::always_inline]] inline int32_t fetch_mandatory(const Cell* function, const Cell* name, Source& src,
                                                      uint32_t cache, int32_t entries, int32_t given) {
    int32_t j = 0;
    for (; j < entries; j++) {
        Cell c = series::cells_head(cache)[j];
        if (cell::type(&c) != type_typeset) break;
        if (j >= given) {
            uint32_t mode = (c.header & cell::arg_mode_mask) >> cell::arg_mode_shift;
            if (mode == cell::arg_evaluated && !source_ended(src) && !src.apply_one_cell_each)
                src.position = push_expression(src.block, src.position, src.end, src.infix);
            else
                fetch_one(src, mode, c, function, name, j);
        }
        if (!typeset::has_type(&c, cell::type(stack::s.args + j))) [[unlikely]]
            type_error(stack::s.args + j, function, name, j);
    }
    return j;
}

// Locals: false for /local, none for each word after it. A call without
// arguments still owns its result slot: what the callee pushes must not
// land on it.
inline void push_locals(bool is_native, uint32_t cache, int32_t entries) {
    if (!is_native) {
        int32_t locals = cell::get_integer(series::cells_head(cache) + entries);
        for (int32_t i = 0; i < locals; i++) {
            if (i == 0)
                cell::make_logic(stack::push_cell(), false);
            else
                cell::make_none(stack::push_cell());
        }
    }
    if (stack::s.args_top == stack::s.args) cell::make_unset(stack::push_cell());
}

// Runs a native or action whose frame holds its arguments.
inline void run_native(const Cell* function, int32_t* refinements) {
    actions::NativeFn code = cell::type(function) == type_native ? natives::native_at(int32_t(function->w1))
                                                                 : natives::front_end_at(int32_t(function->w1));
    if (!code) errors::raise(err::internal::not_done);
    code(refinements);
}

// A plain call's frame after its `fetched` mandatory arguments: no
// refinement is used, so each is off (a native's position -1, a function's
// false) and every argument of one is a none slot; then the locals. The
// trailing count of a native's cache is its number of refinements.
inline void push_padding(bool is_native, uint32_t cache, int32_t entries, int32_t fetched, int32_t* refinements) {
    const Cell* entry = series::cells_head(cache);  // pushes allocate nothing
    if (is_native) {
        int32_t refinement_count = cell::get_integer(entry + entries);
        for (int32_t k = 0; k < refinement_count; k++) refinements[k] = -1;
        for (int32_t k = entries - fetched - refinement_count; k > 0; k--) cell::make_none(stack::push_cell());
    } else {
        for (int32_t k = fetched; k < entries; k++) {
            if (cell::type(entry + k) == type_refinement) cell::make_logic(stack::push_cell(), false);
            else cell::make_none(stack::push_cell());
        }
    }
    push_locals(is_native, cache, entries);
}

// Fetches a call's arguments into the current frame (already pushed) in
// spec order, then the arguments of the refinements the path names, in the
// path's order. Natives get refinement positions in `refinements`.
void fetch_arguments(const Cell* function, const Cell* name, Source& src, const Cell* path, int32_t path_index,
                     int32_t* refinements, int32_t given) {
    bool is_native = cell::type(function) == type_native || cell::type(function) == type_action;
    // The function's info block keeps its cache.
    uint32_t cache = cached_arguments(function);
    int32_t entries = series_count(cache) - 1;  // the trailing count
    Positions position(entries + 1);

    // The mandatory arguments, then room for every refinement.
    int32_t j = fetch_mandatory(function, name, src, cache, entries, given);
    for (int32_t k = 0; k < j; k++) position[k] = k;
    int32_t refinement_count = 0;
    const Cell* entry = series::cells_head(cache);  // pushes allocate nothing
    for (int32_t k = j; k < entries; k++) {
        if (cell::type(entry + k) == type_refinement) {
            position[k] = int32_t(stack::s.args_top - stack::s.args);
            if (is_native) {
                refinements[refinement_count] = -1;
            } else {
                cell::make_logic(stack::push_cell(), false);
            }
            refinement_count++;
        } else {
            position[k] = int32_t(stack::s.args_top - stack::s.args);
            cell::make_none(stack::push_cell());
        }
    }

    // Which refinements are in use, by ordinal: a path may name each once.
    uint64_t used_small = 0;
    std::vector<bool> used_big;
    auto mark_used = [&](int32_t ordinal) {
        bool seen;
        if (ordinal < 64) {
            seen = used_small >> ordinal & 1;
            used_small |= uint64_t(1) << ordinal;
        } else {
            if (used_big.size() <= size_t(ordinal)) used_big.resize(size_t(ordinal) + 1);
            seen = used_big[size_t(ordinal)];
            used_big[size_t(ordinal)] = true;
        }
        return seen;
    };
    // Switches refinement entry k on or off and takes its arguments from
    // the source; those of a refinement that is off are dropped, or, when
    // apply takes one cell per argument, passed over unevaluated.
    auto take_refinement = [&](int32_t k, int32_t ordinal, bool on) {
        if (is_native) {
            refinements[ordinal] = on ? position[k] : -1;
        } else {
            cell::make_logic(stack::s.args + position[k], on);
        }
        for (int32_t a = k + 1; a < entries; a++) {
            Cell ts = cell_at(cache, a);
            if (cell::type(&ts) != type_typeset) break;
            if (!on && src.apply_one_cell_each) {
                if (!source_ended(src)) src.position++;
                continue;
            }
            uint32_t mode = (ts.header & cell::arg_mode_mask) >> cell::arg_mode_shift;
            fetch_one(src, mode, ts, function, name, a);
            Cell fetched = stack::s.args_top[-1];
            stack::s.args_top--;
            if (on) {
                if (!typeset::has_type(&ts, cell::type(&fetched))) type_error(&fetched, function, name, a);
                stack::s.args[position[a]] = fetched;
            }
        }
    };

    // Refinements named by the path (for apply, refinement! elements too).
    if (path) {
        int32_t length = series_count(path->w2);
        for (int32_t i = path_index; i < length; i++) {
            Cell element = cell_at(path->w2, i);
            bool on = true;
            if (cell::type(&element) == type_get_word) {
                Cell v = *word::value_address(&element);
                on = logic::truthy(&v);
            } else if (cell::type(&element) != type_word &&
                       !(src.apply != ApplyMode::none && cell::type(&element) == type_refinement)) {
                raise_script(err::script::bad_refine, &element);
            }
            int32_t symbol = canonical(int32_t(element.w2));
            int32_t k = j;
            int32_t ordinal = 0;
            for (; k < entries; k++) {
                Cell c = cell_at(cache, k);
                if (cell::type(&c) != type_refinement) continue;
                if (canonical(int32_t(c.w2)) == symbol) break;
                ordinal++;
            }
            if (k >= entries) raise_script(err::script::no_refine, name, &element);
            if (mark_used(ordinal)) {
                Cell p = *path;
                raise_script(err::script::dup_refine, &p);
            }
            take_refinement(k, ordinal, on);
        }
    }

    // Refinements a C++ caller named: each it lacks is passed over, the
    // first naming of one counts, and each takes its own values.
    if (src.named) {
        const call::Request& request = *src.named;
        for (int32_t r = 0; r < request.refinement_count; r++) {
            const call::Named& named = request.refinements[r];
            int32_t k = j;
            int32_t ordinal = 0;
            for (; k < entries; k++) {
                Cell c = cell_at(cache, k);
                if (cell::type(&c) != type_refinement) continue;
                if (canonical(int32_t(c.w2)) == named.symbol) break;
                ordinal++;
            }
            if (k >= entries || mark_used(ordinal)) continue;
            src.position = named.first;
            src.end = named.first + named.count;
            take_refinement(k, ordinal, true);
        }
    }

    // apply's list mode: after the arguments (and those of refinements the
    // path named), every other refinement in spec order takes one value
    // whose truth switches it, followed by its own arguments.
    if (src.apply == ApplyMode::refinements_as_values) {
        int32_t ordinal = 0;
        for (int32_t k = j; k < entries; k++) {
            Cell c = cell_at(cache, k);
            if (cell::type(&c) != type_refinement) continue;
            int32_t this_ordinal = ordinal++;
            if (mark_used(this_ordinal)) continue;
            fetch_one(src, cell::arg_evaluated, Cell{}, function, name, k);
            Cell flag = stack::s.args_top[-1];
            stack::s.args_top--;
            take_refinement(k, this_ordinal, logic::truthy(&flag));
        }
    }
    if (trace::on) trace::fire(trace::ev_call, nullptr, -1, function, name);
    push_locals(is_native, cache, entries);
}

// The usual call: no path, no apply, no trace. The same steps as above
// without the bookkeeping that refinements named by a path need.
void fetch_plain_arguments(const Cell* function, const Cell* name, Source& src, int32_t* refinements,
                           int32_t given) {
    bool is_native = cell::type(function) == type_native || cell::type(function) == type_action;
    uint32_t cache = cached_arguments(function);
    int32_t entries = series_count(cache) - 1;
    int32_t j = fetch_mandatory(function, name, src, cache, entries, given);
    push_padding(is_native, cache, entries, j, refinements);
}

void eval_in_frame(const Cell* held);

class TraceGuard {
public:
    explicit TraceGuard(uint32_t header) : saved_(trace::on), saved_paused_(trace::paused) {
        if (header & cell::flag_no_trace) trace::on = trace::paused = false;
        else if (header & cell::flag_trace) trace::on = trace::mask != 0, trace::paused = false;
    }
    ~TraceGuard() {
        trace::on = saved_;
        trace::paused = saved_paused_;
    }
    TraceGuard(const TraceGuard&) = delete;
    TraceGuard& operator=(const TraceGuard&) = delete;

private:
    bool saved_;
    bool saved_paused_;
};

// Evaluates an interpreted function's body in a body frame; the result goes
// to the function frame's result slot. Return and exit stop here; every
// other exit passes on. A compiled function's body frame carries the
// compiled mark, and its body, being compiled code, is not traced: no
// prolog or epilog either.
void run_function_body(const Cell* function, const Cell* name) {
    context::context_cell(function->w1)->w2 = stack::index_of(stack::s.args) + 1;
    // The body's cell sits above the arguments and locals, out of the
    // context's reach; the body frame itself is the block's frame.
    Cell* body = stack::push_copy(series::cells_head(function->w3) + function::info_body);
    TraceGuard tracing(function->header);
    bool compiled = function::is_compiled(function);
    stack::push_frame(name, stack::kind_body << stack::kind_shift | (compiled ? stack::flag_compiled : 0u));
    trace::CodeScope untraced(compiled ? body->w2 : 0);
    if (trace::on) trace::fire(trace::ev_prolog, nullptr, -1, nullptr, name);
    uint32_t code = sys::catch_codes(sys::code_return, [&] {
        if (cell::type(body) == type_block) eval_in_frame(body);
        else cell::make_unset(stack::s.args);
    });
    if (code != 0) {
        if (code != sys::code_return && code != sys::code_exit) sys::rethrow();
        sys::clear_thrown();
    }
    if (trace::on) trace::fire(trace::ev_epilog, nullptr, -1, stack::s.args, name);
    stack::pop_frame_return();
}

}  // namespace

// ---- Calls ----

int32_t call_function(const CallSite& call) {
    Cell fn = *call.function;
    Cell name = call.name && word::is_any_word(cell::type(call.name)) ? *call.name : anonymous_word;
    cell::set_type(&name, type_word);
    name.header &= cell::type_mask;
    // A named call shows its name; a function reached without one, itself.
    if (trace::on) trace::fire(trace::ev_open, nullptr, -1, call.name && word::is_any_word(cell::type(call.name)) ? &name : &fn, &name);

    int32_t given = call.given ? call.given : call.infix ? 1 : 0;
    Cell* base = stack::s.args_top - given;  // given arguments are already there
    // The function stays alive for the call: pushed, or (an operator's,
    // whose word may be set to something else meanwhile) protected. The
    // name's context is marked through the frame.
    Cell keep_fn = fn;
    std::optional<gc::Protect> keep_fn_guard;
    if (given) keep_fn_guard.emplace(&keep_fn);
    else stack::push_copy(&fn);

    Source src{call.block, call.position, call.end, call.apply, call.apply_one_cell_each, call.infix, call.named};
    bool plain = !call.path && call.apply == ApplyMode::none && !trace::on;
    uint8_t t = cell::type(&fn);
    int32_t refinements[64];

    // The cache is built (which may allocate, and so collect) while the
    // given arguments are still inside the stack's live range.
    if (is_function_type(t)) cached_arguments(&fn);
    // The frame starts at the first given argument; nothing allocates
    // between here and the frame's push.
    if (given) stack::s.args_top = base;
    switch (t) {
        case type_function: {
            StorageGuard storage(fn.w1);
            // The context's storage is restored by the guard, not by the frame.
            uint32_t compiled = function::is_compiled(&fn) ? stack::flag_compiled : 0u;
            stack::push_frame(&name, stack::kind_function << stack::kind_shift | compiled);
            stack::s.args_top += given;
            if (plain) fetch_plain_arguments(&fn, &name, src, refinements, given);
            else fetch_arguments(&fn, &name, src, call.path, call.path_index, refinements, given);
            run_function_body(&fn, &name);
            break;
        }
        case type_native:
        case type_action: {
            stack::push_native_frame(&name);
            stack::s.args_top += given;
            if (plain) fetch_plain_arguments(&fn, &name, src, refinements, given);
            else fetch_arguments(&fn, &name, src, call.path, call.path_index, refinements, given);
            run_native(&fn, refinements);
            break;
        }
        case type_routine: {
            stack::push_native_frame(&name);
            stack::s.args_top += given;
            if (plain) fetch_plain_arguments(&fn, &name, src, refinements, given);
            else fetch_arguments(&fn, &name, src, call.path, call.path_index, refinements, given);
            call_routine(&fn, &name);
            break;
        }
        default:
            errors::raise(err::internal::not_done);
    }
    // The callee's frame holds the result in its cell 0.
    Cell result = *stack::s.args;
    stack::pop_frame_restore();
    if (trace::on) trace::fire(trace::ev_return, nullptr, -1, &result, &name);
    deliver(result, base, call.as_argument);
    return src.position;
}


namespace {
// A word's call with nothing around it: no path, no apply, no trace, no
// argument on the stack yet. It does what call_function does for such a
// call, with the argument cache read once and no request to build: the same
// frames, the same stack cells, the same errors.
[[gnu::noinline]] int32_t call_plain(const Cell& value, const Cell* block, int32_t position, int32_t end, const Cell& word,
                   bool as_argument) {
    uint8_t t = cell::type(&value);
    const Cell* cached = series::cells_head(value.w3) + function::info_arguments;
    // A routine, or a function whose cache is still to be built (which
    // allocates): the general path.
    if (t == type_routine || cell::type(cached) != type_block) [[unlikely]]
        return call_function(call_at(&value, block, position, end, &word, as_argument));
    uint32_t cache = cached->w2;
    Cell* base = stack::s.args_top;
    // Pushed, the function stays alive for the call (its word may be set to
    // something else meanwhile); it is read from here on.
    const Cell* fn = stack::push_copy(&value);
    Cell name = word;
    name.header = type_word;
    bool is_native = t != type_function;
    int32_t refinements[64];
    std::optional<StorageGuard> storage;
    if (is_native) {
        stack::push_native_frame(&name);
    } else {
        storage.emplace(fn->w1);
        uint32_t compiled = function::is_compiled(fn) ? stack::flag_compiled : 0u;
        stack::push_frame(&name, stack::kind_function << stack::kind_shift | compiled);
    }
    int32_t entries = series_count(cache) - 1;
    int32_t j = 0;
    for (; j < entries; j++) {
        // Re-read each time: an argument's evaluation may allocate.
        Cell c = series::cells_head(cache)[j];
        if (cell::type(&c) != type_typeset) break;
        uint32_t mode = (c.header & cell::arg_mode_mask) >> cell::arg_mode_shift;
        if (mode == cell::arg_evaluated && !ended(block, position, end)) {
            position = push_expression(block, position, end, false);
        } else {
            Source src{block, position, end, ApplyMode::none, false, false};
            fetch_one(src, mode, c, fn, &name, j);
            position = src.position;
        }
        if (!typeset::has_type(&c, cell::type(stack::s.args + j))) [[unlikely]]
            type_error(stack::s.args + j, fn, &name, j);
    }
    push_padding(is_native, cache, entries, j, refinements);
    if (is_native) {
        run_native(fn, refinements);
    } else {
        run_function_body(fn, &name);
    }
    Cell result = *stack::s.args;
    stack::pop_frame_restore();
    deliver(result, base, as_argument);
    return position;
}
}  // namespace

int32_t call_plain(const Cell* function, const Cell* name, const Cell* block, int32_t position, int32_t end,
                   bool as_argument) {
    if (trace::on) return call_function(call_at(function, block, position, end, name, as_argument));
    return call_plain(*function, block, position, end, *name, as_argument);
}

namespace {
// call::Call's runner. The function, its name and every value are on the
// value stack already; the positional arguments are copied again into the
// callee's frame, above a hidden frame of the caller's own, and the values
// of named refinements are read where they lie.
void run_call(call::Request& request, Cell* result) {
    Cell* fn = request.function;
    if (cell::type(fn) == type_op) cell::set_type(fn, uint8_t((fn->header & cell::op_source_mask) >> cell::op_source_shift));
    if (!is_function_type(cell::type(fn))) {
        *result = *fn;
        return;
    }
    for (int32_t r = 0; r < request.refinement_count; r++)
        request.refinements[r].symbol = canonical(symbols::make(request.refinements[r].name));
    stack::Mark mark;
    stack::push_native_frame_hidden(&anonymous_word);
    // The values go in as the first arguments, as many as the spec takes.
    uint32_t cache = argument_cache(fn);
    int32_t mandatory = 0;
    while (cell::type(series::cells_head(cache) + mandatory) == type_typeset) mandatory++;
    int32_t given = std::min(request.count, mandatory);
    Cell* base = stack::s.args_top;
    for (int32_t i = 0; i < given; i++) stack::push_copy(request.values + i);
    CallSite call;
    call.function = fn;
    call.name = request.name;
    call.as_argument = true;
    call.given = given;
    call.apply = ApplyMode::all;
    if (request.refinement_count) call.named = &request;
    call_function(call);
    *result = *base;
    request.frame = base;
    request.given = given;
}
}  // namespace

// ---- Blocks and expressions ----

namespace {
// The expression being evaluated, for the Near line of error reports; each
// block evaluation puts back its caller's when it ends.
class CurrentBlock {
public:
    CurrentBlock() : saved_(gc::roots.current_expression) {}
    ~CurrentBlock() { gc::roots.current_expression = saved_; }
    CurrentBlock(const CurrentBlock&) = delete;
    CurrentBlock& operator=(const CurrentBlock&) = delete;

private:
    gc::Roots::Expression saved_;
};
}  // namespace

namespace {
// The walk's loop over a block's expressions from `position`, its end as
// the run found it; a compiled form hands over to it at any expression.
[[gnu::always_inline]] inline void walk_rest(const Cell* held, Cell* frame, int32_t position, int32_t tail) {
    uint32_t node = cell::series_node(held);
    while (position < tail) {
        interrupt::poll();
        gc::roots.current_expression = {node, uint32_t(position)};
        position = eval_expression(held, position, tail, flags_none);
        // Someone may have shortened the block.
        tail = std::min(tail, series_count(node));
        if (position < tail) stack::s.args_top = frame + 1;
    }
    if (trace::on) trace::fire(trace::ev_exit, held, tail, frame, nullptr);
}

// Evaluates the block that `held` (a stable cell) names into the current
// frame's result slot, expression by expression.
void eval_in_frame(const Cell* held) {
    Cell* frame = stack::s.args;
    uint32_t node = held->w2;
    int32_t tail = series_count(node);
    int32_t position = std::min(int32_t(held->w1), tail);
    cell::make_unset(frame);
    stack::s.args_top = frame + 1;
    CurrentBlock current;
    trace::CodeScope tracing(node);
    if (trace::on) trace::fire(trace::ev_enter, held, position, nullptr, nullptr);
    interrupt::poll();
    walk_rest(held, frame, position, tail);
}
}  // namespace

void eval_in_current_frame(const Cell* block) { eval_in_frame(block); }

void eval_block(const Cell* block, bool keep_result) {
    Cell* caller_result = stack::s.args;
    // The block's cell stays on the stack below the frame for the run: it
    // keeps the series alive and is where the result lands when it is
    // left pushed.
    Cell* held = stack::push_copy(block);
    stack::push_eval_frame(nullptr);
    Cell* frame = stack::s.args;
    eval_in_frame(held);
    Cell result = *frame;
    stack::s.calls_top--;
    stack::s.args = caller_result;
    if (keep_result) {
        *caller_result = result;
        stack::s.args_top = std::max(held, caller_result + 1);
    } else {
        *held = result;
        stack::s.args_top = held + 1;
    }
}

int32_t eval_next(const Cell* block, int32_t position, int32_t end, bool as_argument) {
    gc::Local b(*block);
    Cell* caller = stack::s.args;
    Cell* base = stack::s.args_top;
    stack::push_native_frame_hidden(nullptr);
    int32_t next = eval_expression(&b, position, end, flags_none);
    Cell result = *stack::s.args;
    stack::s.calls_top--;
    stack::s.args = caller;
    if (as_argument) {
        *base = result;
        stack::s.args_top = base + 1;
    } else {
        *caller = result;
        stack::s.args_top = std::max(base, caller + 1);
    }
    return next;
}


namespace {

// The operators whose integer and float case the evaluator does inline, with
// the same results as their actions and natives.
enum Fast : int32_t { fast_add, fast_subtract, fast_multiply, fast_compare_first };

// The inline case of an operator cell (an op! made from +, -, * or a
// comparison), read from the op! itself, or -1.
inline int32_t fast_of_operator(const Cell* v) {
    uint8_t source = uint8_t((v->header & cell::op_source_mask) >> cell::op_source_shift);
    if (source == type_action) {
        switch (int32_t(v->w1)) {
            case actions::slot_add: return fast_add;
            case actions::slot_subtract: return fast_subtract;
            case actions::slot_multiply: return fast_multiply;
            default: return -1;
        }
    }
    // equal? not-equal? strict-equal? lesser? greater? lesser-or-equal?
    // greater-or-equal?: consecutive natives.
    static_assert(native::greater_or_equal_q - native::equal_q == 6);
    if (source == type_native && v->w1 >= native::equal_q && v->w1 <= native::greater_or_equal_q)
        return fast_compare_first + int32_t(v->w1) - native::equal_q;
    return -1;
}

// Two integers: the operation in place, a sum, difference or product past
// 32 bits becoming a float as the integer actions do it; anything else goes
// to the general case.
[[gnu::always_inline]] inline bool apply_fast_inline(int32_t fast, Cell* left, const Cell* right) {
    uint8_t tl = cell::type(left), tr = cell::type(right);
    if (tl != type_integer || tr != type_integer) {
        // Integers and floats mixed: double arithmetic, as the float actions
        // do it (comparisons of floats keep their tolerance rules in the
        // natives).
        if (fast >= fast_compare_first || (tl != type_integer && tl != type_float) ||
            (tr != type_integer && tr != type_float))
            return false;
        double a = tl == type_integer ? double(cell::get_integer(left)) : cell::get_double(left);
        double b = tr == type_integer ? double(cell::get_integer(right)) : cell::get_double(right);
        cell::make_float(left, fast == fast_add ? a + b : fast == fast_subtract ? a - b : a * b);
        return true;
    }
    int32_t a = cell::get_integer(left), b = cell::get_integer(right), r = 0;
    switch (fast) {
        case fast_add:
            if (__builtin_add_overflow(a, b, &r)) cell::make_float(left, double(a) + double(b));
            else cell::make_integer(left, r);
            return true;
        case fast_subtract:
            if (__builtin_sub_overflow(a, b, &r)) cell::make_float(left, double(a) - double(b));
            else cell::make_integer(left, r);
            return true;
        case fast_multiply:
            if (__builtin_mul_overflow(a, b, &r)) cell::make_float(left, double(a) * double(b));
            else cell::make_integer(left, r);
            return true;
        default:
            break;
    }
    bool result = false;
    switch (fast - fast_compare_first + native::equal_q) {
        case native::equal_q: result = a == b; break;
        case native::not_equal_q: result = a != b; break;
        case native::strict_equal_q: result = a == b; break;
        case native::lesser_q: result = a < b; break;
        case native::greater_q: result = a > b; break;
        case native::lesser_or_equal_q: result = a <= b; break;
        case native::greater_or_equal_q: result = a >= b; break;
    }
    cell::make_logic(left, result);
    return true;
}

int32_t operator_steps(const Cell* block, int32_t position, int32_t end, Cell* base, bool as_argument,
                       const Cell* v) {
    for (; v; v = operator_at(block, position, end)) {
        // The usual case first: no trace, numbers on the left, an operator
        // done inline.
        if (!trace::on) [[likely]] {
            Cell* left = as_argument ? base : stack::s.args;
            uint8_t tl = cell::type(left);
            int32_t fast = tl == type_integer || tl == type_float ? fast_of_operator(v) : -1;
            if (tl == type_float && fast >= fast_compare_first) fast = -1;
            if (fast >= 0 && !ended(block, position + 1, end)) {
                stack::s.args_top = left + 1;
                Cell* right = left + 1;
                // The right operand may change the word or the block.
                Cell w = cell_at(block->w2, position);
                Cell op = *v;
                int32_t next = push_expression(block, position + 1, end, true);
                if (!apply_fast_inline(fast, left, right)) {
                    // Other types: the operator runs as usual on the two
                    // operands in hand.
                    cell::set_type(&op, uint8_t((op.header & cell::op_source_mask) >> cell::op_source_shift));
                    op.header &= cell::type_mask;
                    CallSite call = call_at(&op, block, next, next, &w, as_argument);
                    call.infix = true;
                    call.given = 2;
                    call_function(call);
                } else {
                    stack::s.args_top = left + 1;
                }
                position = next;
                continue;
            }
        }
        Cell w = cell_at(block->w2, position);
        Cell op = *v;
        if (trace::on) trace::fire(trace::ev_fetch, block, position, &w, nullptr);
        // The left operand becomes the call's first cell.
        Cell* left = as_argument ? base : stack::s.args;
        stack::s.args_top = left + 1;
        cell::set_type(&op, uint8_t((op.header & cell::op_source_mask) >> cell::op_source_shift));
        op.header &= cell::type_mask;
        // Traced, or not a case done inline above: the operator's function
        // fetches its right operand itself.
        CallSite call = call_at(&op, block, position + 1, end, &w, as_argument);
        call.infix = true;
        position = call_function(call);
    }
    return position;
}

[[noreturn]] void no_value(const Cell* w) {
    Cell word = *w;
    cell::set_type(&word, type_word);
    raise_script(err::script::no_value, &word);
}

}  // namespace

namespace {
// A set-word's assignment of the value on top of the stack: the value it
// leaves (an object's change handler may have replaced it).
Cell assign(const Cell& set_word) {
    Cell v = set_word;
    Cell value = stack::s.args_top[-1];
    if (cell::type(&value) == type_unset) raise_script(err::script::need_value, &v);
    if (trace::on) trace::fire(trace::ev_set, nullptr, -1, &value, &v);
    // A word of a function or a plain context takes the value directly; an
    // object's slot is marked and its owner told.
    Cell* slot = peek_value(&v);
    if (slot && !context::notifies(v.w1)) {
        *slot = value;
    } else if (slot && context::owner_cell(v.w1)->w3 == 0) {
        // An object without change handlers: the slot is marked changed and
        // takes the value; there is no one to tell.
        context::word_at(v.w1, int32_t(v.w3))->header |= cell::flag_slot_changed;
        *slot = value;
    } else {
        gc::Local w(v);
        context::set_word_value(&w, stack::s.args_top - 1);
        value = stack::s.args_top[-1];
    }
    return value;
}

int32_t eval_expression_step(const Cell* block, int32_t position, int32_t end, Flags flags);

// An assignment: to a word of a function or a plain context directly, to
// anything else through the full assignment.
[[gnu::noinline]] int32_t assign_plain(const Cell* block, int32_t position, int32_t end, Cell* base,
                                       bool as_argument) {
    Cell v = series::cells_head(block->w2)[position];
    position = push_expression(block, position + 1, end, false);
    Cell* slot = peek_value(&v);
    const Cell* value = stack::s.args_top - 1;
    if (slot && !trace::on && cell::type(value) != type_unset && !context::notifies(v.w1)) {
        Cell copy = *value;
        *slot = copy;
        deliver(copy, base, as_argument);
    } else {
        Cell assigned = assign(v);
        deliver(assigned, base, as_argument);
    }
    return position;  // an assignment takes no operator after it
}
}  // namespace

// Most expressions start with a value that stands for itself or a word
// holding a plain value: those are taken here, the rest by the full step.
int32_t eval_expression(const Cell* block, int32_t position, int32_t end, Flags flags) {
    if (!trace::on && !(flags & flag_fetch_only)) [[likely]] {
        Cell* base = stack::s.args_top;
        bool as_argument = flags & flag_as_argument;
        Cell* out = as_argument ? base : stack::s.args;
        const Cell* c = series::cells_head(block->w2) + position;
        if (quick_value(c, out)) {
            stack::s.args_top = out + 1;
            position++;
            return flags & flag_no_infix ? position : infix_steps(block, position, end, base, as_argument);
        }
        if (cell::type(c) == type_set_word && !ended(block, position + 1, end))
            return assign_plain(block, position, end, base, as_argument);
        // A word holding a function: its plain call.
        if (cell::type(c) == type_word) {
            const Cell* v = peek_value(c);
            if (v && is_function_type(cell::type(v))) {
                Cell word = *c;
                Cell function = *v;
                position = call_plain(function, block, position + 1, end, word, as_argument);
                return flags & flag_no_infix ? position : infix_steps(block, position, end, base, as_argument);
            }
        }
    }
    return eval_expression_step(block, position, end, flags);
}

namespace {
int32_t eval_expression_step(const Cell* block, int32_t position, int32_t end, Flags flags) {
    Cell v = cell_at(block->w2, position);
    Cell* base = stack::s.args_top;
    bool as_argument = flags & flag_as_argument;
    if (trace::on) trace::fire(trace::ev_fetch, block, position, &v, nullptr);
    position++;
    switch (cell::type(&v)) {
        case type_paren: {
            eval_block(&v, false);
            Cell r = stack::s.args_top[-1];
            deliver(r, base, as_argument);
            break;
        }
        case type_word: {
            Cell* slot = peek_value(&v);
            Cell value = slot ? *slot : *word::value_address(&v);
            switch (cell::type(&value)) {
                case type_unset: no_value(&v);
                case type_native:
                case type_action:
                case type_function:
                case type_routine:
                    if (flags & flag_fetch_only) {
                        deliver(value, base, as_argument);
                        break;
                    }
                    if (!trace::on) [[likely]]
                        position = call_plain(value, block, position, end, v, as_argument);
                    else
                        position = call_function(call_at(&value, block, position, end, &v, as_argument));
                    break;
                case type_op: {
                    Cell word = v;
                    raise_script(err::script::no_op_arg, &word);
                }
                default:
                    deliver(value, base, as_argument);
                    if (trace::on) trace::fire(trace::ev_push, nullptr, -1, &value, nullptr);
            }
            break;
        }
        case type_set_word: {
            if (ended(block, position, end)) raise_script(err::script::need_value, &v);
            position = push_expression(block, position, end, false);
            Cell value = assign(v);
            deliver(value, base, as_argument);
            if (trace::on && !as_argument) trace::fire(trace::ev_expr, block, position, stack::s.args, nullptr);
            return position;  // an assignment takes no operator after it
        }
        case type_lit_word: {
            Cell w = v;
            cell::set_type(&w, type_word);
            cell::clear_new_line(&w);
            deliver(w, base, as_argument);
            break;
        }
        case type_get_word: {
            Cell value = *word::value_address(&v);
            deliver(value, base, as_argument);
            break;
        }
        case type_issue: {
            int32_t symbol = canonical(int32_t(v.w2));
            if ((symbol == system_symbol || symbol == system_global_symbol) && !ended(block, position, end) &&
                cell::type(series::cells_head(block->w2) + position) == type_block)
                errors::raise(err::internal::vum_system);
            cell::clear_new_line(&v);
            deliver(v, base, as_argument);
            break;
        }
        case type_native:
        case type_action:
        case type_function:
        case type_routine: {
            if (flags & flag_fetch_only) {
                deliver(v, base, as_argument);
                break;
            }
            position = call_function(call_at(&v, block, position, end, nullptr, as_argument));
            break;
        }
        case type_op:
            errors::raise(err::internal::not_done);
        case type_path: {
            stack::push_copy(&v);
            position = eval_path(block, position, end, stack::s.args_top - 1, PathMode::read, true);
            Cell r = stack::s.args_top[-1];
            deliver(r, base, as_argument);
            break;
        }
        case type_get_path: {
            stack::push_copy(&v);
            position = eval_path(block, position, end, stack::s.args_top - 1, PathMode::get, true);
            Cell r = stack::s.args_top[-1];
            deliver(r, base, as_argument);
            break;
        }
        case type_lit_path: {
            Cell p = v;
            cell::set_type(&p, type_path);
            cell::clear_new_line(&p);
            p.w3 = 0;
            deliver(p, base, as_argument);
            break;
        }
        case type_set_path: {
            if (ended(block, position, end)) raise_script(err::script::need_value, &v);
            stack::push_copy(&v);
            Flags f = flag_as_argument;
            position = eval_expression(block, position, end, f);
            if (trace::on) trace::fire(trace::ev_set, nullptr, -1, stack::s.args_top - 1, &v);
            eval_path(block, position, end, base, PathMode::set, true);
            Cell r = stack::s.args_top[-1];
            deliver(r, base, as_argument);
            if (trace::on && !as_argument) trace::fire(trace::ev_expr, block, position, stack::s.args, nullptr);
            return position;
        }
        default:
            cell::clear_new_line(&v);
            deliver(v, base, as_argument);
            if (trace::on) trace::fire(trace::ev_push, nullptr, -1, &v, nullptr);
    }
    if (!(flags & flag_no_infix)) position = infix_steps(block, position, end, base, as_argument);
    if (trace::on && !as_argument) trace::fire(trace::ev_expr, block, position, stack::s.args, nullptr);
    return position;
}
}  // namespace

// ---- Compiled forms ----
//
// A form runs a block the walk would run, expression by expression, with
// the same result in the frame's cell 0, the same current expression and
// the same interrupt polls. It makes no frame because the expressions it
// computes itself are those the walk computes without one: values, words
// holding plain values, integer operators done inline, assignments to
// words that need no change mark. Anything else, and any guard that fails,
// is a generic step: the walk runs that one expression. Word values are
// read where the walk reads them; the cells and bindings are trusted while
// the code epoch is the one the form was checked under, since every write
// to the block bumps it.

namespace {

bool operand_cell(const Cell* c, forms::Operand* out) {
    uint8_t t = cell::type(c);
    out->cell = *c;
    if (t == type_word) {
        out->is_word = true;
        return true;
    }
    if (!self_evaluating[t]) return false;
    out->is_word = false;
    cell::clear_new_line(&out->cell);
    return true;
}

// The step for the expression at `position`: computed when its shape is
// one the form does itself, with the operators the words hold now; else
// generic.
forms::Step compile_step(uint32_t node, int32_t position) {
    const Cell* cells = series::cells_head(node);
    int32_t n = series_count(node);
    forms::Step s{};
    s.start = position;
    s.next = -1;
    int32_t p = position;
    if (cell::type(cells + p) == type_set_word) {
        if (p + 1 >= n) return s;
        s.has_target = true;
        s.target = cells[p];
        p++;
    }
    if (!operand_cell(cells + p, &s.first)) return s;
    p++;
    while (p < n && cell::type(cells + p) == type_word) {
        const Cell* v = peek_value(cells + p);
        if (!v || cell::type(v) != type_op) break;  // the next expression's word
        int32_t fast = fast_of_operator(v);
        if (fast < 0 || p + 1 >= n || s.operators == forms::max_operators) return s;
        int32_t k = s.operators;
        if (!operand_cell(cells + p + 1, &s.right[k])) return s;
        s.op_word[k] = cells[p];
        s.op_value[k] = *v;
        s.fast[k] = fast;
        s.operators++;
        p += 2;
    }
    if (p < n && cell::type(cells + p) == type_word) {
        s.has_follower = true;
        s.follower = cells[p];
    }
    s.computed = true;
    s.next = p;
    return s;
}

// A word's value as the walk's quick step takes it, or false when the walk
// would do more (call, raise).
inline bool load_operand(const forms::Operand& o, Cell* out) {
    if (!o.is_word) {
        *out = o.cell;
        return true;
    }
    const Cell* v = peek_value(&o.cell);
    if (!v) return false;
    uint8_t t = cell::type(v);
    if (t == type_unset || is_function_type(t) || t == type_op) return false;
    *out = *v;
    return true;
}

// Runs a computed step into the frame's cell 0; false, having changed
// nothing, when the walk must take the expression.
inline bool run_computed(const forms::Step& s, Cell* frame) {
    Cell value;
    if (!load_operand(s.first, &value)) return false;
    for (int32_t k = 0; k < s.operators; k++) {
        const Cell* op = peek_value(&s.op_word[k]);
        if (!op || std::memcmp(op, &s.op_value[k], sizeof(Cell)) != 0) return false;
        Cell right;
        if (!load_operand(s.right[k], &right)) return false;
        // Numbers as the walk's inline case has them (a sum past 32 bits
        // becomes a float there too); other types call the operator.
        if (!apply_fast_inline(s.fast[k], &value, &right)) return false;
    }
    if (s.has_follower) {
        const Cell* v = peek_value(&s.follower);
        if (v && cell::type(v) == type_op) return false;
    }
    if (s.has_target) {
        Cell* slot = peek_value(&s.target);
        if (!slot || context::notifies(cell::word_context(&s.target))) return false;
        *slot = value;
    }
    *frame = value;
    stack::s.args_top = frame + 1;
    return true;
}

// The form for the block in `held`, made when the mode allows it now.
forms::Form* form_for(uint32_t node, bool again) {
    uint32_t index = series::form_of(node);
    if (index) return forms::at(index);
    if (forms::mode == forms::Mode::on && !again) return nullptr;
    return forms::make(node);
}

}  // namespace

void eval_in_current_frame_compiled(const Cell* held, bool again) {
    if (forms::mode == forms::Mode::off || trace::on || trace::paused) return eval_in_frame(held);
    uint32_t node = cell::series_node(held);
    forms::Form* form = form_for(node, again);
    if (!form) return eval_in_frame(held);
    uint64_t epoch = series::code_epoch;
    if (form->epoch != epoch) {
        // Something may have changed the cells: the steps are made again as
        // the runs reach them.
        form->steps.clear();
        form->epoch = epoch;
        if (forms::mode == forms::Mode::verify) form->snapshot = forms::snapshot(node);
    } else if (forms::mode == forms::Mode::verify) {
        forms::check_unchanged(form->snapshot, "a block's entry");
    }
    Cell* frame = stack::s.args;
    int32_t tail = series_count(node);
    int32_t position = std::min(cell::series_index(held), tail);
    cell::make_unset(frame);
    stack::s.args_top = frame + 1;
    CurrentBlock current;
    interrupt::poll();
    size_t i = 0;
    // A block entered past its head runs in the walk until it reaches a
    // step's start.
    while (position < tail) {
        if (i == form->steps.size()) form->steps.push_back(compile_step(node, position));
        if (form->steps[i].start != position) break;
        interrupt::poll();
        gc::roots.current_expression = {node, uint32_t(position)};
        const forms::Step& s = form->steps[i];
        if (s.computed && run_computed(s, frame)) {
            position = s.next;
            i++;
            continue;
        }
        position = eval_expression(held, position, tail, flags_none);
        tail = std::min(tail, series_count(node));
        if (position < tail) stack::s.args_top = frame + 1;
        // The expression may have called anything: the form goes on only
        // while nothing touched code.
        if (series::code_epoch != epoch || trace::on || trace::paused) break;
        if (forms::mode == forms::Mode::verify) forms::check_unchanged(form->snapshot, "a call's return");
        i++;
    }
    walk_rest(held, frame, position, tail);
}

void eval_rest_in_current_frame(const Cell* held, int32_t position) {
    Cell* frame = stack::s.args;
    uint32_t node = cell::series_node(held);
    int32_t tail = series_count(node);
    stack::s.args_top = frame + 1;
    CurrentBlock current;
    trace::CodeScope tracing(node);
    walk_rest(held, frame, position, tail);
}

namespace {

// A computed step with its words' cells found: valid while nothing is
// called and nothing allocates, which holds while a loop runs only these.
struct Resolved {
    const Cell* first;  // the value cell, or the constant
    bool first_word;
    int32_t operators;
    int32_t fast[forms::max_operators];
    const Cell* right[forms::max_operators];
    bool right_word[forms::max_operators];
    Cell* target;
    // Where the one-operator case writes: the target, else the frame; only
    // the block's last expression leaves its value in the frame as well
    // (a handover puts the value before it there).
    Cell* out;
    bool to_frame;
    int32_t start;
};
constexpr int32_t max_resolved = 16;

struct ResolvedBlock {
    Resolved steps[max_resolved];
    int32_t count = 0;
};

// Brings the form up to the code epoch (verify mode compares its snapshot).
void check_form(forms::Form* form) {
    uint64_t epoch = series::code_epoch;
    if (form->epoch != epoch) {
        form->steps.clear();
        form->epoch = epoch;
        if (forms::mode == forms::Mode::verify) form->snapshot = forms::snapshot(form->node);
    } else if (forms::mode == forms::Mode::verify) {
        forms::check_unchanged(form->snapshot, "a loop's entry");
    }
}

inline bool resolve_operand(const forms::Operand& o, const Cell** cell, bool* is_word) {
    *is_word = o.is_word;
    if (!o.is_word) {
        *cell = &o.cell;
        return true;
    }
    *cell = peek_value(&o.cell);
    return *cell != nullptr;
}

// Every step of the block, computed, with its words' cells and operators
// checked now; false when any is not (the loop then runs block by block).
bool resolve_block(const Cell* held, forms::Form* form, Cell* frame, ResolvedBlock* out) {
    uint32_t node = form->node;
    int32_t tail = series_count(node);
    int32_t position = cell::series_index(held);
    if (position >= tail) return false;
    // The steps first: constants are read from them where they lie.
    size_t i = 0;
    for (int32_t at = position; at < tail; i++) {
        if (i == form->steps.size()) form->steps.push_back(compile_step(node, at));
        const forms::Step& s = form->steps[i];
        if (!s.computed || s.start != at || i == size_t(max_resolved)) return false;
        at = s.next;
    }
    i = 0;
    while (position < tail) {
        const forms::Step& s = form->steps[i];
        Resolved& r = out->steps[out->count++];
        r.start = s.start;
        if (!resolve_operand(s.first, &r.first, &r.first_word)) return false;
        r.operators = s.operators;
        for (int32_t k = 0; k < s.operators; k++) {
            const Cell* op = peek_value(&s.op_word[k]);
            if (!op || std::memcmp(op, &s.op_value[k], sizeof(Cell)) != 0) return false;
            r.fast[k] = s.fast[k];
            if (!resolve_operand(s.right[k], &r.right[k], &r.right_word[k])) return false;
        }
        if (s.has_follower) {
            const Cell* v = peek_value(&s.follower);
            if (v && cell::type(v) == type_op) return false;
        }
        r.target = nullptr;
        if (s.has_target) {
            r.target = peek_value(&s.target);
            if (!r.target || context::notifies(cell::word_context(&s.target))) return false;
        }
        position = s.next;
        i++;
    }
    for (int32_t k = 0; k < out->count; k++) {
        Resolved& r = out->steps[k];
        r.out = r.target ? r.target : frame;
        r.to_frame = r.target && k == out->count - 1;
    }
    return true;
}

inline bool plain_value(const Cell* v) {
    uint8_t t = cell::type(v);
    return !(t == type_unset || is_function_type(t) || t == type_op);
}

// One resolved step into the frame; false, having changed nothing, when
// the walk must take it.
[[gnu::always_inline]] inline bool run_resolved(const Resolved& r, Cell* frame) {
    // The usual step, one operator on two numbers, without the general
    // loop; the result's cell is the left operand's with the operator's
    // result written as the inline case writes it.
    if (r.operators == 1) {
        const Cell* a = r.first;
        const Cell* b = r.right[0];
        uint8_t ta = cell::type(a), tb = cell::type(b);
        Cell* out = r.out;
        int32_t fast = r.fast[0];
        if (ta == type_integer && tb == type_integer) {
            int32_t x = cell::get_integer(a), y = cell::get_integer(b), z = 0;
            bool result = false;
            // One dispatch over every case: fast_compare_first + k is the
            // k-th of the consecutive comparison natives from equal?.
            switch (fast) {
                case fast_add:
                    if (__builtin_add_overflow(x, y, &z)) goto general;
                    goto integer;
                case fast_subtract:
                    if (__builtin_sub_overflow(x, y, &z)) goto general;
                    goto integer;
                case fast_multiply:
                    if (__builtin_mul_overflow(x, y, &z)) goto general;
                    goto integer;
                case fast_compare_first + native::equal_q - native::equal_q: result = x == y; break;
                case fast_compare_first + native::not_equal_q - native::equal_q: result = x != y; break;
                case fast_compare_first + native::strict_equal_q - native::equal_q: result = x == y; break;
                case fast_compare_first + native::lesser_q - native::equal_q: result = x < y; break;
                case fast_compare_first + native::greater_q - native::equal_q: result = x > y; break;
                case fast_compare_first + native::lesser_or_equal_q - native::equal_q: result = x <= y; break;
                case fast_compare_first + native::greater_or_equal_q - native::equal_q: result = x >= y; break;
                default: goto general;
            }
            *out = *a;
            cell::make_logic(out, result);
            if (r.to_frame) *frame = *out;
            return true;
        integer:
            *out = *a;
            cell::make_integer(out, z);
            if (r.to_frame) *frame = *out;
            return true;
        } else if (fast < fast_compare_first && (ta == type_integer || ta == type_float) &&
                   (tb == type_integer || tb == type_float)) {
            double x = ta == type_integer ? double(cell::get_integer(a)) : cell::get_double(a);
            double y = tb == type_integer ? double(cell::get_integer(b)) : cell::get_double(b);
            double z = fast == fast_add ? x + y : fast == fast_subtract ? x - y : x * y;
            *out = *a;
            cell::make_float(out, z);
            if (r.to_frame) *frame = *out;
            return true;
        }
    }
general:
    if (r.first_word && !plain_value(r.first)) return false;
    Cell value = *r.first;
    for (int32_t k = 0; k < r.operators; k++) {
        if (r.right_word[k] && !plain_value(r.right[k])) return false;
        if (!apply_fast_inline(r.fast[k], &value, r.right[k])) return false;
    }
    if (r.target) *r.target = value;
    *frame = value;
    return true;
}

// The block's steps from its entry; the position of the one refused, or -1.
[[gnu::always_inline]] inline int32_t run_resolved_block(const ResolvedBlock& b, Cell* frame) {
    cell::make_unset(frame);
    // One poll a run: a request waits at most one block's few steps, and
    // the walk takes it from the block's first expression.
    if (interrupt::requested.load(std::memory_order_relaxed)) [[unlikely]]
        return b.steps[0].start;
    for (int32_t i = 0; i < b.count; i++) {
        if (!run_resolved(b.steps[i], frame)) [[unlikely]] {
            // The frame holds the value of the expression before, as in
            // the walk.
            if (i > 0 && !b.steps[i - 1].to_frame && b.steps[i - 1].target) *frame = *b.steps[i - 1].target;
            return b.steps[i].start;
        }
    }
    return -1;
}

}  // namespace

LoopStop run_while_compiled(const Cell* condition, const Cell* body, Cell* frame, bool again) {
    LoopStop stop{LoopStop::not_run, 0};
    if (forms::mode == forms::Mode::off || trace::on || trace::paused) return stop;
    forms::Form* cf = form_for(cell::series_node(condition), again);
    if (!cf) return stop;
    forms::Form* bf = form_for(cell::series_node(body), again);
    if (!bf) return stop;
    check_form(cf);
    check_form(bf);
    ResolvedBlock c, b;
    if (!resolve_block(condition, cf, frame, &c) || !resolve_block(body, bf, frame, &b)) return stop;
    stack::s.args_top = frame + 1;
    for (;;) {
        int32_t at = run_resolved_block(c, frame);
        if (at >= 0) return {LoopStop::in_condition, at};
        uint8_t t = cell::type(frame);
        // Only a true value goes on here; false, none and unset (an error)
        // are the native's to judge.
        if (t == type_none || t == type_unset || (t == type_logic && !cell::logic_value(frame)))
            return {LoopStop::condition_done, 0};
        at = run_resolved_block(b, frame);
        if (at >= 0) return {LoopStop::in_body, at};
    }
}


bool evaluate_protected(const Cell* block, Cell* result) {
    gc::Local b(*block);
    return !call::run_catching_errors(
        [&] {
            eval_block(&b, true);
            *result = *stack::s.args;
        },
        result);
}

}  // namespace vum::eval
