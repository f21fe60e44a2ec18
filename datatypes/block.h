// block!: the series of value cells, the shape that loaded source, function
// bodies, specs and every dialect take. Here are the cell operations the
// rest of the runtime builds blocks with, and block!'s own action handlers
// (make, to, form, mold, compare, copy, eval-path, take, swap, trim).
// Searching, insertion, sorting and the set operations are in
// block-search.h. paren!, the path kinds and hash! share these handlers.
//
// Every operation that may allocate takes cells that do not move (value
// stack cells or protected locals) and re-reads buffers through the node
// afterwards.
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"
#include "memory/series-buffer.h"
#include "memory/series.h"

namespace vum::block_actions {

// Raised by one around the molding of each element of a block; the mold
// worker reads it to know whether it writes a top-level value.
extern int32_t mold_depth;

// block! paren! path! lit-path! set-path! get-path! hash!
bool is_any_block(uint8_t type);
// any-block plus the text kinds, binary!, vector! and image!.
bool is_series_kind(uint8_t type);

// The whole buffer's cell count, whatever the head index.
inline int32_t buffer_length(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }
// Cell i of the buffer, counted from its start (not the value's head).
inline const Cell* cell_at(uint32_t node, int32_t i) {
    return reinterpret_cast<const Cell*>(nodes::buffer(node)->head_ptr()) + i;
}
// The same to write, through the write barrier (memory/series.h).
inline Cell* cell_at_mut(uint32_t node, int32_t i) { return series::cells_mut(node) + i; }

// Cells from the head index to the tail (negative when the index lies past it).
int32_t length_from_head(const Cell* block);
// A head index past the tail moves to the tail; returns the head cell.
const Cell* clip_head(Cell* block);
bool is_tail(const Cell* block);
// Advances the head by one while it stays within the tail; true when it
// then stands at the tail.
bool next_is_tail(Cell* block);
void clear_from_head(const Cell* block);
void set_tail_at(const Cell* block, int32_t n);
void append_copy(const Cell* block, const Cell* value);
void remove_last(Cell* block);
void append_all(const Cell* target, const Cell* source);
// The cell after the first one equal to value (find equality), or the
// static none cell.
const Cell* select_value(const Cell* block, const Cell* value);
// Removes the first cell equal to value, from the head index or, with
// from_start, from the buffer's start. False when none matched, else
// whether the removed cell stood at or before the head index.
bool remove_value(const Cell* block, const Cell* value, bool from_start);
// The cell after the first word (of the word, set-word, lit-word and
// get-word kinds) with the word's symbol, by canonical alias unless strict.
const Cell* select_word(const Cell* block, const Cell* word, bool strict);

// A new block of the source's type holding copies of its cells from the
// head (capacity at least 1). deep clones nested block!s, and with
// paths_too nested paren!s and path kinds, keeping each nested header.
void clone(const Cell* source, bool deep, bool paths_too, Cell* result);
// Replaces each cell in [from, to) (by step) of the block's buffer whose
// type the kind (a datatype! or typeset!) names, and that is a copyable
// kind, by its copy.
void copy_nested_values(const Cell* block, int32_t from, int32_t to, int32_t step, bool deep, const Cell* types);

// Inserts one cell at the head index (or at the buffer's start); with
// advance the head index moves past it.
void insert_value(Cell* block, const Cell* value, bool advance, bool at_start);
// Inserts each cell of source at the target's head, advancing past each.
void insert_all(Cell* target, const Cell* source);

// The frame's first argument is the block, its second the value.
void append_stack_arg();
// The block in the cell just below the current frame gets the frame's
// first argument: appended, or inserted at its head which then advances.
void append_below_frame();
void insert_below_frame();

// Turns the cell into an empty block! over a new buffer of n cells (below 1
// counts as 1); external buffers live outside the series frames.
void make_at(Cell* c, int32_t n);
void init_at(Cell* c, int32_t n, bool external);
// Appends a new empty block of n cells to the block and returns a copy of
// it (the appended cell may move with the next allocation).
Cell make_in(const Cell* block, int32_t n);
Cell* push_new(int32_t n);

// Writes the cycle marker for a series met again while it is being
// visited: true (and the limit lowered) when the value's node is on the
// cycle stack.
bool emit_ellipsis(const Cell* value, uint32_t buffer, int32_t* limit, bool mold);

// Elements of the block written by mold: the part of mold inside the
// brackets, also used by the path kinds.
int32_t mold_each(const Cell* block, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg,
                  int32_t limit, int32_t indent);

// Shared with the search and insertion handlers.
// The refinement word for error reports (/part, /skip ...).
Cell refinement_word(const char* name);
// The count a /part argument stands for, measured from the series' head:
// an integer! as it is, a position in the same buffer by its distance;
// anything else raises script invalid-refine-arg.
int32_t part_count(const Cell* part, const Cell* series);
// Makes room for n unset cells at buffer index `at`, moving the later
// cells up and growing the buffer (to twice the need when generous).
void open_gap(uint32_t node, int32_t at, int32_t n, bool generous);
// Removes n cells at buffer index `at`.
void close_gap(uint32_t node, int32_t at, int32_t n);
// hash!: the n cells at `at` were just inserted; later indexes shift and
// the new keys enter the table. Nothing for the other kinds.
void hash_inserted(const Cell* series, int32_t at, int32_t n);
// hash!: the table indexes the whole block afresh.
void hash_rebuild(const Cell* series);

// Handlers (datatypes/actions.h signatures).
void make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
void to(const Cell* prototype, const Cell* value, int32_t type, Cell* result);
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);
int32_t compare(const Cell* a, const Cell* b, int32_t op);
void copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);
void take(Cell* series, const Cell* part, bool deep, bool last, Cell* result);
void swap(Cell* a, Cell* b, Cell* result);
void trim(Cell* series, bool head, bool tail, bool automatic, bool lines, bool all, const Cell* with, Cell* result);
void pick(const Cell* series, const Cell* index, int32_t boxed, Cell* result);
void poke(Cell* series, const Cell* index, const Cell* value, int32_t boxed, Cell* result);
void eval_path(const actions::PathStep& step, Cell* result);

void init();

}  // namespace vum::block_actions
