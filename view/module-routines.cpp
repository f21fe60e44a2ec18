#include "view/module-routines.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "datatypes/function.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "platform/module-loader.h"

namespace vum::view {

namespace {

using routines::MachineValue;
using routines::RoutineFn;

// The table: a routine's word, its entry in the module. Adding a routine
// of the module is one line here and its boot-routine line in view/*.vum.
constexpr ModuleRoutine table[] = {
    {"gui-test-font-family", "vum_view_gui_test_font_family"},
    {"gui-test-advance", "vum_view_gui_test_advance"},
    {"gui-test-presents", "vum_view_gui_test_presents"},
    {"gui-test-key", "vum_view_gui_test_key"},
    {"gui-test-type", "vum_view_gui_test_type"},
    {"gui-test-mouse", "vum_view_gui_test_mouse"},
    {"gui-test-wheel", "vum_view_gui_test_wheel"},
    {"gui-test-compose", "vum_view_gui_test_compose"},
    {"gui-test-commit", "vum_view_gui_test_commit"},
    {"gui-test-monitors", "vum_view_gui_test_monitors"},
    {"event?", "vum_view_event_q"},
    {"find-flag?", "vum_view_find_flag_q"},
    {"send-event-os", "vum_view_send_event_os"},
    {"gui-test-do-events", "vum_view_gui_test_do_events"},
    {"gui-test-loop-counts", "vum_view_gui_test_loop_counts"},
    {"gui-test-window", "vum_view_gui_test_window"},
    {"gui-test-close", "vum_view_gui_test_close"},
    {"gui-test-exit-loop", "vum_view_gui_test_exit_loop"},
    {"gui-test-capture", "vum_view_gui_test_capture"},
};
constexpr int32_t table_size = int32_t(sizeof table / sizeof table[0]);

RoutineFn resolve(int32_t i) { return reinterpret_cast<RoutineFn>(module_entry(table[i].entry)); }

// One forwarder per row: routine code is a plain function, so the row it
// stands for is its template argument. Until its code is found, every
// call asks again (and raises what the loader says).
template <int32_t I>
MachineValue forward(const MachineValue* args, int32_t count) {
    static RoutineFn code = nullptr;
    if (!code) code = resolve(I);
    return code(args, count);
}

template <int32_t... I>
void register_forwarders(std::integer_sequence<int32_t, I...>) {
    (routines::register_routine(table[I].name, &forward<I>), ...);
}

MachineValue gui_headless(const MachineValue*, int32_t) { return {.integer = headless_wanted() ? 1 : 0}; }

}  // namespace

void* module_entry(const char* symbol) {
    std::string why;
    void* address = platform::module_symbol(module_file, symbol, &why);
    if (!address) {
        gc::Local file(string::from_utf8(module_file));
        gc::Local reason(string::from_utf8(why.c_str()));
        errors::raise(err::access::cannot_open, &file, &reason);
    }
    return address;
}

bool headless_wanted() {
    const char* wanted = std::getenv("VUM_DISPLAY");
    if (wanted && std::strcmp(wanted, "headless") == 0) return true;
    const char* display = std::getenv("DISPLAY");
    return !display || !*display;
}

const ModuleRoutine* module_routines(int32_t* count) {
    *count = table_size;
    return table;
}

void register_module_routines() {
    register_forwarders(std::make_integer_sequence<int32_t, table_size>());
    routines::register_routine("gui-headless?", gui_headless);
}

}  // namespace vum::view
