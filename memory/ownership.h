// Ownership: an object can own the series held in its fields, and the
// series nested in them, so that a modifying action on any of them tells
// the object's on-deep-change* handler. One global identity table maps an
// owned series' node to {the series cell, the owner object, the field word};
// an owned bit on the series buffer (on the cell header for image!) lets the
// modifying actions skip the lookup for the many series nobody owns.
//
// Everything here may allocate and so collect: cells passed in are copied
// before the first allocation and never read through their pointer again.
#pragma once
#include <cstdint>

#include "memory/cell.h"
#include "memory/collector.h"
#include "memory/series-buffer.h"

namespace vum::ownership {

// Makes the table (1,000 entries, three cells each) and names it in the
// collector's roots.
void init_table();
uint32_t table();  // 0 before init_table

// Records the value (and, for the block kinds and objects, what it holds)
// as owned by the owner object through the field word. A series already
// owned keeps its first owner, but nested blocks are still visited so that
// what was added to them since is owned too. The owner must be an object!,
// the word a word or none.
void bind(Cell* value, const Cell* owner, const Cell* word);
// bind, then marks the owner's context as an owner: objects held by other
// owners stop their descent there.
void set_owner(Cell* value, const Cell* owner, const Cell* word);

// Forgets the ownership of the value and of what it holds.
void unbind(Cell* value);
// unbind on count cells of the block's buffer from index (counted from the
// buffer's head); the range is clipped to the buffer.
void unbind_range(const Cell* block, int32_t index, int32_t count);

// The owner object of the series node, or none.
Cell owner_of(uint32_t node);
bool is_owned(const Cell* value);

// Tells the owner of the target series (or object) about a change: true when
// its handler was called, that is when the target is owned, its owner has a
// change record and a handler is installed. new_value may be null (none).
bool check(const Cell* target, const Cell* action, const Cell* new_value, int32_t index, int32_t part);

// The modifying actions and the words they report with: the action word
// before the change, its past tense after. Case conversion and path changes
// report with the same word both times.
enum Action : int32_t {
    action_append,
    action_insert,
    action_change,
    action_clear,
    action_move,
    action_poke,
    action_put,
    action_random,
    action_remove,
    action_reverse,
    action_sort,
    action_swap,
    action_take,
    action_trim,
    action_uppercase,
    action_lowercase,
    action_set_path,
    action_count
};
const Cell* action_word(Action action);
const Cell* past_word(Action action);

// False when check would surely find no owner: a block or string whose
// buffer lacks the owned bit (most series) or a value that is no series.
bool may_have_owner(const Cell* target);
// The same for a value of a block or text kind that the evaluator holds,
// whose node, when not 0, names a live buffer: the owned bit alone.
inline bool series_may_have_owner(const Cell* series) {
    return series->w2 == 0 || (nodes::buffer(series->w2)->flags & series_flags::owned) != 0;
}

// Reports before, runs the change, reports after. An error raised by the
// change leaves without the second report.
template <class Change>
void report_change(const Cell* target, Action action, const Cell* new_value, int32_t index, int32_t part,
                   Change&& change) {
    if (!may_have_owner(target)) {
        change();
        return;
    }
    gc::Local t(*target);
    gc::Local v(Cell{});
    if (new_value)
        v = *new_value;
    else
        cell::make_none(&v);
    check(&t, action_word(action), &v, index, part);
    change();
    check(&t, past_word(action), &v, index, part);
}

// Collector: the table must not keep a series alive by itself. After the
// roots are marked, for every entry whose key series is marked, marks its
// owner and word (never its copy of the series cell), and the table's own
// series; true when that marked something new, so that the collector
// drains its mark stack and calls again until it returns false.
bool mark_reachable_entries();
// Collector, after marking: drops the entries whose key series is unmarked.
void sweep();

}  // namespace vum::ownership
