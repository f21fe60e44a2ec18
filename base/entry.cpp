#include "base/entry.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/console-output.h"
#include "base/float-text.h"
#include "base/runtime-init.h"
#include "base/runtime-record.h"
#include "base/system-throw.h"
#include "base/tracked-heap.h"
#include "platform/fault-signals.h"
#include "platform/float-unit.h"
#include "platform/runtime-thread.h"

extern "C" char __executable_start;
extern "C" char etext;
extern "C" char edata;
extern "C" char end;

namespace vum {

RunTimeRecord rt{};

namespace entry {

namespace {
ImageRecord image{};

struct Start {
    int argc;
    char** argv;
    TopLevel top_level;
    const uint8_t* boot_image;
    int64_t boot_image_size;
};

void fill_image_record() {
    image.image_base = reinterpret_cast<uintptr_t>(&__executable_start);
    image.code_start = image.image_base;
    image.code_size = reinterpret_cast<uintptr_t>(&etext) - image.code_start;
    image.data_start = reinterpret_cast<uintptr_t>(&etext);
    image.data_size = reinterpret_cast<uintptr_t>(&end) - image.data_start;
}

void platform_start(int argc, char** argv) {
    platform::prepare_thread_for_faults();
    platform::install_fault_filter(sys::exception_filter);
    platform::keep_broken_pipes_as_errors();
    collect_args(argc, argv);
}

// Each module's state that must exist before the runtime starts.
void set_top_level_state() {
    floats::init();
    output::save_default_attribute();
    runtime::init_top_level_state();
}

[[noreturn]] void body(const Start& start) {
    rt.boot_image = start.boot_image;
    rt.boot_image_size = start.boot_image_size;
    set_top_level_state();
    runtime::init_all();
    runtime::end_start_up();
    start.top_level();
    sys::terminate(0, 0);
}

void runtime_main(void* p) {
    const Start& start = *static_cast<Start*>(p);
    platform::reset_float_unit();
    fill_image_record();
    rt.image_record = &image;
    rt.heap_list = &heap::list();
    platform_start(start.argc, start.argv);
    platform::reset_float_unit();

    // The outermost catch frame takes every code.
    int outermost = 0;
    rt.top_catch_frame = &outermost;
    try {
        body(start);
    } catch (const sys::Throw& t) {
        sys::top_catch_handler(t.code);
    } catch (const std::bad_alloc&) {
        sys::terminate(94, 0);
    } catch (...) {
        sys::terminate(99, 0);
    }
}
}  // namespace

void collect_args(int argc, char** argv) {
    if (argc <= 0 || !argv) {
        print::value_line({print::Item::text("CommandLineToArgvW failed!")});
        rt.args = static_cast<char**>(heap::alloc(int32_t(sizeof(char*))));
        rt.args[0] = nullptr;
        rt.arg_count = 0;
        rt.cleared = 0;
        return;
    }
    rt.args = static_cast<char**>(heap::alloc(int32_t(sizeof(char*)) * (argc + 1)));
    for (int i = 0; i < argc; i++) {
        int32_t n = int32_t(std::strlen(argv[i])) + 1;
        rt.args[i] = static_cast<char*>(heap::alloc(n));
        std::memcpy(rt.args[i], argv[i], size_t(n));
    }
    rt.args[argc] = nullptr;
    rt.arg_count = argc;
    rt.cleared = 0;
}

void run(int argc, char** argv, TopLevel top_level, const uint8_t* boot_image, int64_t boot_image_size) {
    Start start{argc, argv, top_level, boot_image, boot_image_size};
    platform::run_on_large_stack(platform::runtime_stack_size, runtime_main, &start);
    std::_Exit(0);
}

}  // namespace entry
}  // namespace vum
