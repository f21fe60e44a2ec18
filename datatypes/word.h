// word! and its kinds (set-word!, lit-word!, get-word!, refinement!) and
// issue!: the language's names. A word cell holds its context's node (w1, 0
// for none), its symbol as written (w2) and its slot index in that context
// (w3, -1 when it names no slot). Compiled code reaches every variable by a
// constant context and index, so the accessors here are indexed copies
// with no symbol lookup.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::word_type {

// Registers word!, lit-word!, set-word!, get-word!, refinement! in that
// order (word! needs symbol! registered first).
void init();
// Registers issue!.
void init_issue();

}  // namespace vum::word_type

namespace vum::word {

// Types 15 to 20: word! to issue!.
inline bool is_any_word(uint8_t type) { return type >= type_word && type <= type_issue; }

// The global word for the text's exact spelling; a case variant shares the
// slot of the first spelling. Recorded in the root block while start-up
// records words.
Cell load(const char* text);
// The same, retyped to a word kind; what is recorded is the retyped cell.
Cell load_as(uint8_t type, const char* text);
void load_into_block_as(uint8_t type, const char* text, const Cell* block);

// The cell becomes a word! of the global context for the symbol; the word
// and an unset slot are added to the global context when missing.
Cell* make_at(int32_t symbol, Cell* out);
void load_into_block(int32_t symbol, const Cell* block);
Cell* push_symbol(int32_t symbol);

Cell* push(const Cell* word);
Cell* push_as(uint8_t type, const Cell* word);
// A copy of the index-th word cell of the context's word table.
Cell* push_from_context(uint32_t ctx, int32_t index);
Cell* push_from_context_as(uint8_t type, uint32_t ctx, int32_t index);

// The cell at that index of the node's series.
const Cell* cell_at(uint32_t node, int32_t index);
// The context's word for the symbol (by canonical spelling), else a word of
// the global context for it.
Cell word_for_symbol(uint32_t ctx, int32_t symbol);
// The value cell of the slot; a context without value storage raises
// script not-defined naming the slot's word.
Cell* value_slot(uint32_t ctx, int32_t index);

// Pushes a copy of the slot's value.
Cell* get_in_context(uint32_t ctx, int32_t index);

// Frame (word, value): sets the word and leaves the value as the result.
// set_from_stack refuses unset! (script need-value); set_unchecked is the
// set of the other kinds, which does not.
void set_from_stack();
void set_unchecked();

// The new value is on top of the value stack. An object's slot gets the
// change mark first. set_by_index pushes a copy of the old value (returned)
// before storing; set_from_top leaves the top where it is.
Cell* set_by_index(uint32_t ctx, int32_t index);
Cell* set_from_top(uint32_t ctx, int32_t index);
// Stores the frame's result cell into the slot and returns it.
Cell* set_from_result(uint32_t ctx, int32_t index);
// Copies the frame's result into the destination; unset! raises script
// need-value naming the destination.
void check_set_value(Cell* destination);

// The word's value cell, read in place: script not-defined for a word of no
// context. The address is good until the next allocation.
Cell* value_address(const Cell* word);
// A copy of the word's value: unset! raises script no-value naming it.
Cell value_of(const Cell* word);
// Pushes a copy of the word's value, unset or not.
Cell* push_value(const Cell* word);
// Pushes a copy of the word's value; unset! raises script no-value.
Cell* get(const Cell* word);

// Appends to the root block a refinement! of no context for the text.
Cell append_refinement_symbol(const char* text);

// Words reach the lexer through its services (load-first-value, lex-type).
// A runtime started without the lexer (the datatypes' unit tests) offers
// these instead: a small scanner that knows only the word kinds, so a text
// that would load as anything else counts as no word.
bool stand_in_load_first(const char* text, int32_t length, Cell* out);
int32_t stand_in_lex_type(const char* text, int32_t length);
int32_t spelling_type(int32_t symbol);

}  // namespace vum::word

namespace vum::issue {

// issue! cells name a symbol and are never variables: w1 is the global
// context, w3 is -1.
Cell* make_at(int32_t symbol, Cell* out);
void append_to_block(const char* text, const Cell* block);
// Recorded in the root block while start-up records words, else pushed.
Cell make(const char* text);
Cell* push(const Cell* word);

}  // namespace vum::issue
