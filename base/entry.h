// The process entry: the program's whole top level, run once in a fixed
// order on the runtime's thread.
#pragma once

namespace vum::entry {

// What runs after the runtime is started: the environment's top level and
// then the console. When it returns the process ends with status 0.
using TopLevel = void (*)();

[[noreturn]] void run(int argc, char** argv, TopLevel top_level);

// Fills the run-time record's argument list from the process arguments.
void collect_args(int argc, char** argv);

}  // namespace vum::entry
