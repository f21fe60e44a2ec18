// The value stack: one argument stack of cells through which every native,
// action, function and the interpreter pass arguments and results, and a
// call stack of frames that name each active call and mark the targets of
// non-local exits (try, catch, loop, body).
//
// Both live in tracked-heap blocks that never move, so cells on the argument
// stack keep their addresses; a value that must survive an allocation lives
// here.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::stack {

constexpr int32_t arg_capacity = 20000;   // cells
constexpr int32_t call_capacity = 12000;  // frames

enum FrameKind : uint32_t {
    kind_function = 1,
    kind_native = 2,
    kind_try = 4,
    kind_body = 5,
    kind_catch = 6,
    kind_eval = 7,
    kind_loop = 8,
};

// Frame header bits. The trace switch and the barrier of compiled functions
// are separate flags: one bit for both would let a traced interpreted
// function stop a return meant for its caller.
enum : uint32_t {
    kind_shift = 24,
    kind_mask = 0xFu << 24,
    flag_trace = 1u << 28,
    flag_compiled = 1u << 29,
    flag_throw_barrier = 1u << 30,  // a body frame that a throw does not pass (try/all's)
    flag_hidden = 1u << 31,
};

struct Frame {
    uint32_t header;
    int32_t symbol;            // the called word's symbol id, whole
    uint32_t caller_args;      // the caller's base, as a cell index
    uint32_t word_context;     // w1 of the called word's cell
    uint32_t function_context; // an interpreted function's own context, else 0
    uint32_t saved_values;     // that context's value pointer before the call
    FrameKind kind() const { return FrameKind((header & kind_mask) >> kind_shift); }
};

struct State {
    Cell* args_begin;
    Cell* args_limit;
    Cell* args_top;   // next free cell
    Cell* args;       // current frame: cell 0 the result, 1.. the arguments
    Frame* calls_begin;
    Frame* calls_limit;
    Frame* calls_top; // next free frame
    Frame* error_position;
    int32_t hidden_symbol_1;  // <body>
    int32_t hidden_symbol_2;  // <anon>
};
extern State s;

void init();
bool initialised();

// Raises stack overflow, for either stack running out.
[[noreturn]] void overflow();

// Pushes. A stale cell left above the top would be marked as if it were
// live, so every push writes its cell.
inline Cell* push_cell() {
    Cell* c = s.args_top++;
    if (s.args_top >= s.args_limit) [[unlikely]] overflow();
    cell::make_unset(c);
    return c;
}
inline Cell* push_copy(const Cell* c) {
    Cell copy = *c;
    Cell* top = s.args_top++;
    if (s.args_top >= s.args_limit) [[unlikely]] overflow();
    *top = copy;
    return top;
}
void drop(int32_t n);
uint8_t top_type();
Cell* top_cell();
void collapse_top();
void reset_to_base();
void keep_result_only();
void set_result(const Cell* c);
void set_result_and_truncate(const Cell* c);
void keep_last_result();
inline Cell* result() { return s.args; }
inline Cell* arg(int32_t i) { return s.args + i; }

inline void push_frame(const Cell* word, uint32_t header) {
    if (s.calls_top >= s.calls_limit) [[unlikely]] overflow();
    int32_t symbol = word ? int32_t(word->w2) : 0;
    Frame* f = s.calls_top++;
    f->header = header | (uint32_t(symbol) & 0xFFFF) << 8;
    f->symbol = symbol;
    f->caller_args = uint32_t(s.args - s.args_begin);
    f->word_context = word ? word->w1 : 0;
    f->function_context = 0;
    f->saved_values = 0;
    s.args = s.args_top;
}
void push_function_frame(const Cell* word, uint32_t function_context);
void push_function_frame_hidden(const Cell* word, uint32_t function_context);
inline void push_native_frame(const Cell* word) { push_frame(word, kind_native << kind_shift); }
void push_native_frame_hidden(const Cell* word);
void push_compiled_function_frame(const Cell* word, uint32_t function_context);
void push_try_frame(const Cell* word);
inline void push_body_frame(const Cell* word) { push_frame(word, kind_body << kind_shift); }
void push_catch_frame(const Cell* word);
inline void push_eval_frame(const Cell* word) { push_frame(word, kind_eval << kind_shift | flag_hidden); }
void push_loop_frame(const Cell* word);

