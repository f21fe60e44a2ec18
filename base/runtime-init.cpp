#include "base/runtime-init.h"

#include "base/handle-registry.h"
#include "base/hooks.h"
#include "base/os-services.h"
#include "base/tracked-heap.h"
// The composition root: start-up initialises every layer in order, so this
// file alone in base/ includes the layers above it (memory/, datatypes/,
// engine/, io/). Its header needs nothing but the standard library, so the
// layers it starts do not see it reaching up.
#include "datatypes/actions.h"
#include "datatypes/all-types.h"
#include "datatypes/error.h"
#include "datatypes/registry.h"
#include "engine/action-front-ends.h"
#include "engine/interpreter.h"
#include "engine/lexer.h"
#include "engine/natives.h"
#include "io/random.h"
#include "memory/collector.h"
#include "memory/cell-slots.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/runtime-symbols.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::runtime {

int32_t word_recording = 0;

namespace {
constexpr int32_t root_block_cells = 9748;
}

void init_all() {
    word_recording = 1;
    hooks::init();
    platform::init();
    // (random numbers start here) Hashes are never stored outside a run, so
    // any per-process constant seeds them.
    hashtable::seed = uint32_t(reinterpret_cast<uintptr_t>(&hashtable::seed));
    random::init();
    memory::init();
    handle_registry::init();
    datatypes::register_all();
    // Every permanent value is a cell of the root block.
    cell::make_series(&gc::roots.root_block, type_block, memory::alloc_cells(root_block_cells));
    // (the stacks)
    symbols::init_table();
    context::init_global();
    case_map::init_tables();
    datatype::make_name_words();
    runtime_symbols::init_runtime_words();
    runtime_symbols::init_refinements();
    runtime_symbols::init_issue_constant();
    actions::fill_table();
    actions::register_front_ends();
    natives::init_table();  // (PARSE)
    ownership::init_table();
    // (checksum and compression methods, process calls)
    stack::init();
    lexer::init();
    // The boot image brings the error catalogue.
    error::init();
    eval::init();
    slots::init();
    gc::init();
}

void release_all() {
    memory::release_all();
    heap::free_all();
}

}  // namespace vum::runtime
