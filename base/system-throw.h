// Non-local exits of the systems layer and the fatal runtime error report.
//
// A throw carries a 32-bit code outward to the innermost catch whose
// threshold is at least the code (unsigned compare). It is one C++ exception
// type; catch points compare and rethrow, so the frames in between are left
// by ordinary unwinding and their RAII guards restore what they changed.
// A fault is fatal: a numbered runtime error ends the process with its
// number as the exit status.
#pragma once
#include <cstdint>

namespace vum::sys {

// Codes with a fixed meaning; their catchers are named beside them.
enum : uint32_t {
    code_language_error = 0x7FFFFFFF,  // try frames, function bodies, guards
    code_break = 0x7FFFFFFE,           // loop natives
    code_continue = 0x7FFFFFFD,
    code_return = 0x7FFFFFFC,          // function bodies
    code_exit = 0x7FFFFFFB,
    code_language_throw = 0x7FFFFFFA,  // the catch native
    code_integer_power = 0x7FFFFFF9,
    code_os_alloc_failed = 0x7FFFFFF7,  // memory manager's frame allocation
    code_os_free_failed = 0x7FFFFFF6,
    code_silent_exit = 0x0BADCAFE,     // ends the process quietly with 0
};

// Catch thresholds of the frames that open catches.
enum : uint32_t {
    catch_all = 0xFFFFFFFF,
    catch_guard = 0x7FFFFFFF,
    catch_loop = 0x7FFFFFFE,
    catch_language_throw = 0x7FFFFFFA,
    catch_integer_power = 0x7FFFFFF9,
    catch_os_memory = 0x7FFFFFF8,
    catch_lexer = 10,
};

struct Throw {
    uint32_t code;
};

// Stores the code as the one in flight and leaves for the nearest catch that
// takes it. A code is never 0.
[[noreturn]] void throw_code(uint32_t code);

// Runs body under a catch of the given threshold. Returns 0 when the body
// ended normally, else the code it caught; the code stays in flight (the
// run-time record's `thrown`) until the catcher handles it with
// `clear_thrown` or passes it on with `rethrow`.
template <class Body>
uint32_t catch_codes(uint32_t threshold, Body&& body) {
    try {
        body();
        return 0;
    } catch (const Throw& t) {
        if (t.code > threshold) throw;
        return t.code;
    }
}

void clear_thrown();
[[noreturn]] void rethrow();  // passes the code in flight on, unchanged

// Reports runtime error `number` (nothing for 0) with the code address and
// ends the process with the number as its status.
[[noreturn]] void terminate(int32_t number, uintptr_t address);

// The same from a signal handler: no heap work, only async-signal-safe calls.
[[noreturn]] void terminate_from_fault(int32_t number, uintptr_t address);

// Ends the process with the status, quietly, after flushing output and
// releasing the tracked heap.
[[noreturn]] void exit_process(int32_t status);

// Maps an OS exception code, as the platform layer reports a hardware fault,
// to its runtime error and terminates.
[[noreturn]] void exception_filter(uint32_t os_code, uintptr_t address);

// Where a throw that nothing else caught ends.
[[noreturn]] void top_catch_handler(uint32_t code);

const char* runtime_error_text(int32_t number);
int32_t map_exception_code(uint32_t os_code);

// Formats the two report lines into out (at least 128 bytes); returns length.
int format_report(char* out, int32_t number, uintptr_t address);

// The code address just after the call in the function that calls this.
uintptr_t caller_address();

}  // namespace vum::sys
