// object!: the language's record type, a set of named fields held in a
// context of kind object. error! and port! share its cell layout:
//   w1 the context's node, w2 the class id, w3 the change record's node (0
//   when the object has neither on-change* nor on-deep-change*).
// The context's owner slot holds a copy of the object cell, so code that
// has only the context can rebuild the value; every maker writes it last.
//
// A change record is a series of two records (pair! cells used as records):
// cell 0 for on-change*, cell 1 for on-deep-change*; w2 of each is the
// handler word's position << 16 | the handler's local count (position
// 0xFFFF: no such handler), w3 the handler's spec node when it was counted.
//
// Handler functions run through call::Call; their errors reach the code
// that made the change.
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::services {
struct Services;
}

namespace vum::object_type {

constexpr uint32_t first_class_id = 1000000;  // the first one handed out is one more
constexpr uint32_t no_handler = 0xFFFF;

// The change-handler services of memory/ (context and ownership), for the
// composition root.
void offer_services(services::Services& s);

// ---- Class ids ----
uint32_t next_class_id();
bool word_has_class(const Cell* word, uint32_t class_id);
bool slot_has_class(uint32_t ctx, int32_t index, uint32_t class_id);

// ---- Fields ----
// The field's index (case-insensitive), -1 when absent.
int32_t field_index(const Cell* object, const Cell* word);
// The field's value cell, or a shared none cell when absent. Good until the
// next allocation.
Cell* select_word(const Cell* object, const Cell* word);
Cell* values_head(const Cell* context);  // a context! cell
int32_t word_count(const Cell* object);
Cell* first_word(const Cell* object);
void clear_new_line_marks(uint32_t node);
void clear_changed_marks(uint32_t ctx);

// ---- Makers ----
// The cell becomes an empty object over a new context of n word slots
// (class id 0, no change record); the owner slot is written.
void make_at(Cell* target, int32_t n);
// Pushes {32, ctx, class id, record} and writes the owner slot; push gives
// an empty value series one slot per word first.
Cell* push(uint32_t ctx, uint32_t class_id);
Cell* push_with_class(uint32_t ctx, uint32_t change_record, uint32_t class_id);
// The object's change record from its on-change* and on-deep-change* words
// (script bad-field-set when one holds neither function! nor routine!);
// with on-deep-change* the object owns its series. Writes the owner slot.
void set_change_handlers(Cell* object);
uint32_t make_change_record(int32_t on_change, int32_t on_change_locals, uint32_t on_change_spec,
                            int32_t on_deep, int32_t on_deep_locals, uint32_t on_deep_spec);
bool has_deep_handler(uint32_t ctx);
// Copies the prototype's values into the object's fields of the same words:
// the series kinds through their copy action (deep with copy_all), the block
// kinds then bound to the object.
void copy_values(uint32_t prototype_ctx, const Cell* object, bool copy_all);
// construct: prototype may be null or none; the spec is not evaluated.
void construct(const Cell* prototype, const Cell* spec, bool only, Cell* result);
// set with an object target (refinements /any /only /some).
void set_words(const Cell* target, const Cell* value, bool any, bool only, bool some);

// ---- Change handlers ----
void call_change_handler(const Cell* object, const Cell* word, const Cell* old_value, const Cell* new_value);
// Old and new value from the stack's two top cells, the old one topmost.
void fire_on_change(const Cell* object, const Cell* word);
void call_deep_change_handler(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                              const Cell* new_value, int32_t index, int32_t part);

// ---- Text ----
// The fields of an object (error! and port! too) written into a string
// node, with the separators and indentation of mold or form.
int32_t mold_body(const Cell* object, uint32_t buffer, bool only, bool all, bool flat, bool form,
                  const Cell* arg, int32_t limit, int32_t indent);

// ---- Handlers (datatypes/actions.h signatures) ----
void make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
void reflect(const Cell* value, int32_t field_symbol, Cell* result);
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);
// The absent-word outcome of a path step: with `reserved` and `notify` both
// set an unset! result, with `notify` alone script invalid-path (put's
// way), else script unset-path.
void eval_path(const actions::PathStep& step, Cell* result);
// A path's read of a field, for the evaluator's short path: the value of
// the field the word names, or false when it has none (the full path step
// then reports it).
bool read_field(const Cell* object, const Cell* word, Cell* out);
int32_t compare(const Cell* a, const Cell* b, int32_t op);
void copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);
void put(Cell* series, const Cell* key, const Cell* value, bool case_sensitive, Cell* result);
void select(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);
void modify(Cell* target, const Cell* field, const Cell* value, bool case_sensitive, Cell* result);

// Registers object! and installs the context and ownership hooks.
void init();

}  // namespace vum::object_type
