// The evaluation, binding and object natives: do, reduce, compose, apply;
// get, set, unset, value?, context?, bind, in; construct, extend; new-line
// and new-line?.
//
// Every value a handler holds across an evaluation or an allocation sits in
// a cell of its frame or one it pushed: evaluations move buffers and may
// leave by a non-local exit at any point, which the value stack's guards
// and the unwinders clean up after.
#include <algorithm>

#include "base/system-throw.h"
#include "datatypes/block-search.h"
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "engine/lexer.h"
#include "engine/natives.h"
#include "memory/call.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/hash-table.h"
#include "memory/raise-error.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

namespace rs = runtime_symbols;

bool used(const int32_t* refinements, int32_t k) { return refinements[k] >= 0; }

[[noreturn]] void raise_script(err::Script id, const Cell* a = nullptr, const Cell* b = nullptr) {
    errors::raise(id, a, b);
}

inline bool is_function_kind(uint8_t t) {
    return t == type_native || t == type_action || t == type_function || t == type_routine || t == type_op;
}

inline bool is_any_word_kind(uint8_t t) { return t >= type_word && t <= type_get_word; }

inline bool is_path_kind(uint8_t t) { return t >= type_path && t <= type_get_path; }

inline int32_t tail_of(const Cell* series) { return block_actions::buffer_length(series->w2); }

[[noreturn]] void not_bound(const Cell* word) {
    Cell w = *word;
    cell::set_type(&w, type_word);
    raise_script(err::script::not_defined, &w);
}

// The first frame of a call a user could name (a function, compiled or
// not, or a native) below `from`, or null. The search ends at a try frame:
// what lies below it belongs to the code that catches the error.
stack::Frame* call_below(stack::Frame* from) {
    for (stack::Frame* f = from - 1; f >= stack::s.calls_begin; f--) {
        if (f->kind() == stack::kind_try) return nullptr;
        bool call = f->kind() == stack::kind_function || f->kind() == stack::kind_native;
        bool hidden = f->symbol == 0 || f->symbol == stack::s.hidden_symbol_1 || f->symbol == stack::s.hidden_symbol_2 ||
                      (f->header & stack::flag_hidden);
        if (call && !hidden) return f;
    }
    return nullptr;
}

bool is_function_frame(const stack::Frame* f) {
    return f->kind() == stack::kind_function || (f->header & stack::flag_compiled);
}

// An error value raised by `do` is reported where `do` stands, except when
// cause-error ran it: cause-error is the environment's way of raising a
// catalogue error for its caller, so the report names the function that
// called it (or cause-error itself when no function did, as at the prompt).
[[noreturn]] void raise_error_value(const Cell* error) {
    stack::Frame* own = stack::s.calls_top - 1;
    while (own >= stack::s.calls_begin && own->kind() != stack::kind_native) own--;
    stack::Frame* runner = own >= stack::s.calls_begin ? call_below(own) : nullptr;
    if (runner && symbols::resolve(runner->symbol) == symbols::resolve(symbols::make("cause-error"))) {
        // Natives between the two (if, unless, foreach, try ...) only run
        // the caller's code: the report names the function they ran it for.
        stack::Frame* caller = call_below(runner);
        while (caller && !is_function_frame(caller)) caller = call_below(caller);
        stack::s.error_position = caller ? caller : runner;
    }
    stack::throw_error(error);
}

// Sets a word (a stable cell) of any kind; a word of no context has no slot.
void assign(Cell* word, const Cell* value) {
    if (word->w1 == 0) not_bound(word);
    context::set_word_value(word, value);
}

// A series value whose index lies past its tail stands at the tail.
void clip(Cell* series) {
    int32_t n = tail_of(series);
    if (int32_t(series->w1) > n) series->w1 = uint32_t(n);
}

// Error reports point at the expression in hand: a native that evaluates
// a block one expression at a time keeps the interpreter's current-block
// cell on it, and gives the caller's back however it ends.
class Near {
public:
    Near() : saved_(gc::roots.current_expression) {}
    ~Near() { gc::roots.current_expression = saved_; }
    void at(const Cell* block, int32_t position) { gc::roots.current_expression = {block->w2, uint32_t(position)}; }
    Near(const Near&) = delete;
    Near& operator=(const Near&) = delete;

private:
    gc::Roots::Expression saved_;
};