// An interpreted function's frame puts its context's value storage back.
void restore_function_context(const Frame* f);

// Pops the top frame: the argument stack's top goes back to the frame's
// base and the base to the caller's.
inline void pop_frame_restore() {
    Frame* f = --s.calls_top;
    if (f->function_context) [[unlikely]] restore_function_context(f);
    if (s.calls_top == s.calls_begin) {
        s.args = s.args_top = s.args_begin;
    } else {
        s.args_top = s.args;
        s.args = s.args_begin + f->caller_args;
    }
}
// Pops the top frame, keeping its result cell above the caller's base.
inline void pop_frame() {
    Frame* f = --s.calls_top;
    s.args_top = s.args + 1;
    s.args = s.args_begin + f->caller_args;
}
void pop_function_frame();
void pop_function_frame_discard();
// Pops the top frame; its result goes to the caller's result slot.
inline void pop_frame_return() {
    Cell* callee = s.args;
    pop_frame();
    *s.args = *callee;
}
void pop_function_frame_return();
void pop_frame_to_caller_base();
void pop_frame_keep();

void set_top_frame_trace(bool on);
void hide_top_frame();
Frame* mark_caller_frame_trace();
void clear_frame_trace(Frame* f);
Frame* current_frame();
void set_call_top(Frame* f);
bool has_flagged_frame(Frame* f, bool only_next);
int32_t depth();

// Unwinding and exits.
void unwind_to_kind(FrameKind kind, bool keep);
void unwind_and_return(FrameKind kind);
void unwind_loop(bool keep);
[[noreturn]] void throw_error(const Cell* error);
// The value of the error in flight (set by throw_error, kept as a root):
// catchers read it here, since the guards of the frames it crossed may
// have lowered the stack top below where throw_error pushed it.
Cell* thrown_value();
// Break and continue leave for the nearest loop frame; a body frame met
// first is an error, unless it is a compiled function's (flag_compiled).
[[noreturn]] void unwind_break(bool with_value, bool is_continue);
// Return and exit leave for the nearest body frame. A frame with the
// compiled mark met first is an error; a compiled function's body frame is
// the target only when the code being evaluated (the collector's current
// expression) is that function's own, marked as compiled code.
[[noreturn]] void unwind_return(bool with_value, bool already_popped);
[[noreturn]] void unwind_throw(uint32_t code);

// Reports and traces.
Cell frame_name_for_error();
// Appends to the block, for each visible function, native or routine call
// from the oldest on, the word it was called by and the argument-stack
// index of its first argument.
void collect_trace(const Cell* block);
void mark_frames();

// The argument cell `index` of a stack context whose value pointer is base.
inline Cell* stack_context_slot(uint32_t base, int32_t index) {
    if (base == 0) return nullptr;
    Cell* c = s.args_begin + (base - 1) + index;
    return c < s.args_limit ? c : nullptr;
}
inline uint32_t index_of(const Cell* c) { return uint32_t(c - s.args_begin); }

// Restores the argument stack's top and base, and the call stack's top, when
// a C++ scope is left by a non-local exit.
class Mark {
public:
    Mark() : top_(s.args_top), args_(s.args), calls_(s.calls_top) {}
    ~Mark() { restore(); }
    void restore() {
        s.args_top = top_;
        s.args = args_;
        s.calls_top = calls_;
    }
    Mark(const Mark&) = delete;
    Mark& operator=(const Mark&) = delete;

private:
    Cell* top_;
    Cell* args_;
    Frame* calls_;
};

}  // namespace vum::stack
