// Running source text from C++: finding a script's header, loading text into
// a block and running code that may raise, each under a try frame, so that a
// language error comes back as a value to report instead of reaching the
// outermost handler, which would end the process.
//
// The start-up loader, the terminal console and the script runner share
// these until the language's own load and do-file take over.
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>

#include "memory/cell.h"

namespace vum::source {

// Byte offset where a script's header starts: the first "Vum", optionally
// followed by "/System", then any spaces, tabs, carriage returns and line
// feeds, then "[". Case-sensitive; -1 when there is none.
int64_t find_header(std::string_view text);

// Runs fn under a try frame named `where` (that word is the Where of an error
// raised directly inside it). True when fn ended normally; false when it
// raised a language error, which is then in *error (a stable cell: a stack
// cell or a protected local). Other non-local exits pass through.
bool guarded(const char* where, const std::function<void()>& fn, Cell* error);

// Loads UTF-8 text into a new block whose words are bound to the global
// context. True with the block in *out, or false with the syntax error in
// *out (a stable cell).
bool load(std::string_view text, Cell* out);

// What a loaded script starts with.
enum class Header {
    found,    // the word Vum and a block: *block now stands after them
    missing,  // anything else
    system,   // the path Vum/System: code for the compiler, not for us
};
Header skip_header(Cell* block);

}  // namespace vum::source