// A new empty block of room n in a pushed cell.
Cell* push_block(int32_t n) {
    Cell* b = cell::make_unset(stack::push_cell());
    block_actions::make_at(b, n);
    return b;
}

// Evaluates a value as one expression of its own, in a block of one cell:
// a word gives its value, a function value is called without arguments.
// The result goes to the current frame's result slot.
void evaluate_single(const Cell* value) {
    Cell* holder = push_block(1);
    *series::alloc_tail(holder) = *value;
    eval::eval_next(holder, 0, 1, false);
}

// /into: the values of `collected` (a block from its head) go into `out`,
// appended when out stands at its tail (out keeps its position), else
// inserted at its position (out then stands after them). The insertion
// action tells out's owner and index.
void put_into(const Cell* collected, Cell* out) {
    clip(out);
    bool at_tail = int32_t(out->w1) >= tail_of(out);
    gc::Local result(Cell{});
    block_search::insert(out, collected, nullptr, false, nullptr, at_tail, &result);
    if (!at_tail) *out = result;
}

// ---- do ----

// The environment functions that `do` hands work to: the preprocessor's
// expand, and do-file, which loads and runs scripts.
Cell environment_word(const char* name) { return context::load_word(name); }

// The function an environment word holds, checked: unset or not a function
// is reported as the word's own error.
Cell environment_function(const Cell* name) {
    Cell fn = *word::value_address(name);
    uint8_t t = cell::type(&fn);
    if (t == type_unset) raise_script(err::script::no_value, name);
    if (!is_function_kind(t) || t == type_op) raise_script(err::script::invalid_arg, name);
    return fn;
}

// The block is expanded in place, so the evaluation that follows sees the
// rewritten code from the same position.
void expand_directives(const Cell* block) {
    gc::Local name(environment_word("expand-directives"));
    gc::Local fn(environment_function(&name));
    gc::Local result(Cell{});
    call::Call(&fn, &name).arg(block).run(&result);
}

void do_file(const Cell* target, const Cell* argument) {
    gc::Local name(environment_word("do-file"));
    gc::Local fn(environment_function(&name));
    gc::Local result(Cell{});
    // No trace callback: a traced do has started its run already.
    call::Call(&fn, &name).arg(target).arg(nullptr).arg(argument).run(&result);
    *stack::arg(0) = result;
}

// Evaluates a block (from a stable cell) for do: all of it, or with /next
// one expression, setting the word to the block after it.
void do_block(const Cell* block, const int32_t* refinements) {
    Cell* b = stack::push_copy(block);
    clip(b);
    if (used(refinements, refine::do_::expand)) expand_directives(b);
    if (!used(refinements, refine::do_::next)) {
        eval::eval_block(b, true);
        return;
    }
    int32_t position = int32_t(b->w1);
    int32_t tail = tail_of(b);
    int32_t next = position;
    if (position >= tail) {
        cell::make_unset(stack::arg(0));
    } else {
        Near near;
        near.at(b, position);
        next = eval::eval_next(b, position, tail, false);
    }
    Cell* after = stack::push_copy(b);
    after->w1 = uint32_t(next);
    after->header &= cell::type_mask;
    assign(stack::arg(refinements[refine::do_::next]), after);
}

void do_value(const int32_t* refinements) {
    Cell* value = stack::arg(0);
    switch (cell::type(value)) {
        case type_block:
        case type_paren:
        case type_hash:
            do_block(value, refinements);
            return;
        case type_path: {
            Cell* top = stack::s.args_top;
            Cell* path = stack::push_copy(value);
            eval::eval_path(nullptr, 0, 0, path, eval::PathMode::read, true);
            *stack::arg(0) = stack::s.args_top[-1];
            stack::s.args_top = top;
            return;
        }
        case type_string: {
            Cell* loaded = cell::make_none(stack::push_cell());
            lexer::transcode(value, lexer::Options{}, loaded);
            do_block(loaded, refinements);
            return;
        }
        case type_file:
        case type_url: {
            Cell* argument = stack::push_cell();
            if (used(refinements, refine::do_::args)) *argument = *stack::arg(refinements[refine::do_::args]);
            else cell::make_none(argument);
            do_file(value, argument);
            return;
        }
        case type_error:
            raise_error_value(value);
        default:
            evaluate_single(value);
    }
}

