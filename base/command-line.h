// The whole command line as one text. The process receives its arguments
// one by one; the environment takes them apart again from a single text
// (extract-boot-args: spaces and tabs separate arguments, a double quote
// toggles a stretch in which they do not, and each argument loses one
// leading and one trailing double quote). The text is built here so that
// this split gives every argument back.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace vum::command_line {

// The argument as it is written into the text: as it is when the split
// keeps it whole, else with a double quote added at one or both ends.
// Some arguments have no such form (one that holds a lone double quote
// with nothing else, or separators on both sides of an odd run of
// quotes); they are written with quotes at both ends and the split gives
// them back in more than one piece or with their quotes shifted.
std::string quote(std::string_view argument);

// The arguments written one after another with one space between them.
std::string join(const char* const* arguments, int32_t count);

// The text of the program's own arguments (the run-time record's list).
std::string text();

}  // namespace vum::command_line
