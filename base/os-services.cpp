#include "base/os-services.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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

bool make_dir(const char* path) { return mkdir(path, 0777) == 0; }

bool path_exists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}

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

// ---- The system's description ----

const char* arch_name(std::string_view machine) {
    if (machine == "x86_64" || machine == "amd64") return "x86-64";
    if (machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686") return "x86-32";
    if (machine == "aarch64" || machine == "arm64") return "ARM64";
    if (machine.substr(0, 3) == "arm") return "ARM";
    if (machine == "ia64") return "IA-64";
    return "Unknown";
}

void parse_release(std::string_view release, int32_t (&version)[3], int32_t* build) {
    // The numbers in order, whatever separates them: "6.1.0-18-amd64" is
    // 6, 1, 0 and 18.
    int64_t numbers[4] = {0, 0, 0, 0};
    int found = 0;
    for (size_t i = 0; i < release.size() && found < 4;) {
        if (release[i] < '0' || release[i] > '9') {
            i++;
            continue;
        }
        int64_t n = 0;
        for (; i < release.size() && release[i] >= '0' && release[i] <= '9'; i++)
            if (n <= INT32_MAX) n = n * 10 + (release[i] - '0');
        numbers[found++] = n;
    }
    for (int k = 0; k < 3; k++) version[k] = int32_t(numbers[k] > 255 ? 255 : numbers[k]);
    *build = int32_t(numbers[3] > INT32_MAX ? INT32_MAX : numbers[3]);
}

std::string distribution_name(std::string_view os_release) {
    constexpr std::string_view key = "PRETTY_NAME=";
    for (size_t at = 0; at < os_release.size();) {
        size_t end = os_release.find('\n', at);
        if (end == std::string_view::npos) end = os_release.size();
        std::string_view line = os_release.substr(at, end - at);
        at = end + 1;
        if (line.substr(0, key.size()) != key) continue;
        std::string_view value = line.substr(key.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::string name;
        for (size_t i = 0; i < value.size(); i++) {
            if (value[i] == '\\' && i + 1 < value.size()) i++;
            name += value[i];
        }
        return name;
    }
    return "";
}

OsDescription describe_os() {
    OsDescription d{"Linux", "Unknown", {0, 0, 0}, 0};
    struct utsname names;
    if (uname(&names) == 0) {
        d.arch = arch_name(names.machine);
        parse_release(names.release, d.version, &d.build);
    }
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(file);
        if (!in) continue;
        std::stringstream text;
        text << in.rdbuf();
        std::string distribution = distribution_name(text.str());
        if (!distribution.empty()) d.name += " " + distribution;
        break;
    }
    return d;
}

}  // namespace vum::platform
