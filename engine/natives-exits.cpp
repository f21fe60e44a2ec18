// The non-local exits: try, catch, throw, break, continue, exit, return.
//
// The starting natives (break, continue, exit, return, throw) hand their
// work to the value stack's unwinders, which find the target frame, leave
// the stack as that frame expects it and throw the code. The catching
// natives (try, catch) push their frame, run the block under a catch point
// and decide what the code means to them; a code they do not take goes on
// with sys::rethrow and the stack exactly as the unwinder left it.
#include <vector>

#include "base/system-throw.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "engine/interpreter.h"
#include "engine/natives.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

bool used(const int32_t* refinements, int32_t k) { return refinements[k] >= 0; }

// The frame's own result slot, so that the block's evaluation, which pushes
// frames of its own, starts above it.
void push_result_slot() { cell::make_unset(stack::push_cell()); }

// The codes of the language's own exits; anything else belongs to a
// catcher of the systems layer.
bool language_code(uint32_t code) { return code >= sys::code_language_throw && code <= sys::code_language_error; }

// try/keep: the error's stack field becomes a block of the names of the
// calls it passed through, from where it arose outward, as many as the
// stack-trace setting asks (at least one). The frames above the try were
// popped but not yet overwritten: nothing has pushed a frame since.
void take_call_trace(const Cell* error) {
    Cell* stack_field = error::field(error, error::field_stack);
    if (cell::type(stack_field) != type_integer) return;
    int32_t from = cell::get_integer(stack_field);
    if (from > stack::call_capacity) from = stack::call_capacity;
    int32_t depth = services::current.stack_trace_level();
    if (depth < 1) depth = 1;
    std::vector<int32_t> names;
    for (const stack::Frame* f = stack::s.calls_begin + from - 1;
         f >= stack::s.calls_begin && int32_t(names.size()) < depth; f--) {
        if (f->header & stack::flag_hidden) continue;
        if (f->symbol == 0 || f->symbol == stack::s.hidden_symbol_1 || f->symbol == stack::s.hidden_symbol_2)
            continue;
        names.push_back(f->symbol);
    }
    uint32_t node = memory::alloc_cells(20);
    gc::ProtectNode keep(&node);
    // The words name the calls only: the contexts they were reached
    // through may be gone with the frames.
    for (int32_t symbol : names) *series::alloc_tail_cell(node) = {type_word, 0, uint32_t(symbol), uint32_t(-1)};
    cell::make_series(error::field(error, error::field_stack), type_block, node);
}

// catch/name: the thrown name matches the given word, or any word of the
// given block, by canonical spelling (names_valid has checked the block).
bool name_matches(const Cell* thrown, const Cell* names) {
    if (cell::type(thrown) != type_word) return false;
    int32_t wanted = symbols::resolve(int32_t(thrown->w2));
    if (cell::type(names) == type_word) return symbols::resolve(int32_t(names->w2)) == wanted;
    int32_t n = block_actions::buffer_length(names->w2);
    for (int32_t i = int32_t(names->w1); i < n; i++)
        if (symbols::resolve(int32_t(block_actions::cell_at(names->w2, i)->w2)) == wanted) return true;
    return false;
}

// Every element of a block of names must be a word!.
bool names_valid(const Cell* names) {
    if (cell::type(names) != type_block) return true;
    int32_t n = block_actions::buffer_length(names->w2);
    for (int32_t i = int32_t(names->w1); i < n; i++)
        if (cell::type(block_actions::cell_at(names->w2, i)) != type_word) return false;
    return true;
}

}  // namespace