// do/trace: the run's callback hears every step of this evaluation. The
// run ends here however the evaluation ends; the exit in flight (and the
// error value it carries) outlives the end event's callback.
void do_traced(const int32_t* refinements) {
    gc::Local callback(*stack::arg(refinements[refine::do_::trace]));
    stack::Frame* marked = stack::mark_caller_frame_trace();
    bool started = trace::start(&callback);
    uint32_t code = sys::catch_codes(sys::catch_all, [&] { do_value(refinements); });
    gc::Local thrown(*stack::thrown_value());
    stack::clear_frame_trace(marked);
    if (started) trace::end();
    if (code != 0) {
        *stack::thrown_value() = thrown;
        sys::throw_code(code);
    }
}

void do_native(const int32_t* refinements) {
    if (used(refinements, refine::do_::trace))
        do_traced(refinements);
    else
        do_value(refinements);
    stack::keep_result_only();
}

// ---- reduce and compose ----

// Sources up to this length are reduced on the value stack.
constexpr int32_t short_reduce = 64;

void reduce_native(const int32_t* refinements) {
    const bool into = used(refinements, refine::reduce::into);
    Cell* value = stack::arg(0);
    Cell* out = into ? stack::arg(refinements[refine::reduce::into]) : nullptr;
    if (cell::type(value) != type_block) {
        if (!is_function_kind(cell::type(value))) evaluate_single(value);
        if (into) {
            Cell* one = push_block(1);
            Cell v = *stack::arg(0);
            cell::clear_new_line(&v);
            *series::alloc_tail(one) = v;
            put_into(one, out);
            *stack::arg(0) = *out;
        }
        stack::keep_result_only();
        return;
    }
    Cell* source = stack::push_copy(value);
    clip(source);
    int32_t position = int32_t(source->w1);
    int32_t tail = tail_of(source);
    Near near;
    eval::Flags flags = eval::flag_as_argument;
    // A short source's values wait on the stack, and its block is made to
    // their number: a block built of many small reduces holds no spare
    // room. A long one's values go straight into a block of its length.
    bool on_stack = !into && tail - position <= short_reduce;
    Cell* collected = on_stack ? nullptr : push_block(tail - position);
    Cell* first = stack::s.args_top;
    while (position < tail) {
        near.at(source, position);
        Cell* top = stack::s.args_top;
        position = eval::eval_expression(source, position, tail, flags);
        cell::clear_new_line(stack::s.args_top - 1);
        if (collected) {
            *series::alloc_tail(collected) = stack::s.args_top[-1];
            stack::s.args_top = top;
        }
        // The evaluation may have shortened the block.
        tail = std::min(tail, tail_of(source));
    }
    if (on_stack) {
        int32_t n = int32_t(stack::s.args_top - first);
        collected = push_block(n);
        for (int32_t i = 0; i < n; i++) *series::alloc_tail(collected) = first[i];
    }
    if (into) {
        put_into(collected, out);
        *stack::arg(0) = *out;
    } else {
        *stack::arg(0) = *collected;
    }
    stack::keep_result_only();
}

// Bounds compose/deep's descent, so that a block that holds itself ends in
// an error instead of exhausting the machine stack.
constexpr int32_t compose_depth_limit = 1000;

// Composes the source block (a stable cell) onto the end of the target
// block (a stable cell).
void compose_block(const Cell* source, Cell* target, bool deep, bool only, int32_t depth) {
    if (depth > compose_depth_limit) errors::raise(err::internal::too_deep);
    Cell* top = stack::s.args_top;
    for (int32_t i = int32_t(source->w1); i < tail_of(source); i++) {
        Cell element = *block_actions::cell_at(source->w2, i);
        switch (cell::type(&element)) {
            case type_block: {
                if (!deep) break;
                Cell* inner = stack::push_copy(&element);
                clip(inner);
                Cell* composed = push_block(series::length_from_head(inner));
                compose_block(inner, composed, deep, only, depth + 1);
                element = *composed;
                element.header = inner->header;
                break;
            }
            case type_paren: {
                Cell* paren = stack::push_copy(&element);
                clip(paren);
                if (series::length_from_head(paren) == 0) {
                    stack::s.args_top = top;
                    continue;
                }
                eval::eval_block(paren, false);
                Cell* result = stack::s.args_top - 1;
                uint8_t t = cell::type(result);
                if (t == type_unset) {
                    stack::s.args_top = top;
                    continue;
                }
                if (t == type_block && !only) {
                    clip(result);
                    for (int32_t k = int32_t(result->w1); k < tail_of(result); k++) {
                        Cell c = *block_actions::cell_at(result->w2, k);
                        *series::alloc_tail(target) = c;
                    }
                    stack::s.args_top = top;
                    continue;
                }
                element = *result;
                break;
            }
            default: break;
        }
        // What element refers to is held by the source or by a pushed cell.
        *series::alloc_tail(target) = element;
        stack::s.args_top = top;
    }
}

