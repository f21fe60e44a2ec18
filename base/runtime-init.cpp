#include "base/runtime-init.h"

#include "base/handle-registry.h"
#include "base/hooks.h"
#include "base/os-services.h"
#include "base/tracked-heap.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"

namespace vum::runtime {

int32_t word_recording = 0;

namespace {
constexpr int32_t root_block_cells = 9748;
}

void init_all() {
    word_recording = 1;
    hooks::init();
    platform::init();
    // (random numbers start here)
    memory::init();
    handle_registry::init();
    // (the datatype tables, the datatypes and the action table)
    // Every permanent value is a cell of the root block.
    cell::make_series(&gc::roots.root_block, type_block, memory::alloc_cells(root_block_cells));
    // (the stacks, the global context, the case tables, the symbols, the
    // natives, PARSE, ownership, checksum and compression methods, process
    // calls, the value stack, the lexer, the boot image, the interpreter,
    // the cell-slot table)
    gc::init();
}

void release_all() {
    memory::release_all();
    heap::free_all();
}

}  // namespace vum::runtime
