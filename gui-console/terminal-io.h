// What the console engine needs from a terminal or a pipe, as routines of
// the terminal front end (environment/terminal-front-end.vum): one line read
// after a prompt, the terminal's width, and whether input is a terminal.
//
// When standard input is not a terminal, the line read is echoed right after
// the prompt, so the output of `vum < session` reads as the session itself.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace vum::terminal {

// Registers terminal-read-line, terminal-columns and terminal-input? for
// boot-routine.
void register_terminal_routines();

// Shows the prompt and reads one line without its line end; nothing when
// the input has ended.
std::optional<std::string> read_line(const std::string& prompt);

// The terminal's columns when standard output is one that says, else 80.
int32_t columns();

bool input_is_terminal();

}  // namespace vum::terminal
