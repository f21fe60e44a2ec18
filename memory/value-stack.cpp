#include "memory/value-stack.h"

#include <unistd.h>

#include <string>

#include "base/console-output.h"
#include "base/system-throw.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"

namespace vum::stack {

State s{};

namespace {
Cell thrown{};
uint32_t arg_node = 0;
uint32_t call_node = 0;

void restore_context(const Frame* f) {
    if (f->kind() == kind_function && f->function_context)
        context::context_cell(f->function_context)->w2 = f->saved_values;
}

Cell* base_at(uint32_t index) { return s.args_begin + index; }

bool hidden(const Frame* f) { return f->symbol == s.hidden_symbol_1 || f->symbol == s.hidden_symbol_2; }
}  // namespace

bool initialised() { return s.args_begin != nullptr; }

void init() {
    arg_node = memory::alloc_external_series(arg_capacity, 16, 0);
    call_node = memory::alloc_external_series(call_capacity * int32_t(sizeof(Frame)), 1, 0);
    SeriesBuffer* a = nodes::buffer(arg_node);
    SeriesBuffer* c = nodes::buffer(call_node);
    s.args_begin = reinterpret_cast<Cell*>(a->data());
    s.args_limit = s.args_begin + arg_capacity;
    s.args = s.args_top = s.args_begin;
    s.calls_begin = reinterpret_cast<Frame*>(c->data());
    s.calls_limit = s.calls_begin + call_capacity;
    s.calls_top = s.calls_begin;
    s.error_position = nullptr;
    thrown = Cell{};
    s.hidden_symbol_1 = symbols::make("<body>");
    s.hidden_symbol_2 = symbols::make("<anon>");
    gc::roots.arg_stack = arg_node;
    gc::roots.call_stack = call_node;
    context::stack_slot = stack_context_slot;
    if (gc::roots.root_block.w2) {
        Cell b;
        cell::make_series(&b, type_block, arg_node);
        *series::alloc_tail(&gc::roots.root_block) = b;
        cell::make_series(&b, type_binary, call_node);
        *series::alloc_tail(&gc::roots.root_block) = b;
    }
}

// Overflow leaves room to report it: the top moves back five cells.
void overflow() {
    s.args_top = s.args_top - 5 < s.args_begin ? s.args_begin : s.args_top - 5;
    cycles::reset();
    errors::raise(err::internal::stack_overflow);
}

void drop(int32_t n) { s.args_top = s.args_top - n < s.args_begin ? s.args_begin : s.args_top - n; }

uint8_t top_type() { return cell::type(top_cell()); }

Cell* top_cell() { return s.args_top > s.args_begin ? s.args_top - 1 : s.args_begin; }

void collapse_top() {
    if (s.args_top - s.args_begin < 2) return;
    s.args_top--;
    s.args_top[-1] = *s.args_top;
}

void reset_to_base() { s.args_top = s.args; }
void keep_result_only() { s.args_top = s.args + 1; }
void set_result(const Cell* c) { *s.args = *c; }

void set_result_and_truncate(const Cell* c) {
    *s.args = *c;
    s.args_top = s.args + 1;
}

void keep_last_result() {
    if (s.args_top > s.args && cell::type(s.args_top - 1) == type_error) *s.args = s.args_top[-1];
    s.args_top = s.args + 1;
}

void push_function_frame(const Cell* word, uint32_t function_context) {
    push_frame(word, kind_function << kind_shift);
    if (function_context) {
        Frame* f = s.calls_top - 1;
        f->function_context = function_context;
        f->saved_values = context::context_cell(function_context)->w2;
    }
}

void push_function_frame_hidden(const Cell* word, uint32_t function_context) {
    push_function_frame(word, function_context);
    hide_top_frame();
}

void push_native_frame_hidden(const Cell* word) { push_frame(word, kind_native << kind_shift | flag_hidden); }

void push_compiled_function_frame(const Cell* word, uint32_t function_context) {
    // Its arguments are read in place on the argument stack.
    context::context_cell(function_context)->w2 = index_of(s.args + 1) + 1;
    push_frame(word, kind_native << kind_shift | flag_compiled);
}

void push_try_frame(const Cell* word) { push_frame(word, kind_try << kind_shift); }
void push_catch_frame(const Cell* word) { push_frame(word, kind_catch << kind_shift); }
void push_loop_frame(const Cell* word) { push_frame(word, kind_loop << kind_shift); }

void restore_function_context(const Frame* f) { restore_context(f); }

void pop_function_frame() {
    restore_context(s.calls_top - 1);
    pop_frame();
}

void pop_function_frame_discard() {
    Frame* f = --s.calls_top;
    restore_context(f);
    s.args = base_at(f->caller_args);
    s.args_top = s.args;
}

void pop_function_frame_return() {
    Cell* callee = s.args;
    pop_function_frame();
    *s.args = *callee;
}

void pop_frame_to_caller_base() {
    Frame* f = --s.calls_top;
    s.args = s.args_top = base_at(f->caller_args);
}

void pop_frame_keep() {
    Frame* f = --s.calls_top;
    restore_context(f);
    s.args = s.calls_top > s.calls_begin ? base_at(s.calls_top[-1].caller_args) : s.args_begin;
    drop(1);
}

void set_top_frame_trace(bool on) {
    if (s.calls_top == s.calls_begin) return;
    Frame* f = s.calls_top - 1;
    f->header = on ? f->header | flag_trace : f->header & ~uint32_t(flag_trace);
}

void hide_top_frame() {
    if (s.calls_top > s.calls_begin) s.calls_top[-1].header |= flag_hidden;
}

Frame* mark_caller_frame_trace() {
    if (s.calls_top - s.calls_begin < 2) return nullptr;
    Frame* f = s.calls_top - 2;
    if (f->header & flag_trace) return nullptr;
    f->header |= flag_trace;
    return f;
}

void clear_frame_trace(Frame* f) {
    if (f) f->header &= ~uint32_t(flag_trace);
}

Frame* current_frame() { return s.calls_top > s.calls_begin ? s.calls_top - 1 : nullptr; }
void set_call_top(Frame* f) { s.calls_top = f; }

bool has_flagged_frame(Frame* f, bool only_next) {
    if (!f) f = s.calls_top;
    for (Frame* p = f - 1; p >= s.calls_begin; p--) {
        if (p->header & flag_hidden) return true;
        if (only_next) return false;
    }
    return false;
}

int32_t depth() { return int32_t(s.calls_top - s.calls_begin); }

void unwind_to_kind(FrameKind kind, bool keep) {
    Frame* found = nullptr;
    while (s.calls_top > s.calls_begin) {
        found = --s.calls_top;
        restore_context(found);
        if (found == s.calls_begin || found->kind() == kind || found->kind() == kind_body) break;
    }
    if (keep && found) s.calls_top++;
    if (!found) {
        s.args_top = s.args + 1;
    } else if (s.calls_top == s.calls_begin) {
        s.args = s.args_top = s.args_begin;
    } else {
        s.args_top = s.args + 1;
        s.args = base_at(s.calls_top->caller_args);
    }
    if (!keep && found) s.calls_top++;
}

void unwind_and_return(FrameKind kind) {
    Cell result = *s.args;
    unwind_to_kind(kind, false);
    Cell* slot = base_at(s.calls_top[-1].caller_args);
    *slot = result;
    s.args = s.args_top = slot;
}

void unwind_loop(bool keep) { unwind_to_kind(kind_loop, keep); }

void throw_error(const Cell* error) {
    Cell e = *error;
    bool had_frames = s.calls_top > s.calls_begin;
    if (had_frames) {
        if (cell::type(&e) == type_error && errors::values_ready) {
            Cell where = frame_name_for_error();
            services::current.error_values->set_where(&e, &where);
            services::current.error_values->note_stack(&e, depth());
        }
        Cell* top = s.args_top;
        unwind_to_kind(kind_try, false);
        s.calls_top--;
        s.args_top = top;
    }
    FrameKind bottom = s.calls_begin->kind();
    if (!had_frames || (s.calls_top == s.calls_begin && bottom != kind_try && bottom != kind_body)) {
        // Nothing can catch it: report and end the process.
        std::string report = cell::type(&e) == type_error && errors::values_ready
                                 ? services::current.error_values->form_report(&e)
                                 : std::string("*** error");
        report += "\n";
        output::flush();
        ssize_t ignored = ::write(STDERR_FILENO, report.data(), report.size());
        (void)ignored;
        sys::exit_process(-2);
    }
    thrown = e;
    push_copy(&e);
    sys::throw_code(sys::code_language_error);
}

namespace {
// A break, continue, return or throw that finds no target inside the
// current body is an error of the throw category.
[[noreturn]] void no_target(err::Throw what, Cell* args, Cell* top, Frame* calls, const Cell* value = nullptr) {
    s.args = args;
    s.args_top = top;
    s.calls_top = calls;
    errors::raise(what, value);
}
}  // namespace

void unwind_break(bool with_value, bool is_continue) {
    Cell* args = s.args;
    Cell* top = s.args_top;
    Frame* calls = s.calls_top;
    err::Throw what = is_continue ? err::throw_::continue_ : err::throw_::break_;
    Cell value = *args;
    if (s.calls_top > s.calls_begin) s.calls_top--;
    Frame* f = s.calls_top - 1;
    for (; f >= s.calls_begin; f--) {
        // A compiled function's body is no barrier: a loop outside it may
        // be left from a block it was given.
        if (f->kind() == kind_body && !(f->header & flag_compiled)) no_target(what, args, top, calls);
        if (f->kind() == kind_loop) break;
    }
    if (f < s.calls_begin) no_target(what, args, top, calls);
    s.calls_top = f + 1;
    s.args = s.args_top = base_at(f[1].caller_args);
    if (with_value) *s.args = value; else cell::make_unset(s.args);
    s.args_top = s.args + 1;
    sys::throw_code(is_continue ? sys::code_continue : sys::code_break);
}

void unwind_return(bool with_value, bool already_popped) {
    Cell* args = s.args;
    Cell* top = s.args_top;
    Frame* calls = s.calls_top;
    Cell value = *args;
    if (!already_popped && s.calls_top > s.calls_begin) s.calls_top--;
    Frame* f = s.calls_top - 1;
    // A compiled function is left only by a return in its own code: one in
    // a block it was given meets its frame as a barrier.
    uint32_t code = gc::roots.current_expression.node;
    bool own = code && (nodes::buffer(code)->flags & series_flags::compiled_code);
    for (; f >= s.calls_begin; f--) {
        if ((f->header & flag_compiled) && !(f->kind() == kind_body && own))
            no_target(err::throw_::return_, args, top, calls);
        if (f->kind() == kind_body) break;
    }
    if (f < s.calls_begin) no_target(err::throw_::return_, args, top, calls);
    s.calls_top = f + 1;
    s.args = s.args_top = base_at(f[1].caller_args);
    if (with_value) *s.args = value; else cell::make_unset(s.args);
    s.args_top = s.args + 1;
    sys::throw_code(with_value ? sys::code_return : sys::code_exit);
}

void unwind_throw(uint32_t code) {
    Cell* args = s.args;
    Cell* top = s.args_top;
    Frame* calls = s.calls_top;
    Cell value = args[0];
    Cell name = args[1];
    if (s.calls_top > s.calls_begin) s.calls_top--;
    if (!s.error_position) s.error_position = s.calls_top;
    Frame* f = s.calls_top - 1;
    for (; f >= s.calls_begin; f--) {
        // A throw passes the bodies of the functions it leaves, on its way
        // to a caller's catch.
        if (f->kind() == kind_body && (f->header & flag_throw_barrier)) no_target(err::throw_::throw_, args, top, calls, &value);
        if (f->kind() == kind_catch) break;
    }
    if (f < s.calls_begin) no_target(err::throw_::throw_, args, top, calls, &value);
    s.calls_top = f + 1;
    s.args = s.args_top = base_at(f[1].caller_args);
    push_copy(&value);
    push_copy(&name);
    sys::throw_code(code);
}

namespace {
// Frames that name a call a user made: not the interpreter's own, not the
// anonymous ones.
bool visible(const Frame* f) { return !hidden(f) && f->symbol != 0 && !(f->header & flag_hidden); }

// The word a frame was called by, bound where it was found.
Cell frame_word(const Frame* f) {
    Cell w = {type_word, f->word_context, uint32_t(f->symbol), uint32_t(-1)};
    if (f->word_context) {
        int32_t slot = context::find_word(f->word_context, f->symbol, true);
        w.w3 = uint32_t(slot);
        if (slot < 0) w.w1 = 0;
    }
    return w;
}
}  // namespace

Cell frame_name_for_error() {
    Frame* f = s.error_position ? s.error_position : s.calls_top - 1;
    s.error_position = nullptr;
    for (; f >= s.calls_begin; f--)
        if (visible(f)) return frame_word(f);
    return runtime_symbols::words[runtime_symbols::word_not_found];
}

void collect_trace(const Cell* block) {
    gc::Local target(*block);
    // The frames keep the contexts of their words alive while the block
    // grows (and growing it pushes no frame).
    for (const Frame* f = s.calls_begin; f < s.calls_top; f++) {
        // A call's own frame, not the body, try or loop frames inside it.
        if (!visible(f) || (f->kind() != kind_function && f->kind() != kind_native)) continue;
        Cell word = frame_word(f);
        Cell base;
        cell::make_integer(&base, int32_t(f + 1 < s.calls_top ? f[1].caller_args : index_of(s.args)));
        *series::alloc_tail(&target) = word;
        *series::alloc_tail(&target) = base;
    }
}

Cell* thrown_value() { return &thrown; }

void mark_frames() {
    if (cell::type(&thrown) != 0) gc::mark_cells(&thrown, &thrown + 1);
    for (Frame* f = s.calls_begin; f < s.calls_top; f++) {
        if (f->word_context) {
            if (f->symbol && f->symbol == runtime_symbols::id(runtime_symbols::sym_self))
                gc::mark_series_cells(f->word_context);
            else
                gc::mark_context(f->word_context);
        }
        if (f->function_context) {
            gc::mark_context(f->function_context);
            if (f->saved_values && !context::is_stack(f->function_context)) gc::mark_series_cells(f->saved_values);
        }
    }
}

}  // namespace vum::stack
