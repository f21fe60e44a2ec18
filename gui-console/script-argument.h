// The script a command line names, found and started as the console does
// it: after the switches ("--catch" keeps the console open after the
// script, a bare "--" ends them; any other argument that starts with "-"
// there is refused with the usage line) comes the script's file, and the
// arguments after it are the script's own. While
// the script runs, system/options/args holds only those, system/script/args
// their raw text, system/options/script the script's file, and the current
// directory (system/options/path) is the script's folder.
#pragma once
#include <cstddef>
#include <string_view>

namespace vum::console {

// Runs the script that the command line names and returns the exit
// status (1 for an option it does not know), or -1 when it names none.
int run_command_line();

// Where the script's own arguments start in the raw argument text: after
// leading white space, the switches (each "--" and the text up to white
// space, or a double quote, "--" and the text up to the next double quote;
// a bare "--" is the last one), the script's name (a double-quoted run or
// a run of other characters) and the white space after it.
size_t script_arguments_start(std::string_view raw);

}  // namespace vum::console
