#include "base/system-throw.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/runtime-record.h"
#include "base/tracked-heap.h"

namespace vum::sys {

void throw_code(uint32_t code) {
    rt.thrown = code;
    throw Throw{code};
}

void clear_thrown() { rt.thrown = 0; }

void rethrow() { throw Throw{rt.thrown}; }

__attribute__((noinline)) uintptr_t caller_address() {
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

namespace {
struct Mapping {
    uint32_t os_code;
    int32_t number;
};
constexpr Mapping exception_map[] = {
    {0xC0000005, 1},  {0x80000002, 2},  {0x80000003, 3},  {0x80000004, 4},
    {0xC000008C, 5},  {0xC000008D, 6},  {0xC000008E, 7},  {0xC000008F, 8},
    {0xC0000090, 9},  {0xC0000091, 10}, {0xC0000092, 11}, {0xC0000093, 12},
    {0xC0000094, 13}, {0xC0000095, 14}, {0xC0000096, 15}, {0xC0000006, 16},
    {0xC000001D, 17}, {0xC0000025, 18}, {0xC00000FD, 19}, {0xC0000026, 20},
    {0x80000001, 21}, {0xC0000008, 22}, {0xC000013A, 0},
};

constexpr const char* texts_1_to_34[] = {
    "access violation",
    "invalid alignment",
    "breakpoint",
    "single step",
    "bounds exceeded",
    "float denormal operan",
    "float divide by zero",
    "float inexact result",
    "float invalid operation",
    "float overflow",
    "float stack check",
    "float underflow",
    "integer divide by zero",
    "integer overflow",
    "privileged instruction",
    "invalid virtual address",
    "illegal instruction",
    "non-continuable exception",
    "stack error or overflow",
    "invalid disposition",
    "guard page",
    "invalid handle",
    "illegal operand",
    "illegal addressing mode",
    "illegal trap",
    "coprocessor error",
    "non-existent physical address",
    "object specific hardware error",
    "hardware memory error consumed AR",
    "hardware memory error consumed AO",
    "privileged register",
    "segmentation fault",
    "FPU error",
    "Bus error",
};

// Async-signal-safe: no stdio, no allocation.
int put_text(char* out, int at, const char* s) {
    while (*s) out[at++] = *s++;
    return at;
}

int put_decimal(char* out, int at, int32_t n) {
    char digits[12];
    int k = 0;
    uint32_t u = n < 0 ? 0u - uint32_t(n) : uint32_t(n);
    if (n < 0) out[at++] = '-';
    do {
        digits[k++] = char('0' + u % 10);
        u /= 10;
    } while (u);
    while (k) out[at++] = digits[--k];
    return at;
}

int put_hex(char* out, int at, uintptr_t v) {
    char digits[16];
    int k = 0;
    do {
        digits[k++] = "0123456789ABCDEF"[v & 15];
        v >>= 4;
    } while (v);
    while (k < 8) digits[k++] = '0';
    while (k) out[at++] = digits[--k];
    return at;
}

void write_all(int fd, const char* p, int n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, size_t(n));
        if (w <= 0) return;
        p += w;
        n -= int(w);
    }
}

void report(int32_t number, uintptr_t address) {
    char line[160];
    int n = format_report(line, number, address);
    write_all(STDERR_FILENO, line, n);
}
}  // namespace

const char* runtime_error_text(int32_t number) {
    if (number >= 1 && number <= 34) return texts_1_to_34[number - 1];
    switch (number) {
        case 94: return "out of memory";
        case 95: return "no CATCH for THROW";
        case 98: return "assertion failed";
        case 99: return "unknown error";
        case 100: return "no value matched in CASE";
        case 101: return "no value matched in SWITCH";
        default: return "unknown error code!";
    }
}

int32_t map_exception_code(uint32_t os_code) {
    for (const Mapping& m : exception_map)
        if (m.os_code == os_code) return m.number;
    return 99;
}

int format_report(char* out, int32_t number, uintptr_t address) {
    int at = put_text(out, 0, "*** Runtime Error ");
    at = put_decimal(out, at, number);
    at = put_text(out, at, ": ");
    at = put_text(out, at, runtime_error_text(number));
    at = put_text(out, at, "\n*** at: ");
    at = put_hex(out, at, address);
    at = put_text(out, at, "h\n");
    out[at] = 0;
    return at;
}

void terminate(int32_t number, uintptr_t address) {
    if (number != 0) report(number, address);
    std::fflush(nullptr);
    heap::release_at_exit();
    std::_Exit(number);
}

void exit_process(int32_t status) {
    std::fflush(nullptr);
    heap::release_at_exit();
    std::_Exit(status);
}

void terminate_from_fault(int32_t number, uintptr_t address) {
    if (number != 0) report(number, address);
    ::_exit(number);
}

void exception_filter(uint32_t os_code, uintptr_t address) {
    terminate_from_fault(map_exception_code(os_code), address);
}

__attribute__((noinline)) void top_catch_handler(uint32_t code) {
    if (code == code_silent_exit) terminate(0, 0);
    terminate(95, reinterpret_cast<uintptr_t>(&top_catch_handler));
}

}  // namespace vum::sys