void try_native(const int32_t* refinements) {
    const bool all = used(refinements, refine::try_::all);
    const bool keep = used(refinements, refine::try_::keep);
    Cell* const base = stack::s.args;
    Cell block = *stack::arg(0);
    const Cell* name = &runtime_symbols::words[runtime_symbols::word_try];
    // With /all the frame is a body frame, which break, continue, return
    // and exit do not pass either; the barrier flag stops throws there too.
    // What finds no target beyond it becomes an error that ends here.
    if (all) {
        stack::push_body_frame(name);
        stack::s.calls_top[-1].header |= stack::flag_throw_barrier;
    } else {
        stack::push_try_frame(name);
    }
    stack::Frame* const frame = stack::current_frame();
    Cell* const frame_base = stack::s.args;
    push_result_slot();
    uint32_t code = sys::catch_codes(sys::catch_guard, [&] { eval::eval_block(&block, true); });
    if (code == 0) {
        stack::pop_frame_return();
        stack::keep_result_only();
        return;
    }
    if (!language_code(code) || (!all && code != sys::code_language_error)) sys::rethrow();
    if (code == sys::code_language_error) {
        // The error unwinder stops at the innermost try or body frame, which
        // may belong to a function called inside the block: what lies above
        // this native's own frame is dropped here.
        stack::s.calls_top = frame;
        stack::s.args = base;
        *stack::arg(0) = *stack::thrown_value();
    } else {
        // A return or exit that stopped at the body frame left its value in
        // the frame's result slot.
        stack::s.calls_top = frame + 1;
        stack::s.args = frame_base;
        stack::pop_frame_return();
    }
    stack::keep_result_only();
    sys::clear_thrown();
    if (keep && cell::type(stack::arg(0)) == type_error) take_call_trace(stack::arg(0));
}

void catch_native(const int32_t* refinements) {
    Cell* base = stack::s.args;
    const int32_t name_at = refinements[refine::catch_::name];
    Cell block = *stack::arg(0);
    stack::push_catch_frame(&runtime_symbols::words[runtime_symbols::word_body]);
    stack::Frame* const frame = stack::current_frame();
    Cell* const frame_base = stack::s.args;
    push_result_slot();
    uint32_t code = sys::catch_codes(sys::catch_language_throw, [&] { eval::eval_block(&block, true); });
    if (code == 0) {
        stack::pop_frame_return();
        stack::keep_result_only();
        return;
    }
    if (code != sys::code_language_throw) sys::rethrow();
    // The throw unwinder made this frame current with the thrown value and
    // name as its first two cells. Guards of C++ frames in between may have
    // moved the tops since, never the cells: the frame is made current again.
    stack::s.calls_top = frame + 1;
    stack::s.args = frame_base;
    stack::s.args_top = frame_base + 2;
    if (name_at >= 0) {
        const Cell* names = base + name_at;
        if (!names_valid(names)) {
            // The error arises here, not where the value was thrown.
            sys::clear_thrown();
            stack::s.error_position = nullptr;
            stack::pop_frame();
            errors::raise_refine_arg("name", names);
        }
        if (!name_matches(stack::arg(1), names)) stack::unwind_throw(sys::code_language_throw);
    }
    sys::clear_thrown();
    stack::s.error_position = nullptr;
    stack::pop_frame_return();
    stack::keep_result_only();
    if (trace::on) trace::fire(trace::ev_catch, nullptr, -1, stack::arg(0), nullptr);
}

void throw_native(const int32_t* refinements) {
    if (trace::on) trace::fire(trace::ev_throw, nullptr, -1, stack::arg(0), nullptr);
    // The unwinder takes the value and the name from the first two cells.
    while (stack::s.args_top < stack::s.args + 2) cell::make_unset(stack::push_cell());
    if (!used(refinements, refine::throw_::name))
        cell::make_unset(stack::arg(1));
    else if (refinements[refine::throw_::name] != 1)
        *stack::arg(1) = *stack::arg(refinements[refine::throw_::name]);
    stack::unwind_throw(sys::code_language_throw);
}

void break_native(const int32_t* refinements) {
    bool with_value = used(refinements, refine::break_::return_);
    if (with_value && refinements[refine::break_::return_] != 0)
        *stack::arg(0) = *stack::arg(refinements[refine::break_::return_]);
    stack::unwind_break(with_value, false);
}

void continue_native(const int32_t*) { stack::unwind_break(false, true); }

void exit_native(const int32_t*) { stack::unwind_return(false, false); }

void return_native(const int32_t*) { stack::unwind_return(true, false); }

}  // namespace vum::natives
