// Calling a function value (function!, native!, action!, op!, routine!)
// from C++: comparators, change handlers, port actors, trace and parse
// callbacks all come through here.
//
//   call::Call c(&function, &name);          // name: the word for reports, or null
//   c.arg(&a).arg(&b);                       // positional arguments, in order
//   c.refine("part", {&length});             // a refinement and its own arguments
//   c.run(&result);                          // result: a stable cell
//   if (!c.run_protected(&result)) report(&result);  // or: errors as values
//
// Every value is copied to the value stack the moment it is given, before
// anything can allocate, so the caller's cells may be anywhere (a buffer
// element, a local) and need no guard of their own. Positional arguments
// come before refinements. The stack is put back when the Call is
// destroyed, so make it a local (or a temporary of one full expression).
//
// The call takes the values as they stand (nothing is evaluated) and
// checks them against the function's spec as any call does:
// - arguments beyond what the function takes are dropped; missing ones are
//   none (unset for a quoted argument that accepts unset), as with apply;
// - a refinement the function does not have is passed over, so a caller may
//   offer options a callee need not take; one it has is switched on and
//   takes the values given with it in order (missing: none, extra: dropped);
//   refinements not named stay off;
// - an op! runs as the function it was made from; a value that is not a
//   function at all is the result as it stands;
// - errors and other non-local exits (throw, break, return that find no
//   target) pass through to the caller unchanged; run_protected instead
//   hands errors back as values (see there).
//
// The header needs nothing above memory/: the interpreter is reached through
// its run-call service, so datatype code can call functions without
// including the interpreter.
#pragma once
#include <cstdint>
#include <initializer_list>

#include "memory/cell.h"
#include "base/system-throw.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/value-stack.h"

namespace vum::call {

// Runs `body` as try runs its block: true when it ends; false with the
// error! it raised in *error and the value stack as it was before. It
// catches what try catches: raised errors, and a break left without a loop,
// which the try frame turns into one. A throw, a halt, a quit and the
// systems layer's own exits are no errors: they pass on to the caller.
template <class Body>
bool run_catching_errors(Body&& body, Cell* error) {
    stack::Mark mark;
    stack::push_try_frame(&runtime_symbols::words[runtime_symbols::word_try]);
    uint32_t code = sys::catch_codes(sys::catch_guard, body);
    if (code == 0) return true;
    if (code != sys::code_language_error) sys::rethrow();
    sys::clear_thrown();
    *error = *stack::thrown_value();
    return false;
}

constexpr int32_t max_refinements = 16;

// A refinement named by the caller: its values are values[first .. first+count).
struct Named {
    const char* name;
    int32_t first;
    int32_t count;
    int32_t symbol;  // filled by the runner
};

// What the runner receives. Every cell it points to is on the value stack.
struct Request {
    Cell* function;
    const Cell* name;    // a word, or none
    const Cell* values;  // positional arguments first, then each refinement's
    int32_t count;       // positional arguments
    Named* refinements;
    int32_t refinement_count;
    Cell* frame = nullptr;  // set by the runner: where the callee's arguments lay
    int32_t given = 0;      // set by the runner: how many of them were positional
};

class Call {
public:
    explicit Call(const Cell* function, const Cell* name = nullptr) {
        Cell* fn = stack::push_copy(function);
        Cell* word = name ? stack::push_copy(name) : cell::make_none(stack::push_cell());
        request_ = {fn, word, stack::s.args_top, 0, named_, 0, nullptr, 0};
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // A positional argument (null: none).
    Call& arg(const Cell* value) {
        if (request_.refinement_count) misuse();
        push(value);
        request_.count++;
        return *this;
    }
    // A refinement by name, with its arguments (null: none).
    Call& refine(const char* name, std::initializer_list<const Cell*> values = {}) {
        if (request_.refinement_count == max_refinements) misuse();
        Named& n = named_[request_.refinement_count++];
        n = {name, int32_t(stack::s.args_top - request_.values), int32_t(values.size()), 0};
        for (const Cell* v : values) push(v);
        return *this;
    }
    // Runs the call (once); the result goes to *result.
    void run(Cell* result) { services::current.run_call(request_, result); }
    // The protected form, for callers whose own caller must not see the
    // callee's errors (the console's loop, a GUI message handler): runs the
    // call as run does, inside a try frame (run_catching_errors). True with
    // the result in *result; false with the error! in *result.
    bool run_protected(Cell* result) {
        return run_catching_errors([&] { run(result); }, result);
    }
    // The callee's positional argument `index` (from 1 on; 0 holds the
    // result) as the call left it, for a callback allowed to move an input
    // it was given; null when the callee took no such argument. Good right
    // after run, before anything is pushed.
    const Cell* argument_after(int32_t index) const {
        return request_.frame && index > 0 && index < request_.given ? request_.frame + index : nullptr;
    }

private:
    // A positional argument after a refinement or too many refinements: a
    // fault of the C++ caller, not of the Vum code.
    [[noreturn]] static void misuse() { sys::terminate(98, sys::caller_address()); }

    void push(const Cell* value) {
        if (value) stack::push_copy(value);
        else cell::make_none(stack::push_cell());
    }

    stack::Mark mark_;  // first member: taken before the pushes above
    Named named_[max_refinements];
    Request request_;
};

// Runs the call under a catch frame that stops every exit of the language:
// an error, a throw, and a break or continue that finds no loop. True with
// the result in *result; false with the error! (or the thrown value) there
// and the value stack as it was. A halt, a quit and the
// systems layer's own exits pass on. Compiled in the runtime, so that
// modules reach a catch frame without catching in their own code (they use
// another C++ library's exception state).
bool run_stopping_exits(Call& call, Cell* result);

}  // namespace vum::call
