// block! searching, insertion, sorting and the set operations: the handlers
// of find, select, put, append, insert, change and sort, and the block
// worker behind unique, union, intersect, exclude and difference. paren!,
// the path kinds and hash! share them.
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::block_search {

void find(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);
// The cell after the match (after the whole sequence for a block searched
// without /only), or none.
void select(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);
void put(Cell* series, const Cell* key, const Cell* value, bool case_sensitive, Cell* result);
// append (append true) and insert. part and dup are absent when their
// refinement was not used.
void insert(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, bool append, Cell* result);
// append (append true) or insert without refinements of one value that is
// no block kind into a block! nobody owns: what insert would do, done at
// once. False, with nothing done, for any other case.
bool insert_plain(const Cell* series, const Cell* value, bool append, Cell* result);
void change(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, Cell* result);
void sort(Cell* series, bool case_sensitive, const Cell* skip, const Cell* comparator, const Cell* part, bool all,
          bool reverse, bool stable, Cell* result);

// The set operations' codes, as the natives pass them.
enum SetOperation : int32_t {
    set_unique = 8,
    set_union = 9,
    set_intersect = 10,
    set_exclude = 11,
    set_difference = 12,
};
// second is ignored for unique; skip is absent or an integer! record size.
// The result keeps first's type, or is a hash! (with its table) when either
// set is one.
void set_operation(const Cell* first, const Cell* second, bool case_sensitive, const Cell* skip,
                   SetOperation operation, Cell* result);
// The same on the current frame: its first argument (and, but for unique,
// its second) are the sets; the result replaces the first.
void set_operation_frame(bool case_sensitive, const Cell* skip, SetOperation operation);

// Calls a function given to sort/compare with two values through the
// evaluator; the answer goes to result (a stable cell).
void call_function(const Cell* function, const Cell* a, const Cell* b, Cell* result);
// What sorting calls: call_function, or a stand-in that unit tests of the
// datatypes put there to sort without the evaluator.
using CallComparator = void (*)(const Cell* function, const Cell* a, const Cell* b, Cell* result);
extern CallComparator call_comparator;

}  // namespace vum::block_search