void compose_native(const int32_t* refinements) {
    const bool deep = used(refinements, refine::compose::deep);
    const bool only = used(refinements, refine::compose::only);
    const bool into = used(refinements, refine::compose::into);
    Cell* value = stack::arg(0);
    if (cell::type(value) != type_block) {
        Cell expected = {type_datatype, type_block, 0, 0};
        Cell given = {type_datatype, cell::type(value), 0, 0};
        raise_script(err::script::expect_val, &expected, &given);
    }
    Cell* source = stack::push_copy(value);
    clip(source);
    Cell* composed = push_block(series::length_from_head(source));
    compose_block(source, composed, deep, only, 0);
    if (into) {
        Cell* out = stack::arg(refinements[refine::compose::into]);
        put_into(composed, out);
        *stack::arg(0) = *out;
    } else {
        *stack::arg(0) = *composed;
    }
    stack::keep_result_only();
}

// ---- apply ----

void apply_native(const int32_t* refinements) {
    const bool all = used(refinements, refine::apply::all);
    const bool safer = used(refinements, refine::apply::safer);
    Cell* target = stack::arg(0);
    Cell* fn = cell::make_none(stack::push_cell());
    Cell* name = stack::push_copy(&rs::words[rs::word_applied]);
    const Cell* path = nullptr;
    int32_t path_index = 0;
    uint8_t t = cell::type(target);
    if (is_any_word_kind(t)) {
        *name = *target;
        *fn = *word::value_address(target);
    } else if (is_path_kind(t)) {
        int32_t head = int32_t(target->w1);
        if (head < tail_of(target)) {
            Cell first = *block_actions::cell_at(target->w2, head);
            if (cell::type(&first) == type_word) {
                *name = first;
                *fn = *word::value_address(&first);
                path = target;
                path_index = head + 1;
            }
        }
    } else {
        *fn = *target;
    }
    if (!is_function_kind(cell::type(fn))) raise_script(err::script::invalid_arg, target);
    if (cell::type(fn) == type_op) {
        cell::set_type(fn, uint8_t((fn->header & cell::op_source_mask) >> cell::op_source_shift));
        fn->header &= cell::type_mask;
    }
    Cell* args = stack::push_copy(stack::arg(1));
    clip(args);
    stack::hide_top_frame();
    eval::CallSite call;
    call.function = fn;
    call.block = args;
    call.position = int32_t(args->w1);
    call.end = tail_of(args);
    call.name = name;
    call.path = path;
    call.path_index = path_index;
    call.apply = all ? eval::ApplyMode::all : eval::ApplyMode::refinements_as_values;
    call.apply_one_cell_each = safer;
    eval::call_function(call);
    stack::keep_result_only();
}

// ---- Words ----

void get_native(const int32_t* refinements) {
    const bool any = used(refinements, refine::get::any);
    const bool case_sensitive = used(refinements, refine::get::case_);
    Cell* target = stack::arg(0);
    uint8_t t = cell::type(target);
    if (is_path_kind(t)) {
        eval::path_value(target, nullptr, case_sensitive, target);
    } else if (t == type_object) {
        gc::Local o(*target);
        object_type::reflect(&o, rs::id(rs::sym_values), target);
    } else {
        Cell v = *word::value_address(target);
        if (cell::type(&v) == type_unset && !any) {
            Cell w = *target;
            cell::set_type(&w, type_word);
            raise_script(err::script::no_value, &w);
        }
        *target = v;
    }
    stack::keep_result_only();
}

bool block_like(uint8_t t) {
    return t == type_block || t == type_paren || t == type_hash || t == type_map || is_path_kind(t);
}

