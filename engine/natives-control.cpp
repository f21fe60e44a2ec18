// The conditional and loop natives: if, unless, either, any, all, switch,
// case, and the loops while, until, loop, repeat, forever, foreach, forall,
// remove-each.
//
// Every loop pushes a loop frame named <body>, the frame break and continue
// look for, and runs each evaluation of its blocks under a catch point of
// the loop threshold. The break and continue unwinders leave that frame
// current with its cell 0 holding the value the exit carries; any other
// code caught there (return, exit, throw) is passed on untouched.
//
// Loops are hot paths: an iteration allocates nothing of its own and opens
// only the catch point (free until something is thrown). The cells a loop
// walks (its copy of the series, its words) live on the value stack below
// the loop frame, where the collector sees them and nothing moves them.
#include <cmath>

#include "base/system-throw.h"
#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/image.h"
#include "datatypes/map.h"
#include "datatypes/native.h"
#include "datatypes/series.h"
#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "engine/natives.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/runtime-symbols.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

bool used(const int32_t* refinements, int32_t k) { return refinements[k] >= 0; }

[[noreturn]] void raise_script(err::Script id, const Cell* a = nullptr, const Cell* b = nullptr,
                               const Cell* c = nullptr) {
    errors::raise(id, a, b, c);
}

// ---- Truthiness ----

// The plain test: none and false are false; everything else, unset
// included, is true.
inline bool truthy(const Cell* c) {
    uint8_t t = cell::type(c);
    return t != type_none && !(t == type_logic && c->w1 == 0);
}

// The checked test: the plain test, except that a block that gave no value
// is an error rather than a silent true.
inline bool truthy_checked(const Cell* c) {
    if (cell::type(c) == type_unset) raise_script(err::script::no_return);
    return truthy(c);
}

// ---- Loop frames ----

// A loop's frame: break and continue stop at it, and its cell 0 holds the
// body's last value or the value a break leaves.
class LoopFrame {
public:
    LoopFrame() {
        stack::push_loop_frame(&runtime_symbols::words[runtime_symbols::word_body]);
        frame_ = stack::current_frame();
        base_ = stack::s.args;
        cell::make_unset(stack::push_cell());
    }
    LoopFrame(const LoopFrame&) = delete;
    LoopFrame& operator=(const LoopFrame&) = delete;

    Cell* result() const { return base_; }

    // Evaluates the block into the frame's cell 0. Answers 0 when it ran to
    // its end, else sys::code_break or sys::code_continue (cleared); every
    // other code goes on to the next catch point.
    uint32_t run(const Cell* block) {
        // The frame holds only its result: the body runs in it directly.
        uint32_t code = sys::catch_codes(sys::catch_loop, [&] { eval::eval_in_current_frame(block); });
        return finish(code);
    }
    // The same through the block's compiled form; `again` after its first run.
    uint32_t run_compiled(const Cell* block, bool again) {
        uint32_t code =
            sys::catch_codes(sys::catch_loop, [&] { eval::eval_in_current_frame_compiled(block, again); });
        return finish(code);
    }

    // The rest of a block a compiled loop handed over at `position`.
    uint32_t run_rest(const Cell* block, int32_t position) {
        uint32_t code =
            sys::catch_codes(sys::catch_loop, [&] { eval::eval_rest_in_current_frame(block, position); });
        return finish(code);
    }

private:
    uint32_t finish(uint32_t code) {
        if (code == 0) return 0;
        if (code != sys::code_break && code != sys::code_continue) sys::rethrow();
        sys::clear_thrown();
        // Guards of the C++ frames the exit crossed may have put the tops
        // back above this frame; the unwinder left the value in cell 0.
        stack::s.calls_top = frame_ + 1;
        stack::s.args = base_;
        stack::s.args_top = base_ + 1;
        return code;
    }

public:
    // Pops the frame; its cell 0 becomes the native's result.
    void close() {
        stack::pop_frame_return();
        stack::keep_result_only();
    }

