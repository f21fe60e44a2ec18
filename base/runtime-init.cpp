#include "base/runtime-init.h"

#include "base/hooks.h"
#include "base/os-services.h"
#include "base/tracked-heap.h"

namespace vum::runtime {

int32_t word_recording = 0;

void init_all() {
    word_recording = 1;
    hooks::init();
    platform::init();
    // Later modules start here, in order: random numbers, the memory
    // manager, the handle registry, the datatype tables and the datatypes,
    // the action table, the root block and the stacks, the global context,
    // the case tables, the symbols, the natives, PARSE, ownership, checksum
    // and compression methods, process calls, the value stack, the lexer,
    // the boot image, the interpreter, the cell-slot table, the collector.
}

void release_all() { heap::free_all(); }

}  // namespace vum::runtime
