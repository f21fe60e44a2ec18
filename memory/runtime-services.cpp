#include "memory/runtime-services.h"

#include <unistd.h>

#include "base/console-output.h"
#include "base/system-throw.h"

namespace vum::services {

namespace {
constexpr int32_t service_count = 15;
// A service added to the struct must be added to the check below too.
static_assert(sizeof(Services) == service_count * sizeof(void*));
}  // namespace

std::string missing_report(const Services& s) {
    struct Entry {
        const char* name;
        bool set;
    } const entries[service_count] = {
        {"change-handler", s.change_handler != nullptr},
        {"deep-change-handler", s.deep_change_handler != nullptr},
        {"prepare-map-key", s.prepare_map_key != nullptr},
        {"mark-image", s.mark_image != nullptr},
        {"error-values", s.error_values != nullptr},
        {"note-error", s.note_error != nullptr},
        {"load-first-value", s.load_first_value != nullptr},
        {"lex-type", s.lex_type != nullptr},
        {"load-text", s.load_text != nullptr},
        {"count-locals", s.count_locals != nullptr},
        {"evaluate-spec", s.evaluate_spec != nullptr},
        {"money-digits", s.money_digits != nullptr},
        {"stack-trace-level", s.stack_trace_level != nullptr},
        {"source-files", s.source_files != nullptr},
        {"run-call", s.run_call != nullptr},
    };
    for (const Entry& e : entries)
        if (!e.set) return std::string("*** Start-up failed: the runtime service ") + e.name + " is not set";
    return {};
}

void require_complete() {
    std::string report = missing_report();
    if (report.empty()) return;
    report += "\n";
    output::flush();
    ssize_t ignored = ::write(STDERR_FILENO, report.data(), report.size());
    (void)ignored;
    sys::exit_process(1);
}

}  // namespace vum::services