// set with a block of words: every target is checked before any is set.
void set_words_of_block(const Cell* words, const Cell* value, bool any, bool only, bool some) {
    Cell* targets = stack::push_copy(words);
    clip(targets);
    Cell* source = stack::push_copy(value);
    bool spread = block_like(cell::type(source)) && !only;
    if (spread) clip(source);
    int32_t count = series::length_from_head(targets);
    int32_t available = spread ? series::length_from_head(source) : 0;
    for (int32_t i = 0; i < count; i++) {
        Cell w = *block_actions::cell_at(targets->w2, int32_t(targets->w1) + i);
        if (!is_any_word_kind(cell::type(&w))) raise_script(err::script::invalid_arg, &w);
        if (!any && spread && i < available &&
            cell::type(block_actions::cell_at(source->w2, int32_t(source->w1) + i)) == type_unset)
            raise_script(err::script::need_value, &w);
    }
    Cell* w = stack::push_cell();
    Cell* v = stack::push_cell();
    for (int32_t i = 0; i < count && i < series::length_from_head(targets); i++) {
        *w = *block_actions::cell_at(targets->w2, int32_t(targets->w1) + i);
        if (!spread)
            *v = *source;
        else if (i < series::length_from_head(source))
            *v = *block_actions::cell_at(source->w2, int32_t(source->w1) + i);
        else
            cell::make_none(v);
        if (some && cell::type(v) == type_none) continue;
        if (!is_any_word_kind(cell::type(w))) raise_script(err::script::invalid_arg, w);
        assign(w, v);
    }
}

void set_word_native(const int32_t* refinements) {
    const bool any = used(refinements, refine::set::any);
    const bool case_sensitive = used(refinements, refine::set::case_);
    const bool only = used(refinements, refine::set::only);
    const bool some = used(refinements, refine::set::some);
    Cell* target = stack::arg(0);
    Cell* value = stack::arg(1);
    if (cell::type(value) == type_unset && !any) raise_script(err::script::need_value, target);
    uint8_t t = cell::type(target);
    if (t == type_block) {
        set_words_of_block(target, value, any, only, some);
    } else if (is_path_kind(t)) {
        Cell* result = stack::push_cell();
        eval::path_value(target, value, case_sensitive, result);
    } else if (t == type_object) {
        object_type::set_words(target, value, any, only, some);
    } else if (!(some && cell::type(value) == type_none)) {
        assign(target, value);
    }
    *stack::arg(0) = *stack::arg(1);
    stack::keep_result_only();
}

void unset_native(const int32_t*) {
    Cell* target = stack::arg(0);
    Cell* nothing = cell::make_unset(stack::push_cell());
    if (cell::type(target) == type_block) {
        Cell* w = stack::push_cell();
        for (int32_t i = int32_t(target->w1); i < tail_of(target); i++) {
            *w = *block_actions::cell_at(target->w2, i);
            if (cell::type(w) == type_word) assign(w, nothing);
        }
    } else {
        assign(target, nothing);
    }
    cell::make_unset(stack::arg(0));
    stack::keep_result_only();
}

void value_q_native(const int32_t*) {
    Cell* v = stack::arg(0);
    bool has = is_any_word_kind(cell::type(v)) ? cell::type(word::value_address(v)) != type_unset
                                               : cell::type(v) != type_unset;
    cell::make_logic(stack::arg(0), has);
    stack::keep_result_only();
}

void context_q_native(const int32_t*) {
    Cell* w = stack::arg(0);
    if (w->w1 == 0) not_bound(w);
    *w = *context::owner_cell(w->w1);
    stack::keep_result_only();
}

// The context of a native, action or op made from one: the one its spec
// made, which the info block keeps as a copy of its context! cell; its
// words name the context's node.
uint32_t spec_context(const Cell* fn) {
    Cell kept = *series::cells_head(fn->w3);
    if (cell::type(&kept) != type_context) return 0;
    uint32_t keys = hashtable::record(kept.w1)->keys;
    if (nodes::buffer(keys)->count() == 0) return 0;
    return series::cells_head(keys)->w1;
}

// The context a value names for bind and in: a word's, an object's (error
// and port alike) or a function's; 0 when it has none.
uint32_t context_of(const Cell* v) {
    uint8_t t = cell::type(v);
    if (t >= type_word && t <= type_refinement) return v->w1;
    if (t == type_native || t == type_action) return spec_context(v);
    if (t == type_op) {
        uint8_t source = uint8_t((v->header & cell::op_source_mask) >> cell::op_source_shift);
        return source == type_function || source == type_routine ? v->w1 : spec_context(v);
    }
    return v->w1;
}