    // Pops the frame and drops its value (before raising from the native).
    void discard() {
        stack::pop_frame();
        stack::keep_result_only();
    }

private:
    stack::Frame* frame_;
    Cell* base_;
};

// ---- Loop steps ----

// A float! count becomes an integer! by truncation toward zero; beyond the
// 32-bit range it stops at the limit (NaN counts as 0).
void normalize_count_arg(Cell* count) {
    if (cell::type(count) != type_float) return;
    double d = std::trunc(cell::get_double(count));
    int32_t n = std::isnan(d) ? 0 : d >= 2147483647.0 ? INT32_MAX : d <= -2147483648.0 ? INT32_MIN : int32_t(d);
    cell::make_integer(count, n);
}

// Whether the series has an element at its index.
int32_t walk_length(const Cell* series);
inline bool has_element(const Cell* series) { return int32_t(series->w1) < walk_length(series); }

// The element at buffer index `at` of the series (none beyond its tail): a
// cell as it stands in a block, else what pick gives.
void element_at(const Cell* series, int32_t at, Cell* out) {
    if (block_actions::is_any_block(cell::type(series))) {
        if (at < block_actions::buffer_length(series->w2)) *out = *block_actions::cell_at(series->w2, at);
        else cell::make_none(out);
        return;
    }
    Cell position = *series;
    position.w1 = uint32_t(at);
    Cell one{};
    cell::make_integer(&one, 1);
    actions::lookup<actions::slot_pick>(&position)(&position, &one, 1, out);
}

// Sets a loop word. A word of no context has nowhere to keep the value.
// A word that already names its slot in a context without change
// notification is stored into directly: this runs once per iteration.
void set_word(Cell* word, const Cell* value) {
    const uint32_t ctx = word->w1;
    if (ctx == 0) raise_script(err::script::not_defined, word);
    if (!context::notifies(ctx) && int32_t(word->w3) >= 0 && context::context_cell(ctx)->w2 != 0) {
        *context::word_value_address(word, ctx) = *value;
        return;
    }
    context::set_word_value(word, value);
}

// Elements a loop walks: an image's pixels, else the buffer's elements.
int32_t walk_length(const Cell* series) {
    if (cell::type(series) == type_image) return image::pixel_count(series);
    return series_actions::buffer_length(series);
}

// foreach and forall walk images by pixels (pick gives each); remove-each
// has no image step yet.
void check_walkable(const Cell* series) {
    uint8_t t = cell::type(series);
    if (t == type_image) errors::raise(err::internal::not_done);
}

// foreach with one word: sets it to the element at the index and moves on.
bool foreach_step_single(Cell* series, Cell* word) {
    int32_t index = int32_t(series->w1);
    if (index >= walk_length(series)) return false;
    Cell value{};
    element_at(series, index, &value);
    series->w1 = uint32_t(index + 1);
    set_word(word, &value);
    return true;
}

// foreach with a block of n words: sets them to the n elements from the
// index (none past the tail) and moves on by n. The words are checked on
// every step, all of them before any is set: the body may change their
// block.
Cell loop_word(const Cell* words, int32_t i) {
    int32_t at = int32_t(words->w1) + i;
    if (at >= block_actions::buffer_length(words->w2)) raise_script(err::script::invalid_arg, words);
    Cell w = *block_actions::cell_at(words->w2, at);
    uint8_t t = cell::type(&w);
    if (t < type_word || t > type_get_word) raise_script(err::script::invalid_arg, &w);
    return w;
}

