// The console on a terminal or a pipe, and the script runner, until the
// console engine written in the language takes over: the same loop and the
// same output rules.
//
// The loop prompts with ">> ", reads a line from standard input (echoing it
// after the prompt when standard input is not a terminal, so that the output
// of `vum < session` reads as the session's transcript), gathers further
// lines while a block, paren or braced string is still open (prompting with
// the open delimiter and four spaces), then loads and evaluates the input
// and prints: an error as its report, unset as nothing, a float! formed,
// anything else molded, after "== " and cut to the console's width.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "memory/cell.h"

namespace vum::console {

constexpr const char* prompt = ">> ";
constexpr const char* result_marker = "==";

// Whether an input is complete. `open` is 0 when it is (it may still be
// wrong: loading reports that), else the innermost delimiter still open:
// '[', '(' or '{'.
char open_delimiter(std::string_view input);

// The text of a result cut to the console width: longer than width - 3
// characters, it keeps the characters before position width - 3 - the
// prompt's length and "..." replaces the rest. Counts characters, not bytes.
std::string cut_to_width(const std::string& text, int32_t width);

// The terminal's columns when standard output is one that says, else 80.
int32_t width();

// The loop, until standard input ends. Returns the exit status.
int run();

// Reads a script file; false, with the error reported, when it cannot be
// read.
bool read_script(const char* path, std::string* text);
// Runs a script's text: everything before its header is ignored, the rest
// after the header is evaluated. Returns the exit status: 0, or 1 when it
// had no header, did not load or raised an error (each reported on
// standard output as the console reports it).
int run_script_text(const std::string& text);

// Writes an error's report on standard output, as the console shows it.
void report(const Cell* error);

}  // namespace vum::console
