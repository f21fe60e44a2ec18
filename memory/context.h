// A context maps words to value slots. Objects, errors, ports, functions and
// the global environment each own one; a bound word names its context, its
// symbol and its slot index, so reading or setting it is an indexed access.
//
// A context is the node of a series of two cells: the context! cell (its
// word table in w1, its value series in w2) and the owner cell. Contexts
// are named here by that node.
#pragma once
#include <cstdint>

#include "memory/cell.h"
#include "memory/series.h"

namespace vum::context {

enum Kind : uint32_t {
    kind_global = 0,    // and contexts made without a spec
    kind_function = 1,  // made from a function spec
    kind_object = 2,    // assignments mark the slot changed and notify the owner
};

// The global context, made at start-up for 4,000 words.
extern uint32_t global;
void init_global();

// A context's series holds its own cell, the owner and the values, never code.
inline Cell* context_cell(uint32_t ctx) { return series::cells_mut_untracked(ctx); }
Cell* owner_cell(uint32_t ctx);
Kind kind_of(uint32_t ctx);
bool is_stack(uint32_t ctx);
// Whether assigning in the context marks the slot and tells the owner: an
// object's context that is not on the stack. Every other kind takes the
// value straight into its slot.
inline bool notifies(uint32_t ctx) {
    uint32_t header = context_cell(ctx)->header;
    return !(header & cell::flag_stack_context) &&
           (header & cell::context_kind_mask) >> cell::context_kind_shift == kind_object;
}
uint32_t words_node(uint32_t ctx);   // the word cells, in slot order
Cell* word_at(uint32_t ctx, int32_t index);
int32_t word_count(uint32_t ctx);

// Room for max(n, 1) slots; with a source context its word table is copied.
uint32_t make(int32_t n, bool stack, bool made_flag, uint32_t source, Kind kind);
// Every word!, lit-word!, get-word! and refinement! of the block's series.
uint32_t make_from_block(const Cell* block, bool stack, bool made_flag, Kind kind);
// Gives an object or function cell (w1 its context) a new context holding a
// copy of its words, re-pointed at the new context.
void clone_for_cell(Cell* owner, Kind kind);

int32_t find_word(uint32_t ctx, int32_t symbol, bool alias);
// In add mode a missing word is appended: -1 is returned and *out receives
// its new index; a present word returns its index.
int32_t find_or_add_word(uint32_t ctx, int32_t symbol, bool alias, int32_t* out);
int32_t add_word(uint32_t ctx, int32_t symbol);
Cell* add_word_with_value(uint32_t ctx, int32_t symbol, const Cell* value);
Cell* put_word_value(uint32_t ctx, int32_t symbol, const Cell* value);
bool collect_set_words(uint32_t ctx, const Cell* block);

// Stores the value in the word's slot of ctx (the word is added first when
// it is unbound there); the word cell gets the slot index. The word cell
// must not lie in a series that an allocation may move (value-stack cells
// and C++ locals are fine).
Cell* set_in(Cell* word, const Cell* value, uint32_t ctx, bool notify);
Cell* set_word_value(Cell* word, const Cell* value);
void set_integer(Cell* word, int32_t n);
Cell* word_value_address(const Cell* word, uint32_t ctx);
Cell* get_word_value(const Cell* word);
Cell* value_of_symbol(uint32_t ctx, int32_t symbol);
Cell* global_value_address(int32_t symbol);
void get_global_value(int32_t symbol, Cell* out);

// The global word cell for a symbol (see add_to_global's flags).
Cell add_to_global(int32_t symbol, bool alias, bool new_flag);
Cell make_global(int32_t symbol);
// A word of the global context for the exact spelling (word/load).
Cell load_word(const char* text);

void bind_word(uint32_t ctx, Cell* word);
void bind_block(const Cell* block, uint32_t ctx, bool self);

// The value cells of a stack context live on the value stack: w2 of its
// context! cell is the argument-stack position of the running call's first
// argument plus one (0 while no call runs). The value stack resolves it.
using StackSlotFn = Cell* (*)(uint32_t base, int32_t index);
extern StackSlotFn stack_slot;

}  // namespace vum::context
