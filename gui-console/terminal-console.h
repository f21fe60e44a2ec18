// The console on a terminal or a pipe, and the script runner. The loop is
// the console engine's (gui-console/console-engine.vum); this starts it with
// the terminal front end (gui-console/terminal-front-end.vum) playing the
// console window's part. A script named on the command line runs first.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "memory/cell.h"

namespace vum::console {

// The console engine's loop, until standard input ends (quit then ends the
// process). Returns the exit status when the loop could not run.
int run();

// Registers the routines the console's sources bind with boot-routine: the
// terminal front end's and console-init, the engine's init. The program
// hands it to the environment's loader (boot::load_environment).
void register_console_routines();

// Tells the console engine it runs on the terminal: its size, no window.
void start();

// The whole of a regular file; false when it cannot be read.
bool read_file(const char* path, std::string* text);
// Reads a script file; false, with the error reported, when it cannot be
// read.
bool read_script(const char* path, std::string* text);
// Runs a script's text: everything before its header is ignored, the rest
// after the header is evaluated as the console evaluates typed code.
// Returns the exit status: 0, or 1 when it had no header, did not load,
// raised an error or was halted (each reported on standard output as the
// console reports it).
int run_script_text(const std::string& text);

// Writes an error's report on standard output, as the console shows it.
void report(const Cell* error);

}  // namespace vum::console
