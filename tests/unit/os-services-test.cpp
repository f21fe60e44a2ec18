#include "base/os-services.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <unistd.h>

#include "base/system-throw.h"
#include "base/tracked-heap.h"

using namespace vum;

namespace {

TEST(OsServices, ZoneBits) {
    struct Case {
        int32_t minutes;
        uint32_t bits;
    } cases[] = {
        {0, 0},
        {330, 5 << 2 | 2},          // +5:30
        {-180, 0x13 << 2},          // -3:00
        {-210, 0x13 << 2 | 2},      // -3:30
        {-195, 0x13 << 2 | 1},      // -3:15 keeps its quarter, not 45 minutes
        {-30, 0x10 << 2 | 2},       // under an hour west keeps its sign
        {765, 12 << 2 | 3},         // +12:45
        {840, 14 << 2},             // +14:00
    };
    for (const Case& c : cases) EXPECT_EQ(platform::zone_bits(c.minutes), c.bits) << c.minutes;
}

TEST(OsServices, LocalDateCarriesTheZone) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "IST-5:30", 1);
    tzset();
    uint32_t local = platform::date_packed(false);
    setenv("TZ", "XXX3", 1);
    tzset();
    uint32_t west = platform::date_packed(false);
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    EXPECT_EQ(local & 0x7F, 5u << 2 | 2);
    EXPECT_EQ(west & 0x7F, 0x13u << 2);
    uint32_t utc = platform::date_packed(true);
    EXPECT_EQ(utc & 0x7F, 0u);
    EXPECT_EQ(utc >> 17, uint32_t(1900 + [] { time_t t = time(nullptr); tm p; gmtime_r(&t, &p); return p.tm_year; }()));
    uint32_t month = utc >> 12 & 0xF, day = utc >> 7 & 0x1F;
    EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31);
}

TEST(OsServices, SleepLengths) {
    struct Case {
        double seconds;
        int32_t ms;
    } cases[] = {{0, 1}, {0.0001, 1}, {1.5, 1500}, {-3, 1}, {NAN, 1}, {1e300, 2147483647}, {0.0019, 1}};
    for (const Case& c : cases) EXPECT_EQ(platform::sleep_milliseconds_for(c.seconds), c.ms) << c.seconds;
}

TEST(OsServices, TimeOfDay) {
    double whole = platform::time_of_day(false);
    EXPECT_EQ(whole, std::floor(whole));
    EXPECT_GE(whole, 0.0);
    EXPECT_LT(whole, 86400.0);
    double precise = platform::time_of_day(true);
    double ticks = (precise - std::floor(precise)) * 1e7;
    EXPECT_NEAR(ticks, std::round(ticks), 1e-3);  // whole 100-nanosecond steps
}

TEST(OsServices, EnvironmentVariables) {
    ASSERT_TRUE(platform::set_env("VUM_TEST_VAR", "hello"));
    char small[5], big[16];
    EXPECT_EQ(platform::get_env("VUM_TEST_VAR", small, sizeof small), 6);  // needs room for the NUL
    EXPECT_EQ(platform::get_env("VUM_TEST_VAR", big, sizeof big), 5);
    EXPECT_STREQ(big, "hello");
    ASSERT_TRUE(platform::set_env("VUM_TEST_VAR", nullptr));
    EXPECT_EQ(platform::get_env("VUM_TEST_VAR", big, sizeof big), 0);
}

TEST(OsServices, CurrentDirectory) {
    int32_t n = 0;
    char* old = platform::current_dir(&n);
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(n, int32_t(std::strlen(old)));
    ASSERT_TRUE(platform::set_current_dir("/"));
    char* root = platform::current_dir(&n);
    EXPECT_STREQ(root, "/");
    EXPECT_FALSE(platform::set_current_dir("/no/such/dir/here"));
    EXPECT_TRUE(platform::set_current_dir(old));
    heap::free(root);
    heap::free(old);
}

TEST(OsServices, FrameMemory) {
    auto* p = static_cast<char*>(platform::virtual_alloc(1 << 16, false));
    p[0] = 1;
    p[(1 << 16) - 1] = 2;
    platform::virtual_free(p, 1 << 16);
    uint32_t code = sys::catch_codes(sys::catch_os_memory, [] { platform::virtual_alloc(size_t(1) << 62, false); });
    EXPECT_EQ(code, sys::code_os_alloc_failed);
    sys::clear_thrown();
}

TEST(OsServices, DirectoriesMadeOneLevelAtATime) {
    char folder[] = "/tmp/vum-os-services-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string inner = std::string(folder) + "/made";
    std::string deeper = std::string(folder) + "/missing/made";
    EXPECT_TRUE(platform::path_exists(folder));
    EXPECT_FALSE(platform::path_exists(inner.c_str()));
    EXPECT_TRUE(platform::make_dir(inner.c_str()));
    EXPECT_TRUE(platform::path_exists(inner.c_str()));
    EXPECT_FALSE(platform::make_dir(inner.c_str()));   // already there
    EXPECT_FALSE(platform::make_dir(deeper.c_str()));  // its parent is not
    EXPECT_EQ(rmdir(inner.c_str()), 0);
    EXPECT_EQ(rmdir(folder), 0);
}

TEST(OsServices, SystemDescriptionFromItsTexts) {
    struct Arch {
        const char* machine;
        const char* name;
    } arches[] = {{"x86_64", "x86-64"}, {"i686", "x86-32"}, {"aarch64", "ARM64"},
                  {"armv7l", "ARM"},     {"ia64", "IA-64"},   {"riscv64", "Unknown"}};
    for (const Arch& a : arches) EXPECT_STREQ(platform::arch_name(a.machine), a.name) << a.machine;

    struct Release {
        const char* text;
        int32_t version[3];
        int32_t build;
    } releases[] = {
        {"6.1.0-18-amd64", {6, 1, 0}, 18},
        {"5.15.0", {5, 15, 0}, 0},
        {"4.4.302-rc1", {4, 4, 255}, 1},  // a tuple holds bytes
        {"6.8", {6, 8, 0}, 0},
        {"", {0, 0, 0}, 0},
        {"1.2.3.99999999999999", {1, 2, 3}, INT32_MAX},
    };
    for (const Release& r : releases) {
        int32_t version[3] = {-1, -1, -1};
        int32_t build = -1;
        platform::parse_release(r.text, version, &build);
        EXPECT_EQ(version[0], r.version[0]) << r.text;
        EXPECT_EQ(version[1], r.version[1]) << r.text;
        EXPECT_EQ(version[2], r.version[2]) << r.text;
        EXPECT_EQ(build, r.build) << r.text;
    }

    struct Distribution {
        const char* os_release;
        const char* name;
    } distributions[] = {
        {"NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"PRETTY_NAME='Single quoted'", "Single quoted"},
        {"PRETTY_NAME=Bare", "Bare"},
        {"PRETTY_NAME=\"Say \\\"hi\\\"\"", "Say \"hi\""},
        {"NAME=Only", ""},
        {"", ""},
    };
    for (const Distribution& d : distributions)
        EXPECT_EQ(platform::distribution_name(d.os_release), d.name) << d.os_release;

    platform::OsDescription os = platform::describe_os();
    EXPECT_EQ(os.name.rfind("Linux", 0), 0u);
}

}  // namespace
