#include "base/console-output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/hooks.h"
#include "base/system-throw.h"
#include "base/tracked-heap.h"
#include "base/utf8.h"

namespace vum::output {

namespace {
constexpr int32_t buffer_size = 1024;
constexpr int32_t flush_at = 1020;  // leaves room for a line end
constexpr int32_t number_buffer_size = 64;

int descriptor = STDOUT_FILENO;
bool console = false;
char* buffer = nullptr;
int32_t pending = 0;
char* number_buffer = nullptr;

// Output that cannot be written ends the program with status 1: going on
// would lose text without anyone knowing. A reader that went away (a closed
// pipe, as `vum script | head -1` closes it) ends it quietly, as other
// command-line tools end; any other failure, such as a full disk, is told on
// standard error.
[[noreturn]] void output_failed(int error) {
    if (error != EPIPE) {
        std::string message = "vum: cannot write to standard output: ";
        message += std::strerror(error);
        message += '\n';
        ssize_t ignored = ::write(STDERR_FILENO, message.data(), message.size());
        (void)ignored;
    }
    sys::exit_process(1);
}

void write_all(const char* p, int32_t n) {
    while (n > 0) {
        ssize_t w = ::write(descriptor, p, size_t(n));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{descriptor, POLLOUT, 0};  // a descriptor someone made non-blocking
            ::poll(&ready, 1, -1);
            continue;
        }
        if (w <= 0) output_failed(w < 0 ? errno : EIO);
        p += w;
        n -= int32_t(w);
    }
}

void ensure_init() {
    if (!buffer) init();
}

void put_code_point(uint32_t cp) {
    if (pending > flush_at) flush();
    pending += utf8::encode_char(cp, buffer + pending);
}

[[noreturn]] void bad_branch() { sys::terminate(101, sys::caller_address()); }
}  // namespace

void init() {
    if (!buffer) buffer = static_cast<char*>(heap::alloc(buffer_size));
    if (!number_buffer) number_buffer = static_cast<char*>(heap::alloc(number_buffer_size));
    pending = 0;
    console = ::isatty(descriptor) == 1;
}

// A terminal keeps its own colours; there is no attribute to remember.
void save_default_attribute() {}

bool is_console() { return console; }

void set_descriptor(int fd) {
    flush();
    descriptor = fd;
    console = ::isatty(fd) == 1;
}

void flush() {
    if (!buffer || pending == 0) return;
    int32_t n = pending;
    pending = 0;
    write_all(buffer, n);
    hooks::run_output(buffer, n, 0);
}

void write_text(const void* text, int32_t bytes, int unit, bool newline) {
    ensure_init();
    switch (unit) {
        case 1: {
            auto* p = static_cast<const uint8_t*>(text);
            for (int32_t i = 0; i < bytes; i++) put_code_point(p[i]);
            break;
        }
        case 2: {
            auto* p = static_cast<const uint16_t*>(text);
            for (int32_t i = 0; i < bytes / 2; i++) put_code_point(p[i]);
            break;
        }
        case 4: {
            auto* p = static_cast<const uint32_t*>(text);
            for (int32_t i = 0; i < bytes / 4; i++) put_code_point(p[i]);
            break;
        }
        default:
            bad_branch();
    }
    if (newline) put_code_point('\n');
    flush();
}

void write_text8(const char* text, int32_t bytes) { write_text(text, bytes, 1, false); }
void write_line8(const char* text, int32_t bytes) { write_text(text, bytes, 1, true); }
void write_text16(const uint16_t* text, int32_t bytes) { write_text(text, bytes, 2, false); }
void write_line16(const uint16_t* text, int32_t bytes) { write_text(text, bytes, 2, true); }
void write_text_ucs4(const uint32_t* text, int32_t bytes) { write_text(text, bytes, 4, false); }
void write_line_ucs4(const uint32_t* text, int32_t bytes) { write_text(text, bytes, 4, true); }

// Bytes that are already UTF-8 (C strings of the systems layer) go out as
// they are.
void write_raw(const char* text, int32_t n) {
    ensure_init();
    flush();
    write_all(text, n);
    hooks::run_output(text, n, 0);
}

static void write_number_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void write_number_text(const char* format, ...) {
    ensure_init();
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(number_buffer, number_buffer_size, format, args);
    va_end(args);
    if (n < 0) return;
    if (n >= number_buffer_size) n = number_buffer_size - 1;
    write_raw(number_buffer, n);
}

}  // namespace vum::output

namespace vum::print {

void c_string(const char* text) { output::write_raw(text, int32_t(std::strlen(text))); }

void byte(uint8_t b) {
    char s[2] = {char(b), 0};
    c_string(s);
}

void bytes(const char* text, int32_t n) {
    for (int32_t i = 0; i < n && text[i]; i++) byte(uint8_t(text[i]));
}

void char_literal(uint32_t c) {
    if (c > 255) sys::terminate(100, sys::caller_address());
    char body[8];
    switch (c) {
        case 0: std::strcpy(body, "^@"); break;
        case 9: std::strcpy(body, "^-"); break;
        case 10: std::strcpy(body, "^/"); break;
        case 27: std::strcpy(body, "^]"); break;
        default:
            if (c < 32) {
                body[0] = '^';
                body[1] = char('A' + c - 1);
                body[2] = 0;
            } else if (c < 128) {
                body[0] = char(c);
                body[1] = 0;
            } else {
                std::snprintf(body, sizeof body, "^(%02X)", unsigned(c));
            }
    }
    c_string("#\"");
    c_string(body);
    c_string("\"");
}

void integer(int32_t n) { output::write_number_text("%i", n); }
void hex_byte(uint8_t n) { output::write_number_text("%02X", unsigned(n)); }
void hex(uint32_t n) { output::write_number_text("%08X", n); }
void float64(double d) { output::write_number_text("%.16g", d); }
void float32(float f) { output::write_number_text("%.7g", double(f)); }

void typed_values(const Item* items, int32_t count, bool newline) {
    for (int32_t i = 0; i < count; i++) {
        const Item& it = items[i];
        switch (it.type) {
            case Item::logic: c_string(it.i ? "true" : "false"); break;
            case Item::integer32: integer(it.i); break;
            case Item::byte_char: byte(it.b); break;
            case Item::real32: float32(it.f); break;
            case Item::real64: float64(it.d); break;
            case Item::c_text: c_string(it.s ? it.s : ""); break;
            default: output::write_number_text("%08llX", (unsigned long long)it.u); break;
        }
    }
    if (newline) c_string("\n");
    std::fflush(nullptr);
}

void value(std::initializer_list<Item> items) { typed_values(items.begin(), int32_t(items.size()), false); }
void value_line(std::initializer_list<Item> items) { typed_values(items.begin(), int32_t(items.size()), true); }

}  // namespace vum::print

namespace vum::output_helpers {

double degrees_to_radians(double x, int mode) {
    x = std::fmod(x, 360.0);
    if (x > 180.0 || x < -180.0) x += x < 0 ? 360.0 : -360.0;
    if (x > 90.0 || x < -90.0) {
        if (mode == 0)
            x += x < 0 ? 180.0 : -180.0;
        else if (mode == 2)
            x = x >= 0 ? 180.0 - x : -180.0 - x;
    }
    return x * 3.141592653589793 / 180.0;
}

bool cstring_equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace vum::output_helpers
