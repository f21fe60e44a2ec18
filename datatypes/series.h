// series!: the abstract parent of every series kind. Its row holds the
// positional and editing actions that work on any series buffer whatever
// its unit (cells, bytes, code points, vector numbers), so block!, string!
// and their children inherit them. Every modifying action tells the series'
// owner before and after the change.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::series_actions {

// Registers series! (id 42, no parent).
void init();

// Positions, for the series modules that build on these.
bool at_tail(const Cell* series);           // head index at or past the tail
int32_t buffer_length(const Cell* series);  // elements from the buffer's start
// Adds n to the head index unless that passes the tail; true when the
// advanced position is at or past the tail.
bool advance_head(Cell* series, int32_t n);
// Elements from the head index (from 0 with from_start) to the tail; a head
// index past the tail is moved to the tail and 0 answered.
int32_t length_or_zero(Cell* series, bool from_start);
// The head index that at (at = true) or skip gives for the offset, which
// must be an integer! (else script invalid-arg); clipped to the series.
int32_t offset_index(const Cell* series, const Cell* offset, bool at);

// The handlers, for kinds that wrap them (block! take and copy, the path
// steps' pick and poke).
void pick(const Cell* series, const Cell* index, int32_t n, Cell* result);
void poke(Cell* series, const Cell* index, const Cell* value, int32_t n, Cell* result);
void copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);
void take(Cell* series, const Cell* part, bool deep, bool last, Cell* result);
void remove(Cell* series, const Cell* part, const Cell* key, Cell* result);

// What sort's refinements ask of a series of `length` elements: the
// records [head, head + count) of `size` elements each, compared from
// element `offset` over `compared` elements. A /part reaching before the
// series' start gives before_start: the series comes back at its start,
// unsorted. A function comparator sets by_function: the records are then
// sorted through sort_by_function.
struct SortPlan {
    int64_t head;
    int64_t count;
    int64_t size;
    int32_t offset;
    int32_t compared;
    bool before_start;
    bool by_function;
};
SortPlan sort_plan(const Cell* series, int64_t length, const Cell* skip, const Cell* comparator, const Cell* part,
                   bool all);
// The records of the plan that the series still holds once the owner has
// heard of the sort: its handler may have shortened the series, and sorting
// past the tail would bring stale units back into it.
inline int64_t records_left(const SortPlan& plan, int64_t length) {
    int64_t planned = plan.count / plan.size;
    int64_t held = length > plan.head ? (length - plan.head) / plan.size : 0;
    return planned < held ? planned : held;
}

// Sorts the planned records of a text, binary! or vector! series through a
// comparison function, called with two elements as values (char!, integer!
// for bytes, the vector's element type) or, with whole_records, two new
// series of the kind holding the records; the second record goes first
// unless reverse. The function answers true or a negative number when its
// first value goes first; false, none or a positive number when its second
// does; zero when they are equal; anything else counts as true. stable
// keeps equal records in order. Owner reports are the caller's.
void sort_by_function(const Cell* series, const SortPlan& plan, const Cell* function, bool whole_records,
                      bool reverse, bool stable);

// A number in 1 ... n (1 <= n <= 2^31 - 1): the shuffle and random/only
// draw through here.
uint32_t random_in_range(uint32_t n, bool secure);

}  // namespace vum::series_actions
