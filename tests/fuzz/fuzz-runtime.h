// The whole runtime with its environment for the fuzz targets that run
// language code: start-up as the program does it, a main that runs
// libFuzzer's driver on the runtime's large-stack thread (so the language's
// depth limits, not the machine stack, stop deep input), a way to evaluate
// source text, and a reader that takes choices from the fuzzer's bytes.
//
// A target includes this once, defines the test function (named
// fuzz_one_input) and FUZZ_SETUP, the source of its helper functions.
#pragma once
#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/console-output.h"
#include "base/entry.h"
#include "base/float-text.h"
#include "base/runtime-init.h"
#include "base/runtime-record.h"
#include "base/system-throw.h"
#include "base/tracked-heap.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "engine/interpreter.h"
#include "environment/boot-loader.h"
#include "environment/source-runner.h"
#include "gui-console/terminal-console.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/memory-manager.h"
#include "memory/series.h"
#include "memory/value-stack.h"
#include "platform/runtime-thread.h"

extern "C" int LLVMFuzzerRunDriver(int* argc, char*** argv, int (*cb)(const uint8_t*, size_t));

namespace fuzz {

using namespace vum;

// Evaluates source text in the global context. Returns true with the value
// in *result, false when loading or evaluating it raised an error or another
// non-local exit (break, return, throw, exit) left it; the exit is cleared.
inline bool eval(std::string_view text, Cell* result) {
    Cell code;
    cell::make_none(&code);
    gc::Protect keep(&code);
    cell::make_none(result);
    if (!source::load(text, &code)) return false;
    bool ok = false;
    uint32_t caught = sys::catch_codes(sys::catch_all, [&] { ok = !eval::evaluate_protected(&code, result); });
    if (caught) {
        sys::clear_thrown();
        cell::make_none(result);
        return false;
    }
    return ok;
}

// A global word's value, by name (a stable cell while the word keeps it).
inline const Cell* global(const char* name) {
    Cell w = context::load_word(name);
    return context::get_word_value(&w);
}
inline void set_global(const char* name, const Cell* value) {
    Cell w = context::load_word(name);
    context::set_word_value(&w, value);
}

// Sets a global word to a new binary of the bytes.
inline void set_binary(const char* name, const uint8_t* data, size_t size) {
    uint32_t node = memory::alloc_units(int32_t(size) + 1, 1);
    gc::ProtectNode keep(&node);
    if (size) std::memcpy(series::alloc_tail_bytes(node, int32_t(size)), data, size);
    Cell value;
    cell::make_series(&value, type_binary, node);
    set_global(name, &value);
}

// Text of a string value, or "" for anything else.
inline std::string text_of(const Cell* value) {
    if (!string::is_text_kind(cell::type(value))) return "";
    return string::node_to_utf8(value->w2);
}

// Choices taken from the fuzzer's bytes; when they run out every choice is 0,
// which every generator treats as its simplest case.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t below(uint32_t n) { return n ? (n <= 256 ? byte() % n : u32() % n) : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v = v << 8 | byte();
        return v;
    }
    uint64_t u64() { return uint64_t(u32()) << 32 | u32(); }
    template <class T, size_t N>
    const T& pick(const T (&items)[N]) { return items[below(uint32_t(N))]; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

int fuzz_one_input(const uint8_t* data, size_t size);
extern const char* const setup_source;

namespace detail {

struct Start {
    int* argc;
    char*** argv;
    int status;
};

inline void start_runtime(int argc, char** argv) {
    rt.heap_list = &heap::list();
    entry::collect_args(argc, argv);
    floats::init();
    output::save_default_attribute();
    cycles::init();
    runtime::init_all();
    runtime::word_recording = 0;
    gc::state.enabled = 1;
    boot::load_environment(console::register_console_routines);
    Cell result{};
    gc::Protect keep(&result);
    if (!eval(setup_source, &result)) {
        std::fprintf(stderr, "the fuzz target's set-up code failed\n");
        std::abort();
    }
}

// libFuzzer's timeout alarm acts only in the thread that runs the inputs:
// the main thread, waiting for this one, keeps SIGALRM blocked so that the
// signal comes here.
inline void run_driver(void* p) {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    Start& s = *static_cast<Start*>(p);
    start_runtime(*s.argc, *s.argv);
    s.status = LLVMFuzzerRunDriver(s.argc, s.argv, fuzz_one_input);
}

}  // namespace detail

}  // namespace fuzz

int main(int argc, char** argv) {
    fuzz::detail::Start start{&argc, &argv, 0};
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    vum::platform::run_on_large_stack(vum::platform::runtime_stack_size, fuzz::detail::run_driver, &start);
    return start.status;
}
