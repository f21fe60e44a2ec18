// The interpreter: evaluates blocks of values expression by expression.
//
// Positions are indexes into the block's series, never addresses: any
// evaluation may allocate, and an allocation may move the buffer. Values in
// flight live on the value stack (stack::), whose cells never move.
//
// Results follow the value stack's frame discipline: an expression that
// feeds an argument pushes its value on the stack; any other expression
// stores it in the current frame's result slot (stack::arg(0)).
//
// Non-local exits (errors, break, continue, return, exit, throw) are the
// systems layer's throw (sys::throw_code); the value-stack unwinders put the
// stack in the state the catching frame expects before throwing, so the C++
// frames in between only restore what they themselves changed.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::call {
struct Request;
}
namespace vum::services {
struct Services;
}

namespace vum::eval {

// Start-up: the anonymous call name and the trace state.
void init();
// The interpreter's runtime services: call::Call's runner, the local count
// and spec evaluation object! needs, and the note on a raised error.
void offer_services(services::Services& s);

// Evaluates the block or paren from its index to its tail in an eval frame.
// keep_result: the last expression's value is stored in the result slot of
// the frame current at the call; otherwise it is left pushed on the stack
// (one cell above the caller's top). An empty block gives unset. The block
// cell is copied first, so it may be any cell.
void eval_block(const Cell* block, bool keep_result);

// Evaluates the block into the current frame's result slot (cell 0),
// without a frame of its own, for a frame whose other cells are no longer
// needed (a loop's, a conditional's): each expression starts again just
// above cell 0. `block` must be a stable cell outside the frame.
void eval_in_current_frame(const Cell* block);
// The same through the block's compiled form when forms are on: `again`
// says the caller ran this block before (a loop's second pass), which is
// when a form is made unless VUM_FORMS forces one from the first run.
void eval_in_current_frame_compiled(const Cell* block, bool again);
// The walk over the block from `position` (an expression's start) in the
// current frame, whose cell 0 holds what the block gave so far: where a
// compiled loop hands a block over.
void eval_rest_in_current_frame(const Cell* block, int32_t position);

// A while loop whose condition and body are wholly computed steps runs
// iterations here, without a call, from the start of an iteration; it
// stops where the walk must take over: nothing done (not_run), the
// condition run with its value in `frame` (condition_done), or an
// expression of the condition or the body that a guard refused, with the
// expressions before it done (in_condition, in_body).
struct LoopStop {
    enum Kind { not_run, condition_done, in_condition, in_body } kind;
    int32_t position;
};
LoopStop run_while_compiled(const Cell* condition, const Cell* body, Cell* frame, bool again);

// One expression of the block starting at `position` (an index into its
// series), inside a native frame; returns the position after it.
// as_argument: the value is pushed; otherwise it goes to the result slot.
int32_t eval_next(const Cell* block, int32_t position, int32_t end, bool as_argument);

// One expression without a frame of its own (the interpreter's step).
// `block` must be a stable cell (value-stack or protected) naming the series.
// Flags are bits of one word: a struct of bools passed by value was
// packed with byte stores and read back whole, a store-forwarding stall
// on every nested expression.
enum Flags : uint32_t {
    flags_none = 0,
    flag_no_infix = 1,
    flag_as_argument = 2,
    flag_fetch_only = 4,
};
int32_t eval_expression(const Cell* block, int32_t position, int32_t end, Flags flags);

// Calls a function value (native!, action!, op! re-typed, function!,
// routine!) whose arguments are the cells of `block` from `position` to
// `end` (fetched as its spec asks); `path`/`path_index` name its
// refinements (path elements from path_index on), or null. `name` is the
// word it was reached by (null: an anonymous name). Returns the position
// after the arguments. The result is pushed (as_argument) or stored in the
// result slot. (A call as the evaluator meets it in a block, apart from
// call::Call, the way C++ calls a function.)
//
// apply's two forms of argument block (/all, else refinements given as
// values), and /safer's one cell for each argument.
enum class ApplyMode : uint8_t { none, all, refinements_as_values };
struct CallSite {
    const Cell* function;         // the function value
    const Cell* block = nullptr;  // argument source; null: none (every argument missing)
    int32_t position = 0;
    int32_t end = 0;
    const Cell* name = nullptr;
    const Cell* path = nullptr;
    int32_t path_index = 0;
    bool as_argument = false;
    bool infix = false;           // an operator: the left operand is already on the stack
    int32_t given = 0;            // leading arguments already on the stack (1 for an operator)
    ApplyMode apply = ApplyMode::none;
    bool apply_one_cell_each = false;  // apply/safer
    const Cell* owner = nullptr;  // apply's owning object
    const call::Request* named = nullptr;  // a C++ caller's refinements (call::Call)
};
int32_t call_function(const CallSite& call);
// The usual call: the function's arguments are the cells that follow it.
inline CallSite call_at(const Cell* function, const Cell* block, int32_t position, int32_t end, const Cell* name,
                    bool as_argument) {
    CallSite c;
    c.function = function;
    c.block = block;
    c.position = position;
    c.end = end;
    c.name = name;
    c.as_argument = as_argument;
    return c;
}

// Evaluates a path (path!, get-path!, set-path!) at position - 1 of the
// block; the cells from `position` on are available as a function's
// arguments. Returns the position after what it consumed. In set mode the
// value to assign is on top of the stack.
// A call with no path, no apply and no argument given: what call_function
// does for it, on a shorter path. The name must be a word.
int32_t call_plain(const Cell* function, const Cell* name, const Cell* block, int32_t position, int32_t end,
                   bool as_argument);

enum class PathMode { read, get, set };
int32_t eval_path(const Cell* block, int32_t position, int32_t end, const Cell* path, PathMode mode,
                  bool as_argument);

// Reads or sets a path value from C++ (get and set of a path): the result is
// written to *result; value non-null sets.
void path_value(const Cell* path, const Cell* value, bool case_sensitive, Cell* result);

// Evaluates the block inside a try frame, as the console and script runner
// need: returns true when an error (a raised error, or a throw, break,
// return or continue that found no target) ended it; *result (stable)
// receives the error! or the block's value.
bool evaluate_protected(const Cell* block, Cell* result);

}  // namespace vum::eval

