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

struct Entry {
    const char* name;
    actions::NativeFn fn;
};

// In id order: the k-th entry is native id k. The names are those the boot
// source binds; they serve reports and the check that both agree.
const Entry entries[native_count] = {
    {"if", not_done},                 // 1
    {"unless", not_done},
    {"either", not_done},
    {"any", not_done},
    {"all", not_done},                // 5
    {"while", not_done},
    {"until", not_done},
    {"loop", not_done},
    {"repeat", not_done},
    {"forever", not_done},            // 10
    {"foreach", not_done},
    {"forall", not_done},
    {"remove-each", not_done},
    {"func", func_native},
    {"function", function_native},    // 15
    {"does", does_native},
    {"has", has_native},
    {"switch", not_done},
    {"case", not_done},
    {"do", not_done},                 // 20
    {"get", not_done},
    {"set", not_done},
    {"print", not_done},
    {"prin", not_done},
    {"equal?", not_done},             // 25
    {"not-equal?", not_done},
    {"strict-equal?", not_done},
    {"lesser?", not_done},
    {"greater?", not_done},
    {"lesser-or-equal?", not_done},   // 30
    {"greater-or-equal?", not_done},
    {"same?", not_done},
    {"not", not_done},
    {"type?", not_done},
    {"reduce", not_done},             // 35
    {"compose", not_done},
    {"stats", not_done},
    {"bind", not_done},
    {"in", not_done},
    {"parse", not_done},              // 40
    {"union", not_done},
    {"intersect", not_done},
    {"unique", not_done},
    {"difference", not_done},
    {"exclude", not_done},            // 45
    {"complement?", not_done},
    {"dehex", not_done},
    {"enhex", not_done},
    {"negative?", not_done},
    {"positive?", not_done},          // 50
    {"max", not_done},
    {"min", not_done},
    {"shift", not_done},
    {"to-hex", not_done},
    {"sine", not_done},               // 55
    {"cosine", not_done},
    {"tangent", not_done},
    {"arcsine", not_done},
    {"arccosine", not_done},
    {"arctangent", not_done},         // 60
    {"arctangent2", not_done},
    {"NaN?", not_done},
    {"log-2", not_done},
    {"log-10", not_done},
    {"log-e", not_done},              // 65
    {"exp", not_done},
    {"square-root", not_done},
    {"construct", not_done},
    {"value?", not_done},
    {"try", try_native},              // 70
    {"uppercase", not_done},
    {"lowercase", not_done},
    {"as-pair", not_done},
    {"as-point2D", not_done},
    {"as-point3D", not_done},         // 75
    {"as-money", not_done},
    {"break", break_native},
    {"continue", continue_native},
    {"exit", exit_native},
    {"return", return_native},        // 80
    {"throw", throw_native},
    {"catch", catch_native},
    {"extend", not_done},
    {"debase", not_done},
    {"to-local-file", not_done},      // 85
    {"wait", not_done},
    {"checksum", not_done},
    {"unset", not_done},
    {"new-line", not_done},
    {"new-line?", not_done},          // 90
    {"enbase", not_done},
    {"context?", not_done},
    {"set-env", not_done},
    {"get-env", not_done},
    {"list-env", not_done},           // 95
    {"now", not_done},
    {"sign?", not_done},
    {"as", not_done},
    {"call", not_done},
    {"zero?", not_done},              // 100
    {"size?", not_done},
    {"browse", not_done},
    {"compress", not_done},
    {"decompress", not_done},
    {"recycle", not_done},            // 105
    {"transcode", transcode_native},
    {"apply", not_done},
};

int32_t appended = 0;
uint32_t scratch_node = 0;

// Each handler goes to the next free id, so the order of the calls is the
// order of the ids.
void append(int32_t count, const Entry* handlers) {
    for (int32_t k = 0; k < count; k++) set_native(++appended, handlers[k].fn);
}

}  // namespace

void not_done(const int32_t*) { errors::raise(errors::category_internal, "not-done"); }

void init_table() {
    appended = 0;
    append(native_count, entries);
    // Each group of natives puts its handlers in place of the stubs.
    register_control_natives();
    register_evaluation_natives();
    register_comparison_natives();
    register_math_natives();
    register_service_natives();
    register_parse_native();
    // Without a root block (the unit tests' partial start-ups) nothing
    // could keep the scratch block.
    scratch_node = 0;
    if (!gc::roots.root_block.w2) return;
    scratch_node = memory::alloc_cells(32);
    gc::ProtectNode keep(&scratch_node);
    Cell scratch;
    cell::make_series(&scratch, type_block, scratch_node);
    *block::alloc_tail(&gc::roots.root_block) = scratch;
}

const char* name_at(int32_t id) { return id >= 1 && id <= native_count ? entries[id - 1].name : nullptr; }

uint32_t print_scratch() { return scratch_node; }

}  // namespace vum::natives
