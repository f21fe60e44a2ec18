#include "base/os-services.h"

#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/console-output.h"
#include "base/system-throw.h"
#include "base/tracked-heap.h"

namespace vum::platform {

void init() { output::init(); }

void* virtual_alloc(size_t bytes, bool executable) {
    int protection = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
    void* p = mmap(nullptr, bytes, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) sys::throw_code(sys::code_os_alloc_failed);
    return p;
}

void virtual_free(void* address, size_t bytes) {
    if (munmap(address, bytes) != 0) sys::throw_code(sys::code_os_free_failed);
}

char* current_dir(int32_t* length) {
    for (size_t size = 256;; size *= 2) {
        auto* block = static_cast<char*>(heap::alloc(int32_t(size)));
        if (getcwd(block, size)) {
            *length = int32_t(std::strlen(block));
            return block;
        }
        heap::free(block);
        if (errno != ERANGE || size > (size_t(1) << 20)) {
            *length = 0;
            return nullptr;
        }
    }
}

bool set_current_dir(const char* path) { return chdir(path) == 0; }

bool set_env(const char* name, const char* value) {
    return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

int32_t get_env(const char* name, char* buffer, int32_t size) {
    const char* value = getenv(name);
    if (!value) return 0;
    int32_t n = int32_t(std::strlen(value));
    if (n + 1 > size) return n + 1;
    std::memcpy(buffer, value, size_t(n) + 1);
    return n;
}

int32_t sleep_milliseconds_for(double seconds) {
    double ms = seconds * 1000.0;
    if (!(ms >= 1.0)) return 1;  // also NaN and negatives
    if (ms >= 2147483647.0) return 2147483647;
    return int32_t(ms);
}

void sleep_seconds(double seconds) {
    int32_t ms = sleep_milliseconds_for(seconds);
    timespec t{ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

double time_of_day(bool precise) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    double t = double(now.tv_sec % 86400);
    if (!precise) return t;
    long ticks = now.tv_nsec / 100;  // 100-nanosecond steps
    return t + double(ticks) * 100.0 / 1e9;
}

uint32_t zone_bits(int32_t offset_minutes) {
    // The sign is taken from the offset itself: for offsets under an hour
    // the hour count is 0 and would lose it.
    bool west = offset_minutes < 0;
    int32_t magnitude = west ? -offset_minutes : offset_minutes;
    uint32_t hours = uint32_t(magnitude / 60) & 0xF;
    uint32_t quarter = uint32_t((magnitude % 60) / 15) & 3;
    return ((west ? 0x10u : 0u) | hours) << 2 | quarter;
}

uint32_t date_packed(bool utc) {
    time_t now = time(nullptr);
    tm parts{};
    if (utc)
        gmtime_r(&now, &parts);
    else
        localtime_r(&now, &parts);
    uint32_t zone = utc ? 0 : zone_bits(int32_t(parts.tm_gmtoff / 60));
    return uint32_t(parts.tm_year + 1900) << 17 | uint32_t(parts.tm_mon + 1) << 12 |
           uint32_t(parts.tm_mday) << 7 | zone;
}

int32_t alloc_console() { return 0; }
int32_t free_console() { return 0; }

}  // namespace vum::platform
