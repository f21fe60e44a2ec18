#include "engine/natives.h"

#include "datatypes/native.h"
#include "engine/parse.h"
#include "engine/transcode-native.h"
#include "memory/cell.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"

namespace vum::natives {

namespace {

uint32_t scratch_node = 0;

}  // namespace

void not_done(const int32_t*) { errors::raise(err::internal::not_done); }

void init_table() {
    for (int32_t id = 1; id <= native_count; id++) set_native(id, not_done);
    set_native(native::func, func_native);
    set_native(native::function, function_native);
    set_native(native::does, does_native);
    set_native(native::has, has_native);
    set_native(native::try_, try_native);
    set_native(native::break_, break_native);
    set_native(native::continue_, continue_native);
    set_native(native::exit, exit_native);
    set_native(native::return_, return_native);
    set_native(native::throw_, throw_native);
    set_native(native::catch_, catch_native);
    set_native(native::transcode, transcode_native);
    // Each group of natives puts its handlers in place of the stubs.
    register_control_natives();
    register_evaluation_natives();
    register_comparison_natives();
    register_math_natives();
    register_service_natives();
    register_compression_natives();
    register_process_natives();
    register_parse_native();
    // Without a root block (the unit tests' partial start-ups) nothing
    // could keep the scratch block.
    scratch_node = 0;
    if (!gc::roots.root_block.w2) return;
    scratch_node = memory::alloc_cells(32);
    gc::ProtectNode keep(&scratch_node);
    Cell scratch;
    cell::make_series(&scratch, type_block, scratch_node);
    *series::alloc_tail(&gc::roots.root_block) = scratch;
}

const char* name_at(int32_t id) { return id >= 1 && id <= native_count ? native_names[id] : nullptr; }

uint32_t print_scratch() { return scratch_node; }

}  // namespace vum::natives
