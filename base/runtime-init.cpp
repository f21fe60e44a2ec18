#include "base/runtime-init.h"

#include <unistd.h>

#include <chrono>
#include <string>

#include "base/console-output.h"
#include "base/handle-registry.h"
#include "base/hooks.h"
#include "base/os-services.h"
#include "base/runtime-record.h"
#include "base/system-throw.h"
#include "base/tracked-heap.h"
// The composition root: start-up initialises every layer in order, so this
// file alone in base/ includes the layers above it (memory/, datatypes/,
// engine/, io/, environment/, view/). Its header needs nothing but the standard
// library, so the layers it starts do not see it reaching up.
#include "datatypes/actions.h"
#include "datatypes/all-types.h"
#include "datatypes/error.h"
#include "datatypes/image-record.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/random.h"
#include "datatypes/registry.h"
#include "engine/action-front-ends.h"
#include "engine/interpreter.h"
#include "engine/lexer.h"
#include "engine/natives.h"
#include "environment/system-object.h"
#include "io/file-url-actions.h"
#include "io/vumbin-decoder.h"
#include "memory/code-forms.h"
#include "memory/collector.h"
#include "memory/cell-slots.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"
#include "view/event-type.h"

namespace vum::runtime {

int32_t word_recording = 0;
int64_t boot_image_decode_ns = 0;

namespace {
constexpr int32_t root_block_cells = 9748;

// An image that does not decode fails before errors can be reported as
// values: it is named by its designation alone.
[[noreturn]] void fail_boot_image() {
    std::string message = "*** Start-up failed: the boot image does not decode (";
    message += errors::last_raised.id ? errors::last_raised.id : "fault";
    message += ")\n";
    output::flush();
    ssize_t ignored = ::write(STDERR_FILENO, message.data(), message.size());
    (void)ignored;
    sys::exit_process(1);
}

// Decodes the boot image the entry stored, when there is one, into the root
// block; its first cell (the error catalogue) comes back, else null.
const Cell* decode_boot_image() {
    if (!rt.boot_image) return nullptr;
    auto start = std::chrono::steady_clock::now();
    // The image's cells are appended to the root block: nothing else may be
    // recorded there meanwhile.
    word_recording = 0;
    int32_t base = 0;
    uint32_t code = sys::catch_codes(sys::catch_guard, [&] {
        base = vumbin::load_boot_image(rt.boot_image, false, rt.boot_image_size);
    });
    if (code != 0) fail_boot_image();
    word_recording = 1;
    boot_image_decode_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now() - start).count();
    if (base >= series::length_from_head(&gc::roots.root_block)) return nullptr;
    return series::cells_head(gc::roots.root_block.w2) + base;
}
}  // namespace

void init_top_level_state() { cycles::init(); }

void fill_services(services::Services& s) {
    object_type::offer_services(s);
    s.prepare_map_key = map_type::prepare_key;
    s.mark_image = image_record::gc_mark;
    error::offer_services(s);
    eval::offer_services(s);
    lexer::offer_services(s);
    system_object::offer_services(s);
}

void init_all() {
    // The layers below reach the ones above through these from the start.
    fill_services(services::current);
    services::require_complete();
    word_recording = 1;
    hooks::init();
    platform::init();
    // (random numbers start here) Hashes are never stored outside a run, so
    // any per-process constant seeds them.
    hashtable::seed = uint32_t(reinterpret_cast<uintptr_t>(&hashtable::seed));
    random::init();
    memory::init();
    forms::init();
    handle_registry::init();
    datatypes::register_all();
    view::register_event_type();
    file_url_actions::init();
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
    // The boot image brings the error catalogue.
    error::init(decode_boot_image());
    eval::init();
    slots::init();
    gc::init();
}

void end_start_up() {
    word_recording = 0;
    gc::state.enabled = 1;
}

void release_all() {
    memory::release_all();
    heap::free_all();
}

}  // namespace vum::runtime