bool foreach_step(Cell* series, const Cell* words, int32_t n) {
    int32_t index = int32_t(series->w1);
    if (n < 1 || index >= walk_length(series)) return false;
    if (cell::type(series) == type_map) {
        if (n != 2) raise_script(err::script::invalid_arg, words);
        return map_type::foreach_step(series, words, n, set_word);
    }
    for (int32_t i = 0; i < n; i++) loop_word(words, i);
    for (int32_t i = 0; i < n; i++) {
        // Setting a word may allocate: the buffers are read afresh each time.
        gc::Local value(Cell{});
        element_at(series, index + i, &value);
        Cell w = loop_word(words, i);
        set_word(&w, &value);
    }
    series->w1 = uint32_t(index + n);
    return true;
}

// After a remove-each body: a true value removes the n elements the step
// just walked past; the series copy takes the index remove gives back.
void remove_each_step(Cell* series, int32_t n, const Cell* result) {
    if (!truthy(result)) return;
    int32_t index = int32_t(series->w1) - n;
    series->w1 = uint32_t(index < 0 ? 0 : index);
    Cell part{};
    cell::make_integer(&part, n);
    actions::lookup<actions::slot_remove>(series)(series, n > 1 ? &part : nullptr, nullptr, series);
}

// ---- Conditionals ----

// Evaluates the chosen block in the conditional's own frame: its arguments
// are done with once the block's cell is held aside, so the frame serves
// the branch and its result slot takes the branch's value.
void run_branch(const Cell* block) {
    gc::Local b(*block);
    eval::eval_in_current_frame(&b);
}

void if_native(const int32_t*) {
    if (truthy(stack::arg(0))) run_branch(stack::arg(1));
    else cell::make_none(stack::arg(0));
}

void unless_native(const int32_t*) {
    if (!truthy(stack::arg(0))) run_branch(stack::arg(1));
    else cell::make_none(stack::arg(0));
}

void either_native(const int32_t*) { run_branch(stack::arg(truthy_checked(stack::arg(0)) ? 1 : 2)); }

// any and all: one expression at a time into the result slot; the block
// stays in a cell of the frame above it.
template <bool StopWhenTrue>
void any_all(const int32_t*) {
    Cell* block = stack::push_copy(stack::arg(0));
    int32_t position = int32_t(block->w1);
    bool evaluated = false;
    while (position < block_actions::buffer_length(block->w2)) {
        position = eval::eval_next(block, position, block_actions::buffer_length(block->w2), false);
        evaluated = true;
        if (truthy(stack::arg(0)) == StopWhenTrue) {
            if (!StopWhenTrue) cell::make_none(stack::arg(0));
            stack::keep_result_only();
            return;
        }
    }
    if (StopWhenTrue || !evaluated) cell::make_none(stack::arg(0));
    stack::keep_result_only();
}

void switch_native(const int32_t* refinements) {
    Cell* const value = stack::arg(0);
    Cell* const cases = stack::arg(1);
    const uint8_t type = cell::type(value);
    if (type != type_block) {
        gc::Local candidate({type_none, 0, 0, 0});
        // Comparing may allocate: the buffer is read afresh at every step.
        for (int32_t i = int32_t(cases->w1); i < block_actions::buffer_length(cases->w2); i++) {
            candidate = *block_actions::cell_at(cases->w2, i);
            if (cell::type(&candidate) != type || !actions::compare(value, &candidate, actions::op_equal)) continue;
            for (int32_t j = i + 1; j < block_actions::buffer_length(cases->w2); j++) {
                candidate = *block_actions::cell_at(cases->w2, j);
                if (cell::type(&candidate) == type_block) {
                    eval::eval_block(&candidate, true);
                    return;
                }
            }
            break;  // a match with no block after it matches nothing
        }
    }
    if (used(refinements, refine::switch_::default_))
        eval::eval_block(stack::arg(refinements[refine::switch_::default_]), true);
    else cell::make_none(stack::arg(0));
}

