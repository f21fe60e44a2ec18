// The process entry: the program's whole top level, run once in a fixed
// order on the runtime's thread.
#pragma once
#include <cstdint>

namespace vum::entry {

// What runs after the runtime is started: the environment's top level and
// then the console. When it returns the process ends with status 0.
using TopLevel = void (*)();

// With a boot image (its size, or -1 when its header bounds it), start-up
// decodes it into the root block; without one the environment comes from
// its sources.
[[noreturn]] void run(int argc, char** argv, TopLevel top_level, const uint8_t* boot_image = nullptr,
                      int64_t boot_image_size = -1);

// Fills the run-time record's argument list from the process arguments.
void collect_args(int argc, char** argv);

}  // namespace vum::entry
