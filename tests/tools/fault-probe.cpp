// Starts like the program and then does what its first argument names, so
// that fault reports and exit statuses can be checked from outside.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/console-output.h"
#include "base/entry.h"
#include "base/runtime-record.h"
#include "base/system-throw.h"
#include "base/tracked-heap.h"

using namespace vum;

namespace {

int* volatile null_pointer = nullptr;
volatile int zero = 0;
volatile int seven = 7;

volatile bool keep_going = true;

__attribute__((noinline)) int recurse(int depth) {
    volatile char frame[256];
    frame[0] = char(depth);
    return (keep_going ? recurse(depth + 1) : 0) + frame[0];
}

void limit_address_space() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) pages = 0;
        std::fclose(f);
    }
    rlim_t now = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE));
    rlimit limit{now + (64u << 20), now + (64u << 20)};
    setrlimit(RLIMIT_AS, &limit);
}

void top_level() {
    const char* what = rt.arg_count > 1 ? rt.args[1] : "";
    if (!std::strcmp(what, "null-write")) {
        *null_pointer = 1;
    } else if (!std::strcmp(what, "stack-overflow")) {
        std::printf("%d\n", recurse(0));
    } else if (!std::strcmp(what, "divide-by-zero")) {
        std::printf("%d\n", seven / zero);
    } else if (!std::strcmp(what, "illegal-instruction")) {
        __builtin_trap();
    } else if (!std::strcmp(what, "uncaught-throw")) {
        sys::throw_code(0x1234);
    } else if (!std::strcmp(what, "silent-throw")) {
        sys::throw_code(sys::code_silent_exit);
    } else if (!std::strcmp(what, "interrupt")) {
        raise(SIGINT);
    } else if (!std::strcmp(what, "out-of-memory")) {
        limit_address_space();
        heap::alloc(512 << 20);
    } else if (!std::strcmp(what, "runtime-error")) {
        sys::terminate(6, 0x1234ABCD);
    } else if (!std::strcmp(what, "args")) {
        for (int i = 2; i < rt.arg_count; i++) print::value_line({print::Item::text(rt.args[i])});
    }
}

}  // namespace

int main(int argc, char** argv) { entry::run(argc, argv, top_level); }
