#include "environment/boot-loader.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string_view>

#include "base/console-output.h"
#include "base/runtime-record.h"
#include "base/system-throw.h"
#include "datatypes/actions.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "engine/interpreter.h"
#include "engine/natives.h"
#include "environment/boot-image.h"
#include "environment/codec-routines.h"
#include "environment/routine-maker.h"
#include "environment/runtime-routines.h"
#include "environment/source-runner.h"
#include "environment/system-object.h"
#include "environment/system-routines.h"
#include "environment/type-predicates.h"
#include "memory/collector.h"
#include "memory/context.h"

namespace vum::boot {

namespace {
std::string report_of(const Cell* error) {
    return cell::type(error) == type_error ? error::form_report(error) : actions::mold_text(error);
}

[[noreturn]] void fail(const char* name, const std::string& report) {
    std::string message = std::string("*** Start-up failed in ") + name + ":\n" + report + "\n";
    output::flush();
    ssize_t ignored = ::write(STDERR_FILENO, message.data(), message.size());
    (void)ignored;
    sys::exit_process(1);
}

// The sources make every native, action and typeset with `make`, and the
// make action itself is one of the values they make. A boot image arrives
// with it already made; loaded from text, the word first holds a
// provisional make action (slot 1, taking a type and a spec) that the
// sources' own definition then replaces.
void seed_make() {
    Cell cells[3] = {context::load_word("make"), {}, {}};  // the word, its spec, the action
    gc::Protect keep(cells, 3);
    if (cell::type(context::get_word_value(&cells[0])) != type_unset) return;
    bool ok = source::load("[type spec] 1", &cells[1]) && source::guarded("make", [&] {
        auto make = actions::lookup<actions::slot_make>(type_action, nullptr);
        make(nullptr, &cells[1], type_action, &cells[2]);
        context::set_word_value(&cells[0], &cells[2]);
    }, &cells[1]);
    if (!ok) fail("the start-up code", report_of(&cells[1]));
}
}  // namespace

bool run_source(const Source& source, std::string* report) {
    std::string_view text(source.text, size_t(source.length));
    int64_t header = source::find_header(text);
    if (header > 0) text.remove_prefix(size_t(header));
    Cell cells[2] = {};  // the code, then its result
    gc::Protect keep(cells, 2);
    if (!source::load(text, &cells[0])) {
        *report = report_of(&cells[0]);
        return false;
    }
    if (header >= 0 && source::skip_header(&cells[0]) != source::Header::found) {
        *report = "*** Error: not a Vum program!";
        return false;
    }
    if (eval::evaluate_protected(&cells[0], &cells[1])) {
        *report = report_of(&cells[1]);
        return false;
    }
    return true;
}

void load_environment(RegisterRoutines register_front_end_routines) {
    int32_t stride = gc::torture_stride_now();
    gc::set_torture(gc::torture_boot_stride());
    auto start = std::chrono::steady_clock::now();
    int32_t modules = rt.boot_image ? image_module_count() : embedded_source_count;
    if (modules < 0) fail("the boot image", "*** Error: it does not hold this program's environment");
    if (modules > 0) seed_make();
    register_runtime_routines();
    register_type_predicates();
    register_system_routines();
    register_codec_routines();
    register_front_end_routines();
    install_routine_maker();
    // Every function made while the environment loads is compiled.
    function::set_making_compiled(true);
    bool each = rt.boot_image && timing_each_module();
    for (int32_t i = 0; i < modules; ++i) {
        std::string name, report;
        bool ran;
        auto module_start = std::chrono::steady_clock::now();
        if (rt.boot_image) {
            ran = run_image_module(i, &name, &report);
        } else {
            name = embedded_sources[i].name;
            ran = run_source(embedded_sources[i], &report);
        }
        if (!ran) fail(name.c_str(), report);
        if (each)
            report_module_timing(name, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::chrono::steady_clock::now() - module_start)
                                           .count());
    }
    function::set_making_compiled(false);
    // Words for the test tools alone, made only when they ask: the bytes
    // malloc holds, which the repetition test watches for leaks without
    // the language's own figures changing.
    if (std::getenv("VUM_TEST_HOOKS")) {
        static const char hooks[] = "malloc-bytes: boot-routine 'malloc-bytes [\"The bytes malloc holds\"]";
        std::string report;
        if (!run_source({"test hooks", hooks, int32_t(sizeof hooks - 1)}, &report)) fail("the test hooks", report);
    }
    remove_routine_maker();
    gc::Local error(Cell{});
    if (!system_object::start(&error)) fail("the start-up code", report_of(&error));
    gc::set_torture(stride);
    if (rt.boot_image)
        report_timing(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                          .count());
}

}  // namespace vum::boot
