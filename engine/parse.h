// PARSE: matches a block of grammar rules against an input series (a
// binary!, any block kind or any text kind), moving a position through it,
// and can capture, collect and modify the input on the way.
//
// The engine is one iterative state machine. Pending keywords, repetitions
// and entered rule blocks live as frames in a work block (the rule stack),
// and the outer inputs of `into` in a second one (the input stack); nested
// rules and recursive rule words grow those blocks, never the machine
// stack, and both are capped so a runaway grammar ends with the script
// error parse-stack. A PARSE started from a paren or the trace callback
// works above the frames of the one that started it.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::parse {

// Start-up: makes the two work blocks in the root block (when there is
// one; a partial start-up gets them made for each run).
void init_work_blocks();

// Case modes: the comparison operator used on block input.
enum CaseMode : int32_t { case_insensitive = 0, case_sensitive = 2 };

// Runs the rules over the input from its index. limit: the part limit as a
// buffer index, or -1 for none. callback: the trace function, or null.
// *result (a stable cell) receives true or false, or the block of a
// top-level collect.
void run(const Cell* input, const Cell* rules, int32_t case_mode, int32_t limit, const Cell* callback,
         Cell* result);

// The cap on either work block, in cells.
constexpr int32_t stack_limit = 10000;

}  // namespace vum::parse

namespace vum::natives {

// The parse native (id 40): input rules /case /part length /trace callback.
void register_parse_native();

}  // namespace vum::natives