void case_native(const int32_t* refinements) {
    const bool all = used(refinements, refine::case_::all);
    Cell* const cases = stack::arg(0);
    int32_t position = int32_t(cases->w1);
    if (position >= block_actions::buffer_length(cases->w2)) {
        cell::make_none(stack::arg(0));
        return;
    }
    stack::push_native_frame(&runtime_symbols::words[runtime_symbols::word_anon]);
    Cell* const slot = stack::s.args;
    cell::make_unset(stack::push_cell());
    bool taken = false;
    while (position < block_actions::buffer_length(cases->w2)) {
        if (all) taken = false;
        position = eval::eval_next(cases, position, block_actions::buffer_length(cases->w2), false);
        if (position >= block_actions::buffer_length(cases->w2))
            raise_script(err::script::need_value, &runtime_symbols::global_words[runtime_symbols::global_case]);
        if (!truthy_checked(slot)) {
            position++;
            continue;
        }
        Cell branch = *block_actions::cell_at(cases->w2, position);
        if (cell::type(&branch) == type_block) {
            position++;
            eval::eval_block(&branch, true);
        } else {
            position = eval::eval_next(cases, position, block_actions::buffer_length(cases->w2), false);
        }
        if (!all) {
            stack::pop_frame_return();
            stack::keep_result_only();
            return;
        }
        taken = true;
    }
    if (!taken) cell::make_none(slot);
    stack::pop_frame_return();
    stack::keep_result_only();
}

// ---- Loops ----

void while_native(const int32_t*) {
    Cell* const cond = stack::arg(0);
    Cell* const body = stack::arg(1);
    LoopFrame loop;
    // Iterations run compiled as a whole while both blocks are computed
    // steps; once the walk has had to take over, block by block.
    bool whole = true;
    for (bool again = false;; again = true) {
        eval::LoopStop stop{eval::LoopStop::not_run, 0};
        if (whole) {
            stop = eval::run_while_compiled(cond, body, loop.result(), again);
            // Tried once forms could exist (the second run); one that did
            // not start will not start later.
            if (stop.kind != eval::LoopStop::not_run || again) whole = false;
        }
        if (stop.kind != eval::LoopStop::in_body) {
            if (stop.kind != eval::LoopStop::condition_done) {
                uint32_t code = stop.kind == eval::LoopStop::in_condition ? loop.run_rest(cond, stop.position)
                                                                          : loop.run_compiled(cond, again);
                if (code != 0) {
                    loop.discard();
                    errors::raise(err::throw_::while_cond);
                }
            }
            if (!truthy_checked(loop.result())) break;
        }
        uint32_t code = stop.kind == eval::LoopStop::in_body ? loop.run_rest(body, stop.position)
                                                             : loop.run_compiled(body, again);
        if (code == sys::code_break) break;
    }
    cell::make_unset(loop.result());
    loop.close();
}

void until_native(const int32_t*) {
    Cell* const body = stack::arg(0);
    LoopFrame loop;
    for (;;) {
        uint32_t code = loop.run(body);
        if (code == sys::code_break) break;
        if (code == sys::code_continue) continue;
        if (truthy_checked(loop.result())) break;
    }
    loop.close();
}

void loop_native(const int32_t*) {
    normalize_count_arg(stack::arg(0));
    const int32_t count = cell::get_integer(stack::arg(0));
    Cell* const body = stack::arg(1);
    if (count < 1) {
        cell::make_none(stack::arg(0));
        return;
    }
    LoopFrame loop;
    for (int32_t i = 0; i < count; i++)
        if (loop.run(body) == sys::code_break) break;
    loop.close();
}

void repeat_native(const int32_t*) {
    Cell* const word = stack::arg(0);
    normalize_count_arg(stack::arg(1));
    const int32_t count = cell::get_integer(stack::arg(1));
    Cell* const body = stack::arg(2);
    if (count < 1) {
        cell::make_none(stack::arg(0));
        return;
    }
    LoopFrame loop;
    Cell counter{};
    for (int64_t i = 1; i <= count; i++) {
        cell::make_integer(&counter, int32_t(i));
        set_word(word, &counter);
        if (loop.run(body) == sys::code_break) break;
    }
    loop.close();
}

