// What the console engine needs from a terminal or a pipe, as routines of
// the terminal front end (gui-console/terminal-front-end.vum): one line read
// after a prompt (edited, hidden, or from a pipe), the terminal's size,
// whether input is a terminal, and the history file's text.
//
// When standard input is not a terminal, the line read is echoed right after
// the prompt, so the output of `vum < session` reads as the session itself.
#pragma once

namespace vum::terminal {

// Registers the terminal-... routines for boot-routine.
void register_terminal_routines();

}  // namespace vum::terminal
