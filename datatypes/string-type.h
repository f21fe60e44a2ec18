// string!'s own action handlers, the editing and searching that text kinds
// share (file!, url!, tag!, email!, ref! inherit them), and the registration
// of string! (id 7, child of series!). The positional actions come from
// series!; the text forms and conversions are in string-text.h.
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::string {

void insert(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, bool append, Cell* result);
// append (append true) or insert without refinements, of a value that goes
// in without being formed (an integer!'s digits, a char!, the characters of
// a text kind but tag!) into a text nobody owns: what insert would do, done
// at once. False, with nothing done, for any other case.
bool insert_plain(const Cell* series, const Cell* value, bool append, Cell* result);
void change(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, Cell* result);
void find(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);
void select(const Cell* series, const Cell* value, const actions::FindOptions& options, Cell* result);
void sort(Cell* series, bool case_sensitive, const Cell* skip, const Cell* comparator, const Cell* part, bool all,
          bool reverse, bool stable, Cell* result);
void swap(Cell* a, Cell* b, Cell* result);
void take(Cell* series, const Cell* part, bool deep, bool last, Cell* result);
void trim(Cell* series, bool head, bool tail, bool automatic, bool lines, bool all, const Cell* with, Cell* result);
void eval_path(const actions::PathStep& step, Cell* result);
int32_t compare(const Cell* a, const Cell* b, int32_t op);

// The natives unique, union, intersect, exclude and difference on text.
enum SetOp : int32_t { set_unique = 8, set_union = 9, set_intersect = 10, set_exclude = 11, set_difference = 12 };
void set_operation(const Cell* first, const Cell* second, const Cell* skip, bool case_sensitive, SetOp op,
                   Cell* result);

}  // namespace vum::string

namespace vum::string_type {

// Registers string!; series! must be registered first.
void init();

}  // namespace vum::string_type