namespace vum::trace {

// Event bits, as a callback's event block names them.
enum Event : uint32_t {
    ev_init = 1, ev_end = 2, ev_prolog = 4, ev_epilog = 8, ev_enter = 16, ev_exit = 32,
    ev_open = 64, ev_return = 128, ev_fetch = 256, ev_push = 512, ev_set = 1024,
    ev_call = 2048, ev_error = 4096, ev_throw = 8192, ev_catch = 16384, ev_expr = 32768,
};

// Tracing costs one test of `on` when it is off.
extern bool on;
extern uint32_t mask;
// A traced run is on, but the code being evaluated is a compiled
// function's own (function::is_compiled_code), which reports nothing: `on`
// stays false until code that is not compiled runs.
extern bool paused;

// Switches tracing for the evaluation of one block, by whether the block is
// compiled code; leaves it as it was at the end. Costs one test when no run
// is traced.
class CodeScope {
public:
    explicit CodeScope(uint32_t block_node) {
        if (on | paused) [[unlikely]] enter(block_node);
    }
    ~CodeScope() {
        if (changed_) [[unlikely]] {
            on = saved_on_;
            paused = saved_paused_;
        }
    }
    CodeScope(const CodeScope&) = delete;
    CodeScope& operator=(const CodeScope&) = delete;

private:
    void enter(uint32_t block_node);
    bool changed_ = false;
    bool saved_on_ = false;
    bool saved_paused_ = false;
};

// Stops tracing until the end of the scope, paused or not (natives that
// call back into the language untraced).
class Off {
public:
    Off() : saved_on_(on), saved_paused_(paused) { on = paused = false; }
    ~Off() {
        on = saved_on_;
        paused = saved_paused_;
    }
    Off(const Off&) = delete;
    Off& operator=(const Off&) = delete;

private:
    bool saved_on_;
    bool saved_paused_;
};

// The mask a callback asks for: the event words of the block that is the
// first value of its body, else every event.
uint32_t mask_from_words(const Cell* callback);

// Reports one event to the callback. code: the series being evaluated (or
// null); position: an index into it (or -1); value and reference may be
// null.
void fire(uint32_t event, const Cell* code, int32_t position, const Cell* value, const Cell* reference);

// Installs a callback for one traced run (do/trace, parse/trace); returns
// true when this call started the run (and must end it).
bool start(const Cell* callback);
void end();

// Whether a traced run is installed (its events may be paused in compiled
// code or switched off).
bool running();
// `trace off` and `trace on` inside a traced run: the run stays installed
// but reports nothing while off, from the end of the expression that
// switched. Outside a run it does nothing.
void set_reporting(bool reporting);

}  // namespace vum::trace
