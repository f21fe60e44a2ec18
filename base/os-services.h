// A thin layer between the runtime and the operating system: frame memory
// for the memory manager, platform start-up, the clock and calendar in the
// forms that time! and date! store, environment variables, the current
// directory, the file system's yes-or-no questions, sleeping and the
// description of the system itself. Text crossing it is UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vum::platform {

void init();

// Frame memory. Failure is the systems-layer throw of
// code_os_alloc_failed / code_os_free_failed.
void* virtual_alloc(size_t bytes, bool executable);
void virtual_free(void* address, size_t bytes);

// The current directory in a new tracked-heap block (the caller frees it);
// length receives its size in bytes without the NUL.
char* current_dir(int32_t* length);
bool set_current_dir(const char* path);
// One level: the parent must exist.
bool make_dir(const char* path);
// A file, a directory or anything else the name reaches.
bool path_exists(const char* path);
bool set_env(const char* name, const char* value);  // value null: remove
// Copies the value with its NUL into buffer when it fits and returns its
// length; when it does not fit returns the size needed including the NUL;
// 0 when the variable is missing.
int32_t get_env(const char* name, char* buffer, int32_t size);

// Sleeps max(seconds x 1000, 1) milliseconds, truncated toward zero.
void sleep_seconds(double seconds);
int32_t sleep_milliseconds_for(double seconds);

// Seconds since midnight UTC; with precise, in steps of 100 nanoseconds,
// else whole seconds.
double time_of_day(bool precise);

// year << 17 | month << 12 | day << 7 | zone; zone bit 6 is the sign (west
// of UTC), bits 2-5 whole hours, bits 0-1 quarter hours.
uint32_t date_packed(bool utc);
uint32_t zone_bits(int32_t offset_minutes);

// There is no console to create on this platform.
int32_t alloc_console();
int32_t free_console();

// What the system says of itself.
struct OsDescription {
    std::string name;    // "Linux", then the distribution's own name when it gives one
    const char* arch;    // "x86-64", "x86-32", "ARM64", "ARM", "IA-64" or "Unknown"
    int32_t version[3];  // the kernel release's first three numbers, each 0 to 255
    int32_t build;       // its fourth number, or 0
};
OsDescription describe_os();

// The parts of describe_os, from the texts the system gives.
const char* arch_name(std::string_view machine);
void parse_release(std::string_view release, int32_t (&version)[3], int32_t* build);
// PRETTY_NAME of an os-release file's text, unquoted; empty when missing.
std::string distribution_name(std::string_view os_release);

}  // namespace vum::platform
