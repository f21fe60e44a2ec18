// function! and routine!: the values of functions written in the language
// and of C++ code behind a language spec. A function cell holds its own
// context (w1), its spec block (w2, always from index 0) and its info block
// (w3). The info block's five cells:
//   0  the body (a deep copy, bound to the function's context), or none
//   1  the argument-list cache: unset until the interpreter's first call
//   2  the compiled code's entry as an integer!, unset when interpreted
//   3  the function cell an op! was made from (op! sets it), else unset
//   4  the owning object's context node as an integer!, else unset
// A routine's info block holds its body value, unset, its entry in the
// routine table, unset, and its result type (-1 none, 4 logic!, 11 integer!,
// 12 float!).
//
// Everything here that allocates takes stable cells (value-stack cells or
// protected locals) and may run a collection.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::function_type {

// Registers function! (24, parent context!) and routine! (29, parent
// function!).
void init();

}  // namespace vum::function_type

namespace vum::function {

enum InfoCell : int32_t {
    info_body = 0,
    info_arguments = 1,
    info_code = 2,
    info_op = 3,
    info_owner = 4,
    info_result_type = 4,  // a routine's
};
constexpr int32_t info_size = 5;

// Compiled functions. The environment's functions behave as functions
// compiled ahead of time: nothing inside them is traced, and their frames
// carry the compiled mark, so a return or exit met in code that is not
// theirs (a block they were given) does not end them but fails, and a
// break or continue passes them on its way to a loop outside. They are the
// functions made while the switch below is on (the environment loading),
// and copies of them: the function cell carries cell::flag_compiled, and
// every block of its body copy series_flags::compiled_code, which is how
// the evaluator tells their own code from code they were given.
void set_making_compiled(bool on);
bool making_compiled();
inline bool is_compiled(const Cell* function) { return (function->header & cell::flag_compiled) != 0; }
// Whether a block is code of a compiled function's body.
bool is_compiled_code(uint32_t node);

// Pushes a new function value on the value stack and returns its context
// node. ctx 0 makes a context from the spec (and binds the body copy to it);
// code and owner 0 leave their info cells unset; flags are the header's
// trace bits and the compiled mark (given too while set_making_compiled is on).
// A spec positioned past its head is copied from there first.
uint32_t push(const Cell* spec, const Cell* body, uint32_t ctx, int32_t code, uint32_t owner, uint32_t flags);

// Validates a spec block from its head; the attribute flags it asks for
// (cell::flag_trace, cell::flag_no_trace). Raises script bad-func-def (the
// spec), invalid-type-spec, no-value or dup-vars.
uint32_t check_spec(const Cell* spec);
// The flags an attribute block asks for, or -1 when it holds a non-word.
int32_t spec_attribute_flags(const Cell* attributes);
// Each entry, a word standing for its value, must be a datatype!, typeset!
// or word!: else script invalid-type-spec naming the entry.
void check_type_block(const Cell* types);
// Raises script dup-vars naming the second of two argument, refinement or
// local words with the same canonical spelling.
void check_duplicate_words(const Cell* spec);
[[noreturn]] void raise_bad_spec(const Cell* spec);

// The locals `function` adds: the set-words of the body and the loop words
// of foreach, remove-each and repeat, less the spec's own words and those
// after /extern. The result is a new spec (the given one is left alone, so
// a literal spec evaluated twice means the same both times): the spec cut
// at /extern, then the locals after a /local.
void collect_locals(const Cell* spec, const Cell* body, Cell* result);

// Stack cells a call adds for /local from the index: 1 for the refinement
// and 1 per word! after it; 0 without /local, or -1 with strict.
int32_t count_locals(uint32_t spec, int32_t start, bool strict);
// What a compiled function's prologue pushes for its locals: false for
// /local and n - 1 none cells.
void push_none_locals(int32_t n);

// The cores of `func` (the spec validated, then made) and `function` (the
// locals collected first). Results go to `result`.
void make_func(const Cell* spec, const Cell* body, Cell* result);
void make_function(const Cell* spec, const Cell* body, Cell* result);

}  // namespace vum::function

namespace vum::routines {

// What passes between a routine's call and its code. A marshalled routine
// gets its arguments by the types its spec declares: a logic! as 0 or 1 and
// an integer! in `integer`, a float! in `real`, any other type as `cell`,
// the argument's own cell in the call's frame. Its result is read by the
// routine's result type: `integer` for logic! (non-zero is true) and
// integer!, `real` for float!; with no result type it is ignored and the
// frame's result slot (stack::result(), the first argument's cell until the
// code returns) holds what the code put there. A routine with direct entry
// gets `cell` for every argument and returns in `cell` the cell to copy into
// the result slot (null: the slot as the code left it).
//
// Argument cells live on the value stack and keep their addresses whatever
// the code allocates.
union MachineValue {
    int32_t integer;
    double real;
    const Cell* cell;
};
using RoutineFn = MachineValue (*)(const MachineValue* args, int32_t count);

constexpr int32_t result_none = -1;
constexpr int32_t max_arguments = 31;

// Entries count from 1; registering a name again replaces its code and
// keeps its entry. An empty name or null code ends the process with the
// runtime error "assertion failed".
int32_t register_routine(const char* name, RoutineFn fn);
int32_t find(const char* name);  // 0 when unknown
RoutineFn entry(int32_t index);  // nullptr when out of range
int32_t count();
void clear();  // for tests

// Pushes a new routine value. The spec holds doc strings, argument words
// each followed by a type block whose first element is a word (the type
// the call layer marshals by), and a return: with its block; anything else
// raises script bad-func-def. The entry must be registered and the result
// type one of -1, type_logic, type_integer and type_float (script
// invalid-arg).
void push(const Cell* spec, const Cell* body, int32_t entry, int32_t result_type, bool direct);
// Counts the spec's word! cells into header bits 25-29; more than 31
// raises script bad-func-def.
void count_arguments(Cell* routine);
int32_t argument_count(const Cell* routine);
// The result type a routine's info block holds.
int32_t result_type(const Cell* routine);

}  // namespace vum::routines
