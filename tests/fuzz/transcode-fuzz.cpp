// Feeds arbitrary bytes to the lexer in each of its modes, and once with a
// watcher. Any outcome but a value or a language error (a crash, a sanitizer
// report, a hang) is a fault. The runtime is set up once and the memory
// manager reset now and then so long runs do not fill the heap.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/handle-registry.h"
#include "base/runtime-init.h"
#include "base/system-throw.h"
#include "datatypes/actions.h"
#include "datatypes/all-types.h"
#include "datatypes/error.h"
#include "datatypes/registry.h"
#include "engine/lexer.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

using namespace vum;

namespace {

void start_runtime() {
    runtime::fill_services(services::current);
    memory::release_all();
    memory::init();
    gc::roots = {};
    gc::state.enabled = 0;
    handle_registry::init();
    cell::make_series(&gc::roots.root_block, type_block, memory::alloc_cells(100));
    symbols::init_table();
    context::init_global();
    cycles::init();
    runtime_symbols::init_runtime_words();
    ownership::init_table();
    stack::init();
    error::init();
    datatypes::register_all();
    datatype::make_name_words();
    actions::fill_table();
    gc::state.enabled = 1;
}

void run_guarded(const Cell* source, const lexer::Options& options) {
    Cell w = context::load_word("try");
    stack::Mark mark;
    stack::push_native_frame(&w);
    stack::push_try_frame(&w);
    gc::Local out({type_none, 0, 0, 0});
    if (sys::catch_codes(sys::catch_guard, [&] { lexer::transcode(source, options, &out); }))
        sys::clear_thrown();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int runs = 0;
    if (runs++ % 5000 == 0) start_runtime();
    if (size > 1 << 16) return 0;
    uint32_t node = memory::alloc_units(int32_t(size) + 1, 1);
    gc::ProtectNode keep(&node);
    if (size) std::memcpy(series::alloc_tail_bytes(node, int32_t(size)), data, size);
    Cell source;
    cell::make_series(&source, type_binary, node);
    gc::Protect keep_source(&source);
    lexer::Options load, one, prescan, scan, watched;
    one.one = true;
    one.next = true;
    prescan.prescan = true;
    scan.scan = true;
    // A watcher that refuses some events by the input's own bytes and skips
    // past errors, so refusals and moved input meet every token kind.
    lexer::Watch watch;
    watch.fn = [data, size](lexer::Report& r) {
        if (r.event == lexer::event_error) {
            r.position += 1;
            return false;
        }
        return size == 0 || data[size_t(r.start) % size] % 7 != 0;
    };
    watched.trace = &watch;
    for (const lexer::Options* o : {&load, &one, &prescan, &scan, &watched}) run_guarded(&source, *o);
    return 0;
}
