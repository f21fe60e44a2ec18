// Lines read from standard input for the language's `ask`: the prompt goes
// out first, and when standard input is not a terminal the line read is
// echoed after it, as the console echoes its own inputs, so that a piped
// session prints as its transcript.
#pragma once
#include <string>

namespace vum::input {

// Writes the prompt and reads one line (without its line end). hide: on a
// terminal the typed characters are not shown; echoed from a pipe, each
// character shows as "*". False at the end of the input.
bool ask(const std::string& prompt, bool hide, std::string* line);

}  // namespace vum::input
