// The switch for compiled forms and the checks a form runs against its
// block. VUM_FORMS, read once at start-up, chooses how blocks run:
//   off     the walk alone;
//   on      forms for blocks run more than once (the default);
//   forced  forms from a block's first run, so tests reach them at once;
//   verify  as forced, and each epoch check that passes also compares the
//           block's cells with a snapshot taken when the form was made, so a
//           write that missed the barrier (memory/series.h) fails loudly.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "memory/cell.h"

namespace vum::forms {

enum class Mode : uint8_t { off, on, forced, verify };

extern Mode mode;

// The mode a setting's text names; false for anything else.
bool parse_mode(const char* text, Mode* out);
// Reads VUM_FORMS. An unknown setting is reported on standard error and
// leaves the default.
void init();

// A block's cells and length as they were, compared bit for bit. The copies
// are never read as values (the collector does not see them), only compared.
struct Snapshot {
    uint32_t node = 0;
    std::vector<Cell> cells;
};
Snapshot snapshot(uint32_t node);
// True when the block holds what the snapshot saw; else false with the first
// difference described in *why.
bool matches(const Snapshot& s, std::string* why);
// For verify mode: a difference is a missed barrier, reported on standard
// error with where it was found, and the process aborts.
void check_unchanged(const Snapshot& s, const char* where);

// ---- Forms ----

// One expression of a form. A computed step is a value (a constant or a
// word's value), then up to max_operators integer operators each with its
// right operand, and optionally a set-word that takes the result; a
// generic step runs the walk over the expression. Cells here are copies of
// the block's own (words carry their binding), valid while the code epoch
// they were made under holds: only their bits are used, never as roots.
constexpr int32_t max_operators = 4;
struct Operand {
    Cell cell;
    bool is_word;
};
struct Step {
    bool computed;
    int32_t start;  // the expression's position in the block
    int32_t next;   // the position after it (computed steps)
    bool has_target;
    Cell target;    // the set-word
    Operand first;
    int32_t operators;
    Cell op_word[max_operators];
    Cell op_value[max_operators];  // the op! the word held: an inline cache
    int32_t fast[max_operators];
    Operand right[max_operators];
    bool has_follower;
    Cell follower;  // a word after the expression, which must not turn into an operator
};
struct Form {
    uint32_t node = 0;
    uint64_t epoch = 0;  // the code epoch the steps were made under
    std::vector<Step> steps;  // made as the runs reach them, in block order
    Snapshot snapshot;        // verify mode only
};

// The most forms alive at once; past it, blocks run in the walk.
constexpr uint32_t max_forms = 4096;
// A new form for the block (marked in its buffer), or null when the table
// is full.
Form* make(uint32_t node);
// Drops the form of a block being freed (the index its buffer holds; a
// form of another node is left alone).
void release(uint32_t index, uint32_t node);
uint32_t live_count();

extern std::vector<Form*> table;  // index 0 is never a form
inline Form* at(uint32_t index) { return table[index]; }

}  // namespace vum::forms