void forever_native(const int32_t*) {
    Cell* const body = stack::arg(0);
    LoopFrame loop;
    while (loop.run(body) != sys::code_break) {
    }
    loop.close();
}

void foreach_native(const int32_t*) {
    Cell* const words = stack::arg(0);
    Cell* const body = stack::arg(2);
    Cell* const series = stack::push_copy(stack::arg(1));
    Cell* const word = stack::push_copy(words);
    const bool single = cell::type(word) != type_block;
    int32_t n = 1;
    if (single) {
        if (cell::type(series) == type_map) raise_script(err::script::invalid_arg, word);
    } else {
        n = block_actions::length_from_head(word);
        if (n < 1) raise_script(err::script::invalid_arg, word);
    }
    LoopFrame loop;
    for (;;) {
        bool stepped = single ? foreach_step_single(series, word) : foreach_step(series, word, n);
        if (!stepped || loop.run(body) == sys::code_break) break;
    }
    loop.close();
}

void forall_native(const int32_t*) {
    Cell* const word = stack::arg(0);
    Cell* const body = stack::arg(1);
    Cell* const start = stack::push_cell();
    *start = word::value_of(word);
    if (!block_actions::is_series_kind(cell::type(start))) {
        const stack::Frame* self = stack::current_frame();
        Cell name = {type_word, 0, uint32_t(self->symbol), uint32_t(-1)};
        Cell type = {type_datatype, cell::type(start), 0, 0};
        Cell parameter = context::load_word("word");
        raise_script(err::script::expect_arg, &name, &type, &parameter);
    }
    LoopFrame loop;
    bool at_end = !has_element(start);
    while (!at_end) {
        if (loop.run(body) == sys::code_break) {
            loop.close();
            return;  // the word stays where the break left it
        }
        Cell* now = word::value_address(word);
        if (!block_actions::is_series_kind(cell::type(now)) || now->w2 != start->w2) {
            Cell changed = *now;
            raise_script(err::script::bad_loop_series, &changed);
        }
        if (cell::type(now) == type_image) {
            if (has_element(now)) now->w1++;
            at_end = !has_element(now);
        } else {
            at_end = series_actions::advance_head(now, 1);
        }
    }
    set_word(word, start);
    loop.close();
}

void remove_each_native(const int32_t*) {
    Cell* const body = stack::arg(2);
    Cell* const series = stack::push_copy(stack::arg(1));
    Cell* const word = stack::push_copy(stack::arg(0));
    const bool single = cell::type(word) != type_block;
    int32_t n = 1;
    if (!single) {
        n = block_actions::length_from_head(word);
        if (n < 1) raise_script(err::script::invalid_arg, word);
    }
    check_walkable(series);
    LoopFrame loop;
    for (;;) {
        bool stepped = single ? foreach_step_single(series, word) : foreach_step(series, word, n);
        if (!stepped) break;
        uint32_t code = loop.run(body);
        if (code == sys::code_break) break;
        // A continue leaves its values in place: it gave no verdict.
        if (code == 0) remove_each_step(series, n, loop.result());
    }
    loop.close();
    *stack::arg(0) = *stack::arg(1);
}

}  // namespace

void register_control_natives() {
    set_native(native::if_, if_native);
    set_native(native::unless, unless_native);
    set_native(native::either, either_native);
    set_native(native::any, any_all<true>);
    set_native(native::all, any_all<false>);
    set_native(native::while_, while_native);
    set_native(native::until, until_native);
    set_native(native::loop, loop_native);
    set_native(native::repeat, repeat_native);
    set_native(native::forever, forever_native);
    set_native(native::foreach, foreach_native);
    set_native(native::forall, forall_native);
    set_native(native::remove_each, remove_each_native);
    set_native(native::switch_, switch_native);
    set_native(native::case_, case_native);
}

}  // namespace vum::natives