void bind_native(const int32_t* refinements) {
    const bool copy = used(refinements, refine::bind::copy);
    Cell* target = stack::arg(0);
    Cell* source = stack::arg(1);
    uint32_t ctx = context_of(source);
    if (ctx == 0) not_bound(source);
    if (cell::type(target) != type_block) {
        context::bind_word(ctx, target);
    } else {
        if (copy) {
            Cell* copied = cell::make_none(stack::push_cell());
            block_actions::clone(target, true, true, copied);
            *target = *copied;
        }
        // An object's own name, self, means the object in what binds to it.
        context::bind_block(target, ctx, context::kind_of(ctx) == context::kind_object);
    }
    stack::keep_result_only();
}

void in_native(const int32_t*) {
    uint32_t ctx = context_of(stack::arg(0));
    Cell w = *stack::arg(1);
    int32_t slot = ctx ? context::find_word(ctx, int32_t(w.w2), true) : -1;
    if (slot < 0) {
        cell::make_none(stack::arg(0));
    } else {
        if (cell::type(&w) == type_refinement) cell::set_type(&w, type_word);
        cell::clear_new_line(&w);
        w.w1 = ctx;
        w.w3 = uint32_t(slot);
        *stack::arg(0) = w;
    }
    stack::keep_result_only();
}

// ---- Objects ----

void construct_native(const int32_t* refinements) {
    const Cell* prototype =
        used(refinements, refine::construct::with) ? stack::arg(refinements[refine::construct::with]) : nullptr;
    Cell* result = cell::make_none(stack::push_cell());
    object_type::construct(prototype, stack::arg(0), used(refinements, refine::construct::only), result);
    *stack::arg(0) = *result;
    stack::keep_result_only();
}

// Only map! takes new keys this way.
void extend_native(const int32_t* refinements) {
    if (cell::type(stack::arg(0)) != type_map) errors::raise(err::internal::not_done);
    map_type::extend(stack::arg(0), stack::arg(1), used(refinements, refine::extend::case_));
}

// ---- New-line markers ----

inline void mark(Cell* c, bool on) {
    if (on)
        c->header |= cell::flag_new_line;
    else
        cell::clear_new_line(c);
}

void new_line_native(const int32_t* refinements) {
    const bool all = used(refinements, refine::new_line::all);
    const bool skip = used(refinements, refine::new_line::skip);
    Cell* position = stack::arg(0);
    const bool on = logic::truthy(stack::arg(1));
    int32_t at = int32_t(position->w1);
    int32_t tail = tail_of(position);
    if (!all && !skip) {
        if (at < tail) mark(block_actions::cell_at_mut(position->w2, at), on);
    } else {
        int32_t size = 1;
        if (skip) {
            Cell* given = stack::arg(refinements[1]);
            size = cell::get_integer(given);
            if (size < 1) raise_script(err::script::out_of_range, given);
        }
        for (int32_t k = 0; at + k < tail; k++) {
            bool marker = size == 1 || k % size == 0;
            mark(block_actions::cell_at_mut(position->w2, at + k), marker ? on : !on);
        }
    }
    stack::keep_result_only();
}

void new_line_q_native(const int32_t*) {
    Cell* position = stack::arg(0);
    int32_t at = int32_t(position->w1);
    bool marked = at < tail_of(position) && cell::has_new_line(block_actions::cell_at(position->w2, at));
    cell::make_logic(stack::arg(0), marked);
    stack::keep_result_only();
}

}  // namespace

void register_evaluation_natives() {
    set_native(native::do_, do_native);
    set_native(native::get, get_native);
    set_native(native::set, set_word_native);
    set_native(native::reduce, reduce_native);
    set_native(native::compose, compose_native);
    set_native(native::bind, bind_native);
    set_native(native::in, in_native);
    set_native(native::construct, construct_native);
    set_native(native::value_q, value_q_native);
    set_native(native::extend, extend_native);
    set_native(native::unset, unset_native);
    set_native(native::new_line, new_line_native);
    set_native(native::new_line_q, new_line_q_native);
    set_native(native::context_q, context_q_native);
    set_native(native::apply, apply_native);
}

}  // namespace vum::natives
